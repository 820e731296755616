#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"
#include "passstorage/PassRecordRules.h"
#include "storage/KLStorage.h"

namespace kl::detail {

namespace {

[[noreturn]] void RaiseCorrupted() { throw EKLPassStorageException(SStorageCorrupted); }

// A number from 1 to Max written without leading zeros, the whole of Digits;
// 0 otherwise.
std::uint32_t ParseNumber(std::string_view Digits, std::uint32_t Max) noexcept {
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), number);
  if (Digits.empty() || error != std::errc() || end != Digits.data() + Digits.size() || Digits[0] == '0' ||
      number < 1 || number > Max) {
    return 0;
  }
  return number;
}

// Splits "<prefix>N<rest>" into N (1 to Max) and rest, which starts at the
// first "/" after the prefix or is empty. Raises for a bad number: a leaf of
// ours that cannot be read is damage, not something to skip.
std::uint32_t SplitNumbered(std::string_view Leaf, std::size_t Prefix, std::uint32_t Max, std::string_view& Rest) {
  const std::size_t slash = Leaf.find('/', Prefix);
  const std::string_view digits = Leaf.substr(Prefix, slash == std::string_view::npos ? slash : slash - Prefix);
  Rest = slash == std::string_view::npos ? std::string_view() : Leaf.substr(slash);
  const std::uint32_t number = ParseNumber(digits, Max);
  if (number == 0) RaiseCorrupted();
  return number;
}

String TextOf(const TRecordView& Value) {
  if (Value.Type != vtString) RaiseCorrupted();
  return UTF8ToStr(Value.Counted(), Value.CountedSize());
}

bool FlagOf(const TRecordView& Value) {
  if (Value.Type != vtBool || Value.Data()[0] > 1) RaiseCorrupted();
  return Value.Bool();
}

// Sorts parts by number, then piece; of parts with the same number and piece
// the first met stays first and the later ones are dropped, as a lookup of
// the key would find the first.
template <class TPart> void SortParts(std::vector<TPart>& Parts) {
  std::stable_sort(Parts.begin(), Parts.end(), [](const TPart& A, const TPart& B) {
    return A.Number != B.Number ? A.Number < B.Number : A.Piece < B.Piece;
  });
}

template <class TPart> bool SameSlot(const TPart& A, const TPart& B) noexcept {
  return A.Number == B.Number && A.Piece == B.Piece;
}

constexpr std::string_view kFieldLeaf = "/field.";
constexpr std::string_view kTagLeaf = "/tag.";
constexpr std::string_view kAttachLeaf = "/attach.";
constexpr std::string_view kDataPieceLeaf = "/data.";
constexpr std::string_view kValuePieceLeaf = "/value.";
// A field's parts: its name is piece 0, its value pieces 1 to K, and its
// protected flag sorts after them all.
constexpr std::uint32_t kFlagPiece = 0xFFFFFFFF;
// An attachment's reference sorts after its name and any data piece.
constexpr std::uint32_t kSamePiece = 0xFFFFFFFF;
// A value's pieces hold 21,845 code units each at least (a piece holds as
// many as fit three bytes each in one stored value, less one to keep a
// surrogate pair whole), so a value of the most bytes needs no more than
// these.
constexpr std::uint32_t kMaxFieldValuePieces =
    static_cast<std::uint32_t>(KLPassMaxFieldValueBytes / (KLStorageMaxFieldSize / 3 - 1) + 2);

} // namespace

TPendingExtras::~TPendingExtras() {
  for (auto* parts : {&FFields, &FTags, &FAttachments}) {
    for (TPart& part : *parts) {
      WipeString(part.Text);
      WipeBytes(part.Bytes);
    }
  }
}

bool TPendingExtras::Take(std::string_view Leaf, const TRecordView& Value) {
  std::string_view rest;
  if (Leaf == "/expires") {
    if (!FHasExpires) FExpires = FlagOf(Value);
    FHasExpires = true;
  } else if (Leaf == "/ldate") {
    if (Value.Type != vtLong) RaiseCorrupted();
    if (!FHasLocation) FLocation = Value.Long();
    FHasLocation = true;
  } else if (Leaf == "/expiry") {
    if (Value.Type != vtLong) RaiseCorrupted();
    if (!FHasExpiry) FExpiry = Value.Long();
    FHasExpiry = true;
  } else if (Leaf.starts_with(kTagLeaf)) {
    const std::uint32_t number = SplitNumbered(Leaf, kTagLeaf.size(), KLPassMaxTags, rest);
    if (!rest.empty()) RaiseCorrupted();
    FTags.push_back(TPart{number, 0, TextOf(Value), {}, false});
  } else if (Leaf.starts_with(kFieldLeaf)) {
    const auto number = SplitNumbered(Leaf, kFieldLeaf.size(), KLPassMaxCustomFields, rest);
    if (rest == "/name") {
      FFields.push_back(TPart{number, 0, TextOf(Value), {}, false});
    } else if (rest == "/value") {
      FFields.push_back(TPart{number, 1, TextOf(Value), {}, false});
    } else if (rest.starts_with(kValuePieceLeaf)) {
      // A value longer than one stored value holds, in pieces from 2 on.
      const std::uint32_t piece = ParseNumber(rest.substr(kValuePieceLeaf.size()), kMaxFieldValuePieces);
      if (piece < 2) RaiseCorrupted();
      FFields.push_back(TPart{number, piece, TextOf(Value), {}, false});
    } else if (rest == "/protected") {
      FFields.push_back(TPart{number, kFlagPiece, {}, {}, FlagOf(Value)});
    } else {
      RaiseCorrupted();
    }
  } else if (Leaf.starts_with(kAttachLeaf)) {
    const auto number = SplitNumbered(Leaf, kAttachLeaf.size(), KLPassMaxAttachments, rest);
    std::uint32_t piece = 0;
    if (rest == "/name") {
      FAttachments.push_back(TPart{number, 0, TextOf(Value), {}, false});
      return true;
    }
    if (rest == "/same") {
      if (Value.Type != vtLong) RaiseCorrupted();
      FAttachments.push_back(TPart{number, kSamePiece, {}, {}, false, Value.Long()});
      return true;
    }
    if (rest == "/data") {
      piece = 1;
    } else if (rest.starts_with(kDataPieceLeaf)) {
      piece = ParseNumber(rest.substr(kDataPieceLeaf.size()), kMaxAttachmentPieces);
    }
    if (piece == 0 || (piece == 1 && rest != "/data") || Value.Type != vtBlob) RaiseCorrupted();
    FAttachments.push_back(TPart{number, piece, {}, ByteArray(Value.Counted(), Value.Counted() + Value.CountedSize()), false});
  } else {
    return false;
  }
  return true;
}

void TPendingExtras::Apply(TKLPassRecord& Rec, const TAttachmentResolver& Resolve) {
  // Reserved first: growing the lists would move values without wiping.
  Rec.FCustomFields.reserve(FFields.size());
  Rec.FAttachments.reserve(FAttachments.size());
  ApplyFields(Rec);
  ApplyTags(Rec);
  ApplyAttachments(Rec, Resolve);
  if (HeldBytes(Rec.FCustomFields, Rec.FAttachments) > KLPassMaxRecordBytes) RaiseCorrupted();
  Rec.FExpires = FExpires;
  Rec.FExpiryDate = FExpiry;
  Rec.FLocationChangeDate = FLocation;
}

// Each group of parts with one number, in order; the parts of a group are
// sorted by piece, and of the same piece only the first met is kept. A gap
// in the numbers raises.
template <class TVisit> void ForEachNumbered(std::vector<TPendingExtras::TPart>& Parts, TVisit Visit) {
  SortParts(Parts);
  std::vector<TPendingExtras::TPart*> group;
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < Parts.size();) {
    if (Parts[i].Number != ++number) RaiseCorrupted();
    group.clear();
    for (; i < Parts.size() && Parts[i].Number == number; ++i) {
      if (group.empty() || !SameSlot(*group.back(), Parts[i])) group.push_back(&Parts[i]);
    }
    Visit(group);
  }
}

// The values go straight into the record, which a failed load destroys and
// so wipes.
void TPendingExtras::ApplyFields(TKLPassRecord& Rec) {
  ForEachNumbered(FFields, [&](const std::vector<TPart*>& Group) {
    // Name (piece 0) and value (pieces 1, 2... without a gap) are required;
    // the flag is not.
    if (Group.size() < 2 || Group[0]->Piece != 0 || Group[1]->Piece != 1) RaiseCorrupted();
    const bool flagged = Group.back()->Piece == kFlagPiece;
    const std::size_t values = Group.size() - 1 - (flagged ? 1 : 0);
    std::size_t units = 0;
    for (std::size_t k = 1; k <= values; ++k) {
      if (Group[k]->Piece != k) RaiseCorrupted();
      units += Group[k]->Text.size();
    }
    TKLPassField& field = Rec.FCustomFields.emplace_back();
    field.Name = std::move(Group[0]->Text);
    if (values == 1) {
      field.Value = std::move(Group[1]->Text);
    } else {
      // Sized once, so that no piece of the value is moved unwiped.
      field.Value.reserve(units);
      for (std::size_t k = 1; k <= values; ++k) field.Value += Group[k]->Text;
    }
    field.Protected = flagged && Group.back()->Flag;
    if (!IsValidCustomField(field.Name, field.Value)) RaiseCorrupted();
    for (std::size_t j = 0; j + 1 < Rec.FCustomFields.size(); ++j) {
      if (Rec.FCustomFields[j].Name == field.Name) RaiseCorrupted();
    }
  });
}

void TPendingExtras::ApplyTags(TKLPassRecord& Rec) {
  ForEachNumbered(FTags, [&](const std::vector<TPart*>& Group) {
    String& tag = Group[0]->Text;
    if (!IsValidTag(tag) || std::find(Rec.FTags.begin(), Rec.FTags.end(), tag) != Rec.FTags.end()) RaiseCorrupted();
    Rec.FTags.push_back(std::move(tag));
  });
}

// Each attachment is a name (piece 0) and data pieces 1, 2, ... without a
// gap, every one but the last full. The size is known before the bytes are
// copied, so they are never moved unwiped.
void TPendingExtras::ApplyAttachments(TKLPassRecord& Rec, const TAttachmentResolver& Resolve) {
  ForEachNumbered(FAttachments, [&](const std::vector<TPart*>& Group) {
    if (Group.size() < 2 || Group[0]->Piece != 0) RaiseCorrupted();
    if (Group.back()->Piece == kSamePiece) {
      // A shared attachment: a name and the reference, nothing else.
      if (Group.size() != 2 || !Resolve || !IsValidItemName(Group[0]->Text)) RaiseCorrupted();
      std::shared_ptr<const SecureBytes> data = Resolve(Group[1]->Ref);
      for (const TKLPassRecord::TAttachment& other : Rec.FAttachments) {
        if (other.Name == Group[0]->Text) RaiseCorrupted();
      }
      TKLPassRecord::TAttachment& attachment = Rec.FAttachments.emplace_back();
      attachment.Name = std::move(Group[0]->Text);
      attachment.Data = std::move(data);
      return;
    }
    std::size_t size = 0;
    for (std::size_t k = 1; k < Group.size(); ++k) {
      if (Group[k]->Piece != k || (k + 1 < Group.size() && Group[k]->Bytes.size() != kAttachmentPieceSize)) {
        RaiseCorrupted();
      }
      size += Group[k]->Bytes.size();
    }
    if (size > KLPassMaxAttachmentSize || !IsValidItemName(Group[0]->Text)) RaiseCorrupted();
    for (const TKLPassRecord::TAttachment& other : Rec.FAttachments) {
      if (other.Name == Group[0]->Text) RaiseCorrupted();
    }
    auto data = std::make_shared<SecureBytes>();
    data->Get().reserve(size);
    for (std::size_t k = 1; k < Group.size(); ++k) {
      data->Get().insert(data->Get().end(), Group[k]->Bytes.begin(), Group[k]->Bytes.end());
    }
    TKLPassRecord::TAttachment& attachment = Rec.FAttachments.emplace_back();
    attachment.Name = std::move(Group[0]->Text);
    attachment.Data = std::move(data);
  });
}

} // namespace kl::detail
