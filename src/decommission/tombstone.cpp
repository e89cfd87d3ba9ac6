#include "decommission/tombstone.h"

#include <set>

#include "common/text.h"
#include "common/win_error.h"
#include "common/ascii.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTombstoneReadLimit = 16777216;
constexpr std::string_view kTombstonePhase = "remove_registry_pending";
constexpr std::string_view kTombstoneInvalid = "uninstall tombstone is invalid";

bool StringField(const nlohmann::json& object, const char* key, std::string& out) {
  const auto it = object.find(key);
  if (it == object.end()) {
    out.clear();
    return true;
  }
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

nlohmann::json ReadTombstoneDocument(const fs::path& tombstonePath) {
  bool existed = false;
  std::string content;
  std::string error;
  if (!ReadStateFile(tombstonePath, kTombstoneReadLimit, false, existed, content, error) ||
      !existed) {
    return nlohmann::json();
  }
  return nlohmann::json::parse(content, nullptr, false);
}

std::string TextMember(const nlohmann::json& document, const char* key) {
  if (!document.is_object()) return {};
  const auto it = document.find(key);
  return (it != document.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

// A record may carry its own icon and 1,024 command icons, one more than a tombstone may list.
// Repeats add nothing to the cleanup; past the limit the plan in memory still removes every
// icon, and a resumed run only leaves a cached file behind, never an unreadable tombstone.
std::vector<std::string> TombstoneIcons(const std::vector<std::string>& icons) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const std::string& icon : icons) {
    if (out.size() == kMaxTombstoneCachedIcons) break;
    if (seen.insert(icon).second) out.push_back(icon);
  }
  return out;
}

}  // namespace

fs::path TombstonePathFor(const fs::path& registryPath, std::string_view pluginId) {
  return registryPath.parent_path() / L"uninstall_journals" /
         (Utf8ToWide(pluginId) + L".json");
}

bool CheckTombstonePath(const fs::path& registryPath, const fs::path& tombstonePath,
                        bool requireExisting, std::string& error) {
  const fs::path manager = registryPath.parent_path();
  const fs::path journals = manager / L"uninstall_journals";
  if (!CheckManagerSubdirectory(manager, journals, !requireExisting, error)) return false;
  const fs::path name = tombstonePath.filename();
  if (!IsWithin(journals, tombstonePath) || !IsPortableFileName(name.native()) ||
      LowerExtension(name) != ".json") {
    SetErrorIfEmpty(error, "uninstall tombstone path is unsafe");
    return false;
  }
  std::uint32_t attributes = 0;
  const PathState state = QueryPathState(tombstonePath, &attributes);
  if (state == PathState::kMissing && !requireExisting) return true;
  if (state != PathState::kFile || (attributes & kReparsePointAttribute) != 0) {
    SetErrorIfEmpty(error, "uninstall tombstone is not a physical file");
    return false;
  }
  return true;
}

bool ReadUninstallTombstone(const fs::path& tombstonePath, const std::string& pluginId,
                            const fs::path& registryPath, UninstallPlan& plan,
                            std::string& error) {
  const nlohmann::json document = ReadTombstoneDocument(tombstonePath);
  std::string id, phase, fingerprint, install_root, load_file, companion_name;
  if (!document.is_object() || !StringField(document, "pluginId", id) ||
      !StringField(document, "phase", phase) ||
      !StringField(document, "recordFingerprint", fingerprint) ||
      !StringField(document, "installRoot", install_root) ||
      !StringField(document, "loadFile", load_file) ||
      !StringField(document, "companionName", companion_name) || id != pluginId ||
      !IsValidPluginId(pluginId) || phase != kTombstonePhase || fingerprint.empty() ||
      install_root.empty() || !IsPortableUtf8Name(load_file) ||
      LowerExtension(fs::path(Utf8ToWide(load_file))) != ".rb") {
    SetErrorIfEmpty(error, kTombstoneInvalid);
    return false;
  }

  const fs::path plugins_root = PluginsRootOfRegistry(registryPath);
  const fs::path root = plugins_root.empty()
                            ? fs::path()
                            : ResolveStoredPluginsRoot(install_root, plugins_root);
  if (root.empty() || IsReparsePointOrUnreadable(root) || !IsSamePath(root, plugins_root)) {
    SetErrorIfEmpty(error, "uninstall tombstone install root is unsafe");
    return false;
  }
  const fs::path gate = root / Utf8ToWide(load_file);
  if (!IsWithin(plugins_root, gate) || IsOfficialRootFile(gate)) {
    SetErrorIfEmpty(error, "uninstall tombstone Gate is unsafe");
    return false;
  }

  fs::path companion;
  if (!companion_name.empty()) {
    switch (CheckCompanion(companion_name, root, plugins_root, companion)) {
      case CompanionCheck::kSafe:
        break;
      case CompanionCheck::kInvalidName:
        SetErrorIfEmpty(error, "uninstall tombstone companion is invalid");
        return false;
      case CompanionCheck::kUnsafePath:
        SetErrorIfEmpty(error, "uninstall tombstone companion is unsafe");
        return false;
    }
  }

  std::vector<std::string> icons;
  if (const auto it = document.find("cachedIcons"); it != document.end()) {
    bool valid = it->is_array() && it->size() <= kMaxTombstoneCachedIcons;
    if (valid) {
      for (const auto& icon : *it) {
        if (!icon.is_string() || !IsValidCachedIconRef(icon.get<std::string>())) {
          valid = false;
          break;
        }
        icons.push_back(icon.get<std::string>());
      }
    }
    if (!valid) {
      SetErrorIfEmpty(error, "uninstall tombstone cached icons are invalid");
      return false;
    }
  }

  plan.pluginId = pluginId;
  plan.pluginsRoot = plugins_root;
  plan.gatePath = gate;
  plan.companionPath = companion;
  plan.cachedIcons = std::move(icons);
  return true;
}

nlohmann::json TombstoneDocument(const UninstallPlan& plan, const PluginRecord& record,
                                 const std::string& fingerprint) {
  return {{"phase", kTombstonePhase},
          {"recordFingerprint", fingerprint},
          {"pluginId", plan.pluginId},
          // Empty means the current Plugins folder, but a tombstone must name one.
          {"installRoot", record.install_root.empty() ? std::string("<plugins>")
                                                      : record.install_root},
          {"loadFile", record.load_file},
          {"companionName", record.companion_name},
          {"cachedIcons", TombstoneIcons(plan.cachedIcons)}};
}

std::string TombstoneFingerprint(const fs::path& tombstonePath) {
  return TextMember(ReadTombstoneDocument(tombstonePath), "recordFingerprint");
}

std::string TombstonePluginId(const fs::path& tombstonePath) {
  const std::string id = TextMember(ReadTombstoneDocument(tombstonePath), "pluginId");
  if (!IsValidPluginId(id) ||
      !AsciiEqualsIgnoreCase(id, WideToUtf8(tombstonePath.stem().native()))) {
    return {};
  }
  return id;
}

}  // namespace kel
