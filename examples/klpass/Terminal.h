#pragma once

#include <cstdint>

// The terminal beneath klpass's secret entry, one implementation per platform.
namespace klpass {

// True when standard input is an interactive terminal or console.
bool StdinIsTerminal();
// True when standard output is one.
bool StdoutIsTerminal();
// True when standard error is one (progress is shown only there).
bool StderrIsTerminal();

// Reads one byte of standard input, unbuffered, so that nothing beyond it is
// consumed; false at the end of input or on a read error.
bool ReadInputByte(std::uint8_t& Byte);

// Turns echo of typed characters off for its lifetime, where standard input is
// a terminal. A signal that ends the program meanwhile first puts the terminal
// back as it was (where the platform delivers such signals).
class TEchoOff {
public:
  TEchoOff();
  ~TEchoOff();
  TEchoOff(const TEchoOff&) = delete;
  TEchoOff& operator=(const TEchoOff&) = delete;

private:
  bool FActive = false;
};

} // namespace klpass
