#pragma once
// Everything the silent run and the wizard call into outside the shell: one seam, bound to
// the real engines by ProductionEngines and to doubles by the tests.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/progress.h"
#include "decommission/uninstall.h"
#include "install/install.h"
#include "net/release.h"
#include "net/release_trust.h"
#include "sketchup/discovery.h"

namespace kel {

struct OperationEngines {
  std::function<bool(std::uint32_t pid, std::uint32_t timeoutMs)> waitForProcessExit;
  // The discovered SketchUp versions, newest first.
  std::function<std::vector<SketchUpTarget>()> discover;
  std::function<bool(const std::string& origin, InstallerRelease& release, std::string& error)>
      fetchLatestRelease;
  // Every install of a run goes through here, so per-run state (a download cache) travels in
  // the request.
  std::function<InstallResult(const InstallRequest& request)> installIntoPlugins;
  std::function<UninstallResult(const std::vector<std::wstring>& pluginsDirs, bool purgeGlobal,
                                const ProgressCallback& progress)>
      runUninstall;
  std::function<bool(const std::wstring& pluginsDir, std::string& error)> launchPluginManager;
  std::function<bool()> isSketchUpRunning;
  std::function<std::string(const std::wstring& pluginsDir)> readInstalledVersion;
  std::function<int(const std::string& a, const std::string& b)> compareVersions;
  // After an install (mayRemove false) or uninstall run over `dirs`: the Apps & features entry
  // brought in line with the folders holding the center. Returns the lines for the log; never
  // changes the run's outcome. `pluginName` is the release's, empty when none was known.
  std::function<std::vector<std::string>(const std::vector<std::wstring>& dirs,
                                         const std::string& pluginName, bool mayRemove)>
      updateAppsEntry;
  // One line of the run log; empty when no log is kept.
  std::function<void(std::string_view line)> log;
};

// The engines as the shipped program uses them; every release query and install under
// `trust`.
OperationEngines ProductionEngines(const ReleaseTrust& trust = {});

// The same engines, each call also written to `log` (its target, the release, the way an
// install took, every progress text once, every warning and error).
OperationEngines LoggedEngines(OperationEngines engines,
                               std::function<void(std::string_view line)> log);

// Calls engines.updateAppsEntry when bound; whatever it throws or reports goes to the log only.
void KeepAppsEntry(const OperationEngines& engines, const std::vector<std::wstring>& dirs,
                   const std::string& pluginName, bool mayRemove);

// The way an install took, as the run log names it.
std::string InstallWayText(const InstallResult& result);

}  // namespace kel
