#include "app/silent_runner.h"

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
  operations.install = [](const std::wstring&, const std::string&, const InstallerRelease*,
                          const std::wstring&) { return false; };
  operations.uninstall = [](const std::vector<std::wstring>&, bool) { return false; };
  operations.launch_plugin_manager = [](const std::wstring&) { return false; };
  return operations;
}

}  // namespace kel
