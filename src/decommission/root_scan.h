#pragma once

// The plugin work of an uninstall for one SketchUp Plugins root: every registry the plugin
// center keeps for the root is read, managed user-installed plugins are handed back,
// marketplace plugins are uninstalled, and loader gates no registry accounts for any more are
// replaced by the plugin's saved entry file or deleted.

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "decommission/restore.h"
#include "decommission/uninstall_transaction.h"
#include "registry/registry_document.h"

namespace kel {

// Test seams passed on to every uninstall and restore of the scan. Production passes none.
struct RootScanCheckpoints {
  UninstallCheckpointHook uninstall;
  RestoreCheckpointHook restore;
};

// Fills `report` and returns its "success". Besides the counted lists and "warnings", the
// report's "remainingWork" lists what still needs the plugin center's managed state (objects
// {"kind", "name"}; kinds "registry", "pending", "tombstone", "gate"): while it is non-empty
// the center must stay, or the next run could not finish. An unusable root leaves the report untouched and
// fails with "SketchUp Plugins root is invalid or inaccessible".
bool DecommissionPluginsRoot(const std::filesystem::path& pluginsRoot, nlohmann::json& report,
                             std::string& error, const RootScanCheckpoints& checkpoints = {});

// "marketplace" yes, "local_takeover" no; otherwise a receipt, a group shared install or the
// mode-3 relay in the companion decides.
bool IsMarketplaceRecord(const std::string& pluginId, const PluginRecord& record,
                         const std::filesystem::path& registryPath,
                         const std::filesystem::path& pluginsRoot);

// A stored copy of a plugin's own entry file (never itself a gate) in the manager root's
// payload store, or in a user's store when the root's own has none.
std::optional<std::string> FindSavedRootEntry(const std::filesystem::path& managerRoot,
                                              const std::string& pluginId,
                                              const std::wstring& fileName);

}  // namespace kel
