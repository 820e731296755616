#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "foundation/KLGeneral.h"

namespace kl::test {

std::string DataPath(const std::string& Name) { return std::string(KL_TEST_DATA_DIR) + "/" + Name; }

std::vector<std::vector<std::string>> ReadVectorFile(const std::string& Name) {
  std::ifstream in(DataPath(Name));
  if (!in) throw std::runtime_error("cannot open test data " + Name);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string field; fields >> field;) row.push_back(field);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

ByteArray Hex(const std::string& Text) {
  if (Text == "-") return {};
  if (Text.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + Text);
  ByteArray out;
  out.reserve(Text.size() / 2);
  for (std::size_t i = 0; i < Text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(Text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const void* Data, std::size_t Size) {
  static const char digits[] = "0123456789ABCDEF";
  const auto* p = static_cast<const std::uint8_t*>(Data);
  std::string out;
  for (std::size_t i = 0; i < Size; ++i) {
    out.push_back(digits[p[i] >> 4]);
    out.push_back(digits[p[i] & 15]);
  }
  return out;
}

std::string ToHex(const ByteArray& Bytes) { return ToHex(Bytes.data(), Bytes.size()); }

String U(const std::string& Utf8) { return UTF8ToStr(Utf8); }

std::string Narrow(const String& Text) { return StrToUTF8(Text); }

namespace {

// Paths are UTF-8 here; on Windows a narrow path would be read in the ANSI
// code page instead.
std::filesystem::path PathOf(const std::string& Utf8) {
  return std::filesystem::path(std::u8string(Utf8.begin(), Utf8.end()));
}

} // namespace

std::string ReadFileBytes(const std::string& Path) {
  std::ifstream in(PathOf(Path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + Path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& Path, const std::string& Bytes) {
  std::ofstream out(PathOf(Path), std::ios::binary | std::ios::trunc);
  out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + Path);
}

// create_directory answers false for a name that is taken, so two tests never
// share a folder.
TempDir::TempDir() {
  std::random_device entropy;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), "klpassword-test-%08x", static_cast<unsigned>(entropy()));
    const std::filesystem::path candidate = base / name;
    if (std::filesystem::create_directory(candidate)) {
      const std::u8string utf8 = candidate.u8string();
      FPath.assign(utf8.begin(), utf8.end());
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(PathOf(FPath), ignored);
}

String TempDir::FileU(const std::string& Name) const { return U(File(Name)); }

namespace {

void SetZone(const char* Zone) {
#ifdef _WIN32
  _putenv_s("TZ", Zone ? Zone : "");
  _tzset();
#else
  if (Zone) {
    setenv("TZ", Zone, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
#endif
}

} // namespace

TZoneScope::TZoneScope(const char* Zone) {
  if (const char* old = std::getenv("TZ")) FOld = old;
  SetZone(Zone);
}

TZoneScope::~TZoneScope() { SetZone(FOld ? FOld->c_str() : nullptr); }

} // namespace kl::test
