#include "registry/registry_store.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <vector>

#include "common/file_tree.h"
#include "common/text.h"
#include "common/win_error.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr wchar_t kRegistryFileName[] = L"plugin_registry.json";
constexpr std::size_t kTokenFileLimit = 1048576;
// Deeper documents are not ours; the serialiser recurses and must not be fed them.
constexpr std::size_t kMaxMigratedDepth = 64;

// Entries of the older layout that belong to one user, in the order they are moved.
constexpr std::array<const wchar_t*, 13> kPerUserEntries = {
    L"payloads",         L"journals",
    L"staging",          L"uninstall_journals",
    L"uninstall_staging", L"install_receipts",
    L"cache",            L"category_mappings.json",
    L"presentation_preferences.json", L"roaming_host_preferences.json",
    L"suite_members.json", L"command_catalog.json",
    L"pending_cleanup.json"};

bool NameIs(const fs::path& path, std::wstring_view name) {
  return EqualsIgnoreCase(path.filename().wstring(), name);
}

bool Exists(const fs::path& path) { return QueryPathKind(path) != PathKind::kMissing; }

bool IsPlainDirectory(const fs::path& path) { return QueryPathKind(path) == PathKind::kDirectory; }

bool IsPlainFile(const fs::path& path) { return QueryPathKind(path) == PathKind::kFile; }

std::wstring GetEnv(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

// Names are collected before anything is moved or deleted: changing a folder while it is
// being enumerated may skip entries.
std::vector<std::wstring> ListNames(const fs::path& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((ToExtendedPathIfLong(directory) + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

// A copy that refuses links rather than copying what they point at.
bool CopyTreeNoFollow(const fs::path& source, const fs::path& target) {
  const PathKind kind = QueryPathKind(source);
  if (kind != PathKind::kFile && kind != PathKind::kDirectory) return false;
  const std::wstring native_target = ToExtendedPathIfLong(target);
  if (kind == PathKind::kFile) {
    return CopyFileW(ToExtendedPathIfLong(source).c_str(), native_target.c_str(), FALSE) != 0;
  }
  if (!CreateDirectoryW(native_target.c_str(), nullptr) && !IsPlainDirectory(target)) return false;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((ToExtendedPathIfLong(source) + L"\\*").c_str(), &data));
  if (!find) return false;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!CopyTreeNoFollow(source / name, target / name)) return false;
  } while (FindNextFileW(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

// The target does not exist yet. A copy that fails half way is taken back, so that a later
// run does not find a partial entry that would then win over the complete source.
bool MoveEntry(const fs::path& source, const fs::path& target) {
  if (MoveFileExW(ToExtendedPathIfLong(source).c_str(), ToExtendedPathIfLong(target).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (!CopyTreeNoFollow(source, target)) {
    RemoveTreeNoFollow(target);
    return false;
  }
  RemoveTreeNoFollow(source);
  return true;
}

bool SameDirectory(const fs::path& a, const fs::path& b) {
  const std::wstring ca = CanonicalPath(a);
  return !ca.empty() && ca == CanonicalPath(b);
}

void MergeOlderUserDirectory(const fs::path& older, const fs::path& user_dir) {
  if (!IsPlainDirectory(older) || SameDirectory(older, user_dir)) return;
  bool all_moved = true;
  for (const auto& name : ListNames(older)) {
    if (!Exists(user_dir / name)) all_moved = MoveEntry(older / name, user_dir / name) && all_moved;
  }
  // What is left had a namesake in the user directory, which always wins. An entry that could
  // be neither moved nor copied keeps the folder alive for the next run.
  if (all_moved) RemoveTreeNoFollow(older);
}

bool WriteFreshRegistry(const fs::path& registry, const std::string& owner_id, const std::string& owner_name) {
  PluginRegistry fresh;
  fresh.generation = 1;
  fresh.updated_at = RegistryNow();
  fresh.owner_user_id = owner_id;
  fresh.owner_username = owner_name;
  std::string error;
  return WriteStateFileAtomic(registry, RegistryDocumentText(fresh), kRegistryFileLimit, error);
}

void MigrateSharedRegistry(const fs::path& managed_root, const fs::path& registry, const std::string& user_key,
                           const std::string& owner_id, const std::string& owner_name) {
  const fs::path shared = managed_root / kRegistryFileName;
  if (!IsPlainFile(shared) || Exists(registry)) return;
  bool existed = false;
  std::string text;
  std::string error;
  if (!ReadStateFile(shared, kRegistryFileLimit, false, existed, text, error)) return;
  std::size_t depth = 0;
  const json::parser_callback_t track_depth = [&depth](int level, json::parse_event_t, json&) {
    depth = std::max<std::size_t>(depth, static_cast<std::size_t>(level));
    return true;
  };
  json document = json::parse(text, track_depth, false);
  if (document.is_discarded() || !document.is_object() || depth > kMaxMigratedDepth) return;
  const auto owner = document.find("ownerUsername");
  const std::string current_owner =
      (owner != document.end() && owner->is_string()) ? owner->get<std::string>() : std::string();
  if (!current_owner.empty() && current_owner != owner_name && current_owner != user_key) return;
  if (!owner_id.empty()) document["ownerUserId"] = owner_id;
  if (!owner_name.empty()) document["ownerUsername"] = owner_name;
  if (WriteStateFileAtomic(registry, document.dump(2), kRegistryFileLimit, error)) {
    RemoveStateFile(shared, error);
  }
}

bool ReadRegistryDocument(const fs::path& path, json& document, std::string& error) {
  bool existed = false;
  std::string text;
  std::string read_error;
  if (!ReadStateFile(path, kRegistryFileLimit, false, existed, text, read_error)) {
    error = read_error.empty() ? "plugin registry could not be opened safely" : read_error;
    return false;
  }
  document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    error = "plugin registry JSON is invalid";
    return false;
  }
  return true;
}

bool ParseRegistryDocument(const json& document, PluginRegistry& registry_out, std::string& error) {
  std::string parse_error;
  if (!ParsePluginRegistry(document, registry_out, parse_error)) {
    error = parse_error;
    return false;
  }
  return true;
}

// A plugin that claims a ready index without any command: the plugin manager rebuilds it.
bool NeedsIndexRepair(const json& document) {
  const auto plugins = document.find("plugins");
  if (plugins == document.end() || !plugins->is_object()) return false;
  for (const auto& plugin : *plugins) {
    if (!plugin.is_object()) continue;
    const auto visible = plugin.find("catalogVisible");
    const bool catalog_visible = visible == plugin.end() || (visible->is_boolean() && visible->get<bool>());
    const auto state = plugin.find("indexState");
    const auto commands = plugin.find("commands");
    if (catalog_visible && state != plugin.end() && state->is_string() && state->get<std::string>() == "ready" &&
        commands != plugin.end() && commands->is_array() && commands->empty()) {
      return true;
    }
  }
  return false;
}

bool IsCurrentSchema(const json& document) {
  const auto schema = document.find("schemaVersion");
  if (schema == document.end()) return false;
  if (schema->is_number_integer()) return schema->get<std::int64_t>() == static_cast<std::int64_t>(kRegistrySchemaVersion);
  return schema->is_number_float() && schema->get<double>() == static_cast<double>(kRegistrySchemaVersion);
}

std::string DecodeBase64Lenient(std::string_view text) {
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+' || c == '-') value = 62;
    else if (c == '/' || c == '_') value = 63;
    if (value < 0) continue;
    buffer = ((buffer << 6) | static_cast<std::uint32_t>(value)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

// The token file itself must be a plain file in its folder: a link (Windows' or a Unix link
// under Wine, which only shows in the final path) is never followed.
bool ReadTokenFile(const fs::path& token, std::string& content) {
  if (QueryPathKind(token) != PathKind::kFile) return false;
  unique_file file(CreateFileW(ToExtendedPathIfLong(token).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag))) return false;
  if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
    return false;
  }
  unique_file folder(CreateFileW(ToExtendedPathIfLong(token.parent_path()).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return false;
  const std::wstring folder_path = NormalizedFinalPath(folder.get());
  const std::wstring file_path = NormalizedFinalPath(file.get());
  std::wstring expected = folder_path;
  if (!expected.empty() && expected.back() != L'\\') expected.push_back(L'\\');
  const std::wstring name = FoldCase(token.filename().wstring());
  if (folder_path.empty() || file_path != expected + name) return false;

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<std::uint64_t>(size.QuadPart) > kTokenFileLimit) {
    return false;
  }
  content.assign(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!content.empty() &&
      (!ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr) ||
       read != content.size())) {
    return false;
  }
  return true;
}

std::string TokenUserId(const json& payload, const char* key) {
  const json& value = payload.at(key);
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  return {};
}

std::wstring NarrowToWide(std::string_view text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

fs::path WithoutTrailingSeparator(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

fs::path ModuleFileName() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ModuleFileName), &module)) {
    return {};
  }
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return buffer;
}

std::wstring& MutexNameOverride() {
  static std::wstring name;
  return name;
}

}  // namespace

void SetRegistryMutexNameForTesting(const std::wstring& name) { MutexNameOverride() = name; }

RegistryLock::RegistryLock(unsigned long timeout_ms) {
  const std::wstring& name = MutexNameOverride();
  mutex_.reset(CreateMutexW(nullptr, FALSE, name.empty() ? kRegistryMutexName : name.c_str()));
  if (!mutex_) return;
  const DWORD result = WaitForSingleObject(mutex_.get(), timeout_ms);
  // An abandoned mutex is ours now; the document on disk is whole thanks to atomic replacement.
  owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

RegistryLock::~RegistryLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

std::uint64_t RegistryNow() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::string UserKeyFor(std::string_view name, std::string_view id) {
  const std::string_view trimmed_name = TrimAscii(name);
  const std::string source(trimmed_name.empty() ? TrimAscii(id) : trimmed_name);
  if (source.empty() || source == "\xE6\x9C\xAA\xE7\x99\xBB\xE5\xBD\x95") return std::string(kUnauthenticatedUserKey);

  std::string lowered;
  bool dropped = false;
  for (char c : source) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-' || c == '.';
    if (!keep) {
      dropped = true;
      continue;
    }
    lowered.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  }
  const bool clean = !dropped && !source.empty() && source.size() <= 64 && source != "." && source != ".." &&
                     source.back() != '.';
  if (clean && IsRegistryId(lowered) && lowered != kUnauthenticatedUserKey) return lowered;

  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char byte : source) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), kDigits[hash & 0xF]);
    hash >>= 4;
  } while (hash != 0);
  std::string key = "user_";
  if (!lowered.empty()) key += lowered.substr(0, 24) + "_";
  return key + hex;
}

ActiveUser GetActiveUser() {
  ActiveUser user;
  user.user_key = std::string(kUnauthenticatedUserKey);
  const std::wstring override_key = GetEnv(L"KEL_ACTIVE_USER_KEY");
  if (!override_key.empty() && override_key.size() <= 255) {
    user.owner_username = WideToUtf8(override_key);
    user.user_key = UserKeyFor(user.owner_username, "");
    return user;
  }
  const std::wstring local = GetEnv(L"LOCALAPPDATA");
  if (local.empty() || local.size() > 259) return user;
  std::string content;
  if (!ReadTokenFile(fs::path(local) / L"KelPlatformV3" / L"active_token.txt", content)) return user;
  const std::string_view token = TrimAscii(content);
  const std::size_t dot = token.find('.');
  if (dot == std::string::npos) return user;
  const std::size_t end = token.find('.', dot + 1);
  const std::string payload =
      DecodeBase64Lenient(std::string_view(token).substr(dot + 1, end == std::string::npos ? std::string::npos
                                                                                           : end - dot - 1));
  if (payload.empty()) return user;
  const json claims = json::parse(payload, nullptr, false);
  if (claims.is_discarded() || !claims.is_object()) return user;

  std::string name;
  std::string id;
  for (const char* key : {"username", "user_name"}) {
    const auto member = claims.find(key);
    if (member != claims.end() && member->is_string()) {
      name = member->get<std::string>();
      break;
    }
  }
  if (claims.contains("userId")) {
    id = TokenUserId(claims, "userId");
  } else if (claims.contains("user_id")) {
    id = TokenUserId(claims, "user_id");
  } else if (const auto sub = claims.find("sub"); sub != claims.end() && sub->is_string()) {
    id = sub->get<std::string>();
  }
  user.owner_username = name;
  user.owner_user_id = id;
  user.user_key = UserKeyFor(name, id);
  return user;
}

void PrepareUserDirectory(const fs::path& managed_root, const std::string& user_key,
                          const std::string& owner_user_id, const std::string& owner_user_name) {
  if (user_key.empty()) return;
  const fs::path user_dir = managed_root / L"users" / Utf8ToWide(user_key);
  std::string error;
  if (!EnsureStateDirectory(user_dir, error)) return;
  const fs::path registry = user_dir / kRegistryFileName;

  // The plugin manager may prepare the same directory at the same moment; without the mutex
  // one side could write a fresh registry over the other's migrated one.
  RegistryLock lock;
  if (!lock.owned()) return;

  if (user_key == kUnauthenticatedUserKey) {
    if (!Exists(registry)) WriteFreshRegistry(registry, owner_user_id, owner_user_name);
    return;
  }
  if (!owner_user_id.empty()) {
    // The id comes from a token: only a plain single name may address a folder.
    const std::wstring older_name = Utf8ToWide(user_key + "_" + owner_user_id);
    if (!older_name.empty() && IsPortableFileName(older_name)) {
      MergeOlderUserDirectory(managed_root / L"users" / older_name, user_dir);
    }
  }
  MigrateSharedRegistry(managed_root, registry, user_key, owner_user_id, owner_user_name);
  for (const wchar_t* entry : kPerUserEntries) {
    const fs::path source = managed_root / entry;
    const fs::path target = user_dir / entry;
    if (Exists(source) && !Exists(target)) MoveEntry(source, target);
  }
  if (!Exists(registry)) WriteFreshRegistry(registry, owner_user_id, owner_user_name);
}

fs::path RegistryPathForModule(const fs::path& module_file) {
  if (module_file.empty()) return {};
  const fs::path bin = module_file.parent_path();
  if (!NameIs(bin, L"bin")) return {};
  const fs::path managed_root = bin.parent_path() / L"managed_plugins";
  const ActiveUser user = GetActiveUser();
  PrepareUserDirectory(managed_root, user.user_key, user.owner_user_id, user.owner_username);
  return managed_root / L"users" / Utf8ToWide(user.user_key) / kRegistryFileName;
}

fs::path RegistryPath() { return RegistryPathForModule(ModuleFileName()); }

fs::path ManagedRootOf(const fs::path& registry_path) {
  const fs::path directory = registry_path.parent_path();
  const fs::path users = directory.parent_path();
  if (NameIs(users, L"users") && NameIs(users.parent_path(), L"managed_plugins")) return users.parent_path();
  return directory;
}

fs::path ManagedPluginsRootForModule(const fs::path& module_file) {
  const fs::path registry = RegistryPathForModule(module_file);
  if (registry.empty() || !NameIs(registry, kRegistryFileName)) return {};
  const fs::path managed_root = ManagedRootOf(registry);
  if (!NameIs(managed_root, L"managed_plugins")) return {};
  const fs::path center = managed_root.parent_path();
  if (!NameIs(center, L"kel_plugin_center")) return {};
  return center.parent_path();
}

fs::path ManagedPluginsRoot() { return ManagedPluginsRootForModule(ModuleFileName()); }

bool ReadRegistry(const fs::path& path, PluginRegistry& registry_out, std::string& error) {
  RegistryLock lock;
  if (!lock.owned()) {
    error = "plugin registry lock timed out";
    return false;
  }
  json document;
  return ReadRegistryDocument(path, document, error) && ParseRegistryDocument(document, registry_out, error);
}

bool LoadRegistry(const fs::path& path, PluginRegistry& registry_out, std::string& error) {
  RegistryLock lock;
  if (!lock.owned()) {
    error = "plugin registry lock timed out";
    return false;
  }
  json document;
  if (!ReadRegistryDocument(path, document, error)) return false;
  const bool repair = NeedsIndexRepair(document);
  const bool current = IsCurrentSchema(document);
  PluginRegistry model;
  if (!ParseRegistryDocument(document, model, error)) return false;
  document = json();
  if (repair) {
    if (model.generation == std::numeric_limits<std::uint64_t>::max()) {
      error = "plugin registry generation overflow";
      return false;
    }
    ++model.generation;
    model.updated_at = RegistryNow();
  }
  if ((repair || !current) && !WriteRegistry(path, model, error)) return false;
  registry_out = std::move(model);
  return true;
}

bool WriteRegistry(const fs::path& path, const PluginRegistry& registry, std::string& error) {
  if (path.empty()) {
    error = "plugin registry path is invalid";
    return false;
  }
  RegistryLock lock;
  if (!lock.owned()) {
    error = "plugin registry lock timed out";
    return false;
  }
  std::string write_error;
  if (!WriteStateFileAtomic(path, RegistryDocumentText(registry), kRegistryFileLimit, write_error)) {
    error = write_error;
    return false;
  }
  return true;
}

bool RemovePluginFromRegistry(const fs::path& path, const std::string& plugin_id, PluginRegistry& registry_out,
                              std::string& error) {
  RegistryLock lock;
  if (!lock.owned()) {
    error = "plugin registry transaction lock timed out";
    return false;
  }
  PluginRegistry model;
  if (!LoadRegistry(path, model, error)) return false;
  const auto plugin = model.plugins.find(plugin_id);
  if (plugin == model.plugins.end()) {
    error = "plugin id is not present in the shared registry";
    return false;
  }
  if (model.generation == std::numeric_limits<std::uint64_t>::max()) {
    error = "plugin registry generation overflow";
    return false;
  }
  model.plugins.erase(plugin);
  ++model.generation;
  model.updated_at = RegistryNow();
  if (!WriteRegistry(path, model, error)) return false;
  registry_out = std::move(model);
  return true;
}

fs::path ResolveStoredPluginsRoot(std::string_view stored, const fs::path& current_plugins_dir) {
  if (stored.empty() || stored == "<plugins>" || stored == ".") return current_plugins_dir;
  constexpr std::string_view kExternal = "<external>:";
  if (stored.substr(0, kExternal.size()) == kExternal) return fs::path(Utf8ToWide(stored.substr(kExternal.size())));
  const fs::path path(NarrowToWide(stored));
  if (current_plugins_dir.empty()) return path;
  // A registry moved along with its SketchUp version still names the old Plugins folder.
  const fs::path stored_normal = WithoutTrailingSeparator(path);
  const fs::path current_normal = WithoutTrailingSeparator(current_plugins_dir);
  if (!EqualsIgnoreCase(stored_normal.wstring(), current_normal.wstring()) && NameIs(stored_normal, L"Plugins") &&
      NameIs(current_normal, L"Plugins")) {
    return current_plugins_dir;
  }
  return path;
}

}  // namespace kel
