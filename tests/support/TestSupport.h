#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/Exceptions.h"
#include "foundation/Types.h"

namespace kl::test {

// The path of a file in tests/data.
std::string DataPath(const std::string& Name);

// The lines of a vector file, split at blanks; blank lines and lines starting
// with '#' are skipped.
std::vector<std::vector<std::string>> ReadVectorFile(const std::string& Name);

// Hex (either case, '-' for empty) to bytes; throws std::invalid_argument.
ByteArray Hex(const std::string& Text);
std::string ToHex(const void* Data, std::size_t Size);
std::string ToHex(const ByteArray& Bytes);

// UTF-8 literal to library text, and back.
String U(const std::string& Utf8);
std::string Narrow(const String& Text);

// Runs Action and returns the message of the kl::Exception it raises, or
// "(nothing)" when it raises none.
template <class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const Exception& e) {
    return e.GetMessage();
  }
  return "(nothing)";
}

std::string ReadFileBytes(const std::string& Path);
void WriteFileBytes(const std::string& Path, const std::string& Bytes);

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& Name) const { return FPath + "/" + Name; }
  String FileU(const std::string& Name) const;

private:
  std::string FPath;
};

// Runs a test under a local zone (TZ), and puts the zone the process had back.
class TZoneScope {
public:
  explicit TZoneScope(const char* Zone);
  ~TZoneScope();
  TZoneScope(const TZoneScope&) = delete;
  TZoneScope& operator=(const TZoneScope&) = delete;

private:
  std::optional<std::string> FOld;
};

} // namespace kl::test
