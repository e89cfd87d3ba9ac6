#include "decommission/entry_recovery.h"

#include "common/ascii.h"
#include "common/text.h"
#include "common/win_error.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/restore.h"
#include "decommission/root_gate_lock.h"
#include "decommission/set_aside.h"
#include "safefs/path_forms.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kEntryReadLimit = 134217728;

std::string Utf8(const fs::path& path) { return WideToUtf8(path.native()); }

// The bytes of a copy that hashes to the name of its generation directory.
Finding ReadVerifiedCopy(const fs::path& copy, std::string& content) {
  const FileFacts read = ReadFileFacts(copy, kEntryReadLimit);
  if (read.state == ReadState::kBusy) return Finding::Unknown(Doubt::kBusy, Utf8(copy));
  if (read.state != ReadState::kRead || !ParseGatePluginId(read.content).empty()) {
    return Finding::No();
  }
  const std::string generation = AsciiLower(WideToUtf8(copy.parent_path().filename().native()));
  if (DigestOf(read.content) != "sha256:" + generation) return Finding::No();
  content = read.content;
  return Finding::Yes();
}

std::string StringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

Finding RecoverEntryFromVerifiedCopy(const fs::path& managerRoot, const std::string& pluginId,
                                     const fs::path& entryPath, const fs::path& preferredCopy,
                                     const fs::path& ledgerRegistry, std::string& error) {
  // Only an entry directly in this Plugins root is ever written.
  const fs::path plugins_root = managerRoot.parent_path().parent_path();
  const std::wstring name = entryPath.filename().native();
  if (!IsPortableFileName(name) || LowerExtension(entryPath) != ".rb" ||
      IsOfficialRootFile(entryPath) || !IsSamePath(entryPath.parent_path(), plugins_root)) {
    return Finding::No();
  }
  RootGateLock lock;
  if (!lock.owned()) {
    SetErrorIfEmpty(error, "root gate lock timed out");
    return Finding::Unknown(Doubt::kBusy, "root gate lock");
  }
  const FileFacts entry = ReadFileFacts(entryPath, kEntryReadLimit);
  switch (entry.state) {
    case ReadState::kBusy:
      SetErrorIfEmpty(error, "root entry is in use");
      return Finding::Unknown(Doubt::kBusy, Utf8(entryPath));
    case ReadState::kDamaged:
      return Finding::No();
    case ReadState::kRead:
      // Only the plugin's own gate is replaced; anything else is the user's or another's.
      if (!AsciiEqualsIgnoreCase(ParseGatePluginId(entry.content), pluginId)) return Finding::No();
      break;
    case ReadState::kMissing:
      break;
  }
  std::string content;
  Finding copy = Finding::No();
  if (!preferredCopy.empty()) copy = ReadVerifiedCopy(preferredCopy, content);
  if (copy.unknown()) {
    SetErrorIfEmpty(error, "stored entry copy is in use");
    return copy;
  }
  if (!copy.yes()) {
    const SavedEntry saved =
        FindSavedRootEntry(managerRoot, pluginId, entryPath.filename().native());
    if (!saved.found.yes()) {
      if (saved.found.unknown()) SetErrorIfEmpty(error, "stored entry copy is in use");
      return saved.found;
    }
    content = saved.content;
  }
  std::string write_error;
  if (!WriteFileMovingLockedAside(entryPath, content, write_error, ledgerRegistry)) {
    SetErrorIfEmpty(error, write_error.empty() ? "root entry could not be written" : write_error);
    return Finding::Unknown(Doubt::kBusy, Utf8(entryPath));
  }
  const FileFacts back = ReadFileFacts(entryPath, kEntryReadLimit);
  if (back.state != ReadState::kRead || back.content != content) {
    SetErrorIfEmpty(error, "original root payload restoration could not be verified");
    return Finding::Unknown(Doubt::kBusy, Utf8(entryPath));
  }
  KeepEntryNameCase(entryPath);
  return Finding::Yes();
}

void SettleUnverifiableJournals(const RootInventory& inventory, nlohmann::json& warnings) {
  for (const JournalFacts& journal : inventory.journals) {
    if (journal.state == ReadState::kBusy) continue;
    const RegistryFacts* registry = nullptr;
    for (const RegistryFacts& facts : inventory.registries) {
      if (facts.path == journal.registryPath) registry = &facts;
    }
    if (registry == nullptr || registry->state != ReadState::kRead) continue;
    auto verifiable = [&](const std::string& content, nlohmann::json& document, std::string& id) {
      document = nlohmann::json::parse(content, nullptr, false);
      id = document.is_object() ? StringMember(document, "pluginId") : "";
      return IsValidPluginId(id) && registry->registry.plugins.count(id) != 0 &&
             StringMember(document, "phase") == "published";
    };
    nlohmann::json document;
    std::string id;
    if (journal.state == ReadState::kRead && verifiable(journal.content, document, id)) continue;

    RootGateLock lock;
    if (!lock.owned()) return;
    // A takeover may have been published while the lock was waited for: judged again now.
    const FileFacts again = ReadFileFacts(journal.path, kEntryReadLimit);
    if (again.state == ReadState::kMissing || again.state == ReadState::kBusy ||
        (again.state == ReadState::kRead && verifiable(again.content, document, id))) {
      continue;
    }
    // The entry the journal names, when it is a plain name in this root.
    const fs::path entry_text = Utf8ToWide(StringMember(document, "rootEntry"));
    const fs::path entry = inventory.pluginsRoot / entry_text.filename();
    const bool names_entry = IsValidPluginId(id) && !entry_text.empty() &&
                             IsPortableFileName(entry_text.filename().native()) &&
                             LowerExtension(entry) == ".rb" && !IsOfficialRootFile(entry) &&
                             EqualsIgnoreCase(entry_text.native(), entry.native());
    const std::string name = WideToUtf8(journal.path.filename().native());
    if (names_entry) {
      const fs::path payload = Utf8ToWide(StringMember(document, "payloadPath"));
      const fs::path preferred = IsWithin(inventory.managerRoot, payload) ? payload : fs::path();
      std::string error;
      const Finding recovered = RecoverEntryFromVerifiedCopy(inventory.managerRoot, id, entry,
                                                             preferred, registry->path, error);
      if (recovered.unknown()) {
        warnings.push_back("root journal " + name + " could not be settled: " + error);
        continue;
      }
      const FileFacts now = ReadFileFacts(entry, kEntryReadLimit);
      // The journal goes only once the user's entry is in place (or the journal named none).
      if (now.state == ReadState::kBusy ||
          (now.state == ReadState::kRead && !ParseGatePluginId(now.content).empty())) {
        warnings.push_back("root journal " + name + " could not be settled: no verified copy of " +
                           WideToUtf8(entry.filename().native()));
        continue;
      }
    }
    std::string remove_error;
    if (RemoveStateFile(journal.path, remove_error)) {
      warnings.push_back("root journal " + name + " could never be verified and was settled");
    } else {
      warnings.push_back("root journal " + name + " could not be removed: " + remove_error);
    }
  }
}

}  // namespace kel
