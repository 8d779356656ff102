#include "tools/camctl/ptz_interactive.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/camctl/terminal.h"
#include "tools/hostkit/ptz.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;

// After an ESC this long without more bytes, it was the Escape key and not an arrow key.
constexpr int kEscapeQuietMs = 50;
// Module lines that arrive on its threads show up within this time.
constexpr int kIdleRedrawMs = 250;
constexpr size_t kReadChunk = 64;
constexpr size_t kMaxNameBytes = 64;
constexpr size_t kDigitPresets = 9;
constexpr char kHome[] = "\x1b[H";
constexpr char kClearScreen[] = "\x1b[2J";
constexpr char kClearLineEnd[] = "\x1b[K";
constexpr char kClearBelow[] = "\x1b[J";
constexpr int kInterruptedStatus = 1;

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The line cut to columns, counting UTF-8 characters rather than bytes.
std::string Fit(const std::string& line, int columns) {
  int used = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const bool starts = (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    if (starts && ++used > columns) return line.substr(0, i);
  }
  return line;
}

void PopCharacter(std::string& text) {
  while (!text.empty()) {
    const bool continuation = (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80;
    text.pop_back();
    if (!continuation) return;
  }
}

// The module's last diagnostic line: written by its threads, drawn by the main thread.
class LastLine {
 public:
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> guard(Lock);
    Text = text;
    Changed = true;
  }
  std::string Get() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Text;
  }
  bool TakeChange() {
    std::lock_guard<std::mutex> guard(Lock);
    const bool changed = Changed;
    Changed = false;
    return changed;
  }

 private:
  mutable std::mutex Lock;  // guards Text and Changed
  std::string Text;
  bool Changed = false;
};

class Interactive {
 public:
  Interactive(PtzSession& session, const InteractiveSettings& settings)
      : Session(session), Api(session.Control()), Settings(settings) {}

  int Run() {
    SignalWatch signals;
    RawTerminal terminal;
    Screen = &terminal;
    std::string error;
    if (!terminal.Enter(STDIN_FILENO, STDOUT_FILENO, error)) {
      std::fprintf(stderr, "camctl ptz interactive: %s\n", error.c_str());
      return kInterruptedStatus;
    }
    // Module lines would break the drawing; the last one is shown on the screen instead. A
    // module thread may still run a printer it took just before the printer was replaced, so the
    // printer owns what it writes to.
    struct PrinterReset {
      PtzSession& Owner;
      ~PrinterReset() { Owner.Debug().SetPrinter(Owner.DebugPrinter()); }
    } printerReset{Session};
    Session.Debug().SetPrinter([line = Line](const hostkit::DebugLine& debug) { line->Set(debug.Text); });
    Refresh();
    Draw(terminal, true);
    KeyDecoder decoder;
    bool quit = false;
    while (!quit && !signals.Interrupted()) {
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals.WakeFd(), POLLIN, 0}};
      const int ready =
          poll(fds, signals.WakeFd() >= 0 ? 2 : 1, decoder.Pending() ? kEscapeQuietMs : kIdleRedrawMs);
      if (ready < 0 && errno != EINTR) break;
      if (ready == 0 && decoder.Pending()) decoder.Flush();
      if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[kReadChunk];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
          decoder.Feed(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          quit = true;  // the terminal is gone
        }
      }
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) signals.Drain();
      bool changed = false;
      Key key;
      while (!quit && decoder.Next(key)) {
        quit = !HandleKey(key);
        changed = true;
      }
      const bool resized = signals.TakeResize();
      if (Line->TakeChange()) changed = true;
      if (!quit && (changed || resized)) Draw(terminal, resized);
    }
    Screen = nullptr;
    // A camera is not left moving when the operator leaves.
    const int32_t stopped = Api.StopAll();
    terminal.Leave();
    Session.Debug().SetPrinter(Session.DebugPrinter());
    const int signal = signals.Signal();
    std::printf("camctl ptz interactive: %s; stop %s\n", signal != 0 ? "ended by a signal" : "ended",
                PtzResultText(stopped).c_str());
    std::fflush(stdout);
    Session.Close();
    return signal != 0 ? kInterruptedStatus : 0;
  }

 private:
  // Presets, current preset and capabilities, read from the control's memory (no camera request).
  void Refresh() {
    Presets = hostkit::PresetNames(Api);
    Current = hostkit::CurrentPreset(Api);
    auto record = hostkit::MakeCapabilityRecord(0);
    Functions = Api.GetCapabilities(&record) == ipc::kPtzSuccess ? hostkit::FormatCapabilities(record)
                                                                 : std::string("(not available)");
  }

  void Record(const std::string& action, int32_t result, bool motion) {
    LastAction = action;
    LastResult = PtzResultText(result);
    if (motion && result == ipc::kPtzSuccess) Session.NoteQueued();
    Refresh();
  }

  // Preset calls wait for the camera, which may take a while.
  void ShowWaiting(const std::string& action) {
    LastAction = action;
    LastResult = "waiting for the camera...";
    if (Screen != nullptr) Draw(*Screen, false);
  }

  void Motion(const char* verb, const char* word, int32_t result) {
    Record(std::string(verb) + " " + word + " " + std::to_string(Settings.Speed), result, true);
  }

  // false to quit.
  bool HandleKey(const Key& key) {
    if (Prompting) {
      HandlePromptKey(key);
      return true;
    }
    const int32_t speed = Settings.Speed;
    switch (key.Type) {
      case Key::Kind::Up:
        Motion("move", "up", Api.Move(ipc::kPtzMoveUp, speed));
        return true;
      case Key::Kind::Down:
        Motion("move", "down", Api.Move(ipc::kPtzMoveDown, speed));
        return true;
      case Key::Kind::Left:
        Motion("move", "left", Api.Move(ipc::kPtzMoveLeft, speed));
        return true;
      case Key::Kind::Right:
        Motion("move", "right", Api.Move(ipc::kPtzMoveRight, speed));
        return true;
      case Key::Kind::Interrupt:
      case Key::Kind::EndOfInput:
        return false;
      case Key::Kind::Text:
        break;
      default:
        return true;
    }
    const char c = key.Byte;
    if (c == 'q' || c == 'Q') return false;
    if (c == ' ') {
      Record("stop", Api.StopAll(), true);
    } else if (c == '+' || c == '=') {
      Motion("zoom", "in", Api.ZoomIn(speed));
    } else if (c == '-' || c == '_') {
      Motion("zoom", "out", Api.ZoomOut(speed));
    } else if (c == 'n' || c == 'N') {
      Motion("focus", "near", Api.FocusMinus(speed));
    } else if (c == 'f' || c == 'F') {
      Motion("focus", "far", Api.FocusPlus(speed));
    } else if (c >= '1' && c <= '9') {
      const auto position = static_cast<size_t>(c - '0');
      if (position > Presets.size()) {
        LastAction = "preset " + std::to_string(position);
        LastResult = "no preset at position " + std::to_string(position);
      } else {
        const std::string& name = Presets[position - 1];
        const std::string action = "preset go " + name;
        ShowWaiting(action);
        Record(action, Api.GotoPreposition(0, name.c_str()), false);
      }
    } else if (c == 'a' || c == 'A') {
      Prompting = true;
      Input.clear();
    }
    return true;
  }

  void HandlePromptKey(const Key& key) {
    switch (key.Type) {
      case Key::Kind::Text:
        if (Input.size() < kMaxNameBytes) Input += key.Byte;
        break;
      case Key::Kind::Backspace:
        PopCharacter(Input);
        break;
      case Key::Kind::Enter:
        Prompting = false;
        if (!Input.empty()) {
          const std::string action = "preset add " + Input;
          ShowWaiting(action);
          Record(action, Api.AddPreposition(Input.c_str()), false);
        }
        break;
      case Key::Kind::Escape:
      case Key::Kind::Interrupt:
      case Key::Kind::EndOfInput:
        Prompting = false;
        LastAction = "preset add";
        LastResult = "cancelled";
        break;
      default:
        break;
    }
  }

  void Draw(const RawTerminal& terminal, bool clear) {
    std::vector<std::string> lines;
    lines.push_back("camctl ptz interactive  " + Printable(Settings.Title));
    lines.push_back("functions    " + Functions);
    lines.push_back("speed        " + std::to_string(Settings.Speed));
    lines.emplace_back();
    lines.push_back("last action  " + Printable(LastAction));
    lines.push_back("result       " + LastResult);
    lines.push_back("current      " + (Current ? Printable(*Current) : std::string("(none)")));
    lines.emplace_back();
    lines.push_back("presets      " + std::to_string(Presets.size()) +
                    (Presets.empty() ? "" : ", 1-9 go to:"));
    for (size_t i = 0; i < Presets.size() && i < kDigitPresets; ++i) {
      const bool current = Current && *Current == Presets[i];
      lines.push_back(std::string(current ? "  * " : "    ") + std::to_string(i + 1) + "  " +
                      Printable(Presets[i]));
    }
    if (Presets.size() > kDigitPresets) {
      lines.push_back("    (" + std::to_string(Presets.size() - kDigitPresets) +
                      " more; camctl ptz preset list)");
    }
    lines.emplace_back();
    const std::string moduleLine = Line->Get();
    lines.push_back("module       " + (moduleLine.empty() ? std::string("-") : Printable(moduleLine)));
    if (Prompting) {
      lines.push_back("preset name: " + Printable(Input) + "_   (Enter stores, Esc cancels)");
    } else {
      lines.push_back(
          "keys         arrows pan/tilt  space stop  + - zoom  n f focus  1-9 preset  a add preset  q quit");
    }

    int columns = 0, rows = 0;
    terminal.Size(columns, rows);
    std::string screen = kHome;
    if (clear) screen += kClearScreen;
    const size_t shown = std::min(lines.size(), static_cast<size_t>(rows));
    for (size_t i = 0; i < shown; ++i) {
      screen += Fit(lines[i], columns) + kClearLineEnd;
      // No line feed after the bottom row: it would scroll the screen.
      if (i + 1 < shown) screen += "\r\n";
    }
    screen += kClearBelow;
    WriteAll(STDOUT_FILENO, screen);
  }

  PtzSession& Session;
  ipc::IIPPTZApiEx& Api;
  const InteractiveSettings Settings;
  const RawTerminal* Screen = nullptr;  // while Run draws

  std::string LastAction = "(none)";
  std::string LastResult = "-";
  std::string Functions;
  std::vector<std::string> Presets;
  std::optional<std::string> Current;
  bool Prompting = false;
  std::string Input;

  const std::shared_ptr<LastLine> Line = std::make_shared<LastLine>();
};

}  // namespace

int RunPtzInteractive(PtzSession& session, const InteractiveSettings& settings) {
  Interactive interactive(session, settings);
  return interactive.Run();
}

}  // namespace camctl
