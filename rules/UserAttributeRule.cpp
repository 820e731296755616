#include "rules/KLUserAttributeRule.h"

#include <algorithm>
#include <unordered_map>

#include "foundation/KLGeneral.h"
#include "foundation/SecureMemory.h"
#include "rules/KLBlocklist.h"
#include "rules/KLRuleFailures.h"

namespace kl {

namespace {

constexpr std::size_t kMinWholeContained = 3;
constexpr std::size_t kMinPartContained = 4;

// Letters, digits and the underscore hold a part together; any other ASCII
// character splits. Characters beyond ASCII are taken as letters.
bool IsWordChar(Char C) noexcept {
  return C >= 0x80 || (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z') || (C >= u'0' && C <= u'9') || C == u'_';
}

std::vector<String> SplitParts(const String& Value) {
  std::vector<String> parts;
  String part;
  for (const Char c : Value) {
    if (IsWordChar(c)) {
      part.push_back(c);
    } else if (!part.empty()) {
      parts.push_back(std::move(part));
      part.clear();
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

// The characters two texts have in common, each counted as often as it
// stands in both.
std::size_t CommonCharacters(const String& A, const String& B) {
  std::unordered_map<Char, std::size_t> counts;
  for (const Char c : B) ++counts[c];
  std::size_t common = 0;
  for (const Char c : A) {
    const auto found = counts.find(c);
    if (found != counts.end() && found->second > 0) {
      --found->second;
      ++common;
    }
  }
  return common;
}

bool TooSimilar(const String& Password, const String& Part, double MaxSimilarity) {
  const auto passwordLength = static_cast<double>(Password.size());
  const auto partLength = static_cast<double>(Part.size());
  // Such a part can never reach the bound, however it matches.
  if (passwordLength >= 10 * partLength && partLength < MaxSimilarity / 2 * passwordLength) return false;
  // Rounded to a double before it is compared, as Django's ratio is: where
  // the FPU keeps more precision (x87, 32-bit x86), 8/10 would otherwise fall
  // just below the double 0.8 and a ratio at the bound pass.
  volatile double ratio = 2.0 * static_cast<double>(CommonCharacters(Password, Part)) / (passwordLength + partLength);
  return ratio >= MaxSimilarity;
}

} // namespace

TKLUserAttributeRule::TKLUserAttributeRule(std::vector<TKLUserAttribute> Attributes, double MaxSimilarity)
    : FAttributes(std::move(Attributes)), FMaxSimilarity(MaxSimilarity) {
  if (!(MaxSimilarity >= 0.1 && MaxSimilarity <= 1.0)) throw EKLException(SInvalidMaxSimilarity);
  FPrepared.reserve(FAttributes.size());
  for (const TKLUserAttribute& attribute : FAttributes) {
    const String whole = BlocklistForm(attribute.Value);
    if (whole.empty()) continue;
    TPrepared prepared{&attribute, {}};
    for (String& part : SplitParts(whole)) {
      if (part != whole) prepared.Parts.push_back({std::move(part), false});
    }
    prepared.Parts.push_back({whole, true});
    FPrepared.push_back(std::move(prepared));
  }
}

TKLUserAttributeRule::~TKLUserAttributeRule() = default;

const TKLUserAttribute* TKLUserAttributeRule::Match(const String& Password) const {
  String form = BlocklistForm(Password);
  const TKLUserAttribute* found = nullptr;
  for (const TPrepared& prepared : FPrepared) {
    for (const TPart& part : prepared.Parts) {
      const std::size_t containable = part.Whole ? kMinWholeContained : kMinPartContained;
      const bool contained = part.Text.size() >= containable && form.find(part.Text) != String::npos;
      if (contained || TooSimilar(form, part.Text, FMaxSimilarity)) {
        found = prepared.Attribute;
        break;
      }
    }
    if (found) break;
  }
  WipeString(form);
  return found;
}

bool TKLUserAttributeRule::Validate(const String& Password) const { return Match(Password) == nullptr; }

void TKLUserAttributeRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (const TKLUserAttribute* attribute = Match(Password)) {
    Failures.emplace_back(kTooSimilar).AddText("attribute", attribute->Name);
  }
}

} // namespace kl
