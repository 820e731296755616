#include <algorithm>
#include <array>
#include <string>

#include "foundation/Clock.h"
#include "passstorage/KLPassSearch.h"

namespace kl {

EKLPassQueryException::~EKLPassQueryException() = default;

namespace {

struct TFoldPair {
  char32_t From;
  char32_t To;
};

// Sorted by From: every code point whose simple case folding differs from it.
constexpr TFoldPair kFoldTable[] = {
#include "passstorage/CaseFoldTable.inc"
};

char32_t FoldCodePoint(char32_t C) noexcept {
  if (C < 0x41) return C;
  if (C < 0x80) return C <= 0x5A ? C + 0x20 : C;
  const auto* end = std::end(kFoldTable);
  const auto* it = std::lower_bound(std::begin(kFoldTable), end, C,
                                    [](const TFoldPair& Pair, char32_t Value) { return Pair.From < Value; });
  return it != end && it->From == C ? it->To : C;
}

bool IsHigh(Char C) noexcept { return C >= 0xD800 && C <= 0xDBFF; }
bool IsLow(Char C) noexcept { return C >= 0xDC00 && C <= 0xDFFF; }

// Calls Emit with each UTF-16 code unit of Text, folded code point by code
// point unless CaseSensitive. A lone surrogate passes unchanged.
template <typename TEmit>
void ForEachUnit(const String& Text, bool CaseSensitive, TEmit&& Emit) {
  const std::size_t n = Text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Char c = Text[i];
    if (CaseSensitive) {
      if (!Emit(c)) return;
      continue;
    }
    char32_t cp = c;
    if (IsHigh(c) && i + 1 < n && IsLow(Text[i + 1])) {
      cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (static_cast<char32_t>(Text[i + 1]) - 0xDC00);
      ++i;
    }
    const char32_t folded = FoldCodePoint(cp);
    if (folded < 0x10000) {
      if (!Emit(static_cast<Char>(folded))) return;
    } else {
      if (!Emit(static_cast<Char>(0xD800 + ((folded - 0x10000) >> 10)))) return;
      if (!Emit(static_cast<Char>(0xDC00 + ((folded - 0x10000) & 0x3FF)))) return;
    }
  }
}

String Folded(const String& Text, bool CaseSensitive) {
  String out;
  out.reserve(Text.size());
  ForEachUnit(Text, CaseSensitive, [&](Char C) {
    out.push_back(C);
    return true;
  });
  return out;
}

bool IsSpace(Char C) noexcept { return C == u' ' || (C >= u'\t' && C <= u'\r'); }

std::string Position(std::size_t Index) { return " at position " + std::to_string(Index + 1); }

struct TPrefix {
  const Char* Name;
  TKLQueryField Field;
};

constexpr std::array<TPrefix, 7> kPrefixes = {{{u"title", qfTitle},
                                               {u"user", qfUsername},
                                               {u"username", qfUsername},
                                               {u"url", qfURL},
                                               {u"notes", qfNotes},
                                               {u"tag", qfTag},
                                               {u"field", qfFieldName}}};

bool IsAsciiLetter(Char C) noexcept { return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z'); }

std::vector<TKLQueryTerm> Parse(const String& Query) {
  std::vector<TKLQueryTerm> terms;
  const std::size_t n = Query.size();
  std::size_t i = 0;
  while (true) {
    while (i < n && IsSpace(Query[i])) ++i;
    if (i == n) break;
    const std::size_t start = i;
    TKLQueryTerm term;
    if (Query[i] == u'-') {
      term.Negated = true;
      ++i;
    }
    std::size_t j = i;
    while (j < n && IsAsciiLetter(Query[j])) ++j;
    const bool url = j + 2 < n && Query[j + 1] == u'/' && Query[j + 2] == u'/';
    if (j > i && j < n && Query[j] == u':' && !url) {
      String name = Query.substr(i, j - i);
      for (Char& c : name) c = static_cast<Char>(c | 0x20); // ASCII letters only
      const auto* prefix =
          std::find_if(kPrefixes.begin(), kPrefixes.end(), [&](const TPrefix& P) { return name == P.Name; });
      if (prefix == kPrefixes.end()) {
        throw EKLPassQueryException("Unknown field prefix '" + std::string(name.begin(), name.end()) + ":'" +
                                    Position(i) +
                                    " (title, user, username, url, notes, tag or field; quote the word to search "
                                    "for it as text)");
      }
      term.Field = prefix->Field;
      i = j + 1;
    }
    if (i < n && Query[i] == u'"') {
      const std::size_t quote = i++;
      bool closed = false;
      while (i < n) {
        const Char c = Query[i++];
        if (c == u'"') {
          closed = true;
          break;
        }
        if (c == u'\\' && i < n && (Query[i] == u'"' || Query[i] == u'\\')) {
          term.Text.push_back(Query[i++]);
        } else {
          term.Text.push_back(c);
        }
      }
      if (!closed) throw EKLPassQueryException("Unclosed quote" + Position(quote));
      if (i < n && !IsSpace(Query[i])) throw EKLPassQueryException("Text right after a closing quote" + Position(i));
    } else {
      while (i < n && !IsSpace(Query[i])) {
        if (Query[i] == u'"') throw EKLPassQueryException("A quote inside a word" + Position(i));
        term.Text.push_back(Query[i++]);
      }
    }
    if (term.Text.empty()) throw EKLPassQueryException("A search term without text" + Position(start));
    terms.push_back(std::move(term));
  }
  return terms;
}

} // namespace

// A term's text, folded once, with its Knuth-Morris-Pratt failure table: a
// search feeds each field's (folded) code units through the automaton once,
// so it is linear in the field and never backtracks, whatever the text.
struct TKLPassQuery::TCompiled {
  String Needle;
  std::vector<std::size_t> Fail;

  bool FoundIn(const String& Text, bool CaseSensitive) const {
    const std::size_t m = Needle.size();
    std::size_t state = 0;
    bool found = false;
    ForEachUnit(Text, CaseSensitive, [&](Char C) {
      while (state > 0 && Needle[state] != C) state = Fail[state - 1];
      if (Needle[state] == C) ++state;
      if (state == m) found = true;
      return !found;
    });
    return found;
  }
};

TKLPassQuery::TKLPassQuery(const String& Query, std::uint32_t Flags) : TKLPassQuery(Parse(Query), Flags) {}

TKLPassQuery::TKLPassQuery(std::vector<TKLQueryTerm> Terms, std::uint32_t Flags)
    : FTerms(std::move(Terms)), FFlags(Flags) {
  if ((Flags & ~KLQueryCaseSensitive) != 0) throw EKLPassQueryException("Unknown query flags");
  for (std::size_t i = 0; i < FTerms.size(); ++i) {
    if (FTerms[i].Text.empty()) throw EKLPassQueryException("A search term without text" + Position(i));
    if (FTerms[i].Field < qfAny || FTerms[i].Field > qfFieldName) throw EKLPassQueryException("Unknown query field");
  }
  Compile();
}

TKLPassQuery::~TKLPassQuery() = default;
TKLPassQuery::TKLPassQuery(const TKLPassQuery&) = default;
TKLPassQuery& TKLPassQuery::operator=(const TKLPassQuery&) = default;

void TKLPassQuery::Compile() {
  const bool sensitive = (FFlags & KLQueryCaseSensitive) != 0;
  FCompiled.clear();
  FCompiled.reserve(FTerms.size());
  for (const TKLQueryTerm& term : FTerms) {
    TCompiled compiled;
    compiled.Needle = Folded(term.Text, sensitive);
    const String& p = compiled.Needle;
    compiled.Fail.assign(p.size(), 0);
    for (std::size_t i = 1, k = 0; i < p.size(); ++i) {
      while (k > 0 && p[i] != p[k]) k = compiled.Fail[k - 1];
      if (p[i] == p[k]) ++k;
      compiled.Fail[i] = k;
    }
    FCompiled.push_back(std::move(compiled));
  }
}

bool TKLPassQuery::Matches(TKLPassRecord& Rec) const {
  const bool sensitive = (FFlags & KLQueryCaseSensitive) != 0;
  for (std::size_t t = 0; t < FTerms.size(); ++t) {
    const TCompiled& c = FCompiled[t];
    const TKLQueryField field = FTerms[t].Field;
    const auto in = [&](TKLPassRecord::TField Field) { return c.FoundIn(Rec.ReadField(Field), sensitive); };
    bool found = false;
    if (field == qfAny || field == qfTitle) found = in(&TKLPassRecord::FTitle);
    if (!found && (field == qfAny || field == qfUsername)) found = in(&TKLPassRecord::FUsername);
    if (!found && (field == qfAny || field == qfURL)) found = in(&TKLPassRecord::FURL);
    if (!found && (field == qfAny || field == qfNotes)) found = in(&TKLPassRecord::FNote);
    if (!found && (field == qfAny || field == qfTag)) {
      for (const String& tag : Rec.GetTags()) {
        if ((found = c.FoundIn(tag, sensitive))) break;
      }
    }
    if (!found && (field == qfAny || field == qfFieldName)) {
      for (const TKLPassField& custom : Rec.FCustomFields) {
        // A bare term reads the values too, but never a protected one: those
        // are secrets, as the password is.
        if ((found = c.FoundIn(custom.Name, sensitive) ||
                     (field == qfAny && !custom.Protected && c.FoundIn(custom.Value, sensitive)))) {
          break;
        }
      }
    }
    if (found == FTerms[t].Negated) return false;
  }
  return true;
}

void TKLPassQuery::Search(TKLPassStorage& Store, TPointerList<TKLPassRecord>& Recs) const {
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    TKLPassRecord* rec = Store.GetRecord(i);
    if (Matches(*rec)) Recs.Add(rec);
  }
}

bool TKLPassQuery::SameText(const String& A, const String& B, std::uint32_t Flags) {
  const bool sensitive = (Flags & KLQueryCaseSensitive) != 0;
  return sensitive ? A == B : Folded(A, false) == Folded(B, false);
}

bool TKLPassQuery::FindRecordField(TKLPassRecord& Rec, const String& Name, String& Value) {
  static constexpr std::array<std::pair<const Char*, String (TKLPassRecord::*)()>, 7> standard = {{
      {u"title", &TKLPassRecord::GetTitle},
      {u"username", &TKLPassRecord::GetUsername},
      {u"user", &TKLPassRecord::GetUsername},
      {u"password", &TKLPassRecord::GetPassword},
      {u"url", &TKLPassRecord::GetURL},
      {u"notes", &TKLPassRecord::GetNote},
      {u"note", &TKLPassRecord::GetNote},
  }};
  for (const auto& [name, get] : standard) {
    if (SameText(Name, name)) {
      Value = (Rec.*get)();
      return true;
    }
  }
  TKLPassField field;
  if (Rec.FindCustomField(Name, field)) {
    Value = std::move(field.Value);
    return true;
  }
  const std::int32_t count = Rec.GetCustomFieldCount();
  std::int32_t only = -1;
  for (std::int32_t i = 0; i < count; ++i) {
    if (!SameText(Rec.FCustomFields[static_cast<std::size_t>(i)].Name, Name)) continue;
    if (only >= 0) return false;
    only = i;
  }
  if (only < 0) return false;
  Value = Rec.GetCustomField(only).Value;
  return true;
}

} // namespace kl
