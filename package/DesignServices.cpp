#include <string>

#include "foundation/ComponentRegistry.h"
#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"
#include "package/UnitTable.h"

namespace kl::detail {

namespace {

// The services cross a C boundary: no exception may leave them.
std::int32_t ClassCount(const char* Page) noexcept {
  try {
    return static_cast<std::int32_t>(GetRegisteredComponents(UTF8ToStr(Page)).size());
  } catch (...) {
    return 0;
  }
}

const char* ClassNameAt(const char* Page, std::int32_t Index) noexcept {
  thread_local std::string name;
  try {
    const auto classes = GetRegisteredComponents(UTF8ToStr(Page));
    if (Index < 0 || static_cast<std::size_t>(Index) >= classes.size()) return nullptr;
    name = StrToUTF8(classes[static_cast<std::size_t>(Index)].ClassName);
    return name.c_str();
  } catch (...) {
    return nullptr;
  }
}

void* CreateByName(const char* ClassName, void* Owner) noexcept {
  try {
    return CreateRegisteredComponent(UTF8ToStr(ClassName), static_cast<TComponent*>(Owner));
  } catch (...) {
    return nullptr;
  }
}

void* CreatePlainOwner() noexcept {
  try {
    return new TComponent(nullptr);
  } catch (...) {
    return nullptr;
  }
}

void Destroy(void* Component) noexcept { delete static_cast<TComponent*>(Component); }

constexpr TKLDesignServices kServices = {&ClassCount, &ClassNameAt, &CreateByName, &CreatePlainOwner, &Destroy};

} // namespace

const TKLDesignServices& DesignServices() { return kServices; }

} // namespace kl::detail
