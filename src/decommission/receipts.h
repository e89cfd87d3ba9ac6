#pragma once

// Evidence that a registry record without an install source came from the marketplace, and
// the writer that replaces a file SketchUp still holds open.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

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

// path + ".pending_delete_" + seconds + "_" + pid + "_" + counter (process-wide, from 1).
std::filesystem::path NextPendingDeletePath(const std::filesystem::path& path);

// Writes content atomically; when the old file is held open (access denied or sharing
// violation), moves it aside under a ".pending_delete_" name, writes again and records the
// moved file in the pending-cleanup ledger. ledgerRegistryPath empty = the current user's
// registry (the only form the transactions use).
bool WriteFileMovingLockedAside(const std::filesystem::path& path, std::string_view content,
                                std::string& error,
                                const std::filesystem::path& ledgerRegistryPath = {});

// Adds {originalPath, tempPath, registeredAt} to pending_cleanup.json beside the registry
// (the current user's registry when registryPath is empty). Nothing is recorded when that
// directory is unknown. A temp path already listed is not added twice.
bool RegisterPendingCleanup(const std::filesystem::path& registryPath,
                            const std::filesystem::path& originalPath,
                            const std::filesystem::path& tempPath);

}  // namespace kel
