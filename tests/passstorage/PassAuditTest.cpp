#include <gtest/gtest.h>

#include <vector>

#include "foundation/MemoryStream.h"
#include "passstorage/KLPassAudit.h"
#include "passstorage/KLPassExchange.h"
#include "rules/KLBlocklist.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kNow = 20000 * kDay;

struct TAuditCase {
  const char16_t* Title;
  const char16_t* Password;
  std::int64_t ChangedDaysAgo;
  std::uint32_t Expected; // findings
  std::vector<std::int32_t> SameAs;
};

// One vault holding every kind of finding, and records without any: each
// record's findings, and the counts, as the report gives them.
TEST(PassAudit, FindsWeakReusedBlocklistedOldAndMissingPasswords) {
  const std::vector<TAuditCase> cases = {
      {u"strong", u"vX9#qLm2$Tr8!pZw", 10, 0, {}},
      {u"weak", u"abc", 10, afWeak, {}},
      {u"common", u"password1", 10, afWeak | afBlocklisted, {}},
      {u"listed", u"Zq7!vLp2#mRx9$kW", 10, afBlocklisted, {}},
      {u"reused1", u"Hn4$kP9!wQz2#rTy", 10, afReused, {5}},
      {u"reused2", u"Hn4$kP9!wQz2#rTy", 500, afReused | afOld, {4}},
      {u"empty", u"", 10, afNoPassword, {}},
      {u"empty too", u"", 10, afNoPassword, {}}, // no password is not a shared one
      {u"own title", u"Rk5!fTq9@Lw2#Xn7", 10, 0, {}},
      {u"Rk5!fTq9@Lw2#Xn8", u"Rk5!fTq9@Lw2#Xn8", 10, afWeak, {}}, // made of its own title
      {u"edge", u"Gx7#pQ2!mZ9$vLk4", 365, 0, {}},                 // exactly the maximum age
  };
  test::TempDir dir;
  TKLBlocklistCompiler compiler;
  compiler.AddPassword(u"Zq7!vLp2#mRx9$kW");
  compiler.SaveToFile(dir.FileU("list.klbf"));
  const TKLBlocklistFilter filter(dir.FileU("list.klbf"));

  // Records with their dates, through our own CSV layout: the first never
  // changed (its creation counts), the others changed that many days ago.
  std::string csv = "Group,Title,Username,Password,URL,Notes,Created,Modified,Accessed\n";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::int64_t changed = kNow - cases[i].ChangedDaysAgo * kDay;
    csv += "G," + test::Narrow(cases[i].Title) + ",alice," + test::Narrow(cases[i].Password) + ",,," +
           std::to_string(i == 0 ? changed : 0) + "," + std::to_string(i == 0 ? 0 : changed) + ",0\n";
  }
  TKLPassStorage store;
  TMemoryStream strm;
  strm.WriteBuffer(csv.data(), static_cast<std::int32_t>(csv.size()));
  strm.SetPosition(0);
  ImportPassRecords(store, strm);

  TKLAuditOptions options;
  options.Blocklist = &filter;
  options.MaxAgeDays = 365;
  options.Now = kNow;
  const TKLAuditReport report = AuditPassRecords(store, options);
  std::vector<TKLAuditEntry> entries(cases.size());
  for (const TKLAuditEntry& entry : report.Entries) entries[static_cast<std::size_t>(entry.Index)] = entry;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(test::Narrow(cases[i].Title));
    EXPECT_EQ(entries[i].Findings, cases[i].Expected);
    EXPECT_EQ(entries[i].SameAs, cases[i].SameAs);
    EXPECT_EQ(entries[i].Findings == 0 ? cases[i].ChangedDaysAgo : entries[i].AgeDays, cases[i].ChangedDaysAgo);
  }
  EXPECT_EQ(report.Records, static_cast<std::int32_t>(cases.size()));
  EXPECT_EQ(report.Entries.size(), 8u);
  EXPECT_EQ((std::vector<std::int32_t>{report.Weak, report.Reused, report.Blocklisted, report.Old, report.NoPassword}),
            (std::vector<std::int32_t>{3, 2, 2, 1, 2}));
}

// Without a maximum age or a minimum score nothing is old or weak; an empty
// store is clean.
TEST(PassAudit, ZeroOptionsTurnTheirFindingOff) {
  TKLPassStorage store;
  EXPECT_TRUE(AuditPassRecords(store).Clean());
  store.Add(u"t", u"", u"password1", u"", u"", u"G");
  TKLAuditOptions options;
  options.MinScore = 0;
  options.Now = store.GetRecord(0)->GetCreationDate() + 10000 * kDay;
  const TKLAuditReport report = AuditPassRecords(store, options);
  ASSERT_EQ(report.Entries.size(), 1u);
  EXPECT_EQ(report.Entries[0].Findings, static_cast<std::uint32_t>(afBlocklisted));
}

} // namespace
} // namespace kl
