#include "decommission/uninstall_transaction.h"

#include <windows.h>

#include <array>
#include <set>
#include <system_error>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "common/ascii.h"
#include "decommission/companion.h"
#include "decommission/gate.h"
#include "decommission/receipts.h"
#include "decommission/root_journal.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr std::size_t kTombstoneReadLimit = 16777216;
constexpr std::string_view kTombstonePhase = "remove_registry_pending";

constexpr std::string_view kMetadataInvalid = "managed uninstall metadata is invalid";
constexpr std::string_view kRootOutside = "managed install root is outside Plugins";
constexpr std::string_view kGateMismatch = "managed root Gate does not match plugin id";
constexpr std::string_view kCompanionInvalid = "managed companion metadata is invalid";
constexpr std::string_view kCompanionOutside = "managed companion is outside Plugins";
constexpr std::string_view kCompanionConflict =
    "managed companion conflicts with another managed Gate";
constexpr std::string_view kIconInvalid = "managed cached icon metadata is invalid";
constexpr std::string_view kCleanupOutside = "managed cleanup directory is outside manager root";
constexpr std::string_view kCleanupUnavailable = "managed cleanup directory status is unavailable";
constexpr std::string_view kCleanupMissing = "managed cleanup directory is missing";
constexpr std::string_view kCleanupNotPhysical =
    "managed cleanup directory is not a physical directory";
constexpr std::string_view kTombstoneInvalid = "uninstall tombstone is invalid";
constexpr std::string_view kInternalUnsafe = "managed internal cleanup path is unsafe";
constexpr std::string_view kInternalReparse = "managed internal cleanup reparse point is unsafe";

std::filesystem::path ManagerDirectory(const std::filesystem::path& registryPath) {
  return registryPath.parent_path();
}

std::filesystem::path WideFromUtf8(std::string_view text) { return Utf8ToWide(text); }

bool HasRbExtension(const std::filesystem::path& name) { return LowerExtension(name) == ".rb"; }

bool EqualsIgnoreCaseWide(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Clears attributes and deletes a tree without ever following a link inside it: a link is
// removed as the link. Returns the first error that stopped the removal of `path` itself.
DWORD DeleteTreeNoFollow(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    return (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) ? 0 : code;
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return DeleteFileW(path.c_str()) ? 0 : GetLastError();
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") DeleteTreeNoFollow(path + L"\\" + name);
      } while (FindNextFileW(find.get(), &data));
    }
  }
  if (RemoveDirectoryW(path.c_str())) return 0;
  const DWORD code = GetLastError();
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && DeleteFileW(path.c_str())) return 0;
  return code;
}

// Clears FILE_ATTRIBUTE_READONLY and friends on a whole tree, links not followed.
void ClearTreeAttributes(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return;
  }
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((path + L"\\*").c_str(), &data));
  if (!find) return;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") ClearTreeAttributes(path + L"\\" + name);
  } while (FindNextFileW(find.get(), &data));
}

// A subdirectory of the manager directory that may be missing but, when present, must be a
// plain directory.
bool CheckCleanupSubdirectory(const std::filesystem::path& managerDir,
                              const std::filesystem::path& sub, bool allowMissing,
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
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetErrorIfEmpty(error, kCleanupNotPhysical);
        return false;
      }
      return true;
  }
  return false;
}

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

// Another record's gate (installRoot joined with loadFile) names the companion path.
bool CompanionIsAnotherGate(const std::string& pluginId, const PluginRegistry& registry,
                            const std::filesystem::path& companionPath,
                            const std::filesystem::path& pluginsRoot, bool resolveRoots) {
  for (const auto& [otherId, other] : registry.plugins) {
    if (otherId == pluginId || !IsPortableUtf8Name(other.load_file)) continue;
    std::filesystem::path root;
    if (resolveRoots) {
      root = ResolveStoredPluginsRoot(other.install_root, pluginsRoot);
    } else if (!other.install_root.empty()) {
      root = WideFromUtf8(other.install_root);
    }
    if (root.empty()) continue;
    if (NamesSameObject(root / WideFromUtf8(other.load_file), companionPath)) return true;
  }
  return false;
}

// Another user's registry in the same root still lists the plugin.
bool AnotherUserRegisters(const std::string& pluginId, const std::filesystem::path& registryPath) {
  const std::filesystem::path users = ManagedRootOf(registryPath) / L"users";
  if (!IsPlainDirectory(users)) return false;
  const std::filesystem::path own = ManagerDirectory(registryPath);
  std::error_code ec;
  std::filesystem::directory_iterator it(users, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::filesystem::path dir = it->path();
    if (!IsPlainDirectory(dir) || IsSamePath(dir, own)) continue;
    if (AsciiEqualsIgnoreCase(WideToUtf8(dir.filename().native()), kUnauthenticatedUserKey)) {
      continue;
    }
    const std::filesystem::path other = dir / L"plugin_registry.json";
    if (!IsPlainFile(other)) continue;
    PluginRegistry registry;
    std::string error;
    if (ReadRegistry(other, registry, error) && registry.plugins.count(pluginId) != 0) {
      return true;
    }
  }
  return false;
}

void Notify(const UninstallCheckpointHook& checkpoint, UninstallCheckpoint point) {
  if (checkpoint) checkpoint(point);
}

// Deletes the gate: up to three attempts, 50 ms apart.
bool RemoveGate(const UninstallPlan& plan, std::string& error, bool& retryable) {
  switch (QueryPathState(plan.gatePath)) {
    case PathState::kMissing:
      return true;
    case PathState::kUnreadable:
      error = "managed root Gate status is unavailable";
      return false;
    default:
      break;
  }
  if (!IsGateForPlugin(plan.gatePath, plan.pluginId)) {
    error = "managed root Gate does not match uninstall plan";
    return false;
  }
  const std::wstring gate = ToExtendedPathIfLong(plan.gatePath);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SetFileAttributesW(gate.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(gate.c_str())) return true;
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    if (attempt < 3) Sleep(50);
  }
  error = "managed root Gate could not be removed";
  retryable = true;
  return false;
}

// Moves an exclusive companion into uninstall_staging\<id>\<name>.
bool IsolateCompanion(const UninstallPlan& plan, const std::filesystem::path& managerDir,
                      std::string& error, bool& retryable, bool& unsafe) {
  const std::filesystem::path staging_root = managerDir / L"uninstall_staging";
  const std::filesystem::path staged =
      staging_root / WideFromUtf8(plan.pluginId) / plan.companionPath.filename();
  if (!IsWithin(staging_root, staged)) {
    error = "managed companion staging path is unsafe";
    unsafe = true;
    return false;
  }
  std::uint32_t staged_attributes = 0;
  std::uint32_t companion_attributes = 0;
  const PathState staged_state = QueryPathState(staged, &staged_attributes);
  const PathState companion_state = QueryPathState(plan.companionPath, &companion_attributes);
  if (staged_state == PathState::kUnreadable || companion_state == PathState::kUnreadable ||
      (staged_state != PathState::kMissing &&
       (staged_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    error = "managed companion staging status is unsafe";
    unsafe = true;
    return false;
  }
  if (companion_state == PathState::kMissing) return true;
  if ((companion_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = "managed companion staging status is unsafe";
    unsafe = true;
    return false;
  }
  std::string create_error;
  if ((staged_state != PathState::kMissing && DeleteTreeNoFollow(ToExtendedPath(staged)) != 0) ||
      !EnsureStateDirectory(staged.parent_path(), create_error)) {
    error = "managed exclusive companion could not be isolated";
    retryable = true;
    return false;
  }
  const std::wstring from = ToExtendedPathIfLong(plan.companionPath);
  const std::wstring to = ToExtendedPathIfLong(staged);
  for (int attempt = 1; attempt <= 5; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    if (attempt < 5) Sleep(100);
  }
  error = "managed exclusive companion could not be isolated";
  retryable = true;
  return false;
}

nlohmann::json FailedResult(const std::string& pluginId, const std::string& message) {
  return {{"success", false},         {"status", "failed"},
          {"pluginId", pluginId},     {"registryCommitted", true},
          {"cleanupComplete", false}, {"retryAfterExit", false},
          {"error", message}};
}

// The fingerprint a readable tombstone carries; empty otherwise.
std::string TombstoneFingerprint(const std::filesystem::path& tombstonePath) {
  bool existed = false;
  std::string content;
  std::string error;
  if (!ReadStateFile(tombstonePath, kTombstoneReadLimit, false, existed, content, error)) return {};
  const nlohmann::json document = nlohmann::json::parse(content, nullptr, false);
  if (!document.is_object()) return {};
  const auto it = document.find("recordFingerprint");
  return (it != document.end() && it->is_string()) ? it->get<std::string>() : std::string();
}


}  // namespace

RootGateLock::RootGateLock(unsigned long timeout_ms)
    : mutex_(CreateMutexW(nullptr, FALSE, kRootGateMutexName)) {
  if (!mutex_) return;
  const DWORD wait = WaitForSingleObject(mutex_.get(), timeout_ms);
  owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

RootGateLock::~RootGateLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

bool IsRetryableUninstallFailure(std::string_view text) {
  static constexpr std::array<std::string_view, 6> kRetryable = {
      "managed root Gate could not be removed", "managed exclusive companion could not be isolated",
      "managed internal cleanup failed",        "managed journal cleanup failed",
      "managed cached icon cleanup failed",     "uninstall tombstone cleanup failed"};
  for (std::string_view known : kRetryable) {
    if (text == known) return true;
  }
  return false;
}

bool IsUnsafeUninstallFailure(std::string_view text) {
  auto ends_with = [text](std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
  };
  return ends_with(" path is unsafe") || ends_with(" reparse point is unsafe") ||
         ends_with(" staging status is unsafe");
}

std::filesystem::path TombstonePathFor(const std::filesystem::path& registryPath,
                                       std::string_view pluginId) {
  return ManagerDirectory(registryPath) / L"uninstall_journals" /
         (WideFromUtf8(pluginId).native() + L".json");
}

bool BuildUninstallPlan(const std::string& pluginId, const PluginRecord& record,
                        const PluginRegistry& registry, const std::filesystem::path& registryPath,
                        UninstallPlan& plan, std::string& error) {
  const std::filesystem::path plugins_root = PluginsRootOfRegistry(registryPath);
  const std::filesystem::path load_file = WideFromUtf8(record.load_file);
  if (!IsPortableUtf8Name(record.load_file) || !HasRbExtension(load_file) ||
      !IsValidPluginId(pluginId) || plugins_root.empty()) {
    SetErrorIfEmpty(error, kMetadataInvalid);
    return false;
  }

  const std::filesystem::path install_root =
      ResolveStoredPluginsRoot(record.install_root, plugins_root);
  if (install_root.empty() || IsReparsePointOrUnreadable(install_root) ||
      !IsSamePath(install_root, plugins_root) || IsReparsePointOrUnreadable(plugins_root)) {
    SetErrorIfEmpty(error, kRootOutside);
    return false;
  }

  const std::filesystem::path gate = install_root / load_file;
  std::uint32_t gate_attributes = 0;
  const PathState gate_state = QueryPathState(gate, &gate_attributes);
  if (gate_state == PathState::kUnreadable || !IsWithin(plugins_root, gate) ||
      IsOfficialRootFile(gate) ||
      (gate_state != PathState::kMissing &&
       ((gate_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !IsGateForPlugin(gate, pluginId)))) {
    SetErrorIfEmpty(error, kGateMismatch);
    return false;
  }

  std::filesystem::path companion;
  if (!record.companion_name.empty()) {
    const std::filesystem::path name = WideFromUtf8(record.companion_name);
    if (!IsPortableUtf8Name(record.companion_name) || IsOfficialCompanionName(name) ||
        HasRbExtension(name)) {
      SetErrorIfEmpty(error, kCompanionInvalid);
      return false;
    }
    companion = install_root / name;
    std::uint32_t attributes = 0;
    const PathState state = QueryPathState(companion, &attributes);
    const std::filesystem::path center = plugins_root / L"kel_plugin_center";
    if (!IsWithin(plugins_root, companion) || state == PathState::kUnreadable ||
        IsSamePath(companion, plugins_root) || NamesSameObject(companion, center) ||
        IsSamePath(companion, center) ||
        (state != PathState::kMissing &&
         (state != PathState::kDirectory || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0))) {
      SetErrorIfEmpty(error, kCompanionOutside);
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
      SetErrorIfEmpty(error, kIconInvalid);
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

bool CheckTombstonePath(const std::filesystem::path& registryPath,
                        const std::filesystem::path& tombstonePath, bool requireExisting,
                        std::string& error) {
  const std::filesystem::path manager = ManagerDirectory(registryPath);
  const std::filesystem::path journals = manager / L"uninstall_journals";
  if (!CheckCleanupSubdirectory(manager, journals, !requireExisting, error)) return false;
  const std::filesystem::path name = tombstonePath.filename();
  if (!IsWithin(journals, tombstonePath) || !IsPortableFileName(name.native()) ||
      LowerExtension(name) != ".json") {
    SetErrorIfEmpty(error, "uninstall tombstone path is unsafe");
    return false;
  }
  std::uint32_t attributes = 0;
  const PathState state = QueryPathState(tombstonePath, &attributes);
  if (state == PathState::kMissing && !requireExisting) return true;
  if (state != PathState::kFile || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetErrorIfEmpty(error, "uninstall tombstone is not a physical file");
    return false;
  }
  return true;
}

bool ValidateCleanupDirectories(const std::filesystem::path& registryPath,
                                const std::filesystem::path& tombstonePath,
                                const PluginRegistry& registry, const UninstallPlan& plan,
                                bool requireTombstone, std::string& error) {
  const std::filesystem::path manager = ManagerDirectory(registryPath);
  std::error_code ec;
  const std::filesystem::path canonical =
      manager.empty() ? std::filesystem::path() : std::filesystem::weakly_canonical(manager, ec);
  if (manager.empty() || ec || canonical.empty()) {
    SetErrorIfEmpty(error, kCleanupOutside);
    return false;
  }
  std::uint32_t attributes = 0;
  switch (QueryPathState(manager, &attributes)) {
    case PathState::kUnreadable:
      SetErrorIfEmpty(error, kCleanupUnavailable);
      return false;
    case PathState::kMissing:
      SetErrorIfEmpty(error, kCleanupMissing);
      return false;
    case PathState::kFile:
      SetErrorIfEmpty(error, kCleanupNotPhysical);
      return false;
    case PathState::kDirectory:
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetErrorIfEmpty(error, kCleanupNotPhysical);
        return false;
      }
      break;
  }
  if (!CheckTombstonePath(registryPath, tombstonePath, requireTombstone, error)) return false;
  static constexpr std::array<const wchar_t*, 7> kSubdirectories = {
      L"payloads", L"runtime", L"staging", L"uninstall_staging", L"journals", L"cache",
      L"cache\\icons"};
  for (const wchar_t* sub : kSubdirectories) {
    if (!CheckCleanupSubdirectory(manager, manager / sub, true, error)) return false;
  }
  if (!plan.companionPath.empty() &&
      CompanionIsAnotherGate(plan.pluginId, registry, plan.companionPath,
                             PluginsRootOfRegistry(registryPath), true)) {
    SetErrorIfEmpty(error, kCompanionConflict);
    return false;
  }
  return true;
}

bool ReadUninstallTombstone(const std::filesystem::path& tombstonePath,
                            const std::string& pluginId,
                            const std::filesystem::path& registryPath, UninstallPlan& plan,
                            std::string& error) {
  bool existed = false;
  std::string content;
  std::string read_error;
  if (!ReadStateFile(tombstonePath, kTombstoneReadLimit, false, existed, content, read_error) ||
      !existed) {
    SetErrorIfEmpty(error, kTombstoneInvalid);
    return false;
  }
  const nlohmann::json document = nlohmann::json::parse(content, nullptr, false);
  std::string id, phase, fingerprint, install_root, load_file, companion_name;
  if (!document.is_object() || !StringField(document, "pluginId", id) ||
      !StringField(document, "phase", phase) ||
      !StringField(document, "recordFingerprint", fingerprint) ||
      !StringField(document, "installRoot", install_root) ||
      !StringField(document, "loadFile", load_file) ||
      !StringField(document, "companionName", companion_name) || id != pluginId ||
      !IsValidPluginId(pluginId) || phase != kTombstonePhase || fingerprint.empty() ||
      install_root.empty() || !IsPortableUtf8Name(load_file) ||
      !HasRbExtension(WideFromUtf8(load_file))) {
    SetErrorIfEmpty(error, kTombstoneInvalid);
    return false;
  }

  const std::filesystem::path plugins_root = PluginsRootOfRegistry(registryPath);
  const std::filesystem::path root =
      plugins_root.empty() ? std::filesystem::path()
                           : ResolveStoredPluginsRoot(install_root, plugins_root);
  if (root.empty() || IsReparsePointOrUnreadable(root) || !IsSamePath(root, plugins_root)) {
    SetErrorIfEmpty(error, "uninstall tombstone install root is unsafe");
    return false;
  }
  const std::filesystem::path gate = root / WideFromUtf8(load_file);
  if (!IsWithin(plugins_root, gate) || IsOfficialRootFile(gate)) {
    SetErrorIfEmpty(error, "uninstall tombstone Gate is unsafe");
    return false;
  }

  std::filesystem::path companion;
  if (!companion_name.empty()) {
    const std::filesystem::path name = WideFromUtf8(companion_name);
    if (!IsPortableUtf8Name(companion_name) || IsOfficialCompanionName(name) ||
        HasRbExtension(name)) {
      SetErrorIfEmpty(error, "uninstall tombstone companion is invalid");
      return false;
    }
    companion = root / name;
    std::uint32_t attributes = 0;
    const PathState state = QueryPathState(companion, &attributes);
    const std::filesystem::path center = plugins_root / L"kel_plugin_center";
    if (!IsWithin(plugins_root, companion) || state == PathState::kUnreadable ||
        IsSamePath(companion, center) || NamesSameObject(companion, center) ||
        (state != PathState::kMissing &&
         (state != PathState::kDirectory || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0))) {
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

// A record may carry its own icon and 1,024 command icons, one more than a tombstone may list.
// Repeats add nothing to the cleanup; past the limit the plan in memory still removes every
// icon, and a resumed run only leaves a cached file behind, never an unreadable tombstone.
static std::vector<std::string> TombstoneIcons(const std::vector<std::string>& icons) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const std::string& icon : icons) {
    if (out.size() == kMaxTombstoneCachedIcons) break;
    if (seen.insert(icon).second) out.push_back(icon);
  }
  return out;
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

bool RemoveManagedInternal(const std::filesystem::path& base,
                           const std::filesystem::path& target, std::string& error,
                           bool& retryable) {
  if (!EqualsIgnoreCaseWide(target.parent_path().native(), base.native()) ||
      IsSamePath(target, base) || !IsWithin(base, target)) {
    SetErrorIfEmpty(error, kInternalUnsafe);
    return false;
  }
  std::uint32_t attributes = 0;
  switch (QueryPathState(target, &attributes)) {
    case PathState::kMissing:
      return true;
    case PathState::kUnreadable:
      SetErrorIfEmpty(error, "managed internal cleanup status is unavailable");
      return false;
    default:
      break;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetErrorIfEmpty(error, kInternalReparse);
    return false;
  }
  const std::wstring physical = ToExtendedPath(target);
  ClearTreeAttributes(physical);
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  auto remove_once = [&]() -> DWORD {
    if (directory ? RemoveDirectoryW(physical.c_str()) : DeleteFileW(physical.c_str())) return 0;
    return GetLastError();
  };
  DWORD code = remove_once();
  if (code == ERROR_DIR_NOT_EMPTY && directory) {
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((physical + L"\\*").c_str(), &data));
    if (find) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") DeleteTreeNoFollow(physical + L"\\" + name);
      } while (FindNextFileW(find.get(), &data));
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
      code = remove_once();
      if (code != ERROR_DIR_NOT_EMPTY && code != ERROR_ACCESS_DENIED) break;
      Sleep(10);
    }
  }
  if (code == 0 || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
  SetErrorIfEmpty(error, "managed internal cleanup failed");
  retryable = true;
  return false;
}

bool CleanupManagedInternals(const std::string& pluginId,
                             const std::vector<std::string>& cachedIcons,
                             const PluginRegistry& registry,
                             const std::filesystem::path& registryPath, std::string& error,
                             bool& retryable, bool& unsafe) {
  const std::filesystem::path manager = ManagerDirectory(registryPath);
  const std::filesystem::path id = WideFromUtf8(pluginId);
  if (!IsValidPluginId(pluginId)) {
    SetErrorIfEmpty(error, kInternalUnsafe);
    unsafe = true;
    return false;
  }
  for (const wchar_t* sub : {L"payloads", L"runtime", L"staging", L"uninstall_staging"}) {
    std::string step_error;
    if (!RemoveManagedInternal(manager / sub, manager / sub / id, step_error, retryable)) {
      if (IsUnsafeUninstallFailure(step_error)) unsafe = true;
      SetErrorIfEmpty(error, step_error);
      return false;
    }
  }

  const std::filesystem::path journal = manager / L"journals" / (id.native() + L".json");
  std::uint32_t attributes = 0;
  const PathState journal_state = QueryPathState(journal, &attributes);
  if (journal_state == PathState::kUnreadable || !IsWithin(manager, journal) ||
      (journal_state != PathState::kMissing && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    SetErrorIfEmpty(error, "managed journal cleanup path is unsafe");
    unsafe = true;
    return false;
  }
  if (journal_state != PathState::kMissing) {
    std::string remove_error;
    if (!RemoveStateFile(journal, remove_error)) {
      SetErrorIfEmpty(error, "managed journal cleanup failed");
      retryable = true;
      return false;
    }
  }

  std::set<std::string> in_use;
  for (const auto& [otherId, other] : registry.plugins) {
    if (otherId == pluginId) continue;
    if (!other.cached_icon.empty()) in_use.insert(other.cached_icon);
    for (const auto& [commandId, command] : other.commands) {
      if (!command.cached_icon.empty()) in_use.insert(command.cached_icon);
    }
  }
  const std::filesystem::path icons = manager / L"cache" / L"icons";
  for (const std::string& icon : cachedIcons) {
    if (!IsValidCachedIconRef(icon)) {
      SetErrorIfEmpty(error, kIconInvalid);
      return false;
    }
    if (in_use.count(icon) != 0) continue;
    const std::filesystem::path file = icons / WideFromUtf8(icon.substr(12));
    const PathState state = QueryPathState(file, &attributes);
    if (!IsWithin(icons, file) || state == PathState::kUnreadable ||
        (state != PathState::kMissing && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
      SetErrorIfEmpty(error, "managed cached icon cleanup path is unsafe");
      unsafe = true;
      return false;
    }
    if (state == PathState::kMissing) continue;
    const std::wstring physical = ToExtendedPathIfLong(file);
    SetFileAttributesW(physical.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(physical.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      SetErrorIfEmpty(error, "managed cached icon cleanup failed");
      retryable = true;
      return false;
    }
  }
  return true;
}

void CommitUninstall(const UninstallPlan& plan, const std::filesystem::path& registryPath,
                     const std::filesystem::path& tombstonePath, const PluginRegistry& registry,
                     nlohmann::json& result, const UninstallCheckpointHook& checkpoint) {
  std::string error;
  if (!ValidateCleanupDirectories(registryPath, tombstonePath, registry, plan, true, error)) {
    result = FailedResult(plan.pluginId, error);
    return;
  }
  const std::filesystem::path manager = ManagerDirectory(registryPath);
  const bool shared = AnotherUserRegisters(plan.pluginId, registryPath);
  bool companion_shared = false;
  bool retryable = false;
  bool unsafe = false;
  bool failed = false;

  if (!shared) {
    failed = !RemoveGate(plan, error, retryable);
    if (!failed) Notify(checkpoint, UninstallCheckpoint::kGateRemoved);
  }
  if (!failed && !plan.companionPath.empty()) {
    companion_shared = IsCompanionShared(plan, registry);
    if (!shared && !companion_shared) {
      failed = !IsolateCompanion(plan, manager, error, retryable, unsafe);
      if (!failed) Notify(checkpoint, UninstallCheckpoint::kCompanionIsolated);
    }
  }
  if (!failed) {
    failed = !CleanupManagedInternals(plan.pluginId, plan.cachedIcons, registry, registryPath,
                                      error, retryable, unsafe);
    if (!failed) Notify(checkpoint, UninstallCheckpoint::kInternalsCleaned);
  }
  if (!failed) {
    std::uint32_t attributes = 0;
    const PathState state = QueryPathState(tombstonePath, &attributes);
    if (!IsWithin(manager / L"uninstall_journals", tombstonePath) ||
        state == PathState::kUnreadable ||
        (state != PathState::kMissing && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
      error = "uninstall tombstone cleanup path is unsafe";
      unsafe = true;
      failed = true;
    } else if (state != PathState::kMissing) {
      std::string remove_error;
      if (!RemoveStateFile(tombstonePath, remove_error)) {
        error = "uninstall tombstone cleanup failed";
        retryable = true;
        failed = true;
      }
    }
  }

  result = {{"success", !failed},
            {"status", failed ? "failed" : "completed"},
            {"pluginId", plan.pluginId},
            {"registryCommitted", true},
            {"cleanupComplete", !failed},
            {"companionPreserved", shared || companion_shared},
            {"retryAfterExit", failed && retryable && !unsafe}};
  if (failed) result["error"] = error;
}

bool UninstallManagedPlugin(const std::string& pluginId, const std::string& registryPathUtf8,
                            nlohmann::json& result, std::string& error,
                            const UninstallCheckpointHook& checkpoint) {
  RootGateLock lock;
  if (!lock.owned()) {
    SetErrorIfEmpty(error, "root gate lock timed out");
    return false;
  }
  const std::filesystem::path registry_path = WideFromUtf8(registryPathUtf8);
  PluginRegistry registry;
  if (registry_path.empty() || !LoadRegistry(registry_path, registry, error)) {
    SetErrorIfEmpty(error, "plugin registry path is invalid");
    return false;
  }
  if (!IsValidPluginId(pluginId)) {
    SetErrorIfEmpty(error, kMetadataInvalid);
    return false;
  }
  const std::filesystem::path tombstone = TombstonePathFor(registry_path, pluginId);

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
    CommitUninstall(plan, registry_path, tombstone, registry, result, checkpoint);
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
                                    TombstoneDocument(plan, record, fingerprint).dump(2), error)) {
      return false;
    }
  }
  Notify(checkpoint, UninstallCheckpoint::kTombstoneWritten);

  PluginRegistry after;
  if (!RemovePluginFromRegistry(registry_path, pluginId, after, error)) {
    std::string ignored;
    RemoveStateFile(tombstone, ignored);
    return false;
  }
  Notify(checkpoint, UninstallCheckpoint::kRegistryCommitted);
  CommitUninstall(plan, registry_path, tombstone, after, result, checkpoint);
  return true;
}

}  // namespace kel
