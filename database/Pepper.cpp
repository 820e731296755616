#include <utility>

#include "crypto/KLHMAC.h"
#include "database/KLPepper.h"
#include "foundation/Convert.h"
#include "foundation/SecureMemory.h"
#include "foundation/StringList.h"

namespace kl {

EKLPepperError::~EKLPepperError() = default;
EKLPepperMismatchError::~EKLPepperMismatchError() = default;

namespace {

// What a key's check value is the MAC of; never changed, or every stored check
// value would stop matching its key.
constexpr char kCheckLabel[] = "KLPasswordSDK pepper key check v1";

[[noreturn]] void RaiseBadLine(std::size_t Line) {
  throw EKLPepperError(std::string(SInvalidPepperKeys) + ": line " + std::to_string(Line));
}

bool IsBlankOrComment(const String& Line) {
  const std::size_t first = Line.find_first_not_of(u" \t");
  return first == String::npos || Line[first] == u'#';
}

// Every line holds a key or its hex: all of them are wiped, whatever happens.
std::shared_ptr<const TKLPepper> FromLines(std::vector<String>& Lines) {
  auto pepper = std::make_shared<TKLPepper>();
  try {
    for (std::size_t i = 0; i < Lines.size(); ++i) {
      const String& line = Lines[i];
      if (IsBlankOrComment(line)) continue;
      const std::size_t space = line.find(u' ');
      if (space == String::npos) RaiseBadLine(i + 1);
      const String id = line.substr(0, space);
      String hex = line.substr(space + 1);
      while (!hex.empty() && (hex.back() == u' ' || hex.back() == u'\t')) hex.pop_back();
      ByteArray key;
      try {
        key = HexStrToBytes(hex);
      } catch (const EConvertError&) {
        WipeString(hex);
        RaiseBadLine(i + 1);
      }
      WipeString(hex);
      try {
        pepper->Add(id, key);
      } catch (const EKLPepperError&) {
        WipeBytes(key);
        RaiseBadLine(i + 1);
      }
      WipeBytes(key);
    }
  } catch (...) {
    for (String& line : Lines) WipeString(line);
    throw;
  }
  for (String& line : Lines) WipeString(line);
  if (pepper->GetCount() == 0) throw EKLPepperError(std::string(SInvalidPepperKeys) + ": no key");
  return pepper;
}

} // namespace

TKLPepper::~TKLPepper() {
  for (TKey& key : FKeys) WipeBytes(key.Key);
}

std::shared_ptr<const TKLPepper> TKLPepper::FromText(const String& Text) {
  TStringList list;
  list.SetText(Text);
  std::vector<String> lines = list.TakeLines();
  return FromLines(lines);
}

std::shared_ptr<const TKLPepper> TKLPepper::FromFile(const String& FileName) {
  TStringList list;
  list.SetMaxFileSize(KLPepperMaxFileSize);
  list.LoadFromFile(FileName, true);
  std::vector<String> lines = list.TakeLines();
  return FromLines(lines);
}

bool TKLPepper::IsValidID(const String& ID) noexcept {
  if (ID.empty() || ID.size() > KLPepperMaxIDLength) return false;
  for (const Char c : ID) {
    const bool ok =
        (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
    if (!ok) return false;
  }
  return true;
}

void TKLPepper::Add(const String& ID, const ByteArray& Key) {
  if (!IsValidID(ID) || Key.size() < KLPepperMinKeySize || Key.size() > KLPepperMaxKeySize || Contains(ID)) {
    throw EKLPepperError(SInvalidPepperKeys);
  }
  FKeys.push_back(TKey{ID, Key});
}

const String& TKLPepper::GetCurrentID() const {
  if (FKeys.empty()) throw EKLPepperError(std::string(SInvalidPepperKeys) + ": no key");
  return FKeys.front().ID;
}

bool TKLPepper::Contains(const String& ID) const noexcept {
  for (const TKey& key : FKeys) {
    if (key.ID == ID) return true;
  }
  return false;
}

TMessageDigest256 TKLPepper::Apply(const String& ID, const std::uint8_t* Data, std::size_t Size) const {
  for (const TKey& key : FKeys) {
    if (key.ID != ID) continue;
    TMACSHA256Context context;
    MAC256Initialize(context, key.Key);
    MAC256Update(context, Data, static_cast<std::int32_t>(Size));
    const TMessageDigest256 digest = MAC256Finalize(context);
    SecureZeroObject(context);
    return digest;
  }
  throw EKLPepperError(SPepperKeyNotLoaded);
}

String TKLPepper::CheckValue(const String& ID) const {
  TMessageDigest256 digest = Apply(ID, reinterpret_cast<const std::uint8_t*>(kCheckLabel), sizeof kCheckLabel - 1);
  String text = BytesToHexStr(DigestToBytes(digest));
  SecureZeroObject(digest);
  return text;
}

} // namespace kl
