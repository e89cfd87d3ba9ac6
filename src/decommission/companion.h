#pragma once

// Which directory of a Plugins root a root entry loads its code from, and whether a plugin's
// companion directory is still used by anything else in the root.

#include <filesystem>
#include <map>
#include <vector>
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

// What the user entries of a root claim, computed once per scan (each entry read once): the
// companion each loads, and every root directory its source mentions. An entry whose companion
// cannot be told (ambiguous, the root not listed) makes every companion claimed.
class CompanionClaims {
 public:
  static CompanionClaims Compute(const std::filesystem::path& pluginsRoot);
  // A root entry other than `except` claims the directory companionPath names.
  bool Claimed(const std::filesystem::path& companionPath,
               const std::filesystem::path& except) const;

 private:
  bool all_ = false;
  std::map<std::string, std::vector<std::filesystem::path>> by_dir_;  // lower-cased names
};

// Another record (of this registry, after the plan's record left it, or of any other registry
// of the root) or another root entry still uses the plan's companion. Doubt counts as shared:
// the companion then stays where it is. undecided is set when the doubt may pass (another
// registry could not be read now), so that the caller can try again later.
bool IsCompanionShared(const UninstallPlan& plan, const PluginRegistry& registry,
                       const std::filesystem::path& registryPath, bool* undecided = nullptr,
                       const CompanionClaims* claims = nullptr);

}  // namespace kel
