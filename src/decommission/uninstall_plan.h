#pragma once

// What uninstalling one marketplace plugin will touch, and the checks that make it safe to
// touch: the gate and companion lie inside the Plugins root, the manager directory and its
// cleanup subdirectories are plain directories, and no other record's gate is in the way.

#include <filesystem>
#include <string>
#include <vector>

#include "registry/registry_document.h"

namespace kel {

struct UninstallPlan {
  std::string pluginId;
  std::filesystem::path pluginsRoot;
  std::filesystem::path gatePath;
  std::filesystem::path companionPath;  // empty when the plugin has no companion
  std::vector<std::string> cachedIcons;
};

bool BuildUninstallPlan(const std::string& pluginId, const PluginRecord& record,
                        const PluginRegistry& registry, const std::filesystem::path& registryPath,
                        UninstallPlan& plan, std::string& error);

enum class CompanionCheck { kSafe, kInvalidName, kUnsafePath };

// A plugin's companion directory `name` (UTF-8) under `installRoot`: a portable name that is
// neither the plugin center's nor a Ruby file, naming nothing or a plain directory inside
// `pluginsRoot` that is not the plugin center. `companion` gets the full path.
CompanionCheck CheckCompanion(const std::string& name, const std::filesystem::path& installRoot,
                              const std::filesystem::path& pluginsRoot,
                              std::filesystem::path& companion);

// The manager directory and its cleanup subdirectories are plain directories, the tombstone
// path is safe, and the plan's companion is no other record's gate.
bool ValidateCleanupDirectories(const std::filesystem::path& registryPath,
                                const std::filesystem::path& tombstonePath,
                                const PluginRegistry& registry, const UninstallPlan& plan,
                                bool requireTombstone, std::string& error);

// A subdirectory of the manager directory that may be missing (when allowMissing) but, when
// present, must be a plain directory.
bool CheckManagerSubdirectory(const std::filesystem::path& managerDir,
                              const std::filesystem::path& sub, bool allowMissing,
                              std::string& error);

}  // namespace kel
