#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/SHA1.h"
#include "rules/KLBlocklist.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Hex;
using test::Narrow;
using test::U;

TEST(SHA1, MatchesKnownAnswers) {
  const struct {
    std::string Message;
    const char* Digest;
  } cases[] = {{"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
               {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
               {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
               {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
               {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
               {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
  for (const auto& c : cases) {
    std::uint8_t digest[detail::SHA1DigestSize];
    detail::SHA1(c.Message.data(), c.Message.size(), digest);
    EXPECT_EQ(ByteArray(digest, digest + sizeof(digest)), Hex(c.Digest)) << c.Message.size();
  }
}

TEST(BlocklistForm, TrimsAndFoldsCapitalsOnly) {
  const std::pair<const char*, const char*> cases[] = {{"  PassWord \t\r\n", "password"},
                                                       {"\xC2\xA0Summer 2024\xE3\x80\x80", "summer 2024"},
                                                       {"ÄÖÜ×ß", "äöü×ß"},
                                                       {"ΑΒΓ ПРИВЕТ Ёж", "αβγ привет ёж"},
                                                       {"   ", ""},
                                                       {"a  b", "a  b"}};
  for (const auto& [input, form] : cases) EXPECT_EQ(Narrow(BlocklistForm(U(input))), form) << input;
}

TEST(CommonPasswords, AreRefusedWhateverTheirCaseAndSurroundingSpace) {
  for (const char* common : {"password", " PASSWORD ", "Qwerty", "iloveyou", "trustno1"}) {
    EXPECT_TRUE(IsCommonPassword(U(common))) << common;
  }
  for (const char* rare : {"Xk9#mQ2$vL7&wZ5^", "pass word", "", "correct horse battery staple"}) {
    EXPECT_FALSE(IsCommonPassword(U(rare))) << rare;
  }
  TKLRuleFailures failures;
  TKLBlocklistRule().CollectFailures(u"Password", failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].GetCode(), kBlocklisted);
  EXPECT_TRUE(TKLBlocklistRule(false).Validate(u"password"));
}

TEST(BlocklistRule, RefusesTheApplicationsWordsInBlocklistForm) {
  test::TempDir dir;
  test::WriteFileBytes(dir.File("words.txt"), "Keyloft\r\n\n  acme-2024 \nZürich\n");
  TKLBlocklistRule rule(false);
  rule.LoadWordsFromFile(dir.FileU("words.txt"));
  rule.AddWord(u"Extra");
  for (const char* word : {"keyloft", "ACME-2024", "zÜrich", " extra"}) EXPECT_FALSE(rule.Validate(U(word))) << word;
  for (const char* word : {"keyloft1", "acme", ""}) EXPECT_TRUE(rule.Validate(U(word))) << word;
  EXPECT_THROW(rule.LoadWordsFromFile(dir.FileU("missing.txt")), EFOpenError);
  EXPECT_THROW(rule.LoadWordsFromFile(U(dir.Path())), EFOpenError);
#ifndef _WIN32
  // A FIFO with no writer would block an ordinary open for ever.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_THROW(rule.LoadFromFile(dir.FileU("fifo")), EFOpenError);
  EXPECT_THROW(rule.LoadFilterFromFile(dir.FileU("fifo")), EFOpenError);
  TKLBlocklistCompiler compiler;
  EXPECT_THROW(compiler.AddListFile(dir.FileU("fifo"), TKLBlocklistFormat::bfDetect), EFOpenError);
#endif
  EXPECT_FALSE(rule.Validate(u"keyloft")); // a failed load keeps what was there
}

// A small filter compiled from both kinds of list, as klpass does it.
class CompiledFilter : public testing::Test {
protected:
  void SetUp() override {
    test::WriteFileBytes(dir.File("words.txt"), "Dragon\nmonkey\r\n\n  shadow  \n");
    test::WriteFileBytes(dir.File("hashes.txt"),
                         "F3BBBD66A63D4BF1747940578EC3D0103530E21D:1234\n" // hunter2
                         "874572e7a5ae6a49466a6ac578b98adba78c6aa6:17\r\n" // Tr0ub4dor&3
                         "076D3E6C4B9F654B5B220B9045B7458AB6B4CBC6\n");    // P@ssw0rd!
    TKLBlocklistCompiler compiler;
    compiler.AddListFile(dir.FileU("words.txt"), TKLBlocklistFormat::bfPasswords);
    compiler.AddListFile(dir.FileU("hashes.txt"), TKLBlocklistFormat::bfSHA1Hashes);
    compiler.AddPassword(u"dragon"); // a duplicate of a listed word
    EXPECT_EQ(compiler.GetCount(), 7u);
    compiler.SaveToFile(dir.FileU("list.klbf"));
  }
  test::TempDir dir;
};

TEST_F(CompiledFilter, FindsEveryEntryAndNamesTheList) {
  const TKLBlocklistFilter filter(dir.FileU("list.klbf"));
  EXPECT_EQ(filter.GetCount(), 6u);
  EXPECT_TRUE(filter.GetHoldsBreachedHashes());
  for (const char* listed : {"dragon", "DRAGON ", "Monkey", "shadow", "hunter2", " Tr0ub4dor&3", "P@ssw0rd!"}) {
    EXPECT_TRUE(filter.Contains(U(listed))) << listed;
  }
  // Hashes are of passwords exactly as used: only the folded and the trimmed form match.
  for (const char* other : {"Hunter2X", "tr0ub4dor&3x", "p@ssw0rd", "dragon1"}) {
    EXPECT_FALSE(filter.Contains(U(other))) << other;
  }
  TKLBlocklistRule rule(false);
  rule.LoadFilterFromFile(dir.FileU("list.klbf"));
  TKLRuleFailures failures;
  rule.CollectFailures(u"hunter2", failures);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].GetCode(), kBreached);
  EXPECT_EQ(failures[0].FindParameter("list")->Value, dir.FileU("list.klbf"));
}

TEST_F(CompiledFilter, RefusesBadListLinesAndKeepsNothingOfThatFile) {
  test::WriteFileBytes(dir.File("bad.txt"), "F3BBBD66A63D4BF1747940578EC3D0103530E21D\nnot-a-hash\n");
  test::WriteFileBytes(dir.File("long.txt"), std::string(5000, 'a') + "\n");
  TKLBlocklistCompiler compiler;
  try {
    compiler.AddListFile(dir.FileU("bad.txt"), TKLBlocklistFormat::bfSHA1Hashes);
    FAIL() << "a malformed line was accepted";
  } catch (const EKLException& e) {
    EXPECT_NE(e.GetMessage().find("line 2"), std::string::npos) << e.GetMessage();
  }
  EXPECT_THROW(compiler.AddListFile(dir.FileU("long.txt"), TKLBlocklistFormat::bfPasswords), EKLException);
  EXPECT_EQ(compiler.GetCount(), 0u);
}

using Mutation = std::function<void(std::string&)>;

void PutByte(std::string& File, std::size_t At, std::uint8_t Value) { File[At] = static_cast<char>(Value); }

// Each damage that the structure can reveal is refused on open; none may lead a
// look-up outside the file.
TEST_F(CompiledFilter, RefusesDamagedOrHostileFilesOnOpen) {
  const std::string good = test::ReadFileBytes(dir.File("list.klbf"));
  const std::vector<std::pair<const char*, Mutation>> mutations = {
      {"empty", [](std::string& f) { f.clear(); }},
      {"header only", [](std::string& f) { f.resize(32); }},
      {"truncated", [](std::string& f) { f.pop_back(); }},
      {"extended", [](std::string& f) { f += std::string(8, '\0'); }},
      {"magic", [](std::string& f) { PutByte(f, 0, 'X'); }},
      {"version", [](std::string& f) { PutByte(f, 4, 2); }},
      {"fingerprint bits", [](std::string& f) { PutByte(f, 6, 8); }},
      {"unknown flag", [](std::string& f) { PutByte(f, 11, 0x80); }},
      {"no shards", [](std::string& f) { std::memset(&f[12], 0, 4); }},
      {"many shards", [](std::string& f) { std::memset(&f[12], 0xFF, 4); }},
      {"entry count", [](std::string& f) { PutByte(f, 16, static_cast<std::uint8_t>(f[16] + 1)); }},
      {"reserved", [](std::string& f) { PutByte(f, 31, 1); }},
      {"shard keys", [](std::string& f) { std::memset(&f[32 + 8], 0xFF, 4); }},
      {"segment length", [](std::string& f) { PutByte(f, 32 + 12, static_cast<std::uint8_t>(f[32 + 12] ^ 1)); }},
      {"array length", [](std::string& f) { std::memset(&f[32 + 20], 0xFF, 4); }},
      {"offset", [](std::string& f) { PutByte(f, 32 + 24, static_cast<std::uint8_t>(f[32 + 24] + 8)); }},
      {"offset beyond", [](std::string& f) { std::memset(&f[32 + 24], 0xFF, 8); }},
  };
  for (const auto& [name, mutate] : mutations) {
    std::string file = good;
    mutate(file);
    test::WriteFileBytes(dir.File("bad.klbf"), file);
    EXPECT_THROW(TKLBlocklistFilter(dir.FileU("bad.klbf")), EKLException) << name;
  }
  EXPECT_THROW(TKLBlocklistFilter(dir.FileU("")), EFOpenError);
  EXPECT_THROW(TKLBlocklistFilter(U(dir.Path())), EFOpenError);
}

// A file cut short or rewritten while it is open may give wrong answers but
// must not bring the process down (as a mapping would, with SIGBUS), whether it
// was read into memory or is read at each look-up; a fingerprint that is gone
// counts as a match, so listed passwords stay refused. Each case runs in a
// child process, so that a fault fails only that case.
TEST_F(CompiledFilter, FileCutShortOrRewrittenAfterOpeningNeverCrashes) {
  const std::string good = test::ReadFileBytes(dir.File("list.klbf"));
  const std::vector<std::pair<const char*, Mutation>> changes = {
      {"emptied", [](std::string& f) { f.clear(); }},
      {"cut to its header", [](std::string& f) { f.resize(32); }},
      {"cut in its fingerprints", [](std::string& f) { f.resize(f.size() - 24); }},
      {"rewritten with zeros", [](std::string& f) { f.assign(f.size(), '\0'); }},
  };
  for (const std::uint64_t inMemory : {kBlocklistDefaultInMemorySize, std::uint64_t{0}}) {
    for (const auto& [name, change] : changes) {
      test::WriteFileBytes(dir.File("open.klbf"), good);
      std::string changed = good;
      change(changed);
      EXPECT_EXIT(
          {
            const TKLBlocklistFilter filter(dir.FileU("open.klbf"), inMemory);
            test::WriteFileBytes(dir.File("open.klbf"), changed); // in place: the same file, cut and written
            bool listedFound = true;
            for (const char* listed : {"dragon", "monkey", "shadow", "hunter2", "Tr0ub4dor&3", "P@ssw0rd!"}) {
              listedFound = filter.Contains(U(listed)) && listedFound;
            }
            for (int i = 0; i < 1000; ++i) filter.Contains(U(std::to_string(i).c_str()));
            std::exit(listedFound || changed.size() == good.size() ? 0 : 1);
          },
          testing::ExitedWithCode(0), "")
          << name << (inMemory == 0 ? ", read at each look-up" : ", held in memory");
    }
  }
}

// Fingerprints of synthetic SHA-1 hashes: the first 8 bytes carry the key.
void SyntheticDigest(std::uint64_t Index, std::uint8_t (&Digest)[kSHA1DigestSize]) {
  std::uint64_t z = Index * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
  for (std::uint8_t& byte : Digest) {
    z = (z ^ (z >> 29)) * 0xBF58476D1CE4E5B9ull;
    byte = static_cast<std::uint8_t>(z >> 56);
  }
}

// Members are always found; non-members almost never (2^-16 each). The large
// size runs only in optimised builds without the sanitizers, where it takes
// well under a minute and about 1.3 GB while compiling.
void CheckSyntheticFilter(std::uint64_t Count, std::uint64_t Probes) {
  test::TempDir dir;
  {
    TKLBlocklistCompiler compiler;
    std::uint8_t digest[kSHA1DigestSize];
    for (std::uint64_t i = 0; i < Count; ++i) {
      SyntheticDigest(i, digest);
      compiler.AddSHA1(digest);
    }
    compiler.SaveToFile(dir.FileU("synthetic.klbf"));
  }
  const TKLBlocklistFilter filter(dir.FileU("synthetic.klbf"));
  EXPECT_EQ(filter.GetCount(), Count);
  std::uint8_t digest[kSHA1DigestSize];
  std::uint64_t missed = 0, falsePositives = 0;
  for (std::uint64_t i = 0; i < Probes; ++i) {
    SyntheticDigest(i * (Count / Probes), digest);
    missed += !filter.ContainsSHA1(digest);
    SyntheticDigest(Count + i, digest);
    falsePositives += filter.ContainsSHA1(digest);
  }
  EXPECT_EQ(missed, 0u);
  const double rate = static_cast<double>(falsePositives) / static_cast<double>(Probes);
  std::printf("%llu entries: %llu false positives in %llu probes (rate %.2e; 2^-16 = 1.53e-05), %.2f bytes an entry\n",
              static_cast<unsigned long long>(Count), static_cast<unsigned long long>(falsePositives),
              static_cast<unsigned long long>(Probes), rate,
              static_cast<double>(std::filesystem::file_size(dir.File("synthetic.klbf"))) / static_cast<double>(Count));
  EXPECT_LT(rate, 4.0 / 65536);
}

// The smallest shapes have the least slack; each must still take every entry.
TEST(BlocklistFilter, SmallListsHoldEveryEntry) {
  test::TempDir dir;
  for (std::uint64_t count : {0, 1, 2, 3, 4, 7, 100, 5000}) {
    TKLBlocklistCompiler compiler;
    std::uint8_t digest[kSHA1DigestSize];
    for (std::uint64_t i = 0; i < count; ++i) {
      SyntheticDigest(i, digest);
      compiler.AddSHA1(digest);
    }
    compiler.SaveToFile(dir.FileU("small.klbf"));
    for (const std::uint64_t inMemory : {kBlocklistDefaultInMemorySize, std::uint64_t{0}}) {
      const TKLBlocklistFilter filter(dir.FileU("small.klbf"), inMemory);
      EXPECT_EQ(filter.GetCount(), count);
      for (std::uint64_t i = 0; i < count; ++i) {
        SyntheticDigest(i, digest);
        EXPECT_TRUE(filter.ContainsSHA1(digest)) << count << " entries, entry " << i << ", in memory " << inMemory;
      }
      if (count == 0) {
        EXPECT_FALSE(filter.Contains(u"password"));
      }
    }
  }
}

// Lists beyond the memory limit go through work files: the compiled file comes
// out the same byte for byte, a refused list is still taken back whole, and the
// work files go with the compiler.
TEST(BlocklistCompiler, SpillingToWorkFilesChangesNothing) {
  test::TempDir dir;
  std::string words, hashes, bad;
  for (int i = 0; i < 3000; ++i) words += "Word" + std::to_string(i % 2500) + "\n";
  std::uint8_t digest[kSHA1DigestSize];
  for (std::uint64_t i = 0; i < 5000; ++i) {
    SyntheticDigest(i, digest);
    const std::string line = test::ToHex(digest, sizeof(digest)) + ":" + std::to_string(i) + "\n";
    hashes += line;
    if (i < 4000) bad += line;
  }
  bad += "not a hash\n";
  test::WriteFileBytes(dir.File("words.txt"), words);
  test::WriteFileBytes(dir.File("hashes.txt"), hashes);
  test::WriteFileBytes(dir.File("bad.txt"), bad);
  test::TempDir work;
  const auto compile = [&](std::uint64_t Limit, bool WithBadList, const std::string& Out) {
    TKLBlocklistCompiler compiler;
    compiler.SetMemoryLimit(Limit);
    compiler.SetWorkFolder(U(work.Path()));
    compiler.AddListFile(dir.FileU("words.txt"), TKLBlocklistFormat::bfPasswords);
    if (WithBadList) {
      EXPECT_THROW(compiler.AddListFile(dir.FileU("bad.txt"), TKLBlocklistFormat::bfDetect), EKLBlocklistError);
    }
    compiler.AddListFile(dir.FileU("hashes.txt"), TKLBlocklistFormat::bfSHA1Hashes);
    for (int i = 0; i < 100; ++i) compiler.AddPassword(U("extra" + std::to_string(i)));
    EXPECT_EQ(compiler.GetCount(), 8100u);
    compiler.SaveToFile(dir.FileU(Out));
    return test::ReadFileBytes(dir.File(Out));
  };
  const std::string inMemory = compile(1 << 20, false, "memory.klbf");
  EXPECT_EQ(compile(100, false, "spilled.klbf"), inMemory);
  EXPECT_EQ(compile(100, true, "spilled-refused.klbf"), inMemory);
  EXPECT_EQ(compile(1 << 20, true, "memory-refused.klbf"), inMemory);
  EXPECT_EQ(TKLBlocklistFilter(dir.FileU("spilled.klbf")).GetCount(), 7600u);
  EXPECT_TRUE(std::filesystem::is_empty(work.Path()));
}

TEST(BlocklistFilter, HoldsAMillionSyntheticHashes) { CheckSyntheticFilter(1000000, 1000000); }

TEST(BlocklistFilter, HoldsAHundredMillionSyntheticHashes) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
  GTEST_SKIP() << "runs in the optimised native build only";
#else
  CheckSyntheticFilter(100000000, 2000000);
#endif
}

} // namespace
} // namespace kl

namespace kl {
namespace {

// Progress of a list read in several blocks and written from work files:
// never backwards, and ending with everything done, for each stage.
TEST(BlocklistCompiler, ReportsProgressOfReadingAndWriting) {
  test::TempDir dir;
  std::string words;
  for (int i = 0; words.size() < (5u << 19); ++i) words += "word" + std::to_string(i) + "\n";
  test::WriteFileBytes(dir.File("words.txt"), words);
  std::map<TKLBlocklistCompiler::TStage, std::vector<std::pair<std::uint64_t, std::uint64_t>>> seen;
  TKLBlocklistCompiler compiler;
  compiler.SetMemoryLimit(1000);
  compiler.SetWorkFolder(U(dir.Path()));
  compiler.SetProgress([&](TKLBlocklistCompiler::TStage Stage, std::uint64_t Done, std::uint64_t Total) {
    seen[Stage].emplace_back(Done, Total);
  });
  compiler.AddListFile(dir.FileU("words.txt"), TKLBlocklistFormat::bfPasswords);
  compiler.SaveToFile(dir.FileU("list.klbf"));
  const std::uint64_t expectedTotal[] = {words.size(), 256};
  for (const auto stage : {TKLBlocklistCompiler::bsReading, TKLBlocklistCompiler::bsWriting}) {
    const auto& calls = seen[stage];
    ASSERT_GE(calls.size(), stage == TKLBlocklistCompiler::bsReading ? 3u : 256u) << stage;
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_GE(calls[i].first, calls[i - 1].first) << stage;
    EXPECT_EQ(calls.back(), std::make_pair(expectedTotal[stage], expectedTotal[stage])) << stage;
  }
}

} // namespace
} // namespace kl
