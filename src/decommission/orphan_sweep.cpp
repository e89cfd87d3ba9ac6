#include "decommission/orphan_sweep.h"

#include "common/ascii.h"
#include "common/text.h"
#include "decommission/entry_recovery.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/no_loss_proof.h"
#include "decommission/root_gate_lock.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kEntryReadLimit = 134217728;

bool AnyRegistryBusy(const RootInventory& inventory) {
  for (const RegistryFacts& registry : inventory.registries) {
    if (registry.state == ReadState::kBusy) return true;
  }
  return false;
}

}  // namespace

SweepOutcome SweepOrphanGates(const RootInventory& inventory,
                              const RootClassification& classification, nlohmann::json& warnings) {
  SweepOutcome outcome;
  if (AnyRegistryBusy(inventory)) return outcome;
  if (!inventory.entriesListed) {
    warnings.push_back("decommission root scan failed");
    return outcome;
  }
  bool any_gate = false;
  for (const RootEntryFacts& entry : inventory.entries) any_gate = any_gate || !entry.gateId.empty();
  if (!any_gate) return outcome;

  RootGateLock lock;
  if (!lock.owned()) {
    warnings.push_back("orphan gates were not swept: root gate lock timed out");
    return outcome;
  }
  // A gate held open is moved aside; the root's shared ledger lists it.
  const fs::path ledger_registry = IsPlainDirectory(inventory.managerRoot)
                                       ? inventory.managerRoot / L"plugin_registry.json"
                                       : fs::path();
  for (const RootEntryFacts& listed : inventory.entries) {
    if (listed.gateId.empty()) continue;
    // Read again: a restore or uninstall of this scan may have changed it.
    const FileFacts now = ReadFileFacts(listed.path, kEntryReadLimit);
    if (now.state != ReadState::kRead) continue;
    const std::string id = ParseGatePluginId(now.content);
    if (id.empty() || classification.deferredIds.count(id) != 0) continue;
    const std::string name = WideToUtf8(listed.path.filename().native());

    // The user's entry behind a gate is its saved copy; a marketplace gate hides none.
    UserBytes behind{name, name, Finding::No(), {}};
    if (classification.marketplaceIds.count(id) == 0) {
      const SavedEntry saved =
          FindSavedRootEntry(inventory.managerRoot, id, listed.path.filename().native());
      if (saved.found.yes()) {
        std::string error;
        const Finding recovered = RecoverEntryFromVerifiedCopy(
            inventory.managerRoot, id, listed.path, saved.where, ledger_registry, error);
        if (recovered.yes()) {
          outcome.recovered.push_back(name);
        } else if (recovered.unknown()) {
          // The gate is all that leads back to the saved copy: it stays for the next run.
          warnings.push_back("recover orphan gate " + name + " failed: " + error);
        }
        continue;
      }
      behind.present = saved.found;
    }
    const Finding proof = ProveNoLoss({behind}, {});
    if (!proof.yes()) {
      warnings.push_back("orphan gate " + name + " kept: its saved copy could not be read: " +
                         proof.what);
      continue;
    }
    std::string remove_error;
    if (RemoveStateFile(listed.path, remove_error)) {
      outcome.removed.push_back(name);
    } else {
      warnings.push_back("remove orphan gate " + name + " failed: " + remove_error);
    }
  }
  return outcome;
}

}  // namespace kel
