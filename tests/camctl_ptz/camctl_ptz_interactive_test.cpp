// camctl ptz interactive in a real terminal: tmux runs it in a pane, the test presses keys and reads
// the screen, the terminal's settings and the camera's log.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camctl_ptz/camctl_ptz_fixture.h"

namespace camctlptz {
namespace {

using Requests = std::vector<std::string>;

constexpr int kColumns = 120;
constexpr int kRows = 40;
constexpr const char* kSession = "ptz";

std::string FindTmux() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/tmux";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

// A tmux server of the test's own (its own socket, in a directory removed afterwards, and no
// configuration file) with one pane.
class Tmux {
 public:
  explicit Tmux(std::string program) : Program(std::move(program)), Socket(SocketDir.Path() + "/tmux") {}
  ~Tmux() {
    if (Started) Run({"kill-server"});
  }
  Tmux(const Tmux&) = delete;
  Tmux& operator=(const Tmux&) = delete;

  bool Start(const std::string& command) {
    Started = Run({"new-session", "-d", "-s", kSession, "-x", std::to_string(kColumns), "-y",
                   std::to_string(kRows), command})
                  .Status == 0;
    return Started;
  }
  std::string Screen() { return Run({"capture-pane", "-p", "-t", kSession}).Out; }
  void Keys(const std::string& key) { Run({"send-keys", "-t", kSession, key}); }
  void Text(const std::string& text) { Run({"send-keys", "-t", kSession, "-l", text}); }
  std::string Format(const std::string& format) {
    std::string out = Run({"display-message", "-p", "-t", kSession, format}).Out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  bool WaitForScreen(const std::vector<std::string>& needles) {
    return WaitFor([&] {
      const std::string screen = Screen();
      for (const std::string& needle : needles) {
        if (screen.find(needle) == std::string::npos) return false;
      }
      return true;
    });
  }

 private:
  ProcessResult Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-S", Socket, "-f", "/dev/null"});
    return RunProcess(Program, arguments);
  }

  const std::string Program;
  TempDir SocketDir;
  const std::string Socket;
  bool Started = false;
};

// The local flags of the pane's terminal, read from its device.
bool TerminalFlags(const std::string& tty, tcflag_t& flags) {
  const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return false;
  termios settings{};
  const bool ok = tcgetattr(fd, &settings) == 0;
  close(fd);
  flags = settings.c_lflag;
  return ok;
}

class CamctlPtzInteractive : public CamctlPtz {
 protected:
  void SetUp() override {
    CamctlPtz::SetUp();
    if (IsSkipped()) return;
    TmuxPath = FindTmux();
    if (TmuxPath.empty()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
  }

  // tmux hands this to a shell, which runs camctl as its child, then prints camctl's exit status
  // and stays, so the screen can still be read.
  std::string PaneCommand() const {
    std::string command = Quoted(CamctlPath()) + " ptz interactive";
    for (const std::string& argument : DeviceArguments()) command += " " + Quoted(argument);
    return command + " 2>/dev/null; echo EXIT=$?; sleep 60";
  }

  bool HasRequest(const std::string& path) {
    for (const std::string& request : PtzRequests()) {
      if (request == path) return true;
    }
    return false;
  }

  std::string TmuxPath;
};

TEST_F(CamctlPtzInteractive, KeysDriveTheCameraAndTheScreenFollows) {
  Tmux tmux(TmuxPath);
  ASSERT_TRUE(tmux.Start(PaneCommand()));
  ASSERT_TRUE(
      tmux.WaitForScreen({"camctl ptz interactive  QL-6250 at 127.0.0.1:", "presets      0", "keys  "}))
      << tmux.Screen();
  const std::string tty = tmux.Format("#{pane_tty}");
  tcflag_t flags = 0;
  ASSERT_TRUE(TerminalFlags(tty, flags)) << tty;
  EXPECT_EQ(flags & (ICANON | ECHO), 0u) << "raw while running";

  // Speed 8 is camera speed 3.
  tmux.Keys("Left");
  EXPECT_TRUE(tmux.WaitForScreen({"last action  move left 8", "result       success"})) << tmux.Screen();
  EXPECT_TRUE(WaitFor([&] { return HasRequest("/config/ptz_move_cont.cgi?p=-3&t=0&z=0"); }));
  tmux.Keys("Space");
  EXPECT_TRUE(tmux.WaitForScreen({"last action  stop"})) << tmux.Screen();
  EXPECT_TRUE(WaitFor([&] { return PtzRequests().size() == 2; }));

  tmux.Keys("a");
  EXPECT_TRUE(tmux.WaitForScreen({"preset name: _"})) << tmux.Screen();
  tmux.Text("porch");
  EXPECT_TRUE(tmux.WaitForScreen({"preset name: porch_"})) << tmux.Screen();
  tmux.Keys("Enter");
  EXPECT_TRUE(tmux.WaitForScreen({"last action  preset add porch", "current      porch", "  * 1  porch"}))
      << tmux.Screen();

  // A motion leaves the preset.
  tmux.Keys("+");
  EXPECT_TRUE(tmux.WaitForScreen({"last action  zoom in 8", "current      (none)", "    1  porch"}))
      << tmux.Screen();
  tmux.Keys("1");
  EXPECT_TRUE(tmux.WaitForScreen({"last action  preset go porch", "result       success", "  * 1  porch"}))
      << tmux.Screen();
  tmux.Keys("9");
  EXPECT_TRUE(tmux.WaitForScreen({"result       no preset at position 9"})) << tmux.Screen();
  tmux.Keys("n");
  EXPECT_TRUE(tmux.WaitForScreen({"last action  focus near 8"})) << tmux.Screen();

  // Quitting stops what is still running: the zoom and the focus.
  tmux.Keys("q");
  EXPECT_TRUE(tmux.WaitForScreen({"camctl ptz interactive: ended; stop success", "EXIT=0"})) << tmux.Screen();
  EXPECT_EQ(PtzRequests(),
            (Requests{"/config/ptz_move_cont.cgi?p=-3&t=0&z=0", "/config/ptz_move_cont.cgi?p=0&t=0&z=0",
                      "/config/ptz_preset.cgi?name=1&act=add", "/config/ptz_move_cont.cgi?p=0&t=0&z=3",
                      "/config/ptz_preset.cgi?name=1&act=go", "/config/focus_cont.cgi?f=-3",
                      "/config/ptz_move_cont.cgi?p=0&t=0&z=0", "/config/focus_cont.cgi?f=0"}));
  ASSERT_TRUE(TerminalFlags(tty, flags));
  EXPECT_EQ(flags & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << "restored after q";
  EXPECT_TRUE(Presets.Has(kPresetFile));
}

TEST_F(CamctlPtzInteractive, SignalRestoresTheTerminalAndStopsTheCamera) {
  Tmux tmux(TmuxPath);
  ASSERT_TRUE(tmux.Start(PaneCommand()));
  ASSERT_TRUE(tmux.WaitForScreen({"keys  "})) << tmux.Screen();
  tmux.Keys("Up");
  ASSERT_TRUE(tmux.WaitForScreen({"last action  move up 8"})) << tmux.Screen();

  // camctl is the only child of the pane's shell.
  const std::string shell = tmux.Format("#{pane_pid}");
  std::ifstream children("/proc/" + shell + "/task/" + shell + "/children");
  pid_t camctl = 0;
  ASSERT_TRUE(children >> camctl) << "no child of the pane's shell " << shell;
  ASSERT_EQ(kill(camctl, SIGTERM), 0);

  EXPECT_TRUE(tmux.WaitForScreen({"camctl ptz interactive: ended by a signal; stop success", "EXIT=1"}))
      << tmux.Screen();
  EXPECT_EQ(PtzRequests(),
            (Requests{"/config/ptz_move_cont.cgi?p=0&t=3&z=0", "/config/ptz_move_cont.cgi?p=0&t=0&z=0"}));
  tcflag_t flags = 0;
  ASSERT_TRUE(TerminalFlags(tmux.Format("#{pane_tty}"), flags));
  EXPECT_EQ(flags & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
}

}  // namespace
}  // namespace camctlptz
