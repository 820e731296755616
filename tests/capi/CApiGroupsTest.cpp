// The vault's group tree through the C interface: listed, given notes, kept
// by a save and open in either format.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capi/klpassword.h"

namespace {

struct TGroup {
  std::string Path, Notes, Uuid;
  bool operator==(const TGroup&) const = default;
};

std::vector<TGroup> Groups(klp_vault_t* Vault) {
  size_t count = 0;
  EXPECT_EQ(klp_vault_group_count(Vault, &count), KLP_OK);
  std::vector<TGroup> out;
  for (size_t i = 0; i < count; ++i) {
    TGroup group;
    for (auto [which, text] : {std::pair{KLP_GROUP_PATH, &group.Path}, std::pair{KLP_GROUP_NOTES, &group.Notes},
                               std::pair{KLP_GROUP_UUID, &group.Uuid}}) {
      char buffer[128] = {};
      size_t size = sizeof(buffer);
      EXPECT_EQ(klp_vault_group_get_text(Vault, i, which, buffer, &size), KLP_OK);
      *text = buffer;
    }
    out.push_back(group);
  }
  return out;
}

TEST(CApiGroups, NestedGroupsAreListedWithTheirNotesAndKeptByASaveInEitherFormat) {
  for (const int format : {KLP_VAULT_FORMAT_NATIVE, KLP_VAULT_FORMAT_KDBX}) {
    const std::string path = testing::TempDir() + "capi-groups-" + std::to_string(format);
    std::remove(path.c_str());
    klp_vault_t* vault = nullptr;
    ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
    ASSERT_EQ(klp_vault_set_file_cost(vault, 8192, 1), KLP_OK);
    ASSERT_EQ(klp_vault_create(vault, path.c_str(), "master"), KLP_OK);
    ASSERT_EQ(klp_vault_set_save_format(vault, format), KLP_OK);
    ASSERT_EQ(klp_vault_set_kdbx_settings(vault, KLP_KDBX_AES_KDF, KLP_KDBX_CIPHER_AES256, 1, 0, 0), KLP_OK);
    ASSERT_EQ(klp_vault_add(vault, "Mail", "alice", "pw", NULL, NULL, "Work/Dev", NULL), KLP_OK);
    ASSERT_EQ(klp_vault_put_group(vault, "Work/Empty", "kept although empty"), KLP_OK);
    ASSERT_EQ(klp_vault_put_group(vault, "Work", "the parent"), KLP_OK);
    ASSERT_EQ(klp_vault_put_group(vault, "C:\\/D", NULL), KLP_OK); // one name holding a '/'
    ASSERT_EQ(klp_vault_put_group(vault, "a//b", "x"), KLP_ERROR_INVALID_ARGUMENT);
    // The root is listed too, and the group of a record once the list is read.
    std::vector<TGroup> made = Groups(vault);
    std::vector<std::string> paths;
    for (const TGroup& group : made) {
      paths.push_back(group.Path);
      EXPECT_EQ(group.Uuid.size(), 32u) << group.Path;
      EXPECT_NE(group.Uuid, std::string(32, '0')) << group.Path;
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"", "Work", "Work/Empty", "C:\\/D", "Work/Dev"})) << format;
    EXPECT_EQ(made[1].Notes, "the parent");
    EXPECT_EQ(made[2].Notes, "kept although empty");
    EXPECT_EQ(made[3].Notes, "");
    for (size_t i = 0; i < made.size(); ++i) {
      int64_t created = 0, modified = 0, expires = -1;
      ASSERT_EQ(klp_vault_group_get_dates(vault, i, &created, &modified, &expires), KLP_OK);
      EXPECT_GT(created, 0) << made[i].Path;
      EXPECT_GE(modified, created) << made[i].Path;
      EXPECT_EQ(expires, 0) << made[i].Path;
    }
    char text[8];
    size_t size = sizeof(text);
    EXPECT_EQ(klp_vault_group_get_text(vault, made.size(), KLP_GROUP_PATH, text, &size), KLP_ERROR_NOT_FOUND);
    EXPECT_EQ(klp_vault_group_get_text(vault, 0, 7, text, &size), KLP_ERROR_INVALID_ARGUMENT);
    ASSERT_EQ(klp_vault_save(vault), KLP_OK);
    klp_vault_destroy(vault);

    ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
    ASSERT_EQ(klp_vault_open(vault, path.c_str(), "master", 0), KLP_OK);
    std::vector<TGroup> back = Groups(vault);
    // A KDBX file lists its groups in document order, each after its parent.
    auto byPath = [](const TGroup& A, const TGroup& B) { return A.Path < B.Path; };
    std::sort(back.begin(), back.end(), byPath);
    std::sort(made.begin(), made.end(), byPath);
    EXPECT_EQ(back, made) << format;
    klp_vault_destroy(vault);
    std::remove(path.c_str());
  }
}

// A move keeps the UUIDs of the group and its subgroups and takes the
// records along; one that cannot be is refused with nothing changed.
TEST(CApiGroups, AMoveKeepsUuidsAndTakesTheRecords) {
  klp_vault_t* vault = nullptr;
  ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
  ASSERT_EQ(klp_vault_add(vault, "Mail", "alice", "pw", NULL, NULL, "Work/Dev", NULL), KLP_OK);
  ASSERT_EQ(klp_vault_put_group(vault, "Home", NULL), KLP_OK);
  const std::vector<TGroup> before = Groups(vault); // "", Home, Work, Work/Dev
  ASSERT_EQ(before.size(), 4u);
  for (auto [from, to] : {std::pair{"", "X"}, std::pair{"Nope", "X"}, std::pair{"Work", "Home"},
                          std::pair{"Work", "Work/Dev/X"}, std::pair{"Work", "a//b"}}) {
    EXPECT_EQ(klp_vault_move_group(vault, from, to), KLP_ERROR_INVALID_ARGUMENT) << from << " " << to;
  }
  EXPECT_EQ(Groups(vault), before);
  ASSERT_EQ(klp_vault_move_group(vault, "Work", "Old/Job"), KLP_OK);
  std::vector<TGroup> after = Groups(vault);
  ASSERT_EQ(after.size(), 5u);
  EXPECT_EQ(after[3].Path, "Old/Job");
  EXPECT_EQ(after[3].Uuid, before[2].Uuid);
  EXPECT_EQ(after[4].Path, "Old/Job/Dev");
  EXPECT_EQ(after[4].Uuid, before[3].Uuid);
  char text[64] = {};
  size_t size = sizeof(text);
  ASSERT_EQ(klp_vault_get_field(vault, 0, KLP_FIELD_GROUP, text, &size), KLP_OK);
  EXPECT_EQ(std::string(text), "Old/Job/Dev");
  klp_vault_destroy(vault);
}

} // namespace
