#include "Progress.h"

#include <cstdio>

#include "Terminal.h"

namespace klpass {

namespace {

constexpr auto kQuietPeriod = std::chrono::seconds(1);

} // namespace

TProgressLine::TProgressLine(std::string What)
    : FWhat(std::move(What)), FEnabled(StderrIsTerminal()), FStart(std::chrono::steady_clock::now()) {}

TProgressLine::~TProgressLine() {
  if (FShown) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
}

void TProgressLine::Update(std::uint64_t Done, std::uint64_t Total, const char* Stage) {
  if (!FEnabled) return;
  const int percent = Total == 0 ? 0 : static_cast<int>(Done * 100 / Total);
  if (percent == FLastPercent) return;
  if (!FShown && std::chrono::steady_clock::now() - FStart < kQuietPeriod) return;
  FLastPercent = percent;
  FShown = true;
  std::fprintf(stderr, "\r\033[K%s%s%s: %d%%", FWhat.c_str(), Stage ? ", " : "", Stage ? Stage : "", percent);
  std::fflush(stderr);
}

} // namespace klpass
