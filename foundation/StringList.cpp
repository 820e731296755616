#include "foundation/StringList.h"

#include <string>

#include "foundation/AtomicFile.h"
#include "foundation/Exceptions.h"
#include "foundation/FileStream.h"
#include "foundation/KLGeneral.h"
#include "foundation/PointerList.h"
#include "foundation/SecureMemory.h"

namespace kl {

TStringList::~TStringList() { Clear(); }

void TStringList::CheckIndex(std::int32_t Index) const {
  if (Index < 0 || Index >= GetCount()) RaiseListIndexError(Index);
}

std::int32_t TStringList::Add(const String& S) {
  FItems.push_back(S);
  return GetCount() - 1;
}

void TStringList::Insert(std::int32_t Index, const String& S) {
  if (Index < 0 || Index > GetCount()) RaiseListIndexError(Index);
  FItems.insert(FItems.begin() + Index, S);
}

void TStringList::Delete(std::int32_t Index) {
  CheckIndex(Index);
  WipeString(FItems[static_cast<std::size_t>(Index)]);
  FItems.erase(FItems.begin() + Index);
}

const String& TStringList::Get(std::int32_t Index) const {
  CheckIndex(Index);
  return FItems[static_cast<std::size_t>(Index)];
}

void TStringList::Put(std::int32_t Index, const String& S) {
  CheckIndex(Index);
  String& slot = FItems[static_cast<std::size_t>(Index)];
  WipeString(slot);
  slot = S;
}

std::int32_t TStringList::IndexOf(const String& S) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i] == S) return static_cast<std::int32_t>(i);
  }
  return -1;
}

// Lines may hold user names and hashes: they are wiped, not just dropped.
void TStringList::Clear() noexcept {
  for (String& s : FItems) WipeString(s);
  FItems.clear();
}

String TStringList::GetText() const {
  std::size_t total = 0;
  for (const String& s : FItems) total += s.size() + 1;
  String text;
  text.reserve(total);
  for (const String& s : FItems) {
    text += s;
    text.push_back(u'\n');
  }
  return text;
}

void TStringList::SetText(const String& Text) {
  Clear();
  std::size_t start = 0;
  const std::size_t n = Text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Char c = Text[i];
    if (c == u'\n' || c == u'\r') {
      FItems.emplace_back(Text, start, i - start);
      if (c == u'\r' && i + 1 < n && Text[i + 1] == u'\n') ++i;
      start = i + 1;
    }
  }
  if (start < n) FItems.emplace_back(Text, start, n - start);
}

namespace {

// The number (from 1) of the line that holds byte Offset, counting line breaks
// as SetText does (LF, CRLF or CR).
std::size_t LineOfOffset(const RawByteString& Bytes, std::size_t Start, std::size_t Offset) {
  std::size_t line = 1;
  for (std::size_t i = Start; i < Offset; ++i) {
    if (Bytes[i] == '\n' || (Bytes[i] == '\r' && (i + 1 >= Bytes.size() || Bytes[i + 1] != '\n'))) ++line;
  }
  return line;
}

} // namespace

// The size is checked before reading and again while reading, since the file
// may grow meanwhile.
void TStringList::LoadFromFile(const String& FileName, bool Strict) {
  TFileStream stream(FileName, fmOpenRead);
  const auto tooLarge = [&] {
    return EFOpenError("Cannot open file \"" + StrToUTF8(FileName) + "\": " + STextFileTooLarge + " " +
                       std::to_string(FMaxFileSize) + " bytes");
  };
  if (stream.GetSize() > FMaxFileSize) throw tooLarge();
  RawByteString bytes;
  char buffer[64 * 1024];
  for (;;) {
    const std::int32_t n = stream.Read(buffer, static_cast<std::int32_t>(sizeof(buffer)));
    if (n <= 0) break;
    if (static_cast<std::int64_t>(bytes.size()) + n > FMaxFileSize) {
      SecureZero(buffer, sizeof(buffer));
      WipeRawBytes(bytes);
      throw tooLarge();
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  SecureZero(buffer, sizeof(buffer));
  std::size_t skip = 0;
  if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
      static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF) {
    skip = 3;
  }
  std::size_t invalidAt = 0;
  if (Strict &&
      !IsValidUTF8(reinterpret_cast<const std::uint8_t*>(bytes.data()) + skip, bytes.size() - skip, &invalidAt)) {
    const std::size_t line = LineOfOffset(bytes, skip, skip + invalidAt);
    WipeRawBytes(bytes);
    throw EConvertError(SInvalidUTF8Line + std::to_string(line));
  }
  String text = UTF8ToStr(reinterpret_cast<const std::uint8_t*>(bytes.data()) + skip, bytes.size() - skip);
  WipeRawBytes(bytes);
  SetText(text);
  WipeString(text);
}

void TStringList::SaveToStream(TStream& Stream) const {
  String text = GetText();
  RawByteString bytes = StrToUTF8(text);
  WipeString(text);
  try {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1 << 30);
      Stream.WriteBuffer(bytes.data() + done, static_cast<std::int32_t>(chunk));
      done += chunk;
    }
  } catch (...) {
    WipeRawBytes(bytes);
    throw;
  }
  WipeRawBytes(bytes);
}

void TStringList::SaveToFile(const String& FileName) const {
  SaveFileAtomically(FileName, [this](TStream& Stream) { SaveToStream(Stream); });
}

} // namespace kl
