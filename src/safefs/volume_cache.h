#pragma once

// What the path proofs remember about volumes and drive roots, because asking is slow under
// Wine (a drive type about a millisecond, a root's open and first query three wineserver round
// trips, a volume's serial and file system half a millisecond):
//
//   per drive letter   its type (only "fixed" is remembered: a letter that is missing or
//                      removable now is asked again next time) and one open handle to its root;
//   per volume         its serial number and whether its file ids fit in 64 bits.
//
// For how long: only while an operation runs, that is while at least one VolumeCacheScope is
// alive in the process (the silent run is one operation, every wizard worker another). When
// the last scope ends everything is forgotten and the kept root handles are let go, so no
// drive root stays open between operations (a volume can be ejected while the wizard is open)
// and a volume re-mounted under the same letter, a disk replaced by a stick or a letter that
// appears later is seen as it is now. Outside any scope nothing is kept at all.
//
// What invalidates it: a proof that fails on a drive forgets that drive's entries (type, root
// handle and the facts of its volume), and a kept root handle that no longer proves itself the
// root is dropped with them before a fresh one is opened.
//
// A chain holds its own reference to the root handle it started from, so forgetting a root
// never closes a handle that a chain of another thread is still walking.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kel {

// Keeps the caches alive for one operation; scopes nest and may overlap across threads.
class VolumeCacheScope {
 public:
  VolumeCacheScope();
  ~VolumeCacheScope();
  VolumeCacheScope(const VolumeCacheScope&) = delete;
  VolumeCacheScope& operator=(const VolumeCacheScope&) = delete;
};

struct VolumeFacts {
  std::uint64_t serial = 0;
  // The file system's ids fit in 64 bits, so the cheap index query names a file uniquely.
  bool whole_id_in_64_bits = false;
};

// The facts of the volume that `handle` lies on; `final_path` is the handle's normalised final
// path (its volume part is the key).
bool VolumeFactsOf(HANDLE handle, const std::wstring& final_path, VolumeFacts& facts_out);

// A drive root handle shared between the cache and the chains that started from it: closed
// when the last holder lets go.
using SharedRootHandle = std::shared_ptr<void>;

// GetDriveTypeW of a drive root ("c:\"), remembered while it is DRIVE_FIXED.
UINT DriveTypeOf(const std::wstring& root);
// The kept handle of a drive root, or null. The caller proves it before use.
SharedRootHandle KeptDriveRoot(const std::wstring& root);
// Remembers a proven root handle for the rest of the operation (nothing outside a scope).
void KeepDriveRoot(const std::wstring& root, SharedRootHandle handle);
// Opens a drive root for a chain (no access that would keep it from being ejected later).
SharedRootHandle OpenDriveRoot(const std::wstring& root);

// Forgets everything about the drive or volume a path lies on ("c:\...", "\\server\share\...").
void ForgetVolumeOf(const std::wstring& path);

// For tests: how often a drive type was asked, how many root handles are kept, and a stand-in
// for GetDriveTypeW (null restores it).
struct VolumeCacheCounts {
  std::size_t drive_type_queries = 0;
  std::size_t kept_roots = 0;
};
VolumeCacheCounts VolumeCacheCountsForTesting();
void SetDriveTypeProbeForTesting(UINT (*probe)(const wchar_t* root));

}  // namespace kel
