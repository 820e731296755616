#include <gtest/gtest.h>


#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::TempDir;

// The stream contract, run over both concrete streams.
class StreamContract : public ::testing::TestWithParam<bool> {
protected:
  std::unique_ptr<TStream> Make() {
    if (!GetParam()) return std::make_unique<TMemoryStream>();
    return std::make_unique<TFileStream>(FDir.FileU("s.bin"), fmCreate);
  }
  TempDir FDir;
};

TEST_P(StreamContract, WriteSeekReadRoundTrip) {
  auto s = Make();
  EXPECT_EQ(s->Write("hello world", 11), 11);
  EXPECT_EQ(s->GetPosition(), 11);
  EXPECT_EQ(s->GetSize(), 11);
  EXPECT_EQ(s->Seek(6, soBeginning), 6);
  char buf[16] = {};
  EXPECT_EQ(s->Read(buf, 16), 5);  // short read at the end
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(s->Read(buf, 16), 0);
  EXPECT_EQ(s->Seek(-5, soEnd), 6);
  EXPECT_EQ(s->Seek(-2, soCurrent), 4);
  EXPECT_EQ(s->GetPosition(), 4);
}

TEST_P(StreamContract, ReadBufferFailsOnShortReadWithReadError) {
  auto s = Make();
  s->WriteBuffer("abc", 3);
  s->SetPosition(0);
  char buf[4];
  try {
    s->ReadBuffer(buf, 4);
    FAIL();
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), SReadError);
  }
}

TEST_P(StreamContract, SetSizeTruncatesAndExtends) {
  auto s = Make();
  s->WriteBuffer("abcdef", 6);
  s->SetSize(2);
  EXPECT_EQ(s->GetSize(), 2);
  EXPECT_LE(s->GetPosition(), 2);
  s->SetSize(4);
  s->SetPosition(0);
  char buf[4];
  s->ReadBuffer(buf, 4);
  EXPECT_EQ(std::memcmp(buf, "ab\0\0", 4), 0);
}

TEST_P(StreamContract, NegativeCountsAreRangeErrors) {
  auto s = Make();
  char buf[1];
  EXPECT_THROW(s->Read(buf, -1), ERangeError);
  EXPECT_THROW(s->Write(buf, -1), ERangeError);
  EXPECT_THROW(s->ReadBuffer(buf, -1), ERangeError);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile, StreamContract, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "File" : "Memory"; });

TEST(MemoryStream, WriteAfterSeekPastEndZeroFillsTheGap) {
  TMemoryStream s;
  s.Seek(4, soBeginning);
  s.WriteBuffer("x", 1);
  EXPECT_EQ(s.ToBytes(), (ByteArray{0, 0, 0, 0, 'x'}));
  EXPECT_THROW(s.Seek(-1, soBeginning), EStreamError);
}

TEST(MemoryStream, GrowsAcrossManyWritesKeepingContent) {
  TMemoryStream s;
  for (int i = 0; i < 100000; ++i) {
    const auto b = static_cast<std::uint8_t>(i);
    s.WriteBuffer(&b, 1);
  }
  ASSERT_EQ(s.GetSize(), 100000);
  for (int i = 0; i < 100000; i += 997) EXPECT_EQ(s.GetMemory()[i], static_cast<std::uint8_t>(i));
}

TEST(FileStream, OpeningAMissingFileForReadingIsAnOpenError) {
  TempDir dir;
  EXPECT_THROW(TFileStream(dir.FileU("missing"), fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(dir.FileU("no/such/folder/x"), fmCreate), EFCreateError);
  EXPECT_THROW(TFileStream(test::U(dir.Path()), fmOpenRead), EFOpenError);  // a folder
}

TEST(FileStream, CreateTruncatesAnExistingFileAndReadModeCannotWrite) {
  TempDir dir;
  test::WriteFileBytes(dir.File("f"), "old content");
  { TFileStream s(dir.FileU("f"), fmCreate); EXPECT_EQ(s.GetSize(), 0); s.WriteBuffer("new", 3); }
  EXPECT_EQ(test::ReadFileBytes(dir.File("f")), "new");
  TFileStream r(dir.FileU("f"), fmOpenRead);
  EXPECT_THROW(r.WriteBuffer("x", 1), EWriteError);
}

TEST(FileStream, NonAsciiFileNamesWork) {
  TempDir dir;
  const String name = dir.FileU("caf\xC3\xA9-\xE2\x82\xAC.bin");
  { TFileStream s(name, fmCreate); s.WriteBuffer("z", 1); }
  EXPECT_EQ(test::ReadFileBytes(dir.File("caf\xC3\xA9-\xE2\x82\xAC.bin")), "z");
}

TEST(AtomicSave, ReplacesTheTargetWhole) {
  TempDir dir;
  test::WriteFileBytes(dir.File("t"), "previous");
  SaveFileAtomically(dir.FileU("t"), [](TStream& s) { s.WriteBuffer("next", 4); });
  EXPECT_EQ(test::ReadFileBytes(dir.File("t")), "next");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(AtomicSave, WriterFailureLeavesTheOldFileIntactAndNoTemporaryBehind) {
  TempDir dir;
  test::WriteFileBytes(dir.File("t"), "previous");
  EXPECT_THROW(SaveFileAtomically(dir.FileU("t"),
                                  [](TStream& s) {
                                    s.WriteBuffer("partial", 7);
                                    throw std::runtime_error("writer failed");
                                  }),
               std::runtime_error);
  EXPECT_EQ(test::ReadFileBytes(dir.File("t")), "previous");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(AtomicSave, MissingFolderIsACreateError) {
  TempDir dir;
  EXPECT_THROW(SaveFileAtomically(dir.FileU("nope/t"), [](TStream&) {}), EFCreateError);
}

} // namespace
} // namespace kl
