#pragma once
// The terminal for camctl's interactive modes: signals that end a run, raw key input and the
// decoding of the keys an operator presses.

#include <signal.h>
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>

namespace camctl {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT for its lifetime, and SIGWINCH as a resize. The handler
// only records the signal, puts back a terminal left in raw mode (tcsetattr may be called from
// a handler) and wakes the main thread through a pipe. The first signal asks camctl to finish
// its work (stop the camera, close the driver); a second ends it at once. One at a time.
class SignalWatch {
 public:
  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  bool Interrupted() const;
  int Signal() const;  // the first ending signal, or 0
  // True once after each resize.
  bool TakeResize();
  // Readable after any signal; Drain empties it.
  int WakeFd() const { return Fds[0]; }
  void Drain();
  // Waits until the deadline; true when a signal ended the wait.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  int Fds[2] = {-1, -1};
  struct sigaction Previous[5]{};
};

// Raw input on a terminal for its lifetime: no echo, no line editing, and keys such as Ctrl-C
// arrive as bytes instead of signals. Draws on the alternate screen with the cursor hidden, so
// the operator's screen comes back as it was. Restored by Leave, the destructor, or a signal
// while a SignalWatch exists.
class RawTerminal {
 public:
  RawTerminal() = default;
  ~RawTerminal() { Leave(); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  // false with error set when inFd is not a terminal or cannot be switched.
  bool Enter(int inFd, int outFd, std::string& error);
  void Leave();
  // Columns and rows; 80x24 when unknown.
  void Size(int& columns, int& rows) const;

 private:
  bool Active = false;
  int In = -1;
  int Out = -1;
  termios Saved{};
};

struct Key {
  enum class Kind { Text, Up, Down, Left, Right, Enter, Backspace, Escape, Interrupt, EndOfInput, Other };
  Kind Type = Kind::Other;
  char Byte = 0;  // for Text: one byte (UTF-8 arrives byte by byte)
};

// Turns the bytes a terminal sends into keys. Arrow keys come as ESC [ A..D (or ESC O A..D in
// application cursor mode); an ESC with nothing after it is the Escape key itself, which the
// caller decides by calling Flush after a short quiet time.
class KeyDecoder {
 public:
  void Feed(const char* data, size_t size);
  // The next complete key; false when none is ready.
  bool Next(Key& key);
  // An escape sequence has started and waits for its end.
  bool Pending() const { return !Sequence.empty(); }
  // Ends a pending sequence: a lone ESC becomes Escape, anything longer is dropped.
  void Flush();

 private:
  void Emit(Key key);
  std::string Sequence;  // the escape sequence being read, starting with ESC
  std::deque<Key> Ready;
};

}  // namespace camctl
