#include "passstorage/KLPassAudit.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "crypto/KLHMAC.h"
#include "foundation/Clock.h"
#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "rules/KLBlocklist.h"
#include "rules/KLStrength.h"

namespace kl {

namespace {

constexpr std::size_t kAuditKeySize = 32;
constexpr std::int64_t kSecondsPerDay = 86400;

// The digests of the passwords, keyed for this audit only, wiped when done.
class TPasswordDigests {
public:
  explicit TPasswordDigests(TKLBaseRandomGenerator& Random) : FKey(kAuditKeySize) {
    Random.Generate(FKey.data(), static_cast<std::int32_t>(FKey.size()));
  }
  ~TPasswordDigests() {
    SecureZero(FKey.data(), FKey.size());
    for (auto& [digest, records] : FGroups) SecureZero(const_cast<char*>(digest.data()), digest.size());
  }
  TPasswordDigests(const TPasswordDigests&) = delete;
  TPasswordDigests& operator=(const TPasswordDigests&) = delete;

  void Add(const String& Password, std::int32_t Index) {
    RawByteString utf8 = StrToUTF8(Password);
    ByteArray data(utf8.begin(), utf8.end());
    WipeRawBytes(utf8);
    TMessageDigest256 mac = MAC256Calculate(data, FKey);
    SecureZero(data.data(), data.size());
    std::string digest(reinterpret_cast<const char*>(&mac), sizeof mac);
    SecureZeroObject(mac);
    FGroups[digest].push_back(Index);
    SecureZero(digest.data(), digest.size());
  }

  // Each password's records, where more than one record has it.
  std::vector<std::vector<std::int32_t>> Shared() const {
    std::vector<std::vector<std::int32_t>> shared;
    for (const auto& [digest, records] : FGroups) {
      if (records.size() > 1) shared.push_back(records);
    }
    return shared;
  }

private:
  ByteArray FKey;
  std::unordered_map<std::string, std::vector<std::int32_t>> FGroups;
};

std::int64_t LastChange(const TKLPassRecord& Rec) noexcept {
  return Rec.GetModificationDate() != 0 ? Rec.GetModificationDate() : Rec.GetCreationDate();
}

} // namespace

TKLAuditReport AuditPassRecords(TKLPassStorage& Store, const TKLAuditOptions& Options) {
  const std::int64_t now = Options.Now != 0 ? Options.Now : NowUnixSeconds();
  TKLAuditReport report;
  report.Records = Store.GetCount();
  std::vector<TKLAuditEntry> all(static_cast<std::size_t>(Store.GetCount()));
  TPasswordDigests digests(*Store.GetRandomGenerator());
  TKLStrengthEstimator estimator;
  for (std::int32_t i = 0; i < Store.GetCount(); ++i) {
    if (Options.Progress && i % 64 == 0) Options.Progress(i, Store.GetCount());
    TKLPassRecord& rec = *Store.GetRecord(i);
    TKLAuditEntry& entry = all[static_cast<std::size_t>(i)];
    entry.Index = i;
    entry.AgeDays = (now - LastChange(rec)) / kSecondsPerDay;
    if (Options.MaxAgeDays > 0 && entry.AgeDays > Options.MaxAgeDays) entry.Findings |= afOld;
    String password = rec.GetPassword();
    if (password.empty()) {
      entry.Findings |= afNoPassword;
      continue;
    }
    digests.Add(password, i);
    estimator.SetUserInputs({rec.GetTitle(), rec.GetUsername()});
    entry.Score = estimator.Estimate(password).Score;
    if (entry.Score < Options.MinScore) entry.Findings |= afWeak;
    if (IsCommonPassword(password) || (Options.Blocklist != nullptr && Options.Blocklist->Contains(password))) {
      entry.Findings |= afBlocklisted;
    }
    WipeString(password);
  }
  if (Options.Progress) Options.Progress(Store.GetCount(), Store.GetCount());
  for (const std::vector<std::int32_t>& records : digests.Shared()) {
    for (const std::int32_t index : records) {
      TKLAuditEntry& entry = all[static_cast<std::size_t>(index)];
      entry.Findings |= afReused;
      std::copy_if(records.begin(), records.end(), std::back_inserter(entry.SameAs),
                   [&](std::int32_t Other) { return Other != index; });
      std::sort(entry.SameAs.begin(), entry.SameAs.end());
    }
  }
  for (TKLAuditEntry& entry : all) {
    if (entry.Findings == 0) continue;
    report.Weak += (entry.Findings & afWeak) ? 1 : 0;
    report.Reused += (entry.Findings & afReused) ? 1 : 0;
    report.Blocklisted += (entry.Findings & afBlocklisted) ? 1 : 0;
    report.Old += (entry.Findings & afOld) ? 1 : 0;
    report.NoPassword += (entry.Findings & afNoPassword) ? 1 : 0;
    report.Entries.push_back(std::move(entry));
  }
  return report;
}

} // namespace kl
