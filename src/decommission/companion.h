#pragma once

// Which directory of a Plugins root a root entry loads its code from, and whether a plugin's
// companion directory is still used by anything else in the root.

#include <filesystem>
#include <string>

#include "decommission/ruby_entry_scan.h"
#include "decommission/uninstall_plan.h"
#include "registry/registry_document.h"

namespace kel {

// Entry sources are read up to this size.
inline constexpr std::size_t kRubyEntryReadLimit = 16777216;

// The companion directory name of one root entry (empty when it has none); false with an
// error when the root cannot be enumerated or the choice is ambiguous.
bool FindCompanion(const std::filesystem::path& pluginsRoot, const std::filesystem::path& entryPath,
                   std::string& companionName, std::string& error);

// Another record (of this registry, after the plan's record left it, or of any other registry
// of the root) or another root entry still uses the plan's companion. Doubt counts as shared:
// the companion then stays where it is. undecided is set when the doubt may pass (another
// registry could not be read now), so that the caller can try again later.
bool IsCompanionShared(const UninstallPlan& plan, const PluginRegistry& registry,
                       const std::filesystem::path& registryPath, bool* undecided = nullptr);

}  // namespace kel
