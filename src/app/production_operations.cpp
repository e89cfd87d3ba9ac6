#include "app/silent_runner.h"

#include "app/launch.h"
#include "decommission/uninstall.h"
#include "install/download_cache.h"
#include "install/install.h"
#include "net/release.h"
#include "sketchup/discovery.h"

namespace kel {

// Binds the silent runner to the engines. An engine that is not wired in yet fails honestly:
// it never reports success it did not earn.
SilentOperations ProductionSilentOperations() {
  SilentOperations operations;
  operations.wait_for_process = WaitForProcessExit;
  operations.discover_plugins_dirs = [] {
    std::vector<std::wstring> dirs;
    for (const SketchUpTarget& target : DiscoverSketchUpInstallations()) {
      dirs.push_back(target.pluginsDir.wstring());
    }
    return dirs;
  };
  operations.fetch_release = [](const std::string& origin,
                                std::shared_ptr<const InstallerRelease>& release) {
    auto fetched = std::make_shared<InstallerRelease>();
    std::string error;
    if (!FetchLatestRelease(origin, *fetched, error)) return false;
    release = std::move(fetched);
    return true;
  };
  // One run, one download of each file, however many SketchUp versions it installs into;
  // the cache's folder goes with these operations at the end of the run.
  auto cache = std::make_shared<DownloadCache>();
  operations.install = [cache](const std::wstring& plugins_dir, const std::string& origin,
                               const InstallerRelease* release,
                               const std::wstring& offline_package) {
    InstallRequest request;
    request.cache = cache.get();
    request.pluginsDir = plugins_dir;
    request.origin = origin;
    if (release) request.release = *release;
    request.offlinePackage = offline_package;
    return InstallIntoPlugins(request).success;
  };
  operations.uninstall = [](const std::vector<std::wstring>& plugins_dirs, bool purge_global) {
    return RunUninstall(plugins_dirs, purge_global, ProgressCallback()).success;
  };
  operations.launch_plugin_manager = [](const std::wstring& plugins_dir) {
    std::string ignored;
    return LaunchPluginManager(plugins_dir, ignored);
  };
  return operations;
}

}  // namespace kel
