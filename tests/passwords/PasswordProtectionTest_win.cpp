#include <gtest/gtest.h>

#include <windows.h>

#include <wincrypt.h>

#include <functional>
#include <string>

#include "foundation/Exceptions.h"
#include "foundation/KLGeneral.h"
#include "foundation/MemoryStream.h"
#include "passwords/KLPasswords.h"
#include "support/TestSupport.h"

// The password value over the system's data-protection service. The service is
// called here directly as well, as another program would, to check that the
// library's files hold its blob alone and that failures carry its error number.
namespace kl {
namespace {

using test::TempDir;
using test::U;

std::string MessageOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const EKLPasswordError& e) {
    return e.GetMessage();
  }
  return "";
}

ByteArray BytesOf(const std::string& Text) { return ByteArray(Text.begin(), Text.end()); }

// What the service gives back for Blob, or the error it reports.
struct TServiceAnswer {
  bool Ok;
  ByteArray Data;
  DWORD Error;
};

TServiceAnswer UnprotectDirectly(ByteArray Blob) {
  BYTE none = 0;
  DATA_BLOB in{static_cast<DWORD>(Blob.size()), Blob.empty() ? &none : Blob.data()};
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return {false, {}, GetLastError()};
  }
  ByteArray data(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return {true, data, 0};
}

ByteArray ProtectDirectly(const std::string& Utf8) {
  ByteArray input = BytesOf(Utf8);
  BYTE none = 0;
  DATA_BLOB in{static_cast<DWORD>(input.size()), input.empty() ? &none : input.data()};
  DATA_BLOB out{};
  if (!CryptProtectData(&in, L"", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return {};
  ByteArray blob(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return blob;
}

const std::string kValues[] = {"", "p", "pässwörd €uro ☃ 𝄞", std::string(300, 'Z'), std::string("a\0b", 3)};

TEST(PasswordProtectionWin, FileAndStreamRoundTripsKeepEveryCharacterForUserAndMachine) {
  TempDir dir;
  for (const bool shared : {false, true}) {
    for (const std::string& utf8 : kValues) {
      TKLPassword saved(U(utf8));
      saved.SetShared(shared);
      saved.SaveToFile(dir.FileU("pässwörd.bin"));
      TKLPassword fromFile(u"previous");
      fromFile.LoadFromFile(dir.FileU("pässwörd.bin"));
      EXPECT_EQ(fromFile.GetValue(), U(utf8)) << "shared " << shared << " value " << utf8;

      TMemoryStream stream;
      saved.SaveToStream(stream);
      stream.SetPosition(0);
      TKLPassword fromStream(u"previous");
      fromStream.LoadFromStream(stream);
      EXPECT_EQ(fromStream.GetValue(), U(utf8)) << "shared " << shared << " value " << utf8;
    }
  }
}

// The file is exactly the service's blob of the UTF-8 text, with no header,
// length or terminator of the library's own; and a blob the service made for
// another program loads.
TEST(PasswordProtectionWin, FilesHoldTheServicesBlobOfTheUtf8TextAlone) {
  TempDir dir;
  for (const std::string& utf8 : kValues) {
    for (const bool shared : {false, true}) {
      TKLPassword saved(U(utf8));
      saved.SetShared(shared);
      saved.SaveToFile(dir.FileU("p.bin"));
      const TServiceAnswer answer = UnprotectDirectly(BytesOf(test::ReadFileBytes(dir.File("p.bin"))));
      ASSERT_TRUE(answer.Ok) << "error " << answer.Error;
      EXPECT_EQ(answer.Data, BytesOf(utf8));
    }
    const ByteArray foreign = ProtectDirectly(utf8);
    ASSERT_FALSE(foreign.empty());
    EXPECT_EQ(TKLPassword().Load(foreign), U(utf8));
  }
}

TEST(PasswordProtectionWin, BytesThatAreNoBlobFailWithTheServicesErrorNumberAndKeepTheValue) {
  ByteArray tampered = TKLPassword(u"secret").Save();
  tampered[tampered.size() - 20] ^= 0x01;
  ByteArray truncated = TKLPassword(u"secret").Save();
  truncated.resize(truncated.size() / 2);
  const ByteArray cases[] = {{}, ByteArray(1, 0), ByteArray(100, 7), tampered, truncated};
  for (const ByteArray& bytes : cases) {
    const TServiceAnswer answer = UnprotectDirectly(bytes);
    ASSERT_FALSE(answer.Ok) << "size " << bytes.size();
    const std::string expected =
        "Failed to load data using DPAPI (Windows error: " + std::to_string(static_cast<std::int32_t>(answer.Error)) +
        ")";
    TKLPassword target(u"keep me");
    TMemoryStream stream(bytes);
    EXPECT_EQ(MessageOf([&] { target.LoadFromStream(stream); }), expected) << "size " << bytes.size();
    EXPECT_EQ(MessageOf([&] { (void)target.Load(bytes); }), expected) << "size " << bytes.size();
    EXPECT_EQ(target.GetValue(), u"keep me");
  }
}

// The whole stream is read from the current position: a stream positioned
// after its start holds fewer bytes than its size and fails as a short read.
TEST(PasswordProtectionWin, StreamNotAtItsStartFailsWithTheReadErrorAndKeepsTheValue) {
  TMemoryStream stream;
  TKLPassword(u"secret").SaveToStream(stream);
  TKLPassword target(u"keep me");
  for (const std::int64_t position : {std::int64_t{1}, stream.GetSize() - 1, stream.GetSize()}) {
    stream.SetPosition(position);
    EXPECT_THROW(target.LoadFromStream(stream), EReadError) << "position " << position;
    EXPECT_EQ(target.GetValue(), u"keep me");
  }
}

} // namespace
} // namespace kl
