#include "decommission/uninstall_plan.h"

#include <array>
#include <system_error>

#include "common/text.h"
#include "common/win_error.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/tombstone.h"
#include "registry/registry_store.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCompanionConflict =
    "managed companion conflicts with another managed Gate";
constexpr std::string_view kCleanupOutside = "managed cleanup directory is outside manager root";
constexpr std::string_view kCleanupUnavailable = "managed cleanup directory status is unavailable";
constexpr std::string_view kCleanupMissing = "managed cleanup directory is missing";
constexpr std::string_view kCleanupNotPhysical =
    "managed cleanup directory is not a physical directory";

// Another record's gate (installRoot joined with loadFile) names the companion path.
bool CompanionIsAnotherGate(const std::string& pluginId, const PluginRegistry& registry,
                            const fs::path& companionPath, const fs::path& pluginsRoot,
                            bool resolveRoots) {
  for (const auto& [otherId, other] : registry.plugins) {
    if (otherId == pluginId || !IsPortableUtf8Name(other.load_file)) continue;
    fs::path root;
    if (resolveRoots) {
      root = ResolveStoredPluginsRoot(other.install_root, pluginsRoot);
    } else if (!other.install_root.empty()) {
      root = Utf8ToWide(other.install_root);
    }
    if (root.empty()) continue;
    const fs::path gate = root / Utf8ToWide(other.load_file);
    if (EqualsIgnoreCase(gate.native(), companionPath.native())) return true;
    // Two plain names in the same folder are one object only when they are equal: the
    // identity of each is asked only where a link or a short name could make them one.
    if (EqualsIgnoreCase(root.native(), companionPath.parent_path().native()) &&
        !MayAlias(gate.filename().native()) && !MayAlias(companionPath.filename().native())) {
      continue;
    }
    if (IsSameFileObject(gate, companionPath)) return true;
  }
  return false;
}

}  // namespace

bool CheckManagerSubdirectory(const fs::path& managerDir, const fs::path& sub, bool allowMissing,
                              std::string& error) {
  if (!IsWithin(managerDir, sub)) {
    SetErrorIfEmpty(error, kCleanupOutside);
    return false;
  }
  std::uint32_t attributes = 0;
  switch (QueryPathState(sub, &attributes)) {
    case PathState::kUnreadable:
      SetErrorIfEmpty(error, kCleanupUnavailable);
      return false;
    case PathState::kMissing:
      if (allowMissing) return true;
      SetErrorIfEmpty(error, kCleanupMissing);
      return false;
    case PathState::kFile:
      SetErrorIfEmpty(error, kCleanupNotPhysical);
      return false;
    case PathState::kDirectory:
      if ((attributes & kReparsePointAttribute) != 0) {
        SetErrorIfEmpty(error, kCleanupNotPhysical);
        return false;
      }
      return true;
  }
  return false;
}

CompanionCheck CheckCompanion(const std::string& name, const fs::path& installRoot,
                              const fs::path& pluginsRoot, fs::path& companion) {
  const fs::path leaf = Utf8ToWide(name);
  if (!IsPortableUtf8Name(name) || IsOfficialCompanionName(leaf) || LowerExtension(leaf) == ".rb") {
    return CompanionCheck::kInvalidName;
  }
  companion = installRoot / leaf;
  std::uint32_t attributes = 0;
  const PathState state = QueryPathState(companion, &attributes);
  const fs::path center = pluginsRoot / L"kel_plugin_center";
  if (!IsWithin(pluginsRoot, companion) || state == PathState::kUnreadable ||
      IsSamePath(companion, pluginsRoot) || IsSamePath(companion, center) ||
      NamesSameObject(companion, center) ||
      (state != PathState::kMissing &&
       (state != PathState::kDirectory || (attributes & kReparsePointAttribute) != 0))) {
    return CompanionCheck::kUnsafePath;
  }
  return CompanionCheck::kSafe;
}

bool BuildUninstallPlan(const std::string& pluginId, const PluginRecord& record,
                        const PluginRegistry& registry, const fs::path& registryPath,
                        UninstallPlan& plan, std::string& error) {
  const fs::path plugins_root = PluginsRootOfRegistry(registryPath);
  const fs::path load_file = Utf8ToWide(record.load_file);
  if (!IsPortableUtf8Name(record.load_file) || LowerExtension(load_file) != ".rb" ||
      !IsValidPluginId(pluginId) || plugins_root.empty()) {
    SetErrorIfEmpty(error, "managed uninstall metadata is invalid");
    return false;
  }

  const fs::path install_root = ResolveStoredPluginsRoot(record.install_root, plugins_root);
  if (install_root.empty() || IsReparsePointOrUnreadable(install_root) ||
      !IsSamePath(install_root, plugins_root) || IsReparsePointOrUnreadable(plugins_root)) {
    SetErrorIfEmpty(error, "managed install root is outside Plugins");
    return false;
  }

  const fs::path gate = install_root / load_file;
  std::uint32_t gate_attributes = 0;
  const PathState gate_state = QueryPathState(gate, &gate_attributes);
  if (gate_state == PathState::kUnreadable || !IsWithin(plugins_root, gate) ||
      IsOfficialRootFile(gate) ||
      (gate_state != PathState::kMissing &&
       ((gate_attributes & kReparsePointAttribute) != 0 || !IsGateForPlugin(gate, pluginId)))) {
    SetErrorIfEmpty(error, "managed root Gate does not match plugin id");
    return false;
  }

  fs::path companion;
  if (!record.companion_name.empty()) {
    switch (CheckCompanion(record.companion_name, install_root, plugins_root, companion)) {
      case CompanionCheck::kSafe:
        break;
      case CompanionCheck::kInvalidName:
        SetErrorIfEmpty(error, "managed companion metadata is invalid");
        return false;
      case CompanionCheck::kUnsafePath:
        SetErrorIfEmpty(error, "managed companion is outside Plugins");
        return false;
    }
    if (CompanionIsAnotherGate(pluginId, registry, companion, plugins_root, false)) {
      SetErrorIfEmpty(error, kCompanionConflict);
      return false;
    }
  }

  std::vector<std::string> icons;
  if (!record.cached_icon.empty()) icons.push_back(record.cached_icon);
  for (const auto& [id, command] : record.commands) {
    if (!command.cached_icon.empty()) icons.push_back(command.cached_icon);
  }
  for (const std::string& icon : icons) {
    if (!IsValidCachedIconRef(icon)) {
      SetErrorIfEmpty(error, "managed cached icon metadata is invalid");
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

bool ValidateCleanupDirectories(const fs::path& registryPath, const fs::path& tombstonePath,
                                const PluginRegistry& registry, const UninstallPlan& plan,
                                bool requireTombstone, std::string& error) {
  const fs::path manager = registryPath.parent_path();
  std::error_code ec;
  const fs::path canonical = manager.empty() ? fs::path() : fs::weakly_canonical(manager, ec);
  if (manager.empty() || ec || canonical.empty()) {
    SetErrorIfEmpty(error, kCleanupOutside);
    return false;
  }
  // The manager directory itself must be there and plain.
  if (!CheckManagerSubdirectory(manager, manager, false, error)) return false;
  if (!CheckTombstonePath(registryPath, tombstonePath, requireTombstone, error)) return false;
  static constexpr std::array<const wchar_t*, 7> kSubdirectories = {
      L"payloads", L"runtime", L"staging", L"uninstall_staging", L"journals", L"cache",
      L"cache\\icons"};
  for (const wchar_t* sub : kSubdirectories) {
    if (!CheckManagerSubdirectory(manager, manager / sub, true, error)) return false;
  }
  if (!plan.companionPath.empty() &&
      CompanionIsAnotherGate(plan.pluginId, registry, plan.companionPath,
                             PluginsRootOfRegistry(registryPath), true)) {
    SetErrorIfEmpty(error, kCompanionConflict);
    return false;
  }
  return true;
}

}  // namespace kel
