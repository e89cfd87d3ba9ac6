#include "decommission/root_scan.h"

#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "common/text.h"
#include "common/ascii.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/pending_cleanup.h"
#include "decommission/receipts.h"
#include "decommission/record_fingerprint.h"
#include "decommission/root_registries.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRootFileReadLimit = 134217728;

struct Candidate {
  fs::path registryPath;
  std::string pluginId;
  PluginRecord record;
};

// Entries of a directory, collected before anything in it changes. False on an enumeration
// error (what was read so far is kept).
bool ListDirectory(const fs::path& dir, std::vector<fs::path>& entries) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return false;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    entries.push_back(it->path());
  }
  return !ec;
}

// The tombstones (*.json) in a registry's uninstall_journals.
std::vector<fs::path> TombstonesBeside(const fs::path& registryPath) {
  std::vector<fs::path> out;
  const fs::path journals = registryPath.parent_path() / L"uninstall_journals";
  if (!IsPlainDirectory(journals)) return out;
  std::vector<fs::path> entries;
  ListDirectory(journals, entries);
  for (const fs::path& path : entries) {
    if (LowerExtension(path) == ".json" && IsPlainFile(path)) out.push_back(path);
  }
  return out;
}

// Marketplace uninstalls that passed their registry commit in an earlier, interrupted run:
// the record is gone, so only the tombstone beside the registry still names them. The id is
// the one the tombstone holds: its file name may have lost the id's case.
void CollectCommittedTombstones(const fs::path& registryPath, const PluginRegistry& registry,
                                std::vector<Candidate>& out) {
  for (const fs::path& path : TombstonesBeside(registryPath)) {
    std::string id = TombstonePluginId(path);
    // A damaged tombstone must not end the scan: the uninstall itself refuses it with its own
    // message, under the name the file gives.
    if (id.empty()) id = WideToUtf8(path.stem().native());
    if (!IsValidPluginId(id) || registry.plugins.count(id) != 0) continue;
    Candidate candidate{registryPath, id, PluginRecord()};
    bool existed = false;
    std::string content;
    std::string error;
    if (ReadStateFile(path, kRootFileReadLimit, true, existed, content, error) && existed) {
      const nlohmann::json tombstone = nlohmann::json::parse(content, nullptr, false);
      auto text_member = [&](const char* key) -> std::string {
        const auto member = tombstone.is_object() ? tombstone.find(key) : tombstone.end();
        return member != tombstone.end() && member->is_string() ? member->get<std::string>()
                                                                : std::string();
      };
      candidate.record.load_file = text_member("loadFile");
      candidate.record.companion_name = text_member("companionName");
    }
    out.push_back(std::move(candidate));
  }
}

nlohmann::json PluginEntry(const Candidate& candidate) {
  return {{"pluginId", candidate.pluginId},
          {"loadFile", candidate.record.load_file},
          {"companionName", candidate.record.companion_name}};
}

// A generation is named by the SHA-256 of the entry it keeps: only a copy that still hashes to
// its name is the user's file as it was taken over.
bool IsVerifiedGeneration(const fs::path& generation, const std::string& content) {
  std::string digest;
  std::string error;
  if (!Sha256Tagged(content, digest, error)) return false;
  return digest == "sha256:" + AsciiLower(WideToUtf8(generation.filename().native()));
}

std::optional<std::string> SearchPayloadStore(const fs::path& store, const std::string& pluginId,
                                              const std::wstring& fileName) {
  const fs::path plugin_dir = store / Utf8ToWide(pluginId);
  if (!IsPlainDirectory(plugin_dir)) return std::nullopt;
  std::vector<fs::path> generations;
  if (!ListDirectory(plugin_dir, generations)) return std::nullopt;
  for (const fs::path& generation : generations) {
    if (!IsPlainDirectory(generation)) continue;
    const fs::path candidate = generation / fileName;
    if (!IsPlainFile(candidate)) continue;
    bool existed = false;
    std::string content;
    std::string error;
    if (!ReadStateFile(candidate, kRootFileReadLimit, true, existed, content, error) ||
        !existed || content.empty()) {
      continue;
    }
    if (ParseGatePluginId(content).empty() && IsVerifiedGeneration(generation, content)) {
      return content;
    }
  }
  return std::nullopt;
}

// What still needs the plugin center's managed state after the scan, one object per item:
// {"kind": "registry" | "pending" | "tombstone" | "gate", "name": path}. A moved-aside file
// still held keeps the center, whose ledgers list it, until it is gone. A gate left in the root means the
// user's entry (or a takeover's root journal) still has only its stored copy; a tombstone
// holds the rest of an uninstall. Registries damaged for good, and records whose gate is gone,
// are not waited for: nothing could ever finish their work.
nlohmann::json RemainingWork(const fs::path& pluginsRoot, const std::vector<fs::path>& readable,
                             const std::vector<fs::path>& busy) {
  nlohmann::json work = nlohmann::json::array();
  auto add = [&work](const char* kind, const fs::path& path) {
    work.push_back({{"kind", kind}, {"name", WideToUtf8(path.native())}});
  };
  for (const fs::path& path : busy) add("registry", path);
  for (const fs::path& path : ClearPendingDeletes(pluginsRoot)) add("pending", path);
  for (const fs::path& path : readable) {
    for (const fs::path& tombstone : TombstonesBeside(path)) {
      if (!TombstonePluginId(tombstone).empty()) add("tombstone", tombstone);
    }
  }
  std::vector<fs::path> entries;
  ListDirectory(pluginsRoot, entries);
  for (const fs::path& path : entries) {
    if (LowerExtension(path) != ".rb" || IsOfficialRootFile(path) || !IsPlainFile(path)) continue;
    if (IsGateFile(path)) add("gate", path);
  }
  return work;
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

std::optional<std::string> FindSavedRootEntry(const fs::path& managerRoot,
                                              const std::string& pluginId,
                                              const std::wstring& fileName) {
  // The id comes out of a file in the Plugins root: only a well-formed id may become a path
  // component, or a crafted gate could have any file on the machine written into the root.
  if (!IsValidPluginId(pluginId) || !IsPortableFileName(fileName)) return std::nullopt;
  if (auto found = SearchPayloadStore(managerRoot / L"payloads", pluginId, fileName)) {
    return found;
  }
  const fs::path users = managerRoot / L"users";
  if (!IsPlainDirectory(users)) return std::nullopt;
  std::vector<fs::path> user_dirs;
  ListDirectory(users, user_dirs);
  for (const fs::path& dir : user_dirs) {
    if (!IsPlainDirectory(dir)) continue;
    if (auto found = SearchPayloadStore(dir / L"payloads", pluginId, fileName)) return found;
  }
  return std::nullopt;
}

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
  std::vector<Candidate> marketplace;
  std::vector<Candidate> managed;
  std::set<std::string> managed_ids;
  std::vector<Candidate> committed;
  std::vector<fs::path> readable;
  std::vector<fs::path> busy;
  for (const fs::path& registry_path : RegistriesOfRoot(pluginsRoot)) {
    PluginRegistry registry;
    std::string read_error;
    switch (ReadRootRegistry(registry_path, registry, read_error)) {
      case RegistryReadState::kBusy:
        busy.push_back(registry_path);
        warnings.push_back("plugin registry could not be read: " +
                           WideToUtf8(registry_path.native()) + ": " + read_error);
        continue;
      case RegistryReadState::kDamaged:
        warnings.push_back("plugin registry is damaged and was skipped: " +
                           WideToUtf8(registry_path.native()));
        continue;
      case RegistryReadState::kRead:
        break;
    }
    readable.push_back(registry_path);
    for (const auto& [id, record] : registry.plugins) {
      if (IsMarketplaceRecord(id, record, registry_path, pluginsRoot)) {
        marketplace.push_back({registry_path, id, record});
      } else {
        managed.push_back({registry_path, id, record});
        managed_ids.insert(id);
      }
    }
    CollectCommittedTombstones(registry_path, registry, committed);
  }

  // A plugin taken under management in any registry is given back rather than deleted, and
  // its gate is never again treated as a marketplace gate. So is one known as the
  // marketplace's only by evidence whose entry is no longer its gate: an earlier run already
  // gave it back through another registry (and was stopped before it got here).
  std::vector<Candidate> to_uninstall;
  std::set<std::string> marketplace_ids;
  for (Candidate& candidate : marketplace) {
    const bool explicit_marketplace = candidate.record.install_source == "marketplace";
    const fs::path entry = ResolveStoredPluginsRoot(candidate.record.install_root, pluginsRoot) /
                           Utf8ToWide(candidate.record.load_file);
    const bool given_back = !explicit_marketplace && QueryPathState(entry) == PathState::kFile &&
                            !IsGateForPlugin(entry, candidate.pluginId);
    if (!given_back && (managed_ids.count(candidate.pluginId) == 0 || explicit_marketplace)) {
      marketplace_ids.insert(candidate.pluginId);
      to_uninstall.push_back(std::move(candidate));
    } else {
      managed.push_back(std::move(candidate));
    }
  }
  // Finished after the others; their gates are marketplace gates, never orphans to recover.
  for (Candidate& candidate : committed) {
    marketplace_ids.insert(candidate.pluginId);
    to_uninstall.push_back(std::move(candidate));
  }

  nlohmann::json restored = nlohmann::json::array();
  nlohmann::json uninstalled = nlohmann::json::array();
  nlohmann::json recovered = nlohmann::json::array();
  nlohmann::json removed = nlohmann::json::array();
  // Plugins a registry still accounts for: their gates stay for the next run.
  std::set<std::string> unfinished;

  for (const Candidate& candidate : managed) {
    const fs::path entry = ResolveStoredPluginsRoot(candidate.record.install_root, pluginsRoot) /
                           Utf8ToWide(candidate.record.load_file);
    const std::string registry_utf8 = WideToUtf8(candidate.registryPath.native());
    if (IsGateForPlugin(entry, candidate.pluginId)) {
      nlohmann::json result;
      std::string restore_error;
      if (RestoreManagedPlugin(candidate.pluginId, registry_utf8, result, restore_error,
                               checkpoints.restore)) {
        restored.push_back(PluginEntry(candidate));
      } else {
        unfinished.insert(candidate.pluginId);
        warnings.push_back("restore " + candidate.pluginId + " failed: " + restore_error);
      }
    } else {
      // Nothing left to give back: the entry is already the plugin's own (or gone). A record
      // that stays is found again by the next run.
      PluginRegistry ignored;
      std::string ignored_error;
      RemovePluginFromRegistry(candidate.registryPath, candidate.pluginId, ignored,
                               ignored_error);
    }
  }

  for (const Candidate& candidate : to_uninstall) {
    nlohmann::json result;
    std::string uninstall_error;
    if (!UninstallManagedPlugin(candidate.pluginId, WideToUtf8(candidate.registryPath.native()),
                                result, uninstall_error, checkpoints.uninstall)) {
      unfinished.insert(candidate.pluginId);
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

  std::vector<fs::path> root_entries;
  if (!busy.empty()) {
    // A registry that could not be read may own any gate of the root: no gate is an orphan
    // until every registry has been read.
  } else if (!ListDirectory(pluginsRoot, root_entries)) {
    warnings.push_back("decommission root scan failed");
  } else {
    const fs::path manager_root = pluginsRoot / L"kel_plugin_center" / L"managed_plugins";
    // A gate held open is moved aside; the root's shared ledger lists it.
    const fs::path ledger_registry =
        IsPlainDirectory(manager_root) ? manager_root / L"plugin_registry.json" : fs::path();
    for (const fs::path& path : root_entries) {
      if (IsReparsePointOrUnreadable(path)) continue;
      std::error_code ec;
      const fs::file_status status = fs::symlink_status(path, ec);
      if (ec || !fs::is_regular_file(status)) continue;
      if (LowerExtension(path) != ".rb" || IsOfficialRootFile(path)) continue;
      bool existed = false;
      std::string content;
      std::string read_error;
      if (!ReadStateFile(path, kRootFileReadLimit, true, existed, content, read_error) ||
          !existed) {
        continue;
      }
      const std::string id = ParseGatePluginId(content);
      if (id.empty() || unfinished.count(id) != 0) continue;
      const std::wstring file_name = path.filename().native();
      const std::string name_utf8 = WideToUtf8(file_name);
      if (marketplace_ids.count(id) == 0) {
        if (auto saved = FindSavedRootEntry(manager_root, id, file_name)) {
          std::string write_error;
          if (WriteFileMovingLockedAside(path, *saved, write_error, ledger_registry)) {
            KeepEntryNameCase(path);
            recovered.push_back(name_utf8);
          } else {
            // The gate is all that leads back to the saved copy: it stays for the next run.
            warnings.push_back("recover orphan gate " + name_utf8 + " failed: " + write_error);
          }
          continue;
        }
      }
      std::string remove_error;
      if (RemoveStateFile(path, remove_error)) {
        removed.push_back(name_utf8);
      } else {
        warnings.push_back("remove orphan gate " + name_utf8 + " failed: " + remove_error);
      }
    }
  }

  nlohmann::json work = RemainingWork(pluginsRoot, readable, busy);
  const bool success = warnings.empty() && work.empty();
  report = nlohmann::json::object();
  report["success"] = success;
  report["pluginsRoot"] = WideToUtf8(pluginsRoot.native());
  report["restoredThirdParty"] = std::move(restored);
  report["uninstalledMarketplace"] = std::move(uninstalled);
  report["recoveredOrphanGates"] = std::move(recovered);
  report["removedOrphanGates"] = std::move(removed);
  report["warnings"] = std::move(warnings);
  report["remainingWork"] = std::move(work);
  return success;
}

}  // namespace kel
