#include "app/silent_runner.h"

namespace kel {

// Binds the silent runner to the engines. An engine that is not wired in yet fails honestly:
// it never reports success it did not earn.
SilentOperations ProductionSilentOperations() {
  SilentOperations operations;
  operations.wait_for_process = WaitForProcessExit;
  operations.discover_plugins_dirs = [] { return std::vector<std::wstring>{}; };
  operations.fetch_release = [](const std::string&, std::shared_ptr<const InstallerRelease>&) {
    return false;
  };
  operations.install = [](const std::wstring&, const std::string&, const InstallerRelease*,
                          const std::wstring&) { return false; };
  operations.uninstall = [](const std::vector<std::wstring>&, bool) { return false; };
  operations.launch_plugin_manager = [](const std::wstring&) { return false; };
  return operations;
}

}  // namespace kel
