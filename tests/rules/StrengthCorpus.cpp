#include "rules/StrengthCorpus.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>

#include "rules/StrengthMatching.h"

namespace kl::test {
namespace {

String Ascii(std::string_view Text) { return String(Text.begin(), Text.end()); }

std::vector<String> WordList(TKLStrengthDictionary Dictionary) {
  std::vector<String> words;
  std::istringstream lines{std::string(detail::StrengthWordListText()[Dictionary])};
  for (std::string line; std::getline(lines, line);) words.push_back(Ascii(line));
  return words;
}

class CorpusBuilder {
public:
  CorpusBuilder()
      : FPasswords(WordList(sdPasswords)),
        FEnglish(WordList(sdEnglishWikipedia)),
        FNames(WordList(sdFemaleNames)),
        FSurnames(WordList(sdSurnames)) {
    const auto male = WordList(sdMaleNames);
    FNames.insert(FNames.end(), male.begin(), male.end());
  }

  std::vector<String> Build() {
    for (std::size_t i = 0; i < 1500; ++i) Add(FPasswords[i]);
    for (int i = 0; i < 1000; ++i) Add(Pick(FPasswords));
    for (int i = 0; i < 3000; ++i) Add(Mutate(Word()));
    for (int i = 0; i < 1000; ++i) Add(Pick(FEnglish) + Pick(FEnglish));
    for (int i = 0; i < 1200; ++i) Add(Date());
    for (int i = 0; i < 900; ++i) Add(KeyboardWalk());
    for (int i = 0; i < 900; ++i) Add(Name());
    for (int i = 0; i < 600; ++i) Add(RepeatOrSequence());
    for (int i = 0; i < 1500; ++i) Add(RandomString());
    return std::move(FCorpus);
  }

private:
  void Add(String P) { FCorpus.push_back(std::move(P)); }
  std::size_t Below(std::size_t N) { return std::uniform_int_distribution<std::size_t>(0, N - 1)(FRng); }
  const String& Pick(const std::vector<String>& List) { return List[Below(List.size())]; }
  String Digits(std::size_t Count) {
    String d;
    for (std::size_t i = 0; i < Count; ++i) d.push_back(static_cast<Char>(u'0' + Below(10)));
    return d;
  }
  String Word() {
    switch (Below(4)) {
      case 0:
        return Pick(FPasswords);
      case 1:
        return Pick(FEnglish);
      case 2:
        return Pick(FNames);
      default:
        return Pick(FSurnames);
    }
  }

  String Mutate(String W) {
    static constexpr std::array<std::pair<Char, Char>, 6> l33t = {
        {{u'a', u'@'}, {u'e', u'3'}, {u'o', u'0'}, {u's', u'$'}, {u'i', u'1'}, {u't', u'7'}}};
    switch (Below(9)) {
      case 0:
        if (W[0] >= u'a' && W[0] <= u'z') W[0] = static_cast<Char>(W[0] - 32);
        break;
      case 1:
        W += Digits(1 + Below(3));
        break;
      case 2:
        W += Ascii(std::to_string(1950 + Below(75)));
        break;
      case 3:
        for (Char& c : W)
          for (const auto& [from, to] : l33t)
            if (c == from && Below(3) != 0) c = to;
        break;
      case 4:
        W = String(W.rbegin(), W.rend());
        break;
      case 5:
        for (Char& c : W)
          if (c >= u'a' && c <= u'z') c = static_cast<Char>(c - 32);
        break;
      case 6:
        W += u"!";
        break;
      case 7:
        W = Word() + Digits(2) + W;
        break;
      default:
        for (Char& c : W)
          if (c >= u'a' && c <= u'z' && Below(4) == 0) c = static_cast<Char>(c - 32);
        break;
    }
    return W;
  }

  String Date() {
    const std::size_t day = 1 + Below(31), month = 1 + Below(12), year = 1930 + Below(100);
    auto two = [](std::size_t v) { return Ascii((v < 10 ? "0" : "") + std::to_string(v)); };
    const String y4 = Ascii(std::to_string(year)), y2 = two(year % 100);
    const String sep(1, u"/-._ "[Below(5)]);
    switch (Below(8)) {
      case 0:
        return two(day) + two(month) + y4;
      case 1:
        return two(month) + sep + two(day) + sep + y2;
      case 2:
        return y4 + sep + two(month) + sep + two(day);
      case 3:
        return Ascii(std::to_string(day)) + Ascii(std::to_string(month)) + y2;
      case 4:
        return Word() + y4;
      case 5:
        return Ascii(std::to_string(month)) + sep + Ascii(std::to_string(day)) + sep + y4;
      case 6:
        return two(day) + two(month) + y2;
      default:
        return y4;
    }
  }

  // A walk over a keyboard or keypad, going right, left, up or down, turning now and then.
  String KeyboardWalk() {
    static constexpr std::array<std::string_view, 4> qwerty = {"1234567890-=", "qwertyuiop[]", "asdfghjkl;'",
                                                               "zxcvbnm,./"};
    static constexpr std::array<std::string_view, 4> keypad = {"789", "456", "123", "0.."};
    const bool pad = Below(4) == 0;
    const auto& rows = pad ? keypad : qwerty;
    std::size_t r = Below(rows.size()), c = Below(rows[r].size() - 1);
    const std::size_t length = 3 + Below(pad ? 6 : 10);
    int dr = 0, dc = 1;
    String walk;
    while (walk.size() < length) {
      walk.push_back(static_cast<Char>(rows[r][c]));
      if (Below(4) == 0) {
        static constexpr std::array<std::pair<int, int>, 4> dirs = {{{0, 1}, {0, -1}, {1, 0}, {-1, 0}}};
        std::tie(dr, dc) = dirs[Below(4)];
      }
      const auto nr = static_cast<std::ptrdiff_t>(r) + dr, nc = static_cast<std::ptrdiff_t>(c) + dc;
      if (nr < 0 || nr >= static_cast<std::ptrdiff_t>(rows.size()) || nc < 0 ||
          nc >= static_cast<std::ptrdiff_t>(rows[static_cast<std::size_t>(nr)].size())) {
        dr = -dr;
        dc = -dc;
        continue;
      }
      r = static_cast<std::size_t>(nr);
      c = static_cast<std::size_t>(nc);
    }
    if (Below(5) == 0) walk[0] = static_cast<Char>(walk[0] >= u'a' && walk[0] <= u'z' ? walk[0] - 32 : walk[0]);
    return walk;
  }

  String Name() {
    String n = Below(2) == 0 ? Pick(FNames) : Pick(FNames) + Pick(FSurnames);
    if (Below(2) == 0) n[0] = static_cast<Char>(n[0] - 32);
    if (Below(2) == 0) n += Digits(1 + Below(4));
    return n;
  }

  String RepeatOrSequence() {
    switch (Below(5)) {
      case 0:
        return String(2 + Below(10), static_cast<Char>(u'a' + Below(26)));
      case 1: {
        String base = Below(2) == 0 ? Pick(FPasswords) : Digits(1 + Below(3));
        String p;
        for (std::size_t k = 2 + Below(3); k > 0; --k) p += base;
        return p;
      }
      case 2: {
        const std::size_t start = Below(20), step = 1 + Below(3), len = 3 + Below(6);
        String p;
        for (std::size_t i = 0; i < len; ++i) p.push_back(static_cast<Char>(u'a' + (start + i * step) % 26));
        return Below(2) == 0 ? p : String(p.rbegin(), p.rend());
      }
      case 3: {
        const std::size_t start = Below(5), len = 3 + Below(6);
        String p;
        for (std::size_t i = 0; i < len; ++i) p.push_back(static_cast<Char>(u'0' + (start + i) % 10));
        return p;
      }
      default:
        return Word() + String(3, static_cast<Char>(u'!' + Below(10)));
    }
  }

  String RandomString() {
    static constexpr std::array<std::string_view, 4> alphabets = {
        "abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrstuvwxyz0123456789",
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!@#$%^&*()-_=+[]{};:,.<>/?"};
    const auto& alphabet = alphabets[Below(alphabets.size())];
    String s(4 + Below(17), u' ');
    for (Char& c : s) c = static_cast<Char>(alphabet[Below(alphabet.size())]);
    return s;
  }

  std::mt19937_64 FRng{20161116};
  std::vector<String> FPasswords, FEnglish, FNames, FSurnames;
  std::vector<String> FCorpus;
};

std::string JsonString(const String& S) {
  std::string out = "\"";
  char buf[8];
  for (Char c : S) {
    if (c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out + "\"";
}

// The environment names node and the module; a program built with defaults
// (the benchmark) falls back to them.
const char* NodePath() {
  if (const char* v = std::getenv("KL_NODE")) return v;
#ifdef KL_DEFAULT_NODE
  return KL_DEFAULT_NODE;
#else
  return nullptr;
#endif
}

const char* ModulePath() {
  if (const char* v = std::getenv("KL_ZXCVBN_MODULE")) return v;
#ifdef KL_DEFAULT_ZXCVBN_MODULE
  return KL_DEFAULT_ZXCVBN_MODULE;
#else
  return nullptr;
#endif
}

struct OracleRun {
  std::filesystem::path Folder;
  OracleRun()
      : Folder(std::filesystem::temp_directory_path() / ("kl_oracle_" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(Folder);
  }
  ~OracleRun() {
    std::error_code ignored;
    std::filesystem::remove_all(Folder, ignored);
  }
  // Runs the script; returns the output file's text, or nothing on failure.
  std::optional<std::string> Run(const std::vector<String>& Passwords, const std::string& Mode) const {
    {
      std::ofstream in(Folder / "in.txt", std::ios::binary);
      for (const String& p : Passwords) in << JsonString(p) << '\n';
    }
    const std::string command = "\"" + std::string(NodePath()) + "\" \"" KL_STRENGTH_ORACLE_SCRIPT "\" \"" +
                                ModulePath() + "\" \"" + (Folder / "in.txt").string() + "\" \"" +
                                (Folder / "out.txt").string() + "\" " + Mode;
    if (std::system(command.c_str()) != 0) return std::nullopt;
    std::ifstream out(Folder / "out.txt", std::ios::binary);
    std::stringstream text;
    text << out.rdbuf();
    return text.str();
  }
};

} // namespace

std::vector<String> BuildStrengthCorpus() { return CorpusBuilder().Build(); }

bool OracleAvailable() { return NodePath() != nullptr && ModulePath() != nullptr; }

std::optional<std::vector<OracleAnswer>> RunStrengthOracle(const std::vector<String>& Passwords) {
  if (!OracleAvailable()) return std::nullopt;
  const auto text = OracleRun().Run(Passwords, "score");
  if (!text) return std::nullopt;
  std::vector<OracleAnswer> answers;
  std::istringstream lines(*text);
  OracleAnswer a{};
  while (lines >> a.Score >> a.GuessesLog10) answers.push_back(a);
  if (answers.size() != Passwords.size()) return std::nullopt;
  return answers;
}

std::optional<double> TimeStrengthOracle(const std::vector<String>& Passwords, int Rounds) {
  if (!OracleAvailable()) return std::nullopt;
  const auto text = OracleRun().Run(Passwords, "time " + std::to_string(Rounds));
  if (!text) return std::nullopt;
  return std::stod(*text);
}

} // namespace kl::test
