#include "VaultRecordData.h"

#include <chrono>
#include <cstdio>
#include <fstream>

#include "Console.h"
#include "TextOutput.h"
#include "foundation/SecureMemory.h"

namespace klpass {

namespace {

// Fields that hold secrets whatever the user says: one-time-password
// settings and passkeys.
bool IsSecretFieldName(const std::string& Name) {
  return Name == "otp" || Name == "TOTP Seed" || Name.rfind("KPEX_PASSKEY_", 0) == 0;
}

kl::ByteArray ReadAttachment(const std::string& File) {
  std::ifstream in(File, std::ios::binary);
  if (!in) Fail(kExitUsage, "cannot read the attachment '" + File + "'");
  kl::ByteArray bytes;
  constexpr std::size_t kChunk = 65536;
  while (in) {
    const std::size_t old = bytes.size();
    if (old > kl::KLPassMaxAttachmentSize) break;
    bytes.resize(old + kChunk);
    in.read(reinterpret_cast<char*>(bytes.data() + old), static_cast<std::streamsize>(kChunk));
    bytes.resize(old + static_cast<std::size_t>(in.gcount()));
  }
  if (bytes.size() > kl::KLPassMaxAttachmentSize) {
    Fail(kExitUsage, "the attachment '" + File + "' is larger than " +
                         std::to_string(kl::KLPassMaxAttachmentSize >> 20) + " MiB");
  }
  if (in.bad()) Fail(kExitUsage, "cannot read the attachment '" + File + "'");
  return bytes;
}

std::string BaseName(const std::string& Path) {
  const std::size_t slash = Path.find_last_of("/\\");
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string Hex(const kl::TKLPassUuid& Uuid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : Uuid) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string DateText(std::int64_t Seconds) {
  using namespace std::chrono;
  const sys_seconds time{seconds{Seconds}};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[40];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

} // namespace

std::int64_t ParseVaultDate(const std::string& Text) {
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char separator = 0;
  char rest = 0;
  const int read = std::sscanf(Text.c_str(), "%4d-%2u-%2u%c%2u:%2u:%2u%c", &year, &month, &day, &separator, &hour,
                               &minute, &second, &rest);
  const bool ok = (read == 3 && Text.size() == 10) ||
                  ((read == 6 || read == 7) && (separator == ' ' || separator == 'T'));
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
  if (!ok || !date.ok() || hour > 23 || minute > 59 || second > 59) {
    Fail(kExitUsage, "'" + Text + "' is not a date (YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS])");
  }
  const sys_seconds time = sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
  return time.time_since_epoch().count();
}

TRecordDataChanges::TRecordDataChanges(const TArguments& Args) {
  for (const std::string& field : Args.Values("--field")) {
    const std::size_t equals = field.find('=');
    TField change{field.substr(0, equals), equals == std::string::npos ? std::string() : field.substr(equals + 1),
                  equals == std::string::npos};
    Attempt("cannot use the field '" + change.Name + "'",
            [&] { kl::TKLPassRecord().SetCustomField(Text(change.Name), Text(change.Value)); });
    FFields.push_back(std::move(change));
  }
  FRemovedFields = Args.Values("--remove-field");
  FTags = Args.Values("--tag");
  FUntags = Args.Values("--untag");
  std::vector<kl::String> tags;
  for (const std::string& tag : FTags) tags.push_back(Text(tag));
  Attempt("cannot use the tags", [&] { kl::TKLPassRecord().SetTags(tags); });
  if (const auto expires = Args.Value("--expires")) {
    FSetExpiry = true;
    FExpiry = *expires == "never" ? 0 : ParseVaultDate(*expires);
  }
  for (const std::string& file : Args.Values("--attach")) {
    FAttachments.emplace_back(BaseName(file), ReadAttachment(file));
    Attempt("cannot attach '" + file + "'", [&] {
      kl::TKLPassRecord().SetAttachment(Text(FAttachments.back().first), {});
    });
  }
  FDetached = Args.Values("--detach");
}

TRecordDataChanges::~TRecordDataChanges() {
  for (TField& field : FFields) kl::WipeRawBytes(field.Value);
  for (auto& attachment : FAttachments) kl::WipeBytes(attachment.second);
}

void TRecordDataChanges::Apply(kl::TKLPassRecord& Record) {
  for (const std::string& name : FRemovedFields) {
    if (!Record.DeleteCustomField(Text(name))) Fail(kExitNotFound, "the record has no field '" + name + "'");
  }
  for (TField& field : FFields) {
    kl::String value;
    if (field.Secret) {
      const TSecret secret = ReadSecret("Value of the field '" + field.Name + "'");
      value = secret.Get();
    } else {
      value = Text(field.Value);
    }
    Attempt("cannot set the field '" + field.Name + "'", [&] {
      Record.SetCustomField(Text(field.Name), value, field.Secret || IsSecretFieldName(field.Name));
    });
    kl::WipeString(value);
  }
  if (!FTags.empty() || !FUntags.empty()) {
    std::vector<kl::String> tags = Record.GetTags();
    for (const std::string& tag : FTags) tags.push_back(Text(tag));
    for (const std::string& tag : FUntags) std::erase(tags, Text(tag));
    Attempt("cannot set the tags", [&] { Record.SetTags(tags); });
  }
  if (FSetExpiry) {
    Record.SetExpires(FExpiry != 0);
    if (FExpiry != 0) Record.SetExpiryDate(FExpiry);
  }
  for (const std::string& name : FDetached) {
    if (!Record.DeleteAttachment(Text(name))) Fail(kExitNotFound, "the record has no attachment '" + name + "'");
  }
  // Named members, not a structured binding: clang before 16 cannot capture one in a lambda.
  for (const auto& attachment : FAttachments) {
    const std::string& name = attachment.first;
    const kl::ByteArray& bytes = attachment.second;
    Attempt("cannot attach '" + name + "'", [&] { Record.SetAttachment(Text(name), bytes); });
  }
}

void PrintRecordData(kl::TKLPassRecord& Record, bool Reveal) {
  std::printf("  uuid:      %s\n", Hex(Record.GetUuid()).c_str());
  if (Record.GetExpires()) std::printf("  expires:   %s\n", DateText(Record.GetExpiryDate()).c_str());
  if (!Record.GetTags().empty()) {
    std::string tags;
    for (const kl::String& tag : Record.GetTags()) tags += (tags.empty() ? "" : ", ") + Printable(tag);
    std::printf("  tags:      %s\n", tags.c_str());
  }
  for (kl::TKLPassField& field : Record.GetCustomFields()) {
    std::string value = field.Protected && !Reveal ? "******** (--reveal shows it)" : Printable(field.Value);
    std::printf("  field %s: %s\n", Printable(field.Name).c_str(), value.c_str());
    kl::WipeRawBytes(value);
    kl::WipeString(field.Value);
  }
  kl::ByteArray data;
  for (const kl::String& name : Record.GetAttachmentNames()) {
    Record.GetAttachment(name, data);
    std::printf("  attached:  %s (%zu bytes)\n", Printable(name).c_str(), data.size());
    kl::WipeBytes(data);
  }
}

std::string RecordDataJson(kl::TKLPassRecord& Record, bool Reveal) {
  std::string expires = "null";
  if (Record.GetExpires()) {
    std::string date = DateText(Record.GetExpiryDate());
    date[date.find(' ')] = 'T';
    expires = "\"" + date + "\"";
  }
  std::string json = ",\"uuid\":\"" + Hex(Record.GetUuid()) + "\",\"expires\":" + expires;
  json += ",\"tags\":[";
  bool first = true;
  for (const kl::String& tag : Record.GetTags()) {
    json.append(first ? "" : ",").append(JsonString(Utf8(tag)));
    first = false;
  }
  json += "],\"fields\":[";
  first = true;
  for (kl::TKLPassField& field : Record.GetCustomFields()) {
    json += std::string(first ? "" : ",") + "{\"name\":" + JsonString(Utf8(field.Name)) +
            ",\"protected\":" + (field.Protected ? "true" : "false");
    if (!field.Protected || Reveal) json += ",\"value\":" + JsonString(Utf8(field.Value));
    json += "}";
    kl::WipeString(field.Value);
    first = false;
  }
  json += "],\"attachments\":[";
  first = true;
  kl::ByteArray data;
  for (const kl::String& name : Record.GetAttachmentNames()) {
    Record.GetAttachment(name, data);
    json += std::string(first ? "" : ",") + "{\"name\":" + JsonString(Utf8(name)) +
            ",\"size\":" + std::to_string(data.size()) + "}";
    kl::WipeBytes(data);
    first = false;
  }
  return json + "]";
}

} // namespace klpass
