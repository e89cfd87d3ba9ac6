#pragma once

// The tombstone: the file that records, before the registry is changed, everything a later
// run needs to finish uninstalling one plugin: uninstall_journals\<pluginId>.json beside the
// registry.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "decommission/uninstall_plan.h"
#include "registry/registry_document.h"

namespace kel {

inline constexpr std::size_t kMaxTombstoneCachedIcons = 1024;

// parent(registryPath)\uninstall_journals\<pluginId>.json
std::filesystem::path TombstonePathFor(const std::filesystem::path& registryPath,
                                       std::string_view pluginId);

bool CheckTombstonePath(const std::filesystem::path& registryPath,
                        const std::filesystem::path& tombstonePath, bool requireExisting,
                        std::string& error);

bool ReadUninstallTombstone(const std::filesystem::path& tombstonePath,
                            const std::string& pluginId,
                            const std::filesystem::path& registryPath, UninstallPlan& plan,
                            std::string& error);

// The tombstone document for a plan and record fingerprint.
nlohmann::json TombstoneDocument(const UninstallPlan& plan, const PluginRecord& record,
                                 const std::string& fingerprint);

// The fingerprint a readable tombstone carries; empty otherwise.
std::string TombstoneFingerprint(const std::filesystem::path& tombstonePath);

// The plugin id a tombstone file holds, with its case, when it names the same id as the file
// (compared case-insensitively: a file system may not keep the name's case). Empty when the
// file cannot be read, holds no valid id, or holds another plugin's id.
std::string TombstonePluginId(const std::filesystem::path& tombstonePath);

}  // namespace kel
