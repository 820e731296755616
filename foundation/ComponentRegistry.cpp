#include "foundation/ComponentRegistry.h"

#include <algorithm>
#include <mutex>

#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"

namespace kl {

namespace {

struct Page {
  String Name;
  std::vector<TComponentClassInfo> Classes;
};

struct Registry {
  std::mutex Lock;
  std::vector<Page> Pages;
};

// Created on first use, so loading the library does no work.
Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

} // namespace

void RegisterComponents(const String& PageName, const TComponentClassInfo* Classes, std::int32_t LastIndex) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.Lock);
  auto page = std::find_if(registry.Pages.begin(), registry.Pages.end(),
                           [&](const Page& p) { return p.Name == PageName; });
  if (page == registry.Pages.end()) {
    registry.Pages.push_back(Page{PageName, {}});
    page = registry.Pages.end() - 1;
  }
  for (std::int32_t i = 0; i <= LastIndex; ++i) {
    const TComponentClassInfo& info = Classes[i];
    for (Page& p : registry.Pages) {
      std::erase_if(p.Classes, [&](const TComponentClassInfo& c) { return c.ClassName == info.ClassName; });
    }
    page->Classes.push_back(info);
  }
}

std::vector<String> GetRegisteredPages() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.Lock);
  std::vector<String> names;
  for (const Page& p : registry.Pages) names.push_back(p.Name);
  return names;
}

std::vector<TComponentClassInfo> GetRegisteredComponents(const String& PageName) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.Lock);
  for (const Page& p : registry.Pages) {
    if (p.Name == PageName) return p.Classes;
  }
  return {};
}

TComponent* CreateRegisteredComponent(const String& ClassName, TComponent* AOwner) {
  TComponentFactory factory = nullptr;
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.Lock);
    for (const Page& p : registry.Pages) {
      for (const TComponentClassInfo& c : p.Classes) {
        if (c.ClassName == ClassName) factory = c.Factory;
      }
    }
  }
  if (factory == nullptr) throw Exception("Class " + StrToUTF8(ClassName) + " not found");
  return factory(AOwner);
}

void ClearComponentRegistry() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.Lock);
  registry.Pages.clear();
}

} // namespace kl
