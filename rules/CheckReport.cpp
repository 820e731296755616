#include "rules/KLCheckReport.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "foundation/KLGeneral.h"

namespace kl {

namespace {

std::string JsonString(const std::string& Utf8) {
  std::string out = "\"";
  for (const char c : Utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// The shortest text that reads back as the same number.
std::string Number(double Value) {
  char text[40];
  const auto end = std::to_chars(text, text + sizeof(text), Value).ptr;
  return std::string(text, end);
}

std::string StrengthJson(const TKLStrengthResult& Strength) {
  const TKLCrackTimes& t = Strength.CrackTimesSeconds;
  std::string json = "\"score\":" + std::to_string(Strength.Score) +
                     ",\"guesses_log10\":" + Number(std::round(Strength.GuessesLog10 * 1e4) / 1e4) +
                     ",\"guesses\":" + Number(Strength.Guesses) +
                     ",\"crack_times_seconds\":{\"online_throttling_100_per_hour\":" + Number(t.OnlineThrottling) +
                     ",\"online_no_throttling_10_per_second\":" + Number(t.OnlineNoThrottling) +
                     ",\"offline_slow_hashing_1e4_per_second\":" + Number(t.OfflineSlowHashing) +
                     ",\"offline_fast_hashing_1e10_per_second\":" + Number(t.OfflineFastHashing) +
                     "},\"feedback\":{\"warning\":" + JsonString(StrToUTF8(Strength.Feedback.Warning)) +
                     ",\"suggestions\":[";
  for (std::size_t i = 0; i < Strength.Feedback.Suggestions.size(); ++i)
    json += (i ? "," : "") + JsonString(StrToUTF8(Strength.Feedback.Suggestions[i]));
  return json + "]}";
}

std::string FailureJson(const TKLRuleFailure& Failure) {
  std::string json = "{\"code\":" + JsonString(Failure.GetCode()) +
                     ",\"message\":" + JsonString(StrToUTF8(TKLRuleMessages::GetEnglish().Format(Failure, true))) +
                     ",\"parameters\":{";
  bool first = true;
  for (const TKLRuleParameter& p : Failure.GetParameters()) {
    if (p.Kind == TKLParameterKind::pkPasswordText) continue;
    json += (first ? "" : ",") + JsonString(p.Name) + ":";
    json += p.Kind == TKLParameterKind::pkNumber ? StrToUTF8(p.Value) : JsonString(StrToUTF8(p.Value));
    first = false;
  }
  return json + "}}";
}

} // namespace

std::string FormatCheckJson(const TKLRuleFailures& Failures, const TKLStrengthResult& Strength) {
  std::string line = std::string("{\"ok\":") + (Failures.empty() ? "true" : "false") + "," + StrengthJson(Strength) +
                     ",\"failures\":[";
  for (std::size_t i = 0; i < Failures.size(); ++i) line += (i ? "," : "") + FailureJson(Failures[i]);
  return line + "]}";
}

} // namespace kl
