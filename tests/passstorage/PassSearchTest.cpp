#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/KLGeneral.h"
#include "passstorage/KLPassSearch.h"

namespace kl {
namespace {

// Five records that the cases below tell apart.
void Fill(TKLPassStorage& Store) {
  Store.Add(u"Posteo Mail", u"alice", u"mailpw", u"https://posteo.de", u"two words here", u"General");
  Store.Add(u"ÄRGER", u"bob", u"p", u"https://github.com/bob", u"", u"General");
  auto* greek = new TKLPassRecord(u"ΣΊΣΥΦΟΣ", u"Борис", u"p", u"", u"words two", u"General");
  greek->SetTags({u"old", u"Work"});
  Store.Add(greek);
  auto* fields = new TKLPassRecord(u"Bank", u"carol", u"secretword", u"https://bank.example", u"", u"General");
  fields->SetCustomField(u"Account", u"DE12 Mail");
  fields->SetCustomField(u"PIN", u"hidden4711", true);
  fields->SetCustomField(u"𐐀Deseret", u"x"); // a name with a supplementary upper-case letter
  Store.Add(fields);
  Store.Add(u"posteo mail", u"alice", u"p", u"", u"", u"Private");
}

std::string Found(TKLPassStorage& Store, const String& Query, std::uint32_t Flags = 0) {
  TPointerList<TKLPassRecord> recs;
  TKLPassQuery(Query, Flags).Search(Store, recs);
  std::string out;
  for (TKLPassRecord* rec : recs) out += (out.empty() ? "" : "|") + StrToUTF8(rec->GetTitle());
  return out;
}

TEST(PassSearch, QueriesFindTheRecordsPeopleExpect) {
  TKLPassStorage store;
  Fill(store);
  const struct {
    const char16_t* Query;
    std::uint32_t Flags;
    const char* Expected;
  } cases[] = {
      // Case folding beyond ASCII, and none with the flag.
      {u"mail", 0, "Posteo Mail|Bank|posteo mail"},
      {u"ärger", 0, "ÄRGER"},
      {u"σίσυφος", 0, "ΣΊΣΥΦΟΣ"},
      {u"борис", 0, "ΣΊΣΥΦΟΣ"},
      {u"𐐨deseret", 0, "Bank"},
      {u"Mail", KLQueryCaseSensitive, "Posteo Mail|Bank"},
      {u"ärger", KLQueryCaseSensitive, ""},
      // Field prefixes read only their field.
      {u"user:alice", 0, "Posteo Mail|posteo mail"},
      {u"username:BOB", 0, "ÄRGER"},
      {u"title:alice", 0, ""},
      {u"url:github", 0, "ÄRGER"},
      {u"notes:words", 0, "Posteo Mail|ΣΊΣΥΦΟΣ"},
      {u"tag:work", 0, "ΣΊΣΥΦΟΣ"},
      {u"tag:sisyphos", 0, ""},
      {u"field:account", 0, "Bank"},
      {u"field:mail", 0, ""},
      {u"Title:\"posteo MAIL\"", 0, "Posteo Mail|posteo mail"},
      // Negation, AND and phrases.
      {u"-user:alice", 0, "ÄRGER|ΣΊΣΥΦΟΣ|Bank"},
      {u"mail -url:posteo", 0, "Bank|posteo mail"},
      {u"two words", 0, "Posteo Mail|ΣΊΣΥΦΟΣ"},
      {u"\"two words\"", 0, "Posteo Mail"},
      {u"\"say \\\"hi\\\"\"", 0, ""},
      {u"-old", 0, "Posteo Mail|ÄRGER|Bank|posteo mail"},
      // A colon before "//" is part of the word.
      {u"https://github", 0, "ÄRGER"},
      // Never the password nor a protected value.
      {u"secretword", 0, ""},
      {u"hidden4711", 0, ""},
      {u"de12", 0, "Bank"},
      // Nothing to look for: every record, as keepassxc-cli lists them.
      {u"", 0, "Posteo Mail|ÄRGER|ΣΊΣΥΦΟΣ|Bank|posteo mail"},
      {u" \t ", 0, "Posteo Mail|ÄRGER|ΣΊΣΥΦΟΣ|Bank|posteo mail"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Found(store, c.Query, c.Flags), c.Expected) << StrToUTF8(c.Query) << " flags " << c.Flags;
  }
}

TEST(PassSearch, MalformedQueriesAreRefusedWithTheirPlace) {
  const struct {
    const char16_t* Query;
    const char* Message;
  } cases[] = {
      {u"a \"open", "Unclosed quote at position 3"},
      {u"foo:bar", "Unknown field prefix 'foo:' at position 1"},
      {u"-pass:x", "Unknown field prefix 'pass:' at position 2"},
      {u"title:", "A search term without text at position 1"},
      {u"a -", "A search term without text at position 3"},
      {u"\"\"", "A search term without text at position 1"},
      {u"ab\"c", "A quote inside a word at position 3"},
      {u"\"ab\"c", "Text right after a closing quote at position 5"},
  };
  for (const auto& c : cases) {
    try {
      TKLPassQuery query(c.Query);
      ADD_FAILURE() << StrToUTF8(c.Query) << " was accepted";
    } catch (const EKLPassQueryException& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.Message, 0), 0u) << e.what();
    }
  }
  EXPECT_THROW(TKLPassQuery(u"x", 4), EKLPassQueryException);
}

TEST(PassSearch, TermsParseToTheirFieldsAndTexts) {
  const TKLPassQuery query(u"user:alice url:github -tag:old \"two words\" title:\"Posteo Mail\" field:PIN");
  const std::vector<TKLQueryTerm>& t = query.GetTerms();
  ASSERT_EQ(t.size(), 6u);
  const std::vector<std::pair<TKLQueryField, String>> expected = {{qfUsername, u"alice"},    {qfURL, u"github"},
                                                                  {qfTag, u"old"},           {qfAny, u"two words"},
                                                                  {qfTitle, u"Posteo Mail"}, {qfFieldName, u"PIN"}};
  for (std::size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i].Field, expected[i].first) << i;
    EXPECT_EQ(t[i].Text, expected[i].second) << i;
    EXPECT_EQ(t[i].Negated, i == 2) << i;
  }
}

// The substring search never backtracks in the text, so it must still find
// matches that start inside a partial one, in folded and surrogate texts.
TEST(PassSearch, SubstringsThatStartInsideAPartialMatchAreFound) {
  const struct {
    const char16_t* Text;
    const char16_t* Term;
    bool Found;
  } cases[] = {
      {u"aaab", u"aab", true},
      {u"abababc", u"ababc", true},
      {u"ababab", u"ababc", false},
      {u"AAAB", u"aab", true},
      {u"𐐀𐐀x", u"𐐨x", true},
      {u"\xd800x", u"x", true},
      {u"a\xd800"
       u"b",
       u"\xd800"
       u"b",
       true},
      {u"ab", u"abc", false},
  };
  for (const auto& c : cases) {
    TKLPassStorage store;
    store.Add(u"t", u"u", u"p", u"", c.Text, u"General");
    TPointerList<TKLPassRecord> recs;
    TKLPassQuery(std::vector<TKLQueryTerm>{{qfNotes, c.Term, false}}).Search(store, recs);
    EXPECT_EQ(recs.GetCount(), c.Found ? 1 : 0) << (&c - cases);
  }
  EXPECT_TRUE(TKLPassQuery::SameText(u"ΣΊΣΥΦΟΣ", u"σίσυφος"));
  EXPECT_FALSE(TKLPassQuery::SameText(u"ΣΊΣΥΦΟΣ", u"σίσυφος", KLQueryCaseSensitive));
}

TEST(PassSearch, FieldsAreFoundByTheNamesScriptsUse) {
  TKLPassRecord rec(u"Bank", u"carol", u"pw", u"https://bank.example", u"note", u"General");
  rec.SetCustomField(u"password", u"not the password");
  rec.SetCustomField(u"Account", u"DE12");
  rec.SetCustomField(u"pin", u"1");
  rec.SetCustomField(u"PIN", u"2");
  const struct {
    const char16_t* Name;
    const char16_t* Value; // nullptr: not found
  } cases[] = {
      {u"Password", u"pw"}, {u"UserName", u"carol"}, {u"user", u"carol"},   {u"URL", u"https://bank.example"},
      {u"Notes", u"note"},  {u"title", u"Bank"},     {u"Account", u"DE12"}, {u"account", u"DE12"},
      {u"PIN", u"2"},       {u"pin", u"1"},          {u"Pin", nullptr},     {u"colour", nullptr},
  };
  for (const auto& c : cases) {
    String value = u"untouched";
    EXPECT_EQ(TKLPassQuery::FindRecordField(rec, c.Name, value), c.Value != nullptr) << StrToUTF8(c.Name);
    EXPECT_EQ(value, c.Value ? c.Value : u"untouched") << StrToUTF8(c.Name);
  }
}

} // namespace
} // namespace kl
