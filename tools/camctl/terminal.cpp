#include "tools/camctl/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace camctl {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
// Alternate screen on, cursor hidden, screen cleared; and back.
constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[2J\x1b[H";
constexpr char kLeaveScreen[] = "\x1b[?25h\x1b[?1049l";
constexpr char kEscape = '\x1b';
constexpr char kCtrlC = '\x03';
constexpr char kCtrlD = '\x04';
constexpr char kBackspace = '\x08';
constexpr char kDelete = '\x7f';
// Longer sequences than any key sends are dropped rather than kept growing.
constexpr size_t kMaxSequence = 16;

volatile std::sig_atomic_t gSignal = 0;
volatile std::sig_atomic_t gResized = 0;
int gWakeFd = -1;
// The terminal a RawTerminal switched, for the handler to put back. gRawActive is set last.
volatile std::sig_atomic_t gRawActive = 0;
int gRawIn = -1;
int gRawOut = -1;
termios gRawSaved{};

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Only async-signal-safe calls: tcsetattr and write.
void RestoreTerminalFromHandler() {
  if (gRawActive == 0) return;
  gRawActive = 0;
  tcsetattr(gRawIn, TCSANOW, &gRawSaved);
  WriteAll(gRawOut, kLeaveScreen, sizeof kLeaveScreen - 1);
}

void OnSignal(int signal) {
  const int savedErrno = errno;
  if (signal == SIGWINCH) {
    gResized = 1;
  } else {
    RestoreTerminalFromHandler();
    if (gSignal != 0) {
      // A second signal: end now. The signal is blocked inside its handler, so the raised one
      // is delivered, with its default action, as soon as the handler returns.
      std::signal(signal, SIG_DFL);
      std::raise(signal);
    } else {
      gSignal = signal;
    }
  }
  if (gWakeFd >= 0) {
    const char byte = 1;
    const ssize_t ignored = write(gWakeFd, &byte, 1);
    (void)ignored;
  }
  errno = savedErrno;
}

}  // namespace

SignalWatch::SignalWatch() {
  if (pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) Fds[0] = Fds[1] = -1;
  gSignal = 0;
  gResized = 0;
  gWakeFd = Fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  size_t i = 0;
  for (const int signal : kEndingSignals) sigaction(signal, &action, &Previous[i++]);
  sigaction(SIGWINCH, &action, &Previous[i]);
}

SignalWatch::~SignalWatch() {
  size_t i = 0;
  for (const int signal : kEndingSignals) sigaction(signal, &Previous[i++], nullptr);
  sigaction(SIGWINCH, &Previous[i], nullptr);
  gWakeFd = -1;
  if (Fds[0] >= 0) close(Fds[0]);
  if (Fds[1] >= 0) close(Fds[1]);
}

bool SignalWatch::Interrupted() const {
  return gSignal != 0;
}

int SignalWatch::Signal() const {
  return gSignal;
}

bool SignalWatch::TakeResize() {
  if (gResized == 0) return false;
  gResized = 0;
  return true;
}

void SignalWatch::Drain() {
  char buffer[64];
  while (Fds[0] >= 0 && read(Fds[0], buffer, sizeof buffer) > 0) {
  }
}

bool SignalWatch::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  while (!Interrupted()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return false;
    pollfd fd{Fds[0], POLLIN, 0};
    const int ready = poll(&fd, Fds[0] >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready > 0) Drain();
  }
  return true;
}

bool RawTerminal::Enter(int inFd, int outFd, std::string& error) {
  if (Active) return true;
  if (!isatty(inFd)) {
    error = "standard input is not a terminal";
    return false;
  }
  if (tcgetattr(inFd, &Saved) != 0) {
    error = std::string("cannot read the terminal's settings: ") + std::strerror(errno);
    return false;
  }
  termios raw = Saved;
  raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  raw.c_cflag |= CS8;
  // Output processing stays on: a line a library prints still starts at the left edge.
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  In = inFd;
  Out = outFd;
  gRawSaved = Saved;
  gRawIn = inFd;
  gRawOut = outFd;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gRawActive = 1;
  if (tcsetattr(inFd, TCSAFLUSH, &raw) != 0) {
    gRawActive = 0;
    error = std::string("cannot switch the terminal to raw input: ") + std::strerror(errno);
    return false;
  }
  Active = true;
  WriteAll(Out, kEnterScreen, sizeof kEnterScreen - 1);
  return true;
}

void RawTerminal::Leave() {
  if (!Active) return;
  Active = false;
  const bool handlerRestored = gRawActive == 0;
  gRawActive = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (handlerRestored) return;
  tcsetattr(In, TCSANOW, &Saved);
  WriteAll(Out, kLeaveScreen, sizeof kLeaveScreen - 1);
}

void RawTerminal::Size(int& columns, int& rows) const {
  winsize size{};
  if (Out >= 0 && ioctl(Out, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    columns = size.ws_col;
    rows = size.ws_row;
    return;
  }
  columns = kDefaultColumns;
  rows = kDefaultRows;
}

void KeyDecoder::Emit(Key key) {
  Ready.push_back(key);
}

void KeyDecoder::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char byte = data[i];
    if (!Sequence.empty()) {
      if (Sequence.size() == 1 && byte != '[' && byte != 'O') {
        // ESC followed by an ordinary key: Escape, then that key.
        Sequence.clear();
        Emit({Key::Kind::Escape, 0});
        Feed(&byte, 1);
        continue;
      }
      Sequence += byte;
      if (Sequence.size() == 2) continue;
      const bool final = Sequence[1] == 'O' || (byte >= 0x40 && byte <= 0x7e);
      if (!final) {
        if (Sequence.size() >= kMaxSequence) Sequence.clear();
        continue;
      }
      // ESC [ A, and ESC [ 1 ; 5 A with modifiers: the final byte names the arrow.
      Key key{Key::Kind::Other, 0};
      switch (byte) {
        case 'A':
          key.Type = Key::Kind::Up;
          break;
        case 'B':
          key.Type = Key::Kind::Down;
          break;
        case 'C':
          key.Type = Key::Kind::Right;
          break;
        case 'D':
          key.Type = Key::Kind::Left;
          break;
        default:
          break;
      }
      Sequence.clear();
      Emit(key);
      continue;
    }
    switch (byte) {
      case kEscape:
        Sequence = byte;
        break;
      case '\r':
      case '\n':
        Emit({Key::Kind::Enter, byte});
        break;
      case kBackspace:
      case kDelete:
        Emit({Key::Kind::Backspace, byte});
        break;
      case kCtrlC:
        Emit({Key::Kind::Interrupt, byte});
        break;
      case kCtrlD:
        Emit({Key::Kind::EndOfInput, byte});
        break;
      default:
        Emit({static_cast<unsigned char>(byte) < 0x20 ? Key::Kind::Other : Key::Kind::Text, byte});
        break;
    }
  }
}

bool KeyDecoder::Next(Key& key) {
  if (Ready.empty()) return false;
  key = Ready.front();
  Ready.pop_front();
  return true;
}

void KeyDecoder::Flush() {
  if (Sequence.size() == 1) Emit({Key::Kind::Escape, 0});
  Sequence.clear();
}

}  // namespace camctl
