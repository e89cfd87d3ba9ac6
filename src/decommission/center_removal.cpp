#include "decommission/center_removal.h"

#include "common/ascii.h"
#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/no_loss_proof.h"
#include "decommission/root_classification.h"
#include "decommission/root_inventory.h"
#include "decommission/set_aside.h"
#include "registry/registry_store.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

std::string StringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A journal that may yet be finalised, over an entry that is still its gate (or gone): the
// takeover's only copy of the entry is inside the center.
bool JournalHoldsEntry(const RootInventory& inventory, const JournalFacts& journal) {
  if (journal.state == ReadState::kBusy) return true;
  if (journal.state != ReadState::kRead) return false;
  const nlohmann::json document = nlohmann::json::parse(journal.content, nullptr, false);
  if (!document.is_object()) return false;
  const fs::path entry_text = Utf8ToWide(StringMember(document, "rootEntry"));
  if (entry_text.empty()) return false;
  const RootEntryFacts entry =
      EntryFacts(inventory, inventory.pluginsRoot / entry_text.filename());
  return entry.state == ReadState::kMissing || entry.state == ReadState::kBusy ||
         !entry.gateId.empty();
}

}  // namespace

nlohmann::json CenterRemainingWork(const fs::path& pluginsRoot) {
  nlohmann::json work = nlohmann::json::array();
  auto add = [&work](const char* kind, const std::string& name) {
    work.push_back({{"kind", kind}, {"name", name}});
  };
  auto utf8 = [](const fs::path& path) { return WideToUtf8(path.native()); };

  for (const fs::path& path : ClearPendingDeletes(pluginsRoot)) add("pending", utf8(path));
  const RootInventory inventory = ReadRootInventory(pluginsRoot, false);
  if (!inventory.entriesListed) add("root", utf8(pluginsRoot));
  for (const RegistryFacts& registry : inventory.registries) {
    if (registry.state == ReadState::kBusy) add("registry", utf8(registry.path));
  }
  for (const TombstoneFacts& tombstone : inventory.tombstones) {
    if (tombstone.state == ReadState::kRead || tombstone.state == ReadState::kBusy) {
      add("tombstone", utf8(tombstone.path));
    }
  }
  for (const JournalFacts& journal : inventory.journals) {
    if (JournalHoldsEntry(inventory, journal)) add("journal", utf8(journal.path));
  }

  // What stays in the root once the center is gone, against what leaves with it.
  std::vector<KeptCopy> staying;
  for (const RootEntryFacts& entry : inventory.entries) {
    const std::string name = WideToUtf8(entry.path.filename().native());
    switch (entry.state) {
      case ReadState::kBusy:
        add("entry", utf8(entry.path));
        staying.push_back({utf8(entry.path), name, Finding::Unknown(Doubt::kBusy, utf8(entry.path)),
                           {}, false});
        break;
      case ReadState::kRead:
        // Any layout of a gate counts: without the center it loads nothing.
        if (!entry.gateId.empty()) add("gate", utf8(entry.path));
        staying.push_back({utf8(entry.path), name, Finding::Yes(), entry.digest,
                           entry.gateId.empty()});
        break;
      case ReadState::kDamaged:
        staying.push_back({utf8(entry.path), name, Finding::Yes(), {}, true});
        break;
      case ReadState::kMissing:
        break;
    }
  }
  for (const RegistryFacts& registry : inventory.registries) {
    if (registry.state != ReadState::kRead) continue;
    for (const auto& [id, record] : registry.registry.plugins) {
      if (record.active_generation.empty() ||
          IsMarketplaceRecord(id, record, registry.path, pluginsRoot)) {
        continue;
      }
      // A record whose entry could never stand in this root has nothing to give back here.
      if (!IsPortableUtf8Name(record.load_file) ||
          !IsSamePath(ResolveStoredPluginsRoot(record.install_root, pluginsRoot), pluginsRoot)) {
        continue;
      }
      // The stored original of a user's plugin: it leaves with the center.
      const fs::path stored = registry.path.parent_path() / L"payloads" / Utf8ToWide(id) /
                              Utf8ToWide(record.active_generation) / Utf8ToWide(record.load_file);
      const std::string name = WideToUtf8(fs::path(Utf8ToWide(record.load_file)).filename().native());
      UserBytes original{utf8(stored), name, Finding::No(), {}};
      // Only a copy that still matches its digest is the user's file as it was taken over.
      const FileFacts read = ReadFileFacts(stored, 134217728);
      if (read.state == ReadState::kBusy) {
        original.present = Finding::Unknown(Doubt::kBusy, utf8(stored));
      } else if (read.state == ReadState::kRead &&
                 DigestOf(read.content) == "sha256:" + AsciiLower(record.active_generation)) {
        original.present = Finding::Yes();
        original.digest = "sha256:" + AsciiLower(record.active_generation);
      }
      const Finding proof = ProveNoLoss({original}, staying);
      if (!proof.yes()) add("entry", name);
    }
  }
  return work;
}

}  // namespace kel
