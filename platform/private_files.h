#pragma once

// Files and folders that are the user's alone: settings with passwords, recordings and
// snapshots (pictures of people). Whatever the umask, what we create here is 0600 (files)
// or 0700 (folders); the user may loosen them afterwards and we leave that choice alone.

#include <filesystem>
#include <string_view>

namespace ipcam::platform {

// Creates `dir` and each missing parent as 0700. Folders that already exist keep their mode:
// they are the user's, and a recording directory may well be shared on purpose. True when
// `dir` is a directory afterwards.
bool createPrivateFolders(const std::filesystem::path& dir);

enum class FolderPrivacy {
  Private,    // ours, and nobody else may write into it
  Tightened,  // ours, was writable by group or others, now 0700
  NotOurs,    // owned by another user: whatever we put there, its owner can swap
  Missing,    // not a directory, or its mode could not be changed
};

// The rule for a folder that holds secrets: it must be ours and writable by us alone. A
// folder of ours that others could write into is made 0700; someone else's is reported and
// left as it is.
FolderPrivacy keepFolderPrivate(const std::filesystem::path& dir);

// Opens `file` for writing as a fresh 0600 file, emptying a file of that name that is
// already there (a symbolic link in its place is refused). The descriptor, or -errno.
int openPrivateFile(const std::filesystem::path& file);

enum class ReplaceResult { Written, CannotCreate, WriteFailed };

// Writes `bytes` to a new 0600 file with a name of its own beside `target` (created with
// O_EXCL|O_NOFOLLOW, so nothing planted there can be taken over, and a file left by a crash
// is never in the way), makes it durable when `sync` is set, and renames it over `target`.
// A failure leaves `target` as it was and no partial file behind.
ReplaceResult replaceFilePrivately(const std::filesystem::path& target, std::string_view bytes,
                                   bool sync);

}  // namespace ipcam::platform
