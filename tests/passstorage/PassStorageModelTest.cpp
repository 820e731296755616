// Random vaults, and random storages written record by record as raw plain
// files, against a plain model of the store's file: a load must give what the
// storage's own listing and first-match look-ups give, and a save the bytes a
// storage of the same eight values per record writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "storage/KLStorage.h"
#include "storage/StorageContent.h"
#include "storage/StorageTestSupport.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

constexpr const char16_t* kLeaves[] = {u"/title", u"/name",  u"/pwd",   u"/url",
                                       u"/note",  u"/cdate", u"/mdate", u"/adate"};

struct TRecordData {
  String Group, Title, Name, Pwd, URL, Note;
  std::int64_t CDate = 0, MDate = 0, ADate = 0;
  bool operator==(const TRecordData&) const = default;
};

// The records a load appended, or the message it raised (and then no record).
struct TOutcome {
  std::vector<TRecordData> Records;
  std::string Error;
  bool operator==(const TOutcome&) const = default;
};

// The load as a loaded storage defines it: a key's group runs up to the first
// "/" after its first character, its record up to the next "/"; groups and
// their records come in order of first occurrence; each leaf is the first
// value under the record's key and the leaf's name.
TOutcome ModelLoad(const ByteArray& File) {
  TKLStorage storage;
  TMemoryStream strm(File);
  storage.LoadFromStream(strm, u"");
  std::vector<String> groups;
  std::vector<std::pair<String, String>> records;
  for (std::int32_t i = 0; i < storage.GetCount(); ++i) {
    const String key = storage.GetValue(i)->GetKey();
    const std::size_t g = key.find(u'/', 1);
    if (g == String::npos || g + 1 == key.size()) continue;
    const std::pair<String, String> record(key.substr(0, g), key.substr(0, key.find(u'/', g + 1)));
    if (std::find(groups.begin(), groups.end(), record.first) == groups.end()) groups.push_back(record.first);
    if (std::find(records.begin(), records.end(), record) == records.end()) records.push_back(record);
  }
  TOutcome out;
  try {
    for (const String& group : groups) {
      if (group.find(u'/') != String::npos) throw EKLPassStorageException(SStorageCorrupted);
      for (const auto& [recordGroup, key] : records) {
        if (recordGroup != group) continue;
        TRecordData rec;
        rec.Group = group;
        String* texts[] = {&rec.Title, &rec.Name, &rec.Pwd, &rec.URL, &rec.Note};
        std::int64_t* dates[] = {&rec.CDate, &rec.MDate, &rec.ADate};
        for (int t = 0; t < 5; ++t) {
          if (!storage.GetString(key + kLeaves[t], *texts[t], u"")) throw EKLPassStorageException(SStorageCorrupted);
        }
        for (int d = 0; d < 3; ++d) {
          if (!storage.GetLong(key + kLeaves[5 + d], *dates[d], 0)) throw EKLPassStorageException(SStorageCorrupted);
        }
        out.Records.push_back(rec);
      }
    }
  } catch (const EKLPassStorageException& e) {
    out.Records.clear();
    out.Error = e.what();
  }
  return out;
}

TOutcome StoreLoad(const ByteArray& File) {
  TKLPassStorage store;
  TMemoryStream strm(File);
  TOutcome out;
  try {
    store.LoadFromStream(strm, u"");
  } catch (const EKLPassStorageException& e) {
    out.Error = e.what();
  }
  for (std::int32_t i = 0; i < store.GetCount(); ++i) {
    TKLPassRecord& r = *store.GetRecord(i);
    const std::int64_t cdate = r.GetCreationDate(), mdate = r.GetModificationDate(), adate = r.GetLastAccessDate();
    out.Records.push_back(
        {r.GetGroup(), r.GetTitle(), r.GetUsername(), r.GetPassword(), r.GetURL(), r.GetNote(), cdate, mdate, adate});
  }
  return out;
}

// A value record from raw parts, so that keys and texts need not be UTF-8.
void PutRaw(detail::TContentWriter& Writer, const std::string& Key, std::uint8_t Type, const std::string& Data) {
  std::string bytes{static_cast<char>(Key.size()), static_cast<char>(Key.size() >> 8)};
  bytes += Key;
  bytes += static_cast<char>(Type);
  bytes += Data;
  detail::TRecordView view;
  view.Bytes = reinterpret_cast<const std::uint8_t*>(bytes.data());
  view.Size = static_cast<std::uint32_t>(bytes.size());
  view.KeySize = static_cast<std::uint16_t>(Key.size());
  view.Type = Type;
  Writer.PutRecord(view);
}

template <class T>
const T& Pick(std::mt19937& Rng, const std::vector<T>& Items) {
  return Items[std::uniform_int_distribution<std::size_t>(0, Items.size() - 1)(Rng)];
}

// Groups, positions and texts in UTF-8, well-formed or not: "\xFF" and "\xC3"
// read as U+FFFD, the text of "\xEF\xBF\xBD" (a surrogate's bytes as three).
const std::vector<std::string> kGroups = {
    "General", "W\xC3\xB6rk", "\xF0\x9D\x84\x9EMusic", "\xE4\xB8\xAD", "\xFF", "\xEF\xBF\xBD", "\xC3", "\xED\xA0\x80",
    "",        "/lead"};
const std::vector<std::string> kPositions = {"0", "1", "12", "", "\xFF", "\xEF\xBF\xBD"};
const std::vector<std::string> kTexts = {"", "plain", "p\xC3\xA4ss", "\xF0\x9F\x94\x91 key", "bad \xFF\xFE", "\xC3"};
// Keys with odd slashes, and keys that begin as a record's and go on in
// malformed bytes.
const std::vector<std::string> kOddKeys = {"",
                                           "/",
                                           "//",
                                           "///title",
                                           "General",
                                           "General/",
                                           "General//title",
                                           "General/0/title/x",
                                           "General/0/other",
                                           "\xFF/0",
                                           "/General/0/title",
                                           "General/0/title\xFF",
                                           "General/0\xFF/name",
                                           "General/0/\xC3"};

// A random value of a random type, the type right for Leaf most of the time.
void PutLeaf(std::mt19937& Rng, detail::TContentWriter& Writer, const std::string& Key, std::size_t Leaf) {
  std::uint8_t type = Leaf < 5 ? vtString : vtLong;
  if (Rng() % 8 == 0) type = static_cast<std::uint8_t>(1 + Rng() % 5);
  const std::string text = Pick(Rng, kTexts);
  const std::int64_t number = static_cast<std::int64_t>(Rng()) - (std::int64_t{1} << 31);
  std::string data;
  switch (type) {
    case vtString:
    case vtBlob:
      data = std::string{static_cast<char>(text.size()), 0} + text;
      break;
    case vtBool:
      data = std::string(1, static_cast<char>(Rng() % 3));
      break;
    default:
      for (int i = 0; i < (type == vtInt ? 4 : 8); ++i) data += static_cast<char>(number >> (8 * i));
  }
  PutRaw(Writer, Key, type, data);
}

// Mostly whole records, some cut short, among odd keys and repeated keys.
ByteArray RandomFile(std::mt19937& Rng, TKLBaseRandomGenerator& Random) {
  detail::TContentWriter writer;
  std::vector<std::string> keys;
  const int records = static_cast<int>(Rng() % 7);
  for (int r = 0; r < records; ++r) {
    const std::string key = Pick(Rng, kGroups) + "/" + Pick(Rng, kPositions);
    const std::size_t leaves = Rng() % 6 == 0 ? Rng() % 8 : 8;
    for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
      keys.push_back(key + StrToUTF8(kLeaves[leaf]));
      PutLeaf(Rng, writer, keys.back(), leaf);
      if (Rng() % 12 == 0) PutLeaf(Rng, writer, Rng() % 2 != 0 ? Pick(Rng, kOddKeys) : Pick(Rng, keys), Rng() % 8);
    }
  }
  writer.Finish();
  TMemoryStream out;
  std::shared_ptr<detail::TStorageKey> none;
  detail::WriteStorageFile(out, u"", {}, Random, none, writer.Buffer());
  return out.ToBytes();
}

TEST(PassStorageModel, LoadGivesWhatTheStoragesListingAndLookupsGive) {
  std::mt19937 rng(20261208);
  TKLStorage randomSource;
  int loaded = 0, corrupted = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const ByteArray file = RandomFile(rng, *randomSource.GetRandomGenerator());
    const TOutcome expected = ModelLoad(file);
    ASSERT_EQ(StoreLoad(file), expected) << "trial " << trial << ": " << test::ToHex(file);
    (expected.Error.empty() ? loaded : corrupted) += 1;
  }
  // Both outcomes are common enough for the comparison to mean something.
  EXPECT_GT(loaded, 300);
  EXPECT_GT(corrupted, 300);
}

// Custom fields, tags, expiry and attachments on some records; attachments
// of sizes around the 65,535-byte piece.
void AddRandomExtras(std::mt19937& Rng, TKLPassRecord& Rec) {
  if (Rng() % 3 == 0) return;
  const int fields = static_cast<int>(Rng() % 3);
  for (int f = 0; f < fields; ++f) Rec.SetCustomField(u"Fé" + IntToStr(f), u"v" + IntToStr(f), Rng() % 2 != 0);
  if (Rng() % 2 != 0) Rec.SetTags({u"one", u"twö"});
  if (Rng() % 2 != 0) Rec.SetExpires(true);
  if (Rng() % 2 != 0) Rec.SetExpiryDate(-static_cast<std::int64_t>(Rng()));
  if (Rng() % 4 == 0) {
    const std::size_t sizes[] = {0, 1, 0xFFFF, 0x10000, 2 * 0xFFFF + 3};
    Rec.SetAttachment(u"a.bin", ByteArray(sizes[Rng() % 5], static_cast<std::uint8_t>(Rng())));
  }
}

// The values the save writes for them, in its order.
void PutExpectedExtras(TKLStorage& Expected, const String& Key, TKLPassRecord& Rec) {
  Expected.PutBlob(Key + u"/uuid", ByteArray(Rec.GetUuid().begin(), Rec.GetUuid().end()), false);
  for (std::int32_t f = 0; f < Rec.GetCustomFieldCount(); ++f) {
    const TKLPassField field = Rec.GetCustomField(f);
    const String prefix = Key + u"/field." + IntToStr(f + 1);
    Expected.PutString(prefix + u"/name", field.Name, false);
    Expected.PutString(prefix + u"/value", field.Value, false);
    if (field.Protected) Expected.PutBool(prefix + u"/protected", true, false);
  }
  for (std::size_t t = 0; t < Rec.GetTags().size(); ++t) {
    Expected.PutString(Key + u"/tag." + IntToStr(static_cast<std::int32_t>(t + 1)), Rec.GetTags()[t], false);
  }
  if (Rec.GetExpires()) Expected.PutBool(Key + u"/expires", true, false);
  if (Rec.GetExpiryDate() != 0) Expected.PutLong(Key + u"/expiry", Rec.GetExpiryDate(), false);
  if (Rec.GetAttachmentCount() == 1) {
    ByteArray data;
    Rec.GetAttachment(u"a.bin", data);
    Expected.PutString(Key + u"/attach.1/name", u"a.bin", false);
    for (std::size_t piece = 0; piece == 0 || piece * 0xFFFF < data.size(); ++piece) {
      const auto first = data.begin() + static_cast<std::ptrdiff_t>(piece * 0xFFFF);
      const auto last = data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), (piece + 1) * 0xFFFF));
      const String leaf = piece == 0 ? String(u"/data") : u"/data." + IntToStr(static_cast<std::int32_t>(piece + 1));
      Expected.PutBlob(Key + u"/attach.1" + leaf, ByteArray(first, last), false);
    }
  }
}

TEST(PassStorageModel, PlainSaveWritesTheBytesOfAStorageOfTheSameValues) {
  std::mt19937 rng(7);
  const std::vector<String> groups = {u"General", u"W\u00F6rk", u"\U0001D11EMusic", String(u"\xD800x", 2)};
  const std::vector<String> texts = {u"", u"plain", u"p\u00E4ss", u"\U0001F511 key", String(u"lone \xDC00", 6)};
  for (int trial = 0; trial < 50; ++trial) {
    TKLPassStorage store;
    const int count = static_cast<int>(rng() % 30);
    for (int i = 0; i < count; ++i) {
      TKLPassRecord* rec = store.GetRecord(store.Add(Pick(rng, texts), Pick(rng, texts), Pick(rng, texts),
                                                     Pick(rng, texts), Pick(rng, texts), Pick(rng, groups)));
      if (rng() % 2 != 0) rec->SetNote(Pick(rng, texts) + u"!");
      AddRandomExtras(rng, *rec);
    }
    TMemoryStream saved;
    store.SaveToStream(saved, u"");

    TKLStorage expected;
    for (std::int32_t i = 0; i < store.GetCount(); ++i) {
      TKLPassRecord& rec = *store.GetRecord(i);
      const std::int64_t dates[] = {rec.GetCreationDate(), rec.GetModificationDate(), rec.GetLastAccessDate()};
      const String values[] = {rec.GetTitle(), rec.GetUsername(), rec.GetPassword(), rec.GetURL(), rec.GetNote()};
      const String key = rec.GetGroup() + u"/" + IntToStr(i);
      for (int t = 0; t < 5; ++t) expected.PutString(key + kLeaves[t], values[t], false);
      for (int d = 0; d < 3; ++d) expected.PutLong(key + kLeaves[5 + d], dates[d], false);
      PutExpectedExtras(expected, key, rec);
    }
    ASSERT_EQ(saved.ToBytes(), test::Save(expected, u"")) << "trial " << trial;
  }
}

} // namespace
} // namespace kl
