#include <gtest/gtest.h>

#include "passstorage/KLPassStorage.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

std::int32_t CountIn(const String& File) {
  TKLPassStorage store;
  store.LoadFromFile(File, u"m");
  return store.GetCount();
}

// Two editors load the same vault; the second saves a record first. Asked to,
// the first refuses to save over it; its later saves of its own file, and
// saves to another name, go through.
TEST(PassStorageFile, ASaveRefusesAVaultThatChangedSinceItWasLoadedWhenAsked) {
  test::TempDir dir;
  const String file = dir.FileU("vault");
  {
    TKLPassStorage seed;
    seed.SaveToFile(file, u"m");
  }
  TKLPassStorage first, second;
  first.SetRefuseChangedFile(true);
  first.LoadFromFile(file, u"m");
  second.LoadFromFile(file, u"m");
  second.Add(u"theirs", u"", u"p", u"", u"", u"g");
  second.SaveToFile(file, u"m");
  first.Add(u"mine", u"", u"p", u"", u"", u"g");
  EXPECT_THROW(first.SaveToFile(file, u"m"), EFileChangedError);
  EXPECT_EQ(CountIn(file), 1);

  first.SaveToFile(dir.FileU("copy"), u"m"); // another name: unchecked
  first.SaveToFile(dir.FileU("copy"), u"m"); // its own last save: unchanged
  EXPECT_EQ(CountIn(dir.FileU("copy")), 1);

  first.SetRefuseChangedFile(false);
  first.SaveToFile(file, u"m"); // unasked: overwrites, as before
  EXPECT_EQ(CountIn(file), 1);
}

} // namespace
} // namespace kl
