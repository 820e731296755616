#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/KLGeneral.h"
#include "rules/KLStrength.h"
#include "rules/StrengthTsCorpus.h"
#include "support/TestSupport.h"

// The zxcvbn-ts profile against answers of zxcvbn-ts 4.2.0 checked in
// (tests/data/strength_ts_known_answers.txt, written by
// tests/rules/strength_ts_known_answers.sh): a sample of every language's
// agreement corpus, with score, guesses, feedback keys and crack times in the
// language's words. The live comparison over the whole corpora runs on demand
// (the CTest label "oracle").

namespace kl {
namespace {

constexpr std::size_t kSampleStep = 10;

// One answer: the fields of a line of the file.
struct TsAnswer {
  std::string Language;
  String Password;
  int Score = -1;
  double GuessesLog10 = 0;
  std::string WarningKey;
  std::string SuggestionKeys; // space-separated
  std::string Times[4];       // online throttled, online, offline slow, offline fast
  std::size_t Line = 0;
};

std::string Json(const String& S) {
  std::string out = "\"";
  char unit[8];
  for (const Char c : S) {
    if (c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\')
      out.push_back(static_cast<char>(c));
    else
      out.append(unit, static_cast<std::size_t>(std::snprintf(unit, sizeof unit, "\\u%04x", static_cast<unsigned>(c))));
  }
  return out + "\"";
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A JSON string as JSON.stringify writes it (UTF-8, escapes for quotes,
// backslashes, controls and lone surrogates); nothing on anything else.
std::optional<String> UnJson(const std::string& Quoted) {
  if (Quoted.size() < 2 || Quoted.front() != '"' || Quoted.back() != '"') return std::nullopt;
  String out;
  std::string run; // UTF-8 not yet converted
  auto flush = [&] {
    out += UTF8ToStr(reinterpret_cast<const std::uint8_t*>(run.data()), run.size());
    run.clear();
  };
  for (std::size_t i = 1; i + 1 < Quoted.size(); ++i) {
    if (Quoted[i] == '"') return std::nullopt;
    if (Quoted[i] != '\\') {
      run.push_back(Quoted[i]);
      continue;
    }
    if (++i + 1 >= Quoted.size()) return std::nullopt;
    flush();
    switch (Quoted[i]) {
      case '"':
        out += u'"';
        break;
      case '\\':
        out += u'\\';
        break;
      case '/':
        out += u'/';
        break;
      case 'b':
        out += u'\b';
        break;
      case 'f':
        out += u'\f';
        break;
      case 'n':
        out += u'\n';
        break;
      case 'r':
        out += u'\r';
        break;
      case 't':
        out += u'\t';
        break;
      case 'u': {
        if (i + 5 >= Quoted.size()) return std::nullopt;
        unsigned v = 0;
        for (std::size_t k = 1; k <= 4; ++k) {
          const int h = Hex(Quoted[i + k]);
          if (h < 0) return std::nullopt;
          v = v * 16 + static_cast<unsigned>(h);
        }
        out += static_cast<Char>(v);
        i += 4;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  flush();
  return out;
}

// Every answer of the file, in its order, and the year zxcvbn-ts took as the
// current one when it answered (recent years and dates are priced from it),
// read from the header; a malformed line fails the test by its number rather
// than being skipped.
std::vector<TsAnswer> LoadAnswers(std::int32_t& Year) {
  std::istringstream lines(test::ReadFileBytes(test::DataPath("strength_ts_known_answers.txt")));
  std::vector<TsAnswer> answers;
  std::size_t number = 0;
  Year = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (const std::size_t at = line.find("reference year "); number == 1 && at != std::string::npos)
      Year = std::stoi(line.substr(at + 15, 4));
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    TsAnswer a;
    a.Line = number;
    const std::optional<String> password = f.size() == 10 ? UnJson(f[1]) : std::nullopt;
    if (!password || f[2].size() != 1 || f[2][0] < '0' || f[2][0] > '4') {
      ADD_FAILURE() << "strength_ts_known_answers.txt:" << number << ": malformed";
      continue;
    }
    a.Language = f[0];
    a.Password = *password;
    a.Score = f[2][0] - '0';
    a.GuessesLog10 = std::stod(f[3]);
    a.WarningKey = f[4];
    a.SuggestionKeys = f[5];
    for (int t = 0; t < 4; ++t) a.Times[t] = f[6 + static_cast<std::size_t>(t)];
    answers.push_back(std::move(a));
  }
  return answers;
}

std::string Joined(const std::vector<std::string>& Keys) {
  std::string s;
  for (const std::string& k : Keys) s += (s.empty() ? "" : " ") + k;
  return s;
}

// Every answer of every language agrees: score, guesses (to 1e-9 in log10),
// the warning and suggestion keys, and the four crack times in the language's
// words. The sample is every tenth password of the corpus the live comparison
// uses, so a slip in one kind of pattern or one language's list shows here.
TEST(StrengthTsKnownAnswers, AgreeWithZxcvbnTsPerLanguage) {
  std::int32_t year = 0;
  const std::vector<TsAnswer> answers = LoadAnswers(year);
  ASSERT_GE(year, 2024) << "no reference year in the header";
  std::map<std::string, std::size_t> perLanguage;
  std::map<std::string, TKLStrengthEstimator> estimators;
  std::size_t differ = 0;
  for (const TsAnswer& a : answers) {
    auto [it, made] = estimators.try_emplace(a.Language);
    if (made) {
      it->second.SetReferenceYear(year);
      it->second.SetProfile(spZxcvbnTs);
      it->second.SetLanguages({a.Language});
    }
    ++perLanguage[a.Language];
    const TKLStrengthResult r = it->second.Estimate(a.Password);
    const TKLCrackTimesDisplay& d = r.CrackTimesDisplay;
    const std::string times[4] = {StrToUTF8(d.OnlineThrottling), StrToUTF8(d.OnlineNoThrottling),
                                  StrToUTF8(d.OfflineSlowHashing), StrToUTF8(d.OfflineFastHashing)};
    const bool same = r.Score == a.Score && std::fabs(r.GuessesLog10 - a.GuessesLog10) <= 1e-9 &&
                      r.Feedback.WarningKey == a.WarningKey && Joined(r.Feedback.SuggestionKeys) == a.SuggestionKeys &&
                      times[0] == a.Times[0] && times[1] == a.Times[1] && times[2] == a.Times[2] &&
                      times[3] == a.Times[3];
    if (!same && differ++ < 10)
      ADD_FAILURE() << "line " << a.Line << " " << a.Language << " '" << test::Narrow(a.Password) << "': score "
                    << r.Score << "/" << a.Score << ", log10 " << r.GuessesLog10 << "/" << a.GuessesLog10
                    << ", warning '" << r.Feedback.WarningKey << "'/'" << a.WarningKey << "', suggestions '"
                    << Joined(r.Feedback.SuggestionKeys) << "'/'" << a.SuggestionKeys << "', times " << times[0] << "|"
                    << times[1] << "|" << times[2] << "|" << times[3] << " / " << a.Times[0] << "|" << a.Times[1] << "|"
                    << a.Times[2] << "|" << a.Times[3];
  }
  EXPECT_EQ(differ, 0u) << "of " << answers.size();
  // Every language the profile offers, each with its share of the sample.
  for (const std::string& language : StrengthLanguages())
    EXPECT_GE(perLanguage[language], 3000 / kSampleStep) << language;
  EXPECT_EQ(perLanguage.size(), StrengthLanguages().size());
}

TEST(StrengthTsKnownAnswers, PasswordsReadBackAsWritten) {
  const std::vector<String> cases = {u"",
                                     u"plain",
                                     u"qu\"ote\\d",
                                     u"tab\tnew\nline",
                                     u"Łódź ÉCOLE ß",
                                     u"\U0001F600",
                                     String(1, static_cast<Char>(0xD800)) + u"x"};
  for (const String& s : cases) EXPECT_EQ(UnJson(Json(s)), s) << test::Narrow(s);
  // As node writes them: UTF-8 as it is, escapes where JSON needs them.
  EXPECT_EQ(UnJson("\"Ł\\u00f3d\\u017a\\\"\\/\""), String(u"Łódź\"/"));
  for (const char* bad : {"", "\"", "plain", "\"a\"b\"", "\"\\x\"", "\"\\u12\"", "\"\\u12g4\""})
    EXPECT_EQ(UnJson(bad), std::nullopt) << bad;
}

// Not a check: writes the sample the known answers are made for, every tenth
// password of each language's corpus, one JSON string a line, into
// KL_TS_SAMPLE_DIR/<language>.txt. tests/rules/strength_ts_known_answers.sh
// runs it, then zxcvbn-ts over the sample.
TEST(StrengthTsKnownAnswers, DISABLED_WriteSample) {
  const char* dir = std::getenv("KL_TS_SAMPLE_DIR");
  if (dir == nullptr) GTEST_SKIP() << "KL_TS_SAMPLE_DIR not set";
  for (const std::string& language : StrengthLanguages()) {
    const std::vector<String> corpus = test::BuildTsStrengthCorpus(language);
    std::ofstream out(std::filesystem::path(dir) / (language + ".txt"), std::ios::binary);
    for (std::size_t i = 0; i < corpus.size(); i += kSampleStep) out << Json(corpus[i]) << '\n';
    ASSERT_TRUE(out.good()) << language;
  }
}

} // namespace
} // namespace kl
