#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

#include "random/KLRandom.h"
#include "random/SeedSource.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

// Restores the system's random source when a test ends.
struct TSourceGuard {
  explicit TSourceGuard(detail::TSystemRandomSource Source) { detail::SetSystemRandomSourceForTesting(Source); }
  ~TSourceGuard() { detail::SetSystemRandomSourceForTesting(nullptr); }
};

bool FixedSource(std::uint8_t* Buffer, std::size_t Size) {
  for (std::size_t i = 0; i < Size; ++i) Buffer[i] = static_cast<std::uint8_t>(0xA0 + i);
  return true;
}

bool FailingSource(std::uint8_t*, std::size_t) { return false; }

// The system's bytes are hashed first and fill exactly one SHA-256 block, and
// what follows (clocks, pid, date) is shorter than a block: the hash state
// after gathering is the compression of the system's bytes alone.
TEST(RandomSeed, TheSystemBytesAreTheFirstBlockOfTheSeed) {
  TSourceGuard guard(FixedSource);
  TSHA256Context gathered;
  SHA256Initialize(gathered);
  detail::GatherSeedMaterial(gathered);

  std::array<std::uint8_t, detail::SystemSeedBytes> system{};
  FixedSource(system.data(), system.size());
  TSHA256Context reference;
  SHA256Initialize(reference);
  SHA256Update(reference, system.data(), static_cast<std::uint32_t>(system.size()));

  const std::array<std::uint32_t, 8> gatheredState{gathered.A, gathered.B, gathered.C, gathered.D,
                                                   gathered.E, gathered.F, gathered.G, gathered.H};
  const std::array<std::uint32_t, 8> referenceState{reference.A, reference.B, reference.C, reference.D,
                                                    reference.E, reference.F, reference.G, reference.H};
  EXPECT_EQ(gatheredState, referenceState);
  EXPECT_GT(gathered.Size, reference.Size); // the clocks follow
}

TEST(RandomSeed, AFailingSystemSourceIsAnErrorNotAWeakerSeed) {
  TSourceGuard guard(FailingSource);
  EXPECT_THROW(TKLFastRandomGenerator generator, EKLRandomError);
  EXPECT_THROW(TKLRandomBasedComponent component, EKLRandomError);
  TComponent owner;
  EXPECT_THROW(new TKLFastRandomGenerator(&owner), EKLRandomError);
  EXPECT_EQ(owner.GetComponentCount(), 0); // no dangling entry
}

// Parent and children draw after the fork from one generator made before it:
// each process must draw bytes of its own. Children report through a pipe.
TEST(FastRandomGenerator, ParentAndForkedChildrenDrawDifferentBytes) {
  TKLFastRandomGenerator generator;
  std::uint8_t warmUp[16];
  generator.Generate(warmUp, sizeof(warmUp));
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr int kChildren = 4;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::uint8_t bytes[32];
      generator.Generate(bytes, sizeof(bytes));
      // A grandchild too: a second fork must be seen as well.
      if (i == 0 && ::fork() == 0) {
        generator.Generate(bytes, sizeof(bytes));
        (void)!::write(fds[1], bytes, sizeof(bytes));
        ::_exit(0);
      }
      (void)!::write(fds[1], bytes, sizeof(bytes));
      ::wait(nullptr);
      ::_exit(0);
    }
  }
  ::close(fds[1]);
  std::set<std::string> draws;
  std::uint8_t parent[32];
  generator.Generate(parent, sizeof(parent));
  draws.insert(std::string(reinterpret_cast<char*>(parent), sizeof(parent)));
  std::uint8_t child[32];
  int children = 0;
  while (::read(fds[0], child, sizeof(child)) == static_cast<ssize_t>(sizeof(child))) {
    draws.insert(std::string(reinterpret_cast<char*>(child), sizeof(child)));
    ++children;
  }
  ::close(fds[0]);
  for (int i = 0; i < kChildren; ++i) ::wait(nullptr);
  EXPECT_EQ(children, kChildren + 1);
  EXPECT_EQ(draws.size(), static_cast<std::size_t>(kChildren + 2));
}


// Only the child counts a fork: the parent keeps its generation and its
// stream goes on exactly as without the fork, while the child's generation
// moves on, so that it draws from a fresh seed.
TEST(FastRandomGenerator, AForkMovesTheChildsGenerationAndLeavesTheParentsStream) {
  const std::array<std::uint8_t, 32> digest{7, 1, 2, 3};
  auto generator = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(digest.data(), TInt128{});
  auto twin = TKLFastRandomGenerator::CreateFromSeedDigestForTesting(digest.data(), TInt128{});
  std::array<std::uint8_t, 32> expected{}, drawn{};
  twin->Generate(expected.data(), 32);
  generator->Generate(drawn.data(), 16);
  const std::uint64_t before = detail::ForkGeneration();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(detail::ForkGeneration() != before ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child kept the parent's generation";
  EXPECT_EQ(detail::ForkGeneration(), before);
  generator->Generate(drawn.data() + 16, 16);
  EXPECT_EQ(drawn, expected);
}

} // namespace
} // namespace kl
