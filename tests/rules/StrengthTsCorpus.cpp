#include "rules/StrengthTsCorpus.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>

#include "foundation/KLGeneral.h"
#include "rules/StrengthTs.h"

namespace kl::test {

namespace {

String Utf16(std::string_view Text) {
  return UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size());
}

// The first Most words of the pack's lists whose names contain Part.
std::vector<String> Lists(const std::string& Pack, std::string_view Part, std::size_t Most) {
  std::vector<String> words;
  for (const detail::TTsPackText& p : detail::TsPackTexts()) {
    if (p.Code != Pack) continue;
    for (std::size_t l = 0; l < p.Count; ++l) {
      if (p.Lists[l].Name.find(Part) == std::string_view::npos) continue;
      std::istringstream lines{std::string(*p.Lists[l].Text)};
      std::size_t taken = 0;
      for (std::string line; taken < Most && std::getline(lines, line); ++taken)
        if (!line.empty()) words.push_back(Utf16(line));
    }
  }
  return words;
}

class TsCorpusBuilder {
public:
  explicit TsCorpusBuilder(const std::string& Language)
      : FLanguage(Language),
        FWords(Lists(Language, "commonWords", 20000)),
        FWiki(Lists(Language, "wikipedia", 20000)),
        FFirst(Lists(Language, "irstnames", 5000)),
        FLast(Lists(Language, "astnames", 5000)),
        FPasswords(Lists("common", "passwords", 20000)) {
    for (const char* name : {"cardinalNumbers", "months", "daysOfWeek", "seasons", "planets"}) {
      std::vector<String> list = Lists(Language, name, 100);
      if (!list.empty()) FSequences.push_back(std::move(list));
    }
    FRng.seed(std::hash<std::string>{}(Language) ^ 20250101u);
    if (FFirst.empty()) FFirst = FWords;
    if (FLast.empty()) FLast = FWiki;
    for (const detail::TTsGraph& g : detail::TsGraphs())
      if (g.Name == LayoutName() || g.Name == "keypad") FGraphs.push_back(&g);
  }

  std::vector<String> Build() {
    for (int i = 0; i < 500; ++i) Add(Pick(FWords));
    for (int i = 0; i < 500; ++i) Add(Mutate(Word()));
    for (int i = 0; i < 300; ++i) Add(Word() + String(Below(3) == 0 ? 1 : 0, u"-_. "[Below(4)]) + Word());
    for (int i = 0; i < 300; ++i) Add(Name());
    for (int i = 0; i < 300; ++i) Add(Date());
    for (int i = 0; i < 400; ++i) Add(KeyboardWalk());
    for (int i = 0; i < 300; ++i) Add(L33t(Word()));
    for (int i = 0; i < 150; ++i) Add(WordSequence());
    for (int i = 0; i < 200; ++i) Add(Pick(FPasswords));
    for (int i = 0; i < 300; ++i) Add(RandomString());
    return std::move(FCorpus);
  }

private:
  std::string LayoutName() const {
    if (FLanguage == "de") return "qwertz";
    if (FLanguage == "fr") return "azerty";
    return "qwerty";
  }
  void Add(String P) {
    if (!P.empty()) FCorpus.push_back(std::move(P));
  }
  std::size_t Below(std::size_t N) { return std::uniform_int_distribution<std::size_t>(0, N - 1)(FRng); }
  const String& Pick(const std::vector<String>& List) { return List[Below(List.size())]; }
  String Digits(std::size_t Count) {
    String d;
    for (std::size_t i = 0; i < Count; ++i) d.push_back(static_cast<Char>(u'0' + Below(10)));
    return d;
  }
  String Number(std::size_t V) { return Utf16(std::to_string(V)); }
  String Two(std::size_t V) { return Utf16((V < 10 ? "0" : "") + std::to_string(V)); }
  String Word() { return Below(3) == 0 ? Pick(FWiki) : Pick(FWords); }
  static String Capital(String W) {
    if (!W.empty()) W = ToUpper(W.substr(0, 1)) + W.substr(1);
    return W;
  }
  // Upper case for the letters a corpus uses: ASCII and Latin-1 and Latin Extended-A.
  static String ToUpper(String W) {
    for (Char& c : W) {
      if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        c = static_cast<Char>(c - 32);
      else if (c >= 0x100 && c <= 0x17F && (c & 1) == 1 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F)
        c = static_cast<Char>(c - 1);
    }
    return W;
  }
  String Mutate(String W) {
    switch (Below(8)) {
      case 0:
        return Capital(W);
      case 1:
        return W + Digits(1 + Below(3));
      case 2:
        return Capital(W) + Number(1950 + Below(75));
      case 3:
        return String(W.rbegin(), W.rend());
      case 4:
        return ToUpper(W);
      case 5:
        return W + u"!";
      case 6:
        return Word() + Digits(2) + W;
      default:
        for (Char& c : W)
          if (Below(4) == 0) c = ToUpper(String(1, c))[0];
        return W;
    }
  }
  String L33t(String W) {
    static constexpr std::array<std::pair<Char, std::u16string_view>, 12> subs = {{{u'a', u"@"},
                                                                                   {u'a', u"4"},
                                                                                   {u'e', u"3"},
                                                                                   {u'o', u"0"},
                                                                                   {u's', u"$"},
                                                                                   {u'i', u"1"},
                                                                                   {u't', u"7"},
                                                                                   {u'l', u"1"},
                                                                                   {u'b', u"8"},
                                                                                   {u'u', u"|_|"},
                                                                                   {u'h', u"|-|"},
                                                                                   {u'g', u"9"}}};
    String out;
    for (Char c : W) {
      const auto* sub = std::find_if(subs.begin(), subs.end(), [&](const auto& s) { return s.first == c; });
      if (sub != subs.end() && Below(3) != 0)
        out += sub->second;
      else
        out.push_back(c);
    }
    if (Below(3) == 0) out = Capital(out);
    if (Below(3) == 0) out += Digits(1 + Below(2));
    return out;
  }
  String Name() {
    String n = Below(2) == 0 ? Pick(FFirst) : Pick(FFirst) + Pick(FLast);
    if (Below(2) == 0) n = Capital(n);
    if (Below(2) == 0) n += Digits(1 + Below(4));
    return n;
  }
  String Date() {
    const std::size_t day = 1 + Below(31), month = 1 + Below(12), year = 1930 + Below(100);
    const String sep(1, u"/-._ "[Below(5)]);
    switch (Below(7)) {
      case 0:
        return Two(day) + Two(month) + Number(year);
      case 1:
        return Two(day) + sep + Two(month) + sep + Number(year);
      case 2:
        return Number(year) + sep + Two(month) + sep + Two(day);
      case 3:
        return Number(day) + Number(month) + Two(year % 100);
      case 4:
        return Capital(Word()) + Number(year);
      case 5:
        return Pick(FFirst) + Two(day) + Two(month);
      default:
        return Number(day) + sep + Number(month) + sep + Two(year % 100);
    }
  }
  // A walk over the language's keyboard (or the keypad): neighbour after
  // neighbour, keeping a direction and turning now and then.
  String KeyboardWalk() {
    const detail::TTsGraph& g = *FGraphs[Below(4) == 0 && FGraphs.size() > 1 ? 1 : 0];
    std::vector<Char> keys;
    for (const auto& [key, neighbours] : g.Neighbours) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    Char key = keys[Below(keys.size())];
    const std::size_t length = 3 + Below(g.IsKeypad ? 6 : 10);
    std::size_t direction = Below(6);
    String walk(1, key);
    for (int tries = 0; walk.size() < length && tries < 100; ++tries) {
      const std::vector<std::u16string>& n = g.Neighbours.at(key);
      if (Below(4) == 0 || direction >= n.size() || n[direction].empty()) {
        direction = Below(n.size());
        continue;
      }
      const std::u16string& next = n[direction];
      const Char c = next.size() > 1 && Below(8) == 0 ? next[1] : next[0];
      if (g.Neighbours.count(c) == 0) break;
      walk.push_back(c);
      key = c;
    }
    return walk;
  }
  String WordSequence() {
    if (FSequences.empty()) return Word() + Word();
    const std::vector<String>& list = FSequences[Below(FSequences.size())];
    const std::size_t start = Below(list.size()), count = 2 + Below(3);
    const String sep = Below(2) == 0 ? String() : String(1, u"-_. "[Below(4)]);
    String out;
    for (std::size_t k = 0; k < count && start + k < list.size(); ++k) {
      if (k > 0) out += sep;
      out += Below(4) == 0 ? Capital(list[start + k]) : list[start + k];
    }
    return out + (Below(3) == 0 ? Digits(2) : String());
  }
  String RandomString() {
    std::u16string alphabet = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!@#$%^&*()-_=+.,";
    if (FLanguage == "de") alphabet += u"äöüßÄÖÜ";
    if (FLanguage == "fr") alphabet += u"éèàçùêÉ";
    if (FLanguage == "es-es") alphabet += u"ñáéíóúÑ";
    if (FLanguage == "pt-br") alphabet += u"ãçõáéêÇ";
    if (FLanguage == "pl") alphabet += u"ąćęłńóśźżŁ";
    if (FLanguage == "it") alphabet += u"àèéìòù";
    if (FLanguage == "nl-be") alphabet += u"ëïéè";
    const std::size_t span = Below(2) == 0 ? 26 : alphabet.size();
    String s(4 + Below(17), u' ');
    for (Char& c : s) c = alphabet[Below(span)];
    return s;
  }

  std::string FLanguage;
  std::vector<String> FWords, FWiki, FFirst, FLast, FPasswords;
  std::vector<std::vector<String>> FSequences;
  std::vector<const detail::TTsGraph*> FGraphs;
  std::mt19937_64 FRng;
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

const char* NodePath() {
  if (const char* v = std::getenv("KL_NODE")) return v;
#ifdef KL_DEFAULT_NODE
  return KL_DEFAULT_NODE;
#else
  return nullptr;
#endif
}

const char* ModulesPath() {
  if (const char* v = std::getenv("KL_ZXCVBN_TS_MODULES")) return v;
#ifdef KL_DEFAULT_ZXCVBN_TS_MODULES
  return KL_DEFAULT_ZXCVBN_TS_MODULES;
#else
  return nullptr;
#endif
}

std::optional<std::string> RunOracle(const std::string& Language, const std::vector<String>& Passwords,
                                     const std::string& Mode) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("kl_ts_oracle_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  struct TCleanup {
    std::filesystem::path Folder;
    ~TCleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(Folder, ignored);
    }
  } cleanup{folder};
  {
    std::ofstream in(folder / "in.txt", std::ios::binary);
    for (const String& p : Passwords) in << JsonString(p) << '\n';
  }
  const std::string command = "\"" + std::string(NodePath()) + "\" \"" KL_STRENGTH_TS_ORACLE_SCRIPT "\" \"" +
                              ModulesPath() + "\" " + Language + " \"" + (folder / "in.txt").string() + "\" \"" +
                              (folder / "out.txt").string() + "\" " + Mode;
  if (std::system(command.c_str()) != 0) return std::nullopt;
  std::ifstream out(folder / "out.txt", std::ios::binary);
  std::stringstream text;
  text << out.rdbuf();
  return text.str();
}

} // namespace

std::vector<String> BuildTsStrengthCorpus(const std::string& Language) { return TsCorpusBuilder(Language).Build(); }

bool TsOracleAvailable() { return NodePath() != nullptr && ModulesPath() != nullptr; }

std::optional<std::vector<OracleAnswer>> RunTsStrengthOracle(const std::string& Language,
                                                             const std::vector<String>& Passwords) {
  if (!TsOracleAvailable()) return std::nullopt;
  const auto text = RunOracle(Language, Passwords, "score");
  if (!text) return std::nullopt;
  std::vector<OracleAnswer> answers;
  std::istringstream lines(*text);
  OracleAnswer a{};
  while (lines >> a.Score >> a.GuessesLog10) answers.push_back(a);
  if (answers.size() != Passwords.size()) return std::nullopt;
  return answers;
}

std::optional<double> TimeTsStrengthOracle(const std::string& Language, const std::vector<String>& Passwords,
                                           int Rounds) {
  if (!TsOracleAvailable()) return std::nullopt;
  const auto text = RunOracle(Language, Passwords, "time " + std::to_string(Rounds));
  if (!text) return std::nullopt;
  return std::stod(*text);
}

} // namespace kl::test
