#include "app/silent_runner.h"

#include <windows.h>

#include <optional>

#include "common/handles.h"
#include "common/text.h"
#include "install/download_cache.h"
#include "safefs/volume_cache.h"

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
              const OperationEngines& engines) {
  auto log = [&engines](std::string_view line) {
    if (engines.log) engines.log(line);
  };
  // The whole run is one operation for what the path proofs remember of the drives.
  VolumeCacheScope volumes;
  if (options.wait_pid != 0) engines.waitForProcessExit(options.wait_pid, kWaitPidTimeoutMs);

  std::vector<std::wstring> targets;
  if (!options.target.empty()) {
    targets.push_back(options.target);
  } else {
    // A discovery that throws has found nothing usable.
    try {
      for (const SketchUpTarget& found : engines.discover()) {
        targets.push_back(found.pluginsDir.wstring());
      }
    } catch (...) {
      targets.clear();
    }
  }
  for (const std::wstring& target : targets) log("target: " + WideToUtf8(target));
  if (targets.empty()) {
    log("error: no SketchUp Plugins folder found");
    return kExitNoTarget;
  }

  // Lower layers may throw on unexpected conditions; a silent run still ends in its
  // documented exit code rather than dying.
  if (options.mode == "uninstall") {
    int code = kExitOperationFailed;
    try {
      if (engines.runUninstall(targets, options.purge_global, ProgressCallback()).success) {
        code = kExitSuccess;
      }
    } catch (...) {
    }
    KeepAppsEntry(engines, targets, std::string(), true);
    return code;
  }

  std::optional<InstallerRelease> release;
  if (options.package.empty()) {
    try {
      InstallerRelease fetched;
      std::string error;
      if (!engines.fetchLatestRelease(resolved_origin, fetched, error)) {
        return kExitReleaseQueryFailed;
      }
      release = std::move(fetched);
    } catch (...) {
      return kExitReleaseQueryFailed;
    }
  }

  bool installed = true;
  {
    DownloadCache cache;  // each file fetched once for every version of the run
    for (const std::wstring& target : targets) {
      InstallRequest request;
      request.cache = &cache;
      request.pluginsDir = target;
      request.origin = resolved_origin;
      request.release = release;
      request.offlinePackage = options.package;
      try {
        installed = engines.installIntoPlugins(request).success;
      } catch (...) {
        installed = false;
      }
      if (!installed) break;
    }
  }
  // Also after a failure: the versions installed before it hold the center.
  KeepAppsEntry(engines, targets, release ? release->pluginName : std::string(), false);
  if (!installed) return kExitOperationFailed;

  if (!options.no_launch) {
    try {
      std::string ignored;
      engines.launchPluginManager(targets.front(), ignored);
    } catch (...) {
      // The install succeeded; a manager that does not start changes nothing.
    }
  }
  return kExitSuccess;
}

}  // namespace kel
