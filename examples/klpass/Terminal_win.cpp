#include <windows.h>

#include <io.h>

#include <cstdio>

#include "Terminal.h"

namespace klpass {

namespace {

// The console's input mode before echo went off; one console, one copy.
DWORD& SavedMode() {
  static DWORD mode = 0;
  return mode;
}

} // namespace

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool ReadInputByte(std::uint8_t& Byte) { return _read(_fileno(stdin), &Byte, 1) == 1; }

// The console restores nothing by itself, but ends no program on Ctrl+C while
// line input is being read, so the destructor always runs.
TEchoOff::TEchoOff() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!GetConsoleMode(input, &SavedMode())) return;
  FActive = SetConsoleMode(input, SavedMode() & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
}

TEchoOff::~TEchoOff() {
  if (FActive) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), SavedMode());
}

} // namespace klpass
