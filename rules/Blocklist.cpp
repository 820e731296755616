#include <algorithm>
#include <random>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "crypto/SHA1.h"
#include "foundation/AtomicFile.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/KLNormalize.h"
#include "foundation/ReadOnlyFile.h"
#include "foundation/SecureMemory.h"
#include "foundation/StringList.h"
#include "rules/BinaryFuseFilter.h"
#include "rules/KLBlocklist.h"

namespace kl {

namespace detail {
extern const std::string_view kCommonPasswordsText;
}

namespace {

// The compiled file, little-endian throughout (docs/formats/blocklist.md).
constexpr char kMagic[4] = {'K', 'L', 'B', 'F'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint16_t kFingerprintBits = 16;
constexpr std::uint32_t kFlagHashes = 1;
constexpr std::uint32_t kFlagPasswords = 2;
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kShardRecordSize = 32;
constexpr std::uint32_t kMaxShards = 1u << 20;
// Keys a shard is built from: small enough that building one takes about
// 130 MB, large enough that the shard table stays small.
constexpr std::uint64_t kShardTargetKeys = std::uint64_t{1} << 22;

constexpr const char16_t* kCommonListName = u"common passwords";
constexpr const char16_t* kOwnWordsName = u"forbidden words";

bool IsTrimmedSpace(Char C) noexcept {
  return (C >= 0x09 && C <= 0x0D) || C == 0x20 || C == 0x85 || C == 0xA0 || C == 0x1680 ||
         (C >= 0x2000 && C <= 0x200A) || C == 0x2028 || C == 0x2029 || C == 0x202F || C == 0x205F || C == 0x3000 ||
         C == 0xFEFF;
}

Char FoldCase(Char C) noexcept {
  if ((C >= u'A' && C <= u'Z') || (C >= 0xC0 && C <= 0xDE && C != 0xD7)) return static_cast<Char>(C + 0x20);
  if ((C >= 0x391 && C <= 0x3A9 && C != 0x3A2) || (C >= 0x410 && C <= 0x42F)) return static_cast<Char>(C + 0x20);
  if (C >= 0x400 && C <= 0x40F) return static_cast<Char>(C + 0x50);
  return C;
}

String Trimmed(const String& Text) {
  std::size_t first = 0, last = Text.size();
  while (first < last && IsTrimmedSpace(Text[first])) ++first;
  while (last > first && IsTrimmedSpace(Text[last - 1])) --last;
  return Text.substr(first, last - first);
}

std::uint64_t KeyOfDigest(const std::uint8_t* Digest) noexcept {
  std::uint64_t key = 0;
  for (int i = 0; i < 8; ++i) key = key << 8 | Digest[i];
  return key;
}

// The key of a password: the first 8 bytes of the SHA-1 of its UTF-8 form.
std::uint64_t KeyOfText(const String& Text) {
  RawByteString utf8 = StrToUTF8(Text);
  std::uint8_t digest[kSHA1DigestSize];
  detail::SHA1(utf8.data(), utf8.size(), digest);
  WipeRawBytes(utf8);
  const std::uint64_t key = KeyOfDigest(digest);
  SecureZero(digest, sizeof(digest));
  return key;
}

int HexValue(char C) noexcept {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// "HASH" or "HASH:COUNT": 40 hex digits, then optionally a colon and digits.
bool ParseHashLine(std::string_view Line, std::uint8_t (&Digest)[kSHA1DigestSize]) noexcept {
  if (Line.size() < 2 * kSHA1DigestSize) return false;
  for (std::size_t i = 0; i < kSHA1DigestSize; ++i) {
    const int high = HexValue(Line[2 * i]), low = HexValue(Line[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    Digest[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  const std::string_view rest = Line.substr(2 * kSHA1DigestSize);
  if (rest.empty()) return true;
  return rest.size() > 1 && rest[0] == ':' &&
         std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Lists come from users: a FIFO or a device named as one must not make the
// reader wait for ever or read without end.
void RequireRegularFile(const String& FileName) {
  const std::filesystem::path path(FileName);
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!error && status.type() != std::filesystem::file_type::regular) {
    throw EFOpenError("Cannot open file \"" + NativeFileName(FileName) + "\": not a regular file");
  }
}

// Calls Visit with each line of the file, without its line break, and the
// line's number; reads in blocks, so files of any size pass in bounded memory.
template <class TVisit>
void ForEachLine(const String& FileName, TVisit Visit,
                 const std::function<void(std::uint64_t, std::uint64_t)>& Progress = {}) {
  TFileStream stream(FileName, fmOpenRead);
  constexpr std::int32_t kBlock = 1 << 20;
  const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, stream.GetSize()));
  std::uint64_t read = 0;
  std::string buffer;
  std::string carry;
  std::uint64_t number = 0;
  buffer.resize(kBlock);
  for (;;) {
    const std::int32_t got = stream.Read(buffer.data(), kBlock);
    if (got <= 0) break;
    read += static_cast<std::uint64_t>(got);
    if (Progress) Progress(std::min(read, size), size);
    std::string_view block(buffer.data(), static_cast<std::size_t>(got));
    while (!block.empty()) {
      const std::size_t end = block.find('\n');
      if (end == std::string_view::npos) {
        carry.append(block);
        if (carry.size() > kBlocklistMaxLineSize) throw EKLBlocklistError(SBlocklistLineTooLong);
        break;
      }
      std::string_view line = block.substr(0, end);
      if (!carry.empty()) {
        carry.append(line);
        line = carry;
      }
      if (line.size() > kBlocklistMaxLineSize + 1) throw EKLBlocklistError(SBlocklistLineTooLong);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Visit(line, ++number);
      carry.clear();
      block.remove_prefix(end + 1);
    }
  }
  if (!carry.empty()) {
    std::string_view line = carry;
    if (line.back() == '\r') line.remove_suffix(1);
    Visit(line, ++number);
  }
}

// The first bytes of the file, up to Size of them.
std::string ReadHead(const String& FileName, std::size_t Size) {
  RequireRegularFile(FileName);
  TFileStream stream(FileName, fmOpenRead);
  std::string head(Size, '\0');
  std::size_t got = 0;
  while (got < Size) {
    const std::int32_t n = stream.Read(head.data() + got, static_cast<std::int32_t>(Size - got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  head.resize(got);
  return head;
}

TKLBlocklistFormat DetectFormat(const String& FileName) {
  std::string_view head;
  const std::string bytes = ReadHead(FileName, kBlocklistMaxLineSize + 2);
  head = bytes;
  while (!head.empty() && (head.front() == '\n' || head.front() == '\r')) head.remove_prefix(1);
  std::string_view line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::uint8_t digest[kSHA1DigestSize];
  return ParseHashLine(line, digest) ? TKLBlocklistFormat::bfSHA1Hashes : TKLBlocklistFormat::bfPasswords;
}

void PutLE(std::uint8_t* Out, std::uint64_t Value, int Bytes) noexcept {
  for (int i = 0; i < Bytes; ++i) Out[i] = static_cast<std::uint8_t>(Value >> (8 * i));
}

std::uint64_t GetLE(const std::uint8_t* In, int Bytes) noexcept {
  std::uint64_t value = 0;
  for (int i = Bytes; i-- > 0;) value = value << 8 | In[i];
  return value;
}

constexpr std::uint64_t AlignTo8(std::uint64_t Size) noexcept { return (Size + 7) & ~std::uint64_t{7}; }

std::uint32_t ShardOf(std::uint64_t Key, std::size_t ShardCount) noexcept {
  return static_cast<std::uint32_t>(detail::MulHi64(Key, ShardCount));
}

void WriteAll(TStream& Stream, const void* Data, std::uint64_t Size) {
  const auto* bytes = static_cast<const std::uint8_t*>(Data);
  constexpr std::uint64_t kChunk = 1 << 30;
  for (std::uint64_t done = 0; done < Size; done += kChunk) {
    Stream.WriteBuffer(bytes + done, static_cast<std::int32_t>(std::min(kChunk, Size - done)));
  }
}

// The library's common passwords, sorted once on first use for binary search.
const std::vector<std::string_view>& CommonPasswords() {
  static const std::vector<std::string_view> sorted = [] {
    std::vector<std::string_view> words;
    std::string_view text = detail::kCommonPasswordsText;
    while (!text.empty()) {
      const std::size_t end = std::min(text.find('\n'), text.size());
      if (end > 0) words.push_back(text.substr(0, end));
      text.remove_prefix(std::min(end + 1, text.size()));
    }
    std::sort(words.begin(), words.end());
    return words;
  }();
  return sorted;
}

} // namespace

EKLBlocklistError::~EKLBlocklistError() = default;

// NFKC first: a password that normalises to a listed one is hashed, and so
// accepted at sign-in, as that one.
String BlocklistForm(const String& Password) {
  String normal = NormalizePassword(Password);
  String form = Trimmed(normal);
  WipeString(normal);
  for (Char& c : form) c = FoldCase(c);
  return form;
}

bool IsCommonPassword(const String& Password) {
  RawByteString utf8 = StrToUTF8(BlocklistForm(Password));
  const auto& words = CommonPasswords();
  const bool found = std::binary_search(words.begin(), words.end(), std::string_view(utf8));
  WipeRawBytes(utf8);
  return found;
}

// Entries beyond the memory limit, in 256 files by their first byte. Each
// spill appends a sorted, distinct run to the files. Mark holds the files'
// sizes where the list being added began, once part of it has been spilled,
// so that a refused list can be cut off again.
struct TKLBlocklistCompiler::TSpill {
  std::filesystem::path Folder;
  std::vector<std::unique_ptr<TFileStream>> Buckets;
  std::vector<std::int64_t> Mark;

  ~TSpill() {
    Buckets.clear();
    std::error_code error;
    std::filesystem::remove_all(Folder, error);
  }
};

namespace {

constexpr std::size_t kBucketCount = 256;
constexpr std::size_t kNoList = static_cast<std::size_t>(-1);

// A folder of its own, readable by the owner only, beneath Base.
std::filesystem::path CreateWorkFolder(const String& Base) {
  std::error_code error;
  const std::filesystem::path base =
      Base.empty() ? std::filesystem::temp_directory_path(error) : std::filesystem::path(Base);
  std::random_device random;
  for (int attempt = 0; !error && attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), "klbf-%08x%08x", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    const std::filesystem::path folder = base / name;
    if (std::filesystem::create_directory(folder, error)) {
      std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
      return folder;
    }
  }
  throw EFCreateError("Cannot create a work folder for the blocklist in \"" + NativeFileName(base.u16string()) + "\"" +
                      (error ? ": " + error.message() : std::string()));
}

// Writes sorted, distinct keys to the bucket files, each run to its file's end.
void WriteRuns(std::vector<std::uint64_t>::iterator First, std::vector<std::uint64_t>::iterator Last,
               std::vector<std::unique_ptr<TFileStream>>& Buckets) {
  std::vector<std::uint8_t> bytes;
  while (First != Last) {
    const std::size_t bucket = static_cast<std::size_t>(*First >> 56);
    const auto end = std::partition_point(First, Last, [&](std::uint64_t k) { return (k >> 56) <= bucket; });
    bytes.resize(static_cast<std::size_t>(end - First) * 8);
    for (std::size_t i = 0; First + static_cast<std::ptrdiff_t>(i) != end; ++i) PutLE(&bytes[8 * i], First[i], 8);
    Buckets[bucket]->Seek(0, soEnd);
    WriteAll(*Buckets[bucket], bytes.data(), bytes.size());
    First = end;
  }
}

std::vector<std::uint64_t> ReadBucket(TFileStream& Bucket) {
  const auto size = static_cast<std::uint64_t>(Bucket.GetSize());
  if (size % 8 != 0) throw EKLBlocklistError(SBlocklistWorkFileDamaged);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  Bucket.SetPosition(0);
  constexpr std::uint64_t kChunk = 1 << 30;
  for (std::uint64_t done = 0; done < size; done += kChunk) {
    Bucket.ReadBuffer(bytes.data() + done, static_cast<std::int32_t>(std::min(kChunk, size - done)));
  }
  std::vector<std::uint64_t> keys(bytes.size() / 8);
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = GetLE(&bytes[8 * i], 8);
  return keys;
}

void SortDistinct(std::vector<std::uint64_t>& Keys, std::size_t From) {
  std::sort(Keys.begin() + static_cast<std::ptrdiff_t>(From), Keys.end());
  Keys.erase(std::unique(Keys.begin() + static_cast<std::ptrdiff_t>(From), Keys.end()), Keys.end());
}

// Takes the keys in ascending order, in runs of any length, and writes each
// shard's fingerprints as soon as the next key lies beyond it; fills in the
// shard records of Head as it goes.
class TShardWriter {
public:
  TShardWriter(TStream& Stream, std::vector<std::uint8_t>& Head, std::uint64_t ShardCount, std::uint64_t Offset)
      : FStream(Stream), FHead(Head), FShardCount(ShardCount), FOffset(Offset) {}

  void Add(const std::vector<std::uint64_t>& SortedKeys) {
    for (const std::uint64_t key : SortedKeys) {
      const std::uint32_t shard = ShardOf(key, static_cast<std::size_t>(FShardCount));
      while (shard > FShard) Flush();
      FPending.push_back(key);
    }
  }

  // Writes the last shards, empty ones included; returns the entries written.
  std::uint64_t Finish() {
    while (FShard < FShardCount) Flush();
    return FDistinct;
  }

private:
  void Flush() {
    detail::TFuseShape shape;
    detail::BuildFuse16(FPending, shape, FFingerprints);
    std::uint8_t* record = &FHead[kHeaderSize + kShardRecordSize * FShard];
    PutLE(record, shape.Seed, 8);
    PutLE(record + 8, FPending.size(), 4);
    PutLE(record + 12, shape.SegmentLength, 4);
    PutLE(record + 16, shape.SegmentCount, 4);
    PutLE(record + 20, shape.ArrayLength, 4);
    PutLE(record + 24, FOffset, 8);
    FBytes.assign(static_cast<std::size_t>(AlignTo8(2 * std::uint64_t{shape.ArrayLength})), 0);
    for (std::size_t i = 0; i < FFingerprints.size(); ++i) PutLE(&FBytes[2 * i], FFingerprints[i], 2);
    WriteAll(FStream, FBytes.data(), FBytes.size());
    FOffset += FBytes.size();
    FDistinct += FPending.size();
    FPending.clear();
    ++FShard;
  }

  TStream& FStream;
  std::vector<std::uint8_t>& FHead;
  std::uint64_t FShardCount;
  std::uint64_t FOffset;
  std::uint32_t FShard = 0;
  std::uint64_t FDistinct = 0;
  std::vector<std::uint64_t> FPending;
  std::vector<std::uint16_t> FFingerprints;
  std::vector<std::uint8_t> FBytes;
};

} // namespace

TKLBlocklistCompiler::TKLBlocklistCompiler() : FMemoryLimit(kBlocklistDefaultMemoryLimit), FListStart(kNoList) {}

TKLBlocklistCompiler::~TKLBlocklistCompiler() = default;

void TKLBlocklistCompiler::AddKey(std::uint64_t Key) {
  FKeys.push_back(Key);
  ++FCount;
  if (FKeys.size() >= FMemoryLimit) Spill();
}

// While a list is being added, the entries from before it go out first and
// the files' sizes are marked, so that the list can still be taken back.
void TKLBlocklistCompiler::Spill() {
  if (!FSpill) {
    auto spill = std::make_unique<TSpill>();
    spill->Folder = CreateWorkFolder(FWorkFolder);
    FSpill = std::move(spill);
    for (std::size_t b = 0; b < kBucketCount; ++b) {
      char name[4];
      std::snprintf(name, sizeof(name), "%02x", static_cast<unsigned>(b));
      FSpill->Buckets.push_back(std::make_unique<TFileStream>((FSpill->Folder / name).u16string(), fmCreate));
    }
  }
  // Sorted in place, in two parts when the earlier entries go first: a copy
  // would double the memory the limit is meant to bound. Duplicates are erased
  // at once, so FKeys always holds the same set; a failed write takes the
  // files back to where they were, and the entries stay in memory.
  std::vector<std::int64_t> sizes;
  for (const auto& bucket : FSpill->Buckets) sizes.push_back(bucket->GetSize());
  const bool marking = FListStart != kNoList && FSpill->Mark.empty();
  try {
    auto from = FKeys.begin();
    if (marking) {
      from += static_cast<std::ptrdiff_t>(FListStart);
      std::sort(FKeys.begin(), from);
      from = FKeys.erase(std::unique(FKeys.begin(), from), from);
      FListStart = static_cast<std::size_t>(from - FKeys.begin());
      WriteRuns(FKeys.begin(), from, FSpill->Buckets);
      for (const auto& bucket : FSpill->Buckets) FSpill->Mark.push_back(bucket->GetSize());
    }
    std::sort(from, FKeys.end());
    FKeys.erase(std::unique(from, FKeys.end()), FKeys.end());
    WriteRuns(from, FKeys.end(), FSpill->Buckets);
  } catch (...) {
    if (marking) FSpill->Mark.clear();
    for (std::size_t b = 0; b < kBucketCount; ++b) {
      try {
        FSpill->Buckets[b]->SetSize(sizes[b]);
      } catch (const Exception&) {
        // Left longer, the file holds entries that memory holds too; a cut
        // entry is refused when the file is read back.
      }
    }
    throw;
  }
  FKeys.clear();
  if (FListStart != kNoList) FListStart = 0;
}

void TKLBlocklistCompiler::AddPassword(const String& Password) {
  AddKey(KeyOfText(BlocklistForm(Password)));
  FHasPasswords = true;
}

void TKLBlocklistCompiler::AddSHA1(const std::uint8_t (&Digest)[kSHA1DigestSize]) {
  AddKey(KeyOfDigest(Digest));
  FHasHashes = true;
}

void TKLBlocklistCompiler::AddListFile(const String& FileName, TKLBlocklistFormat Format) {
  if (Format == TKLBlocklistFormat::bfDetect) Format = DetectFormat(FileName);
  const std::uint64_t countBefore = FCount;
  const bool hadPasswords = FHasPasswords, hadHashes = FHasHashes;
  FListStart = FKeys.size();
  if (FSpill) FSpill->Mark.clear();
  try {
    ForEachLine(
        FileName,
        [&](std::string_view Line, std::uint64_t Number) {
          if (Format == TKLBlocklistFormat::bfPasswords) {
            String word = UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Line.data()), Line.size());
            if (!Trimmed(word).empty()) AddPassword(word);
            WipeString(word);
            return;
          }
          std::uint8_t digest[kSHA1DigestSize];
          if (!ParseHashLine(Line, digest)) {
            throw EKLBlocklistError(std::string(SBlocklistBadHashLine) + " (line " + std::to_string(Number) + ")");
          }
          AddSHA1(digest);
        },
        [&](std::uint64_t Done, std::uint64_t Total) {
          if (FProgress) FProgress(bsReading, Done, Total);
        });
  } catch (...) {
    if (FSpill && !FSpill->Mark.empty()) {
      for (std::size_t b = 0; b < kBucketCount; ++b) FSpill->Buckets[b]->SetSize(FSpill->Mark[b]);
    }
    FKeys.resize(FListStart);
    FCount = countBefore;
    FHasPasswords = hadPasswords;
    FHasHashes = hadHashes;
    FListStart = kNoList;
    throw;
  }
  FListStart = kNoList;
}

// The shard of a key grows with the key, so the keys, taken in ascending order
// from memory or bucket by bucket from the work files, pass shard by shard.
// The shard count follows from the entries added, duplicates included, so that
// it is known before the first shard is written.
void TKLBlocklistCompiler::SaveToFile(const String& FileName) {
  const std::uint64_t shardCount = std::max<std::uint64_t>(1, (FCount + kShardTargetKeys - 1) / kShardTargetKeys);
  if (shardCount > kMaxShards) throw EKLBlocklistError(SBlocklistTooLarge);
  const std::uint32_t flags = (FHasHashes ? kFlagHashes : 0) | (FHasPasswords ? kFlagPasswords : 0);
  if (FSpill && !FKeys.empty()) Spill();

  SaveFileAtomically(FileName, [&](TStream& Stream) {
    std::vector<std::uint8_t> head(kHeaderSize + kShardRecordSize * static_cast<std::size_t>(shardCount), 0);
    std::memcpy(head.data(), kMagic, sizeof(kMagic));
    PutLE(&head[4], kVersion, 2);
    PutLE(&head[6], kFingerprintBits, 2);
    PutLE(&head[8], flags, 4);
    PutLE(&head[12], shardCount, 4);
    WriteAll(Stream, head.data(), head.size()); // the records follow once every shard is built
    const std::uint8_t padding[8] = {};
    WriteAll(Stream, padding, AlignTo8(head.size()) - head.size());

    TShardWriter writer(Stream, head, shardCount, AlignTo8(head.size()));
    if (FSpill) {
      std::uint64_t done = 0;
      for (const auto& bucket : FSpill->Buckets) {
        std::vector<std::uint64_t> keys = ReadBucket(*bucket);
        SortDistinct(keys, 0);
        writer.Add(keys);
        if (FProgress) FProgress(bsWriting, ++done, FSpill->Buckets.size());
      }
    } else {
      SortDistinct(FKeys, 0); // in place: the set of entries stays the same
      writer.Add(FKeys);
    }
    PutLE(&head[16], writer.Finish(), 8);
    Stream.SetPosition(0);
    WriteAll(Stream, head.data(), head.size());
  });
}

// Every field is checked against the file's size and against what the key
// counts imply before a fingerprint is read, so a hostile file is refused here
// and a look-up never reads past the fingerprints of its shard.
TKLBlocklistFilter::TKLBlocklistFilter(const String& FileName, std::uint64_t InMemorySize)
    : FFileName(FileName), FFile(std::make_unique<detail::TReadOnlyFile>(FileName)) {
  const std::uint64_t size = FFile->GetSize();
  const auto invalid = [] { return EKLBlocklistError(SBlocklistFileInvalid); };
  std::uint8_t header[kHeaderSize];
  if (size < kHeaderSize || !FFile->ReadAt(0, header, kHeaderSize) ||
      std::memcmp(header, kMagic, sizeof(kMagic)) != 0 || GetLE(header + 4, 2) != kVersion ||
      GetLE(header + 6, 2) != kFingerprintBits) {
    throw invalid();
  }
  const std::uint64_t flags = GetLE(header + 8, 4);
  const std::uint64_t shardCount = GetLE(header + 12, 4);
  FCount = GetLE(header + 16, 8);
  if ((flags & ~std::uint64_t{kFlagHashes | kFlagPasswords}) != 0 || shardCount == 0 || shardCount > kMaxShards ||
      GetLE(header + 24, 8) != 0 || size < kHeaderSize + kShardRecordSize * shardCount) {
    throw invalid();
  }
  FHoldsHashes = (flags & kFlagHashes) != 0;
  std::vector<std::uint8_t> records(kShardRecordSize * static_cast<std::size_t>(shardCount));
  if (!FFile->ReadAt(kHeaderSize, records.data(), records.size())) throw invalid();
  std::uint64_t offset = AlignTo8(kHeaderSize + kShardRecordSize * shardCount);
  std::uint64_t total = 0;
  FShards.reserve(static_cast<std::size_t>(shardCount));
  for (std::uint64_t i = 0; i < shardCount; ++i) {
    const std::uint8_t* record = records.data() + kShardRecordSize * i;
    const std::uint64_t keys = GetLE(record + 8, 4);
    const detail::TFuseShape expected = detail::FuseShapeFor(keys);
    TShard shard{GetLE(record, 8), static_cast<std::uint32_t>(GetLE(record + 12, 4)),
                 static_cast<std::uint32_t>(GetLE(record + 16, 4)), static_cast<std::uint32_t>(GetLE(record + 20, 4)),
                 offset};
    if (keys > detail::kFuseMaxKeys || shard.SegmentLength != expected.SegmentLength ||
        shard.SegmentCount != expected.SegmentCount || shard.ArrayLength != expected.ArrayLength ||
        GetLE(record + 24, 8) != offset) {
      throw invalid();
    }
    const std::uint64_t bytes = AlignTo8(2 * std::uint64_t{shard.ArrayLength});
    if (bytes > size - offset) throw invalid();
    offset += bytes;
    total += keys;
    FShards.push_back(shard);
  }
  if (offset != size || total != FCount) throw invalid();
  // The checks above hold for the bytes read now: a file that changed since it
  // was opened may hold other fingerprints, but none beyond what was read.
  if (size <= InMemorySize) {
    FData.resize(static_cast<std::size_t>(size));
    if (!FFile->ReadAt(0, FData.data(), FData.size())) throw invalid();
    FFile.reset();
  }
}

TKLBlocklistFilter::~TKLBlocklistFilter() = default;

// A fingerprint the file no longer holds (it was cut short since it was
// opened) counts as a match: a damaged list refuses too much, not too little.
bool TKLBlocklistFilter::ContainsKey(std::uint64_t Key) const noexcept {
  const TShard& shard = FShards[ShardOf(Key, FShards.size())];
  if (shard.ArrayLength == 0) return false;
  const detail::TFuseShape shape{shard.Seed, shard.SegmentLength, shard.SegmentCount, shard.ArrayLength};
  if (!FFile) return detail::FuseContains(shape, FData.data() + shard.Offset, Key);
  const detail::TFuseProbe probe = detail::FuseProbeOf(shape, Key);
  std::uint16_t sum = probe.Fingerprint;
  for (const std::uint32_t slot : probe.Slots) {
    std::uint8_t bytes[2];
    if (!FFile->ReadAt(shard.Offset + 2 * std::uint64_t{slot}, bytes, sizeof(bytes))) return true;
    sum ^= static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
  }
  return sum == 0;
}

bool TKLBlocklistFilter::ContainsSHA1(const std::uint8_t (&Digest)[kSHA1DigestSize]) const noexcept {
  return ContainsKey(KeyOfDigest(Digest));
}

bool TKLBlocklistFilter::Contains(const String& Password) const {
  String trimmed = Trimmed(Password);
  String form = BlocklistForm(trimmed);
  const bool found = ContainsKey(KeyOfText(form)) || (form != trimmed && ContainsKey(KeyOfText(trimmed)));
  WipeString(trimmed);
  WipeString(form);
  return found;
}

void TKLBlocklistRule::AddWord(const String& Word) {
  String form = BlocklistForm(Word);
  if (!form.empty()) FWords.insert(form);
  WipeString(form);
}

void TKLBlocklistRule::LoadWordsFromFile(const String& FileName) {
  std::unordered_set<String> words(FWords);
  ForEachLine(FileName, [&](std::string_view Line, std::uint64_t) {
    String form = BlocklistForm(UTF8ToStr(reinterpret_cast<const std::uint8_t*>(Line.data()), Line.size()));
    if (!form.empty()) words.insert(std::move(form));
  });
  FWords.swap(words);
}

void TKLBlocklistRule::LoadFromFile(const String& FileName) {
  if (ReadHead(FileName, sizeof(kMagic)) == std::string_view(kMagic, sizeof(kMagic))) {
    LoadFilterFromFile(FileName);
  } else {
    LoadWordsFromFile(FileName);
  }
}

void TKLBlocklistRule::LoadFilterFromFile(const String& FileName) {
  AddFilter(std::make_shared<const TKLBlocklistFilter>(FileName));
}

void TKLBlocklistRule::AddFilter(std::shared_ptr<const TKLBlocklistFilter> Filter) {
  if (Filter == nullptr) throw EKLException(SBlocklistFilterIsEmpty);
  FFilters.push_back(std::move(Filter));
}

bool TKLBlocklistRule::Validate(const String& Password) const {
  TKLRuleFailures failures;
  CollectFailures(Password, failures);
  return failures.empty();
}

// Reports the first list that holds the password: one failure is enough, and
// the cheaper look-ups come first.
void TKLBlocklistRule::CollectFailures(const String& Password, TKLRuleFailures& Failures) const {
  if (FUseCommonPasswords && IsCommonPassword(Password)) {
    Failures.emplace_back(kBlocklisted).AddText("list", kCommonListName);
    return;
  }
  if (!FWords.empty()) {
    String form = BlocklistForm(Password);
    const bool found = FWords.contains(form);
    WipeString(form);
    if (found) {
      Failures.emplace_back(kBlocklisted).AddText("list", kOwnWordsName);
      return;
    }
  }
  for (const auto& filter : FFilters) {
    if (filter->Contains(Password)) {
      Failures.emplace_back(filter->GetHoldsBreachedHashes() ? kBreached : kBlocklisted)
          .AddText("list", filter->GetFileName());
      return;
    }
  }
}

} // namespace kl
