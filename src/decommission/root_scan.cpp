#include "decommission/root_scan.h"

#include <system_error>
#include <utility>

#include "common/text.h"
#include "decommission/center_removal.h"
#include "decommission/companion.h"
#include "decommission/entry_recovery.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/no_loss_proof.h"
#include "decommission/orphan_sweep.h"
#include "decommission/root_inventory.h"
#include "decommission/set_aside.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

nlohmann::json PluginEntry(const ScanCandidate& candidate) {
  return {{"pluginId", candidate.pluginId},
          {"loadFile", candidate.record.load_file},
          {"companionName", candidate.record.companion_name}};
}

std::string Utf8(const fs::path& path) { return WideToUtf8(path.native()); }

// The record's active generation in its own registry's payload store.
fs::path ActiveCopyOf(const ScanCandidate& candidate) {
  if (!IsValidPluginId(candidate.pluginId) || candidate.record.active_generation.empty() ||
      !IsPortableUtf8Name(candidate.record.active_generation) ||
      !IsPortableUtf8Name(candidate.record.load_file)) {
    return {};
  }
  return candidate.registryPath.parent_path() / L"payloads" / Utf8ToWide(candidate.pluginId) /
         Utf8ToWide(candidate.record.active_generation) / Utf8ToWide(candidate.record.load_file);
}

// The record of a plugin whose own entry is back in the root goes; what it kept stays in the
// center, whose removal proves the entry against it.
void ReleaseRecord(const ScanCandidate& candidate, const RootEntryFacts& entry) {
  const std::string name = Utf8(candidate.entryPath.filename());
  const UserBytes original{Utf8(candidate.entryPath), name,
                           candidate.record.active_generation.empty() ? Finding::No()
                                                                      : Finding::Yes(),
                           "sha256:" + candidate.record.active_generation};
  const KeptCopy in_place{Utf8(entry.path), name,
                          entry.state == ReadState::kBusy
                              ? Finding::Unknown(Doubt::kBusy, Utf8(entry.path))
                              : (entry.state == ReadState::kMissing ? Finding::No()
                                                                    : Finding::Yes()),
                          entry.digest, entry.gateId.empty()};
  if (!ProveNoLoss({original}, {in_place}).yes()) return;
  PluginRegistry ignored;
  std::string ignored_error;
  RemovePluginFromRegistry(candidate.registryPath, candidate.pluginId, ignored, ignored_error);
}

std::string DeferredMessage(const DeferredCandidate& deferred) {
  const std::string verb = deferred.marketplace ? "uninstall " : "restore ";
  const std::string& what = deferred.why.what;
  if (deferred.why.doubt == Doubt::kDamaged) {
    return verb + deferred.candidate.pluginId + " failed: root entry belongs to another plugin: " +
           what;
  }
  return verb + deferred.candidate.pluginId + " deferred: could not be read now: " + what;
}

}  // namespace

bool DecommissionPluginsRoot(const fs::path& pluginsRoot, nlohmann::json& report,
                             std::string& error, const RootScanCheckpoints& checkpoints) {
  {
    std::error_code ec;
    const fs::file_status status = fs::status(pluginsRoot, ec);
    if (pluginsRoot.empty() || ec || !fs::is_directory(status) ||
        IsReparsePointOrUnreadable(pluginsRoot)) {
      error = "SketchUp Plugins root is invalid or inaccessible";
      return false;
    }
  }

  // Files an earlier run had to move aside, now that nothing may hold them any more.
  ClearPendingDeletes(pluginsRoot);

  nlohmann::json warnings = nlohmann::json::array();
  const RootInventory inventory = ReadRootInventory(pluginsRoot, true);
  for (const RegistryFacts& registry : inventory.registries) {
    if (registry.state == ReadState::kBusy) {
      warnings.push_back("plugin registry could not be read: " + Utf8(registry.path) + ": " +
                         registry.error);
    } else if (registry.state == ReadState::kDamaged) {
      warnings.push_back("plugin registry is damaged and was skipped: " + Utf8(registry.path));
    }
  }
  SettleUnverifiableJournals(inventory, warnings);
  RootClassification plan = ClassifyRoot(inventory);
  for (const DeferredCandidate& deferred : plan.deferred) {
    warnings.push_back(DeferredMessage(deferred));
  }

  nlohmann::json restored = nlohmann::json::array();
  nlohmann::json uninstalled = nlohmann::json::array();

  for (const ScanCandidate& candidate : plan.release) {
    ReleaseRecord(candidate, EntryFacts(inventory, candidate.entryPath));
  }
  for (const ScanCandidate& candidate : plan.restore) {
    // Read again: an earlier restore of the same plugin through another registry may have
    // given the entry back already.
    const RootEntryFacts now = EntryFacts(RootInventory(), candidate.entryPath);
    if (now.state == ReadState::kBusy) {
      plan.deferredIds.insert(candidate.pluginId);
      warnings.push_back("restore " + candidate.pluginId +
                         " deferred: could not be read now: " + Utf8(now.path));
      continue;
    }
    if (now.state != ReadState::kMissing && now.gateId.empty()) {
      ReleaseRecord(candidate, now);
      continue;
    }
    nlohmann::json result;
    std::string restore_error;
    if (RestoreManagedPlugin(candidate.pluginId, Utf8(candidate.registryPath), result,
                             restore_error, checkpoints.restore)) {
      restored.push_back(PluginEntry(candidate));
      continue;
    }
    // Refused: the entry still comes back when a verified copy of it is held (any generation,
    // the active one first); the record goes with the next run.
    std::string recover_error;
    const Finding recovered =
        RecoverEntryFromVerifiedCopy(inventory.managerRoot, candidate.pluginId,
                                     candidate.entryPath, ActiveCopyOf(candidate),
                                     candidate.registryPath, recover_error);
    if (recovered.yes()) {
      warnings.push_back("restore " + candidate.pluginId + " failed: " + restore_error +
                         "; its entry was recovered from a verified copy");
      continue;
    }
    plan.deferredIds.insert(candidate.pluginId);
    warnings.push_back("restore " + candidate.pluginId + " failed: " + restore_error);
  }

  // After the restores, which put user entries back: each entry is read once for all the
  // uninstalls, whose own removals only take gates away.
  const CompanionClaims claims = CompanionClaims::Compute(pluginsRoot);
  for (const ScanCandidate& candidate : plan.uninstall) {
    nlohmann::json result;
    std::string uninstall_error;
    if (!UninstallManagedPlugin(candidate.pluginId, Utf8(candidate.registryPath), result,
                                uninstall_error, checkpoints.uninstall, {}, &claims)) {
      plan.deferredIds.insert(candidate.pluginId);
      warnings.push_back("uninstall " + candidate.pluginId + " failed: " + uninstall_error);
      continue;
    }
    nlohmann::json entry = PluginEntry(candidate);
    const auto complete = result.find("cleanupComplete");
    const bool cleaned = complete != result.end() && complete->is_boolean() && complete->get<bool>();
    entry["cleanupComplete"] = cleaned;
    uninstalled.push_back(std::move(entry));
    if (!cleaned) {
      // The record is gone but the tombstone keeps the rest of the work for the next run.
      const auto message = result.find("error");
      warnings.push_back("uninstall " + candidate.pluginId + " cleanup incomplete: " +
                         (message != result.end() && message->is_string()
                              ? message->get<std::string>()
                              : std::string("cleanup failed")));
    }
  }

  SweepOutcome swept = SweepOrphanGates(inventory, plan, warnings);

  // A tombstone that can never be used: its gate was swept like an orphan's (given its saved
  // entry back, or deleted); the tombstone itself holds nothing of the user's.
  for (const TombstoneFacts& tombstone : plan.damagedTombstones) {
    std::string remove_error;
    if (RemoveStateFile(tombstone.path, remove_error)) {
      warnings.push_back("uninstall tombstone is damaged and was removed: " +
                         Utf8(tombstone.path));
    } else {
      warnings.push_back("uninstall tombstone is damaged and could not be removed: " +
                         Utf8(tombstone.path) + ": " + remove_error);
    }
  }

  nlohmann::json work = CenterRemainingWork(pluginsRoot);
  const bool success = warnings.empty() && work.empty();
  report = nlohmann::json::object();
  report["success"] = success;
  report["pluginsRoot"] = Utf8(pluginsRoot);
  report["restoredThirdParty"] = std::move(restored);
  report["uninstalledMarketplace"] = std::move(uninstalled);
  report["recoveredOrphanGates"] = std::move(swept.recovered);
  report["removedOrphanGates"] = std::move(swept.removed);
  report["warnings"] = std::move(warnings);
  report["remainingWork"] = std::move(work);
  return success;
}

}  // namespace kel
