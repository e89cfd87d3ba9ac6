#pragma once

// Evidence that a registry record without an install source came from the marketplace.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "decommission/set_aside.h"
#include "registry/registry_document.h"

namespace kel {

// Every read and write here is bounded by this size.
inline constexpr std::size_t kReceiptFileLimit = 134217728;

// A receipt in <registry dir>\install_receipts names the plugin id, or an entry file whose
// last component equals the record's loadFile (case-insensitive).
bool HasInstallReceipt(const std::filesystem::path& registryPath, std::string_view pluginId,
                       const PluginRecord& record);

// <registry dir>\group_shared_installs.json has a member keyed (or whose featureCode or
// pluginId reads) as the plugin id or the loadFile stem, case-insensitively.
bool IsGroupSharedInstall(const std::filesystem::path& registryPath, std::string_view pluginId,
                          const PluginRecord& record);

// The companion directory holds the mode-3 relay (either relay DLL, or payload\*.so).
bool HasModeThreeRelay(const std::filesystem::path& pluginsRoot, const PluginRecord& record);

}  // namespace kel
