#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/KLStorage.h"
#include "storage/StorageContent.h"
#include "storage/StorageTable.h"

namespace kl {
namespace {

using detail::TStorageTable;

// Hands Table a loaded buffer holding Writer's content; returns where the
// buffer's bytes lie, which stay put while the table lives.
const std::uint8_t* TakeContent(TStorageTable& Table, detail::TContentWriter& Writer) {
  Writer.Finish();
  detail::TLoadedContent loaded;
  loaded.Buffer = std::make_unique<detail::TContentBuffer>();
  loaded.Buffer->Append(Writer.Buffer().Data(), Writer.Buffer().Size());
  loaded.Size = detail::CheckContent(loaded.Buffer->Data(), loaded.Buffer->Size(), loaded.Records);
  const std::uint8_t* bytes = loaded.Buffer->Data();
  Table.Take(loaded);
  return bytes;
}

bool Holds(const std::uint8_t* Bytes, std::size_t Size, const std::string& Needle) {
  return std::string_view(reinterpret_cast<const char*>(Bytes), Size).find(Needle) != std::string_view::npos;
}

// A loaded text or array lives in the loaded buffer until it is asked for;
// once its object holds it, the buffer's copy is wiped at once, not when the
// storage goes, while keys and values not asked for stay readable.
TEST(StorageTable, AValueMadeFromItsRecordWipesTheRecordsCopy) {
  TKLStorage owner;
  TStorageTable table(owner);
  detail::TContentWriter writer;
  writer.PutString(u"text", u"first secret text");
  writer.PutBlob(u"blob", reinterpret_cast<const std::uint8_t*>("second secret blob"), 18);
  writer.PutString(u"later", u"third secret text");
  const std::size_t size = writer.Buffer().Size();
  const std::uint8_t* bytes = TakeContent(table, writer);
  ASSERT_EQ(table.GetCount(), 3u);

  EXPECT_EQ(static_cast<TKLStringValue*>(table.ValueAt(0))->GetValue(), u"first secret text");
  const ByteArray& blob = static_cast<TKLBlobValue*>(table.ValueAt(1))->GetValue();
  EXPECT_EQ(std::string(blob.begin(), blob.end()), "second secret blob");
  EXPECT_FALSE(Holds(bytes, size, "first secret text"));
  EXPECT_FALSE(Holds(bytes, size, "second secret blob"));
  EXPECT_TRUE(Holds(bytes, size, "third secret text"));
  EXPECT_EQ(table.Find(u"text"), 0u);
  EXPECT_EQ(table.Find(u"blob"), 1u);
  EXPECT_EQ(static_cast<TKLStringValue*>(table.ValueAt(2))->GetValue(), u"third secret text");
}

// A loaded value removed without ever being read leaves nothing of itself in
// the buffer, which lives on with the other records.
TEST(StorageTable, ARecordRemovedUnreadIsWipedFromTheBuffer) {
  TKLStorage owner;
  TStorageTable table(owner);
  detail::TContentWriter writer;
  writer.PutString(u"kept", u"kept secret text");
  writer.PutString(u"gone", u"removed secret text");
  writer.PutBlob(u"blob", reinterpret_cast<const std::uint8_t*>("removed secret blob"), 19);
  const std::size_t size = writer.Buffer().Size();
  const std::uint8_t* bytes = TakeContent(table, writer);
  table.Remove(std::vector<std::uint32_t>{1, 2});
  EXPECT_FALSE(Holds(bytes, size, "removed secret text"));
  EXPECT_FALSE(Holds(bytes, size, "removed secret blob"));
  ASSERT_EQ(table.GetCount(), 1u);
  EXPECT_EQ(static_cast<TKLStringValue*>(table.ValueAt(table.Find(u"kept")))->GetValue(), u"kept secret text");
}

} // namespace
} // namespace kl
