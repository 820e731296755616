#pragma once

#include <cstddef>

#include "foundation/Export.h"
#include "foundation/Types.h"

namespace kl {

// The four Unicode normalisation forms.
enum TKLNormalForm { nfC, nfD, nfKC, nfKD };

// Text in the given normalisation form. Text holding an unpaired surrogate is
// not text that can be normalised: it comes back unchanged, so that a caller
// that refuses invalid text still sees it and refuses it. Work and memory are
// linear in the length (at most 18 code points for one, as Unicode bounds it),
// also for long runs of combining marks. Every buffer of code points used on
// the way is wiped; the result is the caller's to wipe. Thread-safe.
KL_API String NormalizeText(const String& Text, TKLNormalForm Form);

// The form a password is hashed, derived from and measured in: NFKC, so that
// the same password typed composed (U+00E9) or decomposed (e + U+0301), or
// with a compatibility form of a character (a full-width letter, a ligature),
// gives the same bytes.
KL_API String NormalizePassword(const String& Password);

// The form user names are compared and stored in: NFC, so that two names that
// differ only by composition are one name, while names that only look alike
// through compatibility mappings stay apart.
KL_API String NormalizeUserName(const String& Username);

// Whether Text is already in the form (a normalisation would change nothing).
KL_API bool IsNormalized(const String& Text, TKLNormalForm Form);

// The number of code points in Text: a surrogate pair counts once, an unpaired
// surrogate once. The length a password rule counts.
KL_API std::size_t CodePointCount(const String& Text) noexcept;

} // namespace kl
