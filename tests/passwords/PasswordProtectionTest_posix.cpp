#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <sys/stat.h>

#include "foundation/FileStream.h"
#include "foundation/MemoryStream.h"
#include "passwords/DataProtection.h"
#include "passwords/KLPasswords.h"
#include "passwords/KeyStoreFixture.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::KeyStoreTest;
using test::U;

// The message's fixed part, up to the error number; the layer's words that
// follow it are checked on their own.
template <class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const EKLPasswordError& e) {
    const std::string& message = e.GetMessage();
    return message.substr(0, message.find("): ") + 1);
  }
  return "";
}

template <class F>
std::optional<EKLProtectionError> ProtectionErrorOf(F&& Action) {
  try {
    Action();
  } catch (const EKLProtectionError& e) {
    return e;
  }
  return std::nullopt;
}

class PasswordProtectionTest : public KeyStoreTest {};

TEST_F(PasswordProtectionTest, FileRoundTripKeepsEveryCharacterInBothScopes) {
  const String values[] = {u"", u"p", U("pässwörd €uro ☃ 𝄞"), String(500, u'Z'), String(1, u'\0') + u"nul"};
  for (const bool shared : {false, true}) {
    for (const String& value : values) {
      TKLPassword saved(value);
      saved.SetShared(shared);
      saved.SaveToFile(FTemp.FileU("password.bin"));
      TKLPassword loaded(u"previous");
      loaded.LoadFromFile(FTemp.FileU("password.bin"));
      EXPECT_EQ(loaded.GetValue(), value) << "shared " << shared;
      EXPECT_FALSE(loaded.GetShared());
    }
  }
}

TEST_F(PasswordProtectionTest, StreamRoundTripAndByteArrayForms) {
  TKLPassword saved(U("Grüße"));
  TMemoryStream stream;
  saved.SaveToStream(stream);
  stream.SetPosition(0);
  TKLPassword loaded;
  loaded.LoadFromStream(stream);
  EXPECT_EQ(loaded.GetValue(), U("Grüße"));
  EXPECT_EQ(saved.Load(saved.Save()), U("Grüße"));
  EXPECT_EQ(saved.Load(stream.ToBytes()), U("Grüße"));
}

TEST_F(PasswordProtectionTest, SharedValueLoadsForAnotherUserOfTheMachineAndPrivateOneDoesNot) {
  TKLPassword shared(u"for everyone");
  shared.SetShared(true);
  TKLPassword personal(u"for me");
  const ByteArray sharedBlob = shared.Save();
  const ByteArray personalBlob = personal.Save();
  UseKeyDir("another-user");
  TKLPassword other;
  other.Save(); // the other user gets a key of their own
  EXPECT_EQ(other.Load(sharedBlob), u"for everyone");
  EXPECT_EQ(MessageOf([&] { other.Load(personalBlob); }),
            "Failed to load data using DPAPI (Windows error: " + std::to_string(dpeAuthenticationFailed) + ")");
}

TEST_F(PasswordProtectionTest, FailedLoadsKeepThePreviousValue) {
  TKLPassword password(u"secret");
  TMemoryStream saved;
  password.SaveToStream(saved);
  ByteArray tampered = saved.ToBytes();
  tampered[tampered.size() / 2] ^= 0x80;

  TKLPassword target(u"keep me");
  // Not at the start: the total size is more than what remains.
  saved.SetPosition(1);
  EXPECT_THROW(target.LoadFromStream(saved), EReadError);
  EXPECT_EQ(target.GetValue(), u"keep me");

  const struct {
    ByteArray Bytes;
    std::int32_t Error;
  } cases[] = {{tampered, dpeAuthenticationFailed}, {{}, dpeMalformedBlob}, {ByteArray(100, 7), dpeMalformedBlob}};
  for (const auto& c : cases) {
    TMemoryStream stream(c.Bytes);
    EXPECT_EQ(MessageOf([&] { target.LoadFromStream(stream); }),
              "Failed to load data using DPAPI (Windows error: " + std::to_string(c.Error) + ")");
    EXPECT_EQ(target.GetValue(), u"keep me");
  }
}

TEST_F(PasswordProtectionTest, MissingKeyFailsWithTheLoadMessage) {
  const ByteArray blob = TKLPassword(u"x").Save();
  UseKeyDir("nobody");
  EXPECT_EQ(MessageOf([&] { TKLPassword().Load(blob); }),
            "Failed to load data using DPAPI (Windows error: " + std::to_string(ENOENT) + ")");
}

TEST_F(PasswordProtectionTest, FailedSaveLeavesTheFileAsItWas) {
  TKLPassword password(u"first");
  password.SaveToFile(FTemp.FileU("password.bin"));
  const std::string before = test::ReadFileBytes(FTemp.File("password.bin"));
  ::chmod(FKeyDir.c_str(), 0755);
  password.SetValue(u"second");
  EXPECT_EQ(MessageOf([&] { password.SaveToFile(FTemp.FileU("password.bin")); }),
            "Failed to save data using DPAPI (Windows error: " + std::to_string(dpeInsecureKeyStore) + ")");
  EXPECT_EQ(test::ReadFileBytes(FTemp.File("password.bin")), before);
  ::chmod(FKeyDir.c_str(), 0700);
  TKLPassword loaded;
  loaded.LoadFromFile(FTemp.FileU("password.bin"));
  EXPECT_EQ(loaded.GetValue(), u"first");
}

TEST_F(PasswordProtectionTest, MissingFileRaisesTheFileError) {
  TKLPassword password(u"keep");
  EXPECT_THROW(password.LoadFromFile(FTemp.FileU("absent.bin")), EFOpenError);
  EXPECT_EQ(password.GetValue(), u"keep");
}

// On this system the error number is the library's own: the words of the
// layer follow it, and the key store's faults are told from the data's.
TEST_F(PasswordProtectionTest, FailuresCarryTheLayersWordsAndTellKeyStoreFromData) {
  const ByteArray blob = TKLPassword(u"x").Save();
  ByteArray tampered = blob;
  tampered.back() ^= 1;
  std::optional<EKLProtectionError> error = ProtectionErrorOf([&] { TKLPassword().Load(tampered); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->GetErrorCode(), dpeAuthenticationFailed);
  EXPECT_FALSE(error->GetKeyStoreFault());
  EXPECT_EQ(error->GetMessage(), "Failed to load data using DPAPI (Windows error: 1002): " + error->GetDescription());
  EXPECT_NE(error->GetDescription().find("protected by another user or on another machine"), std::string::npos);

  ::chmod(FKeyDir.c_str(), 0750);
  error = ProtectionErrorOf([&] { TKLPassword().Load(blob); });
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->GetKeyStoreFault());
  EXPECT_NE(error->GetDescription().find("is open to other users (mode 0750"), std::string::npos);
  ::chmod(FKeyDir.c_str(), 0700);
}

// At the limit a password saves and loads through a stream; a stream one byte
// longer is refused before it is read, with the number the layer gives data
// that is too large (not that of a malformed blob).
TEST_F(PasswordProtectionTest, SizeLimitHoldsAtTheLimitAndRefusesOneByteBeyond) {
  TMemoryStream stream;
  TKLPassword(String(MaxProtectedDataSize, u'a')).SaveToStream(stream);
  EXPECT_EQ(static_cast<std::size_t>(stream.GetSize()), MaxProtectedBlobSize);
  stream.SetPosition(0);
  TKLPassword loaded;
  loaded.LoadFromStream(stream);
  EXPECT_EQ(loaded.GetValue().size(), MaxProtectedDataSize);

  const std::uint8_t extra = 0;
  stream.Seek(0, soEnd);
  stream.WriteBuffer(&extra, 1);
  stream.SetPosition(0);
  TKLPassword kept(u"kept");
  EXPECT_EQ(MessageOf([&] { kept.LoadFromStream(stream); }),
            "Failed to load data using DPAPI (Windows error: " + std::to_string(dpeDataTooLarge) + ")");
  EXPECT_EQ(kept.GetValue(), u"kept");
  EXPECT_EQ(MessageOf([] { TKLPassword(String(MaxProtectedDataSize + 1, u'a')).Save(); }),
            "Failed to save data using DPAPI (Windows error: " + std::to_string(dpeDataTooLarge) + ")");
}

} // namespace
} // namespace kl
