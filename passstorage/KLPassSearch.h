#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Export.h"
#include "foundation/PointerList.h"
#include "foundation/Types.h"
#include "passstorage/KLPassStorage.h"

namespace kl {

// A malformed query: the message names what is wrong and where (1-based
// character position in the query).
KL_DECLARE_EXCEPTION(EKLPassQueryException, EKLPassStorageException);

// Where a query term looks. qfAny is a bare term: title, user name, URL,
// notes, tags, custom field names and the values of custom fields that are
// not protected. The password and protected values are never searched.
enum TKLQueryField : std::int32_t { qfAny, qfTitle, qfUsername, qfURL, qfNotes, qfTag, qfFieldName };

// One term of a query: a record matches when Text occurs in one of the
// places Field names, or, Negated, when it occurs in none of them.
struct TKLQueryTerm {
  TKLQueryField Field = qfAny;
  String Text;
  bool Negated = false;
};

// Flags of a query. Without them, texts compare under Unicode's simple case
// folding (CaseFolding.txt, statuses C and S: "MAIL" finds "mail", "ÄRGER"
// "ärger", "ΣΊΣΥΦΟΣ" "σίσυφος"); no normalisation is applied, so a composed
// and a decomposed "ä" differ.
inline constexpr std::uint32_t KLQueryCaseSensitive = 1;

// A parsed query, the language people type into a password manager's search:
//
//   user:alice url:github -tag:old "two words" title:"Posteo Mail"
//
// Terms are separated by white space and all must match (AND). A term is
// [-][prefix:]text: "-" negates it; the prefixes are title:, user: (or
// username:), url:, notes:, tag: and field: (a custom field's name); without
// one the term is bare (qfAny). Text is a word or a phrase in double quotes,
// where \" and \\ stand for a quote and a backslash. A term matches where its
// text occurs anywhere in a field (substring). A word whose colon is followed
// by "//" ("https://example.org") is a bare word, not a prefix.
//
// A query of nothing but white space has no terms and matches every record,
// as keepassxc-cli's search of an empty term lists every entry. Refused with
// EKLPassQueryException: an unclosed quote, an unknown prefix, a term with
// no text ("title:", "-", ""), a quote inside a word or right after a phrase.
//
// Parsing and matching take time linear in the query and the record's text
// (a substring search without backtracking), whatever the query holds.
class KL_API TKLPassQuery {
public:
  explicit TKLPassQuery(const String& Query, std::uint32_t Flags = 0);
  TKLPassQuery(std::vector<TKLQueryTerm> Terms, std::uint32_t Flags = 0);
  ~TKLPassQuery();
  TKLPassQuery(const TKLPassQuery&);
  TKLPassQuery& operator=(const TKLPassQuery&);

  const std::vector<TKLQueryTerm>& GetTerms() const noexcept { return FTerms; }
  std::uint32_t GetFlags() const noexcept { return FFlags; }

  // Whether Rec matches every term. Stamps the record's access time, as
  // reading its fields does.
  bool Matches(TKLPassRecord& Rec) const;
  // Appends the matching records of Store to Recs, in position order.
  void Search(TKLPassStorage& Store, TPointerList<TKLPassRecord>& Recs) const;

  // Whether A and B are equal texts under the query's case rule (the rule of
  // a title given on a command line, say).
  static bool SameText(const String& A, const String& B, std::uint32_t Flags = 0);

  // The value of the field Name of Rec, as a script asks for it: a standard
  // text by its name in any case (title, username or user, password, url,
  // notes or note; KDBX's UserName and Notes among them), else the custom
  // field of exactly that name, else the one custom field whose name equals it
  // under case folding. False, Value untouched, when there is none (or several
  // in other cases). The standard names come first, so that a custom field
  // called "password" cannot stand in for the password.
  static bool FindRecordField(TKLPassRecord& Rec, const String& Name, String& Value);

private:
  struct TCompiled;
  void Compile();
  std::vector<TKLQueryTerm> FTerms;
  std::uint32_t FFlags = 0;
  std::vector<TCompiled> FCompiled;
};

} // namespace kl
