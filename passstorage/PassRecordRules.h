#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Types.h"
#include "passstorage/KLPassStorage.h"
#include "storage/StorageContent.h"

namespace kl::detail {

// The checks the record's setters make, shared with the loader, which holds a
// file to the same bounds as an application.
bool IsValidItemName(const String& Name) noexcept;
bool IsValidCustomField(const String& Name, const String& Value) noexcept;
bool IsValidTag(const String& Tag) noexcept;
// What a record's custom field values (two bytes per code unit) and
// attachments hold together, bounded by KLPassMaxRecordBytes.
template <class TFields, class TAttachments>
std::size_t HeldBytes(const TFields& Fields, const TAttachments& Attachments) noexcept {
  std::size_t size = 0;
  for (const auto& field : Fields) size += 2 * field.Value.size();
  for (const auto& attachment : Attachments) size += attachment.Data->size();
  return size;
}
// The bytes of Text in UTF-8, an unpaired surrogate counted as U+FFFD.
std::size_t UTF8Size(std::u16string_view Text) noexcept;

// The leaves under a record's key that carry its custom fields, tags, expiry
// and attachments (each N counts from 1, written without leading zeros):
//   /field.N/name  text     /field.N/value  text     /field.N/protected  bool
//   /tag.N         text     /expires        bool     /expiry             long
//   /attach.N/name text     /attach.N/data  bytes, the first 65,535; then
//   /attach.N/data.K (K from 2) for each further 65,535 bytes; in a version,
//   /attach.N/same   long, instead of the data: the attachment whose bytes
//                    it shares (see TAttachmentRef).
//   /ldate           long: the location-change time, written when not 0.
// Bytes of one attachment piece, and the most pieces one attachment takes.
inline constexpr std::size_t kAttachmentPieceSize = 0xFFFF;
inline constexpr std::uint32_t kMaxAttachmentPieces =
    static_cast<std::uint32_t>((KLPassMaxAttachmentSize + kAttachmentPieceSize - 1) / kAttachmentPieceSize);

// An attachment shared by a version with the record or an earlier version:
// the version's number M (0 for the record itself) times 2^32 plus the
// attachment's number K there (both from 1 as written, M from 0).
inline std::int64_t AttachmentRef(std::uint32_t Version, std::uint32_t Attachment) noexcept {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(Version) << 32) | Attachment);
}
// The bytes of the attachment a reference names; raises SStorageCorrupted
// for one that names nothing loaded before.
using TAttachmentResolver = std::function<std::shared_ptr<const SecureBytes>(std::int64_t)>;

// Collects those leaves of one record as a load meets them, then checks them
// against the setters' bounds and hands them to the record, or raises
// EKLPassStorageException (SStorageCorrupted) for a leaf of the wrong type, a
// number out of bounds or a gap, a field without name or value, a name met
// twice, or anything a setter would refuse. Wipes what it holds.
class TPendingExtras {
public:
  ~TPendingExtras();
  // False when Leaf is none of the leaves above (a reader skips it).
  bool Take(std::string_view Leaf, const TRecordView& Value);
  // Resolve answers the references of a version's attachments; a record
  // without one refuses them.
  void Apply(TKLPassRecord& Rec, const TAttachmentResolver& Resolve = nullptr);

  struct TPart {
    std::uint32_t Number = 0;
    std::uint32_t Piece = 0; // fields: 0 name, 1 value, 2 flag; attachments: 0 name, K data piece K
    String Text;
    ByteArray Bytes;
    bool Flag = false;
    std::int64_t Ref = 0; // an attachment's reference (/same)
  };

private:
  void ApplyFields(TKLPassRecord& Rec);
  void ApplyTags(TKLPassRecord& Rec);
  void ApplyAttachments(TKLPassRecord& Rec, const TAttachmentResolver& Resolve);

  std::vector<TPart> FFields;
  std::vector<TPart> FTags;
  std::vector<TPart> FAttachments;
  bool FHasExpires = false;
  bool FExpires = false;
  bool FHasExpiry = false;
  std::int64_t FExpiry = 0;
  bool FHasLocation = false;
  std::int64_t FLocation = 0;
};

} // namespace kl::detail
