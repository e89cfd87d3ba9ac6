#include "decommission/root_classification.h"

#include "common/ascii.h"
#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/receipts.h"
#include "registry/registry_store.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

fs::path EntryPathOf(const PluginRecord& record, const fs::path& pluginsRoot) {
  return ResolveStoredPluginsRoot(record.install_root, pluginsRoot) / Utf8ToWide(record.load_file);
}

enum class EntryIs { kGate, kMissing, kUsers, kOtherGate, kBusy };

EntryIs Judge(const RootEntryFacts& entry, const std::string& pluginId) {
  switch (entry.state) {
    case ReadState::kMissing:
      return EntryIs::kMissing;
    case ReadState::kBusy:
      return EntryIs::kBusy;
    case ReadState::kDamaged:
      // Empty, oversized or refused by the path proof: never a gate this product wrote.
      return EntryIs::kUsers;
    case ReadState::kRead:
      break;
  }
  if (entry.gateId.empty()) return EntryIs::kUsers;
  return AsciiEqualsIgnoreCase(entry.gateId, pluginId) ? EntryIs::kGate : EntryIs::kOtherGate;
}

}  // namespace

bool IsMarketplaceRecord(const std::string& pluginId, const PluginRecord& record,
                         const fs::path& registryPath, const fs::path& pluginsRoot) {
  if (record.install_source == "marketplace") return true;
  if (record.install_source == "local_takeover") return false;
  return HasInstallReceipt(registryPath, pluginId, record) ||
         IsGroupSharedInstall(registryPath, pluginId, record) ||
         HasModeThreeRelay(pluginsRoot, record);
}

RootClassification ClassifyRoot(const RootInventory& inventory) {
  RootClassification out;
  const fs::path& root = inventory.pluginsRoot;
  std::vector<ScanCandidate> marketplace;
  std::vector<ScanCandidate> managed;
  for (const RegistryFacts& registry : inventory.registries) {
    if (registry.state != ReadState::kRead) continue;
    for (const auto& [id, record] : registry.registry.plugins) {
      ScanCandidate candidate{registry.path, id, record, EntryPathOf(record, root)};
      if (IsMarketplaceRecord(id, record, registry.path, root)) {
        marketplace.push_back(std::move(candidate));
      } else {
        managed.push_back(std::move(candidate));
      }
    }
  }

  // A plugin taken under management in any registry is given back rather than deleted. Known
  // as the marketplace's only by evidence, it is deleted only once every registry is known not
  // to hold it as the user's: a registry that cannot be read now defers it; one damaged for good
  // that keeps a payload of it has it given back from a verified copy.
  auto user_record = [&root](const fs::path& path, const std::string& id,
                             const PluginRecord& record) {
    return !IsMarketplaceRecord(id, record, path, root);
  };
  for (ScanCandidate& candidate : marketplace) {
    if (candidate.record.install_source == "marketplace") {
      out.marketplaceIds.insert(candidate.pluginId);
      out.uninstall.push_back(std::move(candidate));
      continue;
    }
    const std::string id = candidate.pluginId;
    const Finding claim = RegistryClaim(
        inventory.registries, id, {}, user_record, [&id](const fs::path& path) {
          return IsValidPluginId(id) &&
                 QueryPathState(path.parent_path() / L"payloads" / Utf8ToWide(id)) !=
                     PathState::kMissing;
        });
    if (claim.unknown() && claim.doubt == Doubt::kBusy) {
      out.deferredIds.insert(id);
      out.deferred.push_back({std::move(candidate), claim, true});
      continue;
    }
    // An earlier run already gave it back through another registry when its entry is no
    // longer its gate.
    const EntryIs entry = Judge(EntryFacts(inventory, candidate.entryPath), id);
    if (claim.no() && entry != EntryIs::kUsers) {
      out.marketplaceIds.insert(id);
      out.uninstall.push_back(std::move(candidate));
    } else {
      managed.push_back(std::move(candidate));
    }
  }

  for (ScanCandidate& candidate : managed) {
    const RootEntryFacts facts = EntryFacts(inventory, candidate.entryPath);
    switch (Judge(facts, candidate.pluginId)) {
      case EntryIs::kGate:
      case EntryIs::kMissing:
        out.restore.push_back(std::move(candidate));
        break;
      case EntryIs::kUsers:
        out.release.push_back(std::move(candidate));
        break;
      case EntryIs::kBusy:
        out.deferredIds.insert(candidate.pluginId);
        out.deferred.push_back(
            {std::move(candidate),
             Finding::Unknown(Doubt::kBusy, WideToUtf8(facts.path.native())), false});
        break;
      case EntryIs::kOtherGate:
        // Another plugin's gate stands where this one's entry belongs: neither is touched.
        out.deferredIds.insert(candidate.pluginId);
        out.deferred.push_back(
            {std::move(candidate),
             Finding::Unknown(Doubt::kDamaged, WideToUtf8(facts.path.native())), false});
        break;
    }
  }

  // Marketplace uninstalls that passed their registry commit in an interrupted run: only the
  // tombstone beside the registry still names them. Finished after the others.
  for (const TombstoneFacts& tombstone : inventory.tombstones) {
    const RegistryFacts* registry = nullptr;
    for (const RegistryFacts& facts : inventory.registries) {
      if (facts.path == tombstone.registryPath) registry = &facts;
    }
    if (registry == nullptr) continue;
    const std::string stem = WideToUtf8(tombstone.path.stem().native());
    const std::string& id = tombstone.pluginId.empty() ? stem : tombstone.pluginId;
    bool recorded = false;
    for (const auto& [other, record] : registry->registry.plugins) {
      recorded = recorded || AsciiEqualsIgnoreCase(other, id);
    }
    // Beside its record, the record's own uninstall resumes or replaces it.
    if (recorded) continue;
    PluginRecord record;
    record.load_file = tombstone.loadFile;
    record.companion_name = tombstone.companionName;
    ScanCandidate candidate{tombstone.registryPath, id, record, {}};
    switch (tombstone.state) {
      case ReadState::kRead:
        out.marketplaceIds.insert(id);
        out.uninstall.push_back(std::move(candidate));
        break;
      case ReadState::kBusy:
        out.deferredIds.insert(id);
        out.deferred.push_back(
            {std::move(candidate),
             Finding::Unknown(Doubt::kBusy, WideToUtf8(tombstone.path.native())), true});
        break;
      default:
        out.damagedTombstones.push_back(tombstone);
        break;
    }
  }
  return out;
}

}  // namespace kel
