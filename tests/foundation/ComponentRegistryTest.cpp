#include <gtest/gtest.h>

#include "foundation/ComponentRegistry.h"
#include "foundation/Exceptions.h"

namespace kl {
namespace {

class Widget : public TComponent {
public:
  using TComponent::TComponent;
};
class Gadget : public TComponent {
public:
  using TComponent::TComponent;
};

TComponent* MakeWidget(TComponent* AOwner) { return new Widget(AOwner); }
TComponent* MakeGadget(TComponent* AOwner) { return new Gadget(AOwner); }

TEST(ComponentRegistry, ListsPagesInOrderAndCreatesByNameUnderAnOwner) {
  ClearComponentRegistry();
  const TComponentClassInfo first[] = {{u"TWidget", &MakeWidget}};
  const TComponentClassInfo second[] = {{u"TGadget", &MakeGadget}, {u"TWidget", &MakeWidget}};
  RegisterComponents(u"Page A", first, 0);
  RegisterComponents(u"Page B", second, 0);  // only the first element
  ASSERT_EQ(GetRegisteredPages(), (std::vector<String>{u"Page A", u"Page B"}));
  ASSERT_EQ(GetRegisteredComponents(u"Page B").size(), 1u);

  RegisterComponents(u"Page B", second, 1);  // re-registering moves TWidget to page B
  EXPECT_TRUE(GetRegisteredComponents(u"Page A").empty());
  const auto classes = GetRegisteredComponents(u"Page B");
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0].ClassName, u"TGadget");
  EXPECT_EQ(classes[1].ClassName, u"TWidget");

  TComponent owner;
  TComponent* w = CreateRegisteredComponent(u"TWidget", &owner);
  EXPECT_NE(dynamic_cast<Widget*>(w), nullptr);
  EXPECT_EQ(w->GetOwner(), &owner);
  EXPECT_THROW(CreateRegisteredComponent(u"TMissing", &owner), Exception);
  ClearComponentRegistry();
  EXPECT_TRUE(GetRegisteredPages().empty());
}

} // namespace
} // namespace kl
