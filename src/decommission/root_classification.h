#pragma once

// What the scan does with each plugin the registries and tombstones of a root name, decided
// from the root's inventory: give it back, let its record go, uninstall it, or wait because a
// fact it depends on could not be told.

#include <filesystem>
#include <string>
#include <vector>

#include "decommission/root_inventory.h"
#include "registry/registry_document.h"

namespace kel {

struct ScanCandidate {
  std::filesystem::path registryPath;
  std::string pluginId;
  PluginRecord record;
  std::filesystem::path entryPath;  // install root joined with loadFile
};

struct DeferredCandidate {
  ScanCandidate candidate;
  Finding why;  // unknown, with its doubt and what could not be told
  bool marketplace = false;
};

struct RootClassification {
  std::vector<ScanCandidate> restore;  // the entry is the plugin's gate, or missing
  std::vector<ScanCandidate> release;  // the entry is the user's own file again
  std::vector<ScanCandidate> uninstall;  // marketplace plugins, then committed tombstones
  std::vector<DeferredCandidate> deferred;
  std::vector<TombstoneFacts> damagedTombstones;  // beside no record, unusable for good
  IdSet marketplaceIds;  // their gates are never orphans to recover
  IdSet deferredIds;     // their gates stay for the next run
};

RootClassification ClassifyRoot(const RootInventory& inventory);

// "marketplace" yes, "local_takeover" no; otherwise a receipt, a group shared install or the
// mode-3 relay in the companion decides.
bool IsMarketplaceRecord(const std::string& pluginId, const PluginRecord& record,
                         const std::filesystem::path& registryPath,
                         const std::filesystem::path& pluginsRoot);

}  // namespace kel
