#pragma once

#include <string>
#include <string_view>
#include <vector>

// The strength estimator's language packs in the web build: none is compiled
// in; the page fetches each one when it first needs it and hands its bytes to
// LoadStrengthPack (the format: docs/formats/web-language-pack.md). A loaded
// pack stays for the life of the module.
namespace klweb {

// Reads and registers a pack; gives its code ("common", "de"...). A pack that
// is loaded already is left as it is. Raises kl::EKLException, with nothing
// registered, for bytes that are not a whole pack of a known code.
std::string LoadStrengthPack(std::string_view Bytes);

bool IsStrengthPackLoaded(std::string_view Code);

// Raises kl::EKLException naming the first pack that an estimate in Languages
// needs (the common pack, English, then each of Languages) and lacks.
void RequireStrengthPacks(const std::vector<std::string>& Languages);

} // namespace klweb
