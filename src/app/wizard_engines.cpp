#include "app/wizard_engines.h"

#include "app/options.h"
#include "app/launch.h"
#include "app/silent_runner.h"
#include "decommission/uninstall.h"
#include "install/install.h"
#include "net/release.h"
#include "sketchup/discovery.h"
#include "sketchup/installed_version.h"

namespace kel {

OperationEngines ProductionOperationEngines() {
  OperationEngines engines;
  engines.fetchLatestRelease = FetchLatestRelease;
  engines.installIntoPlugins = InstallIntoPlugins;
  engines.runUninstall = [](const std::vector<std::wstring>& dirs, bool purge,
                            const ProgressCallback& progress) {
    return RunUninstall(dirs, purge, progress);
  };
  engines.waitForProcessExit = WaitForProcessExit;
  return engines;
}

WizardServices ProductionWizardServices() {
  WizardServices services;
  services.targets.discover = DiscoverSketchUpInstallations;
  services.targets.readInstalledVersion = [](const std::wstring& dir) {
    return ReadInstalledVersion(dir);
  };
  services.targets.compareVersions = [](const std::string& a, const std::string& b) {
    return CompareVersions(a, b);
  };
  services.isSketchUpRunning = IsSketchUpRunning;
  services.launchPluginManager = [](const std::wstring& dir, std::string& error) {
    return LaunchPluginManager(dir, error);
  };
  return services;
}

WizardSettings WizardSettingsFromProcessOptions() {
  const SetupOptions& options = ProcessOptions();
  WizardSettings settings;
  settings.mode = options.mode;
  settings.target = options.target;
  settings.package = options.package;
  settings.waitPid = options.wait_pid;
  settings.purgeGlobal = options.purge_global;
  settings.noLaunch = options.no_launch;
  return settings;
}

}  // namespace kel
