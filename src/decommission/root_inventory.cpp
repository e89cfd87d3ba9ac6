#include "decommission/root_inventory.h"

#include <windows.h>

#include <algorithm>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/ascii.h"
#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/record_fingerprint.h"
#include "decommission/root_registries.h"
#include "decommission/tombstone.h"
#include "registry/registry_store.h"
#include "registry/user_scope.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRootFileReadLimit = 134217728;

bool ListDirectory(const fs::path& dir, std::vector<fs::path>& entries) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return false;
  for (; it != fs::directory_iterator(); it.increment(ec)) entries.push_back(it->path());
  return !ec;
}

std::string Utf8(const fs::path& path) { return WideToUtf8(path.native()); }

// Why the safe reader could not read a file, from what it reported: the open's own Windows
// error when the open failed (a holder that shares nothing gives a sharing violation), else
// the file's state (empty, over the limit, a link the path proof refuses).
ReadState ExplainFailedRead(const std::string& error) {
  constexpr std::string_view kOpenFailed = "state file open read target failed: ";
  if (error == "state file could not be read") return ReadState::kBusy;
  if (error.rfind(kOpenFailed, 0) != 0) return ReadState::kDamaged;
  const std::string code = error.substr(kOpenFailed.size());
  if (code == "2" || code == "3") return ReadState::kMissing;
  if (code == std::to_string(ERROR_SHARING_VIOLATION) ||
      code == std::to_string(ERROR_LOCK_VIOLATION)) {
    return ReadState::kBusy;
  }
  return ReadState::kDamaged;
}

// The tombstones (*.json) in a registry's uninstall_journals and the root journals in its
// journals directory.
void CollectBeside(const RegistryFacts& registry, RootInventory& inventory) {
  const fs::path dir = registry.path.parent_path();
  std::vector<fs::path> entries;
  if (IsPlainDirectory(dir / L"uninstall_journals")) {
    ListDirectory(dir / L"uninstall_journals", entries);
    for (const fs::path& path : entries) {
      if (LowerExtension(path) != ".json" || !IsPlainFile(path)) continue;
      TombstoneFacts facts;
      facts.path = path;
      facts.registryPath = registry.path;
      const FileFacts read = ReadFileFacts(path, kRootFileReadLimit);
      facts.state = read.state;
      if (read.state == ReadState::kRead) {
        facts.pluginId = TombstonePluginId(path);
        if (facts.pluginId.empty()) {
          facts.state = ReadState::kDamaged;
        } else {
          const nlohmann::json document = nlohmann::json::parse(read.content, nullptr, false);
          if (document.is_object()) {
            facts.loadFile = document.value("loadFile", std::string());
            facts.companionName = document.value("companionName", std::string());
          }
        }
      }
      if (facts.state != ReadState::kMissing) inventory.tombstones.push_back(std::move(facts));
    }
  }
  entries.clear();
  if (QueryPathState(dir / L"journals") != PathState::kMissing) {
    ListDirectory(dir / L"journals", entries);
    for (const fs::path& path : entries) {
      if (LowerExtension(path) != ".json") continue;
      JournalFacts facts;
      facts.path = path;
      facts.registryPath = registry.path;
      FileFacts read = ReadFileFacts(path, kRootFileReadLimit);
      facts.state = read.state;
      facts.content = std::move(read.content);
      if (facts.state != ReadState::kMissing) inventory.journals.push_back(std::move(facts));
    }
  }
}

RootEntryFacts ReadEntry(const fs::path& path) {
  RootEntryFacts facts;
  facts.path = path;
  FileFacts read = ReadFileFacts(path, kRootFileReadLimit);
  facts.state = read.state;
  facts.content = std::move(read.content);
  if (facts.state == ReadState::kRead) {
    facts.gateId = ParseGatePluginId(facts.content);
    facts.digest = DigestOf(facts.content);
  }
  return facts;
}

// A payload store's generations of one plugin: the first verified copy of fileName.
SavedEntry SearchStore(const fs::path& store, const std::string& pluginId,
                       const std::wstring& fileName) {
  SavedEntry saved;
  const fs::path plugin_dir = store / Utf8ToWide(pluginId);
  switch (QueryPathState(plugin_dir)) {
    case PathState::kMissing:
      return saved;
    case PathState::kUnreadable:
      saved.found = Finding::Unknown(Doubt::kBusy, Utf8(plugin_dir));
      return saved;
    default:
      break;
  }
  if (!IsPlainDirectory(plugin_dir)) return saved;
  std::vector<fs::path> generations;
  if (!ListDirectory(plugin_dir, generations)) {
    saved.found = Finding::Unknown(Doubt::kBusy, Utf8(plugin_dir));
  }
  for (const fs::path& generation : generations) {
    if (!IsPlainDirectory(generation)) continue;
    const fs::path candidate = generation / fileName;
    const FileFacts read = ReadFileFacts(candidate, kRootFileReadLimit);
    if (read.state == ReadState::kBusy) {
      // It may be the copy: nothing may go on the strength of the others' absence.
      if (!saved.found.unknown()) saved.found = Finding::Unknown(Doubt::kBusy, Utf8(candidate));
      continue;
    }
    if (read.state != ReadState::kRead || !ParseGatePluginId(read.content).empty()) continue;
    // A generation is named by the SHA-256 of the entry it keeps: only a copy that still
    // hashes to its name is the user's file as it was taken over.
    const std::string digest = DigestOf(read.content);
    if (digest != "sha256:" + AsciiLower(WideToUtf8(generation.filename().native()))) continue;
    saved.found = Finding::Yes();
    saved.content = read.content;
    saved.digest = digest;
    saved.where = candidate;
    return saved;
  }
  return saved;
}

}  // namespace

bool IdLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](char x, char y) { return AsciiLowerChar(x) < AsciiLowerChar(y); });
}

std::string DigestOf(std::string_view bytes) {
  std::string digest;
  std::string error;
  if (!Sha256Tagged(bytes, digest, error)) return {};
  return digest;
}

FileFacts ReadFileFacts(const fs::path& path, std::size_t limit) {
  FileFacts facts;
  switch (QueryPathState(path)) {
    case PathState::kMissing:
      facts.state = ReadState::kMissing;
      return facts;
    case PathState::kUnreadable:
      facts.state = ReadState::kBusy;
      return facts;
    case PathState::kDirectory:
      facts.state = ReadState::kDamaged;
      return facts;
    case PathState::kFile:
      break;
  }
  bool existed = false;
  std::string error;
  if (ReadStateFile(path, limit, true, existed, facts.content, error)) {
    facts.state = existed ? ReadState::kRead : ReadState::kMissing;
    return facts;
  }
  facts.content.clear();
  facts.state = ExplainFailedRead(error);
  return facts;
}

std::vector<RegistryFacts> ReadRootRegistries(const fs::path& pluginsRoot, bool allowRepair) {
  std::vector<RegistryFacts> out;
  for (const fs::path& path : RegistriesOfRoot(pluginsRoot)) {
    RegistryFacts facts;
    facts.path = path;
    switch (ReadRootRegistry(path, facts.registry, facts.error, allowRepair)) {
      case RegistryReadState::kRead:
        facts.state = ReadState::kRead;
        break;
      case RegistryReadState::kBusy:
        facts.state = ReadState::kBusy;
        break;
      case RegistryReadState::kDamaged:
        facts.state = ReadState::kDamaged;
        break;
    }
    out.push_back(std::move(facts));
  }
  return out;
}

Finding RegistryClaim(const std::vector<RegistryFacts>& registries, std::string_view id,
                      const fs::path& except, const RecordFilter& counts,
                      const DamagedFilter& damagedClaims) {
  Finding answer = Finding::No();
  for (const RegistryFacts& facts : registries) {
    if (!except.empty() && NamesSameObject(facts.path, except)) continue;
    switch (facts.state) {
      case ReadState::kRead:
        for (const auto& [other, record] : facts.registry.plugins) {
          if (AsciiEqualsIgnoreCase(other, id) && (!counts || counts(facts.path, other, record))) {
            return Finding::Yes();
          }
        }
        break;
      case ReadState::kBusy:
        if (!answer.unknown()) answer = Finding::Unknown(Doubt::kBusy, Utf8(facts.path));
        break;
      case ReadState::kDamaged:
        if (damagedClaims && damagedClaims(facts.path) && !answer.unknown()) {
          answer = Finding::Unknown(Doubt::kDamaged, Utf8(facts.path));
        }
        break;
      case ReadState::kMissing:
        break;
    }
  }
  return answer;
}

SavedEntry FindSavedRootEntry(const fs::path& managerRoot, const std::string& pluginId,
                              const std::wstring& fileName, const fs::path& preferredStore) {
  SavedEntry none;
  // The id may come out of a file in the Plugins root: only a well-formed id may become a path
  // component, or a crafted gate could have any file on the machine written into the root.
  if (!IsValidPluginId(pluginId) || !IsPortableFileName(fileName)) return none;
  std::vector<fs::path> stores;
  if (!preferredStore.empty()) stores.push_back(preferredStore);
  stores.push_back(managerRoot / L"payloads");
  const fs::path users = managerRoot / L"users";
  if (IsPlainDirectory(users)) {
    std::vector<fs::path> user_dirs;
    if (!ListDirectory(users, user_dirs)) {
      none.found = Finding::Unknown(Doubt::kBusy, Utf8(users));
    }
    for (const fs::path& dir : user_dirs) {
      if (IsPlainDirectory(dir)) stores.push_back(dir / L"payloads");
    }
  } else if (QueryPathState(users) == PathState::kUnreadable) {
    none.found = Finding::Unknown(Doubt::kBusy, Utf8(users));
  }
  for (const fs::path& store : stores) {
    SavedEntry saved = SearchStore(store, pluginId, fileName);
    if (saved.found.yes()) return saved;
    if (saved.found.unknown() && !none.found.unknown()) none.found = saved.found;
  }
  return none;
}

const RootEntryFacts* RootInventory::EntryAt(const fs::path& path) const {
  for (const RootEntryFacts& entry : entries) {
    if (EqualsIgnoreCase(entry.path.native(), path.native())) return &entry;
  }
  return nullptr;
}

RootEntryFacts EntryFacts(const RootInventory& inventory, const fs::path& path) {
  if (const RootEntryFacts* listed = inventory.EntryAt(path)) return *listed;
  return ReadEntry(path);
}

RootInventory ReadRootInventory(const fs::path& pluginsRoot, bool allowRepair) {
  RootInventory inventory;
  inventory.pluginsRoot = pluginsRoot;
  inventory.managerRoot = pluginsRoot / L"kel_plugin_center" / L"managed_plugins";
  inventory.registries = ReadRootRegistries(pluginsRoot, allowRepair);
  for (const RegistryFacts& registry : inventory.registries) {
    if (registry.state == ReadState::kRead) CollectBeside(registry, inventory);
  }
  std::vector<fs::path> listed;
  inventory.entriesListed = ListDirectory(pluginsRoot, listed);
  for (const fs::path& path : listed) {
    if (LowerExtension(path) != ".rb" || IsOfficialRootFile(path)) continue;
    std::uint32_t attributes = 0;
    const PathState state = QueryPathState(path, &attributes);
    if (state == PathState::kDirectory || state == PathState::kMissing) continue;
    if (state == PathState::kFile && (attributes & kReparsePointAttribute) != 0) continue;
    inventory.entries.push_back(ReadEntry(path));
  }
  return inventory;
}

}  // namespace kel
