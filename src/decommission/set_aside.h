#pragma once

// Files this program moves aside because something still holds them open:
// "<name>.pending_delete_<seconds>_<pid>_<counter>", listed in the pending_cleanup.json ledger
// beside a registry, and deleted by a later run once nothing holds them. Only what a ledger
// lists, or what carries this name from a run that has ended and still holds a gate's bytes,
// is ever deleted: a user's own file that merely looks alike stays.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// path + ".pending_delete_" + seconds + "_" + pid + "_" + counter (process-wide, from 1).
std::filesystem::path NextPendingDeletePath(const std::filesystem::path& path);

// "<name>.pending_delete_" followed by three decimal numbers joined by '_'. pid_out (when
// given) receives the second number.
bool IsPendingDeleteName(std::wstring_view fileName, unsigned long* pid_out = nullptr);

// Writes content atomically; when the old file is held open (access denied or sharing
// violation), moves it aside under a ".pending_delete_" name, writes again and records the
// moved file in the pending-cleanup ledger. ledgerRegistryPath empty = the current user's
// registry.
bool WriteFileMovingLockedAside(const std::filesystem::path& path, std::string_view content,
                                std::string& error,
                                const std::filesystem::path& ledgerRegistryPath = {});

// Adds {originalPath, tempPath, registeredAt} to pending_cleanup.json beside the registry
// (the current user's registry when registryPath is empty). Nothing is recorded when that
// directory is unknown. A temp path already listed is not added twice.
bool RegisterPendingCleanup(const std::filesystem::path& registryPath,
                            const std::filesystem::path& originalPath,
                            const std::filesystem::path& tempPath);

// Deletes the set-aside files of one Plugins root that can go now: those the ledgers beside
// its registries list (only entries inside the root), and those directly in the root that
// carry this program's name from an ended run and hold a gate. Returns the listed ones still
// held.
std::vector<std::filesystem::path> ClearPendingDeletes(const std::filesystem::path& pluginsRoot);

}  // namespace kel
