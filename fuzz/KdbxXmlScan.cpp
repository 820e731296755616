// The fast XML scanner against expat on any bytes: whatever the scanner
// reads, expat must read too and report the same (elements, attributes,
// text); and the scanner must read it alike whole and in pieces. The first
// byte sets the size of the pieces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/passstorage/XmlEventLog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  const std::size_t piece = Data[0] % 64 + 1;
  const std::string_view xml(reinterpret_cast<const char*>(Data + 1), Size - 1);
  std::string whole, pieces, expat;
  const bool read = kl::test::ScanXml(xml, xml.size() + 1, whole);
  if (kl::test::ScanXml(xml, piece, pieces) != read) std::abort();
  if (!read) return 0;
  if (pieces != whole) std::abort();
  if (!kl::test::ExpatXml(xml, expat) || expat != whole) std::abort();
  return 0;
}
