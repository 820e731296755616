#pragma once

// KDBX files made from a document or its XML for the tests: version 4, keyed
// "pw", with the cheapest KDF (one AES-KDF round).

#include <cstdint>
#include <string>

#include "foundation/MemoryStream.h"
#include "passstorage/Kdbx.h"
#include "random/KLRandom.h"

namespace kl::test {

inline detail::TKdbxCompositeKey KdbxTestKey() {
  detail::TKdbxCompositeKey key;
  key.AddPassword(u"pw");
  return key;
}

inline ByteArray KdbxFileOf(detail::TKdbxDocument& Doc) {
  Doc.Settings.Kdf = detail::TKdbxKdf::AesKdf;
  Doc.Settings.Iterations = 1;
  TKLFastRandomGenerator random;
  TMemoryStream file;
  detail::WriteKdbx(file, Doc, KdbxTestKey(), random);
  return file.ToBytes();
}

inline ByteArray KdbxFileOfXml(const std::string& Xml) {
  detail::TKdbxDocument doc;
  doc.Root = detail::ParseKdbxXml(reinterpret_cast<const std::uint8_t*>(Xml.data()), Xml.size(), nullptr, nullptr);
  return KdbxFileOf(doc);
}

} // namespace kl::test
