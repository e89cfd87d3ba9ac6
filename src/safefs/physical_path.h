#pragma once

// Proofs that a path reaches a physical file or directory: walked from the drive root one
// handle at a time with the native file API, each step opened relative to its parent, reparse
// points never followed, every directory re-checked before its handle is used.

#include <windows.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "safefs/path_forms.h"

namespace kel {

// Native status values (NTSTATUS) this layer reports or reacts to.
using NtStatus = LONG;
inline constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000DL);

// Access, sharing, disposition and option values of the native open calls.
namespace native_open {
inline constexpr ACCESS_MASK kWalkDirectoryAccess = 0x1000A0;        // SYNCHRONIZE|READ_ATTRIBUTES|TRAVERSE
inline constexpr ACCESS_MASK kCreateInDirectoryAccess = 0x1000A4;    // ... plus ADD_SUBDIRECTORY
inline constexpr ACCESS_MASK kProofTargetAccess = 0x100080;          // SYNCHRONIZE|READ_ATTRIBUTES
inline constexpr ULONG kShareRead = 1;
inline constexpr ULONG kShareReadWrite = 3;
inline constexpr ULONG kShareAll = 7;
inline constexpr ULONG kFileOpen = 1;
inline constexpr ULONG kFileCreate = 2;
inline constexpr ULONG kDirectoryOptions = 0x200021;     // OPEN_REPARSE_POINT|SYNC_IO_NONALERT|DIRECTORY
inline constexpr ULONG kNonDirectoryOptions = 0x200060;  // OPEN_REPARSE_POINT|NON_DIRECTORY|SYNC_IO_NONALERT
}  // namespace native_open

// What the system records about one opened object.
struct PhysicalIdentity {
  std::uint64_t volume_serial = 0;
  std::array<std::uint8_t, 16> file_id{};
  std::wstring final_path;  // normalised: see NormalizedFinalPath
  bool is_directory = false;
};

// Same object: volume serial, file id and final path (both already lower case) all equal.
bool SameIdentity(const PhysicalIdentity& a, const PhysicalIdentity& b);

// An open walk from a drive root down to one directory. names[i] is the name under which
// handles[i + 1] was opened inside handles[i]. Closes its handles when reset or destroyed; the
// drive root's handle is shared with the volume cache (root_owner) and closes with its last
// holder.
struct DirectoryChain {
  std::vector<unique_handle> handles;
  std::vector<PhysicalIdentity> identities;
  std::vector<std::wstring> names;
  std::shared_ptr<void> root_owner;

  DirectoryChain() = default;
  DirectoryChain(const DirectoryChain&) = delete;
  DirectoryChain& operator=(const DirectoryChain&) = delete;
  ~DirectoryChain() { Reset(); }

  void Reset();
  bool empty() const { return handles.empty(); }
  HANDLE last_handle() const { return handles.empty() ? nullptr : handles.back().get(); }
};

// The four native entry points, looked up once per process in the already mapped ntdll.
struct NativeFileApi {
  using NtCreateFileFn = NtStatus(WINAPI*)(PHANDLE file, ACCESS_MASK access,
                                           void* object_attributes, void* io_status,
                                           PLARGE_INTEGER allocation_size, ULONG attributes,
                                           ULONG share, ULONG disposition, ULONG options,
                                           PVOID ea_buffer, ULONG ea_length);
  using NtSetInformationFileFn = NtStatus(WINAPI*)(HANDLE file, void* io_status,
                                                   PVOID information, ULONG length,
                                                   ULONG information_class);
  using NtQueryInformationFileFn = NtStatus(WINAPI*)(HANDLE file, void* io_status,
                                                     PVOID information, ULONG length,
                                                     ULONG information_class);
  using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(NtStatus status);

  NtCreateFileFn NtCreateFile = nullptr;
  NtSetInformationFileFn NtSetInformationFile = nullptr;
  NtQueryInformationFileFn NtQueryInformationFile = nullptr;
  RtlNtStatusToDosErrorFn RtlNtStatusToDosError = nullptr;

  bool available() const {
    return NtCreateFile != nullptr && NtSetInformationFile != nullptr &&
           NtQueryInformationFile != nullptr && RtlNtStatusToDosError != nullptr;
  }
};

// The process-wide API. Thread-safe; the first call does the lookup.
const NativeFileApi& GetNativeFileApi();

// The 64-bit file index of a handle (FileInternalInformation): unique on its volume, and asked
// without a volume query, which Windows' own identity calls make (costly under Wine).
bool FileIndexOf(HANDLE handle, std::uint64_t& index_out);

// Lets a test run the layer as if ntdll lacked the entry points (every operation refused).
void SetNativeFileApiHiddenForTesting(bool hidden);

// RtlNtStatusToDosError, or 120 (ERROR_CALL_NOT_IMPLEMENTED) without the native API.
ULONG StatusToDosError(NtStatus status);

// "state file " + label + " failed: " + StatusToDosError(status).
std::string FormatNativeFailure(std::string_view label, NtStatus status);

// Fails on a reparse point, on a directory flag other than expected, or when the id or the
// final path cannot be read. The volume's serial and id width come from the volume cache
// (safefs/volume_cache.h); the id itself is read from the handle on every call.
bool QueryPhysicalIdentity(HANDLE handle, bool expect_directory, PhysicalIdentity& identity_out);

enum class ChainOpen : int {
  kOpen = 0,     // every directory of the path is open
  kMissing = 1,  // a directory on the way does not exist (and was not to be created)
  kFailed = 2,   // refused or failed; error may hold a text
};

// Walks CanonicalPath(path) into the chain (reset first), creating missing directories when
// asked.
ChainOpen OpenChain(DirectoryChain& chain, const std::filesystem::path& path,
                    bool create_missing, std::string& error);

// The chain's invariants hold and every handle still proves the identity recorded for it.
bool VerifyChain(const DirectoryChain& chain);

// handle is a physical object of the expected kind on the parent's volume whose final path is
// the parent's final path + "\" + name.
bool VerifyChild(HANDLE handle, const PhysicalIdentity& parent_identity, std::wstring_view name,
                 bool expect_directory, PhysicalIdentity& identity_out);

// One NtCreateFile relative to parent_handle. On success handle_out takes the new handle.
// Refused without a call (status 0xC000000D) when the API is missing, the parent is null, or
// name is not a SafeComponent or is longer than 32,767 characters.
bool OpenRelative(HANDLE parent_handle, std::wstring_view name, ACCESS_MASK access, ULONG share,
                  ULONG disposition, ULONG options, unique_handle& handle_out,
                  NtStatus& status_out);

// Opens name (never a directory) inside the chain's last directory and proves it its child.
// dos_error_out (optional) receives the Windows error of a failed open.
bool OpenInChain(const DirectoryChain& chain, std::wstring_view name, ACCESS_MASK access,
                 ULONG share, ULONG disposition, ULONG options, std::string_view label,
                 unique_handle& handle_out, PhysicalIdentity& identity_out, std::string& error,
                 ULONG* dos_error_out = nullptr);

// Proves that path is a physical directory (expect_directory) or file. Holds nothing open.
bool ProvePhysicalPath(const std::filesystem::path& path, bool expect_directory,
                       PhysicalIdentity& identity_out, std::string& error);
bool IsPhysicalFile(const std::filesystem::path& path);

}  // namespace kel
