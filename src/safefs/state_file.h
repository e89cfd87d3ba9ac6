#pragma once

// Crash-safe state files: every document kept between runs is read, replaced and removed only
// inside a proven DirectoryChain. A write goes to a fresh temporary beside the target, is
// flushed and read back, and replaces the old file in one rename, so a reader sees the whole
// old document or the whole new one.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "safefs/physical_path.h"

namespace kel {

// The size limits in use, by kind of document.
inline constexpr std::size_t kStateFileLimit1KiB = 1024;
inline constexpr std::size_t kStateFileLimit64KiB = 65536;
inline constexpr std::size_t kStateFileLimit16MiB = 16777216;
inline constexpr std::size_t kStateFileLimit128MiB = 134217728;

// Makes sure path is a physical directory, creating missing levels one at a time.
bool EnsureStateDirectory(const std::filesystem::path& path, std::string& error);

// Reads a whole state file of 1..max_size bytes. With missing_ok a missing file or directory
// is a success with existed_out false. existed_out is false and content_out empty unless the
// file was read.
bool ReadStateFile(const std::filesystem::path& path, std::size_t max_size, bool missing_ok,
                   bool& existed_out, std::string& content_out, std::string& error);

// Replaces or creates the file with exactly content (1..max_size bytes); missing directories
// on the way are created. New files and directories take the caller's spelling of their
// names. Temporaries of the same target left by writers that no longer run are deleted.
bool WriteStateFileAtomic(const std::filesystem::path& path, std::string_view content,
                          std::size_t max_size, std::string& error);

// Lets tests fail one step of a write: the hook gets the step's name ("create temporary",
// "read back", "verify chain", "atomic rename", "atomic rename legacy", "verify replacement")
// and returns the status to fail it with, or 0. Null restores normal operation.
using StateFileFaultHook = NtStatus (*)(std::string_view step);
void SetStateFileFaultHookForTesting(StateFileFaultHook hook);

// Deletes the file through a handle opened inside its proven directory.
bool RemoveStateFile(const std::filesystem::path& path, std::string& error);

// Creates (or, when another process was first, opens) the directory name inside the chain's
// last directory and proves it. Used by OpenChain when it creates missing directories.
bool CreateChildDirectory(DirectoryChain& chain, std::wstring_view name,
                          unique_handle& handle_out, PhysicalIdentity& identity_out,
                          std::string& error);

}  // namespace kel
