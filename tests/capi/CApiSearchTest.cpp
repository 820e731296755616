// klp_vault_search_query: the library's query language through the C
// interface, its case flag, and a malformed query as a status with a message.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capi/klpassword.h"

namespace {

TEST(CApiSearch, QueriesAnswerTheMatchingPlaces) {
  klp_vault_t* vault = nullptr;
  ASSERT_EQ(klp_vault_init(&vault), KLP_OK);
  ASSERT_EQ(klp_vault_add(vault, "Posteo Mail", "alice", "mail-pw", "https://posteo.de", NULL, "Mail", NULL), KLP_OK);
  ASSERT_EQ(klp_vault_add(vault, "ÄRGER", "bob", "p", "https://github.com", "two words", NULL, NULL), KLP_OK);
  ASSERT_EQ(klp_vault_add(vault, "posteo mail", "carol", "p", NULL, NULL, NULL, NULL), KLP_OK);
  const struct {
    const char* Query;
    int Flags;
    std::vector<size_t> Expected;
  } cases[] = {
      {"mail", 0, {0, 2}},        {"Mail", KLP_SEARCH_CASE_SENSITIVE, {0}},
      {"ärger", 0, {1}},          {"ärger", KLP_SEARCH_CASE_SENSITIVE, {}},
      {"-user:alice", 0, {1, 2}}, {"url:github \"two words\"", 0, {1}},
      {"mail-pw", 0, {}},         {"", 0, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    size_t found[4] = {};
    size_t count = 4;
    ASSERT_EQ(klp_vault_search_query(vault, c.Query, c.Flags, found, &count), KLP_OK) << c.Query;
    EXPECT_EQ(std::vector<size_t>(found, found + count), c.Expected) << c.Query << " flags " << c.Flags;
  }
  size_t found[1] = {};
  size_t count = 1;
  EXPECT_EQ(klp_vault_search_query(vault, "mail", 0, found, &count), KLP_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  count = 1;
  EXPECT_EQ(klp_vault_search_query(vault, "title:\"open", 0, found, &count), KLP_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(std::string(klp_last_error()), "Unclosed quote at position 7");
  EXPECT_EQ(klp_vault_search_query(vault, "foo:bar", 0, found, &count), KLP_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(klp_vault_search_query(vault, "mail", 2, found, &count), KLP_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(klp_vault_search_query(vault, NULL, 0, found, &count), KLP_ERROR_INVALID_ARGUMENT);
  klp_vault_destroy(vault);
}

} // namespace
