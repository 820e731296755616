#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/Convert.h"
#include "foundation/FileStream.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "random/KLRandom.h"
#include "storage/KLStorage.h"
#include "storage/StorageContent.h"
#include "storage/StorageFormat.h"
#include "storage/StorageTestSupport.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::TempDir;
using test::U;

void Rewind(TStream& Strm) { Strm.SetPosition(0); }

using test::kFastKdf;

std::vector<String> Keys(TKLStorage& Storage) {
  std::vector<String> keys;
  for (std::int32_t i = 0; i < Storage.GetCount(); ++i) keys.push_back(Storage.GetValue(i)->GetKey());
  return keys;
}

std::vector<String> TitlesAndGroups(TKLPassStorage& Store) {
  std::vector<String> out;
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    out.push_back(Store.GetRecord(i)->GetTitle() + u"@" + Store.GetRecord(i)->GetGroup());
  }
  return out;
}

// A record written by hand under Key with fixed dates.
void PutRecord(TKLStorage& Storage, const String& Key, const String& Title) {
  Storage.PutString(Key + u"/title", Title, false);
  Storage.PutString(Key + u"/name", u"user", false);
  Storage.PutString(Key + u"/pwd", u"secret", false);
  Storage.PutString(Key + u"/url", u"https://example.org", false);
  Storage.PutString(Key + u"/note", u"", false);
  Storage.PutLong(Key + u"/cdate", 129600, false);
  Storage.PutLong(Key + u"/mdate", 42, false);
  Storage.PutLong(Key + u"/adate", -7, false);
}

template <class E>
void ExpectMessage(const std::function<void()>& Action, const char* Message) {
  try {
    Action();
    ADD_FAILURE() << "no exception";
  } catch (const E& e) {
    EXPECT_STREQ(e.what(), Message);
  }
}

TEST(PassStorageFile, SavesNineValuesPerRecordUnderGroupAndPosition) {
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  store.Add(u"A", u"", u"", u"", u"", u"General");
  store.Add(u"B", u"", u"", u"", u"", u"Work");
  store.Add(u"C", u"", u"", u"", u"", u"General");
  TMemoryStream strm;
  store.SaveToStream(strm, u"");

  Rewind(strm);
  TKLStorage saved;
  saved.LoadFromStream(strm, u"");
  std::vector<String> expected;
  for (const char16_t* rec : {u"General/0", u"Work/1", u"General/2"}) {
    for (const char16_t* leaf :
         {u"/title", u"/name", u"/pwd", u"/url", u"/note", u"/cdate", u"/mdate", u"/adate", u"/uuid"}) {
      expected.push_back(String(rec) + leaf);
    }
  }
  EXPECT_EQ(Keys(saved), expected);
  String title;
  EXPECT_TRUE(saved.GetString(u"Work/1/title", title, u""));
  EXPECT_EQ(title, u"B");
  std::int64_t date = 0;
  EXPECT_TRUE(saved.GetLong(u"General/2/cdate", date, 0));

  Rewind(strm);
  TKLPassStorage loaded;
  loaded.LoadFromStream(strm, u"");
  EXPECT_EQ(TitlesAndGroups(loaded), (std::vector<String>{u"A@General", u"C@General", u"B@Work"}));
}

class PassStorageRoundTrip : public ::testing::TestWithParam<const char*> {
protected:
  String Password() const { return U(GetParam()); }
};

TEST_P(PassStorageRoundTrip, KeepsTextsAndDatesAndStampsNoAccess) {
  TKLStorage source;
  PutRecord(source, u"Caf\u00E9/0", u"\u00DCber \U0001F511");
  TMemoryStream handMade;
  source.SaveToStream(handMade, u"");
  Rewind(handMade);

  TKLPassStorage store;

  store.SetKdfParameters(kFastKdf);
  store.LoadFromStream(handMade, u"");
  ASSERT_EQ(store.GetCount(), 1);
  TKLPassRecord* rec = store.GetRecord(0);
  EXPECT_EQ(rec->GetCreationDate(), 129600);
  EXPECT_EQ(rec->GetModificationDate(), 42);
  EXPECT_EQ(rec->GetLastAccessDate(), -7);
  rec->SetNote(U("line one\nline two"));
  const std::int64_t modified = rec->GetModificationDate();

  TMemoryStream strm;
  store.SaveToStream(strm, Password());
  const std::int64_t saveTime = rec->GetLastAccessDate();
  EXPECT_EQ(saveTime, -7); // a save reads nothing for anyone

  Rewind(strm);
  TKLPassStorage loaded;
  loaded.LoadFromStream(strm, Password());
  ASSERT_EQ(loaded.GetCount(), 1);
  TKLPassRecord* back = loaded.GetRecord(0);
  EXPECT_EQ(back->GetCreationDate(), 129600);
  EXPECT_EQ(back->GetModificationDate(), modified);
  EXPECT_EQ(back->GetLastAccessDate(), saveTime);
  EXPECT_EQ(back->GetGroup(), u"Caf\u00E9");
  EXPECT_EQ(back->GetTitle(), u"\u00DCber \U0001F511");
  EXPECT_EQ(back->GetUsername(), u"user");
  EXPECT_EQ(back->GetPassword(), u"secret");
  EXPECT_EQ(back->GetURL(), u"https://example.org");
  EXPECT_EQ(back->GetNote(), U("line one\nline two"));
}

TEST_P(PassStorageRoundTrip, LoadingAppendsSoLoadingTwiceHoldsEveryRecordTwice) {
  TempDir dir;
  const String file = dir.FileU("vault.kls");
  {
    TKLPassStorage store;
    store.SetKdfParameters(kFastKdf);
    store.Add(u"A", u"", u"", u"", u"", u"G1");
    store.Add(u"B", u"", u"", u"", u"", u"G2");
    store.SaveToFile(file, Password());
  }
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  store.Add(u"held", u"", u"", u"", u"", u"G2");
  store.LoadFromFile(file, Password());
  store.LoadFromFile(file, Password());
  EXPECT_EQ(TitlesAndGroups(store), (std::vector<String>{u"held@G2", u"A@G1", u"B@G2", u"A@G1", u"B@G2"}));
  // The loaded records belong to the store like added ones.
  EXPECT_THROW(store.Add(store.GetRecord(4)), EKLPassStorageException);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, PassStorageRoundTrip, ::testing::Values("", "p\xC3\xA4ssw\xC3\xB6rd"),
                         [](const auto& password) { return password.param[0] ? "Encrypted" : "Plain"; });

TEST(PassStorageFile, WrongPasswordRaisesTheStorageErrorAndAddsNothing) {
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  store.Add(u"A", u"", u"", u"", u"", u"G");
  TMemoryStream strm;
  store.SaveToStream(strm, u"right");
  Rewind(strm);
  ExpectMessage<EKLStorageException>([&] { store.LoadFromStream(strm, u"wrong"); }, "Wrong password");
  EXPECT_EQ(store.GetCount(), 1);
}

struct CorruptCase {
  const char* name;
  std::function<void(TKLStorage&)> damage;
};

// A record G/1 with the given extra text leaves.
CorruptCase ExtraCase(const char* Name, std::vector<std::pair<String, String>> Leaves) {
  return CorruptCase{Name, [Leaves](TKLStorage& s) {
                       PutRecord(s, u"G/1", u"second");
                       for (const auto& [leaf, text] : Leaves) s.PutString(u"G/1/" + leaf, text, false);
                     }};
}

// Each storage holds a good record G/0, then a damaged G/1, then a good G/2.
class PassStorageCorrupt : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(PassStorageCorrupt, LoadAddsNothingWhenARecordIsDamaged) {
  TKLStorage storage;
  PutRecord(storage, u"G/0", u"first");
  GetParam().damage(storage);
  PutRecord(storage, u"G/2", u"third");
  TMemoryStream strm;
  storage.SaveToStream(strm, u"");
  Rewind(strm);

  TKLPassStorage store;

  store.SetKdfParameters(kFastKdf);
  store.Add(u"held", u"", u"", u"", u"", u"H");
  ExpectMessage<EKLPassStorageException>([&] { store.LoadFromStream(strm, u""); }, "The storage is corrupted");
  ASSERT_EQ(store.GetCount(), 1);
  EXPECT_EQ(store.GetRecord(0)->GetTitle(), u"held");
}

INSTANTIATE_TEST_SUITE_P(Cases, PassStorageCorrupt,
                         ::testing::Values(CorruptCase{"MissingURL",
                                                       [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.Remove(u"G/1/url", false);
                                                       }},
                                           CorruptCase{"TitleStoredAsLong",
                                                       [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.Remove(u"G/1/title", false);
                                                         s.PutLong(u"G/1/title", 1, false);
                                                       }},
                                           CorruptCase{"DateStoredAsText",
                                                       [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.Remove(u"G/1/mdate", false);
                                                         s.PutString(u"G/1/mdate", u"42", false);
                                                       }},
                                           CorruptCase{"NotePieceMissing",
                                                       [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/note.3", u"x", false);
                                                       }},
                                           CorruptCase{"NotePieceStoredAsLong",
                                                       [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutLong(u"G/1/note.2", 1, false);
                                                       }},
                                           CorruptCase{"RecordKeyIsALeaf",
                                                       [](TKLStorage& s) { s.PutString(u"G/1", u"x", false); }},
                                           CorruptCase{"UuidOfFifteenBytes", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutBlob(u"G/1/uuid", ByteArray(15, 1), false);
                                                       }},
                                           CorruptCase{"UuidStoredAsText", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/uuid", u"0123456789abcdef", false);
                                                       }},
                                           ExtraCase("FieldWithoutValue", {{u"field.1/name", u"otp"}}),
                                           ExtraCase("FieldWithoutName", {{u"field.1/value", u"v"}}),
                                           CorruptCase{"FieldWithNameAndFlagOnly", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/field.1/name", u"a", false);
                                                         s.PutBool(u"G/1/field.1/protected", true, false);
                                                       }},
                                           ExtraCase("FieldNumbersWithAGap",
                                                     {{u"field.2/name", u"a"}, {u"field.2/value", u"v"}}),
                                           ExtraCase("FieldNumberWithLeadingZero",
                                                     {{u"field.01/name", u"a"}, {u"field.01/value", u"v"}}),
                                           ExtraCase("FieldNumberBeyondTheBound",
                                                     {{u"field.1025/name", u"a"}, {u"field.1025/value", u"v"}}),
                                           ExtraCase("FieldOfAStandardName",
                                                     {{u"field.1/name", u"Password"}, {u"field.1/value", u"v"}}),
                                           ExtraCase("FieldNameTwice", {{u"field.1/name", u"a"}, {u"field.1/value", u"v"},
                                                                        {u"field.2/name", u"a"}, {u"field.2/value", u"w"}}),
                                           ExtraCase("FieldOfAnUnknownPart", {{u"field.1/name", u"a"},
                                                                              {u"field.1/value", u"v"},
                                                                              {u"field.1/colour", u"red"}}),
                                           CorruptCase{"FieldFlagNotABoolean", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/field.1/name", u"a", false);
                                                         s.PutString(u"G/1/field.1/value", u"v", false);
                                                         s.PutLong(u"G/1/field.1/protected", 1, false);
                                                       }},
                                           ExtraCase("TagWithASeparator", {{u"tag.1", u"a;b"}}),
                                           ExtraCase("TagTwice", {{u"tag.1", u"a"}, {u"tag.2", u"a"}}),
                                           ExtraCase("AttachmentWithoutData", {{u"attach.1/name", u"a"}}),
                                           CorruptCase{"AttachmentPieceMissing", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/attach.1/name", u"a", false);
                                                         s.PutBlob(u"G/1/attach.1/data", ByteArray(0xFFFF), false);
                                                         s.PutBlob(u"G/1/attach.1/data.3", ByteArray(1), false);
                                                       }},
                                           CorruptCase{"AttachmentPieceShortBeforeTheLast", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/attach.1/name", u"a", false);
                                                         s.PutBlob(u"G/1/attach.1/data", ByteArray(10), false);
                                                         s.PutBlob(u"G/1/attach.1/data.2", ByteArray(1), false);
                                                       }},
                                           CorruptCase{"AttachmentBeyondTheBound", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/attach.1/name", u"a", false);
                                                         const ByteArray piece(0xFFFF);
                                                         s.PutBlob(u"G/1/attach.1/data", piece, false);
                                                         const int pieces = int(KLPassMaxAttachmentSize / 0xFFFF) + 2;
                                                         for (int k = 2; k <= pieces; ++k) {
                                                           s.PutBlob(u"G/1/attach.1/data." + IntToStr(k), piece, false);
                                                         }
                                                       }},
                                           CorruptCase{"ExpiryStoredAsText", [](TKLStorage& s) {
                                                         PutRecord(s, u"G/1", u"second");
                                                         s.PutString(u"G/1/expiry", u"1", false);
                                                       }}),
                         [](const auto& c) { return std::string(c.param.name); });

TEST(PassStorageFile, RecordsUnderAKeyBeginningWithASlashAreCorrupted) {
  for (const char16_t* key : {u"//0", u"/0"}) {
    TKLStorage storage;
    PutRecord(storage, u"G/0", u"first");
    PutRecord(storage, key, u"unsavable");
    PutRecord(storage, u"G/1", u"second");
    TMemoryStream strm;
    storage.SaveToStream(strm, u"");
    Rewind(strm);
    TKLPassStorage store;
    store.SetKdfParameters(kFastKdf);
    ExpectMessage<EKLPassStorageException>([&] { store.LoadFromStream(strm, u""); }, "The storage is corrupted");
    EXPECT_EQ(store.GetCount(), 0);
  }
}

TEST(PassStorageFile, ForeignKeysOutsideTheEightLeavesAreIgnored) {
  TKLStorage storage;
  storage.PutString(u"stray", u"x", false);
  storage.PutString(u"G/", u"x", false);
  PutRecord(storage, u"G/7", u"kept");
  storage.PutString(u"G/7/extra", u"x", false);
  TMemoryStream strm;
  storage.SaveToStream(strm, u"");
  Rewind(strm);
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  store.LoadFromStream(strm, u"");
  EXPECT_EQ(TitlesAndGroups(store), std::vector<String>{u"kept@G"});
}

// A note longer than one value holds is saved in pieces of at most 65,535
// bytes, a surrogate pair never split, and loaded whole; a note that fits is
// one value as ever. Leaves that only look like pieces are ignored.
TEST(PassStorageFile, LongNotesAreSavedInPiecesAndLoadedWhole) {
  String straddling(21844, u'a'); // a pair across the first piece's end
  straddling += u"\U0001F511" + String(50000, u'\u00e9');
  struct TNoteCase {
    String Note;
    std::vector<std::size_t> PieceBytes; // of /note, /note.2, ...
  };
  const TNoteCase cases[] = {{String(65535, u'n'), {65535}},
                             {String(32767, u'\u00e9') + u"x", {65535}},
                             {String(65536, u'n'), {21845, 21845, 21845, 1}},
                             {straddling, {21844, 4 + 2 * 21843, 2 * 21845, 2 * (50000 - 21843 - 21845)}}};
  for (const TNoteCase& c : cases) {
    TKLPassStorage store;
    store.SetKdfParameters(kFastKdf);
    store.Add(u"T", u"", u"", u"", c.Note, u"G");
    TMemoryStream strm;
    store.SaveToStream(strm, u"");
    Rewind(strm);
    TKLStorage saved;
    saved.LoadFromStream(strm, u"");
    std::vector<std::size_t> pieces;
    for (std::size_t n = 1;; ++n) {
      String piece;
      const String key = n == 1 ? String(u"G/0/note") : u"G/0/note." + U(std::to_string(n).c_str());
      if (!saved.GetString(key, piece, u"")) break;
      pieces.push_back(StrToUTF8(piece).size());
    }
    EXPECT_EQ(pieces, c.PieceBytes) << c.Note.size();
    saved.PutString(u"G/0/note.02", u"ignored", false);
    saved.PutString(u"G/0/note.1", u"ignored", false);
    TMemoryStream again;
    saved.SaveToStream(again, u"");
    Rewind(again);
    TKLPassStorage loaded;
    loaded.SetKdfParameters(kFastKdf);
    loaded.LoadFromStream(again, u"");
    EXPECT_TRUE(loaded.GetRecord(0)->GetNote() == c.Note) << c.Note.size();
  }
}

TEST(PassStorageFile, SaveRefusesGroupsThatCouldNotBeLoadedBackAndWritesNothing) {
  TempDir dir;
  const String file = dir.FileU("vault.kls");
  test::WriteFileBytes(dir.File("vault.kls"), "previous");
  TKLStorage source;
  PutRecord(source, u"G/0", u"ok");
  PutRecord(source, u"G/1", u"bad");
  TMemoryStream handMade;
  source.SaveToStream(handMade, u"");
  for (const char16_t* group : {u"a//b", u"/", u"a/"}) {
    TKLPassStorage store;
    store.SetKdfParameters(kFastKdf);
    Rewind(handMade);
    store.LoadFromStream(handMade, u"");
    store.GetRecord(1)->SetGroup(group);
    TMemoryStream strm;
    ExpectMessage<EKLPassStorageException>([&] { store.SaveToStream(strm, u"pw"); }, "Wrong group name");
    EXPECT_EQ(strm.GetSize(), 0);
    EXPECT_EQ(store.GetRecord(0)->GetLastAccessDate(), -7); // nothing was read
    EXPECT_THROW(store.SaveToFile(file, u"pw"), EKLPassStorageException);
    EXPECT_EQ(test::ReadFileBytes(dir.File("vault.kls")), "previous");
  }
}

TEST(PassStorageFile, SaveToFileReplacesTheFileAndLoadFromFileNeedsIt) {
  TempDir dir;
  const String file = dir.FileU("vault.kls");
  test::WriteFileBytes(dir.File("vault.kls"), std::string(100000, 'x'));
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  store.Add(u"A", u"u", u"p", u"l", u"n", u"G");
  store.SaveToFile(file, u"pw");
  TKLPassStorage loaded;
  loaded.LoadFromFile(file, u"pw");
  EXPECT_EQ(TitlesAndGroups(loaded), std::vector<String>{u"A@G"});
  EXPECT_THROW(loaded.LoadFromFile(dir.FileU("missing.kls"), u"pw"), EFOpenError);
  EXPECT_EQ(loaded.GetCount(), 1);
}

// Counts the bytes drawn, to show that saving draws from the store's generator.
class CountingGenerator : public TKLBaseRandomGenerator {
public:
  void Generate(void* P, std::int32_t Size) override {
    FBytes += Size;
    for (std::int32_t i = 0; i < Size; ++i) static_cast<std::uint8_t*>(P)[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  std::int64_t FBytes = 0;
};

TEST(PassStorageFile, EncryptedSaveDrawsFromTheStoresGenerator) {
  CountingGenerator generator;
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  store.SetRandomGenerator(&generator);
  store.Add(u"A", u"", u"", u"", u"", u"G");
  TMemoryStream strm;
  store.SaveToStream(strm, u"pw");
  EXPECT_GT(generator.FBytes, 0);
  Rewind(strm);
  TKLPassStorage loaded;
  loaded.LoadFromStream(strm, u"pw");
  EXPECT_EQ(loaded.GetCount(), 1);
}

// A version-2 vault opens only with the legacy format allowed, reports its
// version, and saves as version 3; a re-save under the same master password
// keeps the derived key (same salt), a new password does not.
TEST(PassStorageFile, LegacyVaultsUpgradeAndSavesReuseTheDerivedKey) {
  TMemoryStream legacy;
  {
    TKLPassStorage old;
    old.SetSaveVersion(KLStorageVersion2);
    old.Add(u"Site", u"me", u"pw", u"", u"", u"G");
    old.SaveToStream(legacy, u"master");
  }
  TKLPassStorage store;
  store.SetKdfParameters(kFastKdf);
  Rewind(legacy);
  EXPECT_THROW(store.LoadFromStream(legacy, u"master"), EKLStorageLegacyFormat);
  EXPECT_EQ(store.GetCount(), 0);
  store.SetAllowLegacyFormat(true);
  Rewind(legacy);
  store.LoadFromStream(legacy, u"master");
  EXPECT_EQ(store.GetLoadedVersion(), KLStorageVersion2);
  store.SetKdfParameters({KLStorageMinKdfMemoryKiB, 1});
  auto save = [&](const String& Password) {
    TMemoryStream out;
    store.SaveToStream(out, Password);
    const ByteArray bytes = out.ToBytes();
    out.SetPosition(0);
    EXPECT_EQ(TKLStorage::ReadFileInfo(out).Version, KLStorageVersion3);
    return ByteArray(bytes.begin() + 12, bytes.begin() + 28); // the Argon2id salt
  };
  const ByteArray first = save(u"master");
  EXPECT_EQ(save(u"master"), first);
  EXPECT_NE(save(u"new master"), first);
}

} // namespace
} // namespace kl

namespace kl {
namespace {

// The same password in each normalisation form.
const String kVaultPasswordForms[] = {u"Caf\u00e9 \uFB01ve", u"Cafe\u0301 \uFB01ve", u"Caf\u00e9 five",
                                      u"Cafe\u0301 five"};

// The one-record vault in Strm opens under the password in every form.
void ExpectOpensUnderEveryForm(TMemoryStream& Strm) {
  for (const String& typed : kVaultPasswordForms) {
    TKLPassStorage opened;
    Rewind(Strm);
    opened.LoadFromStream(Strm, typed);
    EXPECT_EQ(TitlesAndGroups(opened), std::vector<String>{u"A@G"}) << test::Narrow(typed);
  }
}

// A vault's key comes from its password's NFKC form: saved under one form,
// it opens under every other.
TEST(PassStorageFile, OpensWithThePasswordInEveryNormalisationForm) {
  for (const String& saved : kVaultPasswordForms) {
    TKLPassStorage store;
    store.SetKdfParameters(kFastKdf);
    store.Add(u"A", u"", u"", u"", u"", u"G");
    TMemoryStream strm;
    store.SaveToStream(strm, saved);
    ExpectOpensUnderEveryForm(strm);
  }
}

// A vault keyed by the password as typed, as they were before passwords were
// normalised, opens with that password, and its next save keys it by the
// normalised form, which every form then opens.
TEST(PassStorageFile, AVaultKeyedByThePasswordAsTypedStillOpens) {
  const String typed = kVaultPasswordForms[1];
  TKLPassStorage store;
  store.Add(u"A", u"", u"", u"", u"", u"G");
  TMemoryStream plain;
  store.SaveToStream(plain, u""); // header, then the content unencrypted
  detail::TContentBuffer content;
  content.Append(plain.GetMemory() + KLStorageHeaderSize, static_cast<std::size_t>(plain.GetSize()) - KLStorageHeaderSize);
  const std::uint8_t salt[detail::Format3SaltSize] = {7};
  const detail::TStorageKey key(StrToUTF8(typed), kFastKdf, salt);
  TMemoryStream old;
  TKLFastRandomGenerator random;
  detail::WriteFormat3(old, key, random, content);

  TKLPassStorage opened;
  opened.SetKdfParameters(kFastKdf);
  Rewind(old);
  EXPECT_THROW(opened.LoadFromStream(old, kVaultPasswordForms[0]), EKLStorageException);
  Rewind(old);
  opened.LoadFromStream(old, typed);
  EXPECT_EQ(TitlesAndGroups(opened), std::vector<String>{u"A@G"});
  TMemoryStream resaved;
  opened.SaveToStream(resaved, typed);
  ExpectOpensUnderEveryForm(resaved);
}

} // namespace
} // namespace kl
