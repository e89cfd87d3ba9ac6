#pragma once

// The plugin work of an uninstall for one SketchUp Plugins root: every registry the plugin
// center keeps for the root is read, managed user-installed plugins are handed back,
// marketplace plugins are uninstalled, and loader gates no registry accounts for any more are
// replaced by the plugin's saved entry file or deleted.

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "decommission/restore.h"
#include "decommission/root_classification.h"
#include "decommission/uninstall_transaction.h"
#include "registry/registry_document.h"

namespace kel {

// Test seams passed on to every uninstall and restore of the scan. Production passes none.
struct RootScanCheckpoints {
  UninstallCheckpointHook uninstall;
  RestoreCheckpointHook restore;
};

// Fills `report` and returns its "success". Besides the counted lists and "warnings", the
// report's "remainingWork" lists what still needs the plugin center's managed state
// (CenterRemainingWork): while it is non-empty the center must stay, or the next run could not
// finish. An unusable root leaves the report untouched and fails with "SketchUp Plugins root
// is invalid or inaccessible".
bool DecommissionPluginsRoot(const std::filesystem::path& pluginsRoot, nlohmann::json& report,
                             std::string& error, const RootScanCheckpoints& checkpoints = {});

}  // namespace kel
