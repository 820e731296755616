#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/ComponentRegistry.h"
#include "package/KLPackage.h"

namespace kl {
namespace {

TEST(Package, UnitTableListsTheUnitsInDependencyOrder) {
  const TKLPackageInfoTable* table = GetPackageInfoTable();
  std::vector<std::string> names, registering;
  for (std::int32_t i = 0; i < table->UnitCount; ++i) {
    const TKLUnitInfo& unit = table->Units[i];
    ASSERT_NE(unit.Startup, nullptr);
    ASSERT_NE(unit.Shutdown, nullptr);
    names.emplace_back(unit.Name);
    if (unit.Register != nullptr) registering.emplace_back(unit.Name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Runtime", "KLGeneral", "KLSHA256", "KLAES", "KLHMAC", "KLPKCS5",
                                             "KLRandom", "KLStorage", "KLDatabase", "KLPassStorage", "KLRules",
                                             "KLPasswords"}));
  EXPECT_EQ(registering, (std::vector<std::string>{"KLRandom", "KLDatabase", "KLPassStorage", "KLPasswords"}));
}

TEST(Package, NestedInitialisationShutsDownOnlyAtTheLastFinalize) {
  const TKLPackageInfoTable* table = GetPackageInfoTable();
  Initialize();
  Initialize();
  for (std::int32_t i = 0; i < table->UnitCount; ++i) {
    if (table->Units[i].Register != nullptr) table->Units[i].Register();
  }
  ASSERT_EQ(GetRegisteredComponents(SPalettePage).size(), 7u);
  Finalize();
  EXPECT_EQ(GetRegisteredComponents(SPalettePage).size(), 7u);
  Finalize();
  EXPECT_TRUE(GetRegisteredComponents(SPalettePage).empty());
  Finalize();  // an unmatched Finalize does nothing
}

TEST(Package, DesignServicesCreateEachClassUnderAnOwner) {
  const TKLDesignServices& services = *GetPackageInfoTable()->DesignServices;
  Initialize();
  GetPackageInfoTable()->Units[6].Register();  // KLRandom
  ASSERT_EQ(services.GetClassCount("Keyloft Password SDK"), 1);
  EXPECT_STREQ(services.GetClassName("Keyloft Password SDK", 0), "TKLFastRandomGenerator");
  EXPECT_EQ(services.GetClassName("Keyloft Password SDK", 1), nullptr);
  void* owner = services.CreateOwner();
  void* generator = services.CreateComponent("TKLFastRandomGenerator", owner);
  ASSERT_NE(generator, nullptr);
  EXPECT_EQ(static_cast<TComponent*>(generator)->GetOwner(), owner);
  EXPECT_EQ(services.CreateComponent("TUnknown", owner), nullptr);
  services.DestroyComponent(owner);
  Finalize();
}

} // namespace
} // namespace kl
