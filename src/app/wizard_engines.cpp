#include "app/wizard_engines.h"

#include "app/options.h"
#include "app/silent_runner.h"
#include "sketchup/installed_version.h"

namespace kel {

// Engines that are not wired in yet fail honestly: they never report success they did not
// earn, and the window shows their text.
OperationEngines ProductionOperationEngines() {
  OperationEngines engines;
  engines.fetchLatestRelease = [](const std::string&, InstallerRelease&, std::string& error) {
    error = "版本服务不可用";
    return false;
  };
  engines.installIntoPlugins = [](const InstallRequest&) {
    InstallResult result;
    result.message = "安装引擎不可用";
    return result;
  };
  engines.runUninstall = [](const std::vector<std::wstring>&, bool, const ProgressCallback&) {
    UninstallResult result;
    result.error = "uninstall engine unavailable";
    return result;
  };
  engines.waitForProcessExit = WaitForProcessExit;
  return engines;
}

WizardServices ProductionWizardServices() {
  WizardServices services;
  services.targets.discover = [] { return std::vector<SketchUpTarget>{}; };
  services.targets.readInstalledVersion = [](const std::wstring&) { return std::string(); };
  services.targets.compareVersions = [](const std::string& a, const std::string& b) {
    return CompareVersions(a, b);
  };
  services.isSketchUpRunning = [] { return false; };
  services.launchPluginManager = [](const std::wstring&, std::string& error) {
    error = "plugin manager launch unavailable";
    return false;
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
