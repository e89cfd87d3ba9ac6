#pragma once

// What a path names and how to remove it, never looking through a link: a link is always
// treated as the link itself, never as what it points at.

#include <filesystem>
#include <vector>

namespace kel {

enum class PathKind { kMissing, kFile, kDirectory, kLink, kError };

// Never follows a link. kLink for any reparse point, and for a file that opens as another
// object: a Unix file link inside a Wine prefix shows no reparse bit and only its final path
// gives it away. kMissing when the item or a folder above it does not exist; kError (with
// the Windows code in *error) when its attributes cannot be read.
// The names in a folder, without "." and "..", read whole before the caller changes anything:
// changing a folder while it is being enumerated may skip entries. Empty when it cannot be read.
std::vector<std::wstring> ListDirectoryNames(const std::filesystem::path& directory);

PathKind QueryPathKind(const std::filesystem::path& path, unsigned long* error = nullptr);

struct TreeRemovalFailure {
  std::filesystem::path path;
  unsigned long code = 0;  // the Windows error that stopped its removal
};

// Removes a file, a directory tree or a link, never following a link (a link goes as itself,
// its destination stays). Missing counts as removed. Read-only, hidden and system attributes
// are cleared. Keeps going past what cannot be removed and lists it children before their
// parent, the order in which a delete-at-restart schedule must name them. True only when
// nothing remains.
// A file that is kept (see KeepThroughTreeRemovals) stays, and so do the folders above it,
// without counting as a failure.
bool RemoveTreeNoFollow(const std::filesystem::path& path,
                        std::vector<TreeRemovalFailure>* failures = nullptr);

// The open file (the run's log) survives every later tree removal of the process: a log that
// lies in a folder being removed keeps the run's record, and the folder goes but for it.
void KeepThroughTreeRemovals(void* file_handle);

}  // namespace kel
