// How KDBX loads and saves grow with the vault: counted in allocations, not
// measured in time, so that a busy machine cannot change the verdict. Also
// attachments with equal bytes sharing one binary of the pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "foundation/Convert.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"

namespace {
std::atomic<std::uint64_t> gAllocations{0};
} // namespace

// Every allocation of this program is counted; the library's too where it
// is linked in or shares the program's allocator.
void* operator new(std::size_t Size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(Size != 0 ? Size : 1)) return p;
  throw std::bad_alloc();
}
// The nothrow form too (std::stable_sort takes its buffer with it): left to
// the runtime, its memory would come back through the delete below.
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(Size != 0 ? Size : 1);
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }
void operator delete(void* P, const std::nothrow_t&) noexcept { std::free(P); }

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

} // namespace
} // namespace kl
