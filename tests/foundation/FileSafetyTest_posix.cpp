#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/AtomicFile.h"
#include "foundation/AtomicFileCounters.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/StringList.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::TempDir;

void SaveText(const String& FileName, const std::string& Text) {
  SaveFileAtomically(FileName, [&](TStream& s) { s.WriteBuffer(Text.data(), static_cast<std::int32_t>(Text.size())); });
}

std::vector<std::string> Names(const std::string& Dir) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(Dir.c_str());
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

TEST(AtomicSave, FlushesTheFileBeforeTheRenameAndTheFolderAfterIt) {
  TempDir dir;
  const detail::TAtomicSaveFlushes before = detail::AtomicSaveFlushes();
  SaveText(dir.FileU("f"), "a");
  const detail::TAtomicSaveFlushes after = detail::AtomicSaveFlushes();
  EXPECT_EQ(after.Files - before.Files, 1u);
  EXPECT_EQ(after.Folders - before.Folders, 1u);
}

// Links relative and absolute, chained and dangling: the final target gets
// the content and every link stays a link.
TEST(AtomicSave, ASymbolicLinkIsFollowedToItsTargetAndStays) {
  TempDir dir;
  ::mkdir(dir.File("real").c_str(), 0700);
  test::WriteFileBytes(dir.File("real/db"), "old");
  ASSERT_EQ(::symlink("real/db", dir.File("relative").c_str()), 0);
  ASSERT_EQ(::symlink(dir.File("relative").c_str(), dir.File("chain").c_str()), 0);
  ASSERT_EQ(::symlink("real/new", dir.File("dangling").c_str()), 0);

  SaveText(dir.FileU("chain"), "new");
  SaveText(dir.FileU("dangling"), "made");
  EXPECT_EQ(test::ReadFileBytes(dir.File("real/db")), "new");
  EXPECT_EQ(test::ReadFileBytes(dir.File("real/new")), "made");
  for (const char* link : {"relative", "chain", "dangling"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(dir.File(link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
  }
  EXPECT_EQ(Names(dir.File("real")).size(), 2u); // no temporary left in the target's folder
}

TEST(AtomicSave, ASaveByRootKeepsTheOwnerAndGroupOfAnotherUsersFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a file to another user";
  TempDir dir;
  test::WriteFileBytes(dir.File("theirs"), "x");
  ASSERT_EQ(::chown(dir.File("theirs").c_str(), 65534, 65533), 0);
  ASSERT_EQ(::chmod(dir.File("theirs").c_str(), 0640), 0);
  SaveText(dir.FileU("theirs"), "y");
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65533u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(AtomicSave, TheLongestNameTheSystemAllowsCanBeSaved) {
  TempDir dir;
  for (const std::size_t length : {245u, 255u}) {
    const std::string name(length, 'n');
    SaveText(dir.FileU(name), "z");
    EXPECT_EQ(test::ReadFileBytes(dir.File(name)), "z");
  }
}

// A child process starts a save of Name and stops inside the writer, after the
// temporary file has content: it exits there (as a kill -9 would end it) or,
// with Hold, waits until the parent kills it.
pid_t StartSaveThatDies(const TempDir& Dir, const std::string& Name, bool Hold, int ReadyFd) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  SaveFileAtomically(Dir.FileU(Name), [&](TStream& s) {
    s.WriteBuffer("secret", 6);
    (void)!::write(ReadyFd, "r", 1);
    if (Hold) ::pause();
    ::_exit(0);
  });
  ::_exit(1);
}

TEST(AtomicSave, RemovesOnlyTemporariesThatDeadSavesOfTheSameTargetLeft) {
  TempDir dir;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t deadSame = StartSaveThatDies(dir, "vault", false, ready[1]);
  const pid_t deadOther = StartSaveThatDies(dir, "other", false, ready[1]);
  const pid_t live = StartSaveThatDies(dir, "vault", true, ready[1]);
  char byte;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::waitpid(deadSame, nullptr, 0);
  ::waitpid(deadOther, nullptr, 0);
  EXPECT_EQ(Names(dir.Path()).size(), 3u);

  SaveText(dir.FileU("vault"), "v");
  std::vector<std::string> names = Names(dir.Path());
  const auto has = [&](pid_t Pid) {
    const std::string tag = "-" + std::to_string(Pid) + "-";
    for (const std::string& name : names) {
      if (name.find(tag) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_FALSE(has(deadSame));
  EXPECT_TRUE(has(deadOther));
  EXPECT_TRUE(has(live));
  EXPECT_EQ(names.size(), 3u); // the vault and the two temporaries kept

  ::kill(live, SIGKILL);
  ::waitpid(live, nullptr, 0);
  SaveText(dir.FileU("vault"), "w");
  names = Names(dir.Path());
  EXPECT_FALSE(has(live));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(AtomicSave, WithAStampRefusesAFileThatChangedSinceAndKeepsTheOtherWrite) {
  TempDir dir;
  const String file = dir.FileU("db");
  SaveText(file, "one");
  const TFileStamp loaded = TFileStamp::Of(file);
  SaveText(file, "two"); // another process's save, between load and save
  EXPECT_THROW(SaveFileAtomically(
                   file, [](TStream& s) { s.WriteBuffer("3", 1); }, loaded),
               EFileChangedError);
  EXPECT_EQ(test::ReadFileBytes(dir.File("db")), "two");
  EXPECT_EQ(Names(dir.Path()).size(), 1u);

  const TFileStamp saved = SaveFileAtomically(
      file, [](TStream& s) { s.WriteBuffer("3", 1); }, TFileStamp::Of(file));
  EXPECT_EQ(test::ReadFileBytes(dir.File("db")), "3");
  EXPECT_TRUE(saved == TFileStamp::Of(file)); // the file as saved, not whatever came later

  const TFileStamp none = TFileStamp::Of(dir.FileU("missing"));
  EXPECT_FALSE(none.GetExists());
  SaveText(dir.FileU("missing"), "made meanwhile");
  EXPECT_THROW(SaveFileAtomically(
                   dir.FileU("missing"), [](TStream&) {}, none),
               EFileChangedError);
}

TEST(FileStream, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  for (const std::string& path : {dir.File("fifo"), std::string("/dev/zero"), std::string("/dev/null")}) {
    for (const TFileMode mode : {fmOpenRead, fmOpenReadWrite}) {
      try {
        TFileStream stream(UTF8ToStr(path), mode);
        ADD_FAILURE() << path << " was opened";
      } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(SNotARegularFile), std::string::npos) << e.what();
      }
    }
  }
  EXPECT_THROW(TFileStream(dir.FileU("fifo"), fmCreate), EFCreateError);
}

TEST(StringList, LoadingRefusesAFileBeyondTheLimit) {
  TempDir dir;
  test::WriteFileBytes(dir.File("words"), "abc\ndefg\n"); // nine bytes
  TStringList list;
  EXPECT_EQ(list.GetMaxFileSize(), KLDefaultMaxTextFileSize);
  list.SetMaxFileSize(9);
  list.LoadFromFile(dir.FileU("words"));
  EXPECT_EQ(list.GetCount(), 2);
  list.SetMaxFileSize(8);
  EXPECT_THROW(list.LoadFromFile(dir.FileU("words")), EFOpenError);
  EXPECT_EQ(list.GetCount(), 2); // unchanged
}

} // namespace
} // namespace kl
