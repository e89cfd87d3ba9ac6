#pragma once

// The whole uninstall: every selected Plugins directory is decommissioned (marketplace plugins
// removed, managed user-installed plugins handed back), the plugin center's own files are
// deleted, and the global login data goes with the last SketchUp version that held it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/progress.h"
#include "sketchup/discovery.h"

namespace kel {

struct UninstallRequest {
  std::vector<std::wstring> pluginsDirs;
  bool purgeGlobal = false;
  std::uint32_t waitPid = 0;  // waited for by the caller before RunUninstall
};

struct UninstallResult {
  bool success = false;
  std::uint64_t uninstalledMarketplace = 0;
  std::uint64_t restoredThirdParty = 0;
  std::uint64_t recoveredOrphanGates = 0;
  bool globalPurged = false;
  std::vector<std::string> warnings;
  std::string error;
  // Set when a directory kept the plugin center because work is left for the next run: what
  // is in the way and what to do, for the user.
  std::string unfinished;
};

// The global folders under the local application data: login data and the manager's own data.
inline constexpr wchar_t kPlatformDataDirName[] = L"KelPlatformV3";
inline constexpr wchar_t kPluginManagerDataDirName[] = L"com.kel.pluginmanager";

// What the orchestration calls into; production binds the engines, tests bind doubles.
struct UninstallSteps {
  std::function<bool(const std::filesystem::path& plugins_root, nlohmann::json& report,
                     std::string& error)>
      decommission_root;
  std::function<bool(const std::filesystem::path& path, std::string& error)> remove_state_file;
  std::function<bool(const std::filesystem::path& path, std::vector<std::string>& warnings)>
      remove_tree;
  std::function<std::vector<SketchUpTarget>()> discover;
  // Empty when it cannot be determined.
  std::function<std::filesystem::path()> local_app_data;
  // What still needs the center in a Plugins root, read again right before it is removed.
  std::function<nlohmann::json(const std::filesystem::path& plugins_root)> remaining_work;
};

UninstallSteps ProductionUninstallSteps();

UninstallResult RunUninstall(const std::vector<std::wstring>& pluginsDirs, bool purgeGlobal,
                             const ProgressCallback& progress);
UninstallResult RunUninstall(const std::vector<std::wstring>& pluginsDirs, bool purgeGlobal,
                             const ProgressCallback& progress, const UninstallSteps& steps);

}  // namespace kel
