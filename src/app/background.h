#pragma once
// The wizard's background work: the startup release query and the install/update and
// uninstall workers, as bodies run on the calling thread. The threads that run them and the
// posting to the window are in app/worker_threads.h.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/engines.h"

namespace kel {

inline constexpr UINT WM_SETUP_VERSION_CHECKED = WM_APP + 101;
inline constexpr UINT WM_SETUP_PROGRESS = WM_APP + 102;
inline constexpr UINT WM_SETUP_DONE = WM_APP + 103;

// lParam of WM_SETUP_PROGRESS.
struct ProgressNote {
  int percent = 0;
  std::wstring text;
};

// lParam of WM_SETUP_DONE.
struct OperationOutcome {
  bool isUninstall = false;
  bool success = false;
  std::wstring message;
  std::vector<std::wstring> completedDirs;
};

struct ReleaseCache {
  InstallerRelease release;
  bool releaseKnown = false;
  std::wstring error;  // of the last failed query
};

// ReleaseCache behind its lock. The lock is never held across an engine call or a post.
class ReleaseStore {
 public:
  ReleaseCache Read() const;
  // The startup query: success makes the release known and clears the error.
  void StoreQueryResult(bool ok, const InstallerRelease& release, std::wstring error);
  // An install worker's own query: the release becomes known, the error text stays.
  void StoreWorkerRelease(const InstallerRelease& release);
  void Reset();

 private:
  mutable std::mutex mutex_;
  ReleaseCache cache_;
};

struct InstallJob {
  std::vector<std::wstring> dirs;
  std::wstring package;
  std::uint32_t waitPid = 0;
};

struct UninstallJob {
  std::vector<std::wstring> dirs;
  bool purgeGlobal = false;
  std::uint32_t waitPid = 0;
};

inline constexpr std::uint32_t kWaitForProcessMs = 15000;

// Worker bodies, run on the calling thread. `progress` receives what the window shows.
// Exceptions of the engines propagate; the thread wrappers turn them into failed outcomes.
bool RunReleaseQuery(const OperationEngines& engines, const std::string& origin,
                     ReleaseStore& store);
OperationOutcome RunInstallOperation(const InstallJob& job, const OperationEngines& engines,
                                     const std::string& origin, ReleaseStore& store,
                                     const ProgressCallback& progress);
OperationOutcome RunUninstallOperation(const UninstallJob& job, const OperationEngines& engines,
                                       const ProgressCallback& progress);
// The same, but any exception becomes a failed outcome, so the window is never left busy.
OperationOutcome GuardedInstallOperation(const InstallJob& job, const OperationEngines& engines,
                                         const std::string& origin, ReleaseStore& store,
                                         const ProgressCallback& progress);
OperationOutcome GuardedUninstallOperation(const UninstallJob& job,
                                           const OperationEngines& engines,
                                           const ProgressCallback& progress);

}  // namespace kel
