#pragma once

// The registries the plugin center keeps for one Plugins root, and whether each can be read
// now, only later (its lock is held, the file is in use), or never (damaged for good).

#include <filesystem>
#include <string>
#include <vector>

#include "registry/registry_document.h"

namespace kel {

// managed_plugins\plugin_registry.json, then users\<dir>\plugin_registry.json in enumeration
// order; plain files only. An enumeration error ends the list quietly.
std::vector<std::filesystem::path> RegistriesOfRoot(const std::filesystem::path& pluginsRoot);

enum class RegistryReadState {
  kRead,     // registry_out holds the document
  kBusy,     // could not be read now; a later run may (lock held, file in use)
  kDamaged,  // the bytes are there but are not a valid registry (or exceed its size limit)
};

// LoadRegistry (which repairs and upgrades; only with allowRepair), else ReadRegistry. When neither reads, the file
// is read once more without the lock to tell a passing obstacle from damage; the document
// itself is never changed by that.
RegistryReadState ReadRootRegistry(const std::filesystem::path& registryPath,
                                   PluginRegistry& registry_out, std::string& error,
                                   bool allowRepair = true);

}  // namespace kel
