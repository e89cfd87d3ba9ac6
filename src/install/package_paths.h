#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kel {

// Every rule about which relative path an install may write into a Plugins folder, and the
// names this product gives its own temporary files, made and read back in this one place.

// One line of tar's listing: false for absolute paths, drive letters, streams, "..", NUL.
bool IsSafeArchiveEntry(std::string_view line);

// Package-relative paths ('/' separated) that an install never writes.
bool IsExcludedPackagePath(std::string_view path);

// The one test both install ways use: whether `relative` (UTF-8, from the manifest or the
// package, '/' or '\' separated) may be written below `plugins_dir`. On true `target` is where
// it goes and `key` is the path as Windows resolves it (case folded, trailing dots and blanks
// dropped), so that two spellings of one file compare equal. Refused: the Zip Slip forms,
// rooted paths, text that is not UTF-8, the exclusions (also when a short name such as
// KEL_PL~1 reaches an excluded folder), and the names of this product's own aside copies and
// deployment record.
bool ResolveWritablePath(const std::filesystem::path& plugins_dir, std::string_view relative,
                         std::filesystem::path& target, std::wstring& key);

// The process and moment that made one of our temporary or aside names.
struct NameOwner {
  std::uint32_t pid = 0;
  std::uint64_t ticks = 0;  // GetTickCount64 when the name was made
};

// Whether that process may still be running. A process under the same id that started after
// the name was made (or a name from before the last restart) is another program: the name is
// stale. Our own process counts as running.
bool OwnerMayBeRunning(const NameOwner& owner);

// "pid_ticks" of this process, never the same twice in one process: the stamp of one
// deployment's aside copies and of one temporary name.
std::wstring NewRunStamp();

// Temporary names in the user's TEMP folder: "kel_installer_pkg_" + stamp + ".zip" (a package
// file), "kel_installer_stage_", "kel_diff_blobs_", "kel_installer_cache_" + stamp (folders),
// "kel_setup_finish_" + stamp + ".exe" (the program copy that finishes an uninstall).
enum class TemporaryKind { kPackage, kStage, kBlobs, kCache, kFinishCopy };
std::filesystem::path MakeTemporaryName(TemporaryKind kind);
// The owner of one of those names; nothing for any other name.
std::optional<NameOwner> ParseTemporaryName(std::wstring_view name, bool is_directory);

// Where a deployment stamped `stamp` keeps the old copy of `target` until it is done:
// target + ".old." + stamp, beside it.
std::filesystem::path AsideName(const std::filesystem::path& target, std::wstring_view stamp);
// The owner of an aside copy of a file named `target_name` (compared as Windows compares
// names); nothing for any other name, a user's "x.rb.old.20240501" among them.
std::optional<NameOwner> ParseAsideName(std::wstring_view name, std::wstring_view target_name);

}  // namespace kel
