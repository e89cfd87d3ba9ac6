#include "app/engines.h"

#include <exception>
#include <memory>

#include "app/apps_entry.h"
#include "app/launch.h"
#include "app/silent_runner.h"
#include "common/text.h"
#include "sketchup/installed_version.h"

namespace kel {

namespace {

using LogLine = std::function<void(std::string_view line)>;

// Forwards to `inner` and logs each text once, when it differs from the one before.
ProgressCallback LoggedProgress(const ProgressCallback& inner, const LogLine& log) {
  auto last = std::make_shared<std::string>();
  return [inner, log, last](int percent, const std::string& text) {
    if (text != *last) {
      *last = text;
      log("progress: " + text);
    }
    if (inner) inner(percent, text);
  };
}

std::string Path(const std::wstring& path) { return WideToUtf8(path); }

// Logs what escaped an engine, then lets it go on to the caller's handling.
[[noreturn]] void LogAndRethrow(const LogLine& log, const std::string& what) {
  try {
    throw;
  } catch (const std::exception& e) {
    log("error: " + what + ": unexpected error: " + e.what());
  } catch (...) {
    log("error: " + what + ": unexpected error");
  }
  throw;
}

}  // namespace

OperationEngines ProductionEngines(const ReleaseTrust& trust) {
  OperationEngines engines;
  engines.waitForProcessExit = WaitForProcessExit;
  engines.discover = DiscoverSketchUpInstallations;
  // Shared by the copies of the engines, which may outlive the caller's record.
  auto shared = std::make_shared<const ReleaseTrust>(trust);
  engines.fetchLatestRelease = [shared](const std::string& origin, InstallerRelease& release,
                                        std::string& error) {
    return FetchTrustedRelease(origin, *shared, release, error);
  };
  engines.installIntoPlugins = [shared](InstallRequest request) {
    request.trust = shared.get();
    return InstallIntoPlugins(request);
  };
  engines.runUninstall = [](const std::vector<std::wstring>& dirs, bool purge,
                            const ProgressCallback& progress) {
    return RunUninstall(dirs, purge, progress);
  };
  engines.launchPluginManager = [](const std::wstring& dir, std::string& error) {
    return LaunchPluginManager(dir, error);
  };
  engines.isSketchUpRunning = IsSketchUpRunning;
  engines.readInstalledVersion = [](const std::wstring& dir) { return ReadInstalledVersion(dir); };
  engines.compareVersions = [](const std::string& a, const std::string& b) {
    return CompareVersions(a, b);
  };
  engines.updateAppsEntry = UpdateAppsEntry;
  return engines;
}

void KeepAppsEntry(const OperationEngines& engines, const std::vector<std::wstring>& dirs,
                   const std::string& pluginName, bool mayRemove) {
  if (!engines.updateAppsEntry) return;
  std::vector<std::string> lines;
  try {
    lines = engines.updateAppsEntry(dirs, pluginName, mayRemove);
  } catch (const std::exception& e) {
    lines.push_back(std::string("warning: the Apps & features entry was not updated: ") + e.what());
  } catch (...) {
    lines.push_back("warning: the Apps & features entry was not updated");
  }
  if (!engines.log) return;
  for (const std::string& line : lines) {
    try {
      engines.log(line);
    } catch (...) {
      return;
    }
  }
}

std::string InstallWayText(const InstallResult& result) {
  switch (result.way) {
    case InstallWay::NothingToDo: return "nothing to do, every file is current";
    case InstallWay::Differential:
      return "differential update, " + std::to_string(result.downloadedCount) + " files";
    case InstallWay::FullPackage: return "full package";
    case InstallWay::None: break;
  }
  return "not completed";
}

OperationEngines LoggedEngines(OperationEngines engines, LogLine log) {
  if (!log) return engines;
  OperationEngines logged = engines;
  logged.log = log;
  logged.waitForProcessExit = [inner = engines.waitForProcessExit, log](std::uint32_t pid,
                                                                        std::uint32_t ms) {
    log("waiting up to " + std::to_string(ms / 1000) + " s for process " + std::to_string(pid));
    const bool ended = inner(pid, ms);
    log(ended ? "process " + std::to_string(pid) + " has ended"
              : "process " + std::to_string(pid) + " still runs; going on");
    return ended;
  };
  logged.fetchLatestRelease = [inner = engines.fetchLatestRelease, log](
                                  const std::string& origin, InstallerRelease& release,
                                  std::string& error) {
    log("querying the latest release from " + origin);
    bool ok = false;
    try {
      ok = inner(origin, release, error);
    } catch (...) {
      LogAndRethrow(log, "release query");
    }
    if (ok) {
      log("release: v" + release.versionCode + ", package " +
          std::to_string(release.fileSizeBytes) + " bytes, " +
          std::to_string(release.files.size()) + " files");
    } else {
      log("error: release query failed: " + error);
    }
    return ok;
  };
  logged.installIntoPlugins = [inner = engines.installIntoPlugins, log](InstallRequest request) {
    const std::string dir = Path(request.pluginsDir.wstring());
    log("install into " + dir +
        (request.offlinePackage.empty()
             ? std::string()
             : " from the offline package " + Path(request.offlinePackage.wstring())));
    request.progress = LoggedProgress(request.progress, log);
    InstallResult result;
    try {
      result = inner(request);
    } catch (...) {
      LogAndRethrow(log, "install into " + dir);
    }
    if (result.success) {
      log("installed into " + dir + ": " + InstallWayText(result) + "; " +
          std::to_string(result.writtenCount) + " written, " +
          std::to_string(result.unchangedCount) + " unchanged");
    } else {
      log("error: install into " + dir + " failed: " + result.message);
    }
    return result;
  };
  logged.runUninstall = [inner = engines.runUninstall, log](
                            const std::vector<std::wstring>& dirs, bool purge,
                            const ProgressCallback& progress) {
    for (const std::wstring& dir : dirs) log("uninstall from " + Path(dir));
    if (purge) log("the global login data and caches are to be removed");
    UninstallResult result;
    try {
      result = inner(dirs, purge, LoggedProgress(progress, log));
    } catch (...) {
      LogAndRethrow(log, "uninstall");
    }
    for (const std::string& warning : result.warnings) log("warning: " + warning);
    if (!result.error.empty()) log("error: " + result.error);
    log(std::string(result.success ? "uninstall finished: " : "uninstall failed: ") +
        std::to_string(result.uninstalledMarketplace) + " marketplace plugins removed, " +
        std::to_string(result.restoredThirdParty) + " plugins handed back, global data " +
        (result.globalPurged ? "removed" : "kept"));
    return result;
  };
  logged.launchPluginManager = [inner = engines.launchPluginManager, log](
                                   const std::wstring& dir, std::string& error) {
    const bool ok = inner(dir, error);
    log(ok ? "plugin manager started from " + Path(dir)
           : "warning: the plugin manager was not started: " + error);
    return ok;
  };
  return logged;
}

}  // namespace kel
