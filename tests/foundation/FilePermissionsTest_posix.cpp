#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/AtomicFile.h"
#include "foundation/KLGeneral.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::TempDir;

TEST(AtomicSave, NewFileIsPrivateAndReplacedFileKeepsItsPermissions) {
  TempDir dir;
  SaveFileAtomically(dir.FileU("new"), [](TStream& s) { s.WriteBuffer("a", 1); });
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  test::WriteFileBytes(dir.File("shared"), "x");
  ::chmod(dir.File("shared").c_str(), 0644);
  SaveFileAtomically(dir.FileU("shared"), [](TStream& s) { s.WriteBuffer("b", 1); });
  ASSERT_EQ(::stat(dir.File("shared").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// A clear-text secret never takes the owner, group or mode of the file it
// replaces: one planted by another user in a shared folder would hand it the
// secret. Run by root (who could keep the owner) and by anyone (own file).
TEST(AtomicSave, AnOwnerOnlySaveIsTheWritersAloneWhateverItReplaces) {
  TempDir dir;
  const bool root = ::geteuid() == 0;
  test::WriteFileBytes(dir.File("planted"), "x");
  ASSERT_EQ(::chmod(dir.File("planted").c_str(), 0666), 0);
  if (root) {
    ASSERT_EQ(::chown(dir.File("planted").c_str(), 65534, 65534), 0);
  }
  SaveFileAtomically(
      dir.FileU("planted"), [](TStream& s) { s.WriteBuffer("secret", 6); }, faOwnerOnly);
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("planted").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_gid, ::getegid());
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
} // namespace kl
