#pragma once

#include <functional>

#include "foundation/Export.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"

namespace kl {

// Replaces FileName whole or not at all: Writer fills a new temporary file in
// the same folder, which is flushed to disk and renamed over FileName. If the
// writer or any step fails, the temporary file is removed, FileName is left
// exactly as it was, and the exception reaches the caller (EFCreateError when
// the temporary file cannot be made). Every SaveToFile of the library uses it.
// A replaced file keeps its permissions unless Access is faOwnerOnly, which
// makes the new file readable and writable by its owner alone in any case (on
// POSIX; Windows gives every new file the folder's inherited permissions).
enum TFileAccess { faKeep, faOwnerOnly };
KL_API void SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer,
                               TFileAccess Access = faKeep);

// A file name as messages show it: UTF-8 (also the native form on POSIX).
KL_API std::string NativeFileName(const String& FileName);

} // namespace kl
