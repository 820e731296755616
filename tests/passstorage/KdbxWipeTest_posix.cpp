// Every block freed during a KDBX save and load is searched, as it is freed,
// for the vault's secrets: a buffer freed unwiped (zlib's window, expat's
// buffers, a text that grew, the inner header) is counted however the
// allocator reuses it later. The C allocator is replaced for this program
// (glibc lets a program do so), forwarding to glibc's own.
#include <gtest/gtest.h>

#include <cstddef>

// Not under a sanitizer, whose runtime owns the C allocator.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KL_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KL_SANITIZED_ALLOCATOR 1
#endif

#if !defined(KL_SANITIZED_ALLOCATOR) && defined(__GLIBC__)
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/MemoryStream.h"
#include "foundation/SecureMemory.h"
#include "passstorage/KLPassStorage.h"

extern "C" {
void* __libc_malloc(std::size_t Size);
void* __libc_calloc(std::size_t Count, std::size_t Size);
void* __libc_realloc(void* Block, std::size_t Size);
void __libc_free(void* Block);
}

namespace {

// The mark every secret of the test vault carries, in UTF-8 and UTF-16.
constexpr char kMark[] = "qv7-wipe-mark-K3";
std::atomic<bool> gArmed{false};
std::atomic<int> gUnwiped{0};
std::atomic<int> gInspected{0};

bool Holds(const void* Block, std::size_t Size, const void* Needle, std::size_t NeedleSize) noexcept {
  return Size >= NeedleSize && ::memmem(Block, Size, Needle, NeedleSize) != nullptr;
}

void Inspect(void* Block) noexcept {
  if (Block == nullptr || !gArmed.load(std::memory_order_relaxed)) return;
  const std::size_t size = ::malloc_usable_size(Block);
  gInspected.fetch_add(1, std::memory_order_relaxed);
  char16_t wide[sizeof(kMark) - 1];
  for (std::size_t i = 0; i < sizeof(wide) / sizeof(wide[0]); ++i) wide[i] = static_cast<char16_t>(kMark[i]);
  if (Holds(Block, size, kMark, sizeof(kMark) - 1) || Holds(Block, size, wide, sizeof(wide))) {
    gUnwiped.fetch_add(1, std::memory_order_relaxed);
  }
}

} // namespace

extern "C" {
void* malloc(std::size_t Size) { return __libc_malloc(Size); }
void* calloc(std::size_t Count, std::size_t Size) { return __libc_calloc(Count, Size); }
void free(void* Block) {
  Inspect(Block);
  __libc_free(Block);
}
// A block that moves is freed: it is searched first. Grown in place, it is
// not freed, and its bytes stay the new block's.
void* realloc(void* Block, std::size_t Size) {
  if (Block == nullptr || !gArmed.load(std::memory_order_relaxed)) return __libc_realloc(Block, Size);
  void* moved = __libc_malloc(Size != 0 ? Size : 1);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, Block, std::min(Size, ::malloc_usable_size(Block)));
  free(Block);
  return moved;
}
}

namespace kl {
namespace {

String Wide(const std::string& Text) { return String(Text.begin(), Text.end()); }

TEST(KdbxWipe, NoBlockIsFreedHoldingASecret) {
  // Passwords, notes (unprotected in the XML) and attachments, each with the mark.
  std::vector<String> passwords, notes;
  std::vector<ByteArray> attachments;
  for (int i = 0; i < 40; ++i) {
    passwords.push_back(Wide(std::string(kMark) + "pw" + std::to_string(i)));
    notes.push_back(Wide("note " + std::to_string(i) + " " + kMark + " recovery codes"));
    const std::string bytes = "attachment " + std::to_string(i) + kMark;
    attachments.emplace_back(bytes.begin(), bytes.end());
  }
  TMemoryStream file;
  gInspected = 0;
  gUnwiped = 0;
  gArmed = true;
  {
    TKLPassStorage vault;
    TKLKdbxSettings cheap;
    cheap.Kdf = kkAesKdf;
    cheap.Iterations = 1;
    vault.SetKdbxSettings(cheap);
    vault.SetSaveFormat(pfKdbx);
    for (int i = 0; i < 40; ++i) {
      const std::int32_t at = vault.Add(u"title", u"user", passwords[i], u"url", notes[i], u"Group");
      vault.GetRecord(at)->SetAttachment(u"file", attachments[i]);
    }
    vault.SaveToStream(file, u"master");
    file.SetPosition(0);
    TKLPassStorage loaded;
    loaded.LoadFromStream(file, u"master");
    EXPECT_EQ(loaded.GetCount(), 40);
    TMemoryStream again;
    loaded.SaveToStream(again, u"master");
  }
  gArmed = false;
  EXPECT_GT(gInspected.load(), 100) << "the frees are not seen";
  EXPECT_EQ(gUnwiped.load(), 0) << "blocks freed holding a secret";
  for (String& text : passwords) WipeString(text);
  for (String& text : notes) WipeString(text);
}

} // namespace
} // namespace kl
#endif
