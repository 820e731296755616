#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

#include "Terminal.h"

namespace klpass {

namespace {

constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal's settings before echo went off; one terminal, one copy.
termios& Saved() {
  static termios saved{};
  return saved;
}

void Restore(int Signal) {
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Saved());
  std::signal(Signal, SIG_DFL);
  std::raise(Signal);
}

} // namespace

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool ReadInputByte(std::uint8_t& Byte) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &Byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

TEchoOff::TEchoOff() {
  if (::tcgetattr(STDIN_FILENO, &Saved()) != 0) return;
  termios quiet = Saved();
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  for (int signal : kSignals) std::signal(signal, Restore);
  FActive = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
}

TEchoOff::~TEchoOff() {
  if (FActive) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Saved());
  for (int signal : kSignals) std::signal(signal, SIG_DFL);
}

} // namespace klpass
