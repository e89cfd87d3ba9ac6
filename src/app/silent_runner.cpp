#include "app/silent_runner.h"

#include <windows.h>


#include "common/handles.h"

namespace kel {
namespace {

constexpr std::uint32_t kWaitPidTimeoutMs = 15000;

enum ExitCode : int {
  kExitSuccess = 0,
  kExitNoTarget = 2,
  kExitReleaseQueryFailed = 3,
  kExitOperationFailed = 4,
};

}  // namespace

bool WaitForProcessExit(std::uint32_t pid, std::uint32_t timeout_ms) {
  if (pid == 0 || pid == GetCurrentProcessId()) return true;
  unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return true;
  return WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0;
}

int RunSilent(const SetupOptions& options, const std::string& resolved_origin,
              const SilentOperations& operations) {
  if (options.wait_pid != 0) operations.wait_for_process(options.wait_pid, kWaitPidTimeoutMs);

  std::vector<std::wstring> targets;
  if (!options.target.empty()) {
    targets.push_back(options.target);
  } else {
    // A discovery that throws has found nothing usable.
    try {
      targets = operations.discover_plugins_dirs();
    } catch (...) {
      targets.clear();
    }
  }
  if (targets.empty()) return kExitNoTarget;

  // Lower layers may throw on unexpected conditions; a silent run still ends in its
  // documented exit code rather than dying.
  if (options.mode == "uninstall") {
    try {
      return operations.uninstall(targets, options.purge_global) ? kExitSuccess
                                                                 : kExitOperationFailed;
    } catch (...) {
      return kExitOperationFailed;
    }
  }

  std::shared_ptr<const InstallerRelease> release;
  if (options.package.empty()) {
    try {
      if (!operations.fetch_release(resolved_origin, release)) return kExitReleaseQueryFailed;
    } catch (...) {
      return kExitReleaseQueryFailed;
    }
  }

  for (const std::wstring& target : targets) {
    try {
      if (!operations.install(target, resolved_origin, release.get(), options.package)) {
        return kExitOperationFailed;
      }
    } catch (...) {
      return kExitOperationFailed;
    }
  }

  if (!options.no_launch) {
    try {
      operations.launch_plugin_manager(targets.front());
    } catch (...) {
      // The install succeeded; a manager that does not start changes nothing.
    }
  }
  return kExitSuccess;
}

}  // namespace kel
