#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/AtomicFile.h"
#include "foundation/AtomicFileCounters.h"
#include "foundation/FileStamp.h"
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

// The flush must cover the finished file: the one that became the target (the
// rename keeps its file number), with every byte the writer wrote.
TEST(AtomicSave, FlushesTheFileBeforeTheRenameAndTheFolderAfterIt) {
  TempDir dir;
  const detail::TAtomicSaveFlushes before = detail::AtomicSaveFlushes();
  SaveText(dir.FileU("f"), "abc");
  const detail::TAtomicSaveFlushes after = detail::AtomicSaveFlushes();
  EXPECT_EQ(after.Files - before.Files, 1u);
  EXPECT_EQ(after.Folders - before.Folders, 1u);
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("f").c_str(), &st), 0);
  EXPECT_EQ(after.LastFile, static_cast<std::uint64_t>(st.st_ino));
  EXPECT_EQ(after.LastFileSize, 3);
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

// The temporary-file prefix of Name's saves ("<prefix><pid>-XXXXXX"), taken
// from a save while it runs.
std::string TemporaryPrefix(const TempDir& Dir, const std::string& Name) {
  std::string prefix;
  SaveFileAtomically(Dir.FileU(Name), [&](TStream&) {
    for (const std::string& name : Names(Dir.Path())) {
      if (name.rfind(".klsave-", 0) == 0) prefix = name.substr(0, name.find('-', 8) + 1);
    }
  });
  return prefix;
}

// A pid no process can have: pids stay below the system's limit.
long AbsentPid() {
  long limit = 4194304;
  if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
    if (std::fscanf(f, "%ld", &limit) != 1) limit = 4194304;
    std::fclose(f);
  }
  return limit;
}

// A left temporary goes only when its process is gone and its lock is free:
// a live process may be saving (even where locks are missing), and a held lock
// means a process saves under a pid that is not its own (another pid namespace).
TEST(AtomicSave, RemovesATemporaryOnlyWhenItsProcessIsGoneAndItsLockIsFree) {
  TempDir dir;
  const std::string prefix = TemporaryPrefix(dir, "vault");
  ASSERT_FALSE(prefix.empty());
  struct TCase {
    const char* What;
    long Pid;
    bool Locked;
    bool Removed;
  };
  const TCase cases[] = {{"process alive, lock free", 1, false, false},
                         {"process gone, lock free", AbsentPid(), false, true},
                         {"process gone, lock held", AbsentPid() + 1, true, false}};
  std::vector<int> held;
  for (const TCase& c : cases) {
    const std::string path = dir.File(prefix + std::to_string(c.Pid) + "-abcdef");
    test::WriteFileBytes(path, "old secret");
    if (c.Locked) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
      held.push_back(fd);
    }
  }
  SaveText(dir.FileU("vault"), "v");
  for (const TCase& c : cases) {
    const std::string path = dir.File(prefix + std::to_string(c.Pid) + "-abcdef");
    EXPECT_EQ(::access(path.c_str(), F_OK) != 0, c.Removed) << c.What;
  }
  for (const int fd : held) ::close(fd);
}

// In a sticky folder anyone may write to, a link is followed only when it
// belongs to the saving user or to the folder's owner; elsewhere always. A
// refused link changes nothing: its target is not made.
TEST(AtomicSave, FollowsALinkInASharedStickyFolderOnlyWhenItsOwnerMayBeTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another user";
  struct TCase {
    const char* What;
    mode_t FolderMode;
    uid_t FolderOwner;
    uid_t LinkOwner;
    bool Followed;
  };
  const TCase cases[] = {{"another user's link in a sticky shared folder", 01777, 0, 65534, false},
                         {"the folder owner's link", 01777, 65534, 65534, true},
                         {"the saving user's link", 01777, 0, 0, true},
                         {"a folder that is not sticky", 0777, 0, 65534, true},
                         {"a sticky folder others may not write", 01775, 0, 65534, true}};
  for (const TCase& c : cases) {
    TempDir dir;
    const std::string shared = dir.File("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), c.FolderMode), 0);
    ASSERT_EQ(::chown(shared.c_str(), c.FolderOwner, 0), 0);
    const std::string target = dir.File("target");
    ASSERT_EQ(::symlink(target.c_str(), (shared + "/link").c_str()), 0);
    ASSERT_EQ(::lchown((shared + "/link").c_str(), c.LinkOwner, 0), 0);
    if (c.Followed) {
      SaveText(UTF8ToStr(shared + "/link"), "s");
      EXPECT_EQ(test::ReadFileBytes(target), "s") << c.What;
    } else {
      EXPECT_THROW(SaveText(UTF8ToStr(shared + "/link"), "s"), EFCreateError) << c.What;
      EXPECT_NE(::access(target.c_str(), F_OK), 0) << c.What;
      EXPECT_EQ(Names(shared).size(), 1u) << c.What; // only the link
    }
  }
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

// An edit in place shows in the size or in the modification time, to the
// nanosecond (two saves in one second must not look alike); a rename changes
// nothing, so a temporary file's stamp is that of the file it becomes.
TEST(FileStamp, TellsAChangeOfSizeOrOfModificationTimeByANanosecond) {
  TempDir dir;
  const std::string path = dir.File("f");
  const auto write = [&](const std::string& Bytes, long Nanoseconds) {
    test::WriteFileBytes(path, Bytes);
    const timespec times[2] = {{1000, 0}, {1000, Nanoseconds}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
  };
  ASSERT_TRUE(write("abc", 1));
  const TFileStamp first = TFileStamp::Of(dir.FileU("f"));
  ASSERT_TRUE(first.GetExists());
  ASSERT_TRUE(write("abc", 2));
  EXPECT_FALSE(TFileStamp::Of(dir.FileU("f")) == first) << "a nanosecond later";
  ASSERT_TRUE(write("abcd", 1));
  EXPECT_FALSE(TFileStamp::Of(dir.FileU("f")) == first) << "a byte longer";
  ASSERT_TRUE(write("xyz", 1));
  EXPECT_TRUE(TFileStamp::Of(dir.FileU("f")) == first) << "same size and time";
  ASSERT_EQ(::rename(path.c_str(), dir.File("g").c_str()), 0);
  EXPECT_TRUE(TFileStamp::Of(dir.FileU("g")) == first) << "renamed";
  // No file: a missing name, and a name below a file that is not a folder.
  EXPECT_FALSE(TFileStamp::Of(dir.FileU("f")).GetExists());
  EXPECT_FALSE(TFileStamp::Of(dir.FileU("g/inside")).GetExists());
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
