#include "decommission/uninstall_transaction.h"

#include <set>
#include <system_error>

#include "common/text.h"
#include "common/win_error.h"
#include "common/ascii.h"
#include "decommission/companion.h"
#include "decommission/managed_paths.h"
#include "decommission/receipts.h"
#include "decommission/record_fingerprint.h"
#include "decommission/root_inventory.h"
#include "decommission/root_journal.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

// Another registry of the same root (the shared one, another user's) still lists the plugin,
// in any case of its id. The unauthenticated registry is the same person before logging in.
// Unknown when one of them cannot be read now.
Finding AnotherRegistryRegisters(const std::string& pluginId, const fs::path& registryPath) {
  const fs::path plugins_root = PluginsRootOfRegistry(registryPath);
  if (plugins_root.empty()) return Finding::No();
  std::vector<RegistryFacts> others;
  for (RegistryFacts& facts : ReadRootRegistries(plugins_root, false)) {
    if (AsciiEqualsIgnoreCase(WideToUtf8(facts.path.parent_path().filename().native()),
                              kUnauthenticatedUserKey)) {
      continue;
    }
    others.push_back(std::move(facts));
  }
  return RegistryClaim(others, pluginId, registryPath);
}

void Notify(const UninstallCheckpointHook& checkpoint, UninstallCheckpoint point) {
  if (checkpoint) checkpoint(point);
}

nlohmann::json FailedResult(const std::string& pluginId, const std::string& message) {
  return {{"success", false},         {"status", "failed"},
          {"pluginId", pluginId},     {"registryCommitted", true},
          {"cleanupComplete", false}, {"retryAfterExit", false},
          {"error", message}};
}

enum class CommitState { kCommitted, kNotCommitted, kUnknown };

// A removal reported as failed may still have replaced the registry file (a failure after the
// rename): only reading the registry again tells whether the record is gone.
CommitState RecheckCommit(const fs::path& registryPath, const std::string& pluginId,
                          PluginRegistry& after) {
  PluginRegistry reread;
  std::string error;
  if (!ReadRegistry(registryPath, reread, error)) return CommitState::kUnknown;
  if (reread.plugins.count(pluginId) != 0) return CommitState::kNotCommitted;
  after = std::move(reread);
  return CommitState::kCommitted;
}

}  // namespace

void CommitUninstall(const UninstallPlan& plan, const fs::path& registryPath,
                     const fs::path& tombstonePath, const PluginRegistry& registry,
                     nlohmann::json& result, const UninstallCheckpointHook& checkpoint,
                     const CompanionClaims* claims) {
  std::string error;
  if (!ValidateCleanupDirectories(registryPath, tombstonePath, registry, plan, true, error)) {
    result = FailedResult(plan.pluginId, error);
    return;
  }
  const fs::path manager = registryPath.parent_path();
  const Finding registered = AnotherRegistryRegisters(plan.pluginId, registryPath);
  const bool shared = !registered.no();
  bool companion_shared = false;
  StepFailure failure;
  if (registered.unknown()) {
    failure.Set("another plugin registry of this root could not be read", FailureKind::kRetryable);
  }

  if (!shared && RemoveGate(plan, failure)) Notify(checkpoint, UninstallCheckpoint::kGateRemoved);
  if (!failure.failed() && !plan.companionPath.empty()) {
    bool undecided = false;
    companion_shared = IsCompanionShared(plan, registry, registryPath, &undecided, claims);
    if (!shared && undecided) {
      failure.Set("managed companion sharing could not be checked", FailureKind::kRetryable);
    } else if (!shared && !companion_shared && IsolateCompanion(plan, manager, failure)) {
      Notify(checkpoint, UninstallCheckpoint::kCompanionIsolated);
    }
  }
  if (!failure.failed() &&
      CleanupManagedInternals(plan.pluginId, plan.cachedIcons, registry, registryPath, failure)) {
    Notify(checkpoint, UninstallCheckpoint::kInternalsCleaned);
  }
  if (!failure.failed()) RemoveTombstoneFile(manager, tombstonePath, failure);

  const bool failed = failure.failed();
  result = {{"success", !failed},
            {"status", failed ? "failed" : "completed"},
            {"pluginId", plan.pluginId},
            {"registryCommitted", true},
            {"cleanupComplete", !failed},
            {"companionPreserved", shared || companion_shared},
            {"retryAfterExit", failure.kind == FailureKind::kRetryable}};
  if (failed) result["error"] = failure.message;
}

bool UninstallManagedPlugin(const std::string& pluginId, const std::string& registryPathUtf8,
                            nlohmann::json& result, std::string& error,
                            const UninstallCheckpointHook& checkpoint,
                            const RegistryRecordRemover& removeRecord,
                            const CompanionClaims* claims) {
  RootGateLock lock;
  if (!lock.owned()) {
    SetErrorIfEmpty(error, "root gate lock timed out");
    return false;
  }
  const fs::path registry_path = Utf8ToWide(registryPathUtf8);
  PluginRegistry registry;
  if (registry_path.empty() || !LoadRegistry(registry_path, registry, error)) {
    SetErrorIfEmpty(error, "plugin registry path is invalid");
    return false;
  }
  if (!IsValidPluginId(pluginId)) {
    SetErrorIfEmpty(error, "managed uninstall metadata is invalid");
    return false;
  }
  const fs::path tombstone = TombstonePathFor(registry_path, pluginId);

  const auto found = registry.plugins.find(pluginId);
  if (found == registry.plugins.end()) {
    switch (QueryPathState(tombstone)) {
      case PathState::kMissing:
        SetErrorIfEmpty(error, "plugin id is not present in the shared registry");
        return false;
      case PathState::kUnreadable:
        SetErrorIfEmpty(error, "uninstall tombstone status is unavailable");
        return false;
      default:
        break;
    }
    UninstallPlan plan;
    if (!ReadUninstallTombstone(tombstone, pluginId, registry_path, plan, error)) return false;
    CommitUninstall(plan, registry_path, tombstone, registry, result, checkpoint, claims);
    return true;
  }

  const PluginRecord record = found->second;
  std::set<std::string> handled;
  if (!FinalizeRootJournals(registry_path, registry, handled, error)) return false;
  UninstallPlan plan;
  if (!BuildUninstallPlan(pluginId, record, registry, registry_path, plan, error)) return false;
  if (!ValidateCleanupDirectories(registry_path, tombstone, registry, plan, false, error)) {
    return false;
  }
  std::string fingerprint;
  if (!RecordFingerprint(pluginId, record, fingerprint, error)) return false;
  // A tombstone beside a present record means an earlier run stopped before its commit. When
  // it still describes this very record, the commit is finished now (registry first, so root
  // and registry never disagree); any other tombstone is stale and replaced.
  bool resume = false;
  if (QueryPathState(tombstone) != PathState::kMissing) {
    UninstallPlan earlier;
    std::string tombstone_error;
    resume = ReadUninstallTombstone(tombstone, pluginId, registry_path, earlier,
                                    tombstone_error) &&
             TombstoneFingerprint(tombstone) == fingerprint;
    if (!resume) {
      std::string ignored;
      RemoveStateFile(tombstone, ignored);
    }
  }
  if (!resume) {
    if (!CheckTombstonePath(registry_path, tombstone, false, error)) return false;
    if (!WriteFileMovingLockedAside(tombstone,
                                    TombstoneDocument(plan, record, fingerprint).dump(2), error,
                                    registry_path)) {
      return false;
    }
  }
  Notify(checkpoint, UninstallCheckpoint::kTombstoneWritten);

  PluginRegistry after;
  const std::string earlier_error = error;
  const bool removed = removeRecord ? removeRecord(registry_path, pluginId, after, error)
                                    : RemovePluginFromRegistry(registry_path, pluginId, after, error);
  if (!removed) {
    switch (RecheckCommit(registry_path, pluginId, after)) {
      case CommitState::kNotCommitted: {
        std::string ignored;
        RemoveStateFile(tombstone, ignored);
        return false;
      }
      case CommitState::kUnknown:
        // The tombstone stays: whichever way the registry turns out, the next run finishes.
        return false;
      case CommitState::kCommitted:
        error = earlier_error;
        break;
    }
  }
  Notify(checkpoint, UninstallCheckpoint::kRegistryCommitted);
  CommitUninstall(plan, registry_path, tombstone, after, result, checkpoint, claims);
  return true;
}

}  // namespace kel
