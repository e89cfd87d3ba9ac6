#pragma once

// Root journals: written by the plugin center while it takes a user-installed plugin under
// management. Before a restore or uninstall touches a registry, every journal beside it is
// either verified and finalised or the operation is refused.

#include <filesystem>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "decommission/record_fingerprint.h"
#include "registry/registry_document.h"

namespace kel {

// Finalises every journal in parent(registryPath)\journals whose plugin id is not yet in
// handledIds (ids finalised here are added).
bool FinalizeRootJournals(const std::filesystem::path& registryPath, const PluginRegistry& registry,
                          std::set<std::string>& handledIds, std::string& error);

// The journal's identity and its three paths match the managed transaction of the record.
bool ValidateRootJournal(const nlohmann::json& journal, const std::string& pluginId,
                         const PluginRecord& record, const std::filesystem::path& registryPath,
                         const std::filesystem::path& journalPath, std::filesystem::path& rootEntry,
                         std::filesystem::path& stagedPath, std::filesystem::path& payloadPath,
                         std::string& error);

}  // namespace kel
