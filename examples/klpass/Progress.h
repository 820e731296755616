#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A progress line on standard error for work that takes a while: shown only
// where standard error is a terminal (a script's log gets nothing), and only
// once the work has run for a second, so that quick runs stay quiet.
namespace klpass {

class TProgressLine {
public:
  explicit TProgressLine(std::string What);
  // Erases the line, if one was shown.
  ~TProgressLine();
  TProgressLine(const TProgressLine&) = delete;
  TProgressLine& operator=(const TProgressLine&) = delete;

  // Done out of Total (Total 0: unknown); redrawn when the percentage moves.
  void Update(std::uint64_t Done, std::uint64_t Total, const char* Stage = nullptr);

private:
  std::string FWhat;
  bool FEnabled;
  bool FShown = false;
  int FLastPercent = -1;
  std::chrono::steady_clock::time_point FStart;
};

} // namespace klpass
