// A record's versions and the recycle bin through the C interface, across a
// save and an open.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capi/klpassword.h"

namespace {

std::string Field(klp_vault_t* Vault, size_t Index, size_t Version, int Which) {
  char text[64] = {};
  size_t size = sizeof(text);
  EXPECT_EQ(klp_vault_history_get_field(Vault, Index, Version, Which, text, &size), KLP_OK);
  return text;
}

TEST(CApiHistory, EditsKeepVersionsThatRestoreAndDeletionsGoToTheBinThenForGood) {
  const std::string path = testing::TempDir() + "capi-history.klv";
  std::remove(path.c_str());
  klp_vault_t* vault = nullptr;
  ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
  ASSERT_EQ(klp_vault_set_file_cost(vault, 8192, 1), KLP_OK);
  ASSERT_EQ(klp_vault_create(vault, path.c_str(), "master"), KLP_OK);
  ASSERT_EQ(klp_vault_add(vault, "Mail", "alice", "first", NULL, NULL, "Work", NULL), KLP_OK);
  ASSERT_EQ(klp_vault_add(vault, "Old", NULL, "x", NULL, NULL, "Work", NULL), KLP_OK);
  ASSERT_EQ(klp_vault_save(vault), KLP_OK);
  for (const char* password : {"second", "third"}) {
    ASSERT_EQ(klp_vault_set_field(vault, 0, KLP_FIELD_PASSWORD, password), KLP_OK);
    ASSERT_EQ(klp_vault_save(vault), KLP_OK);
  }
  int recycled = -1;
  ASSERT_EQ(klp_vault_delete_record(vault, 1, 0, &recycled), KLP_OK);
  EXPECT_EQ(recycled, 1);
  ASSERT_EQ(klp_vault_save(vault), KLP_OK);
  klp_vault_destroy(vault);

  ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
  ASSERT_EQ(klp_vault_open(vault, path.c_str(), "master", 0), KLP_OK);
  size_t count = 0;
  ASSERT_EQ(klp_vault_history_count(vault, 0, &count), KLP_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(Field(vault, 0, 0, KLP_FIELD_PASSWORD), "first");
  EXPECT_EQ(Field(vault, 0, 1, KLP_FIELD_PASSWORD), "second");
  ASSERT_EQ(klp_vault_history_restore(vault, 0, 0), KLP_OK);
  char text[64] = {};
  size_t size = sizeof(text);
  ASSERT_EQ(klp_vault_get_field(vault, 0, KLP_FIELD_PASSWORD, text, &size), KLP_OK);
  EXPECT_EQ(std::string(text), "first");
  ASSERT_EQ(klp_vault_history_count(vault, 0, &count), KLP_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(Field(vault, 0, 2, KLP_FIELD_PASSWORD), "third");
  size = sizeof(text);
  EXPECT_EQ(klp_vault_history_get_field(vault, 0, 3, KLP_FIELD_TITLE, text, &size), KLP_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(klp_vault_history_restore(vault, 0, 3), KLP_ERROR_INVALID_ARGUMENT);

  // The record in the bin: its group says so, and deleting it again removes it.
  size = sizeof(text);
  ASSERT_EQ(klp_vault_get_field(vault, 1, KLP_FIELD_GROUP, text, &size), KLP_OK);
  EXPECT_EQ(std::string(text), "Recycle Bin");
  ASSERT_EQ(klp_vault_delete_record(vault, 1, 0, &recycled), KLP_OK);
  EXPECT_EQ(recycled, 0);
  ASSERT_EQ(klp_vault_count(vault, &count), KLP_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(klp_vault_deleted_count(vault, &count), KLP_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(klp_vault_delete_record(vault, 0, 1, NULL), KLP_OK); // permanently
  ASSERT_EQ(klp_vault_deleted_count(vault, &count), KLP_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(klp_vault_delete_record(vault, 0, 0, NULL), KLP_ERROR_NOT_FOUND); // no record left
  klp_vault_destroy(vault);
  std::remove(path.c_str());
}

TEST(CApiHistory, MergeTakesTheOtherCopysNewerRecordAndCountsWhatItDid) {
  const std::string path = testing::TempDir() + "capi-merge.klv";
  std::remove(path.c_str());
  klp_vault_t* mine = nullptr;
  klp_vault_t* theirs = nullptr;
  ASSERT_EQ(klp_vault_init(&mine), KLP_OK);
  ASSERT_EQ(klp_vault_set_file_cost(mine, 8192, 1), KLP_OK);
  ASSERT_EQ(klp_vault_create(mine, path.c_str(), "master"), KLP_OK);
  ASSERT_EQ(klp_vault_add(mine, "Mail", "alice", "first", NULL, NULL, "Work", NULL), KLP_OK);
  ASSERT_EQ(klp_vault_save(mine), KLP_OK);
  ASSERT_EQ(klp_vault_init(&theirs), KLP_OK);
  ASSERT_EQ(klp_vault_open(theirs, path.c_str(), "master", 0), KLP_OK);
  ASSERT_EQ(klp_vault_set_field(theirs, 0, KLP_FIELD_PASSWORD, "theirs"), KLP_OK);
  ASSERT_EQ(klp_vault_add(theirs, "New", NULL, "n", NULL, NULL, "Work", NULL), KLP_OK);
  size_t counts[5] = {9, 9, 9, 9, 9};
  ASSERT_EQ(klp_vault_merge(mine, theirs, &counts[0], &counts[1], &counts[2], &counts[3], &counts[4]), KLP_OK);
  // The same second may stamp both: the tie goes to the texts, "theirs" > "first".
  EXPECT_EQ(std::vector<size_t>(counts, counts + 5), (std::vector<size_t>{1, 1, 0, 0, 0}));
  char text[64] = {};
  size_t size = sizeof(text);
  ASSERT_EQ(klp_vault_get_field(mine, 0, KLP_FIELD_PASSWORD, text, &size), KLP_OK);
  EXPECT_EQ(std::string(text), "theirs");
  EXPECT_EQ(Field(mine, 0, 0, KLP_FIELD_PASSWORD), "first");
  EXPECT_EQ(klp_vault_merge(mine, NULL, NULL, NULL, NULL, NULL, NULL), KLP_ERROR_INVALID_ARGUMENT);
  klp_vault_destroy(theirs);
  klp_vault_destroy(mine);
  std::remove(path.c_str());
}

} // namespace
