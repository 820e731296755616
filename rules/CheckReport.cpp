#include "rules/KLCheckReport.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/KLGeneral.h"
#include "rules/JsonNumber.h"

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
#if defined(__cpp_lib_to_chars)
  char text[40];
  const auto end = std::to_chars(text, text + sizeof(text), Value).ptr;
  return std::string(text, end);
#else
  return detail::ShortestDoubleText(Value);
#endif
}

std::string JsonKeys(const std::vector<std::string>& Keys) {
  std::string json = "[";
  for (std::size_t i = 0; i < Keys.size(); ++i) json.append(i ? "," : "").append(JsonString(Keys[i]));
  return json + "]";
}

const char* ProfileName(TKLStrengthProfile Profile) { return Profile == spZxcvbnTs ? "zxcvbn-ts" : "zxcvbn"; }

std::string StrengthJson(const TKLStrengthResult& Strength) {
  const TKLCrackTimes& t = Strength.CrackTimesSeconds;
  const TKLCrackTimesDisplay& d = Strength.CrackTimesDisplay;
  std::string json =
      "\"score\":" + std::to_string(Strength.Score) +
      ",\"guesses_log10\":" + Number(std::round(Strength.GuessesLog10 * 1e4) / 1e4) +
      ",\"guesses\":" + Number(Strength.Guesses) +
      ",\"crack_times_seconds\":{\"online_throttling_100_per_hour\":" + Number(t.OnlineThrottling) +
      ",\"online_no_throttling_10_per_second\":" + Number(t.OnlineNoThrottling) +
      ",\"offline_slow_hashing_1e4_per_second\":" + Number(t.OfflineSlowHashing) +
      ",\"offline_fast_hashing_1e10_per_second\":" + Number(t.OfflineFastHashing) +
      "},\"crack_times_display\":{\"online_throttling_100_per_hour\":" + JsonString(StrToUTF8(d.OnlineThrottling)) +
      ",\"online_no_throttling_10_per_second\":" + JsonString(StrToUTF8(d.OnlineNoThrottling)) +
      ",\"offline_slow_hashing_1e4_per_second\":" + JsonString(StrToUTF8(d.OfflineSlowHashing)) +
      ",\"offline_fast_hashing_1e10_per_second\":" + JsonString(StrToUTF8(d.OfflineFastHashing)) +
      "},\"feedback\":{\"warning\":" + JsonString(StrToUTF8(Strength.Feedback.Warning)) +
      ",\"warning_key\":" + JsonString(Strength.Feedback.WarningKey) + ",\"suggestions\":[";
  for (std::size_t i = 0; i < Strength.Feedback.Suggestions.size(); ++i)
    json.append(i ? "," : "").append(JsonString(StrToUTF8(Strength.Feedback.Suggestions[i])));
  json.append("],\"suggestion_keys\":").append(JsonKeys(Strength.Feedback.SuggestionKeys));
  json.append("},\"profile\":").append(JsonString(ProfileName(Strength.Profile)));
  return json.append(",\"language\":").append(JsonString(Strength.Language));
}

std::string FailureJson(const TKLRuleFailure& Failure, const TKLRuleMessages& Messages) {
  std::string json = "{\"code\":" + JsonString(Failure.GetCode()) +
                     ",\"message\":" + JsonString(StrToUTF8(Messages.Format(Failure, true))) + ",\"parameters\":{";
  bool first = true;
  for (const TKLRuleParameter& p : Failure.GetParameters()) {
    if (p.Kind == TKLParameterKind::pkPasswordText) continue;
    json.append(first ? "" : ",").append(JsonString(p.Name)).append(":");
    json += p.Kind == TKLParameterKind::pkNumber ? StrToUTF8(p.Value) : JsonString(StrToUTF8(p.Value));
    first = false;
  }
  return json + "}}";
}

} // namespace

namespace detail {

std::string ShortestDoubleText(double Value) {
  if (std::isnan(Value)) return "nan";
  if (std::isinf(Value)) return Value < 0 ? "-inf" : "inf";
  if (Value == 0) return std::signbit(Value) ? "-0" : "0";
  // The fewest significant digits that read back as the same double.
  char text[40];
  for (int precision = 0; precision < 17; ++precision) {
    std::snprintf(text, sizeof(text), "%.*e", precision, Value);
    if (std::strtod(text, nullptr) == Value) break;
  }
  std::string mantissa(text, std::strchr(text, 'e'));
  const int exponent = std::atoi(std::strchr(text, 'e') + 1);
  const std::string sign = mantissa[0] == '-' ? "-" : "";
  std::string digits;
  for (const char c : mantissa) {
    if (c >= '0' && c <= '9') digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string scientific = sign + digits.substr(0, 1);
  if (digits.size() > 1) scientific.append(".").append(digits, 1);
  char power[16];
  std::snprintf(power, sizeof(power), "e%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
  scientific += power;

  std::string fixed = sign;
  const auto size = static_cast<int>(digits.size());
  if (exponent < 0) {
    fixed += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else if (size <= exponent + 1) {
    // A whole number: to_chars prints its exact digits, not the shortest ones
    // padded with zeros (they differ above 2^53).
    char whole[320];
    std::snprintf(whole, sizeof(whole), "%.0f", Value);
    fixed = whole;
  } else {
    fixed += digits.substr(0, static_cast<std::size_t>(exponent + 1)) + "." +
             digits.substr(static_cast<std::size_t>(exponent + 1));
  }
  return fixed.size() <= scientific.size() ? fixed : scientific;
}

} // namespace detail

std::string FormatCheckJson(const TKLRuleFailures& Failures, const TKLStrengthResult& Strength) {
  std::string line = std::string("{\"ok\":") + (Failures.empty() ? "true" : "false") + "," + StrengthJson(Strength) +
                     ",\"failures\":[";
  const TKLRuleMessages& messages = TKLRuleMessages::ForLanguage(Strength.Language);
  for (std::size_t i = 0; i < Failures.size(); ++i)
    line.append(i ? "," : "").append(FailureJson(Failures[i], messages));
  return line + "]}";
}

} // namespace kl
