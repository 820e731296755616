#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Component.h"
#include "foundation/Exceptions.h"

namespace kl {
namespace {

// Records every notification it receives and its own destruction in a shared log.
class Probe : public TComponent {
public:
  Probe(std::string Name, std::vector<std::string>& Log, TComponent* AOwner = nullptr)
      : TComponent(AOwner), FName(std::move(Name)), FLog(Log) {}
  ~Probe() override { FLog.push_back("~" + FName); }

  TComponent* FWatched = nullptr;

protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FWatched) {
      FLog.push_back(FName + " dropped watched");
      FWatched = nullptr;
    }
  }

private:
  std::string FName;
  std::vector<std::string>& FLog;
};

TEST(Component, OwnerDestroysOwnedComponentsInReverseOrderOfInsertion) {
  std::vector<std::string> log;
  auto* owner = new Probe("owner", log);
  new Probe("a", log, owner);
  new Probe("b", log, owner);
  new Probe("c", log, owner);
  EXPECT_EQ(owner->GetComponentCount(), 3);
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"~owner", "~c", "~b", "~a"}));
}

TEST(Component, DeletingAnOwnedComponentRemovesItFromItsOwner) {
  std::vector<std::string> log;
  Probe owner("owner", log);
  auto* a = new Probe("a", log, &owner);
  auto* b = new Probe("b", log, &owner);
  delete a;
  ASSERT_EQ(owner.GetComponentCount(), 1);
  EXPECT_EQ(owner.GetComponent(0), b);
  EXPECT_EQ(b->GetOwner(), &owner);
  EXPECT_THROW(owner.GetComponent(1), EListError);
}

TEST(Component, FreeNotificationTellsTheWatcherBeforeTheMemoryGoes) {
  std::vector<std::string> log;
  Probe watcher("watcher", log);
  auto* watched = new Probe("watched", log);
  watcher.FWatched = watched;
  watched->FreeNotification(&watcher);
  delete watched;
  EXPECT_EQ(watcher.FWatched, nullptr);
  // The derived part of the dying component goes first; the notification
  // arrives while its base is still intact.
  EXPECT_EQ(log, (std::vector<std::string>{"~watched", "watcher dropped watched"}));
}

TEST(Component, RemovedFreeNotificationIsNotDelivered) {
  std::vector<std::string> log;
  Probe watcher("watcher", log);
  auto* watched = new Probe("watched", log);
  watcher.FWatched = watched;
  watched->FreeNotification(&watcher);
  watched->RemoveFreeNotification(&watcher);
  delete watched;
  EXPECT_EQ(watcher.FWatched, watched);  // never told
}

TEST(Component, WatcherDyingFirstLeavesNoDanglingLink) {
  std::vector<std::string> log;
  Probe watched("watched", log);
  {
    Probe watcher("watcher", log);
    watched.FreeNotification(&watcher);
  }
  // Destroying `watched` at scope end must not call into the dead watcher
  // (the sanitizer build catches a use after free here).
  log.clear();
}

TEST(Component, SiblingsHearAboutEachOthersRemoval) {
  std::vector<std::string> log;
  Probe owner("owner", log);
  auto* a = new Probe("a", log, &owner);
  auto* b = new Probe("b", log, &owner);
  b->FWatched = a;
  delete a;
  EXPECT_EQ(b->FWatched, nullptr);
}

TEST(Component, OwnedComponentsWatchingEachOtherDieCleanlyWithTheirOwner) {
  std::vector<std::string> log;
  auto* owner = new Probe("owner", log);
  auto* a = new Probe("a", log, owner);
  auto* b = new Probe("b", log, owner);
  a->FWatched = b;
  b->FWatched = a;
  a->FreeNotification(b);
  b->FreeNotification(a);
  delete owner;  // b dies first and tells a; a never touches b afterwards
  EXPECT_EQ(log, (std::vector<std::string>{"~owner", "~b", "a dropped watched", "~a"}));
}

} // namespace
} // namespace kl
