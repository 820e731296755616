#include <gtest/gtest.h>
#include <sys/stat.h>

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

} // namespace
} // namespace kl
