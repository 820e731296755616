#pragma once

#include <functional>

#include "foundation/Export.h"
#include "foundation/FileStamp.h"
#include "foundation/Stream.h"
#include "foundation/Types.h"

namespace kl {

// Replaces FileName whole or not at all: Writer fills a new temporary file in
// the same folder, which is flushed to disk and renamed over FileName, and the
// folder is flushed after the rename. If the writer or any step fails, the
// temporary file is removed, FileName is left exactly as it was, and the
// exception reaches the caller (EFCreateError when the temporary file cannot be
// made). Every SaveToFile of the library uses it.
//
// On POSIX systems a symbolic link is followed: its final target is replaced
// and the link stays; but in a sticky folder anyone may write to, only a link
// of the saving user or of the folder's owner is followed (EFCreateError
// otherwise), as the kernel's fs.protected_symlinks would have it. A replaced
// file keeps its mode, and its owner and group where the process may set them
// (root may, and a member of the group may set that); a new file is private to
// its owner. The temporary file is named
// ".klsave-<hash of the target's name>-<pid>-<random>" and locked while the
// save runs; each save first removes such files that earlier saves of the same
// target left when their process died (kill -9, power loss), and only those.
// The name is short, so any target name the system allows can be saved.
// A replaced file keeps its permissions unless Access is faOwnerOnly, for
// secrets in clear: the new file is then the writer's own, whoever owned the
// file it replaces, and readable and writable by the writer alone (on POSIX;
// Windows gives every new file the folder's inherited permissions).
enum TFileAccess { faKeep, faOwnerOnly };
KL_API void SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer,
                               TFileAccess Access = faKeep);

// The same, but refuses with EFileChangedError, writing nothing, when
// FileName's stamp is no longer Expected: someone replaced or rewrote the file
// since it was read. The check comes right before the rename; only an advisory
// lock held by every writer closes the gap between the two. Returns the saved
// file's stamp, taken from the file itself before the rename, so that a save
// made by another process right after it cannot be mistaken for this one.
KL_API TFileStamp SaveFileAtomically(const String& FileName, const std::function<void(TStream&)>& Writer,
                                     const TFileStamp& Expected);

// A file name as messages show it: UTF-8 (also the native form on POSIX).
KL_API std::string NativeFileName(const String& FileName);

} // namespace kl
