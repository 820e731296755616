#include "passstorage/KLPassStorage.h"

namespace kl {

void TKLPassStorage::SaveToStream(TStream&, const String&) { CheckSavableGroups(); }
void TKLPassStorage::LoadFromStream(TStream&, const String&) {}
void TKLPassStorage::SaveToFile(const String&, const String&) {}
void TKLPassStorage::LoadFromFile(const String&, const String&) {}
void TKLPassStorage::CheckSavableGroups() const {}

}  // namespace kl
