// Linux only: the counting operator new puts a size header in front of each
// block, and on Windows the library DLL frees with its own C runtime what
// the test program allocated (and the other way round).
// How KDBX loads and saves grow with the vault: counted in allocations, not
// measured in time, so that a busy machine cannot change the verdict. Also
// attachments with equal bytes sharing one binary of the pool.
#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "random/KLRandom.h"
#include "passstorage/KdbxTestFiles.h"
#include "support/TestSupport.h"

namespace {
std::atomic<std::uint64_t> gAllocations{0};
// Bytes live, the most live since the last reset, and a ceiling: while set,
// an allocation beyond it fails, so that a load that would take gigabytes
// fails at once rather than take the machine's memory.
std::atomic<std::int64_t> gLive{0};
std::atomic<std::int64_t> gPeak{0};
std::atomic<std::int64_t> gCeiling{0};

// Each block carries its size before it, so that the delete can count it.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t Size) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  const auto size = static_cast<std::int64_t>(Size);
  const std::int64_t live = gLive.fetch_add(size, std::memory_order_relaxed) + size;
  const std::int64_t ceiling = gCeiling.load(std::memory_order_relaxed);
  if (ceiling != 0 && live > ceiling) {
    gLive.fetch_sub(size, std::memory_order_relaxed);
    return nullptr;
  }
  for (std::int64_t peak = gPeak.load(); live > peak && !gPeak.compare_exchange_weak(peak, live);) {
  }
  auto* block = static_cast<std::uint8_t*>(std::malloc(Size + kHeader));
  if (block == nullptr) {
    gLive.fetch_sub(size, std::memory_order_relaxed);
    return nullptr;
  }
  std::memcpy(block, &Size, sizeof(Size));
  return block + kHeader;
}

void Release(void* P) noexcept {
  if (P == nullptr) return;
  auto* block = static_cast<std::uint8_t*>(P) - kHeader;
  std::size_t size;
  std::memcpy(&size, block, sizeof(size));
  gLive.fetch_sub(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  std::free(block);
}
} // namespace

// Every allocation of this program is counted, the library's too (it is
// linked in), with zlib's and expat's, which the library gives its own
// allocator over these.
void* operator new(std::size_t Size) {
  if (void* p = Allocate(Size)) return p;
  throw std::bad_alloc();
}
// The nothrow form too (std::stable_sort takes its buffer with it): left to
// the runtime, its memory would come back through the delete below.
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept { return Allocate(Size); }
void operator delete(void* P) noexcept { Release(P); }
void operator delete(void* P, std::size_t) noexcept { Release(P); }
void operator delete(void* P, const std::nothrow_t&) noexcept { Release(P); }

namespace kl {
namespace {

TKLKdbxSettings Cheap() {
  TKLKdbxSettings cheap;
  cheap.Kdf = kkAesKdf;
  cheap.Iterations = 1;
  return cheap;
}

// Count records in Count / 10 groups, so that groups grow with the vault too;
// notes with characters XML escapes, long enough that 1,200 records make a
// document of more than one written piece.
void Fill(TKLPassStorage& Store, std::int32_t Count) {
  String note;
  for (int i = 0; i < 20; ++i) note += u"a & b <c> \"d\" ";
  Store.SetKdbxSettings(Cheap());
  Store.SetSaveFormat(pfKdbx);
  for (std::int32_t i = 0; i < Count; ++i) {
    const String n = IntToStr(i);
    Store.Add(u"Site " + n, u"user" + n, u"pw-" + n, u"https://site" + n + u".example", note,
              u"Group " + IntToStr(i % (Count / 10)));
  }
}

void Destroy(TKLPassStorage& Store) {
  std::vector<TKLPassRecord*> records;
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) records.push_back(Store.GetRecord(i));
  Store.Clear(); // touches each record, so before they go
  for (TKLPassRecord* record : records) delete record;
}

enum TStep { stSaveNew, stLoad, stSaveLoaded };

// The allocations of one step on a vault of Count records.
std::uint64_t Allocations(TStep Step, std::int32_t Count) {
  TKLPassStorage made;
  Fill(made, Count);
  TMemoryStream file;
  std::uint64_t before = gAllocations.load();
  made.SaveToStream(file, u"pw");
  if (Step == stSaveNew) {
    const std::uint64_t used = gAllocations.load() - before;
    Destroy(made);
    return used;
  }
  file.SetPosition(0);
  TKLPassStorage loaded;
  before = gAllocations.load();
  loaded.LoadFromStream(file, u"pw");
  std::uint64_t used = gAllocations.load() - before;
  EXPECT_EQ(loaded.GetCount(), Count); // the document is written in pieces: none may be lost
  if (Step == stSaveLoaded) {
    TMemoryStream again;
    before = gAllocations.load();
    loaded.SaveToStream(again, u"pw");
    used = gAllocations.load() - before;
  }
  Destroy(made);
  Destroy(loaded);
  return used;
}

// Four times the records may cost about four times the allocations; work
// that grows with the square of the records would cost about sixteen.
TEST(KdbxScale, AllocationsGrowLinearlyWithTheRecords) {
  constexpr std::int32_t kSmall = 300;
  const struct {
    TStep Step;
    const char* Name;
  } steps[] = {{stSaveNew, "save of a new store"}, {stLoad, "load"}, {stSaveLoaded, "save of a loaded file"}};
  for (const auto& step : steps) {
    const std::uint64_t small = Allocations(step.Step, kSmall);
    if (small < kSmall) GTEST_SKIP() << "the library's allocations are not seen here";
    const std::uint64_t large = Allocations(step.Step, 4 * kSmall);
    const double ratio = static_cast<double>(large) / static_cast<double>(small);
    EXPECT_LT(ratio, 4.6) << step.Name << ": " << small << " then " << large << " allocations";
  }
}

// Equal attachments are written once, however many records carry them, and
// read back whole into each record.
TEST(KdbxScale, EqualAttachmentsShareOneBinary) {
  const ByteArray a{1, 2, 3}, b{1, 2, 4}, c{9};
  TKLPassStorage store;
  Fill(store, 10);
  const ByteArray* given[] = {&a, &b, &a, &c, &b, &a, &c, &a, &b, &a};
  for (std::int32_t i = 0; i < 10; ++i) store.GetRecord(i)->SetAttachment(u"file", *given[i]);
  TMemoryStream first;
  store.SaveToStream(first, u"pw");
  first.SetPosition(0);
  TKLPassStorage loaded;
  loaded.LoadFromStream(first, u"pw");
  TMemoryStream second;
  loaded.SaveToStream(second, u"pw");
  for (TMemoryStream* file : {&first, &second}) {
    file->SetPosition(0);
    detail::TKdbxCompositeKey key;
    key.AddPassword(u"pw");
    EXPECT_EQ(detail::ReadKdbx(*file, key).Binaries.size(), 3u);
  }
  ASSERT_EQ(loaded.GetCount(), 10);
  for (std::int32_t i = 0; i < 10; ++i) {
    // Records keep their order through a load.
    ASSERT_EQ(loaded.GetRecord(i)->GetAttachmentCount(), 1) << i;
    ByteArray data;
    ASSERT_TRUE(loaded.GetRecord(i)->GetAttachment(u"file", data)) << i;
    EXPECT_EQ(data, *given[i]) << i;
  }
  Destroy(store);
  Destroy(loaded);
}

// The most bytes live while Work runs beyond those live before, with
// allocations failing beyond Ceiling bytes more.
template <class F>
std::int64_t PeakOf(std::int64_t Ceiling, F&& Work) {
  const std::int64_t before = gLive.load();
  gPeak.store(before);
  gCeiling.store(before + Ceiling);
  Work();
  gCeiling.store(0);
  return gPeak.load() - before;
}

constexpr std::int64_t kMiB = 1 << 20;

detail::TXmlNode Leaf(const char* Name, std::string Text = {}) { return detail::TXmlNode(Name, std::move(Text)); }


// A root group of Count entries, each referring to binary 0 of the pool.
detail::TKdbxDocument Referring(std::int32_t Count) {
  detail::TKdbxDocument doc;
  doc.Root.Children.push_back(Leaf("Meta"));
  detail::TXmlNode& group = doc.Root.Children.emplace_back("Root").Children.emplace_back("Group");
  group.Children.push_back(Leaf("UUID", "AAAAAAAAAAAAAAAAAAAAAA=="));
  group.Children.push_back(Leaf("Name", "Root"));
  for (std::int32_t i = 0; i < Count; ++i) {
    std::uint8_t uuid[16] = {1};
    std::memcpy(uuid + 4, &i, sizeof(i));
    detail::TXmlNode& entry = group.Children.emplace_back("Entry");
    entry.Children.push_back(Leaf("UUID", detail::Base64Encode(uuid, 16)));
    detail::TXmlNode& title = entry.Children.emplace_back("String");
    title.Children.push_back(Leaf("Key", "Title"));
    title.Children.push_back(Leaf("Value", "Entry " + std::to_string(i)));
    detail::TXmlNode& binary = entry.Children.emplace_back("Binary");
    binary.Children.push_back(Leaf("Key", "big.bin"));
    binary.Children.emplace_back("Value").SetAttribute("Ref", "0");
  }
  return doc;
}

// A file of 75 KB whose 200 entries all refer to one attachment of 16 MiB:
// the vault holds 16 MiB and some titles, so opening it may cost 64 MiB and
// four times that, not a copy for each entry (3.2 GB).
TEST(KdbxScale, ReferencesToOneAttachmentShareOneCopy) {
  constexpr std::int32_t kEntries = 200;
  constexpr std::size_t kAttachment = 16 * kMiB;
  detail::TKdbxDocument doc = Referring(kEntries);
  doc.Binaries.emplace_back().Data = std::make_shared<const SecureBytes>(ByteArray(kAttachment, 0x5A));
  const ByteArray bytes = test::KdbxFileOf(doc);
  EXPECT_LT(bytes.size(), 100u * 1024) << "the bomb is not small";
  const std::int64_t holds = static_cast<std::int64_t>(kAttachment) + kEntries * 64;
  const std::int64_t bound = 64 * kMiB + 4 * holds;
  TKLPassStorage store;
  TMemoryStream file(bytes);
  const std::int64_t peak = PeakOf(bound, [&] { EXPECT_NO_THROW(store.LoadFromStream(file, u"pw")); });
  EXPECT_LT(peak, bound) << peak / kMiB << " MiB";
  RecordProperty("peak_bytes", std::to_string(peak));
  ASSERT_EQ(store.GetCount(), kEntries);
  for (const std::int32_t i : {0, kEntries - 1}) {
    ByteArray data;
    ASSERT_TRUE(store.GetRecord(i)->GetAttachment(u"big.bin", data));
    EXPECT_EQ(data, ByteArray(kAttachment, 0x5A));
  }
  // Saved again, the shared bytes are written once.
  TMemoryStream again;
  store.SaveToStream(again, u"pw");
  again.SetPosition(0);
  detail::TKdbxCompositeKey key;
  key.AddPassword(u"pw");
  EXPECT_EQ(detail::ReadKdbx(again, key).Binaries.size(), 1u);
  Destroy(store);
}

// A document of nothing but empty elements (four bytes each) may not build
// a tree of thirty times its size, nor one of tiny entries (19 bytes each,
// about 200 folded) eleven times, nor one entry of them all: refused once the
// tree reaches its bound (eight times the XML and 32 MiB), folded entries and
// an entry being folded counted too.
TEST(KdbxScale, TheTreeIsBoundedByTheDocument) {
  const struct {
    const char *Head, *Element, *Tail;
    std::size_t Count;
    bool Fold;
  } cases[] = {{"<KeePassFile>", "<a/>", "</KeePassFile>", 4 << 20, false},
               {"<KeePassFile><Root><Group>", "<Entry><a/></Entry>", "</Group></Root></KeePassFile>", 2 << 20, true},
               {"<KeePassFile><Root><Group><Entry>", "<a/>", "</Entry></Group></Root></KeePassFile>", 4 << 20, true}};
  for (const auto& c : cases) {
    std::string xml = c.Head;
    xml.reserve(std::strlen(c.Element) * c.Count + 64);
    for (std::size_t i = 0; i < c.Count; ++i) xml += c.Element;
    xml += c.Tail;
    const auto size = static_cast<std::int64_t>(xml.size());
    const std::int64_t bound = 64 * kMiB + 9 * size;
    std::string message;
    const std::int64_t peak = PeakOf(bound, [&] {
      message = test::MessageOf([&] {
        detail::ParseKdbxXml(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), nullptr, nullptr, c.Fold);
      });
    });
    EXPECT_EQ(message, SKdbxTooLarge) << c.Element;
    EXPECT_LT(peak, bound) << c.Element << ": " << peak / kMiB << " MiB for " << size / kMiB << " MiB of XML";
    RecordProperty(c.Fold ? "folded_peak_bytes" : "peak_bytes", std::to_string(peak));
  }
}

// A document as KeePass writes it costs well within that bound, so that
// no real file comes near it.
TEST(KdbxScale, AnOrdinaryDocumentIsWithinTheTreeBound) {
  TKLPassStorage made;
  Fill(made, 2000);
  TMemoryStream file;
  made.SaveToStream(file, u"pw");
  file.SetPosition(0);
  detail::TKdbxCompositeKey key;
  key.AddPassword(u"pw");
  std::string xml;
  {
    const detail::TKdbxDocument doc = detail::ReadKdbx(file, key);
    detail::WriteKdbxXml(
        doc.Root, [](void*, std::uint8_t*, std::size_t) {}, nullptr,
        [](void* Out, const char* Piece, std::size_t Size) { static_cast<std::string*>(Out)->append(Piece, Size); },
        &xml);
  }
  const std::int64_t before = gLive.load();
  const detail::TXmlNode root =
      detail::ParseKdbxXml(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), nullptr, nullptr);
  const std::int64_t tree = gLive.load() - before;
  EXPECT_LT(tree, static_cast<std::int64_t>(detail::KdbxMaxTreePerXmlByte * xml.size() / 2))
      << tree << " bytes of tree for " << xml.size() << " bytes of XML";
  RecordProperty("tree_bytes", std::to_string(tree));
  RecordProperty("xml_bytes", std::to_string(xml.size()));
  Destroy(made);
}

// Opening a large file costs a small multiple of what its records hold once
// loaded: the inflated XML is parsed as it arrives, never held whole, and
// each entry is folded as soon as it is read (as a tree it would cost ten
// times its bytes). Saving it again after one edit costs less than half the
// opening beyond what the store holds: the entries left as they were share
// their folded text with the loaded document.
TEST(KdbxScale, OpeningCostsASmallMultipleOfWhatTheRecordsHold) {
  constexpr std::int32_t kRecords = 30000;
  TMemoryStream file;
  {
    TKLPassStorage made;
    Fill(made, kRecords);
    made.SaveToStream(file, u"pw");
    Destroy(made);
  }
  file.SetPosition(0);
  TKLPassStorage loaded;
  const std::int64_t open = PeakOf(4096 * kMiB, [&] { loaded.LoadFromStream(file, u"pw"); });
  ASSERT_EQ(loaded.GetCount(), kRecords);
  loaded.GetRecord(7)->SetPassword(u"changed");
  TMemoryStream again;
  const std::int64_t save = PeakOf(4096 * kMiB, [&] { loaded.SaveToStream(again, u"pw"); });
  std::vector<TKLPassRecord*> records;
  for (std::int32_t i = 0; i < loaded.GetCount(); ++i) records.push_back(loaded.GetRecord(i));
  loaded.Clear();
  const std::int64_t live = gLive.load();
  for (TKLPassRecord* record : records) delete record;
  const std::int64_t held = live - gLive.load();
  EXPECT_LT(open, 64 * kMiB + 4 * held) << open / kMiB << " MiB to open records of " << held / kMiB << " MiB";
  EXPECT_LT(open, 3 * held) << open / kMiB << " MiB to open records of " << held / kMiB << " MiB";
  EXPECT_LT(save, open / 2) << save / kMiB << " MiB to save, " << open / kMiB << " MiB to open";
  RecordProperty("open_peak_bytes", std::to_string(open));
  RecordProperty("save_peak_bytes", std::to_string(save));
  RecordProperty("record_bytes", std::to_string(held));
  again.SetPosition(0);
  TKLPassStorage back;
  back.LoadFromStream(again, u"pw");
  ASSERT_EQ(back.GetCount(), kRecords);
  EXPECT_EQ(back.GetRecord(7)->GetPassword(), u"changed");
  EXPECT_EQ(back.GetRecord(kRecords - 1)->GetTitle(), u"Site " + IntToStr(kRecords - 1));
  Destroy(back);
}

std::string Gzip(const std::string& Data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(Data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
  z.avail_in = static_cast<uInt>(Data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

// KDBX 3.1 keeps attachments gzipped in the XML: all of them, and the payload
// before them, draw on one budget, so that many small pieces cannot each
// inflate to the bound.
TEST(KdbxScale, GzippedAttachmentsShareOneInflationBudget) {
  constexpr std::size_t kEach = 600 * 1024;
  const std::string piece = Gzip(std::string(kEach, 'x'));
  struct TCase {
    int Binaries;
    std::uint64_t Budget;
    bool Fits;
  };
  for (const TCase c : {TCase{1, 1 << 20, true}, TCase{2, 1 << 20, false}, TCase{3, 2 << 20, true},
                        TCase{4, 2 << 20, false}}) {
    std::string xml = "<KeePassFile><Meta><Binaries>";
    for (int i = 0; i < c.Binaries; ++i) {
      xml += "<Binary ID=\"" + std::to_string(i) + "\" Compressed=\"True\">" +
             detail::Base64Encode(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()) + "</Binary>";
    }
    xml += "</Binaries></Meta><Root/></KeePassFile>";
    detail::TKdbxDocument doc;
    doc.Root = detail::ParseKdbxXml(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), nullptr, nullptr);
    std::uint64_t budget = c.Budget;
    const std::string message = test::MessageOf([&] { detail::UpgradeVersion3(doc, budget); });
    EXPECT_EQ(message, c.Fits ? "(nothing)" : SKdbxTooLarge) << c.Binaries;
    if (c.Fits) {
      EXPECT_EQ(budget, c.Budget - c.Binaries * kEach) << c.Binaries;
      ASSERT_EQ(doc.Binaries.size(), static_cast<std::size_t>(c.Binaries));
      EXPECT_EQ(doc.Binaries.back().Data->Get(), ByteArray(kEach, 'x'));
    }
  }
}

} // namespace
} // namespace kl
