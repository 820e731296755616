// KDBX files both ways against the real programs: pykeepass (through
// kdbx_peer.py) and keepassxc-cli. Skipped, saying so, where they are missing.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "foundation/FileStream.h"
#include "foundation/MemoryStream.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/Kdbx.h"
#include "passstorage/KdbxTimes.h"
#include "support/TestSupport.h"

namespace kl {
namespace {

using test::Narrow;
using test::TempDir;
using test::U;

const std::string kPeerScript = std::string(KL_TEST_DATA_DIR) + "/../passstorage/kdbx_peer.py";

struct TRun {
  int Status = -1;
  std::string Out;
};

TRun RunPeer(const std::string& Command) {
  TRun run;
  FILE* pipe = popen((Command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> buf;
  std::size_t got;
  while ((got = fread(buf.data(), 1, buf.size(), pipe)) > 0) run.Out.append(buf.data(), got);
  run.Status = pclose(pipe);
  return run;
}

#ifdef _WIN32
// The Windows build runs under Wine, where the Linux programs are out of reach
// (and would be handed Windows paths): these tests skip there.
bool HavePykeepass() { return false; }
bool HaveKeePassXC() { return false; }
#else
bool HavePykeepass() { return RunPeer("/usr/bin/python3 -c 'import pykeepass'").Status == 0; }
bool HaveKeePassXC() { return RunPeer("keepassxc-cli --version").Status == 0; }
#endif

std::string Quote(const std::string& S) { return "'" + S + "'"; }

// What the sample database of kdbx_peer.py holds, as the store must show it.
void ExpectSample(TKLPassStorage& Store) {
  ASSERT_EQ(Store.GetCount(), 2);
  TKLPassRecord* mail = Store.GetRecord(0);
  TKLPassRecord* root = Store.GetRecord(1);
  if (mail->GetTitle() != U("Post 𝄞 box")) std::swap(mail, root);
  EXPECT_EQ(Narrow(mail->GetGroup()), "Internet/Mail ✉");
  EXPECT_EQ(Narrow(mail->GetTitle()), "Post 𝄞 box");
  EXPECT_EQ(Narrow(mail->GetUsername()), "ålice");
  EXPECT_EQ(Narrow(mail->GetPassword()), "pä𝄞ss\"<&>");
  EXPECT_EQ(Narrow(mail->GetURL()), "https://mail.example/ü");
  EXPECT_EQ(Narrow(mail->GetNote()), "line one\nline two\n\tindented");
  TKLPassField field;
  ASSERT_TRUE(mail->FindCustomField(u"otp", field));
  EXPECT_EQ(Narrow(field.Value), "otpauth://totp/Example:alice?secret=JBSWY3DPEHPK3PXP&issuer=Example");
  ASSERT_TRUE(mail->FindCustomField(u"Recovery", field));
  EXPECT_EQ(Narrow(field.Value), "code 1234");
  ASSERT_TRUE(mail->FindCustomField(u"KPEX_PASSKEY_USERNAME", field));
  EXPECT_EQ(Narrow(field.Value), "alice@example");
  EXPECT_EQ(mail->GetTags(), (std::vector<String>{u"work", u"mail"}));
  EXPECT_TRUE(mail->GetExpires());
  EXPECT_EQ(mail->GetExpiryDate(), detail::UtcToWall(1935817689));
  ByteArray data;
  ASSERT_TRUE(mail->GetAttachment(u"data.bin", data));
  ASSERT_EQ(data.size(), 768u);
  for (std::size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], i % 256);
  EXPECT_GT(mail->GetCreationDate(), 0);
  EXPECT_EQ(Narrow(root->GetGroup()), "");
  EXPECT_EQ(Narrow(root->GetTitle()), "Root entry");
  EXPECT_EQ(Narrow(root->GetPassword()), "hunter2");
}

struct TPeerCase {
  const char* Kdf;
  const char* Cipher;
  const char* Password;
  bool KeyFile;
};

class KdbxPykeepass : public ::testing::TestWithParam<TPeerCase> {};

// pykeepass writes, the store reads every field; the store writes again and
// pykeepass reads back the same entries.
TEST_P(KdbxPykeepass, ReadsAndWritesEveryField) {
  if (!HavePykeepass()) GTEST_SKIP() << "pykeepass is not installed (scripts/setup.sh installs it)";
  const TPeerCase& c = GetParam();
  TempDir dir;
  const std::string file = dir.File("peer.kdbx");
  const std::string keyFile = c.KeyFile ? dir.File("key.bin") : "-";
  if (c.KeyFile) test::WriteFileBytes(keyFile, "any file at all becomes a key by its hash\n");
  const std::string made = "/usr/bin/python3 " + kPeerScript + " make " + file + " " + Quote(c.Password) + " " +
                           keyFile + " " + c.Kdf + " " + c.Cipher;
  ASSERT_EQ(RunPeer(made).Status, 0) << made;

  TKLPassStorage store;
  if (c.KeyFile) {
    const std::string bytes = test::ReadFileBytes(keyFile);
    store.SetKeyFile(ByteArray(bytes.begin(), bytes.end()));
  }
  const std::uint64_t expat = detail::KdbxXmlExpatReadings();
  store.LoadFromFile(U(file), U(c.Password));
  // (A key file that is not XML is given to expat as well, which refuses it.)
  if (!c.KeyFile) {
    EXPECT_EQ(detail::KdbxXmlExpatReadings(), expat) << "read by the fast scanner alone";
  }
  ExpectSample(store);
  EXPECT_EQ(store.GetSaveFormat(), pfKdbx);

  const std::string dump = "/usr/bin/python3 " + kPeerScript + " dump " + file + " " + Quote(c.Password) + " " +
                           keyFile;
  const TRun before = RunPeer(dump);
  ASSERT_EQ(before.Status, 0);
  store.SaveToFile(U(dir.File("again.kdbx")), U(c.Password));
  const TRun after = RunPeer("/usr/bin/python3 " + kPeerScript + " dump " + dir.File("again.kdbx") + " " +
                         Quote(c.Password) + " " + keyFile);
  ASSERT_EQ(after.Status, 0);
  EXPECT_EQ(after.Out, before.Out);
}

INSTANTIATE_TEST_SUITE_P(Cases, KdbxPykeepass,
                         ::testing::Values(TPeerCase{"argon2d", "aes256", "pw", false},
                                           TPeerCase{"argon2id", "chacha20", "pä𝄞", false},
                                           TPeerCase{"argon2d", "chacha20", "", true},
                                           TPeerCase{"argon2id", "aes256", "both", true}),
                         [](const ::testing::TestParamInfo<TPeerCase>& Info) {
                           const TPeerCase& c = Info.param;
                           const std::string key = c.KeyFile ? (*c.Password != '\0' ? "Both" : "KeyFile") : "Password";
                           return std::string(c.Kdf) + "_" + c.Cipher + "_" + key;
                         });

// keepassxc-cli reads a password from standard input when it is not a terminal.
std::string Cli(const std::string& Args, const std::string& Input = "pw") {
  return "printf '%s\\n' " + Quote(Input) + " | QT_QPA_PLATFORM=offscreen keepassxc-cli " + Args;
}

// KeePassXC adds two items of custom data to every database it opens, in an
// order that changes from run to run; they are left out of a comparison.
std::string WithoutOwnData(std::string Xml) {
  for (const char* key : {"<Key>_LAST_MODIFIED</Key>", "<Key>KPXC_DECRYPTION_TIME_PREFERENCE</Key>"}) {
    const std::size_t at = Xml.find(key);
    if (at == std::string::npos) continue;
    const std::size_t begin = Xml.rfind("<Item>", at);
    const std::size_t end = Xml.find("</Item>", at);
    if (begin != std::string::npos && end != std::string::npos) Xml.erase(begin, end + 7 - begin);
  }
  return Xml;
}

// keepassxc-cli db-create writes KDBX 3.1 with AES-KDF: the store reads it,
// and what it saves (as KDBX 4) exports from KeePassXC as the original did.
TEST(KdbxKeePassXC, OpensItsFileAndSavesItUnchanged) {
  if (!HaveKeePassXC()) GTEST_SKIP() << "keepassxc-cli is not installed (scripts/setup.sh installs it)";
  TempDir dir;
  const std::string file = dir.File("kx.kdbx");
  const std::string entry = Quote("Internet/Mail ✉/Post 𝄞 box");
  std::string blob(700, '\0');
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7 + 3);
  test::WriteFileBytes(dir.File("att.bin"), blob);
  ASSERT_EQ(RunPeer("printf 'pw\\npw\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli db-create -q -p -t 100 " +
                    file).Status, 0);
  ASSERT_EQ(RunPeer(Cli("mkdir -q " + file + " Internet")).Status, 0);
  ASSERT_EQ(RunPeer(Cli("mkdir -q " + file + " " + Quote("Internet/Mail ✉"))).Status, 0);
  ASSERT_EQ(RunPeer("printf 'pw\\npä𝄞ss\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli add -q -u ålice --url "
                    "https://mail.example/ü --notes \"$(printf 'line one\\nline two')\" -p " + file + " " +
                    entry).Status, 0);
  ASSERT_EQ(RunPeer(Cli("attachment-import -q " + file + " " + entry + " data.bin " + dir.File("att.bin"))).Status,
            0);

  TKLPassStorage store;
  const std::uint64_t expat = detail::KdbxXmlExpatReadings();
  store.LoadFromFile(U(file), u"pw");
  EXPECT_EQ(detail::KdbxXmlExpatReadings(), expat) << "read by the fast scanner alone";
  EXPECT_EQ(store.GetKdbxLoadedVersion(), 0x00030001u);
  ASSERT_EQ(store.GetCount(), 1);
  TKLPassRecord& rec = *store.GetRecord(0);
  EXPECT_EQ(Narrow(rec.GetGroup()), "Internet/Mail ✉");
  EXPECT_EQ(Narrow(rec.GetTitle()), "Post 𝄞 box");
  EXPECT_EQ(Narrow(rec.GetUsername()), "ålice");
  EXPECT_EQ(Narrow(rec.GetPassword()), "pä𝄞ss");
  EXPECT_EQ(Narrow(rec.GetURL()), "https://mail.example/ü");
  EXPECT_EQ(Narrow(rec.GetNote()), "line one\nline two");
  ByteArray data;
  ASSERT_TRUE(rec.GetAttachment(u"data.bin", data));
  EXPECT_EQ(std::string(data.begin(), data.end()), blob);

  // Saved as KDBX 4, the version 3.1 file shows the same entry.
  const std::string again = dir.File("again.kdbx");
  store.SaveToFile(U(again), u"pw");
  for (const std::string args : {"show -q -s -a Title -a UserName -a Password -a URL -a Notes ",
                                  "attachment-export -q --stdout "}) {
    const std::string tail = " " + entry + (args[0] == 'a' ? " data.bin x" : "");
    const TRun before = RunPeer(Cli(args + file + tail));
    const TRun after = RunPeer(Cli(args + again + tail));
    ASSERT_EQ(before.Status, 0);
    EXPECT_EQ(after.Out, before.Out) << args;
  }
}

// A KDBX 4 file opened and saved unchanged shows in KeePassXC's XML export
// everything it showed before: icons, history, Meta, custom data included.
TEST(KdbxKeePassXC, ExportsTheSameAfterTheStoreSavesIt) {
  if (!HaveKeePassXC() || !HavePykeepass()) GTEST_SKIP() << "keepassxc-cli or pykeepass is not installed";
  TempDir dir;
  const std::string file = dir.File("peer.kdbx");
  ASSERT_EQ(RunPeer("/usr/bin/python3 " + kPeerScript + " make " + file + " pw - argon2d aes256").Status, 0);
  TKLPassStorage store;
  store.LoadFromFile(U(file), u"pw");
  const std::string again = dir.File("again.kdbx");
  store.SaveToFile(U(again), u"pw");
  const TRun before = RunPeer(Cli("export -q --format xml " + file));
  const TRun after = RunPeer(Cli("export -q --format xml " + again));
  ASSERT_EQ(before.Status, 0);
  ASSERT_EQ(after.Status, 0);
  EXPECT_EQ(WithoutOwnData(after.Out), WithoutOwnData(before.Out));
}

// The store writes KDBX 4 (Argon2id, ChaCha20) with every kind of field;
// keepassxc-cli lists, shows and exports it.
TEST(KdbxKeePassXC, ReadsWhatTheStoreWrites) {
  if (!HaveKeePassXC()) GTEST_SKIP() << "keepassxc-cli is not installed (scripts/setup.sh installs it)";
  TempDir dir;
  const std::string file = dir.File("lib.kdbx");
  TKLPassStorage store;
  TKLKdbxSettings settings;
  settings.Cipher = kcChaCha20;
  settings.MemoryBytes = 1024 * 1024;
  settings.Iterations = 2;
  store.SetKdbxSettings(settings);
  store.SetSaveFormat(pfKdbx);
  auto rec = std::make_unique<TKLPassRecord>(U("Post 𝄞 box"), U("ålice"), U("pä𝄞ss\"<&>"),
                                             U("https://mail.example/ü"), U("line one\nline two"), U("Internet/Mail ✉"));
  rec->SetCustomField(u"otp", U("otpauth://totp/x?secret=JBSWY3DPEHPK3PXP"), true);
  rec->SetCustomField(u"Recovery", u"code 1234");
  rec->SetTags({u"work", u"mail"});
  rec->SetAttachment(u"data.bin", ByteArray{0, 1, 2, 255, 10, 13});
  store.Add(rec.release());
  store.SaveToFile(U(file), u"pw");

  const std::string entry = Quote("Internet/Mail ✉/Post 𝄞 box");
  EXPECT_EQ(RunPeer(Cli("ls -q -R -f " + file)).Out, "Internet/\nInternet/Mail ✉/\nInternet/Mail ✉/Post 𝄞 box\n");
  EXPECT_EQ(RunPeer(Cli("show -q -s -a Title -a UserName -a Password -a URL -a Notes -a otp -a Recovery " + file +
                        " " + entry)).Out,
            "Post 𝄞 box\nålice\npä𝄞ss\"<&>\nhttps://mail.example/ü\nline one\nline two\n"
            "otpauth://totp/x?secret=JBSWY3DPEHPK3PXP\ncode 1234\n");
  ASSERT_EQ(RunPeer(Cli("attachment-export -q " + file + " " + entry + " data.bin " + dir.File("out.bin"))).Status, 0);
  EXPECT_EQ(test::ReadFileBytes(dir.File("out.bin")), std::string("\0\1\2\xFF\n\r", 6));
  const std::string xml = RunPeer(Cli("export -q --format xml " + file)).Out;
  EXPECT_NE(xml.find("<Tags>mail,work</Tags>"), std::string::npos) << xml;
}

// Every kind of key and key derivation, both ways: files keepassxc-cli makes
// (KDBX 3.1 with AES-KDF, under a password, its own key file or both) open in
// the store; files the store writes (KDBX 4 with each KDF and cipher) open in
// keepassxc-cli under the same credentials, and a wrong one is refused.
TEST(KdbxKeePassXC, EachKeyAndKeyDerivationBothWays) {
  if (!HaveKeePassXC()) GTEST_SKIP() << "keepassxc-cli is not installed (scripts/setup.sh installs it)";
  struct TCase {
    const char* Name;
    bool Password;
    bool KeyFile;
    TKLKdbxKdf Kdf;
    TKLKdbxCipher Cipher;
  };
  const TCase cases[] = {{"pw", true, false, kkAesKdf, kcAes256},
                         {"key", false, true, kkArgon2d, kcChaCha20},
                         {"both", true, true, kkArgon2id, kcAes256}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    const std::string keyFile = dir.File("key.keyx");
    const std::string made = dir.File("made.kdbx");
    // keepassxc-cli's options for these credentials.
    const std::string key = c.KeyFile ? " -k " + keyFile : "";
    const std::string open = (c.Password ? "" : "--no-password") + key + " ";
    ASSERT_EQ(RunPeer(std::string("printf 'pw\\npw\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli db-create -q -t 100 ") +
                      (c.Password ? "-p " : "") + (c.KeyFile ? "--set-key-file " + keyFile + " " : "") + made)
                  .Status,
              0);
    ASSERT_EQ(RunPeer(Cli("add -q -u ålice " + open + made + " Entry", c.Password ? "pw" : "")).Status, 0);

    TKLPassStorage store;
    if (c.KeyFile) {
      const std::string bytes = test::ReadFileBytes(keyFile);
      store.SetKeyFile(ByteArray(bytes.begin(), bytes.end()));
    }
    const String password = c.Password ? u"pw" : u"";
    store.LoadFromFile(U(made), password);
    EXPECT_EQ(store.GetKdbxLoadedVersion(), 0x00030001u);
    ASSERT_EQ(store.GetCount(), 1);
    EXPECT_EQ(Narrow(store.GetRecord(0)->GetUsername()), "ålice");

    const std::string written = dir.File("written.kdbx");
    TKLKdbxSettings settings;
    settings.Kdf = c.Kdf;
    settings.Cipher = c.Cipher;
    settings.Iterations = c.Kdf == kkAesKdf ? 1000 : 2;
    settings.MemoryBytes = 1024 * 1024;
    store.SetKdbxSettings(settings);
    store.SaveToFile(U(written), password);
    EXPECT_EQ(RunPeer(Cli("show -q -a UserName " + open + written + " Entry", c.Password ? "pw" : "")).Out,
              "ålice\n");
    if (c.Password) {
      EXPECT_NE(RunPeer(Cli("show -q -a UserName " + key + " " + written + " Entry", "wrong")).Status, 0);
    }
  }
}

// A zero-byte attachment as KeePassXC writes it, in version 3.1 (its pool
// entry `<Binary ID="0" Compressed="True"/>`, no gzip stream at all) and in
// version 4 (a KDBX 4 file of the store's that keepassxc-cli added to): the
// file opens, an edit saves, and keepassxc-cli reads every field back equal.
TEST(KdbxKeePassXC, ZeroByteAttachmentsOpenEditAndSave) {
  if (!HaveKeePassXC()) GTEST_SKIP() << "keepassxc-cli is not installed (scripts/setup.sh installs it)";
  for (const bool version4 : {false, true}) {
    SCOPED_TRACE(version4 ? "4" : "3.1");
    TempDir dir;
    const std::string file = dir.File("kx.kdbx");
    test::WriteFileBytes(dir.File("empty.bin"), "");
    test::WriteFileBytes(dir.File("three.bin"), "abc");
    if (version4) {
      TKLPassStorage made;
      TKLKdbxSettings settings;
      settings.MemoryBytes = 1024 * 1024;
      settings.Iterations = 2;
      made.SetKdbxSettings(settings);
      made.SetSaveFormat(pfKdbx);
      made.Add(u"E", u"ålice", u"pä𝄞ss", u"https://x.example", u"note", u"");
      made.SaveToFile(U(file), u"pw");
    } else {
      ASSERT_EQ(RunPeer("printf 'pw\\npw\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli db-create -q -p -t 100 " + file)
                    .Status,
                0);
      ASSERT_EQ(RunPeer("printf 'pw\\npä𝄞ss\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli add -q -u ålice --url "
                        "https://x.example --notes note -p " +
                        file + " E")
                    .Status,
                0);
    }
    ASSERT_EQ(RunPeer(Cli("attachment-import -q " + file + " E empty.bin " + dir.File("empty.bin"))).Status, 0);
    ASSERT_EQ(RunPeer(Cli("attachment-import -q " + file + " E three.bin " + dir.File("three.bin"))).Status, 0);
    const std::string head = test::ReadFileBytes(file).substr(8, 4);
    EXPECT_EQ(head, version4 ? std::string("\0\0\4\0", 4) : std::string("\1\0\3\0", 4));

    TKLPassStorage store;
    store.LoadFromFile(U(file), u"pw");
    ASSERT_EQ(store.GetCount(), 1);
    TKLPassRecord& rec = *store.GetRecord(0);
    ByteArray data{1};
    ASSERT_TRUE(rec.GetAttachment(u"empty.bin", data));
    EXPECT_TRUE(data.empty());
    ASSERT_TRUE(rec.GetAttachment(u"three.bin", data));
    EXPECT_EQ(std::string(data.begin(), data.end()), "abc");
    rec.SetNote(u"edited");
    const std::string again = dir.File("again.kdbx");
    store.SaveToFile(U(again), u"pw");

    EXPECT_EQ(RunPeer(Cli("show -q -s -a Title -a UserName -a Password -a URL -a Notes " + again + " E")).Out,
              "E\nålice\npä𝄞ss\nhttps://x.example\nedited\n");
    for (const char* name : {"empty.bin", "three.bin"}) {
      const TRun before = RunPeer(Cli("attachment-export -q --stdout " + file + " E " + name + " x"));
      const TRun after = RunPeer(Cli("attachment-export -q --stdout " + again + " E " + name + " x"));
      ASSERT_EQ(before.Status, 0) << name;
      EXPECT_EQ(after.Status, 0) << name;
      EXPECT_EQ(after.Out, before.Out) << name;
    }
    // And the store reads its own save again.
    TKLPassStorage back;
    back.LoadFromFile(U(again), u"pw");
    ASSERT_EQ(back.GetCount(), 1);
    ASSERT_TRUE(back.GetRecord(0)->GetAttachment(u"empty.bin", data));
    EXPECT_TRUE(data.empty());
  }
}

// Version 3.1 authenticates its outer header only through Meta/HeaderHash:
// one changed byte of any header field (the inner stream key above all,
// which would garble every protected value) is refused as damage.
TEST(KdbxKeePassXC, AChangedVersion3HeaderDoesNotOpen) {
  if (!HaveKeePassXC()) GTEST_SKIP() << "keepassxc-cli is not installed (scripts/setup.sh installs it)";
  TempDir dir;
  const std::string file = dir.File("kx.kdbx");
  ASSERT_EQ(
      RunPeer("printf 'pw\\npw\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli db-create -q -p -t 100 " + file).Status,
      0);
  ASSERT_EQ(
      RunPeer("printf 'pw\\nsecret\\n' | QT_QPA_PLATFORM=offscreen keepassxc-cli add -q -p " + file + " E").Status, 0);
  const std::string bytes = test::ReadFileBytes(file);
  ASSERT_EQ(bytes.substr(8, 4), std::string("\1\0\3\0", 4));
  // Version 3.1 fields: 1-byte id, 2-byte size, data; the first data byte of each.
  std::vector<std::pair<int, std::size_t>> fields;
  for (std::size_t at = 12; at + 3 <= bytes.size();) {
    const int id = static_cast<unsigned char>(bytes[at]);
    const std::size_t size = static_cast<unsigned char>(bytes[at + 1]) | static_cast<unsigned char>(bytes[at + 2]) << 8;
    if (id == 0) break;
    fields.emplace_back(id, at + 3);
    at += 3 + size;
  }
  ASSERT_GE(fields.size(), 8u);
  {
    TKLPassStorage store;
    store.LoadFromFile(U(file), u"pw");
    ASSERT_EQ(store.GetCount(), 1);
    EXPECT_EQ(store.GetRecord(0)->GetPassword(), u"secret");
  }
  for (const auto& [id, at] : fields) {
    std::string changed = bytes;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    TKLPassStorage store;
    TMemoryStream in(ByteArray(changed.begin(), changed.end()));
    const std::string message = test::MessageOf([&] { store.LoadFromStream(in, u"pw"); });
    EXPECT_NE(message, "(nothing)") << "field " << id;
    EXPECT_EQ(store.GetCount(), 0) << "field " << id;
    if (id == 8) {
      EXPECT_EQ(message, SKdbxDamaged); // the inner stream key
    }
  }
}

} // namespace
} // namespace kl
