#include "package/UnitTable.h"

#include <iterator>

#include "database/KLDatabase.h"
#include "database/KLSqlDatabase.h"
#include "foundation/ComponentRegistry.h"
#include "passstorage/KLPassStorage.h"
#include "passwords/KLPasswords.h"
#include "random/KLRandom.h"

namespace kl::detail {

namespace {

// No unit does work at start-up: every constant table is static data and no
// object, file or random number is made before the application asks.
void NothingToDo() {}

// The runtime's shut-down forgets the design-time registrations, whose
// factories live in this library and go when it is unloaded.
void RuntimeShutdown() { ClearComponentRegistry(); }

template <class T>
TComponent* Make(TComponent* AOwner) {
  return new T(AOwner);
}

template <std::size_t N>
void RegisterOnPalette(const TComponentClassInfo (&Classes)[N]) {
  RegisterComponents(SPalettePage, Classes, static_cast<std::int32_t>(N) - 1);
}

void RegisterKLRandom() {
  static const TComponentClassInfo classes[] = {{u"TKLFastRandomGenerator", &Make<TKLFastRandomGenerator>}};
  RegisterOnPalette(classes);
}

void RegisterKLDatabase() {
  static const TComponentClassInfo classes[] = {{u"TKLTextPasswordDatabase", &Make<TKLTextPasswordDatabase>},
                                                {u"TKLBinaryPasswordDatabase", &Make<TKLBinaryPasswordDatabase>},
                                                {u"TKLSqlitePasswordDatabase", &Make<TKLSqlitePasswordDatabase>},
                                                {u"TKLPostgresPasswordDatabase", &Make<TKLPostgresPasswordDatabase>}};
  RegisterOnPalette(classes);
}

void RegisterKLPassStorage() {
  static const TComponentClassInfo classes[] = {{u"TKLPassStorage", &Make<TKLPassStorage>}};
  RegisterOnPalette(classes);
}

void RegisterKLPasswords() {
  static const TComponentClassInfo classes[] = {{u"TKLPasswordGenerator", &Make<TKLPasswordGenerator>}};
  RegisterOnPalette(classes);
}

constexpr TKLUnitInfo kUnits[] = {
    {"Runtime", &NothingToDo, &RuntimeShutdown, nullptr},
    {"KLGeneral", &NothingToDo, &NothingToDo, nullptr},
    {"KLSHA256", &NothingToDo, &NothingToDo, nullptr},
    {"KLAES", &NothingToDo, &NothingToDo, nullptr},
    {"KLHMAC", &NothingToDo, &NothingToDo, nullptr},
    {"KLPKCS5", &NothingToDo, &NothingToDo, nullptr},
    {"KLRandom", &NothingToDo, &NothingToDo, &RegisterKLRandom},
    {"KLStorage", &NothingToDo, &NothingToDo, nullptr},
    {"KLDatabase", &NothingToDo, &NothingToDo, &RegisterKLDatabase},
    {"KLPassStorage", &NothingToDo, &NothingToDo, &RegisterKLPassStorage},
    {"KLRules", &NothingToDo, &NothingToDo, nullptr},
    {"KLPasswords", &NothingToDo, &NothingToDo, &RegisterKLPasswords},
};

} // namespace

UnitList Units() { return {static_cast<std::int32_t>(std::size(kUnits)), kUnits}; }

} // namespace kl::detail
