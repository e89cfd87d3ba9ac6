#pragma once

// Uninstalling one marketplace plugin from one registry as a small crash-safe transaction:
// plan validated, tombstone written, registry record removed (the point of no return), then
// gate, companion and internal files cleaned up. Every cleanup step can be repeated from the
// tombstone by a later call. Runs under the root-gate mutex shared with the plugin manager.

#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "decommission/cleanup_steps.h"
#include "decommission/companion.h"
#include "decommission/root_gate_lock.h"
#include "decommission/tombstone.h"
#include "decommission/uninstall_plan.h"
#include "registry/registry_document.h"

namespace kel {

// Points at which a crash test may stop the process. Production passes no hook.
enum class UninstallCheckpoint {
  kTombstoneWritten,   // tombstone on disk, registry record still present
  kRegistryCommitted,  // record removed, no cleanup done yet
  kGateRemoved,        // gate gone, companion not yet isolated
  kCompanionIsolated,  // companion in uninstall_staging, internals not yet removed
  kInternalsCleaned,   // internal files gone, tombstone still present
};
using UninstallCheckpointHook = std::function<void(UninstallCheckpoint)>;

// The registry commit: RemovePluginFromRegistry unless a test replaces it.
using RegistryRecordRemover =
    std::function<bool(const std::filesystem::path& registryPath, const std::string& pluginId,
                       PluginRegistry& after, std::string& error)>;

// claims: the companion claims of the root's entries when the caller computed them for the
// whole scan; without them each call reads the root itself.
// True: the registry commit is done (now or earlier) and result holds the cleanup outcome.
// False: nothing was committed and error says why.
bool UninstallManagedPlugin(const std::string& pluginId, const std::string& registryPathUtf8,
                            nlohmann::json& result, std::string& error,
                            const UninstallCheckpointHook& checkpoint = {},
                            const RegistryRecordRemover& removeRecord = {},
                            const CompanionClaims* claims = nullptr);

// Always completes; the outcome is in result.
void CommitUninstall(const UninstallPlan& plan, const std::filesystem::path& registryPath,
                     const std::filesystem::path& tombstonePath, const PluginRegistry& registry,
                     nlohmann::json& result, const UninstallCheckpointHook& checkpoint = {},
                     const CompanionClaims* claims = nullptr);

}  // namespace kel
