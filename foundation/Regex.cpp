#include "foundation/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

// Caps on the engine's work per start position, so that catastrophic
// backtracking at one place fails with an error at once.
constexpr std::uint32_t kMatchLimit = 1000000;
constexpr std::uint32_t kDepthLimit = 100000;

// The engine's own limits restart at every start position, so a search over a
// long subject could still run for hours (a bounded but costly attempt at each
// of a million positions, or a quadratic rescan). The whole search is therefore
// also bounded in time, measured from callouts that the compiler places before
// every pattern item: at least one runs at each start position, and the work
// between two of them is one item, at most linear in the subject.
constexpr std::chrono::milliseconds kMatchTimeLimit{1000};

// The clock is read once per this many code units of subject that callouts may
// have stepped over, so short subjects that match quickly never read it at all.
constexpr std::size_t kClockStride = 65536;
constexpr std::uint32_t kMaxCalloutsBetweenReads = 1024;

struct TMatchBudget {
  std::uint32_t ReadEvery = 1;
  std::uint32_t Countdown = 1;
  bool Started = false;
  bool Expired = false;
  std::chrono::steady_clock::time_point Deadline;
};

int CheckBudget(pcre2_callout_block_16*, void* Data) {
  auto& budget = *static_cast<TMatchBudget*>(Data);
  if (--budget.Countdown != 0) return 0;
  budget.Countdown = budget.ReadEvery;
  const auto now = std::chrono::steady_clock::now();
  if (!budget.Started) {
    budget.Started = true;
    budget.Deadline = now + kMatchTimeLimit;
    return 0;
  }
  if (now < budget.Deadline) return 0;
  budget.Expired = true;
  return PCRE2_ERROR_CALLOUT;
}

std::uint32_t CalloutsBetweenReads(std::size_t SubjectLength) {
  const std::size_t n = kClockStride / (SubjectLength + 1);
  return static_cast<std::uint32_t>(std::clamp<std::size_t>(n, 1, kMaxCalloutsBetweenReads));
}

std::string ErrorText(int Code) {
  PCRE2_UCHAR16 buffer[256];
  const int n = pcre2_get_error_message(Code, buffer, sizeof(buffer) / sizeof(buffer[0]));
  if (n < 0) return "regular expression error " + std::to_string(Code);
  return StrToUTF8(String(reinterpret_cast<const Char*>(buffer), static_cast<std::size_t>(n)));
}

pcre2_code* Code(void* P) { return static_cast<pcre2_code*>(P); }

} // namespace

// Automatic callouts change nothing about which subjects match; they only give
// the matcher a place to stop a search that has run out of time.
TRegEx::TRegEx(const String& Pattern) : FPattern(Pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern.data()), Pattern.size(), PCRE2_AUTO_CALLOUT, &error,
                        &offset, nullptr);
  if (FCode == nullptr) {
    throw ERegexError(ErrorText(error) + " at offset " + std::to_string(offset));
  }
}

TRegEx::~TRegEx() { pcre2_code_free(Code(FCode)); }

bool TRegEx::IsMatch(const String& Input) const {
  pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  if (data == nullptr || context == nullptr) {
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    throw ERegexError("Out of memory for regular expression matching");
  }
  TMatchBudget budget;
  budget.ReadEvery = CalloutsBetweenReads(Input.size());
  budget.Countdown = budget.ReadEvery;
  pcre2_set_match_limit(context, kMatchLimit);
  pcre2_set_depth_limit(context, kDepthLimit);
  pcre2_set_callout(context, CheckBudget, &budget);
  const int rc = pcre2_match(Code(FCode), reinterpret_cast<PCRE2_SPTR>(Input.data()), Input.size(), 0, 0, data, context);
  pcre2_match_data_free(data);
  pcre2_match_context_free(context);
  if (rc >= 0) return true;
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (budget.Expired) {
    throw ERegexError("Regular expression matching failed: time limit of " + std::to_string(kMatchTimeLimit.count()) +
                      " ms exceeded");
  }
  throw ERegexError("Regular expression matching failed: " + ErrorText(rc));
}

} // namespace kl
