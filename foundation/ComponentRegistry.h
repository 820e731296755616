#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Component.h"
#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

using TComponentFactory = TComponent* (*)(TComponent* AOwner);

// One component class as a design environment sees it: its name and a factory
// that creates an instance under an owner.
struct TComponentClassInfo {
  String ClassName;
  TComponentFactory Factory = nullptr;
};

// The design-time registry: component classes by palette page, in the order
// they were registered. Registering a class name again replaces its entry in
// place. Safe to use from several threads.
//
// Registers Classes[0] to Classes[LastIndex] on Page.
KL_API void RegisterComponents(const String& Page, const TComponentClassInfo* Classes, std::int32_t LastIndex);

KL_API std::vector<String> GetRegisteredPages();
KL_API std::vector<TComponentClassInfo> GetRegisteredComponents(const String& Page);

// Creates an instance of a registered class under AOwner. An unknown name
// raises kl::Exception with "Class <name> not found".
KL_API TComponent* CreateRegisteredComponent(const String& ClassName, TComponent* AOwner);

// Forgets every registration (when the library is finalised).
KL_API void ClearComponentRegistry();

} // namespace kl
