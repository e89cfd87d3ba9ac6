#include "registry/registry_store.h"

#include <windows.h>

#include <chrono>
#include <limits>

#include "common/text.h"
#include "common/win_error.h"
#include "registry/registry_migration.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

bool NameIs(const fs::path& path, std::wstring_view name) {
  return EqualsIgnoreCase(path.filename().wstring(), name);
}

bool ReadRegistryDocument(const fs::path& path, json& document, std::string& error) {
  bool existed = false;
  std::string text;
  std::string read_error;
  if (!ReadStateFile(path, kRegistryFileLimit, false, existed, text, read_error)) {
    SetErrorIfEmpty(error, read_error.empty() ? "plugin registry could not be opened safely"
                                              : read_error);
    return false;
  }
  document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    SetErrorIfEmpty(error, "plugin registry JSON is invalid");
    return false;
  }
  return true;
}

bool ParseRegistryDocument(const json& document, PluginRegistry& registry_out, std::string& error) {
  std::string parse_error;
  if (!ParsePluginRegistry(document, registry_out, parse_error)) {
    SetErrorIfEmpty(error, parse_error);
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

// Never destroyed: an uninstall worker may still take the lock while the process ends.
std::wstring& MutexNameOverride() {
  static std::wstring& name = *new std::wstring;
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
    SetErrorIfEmpty(error, "plugin registry lock timed out");
    return false;
  }
  json document;
  return ReadRegistryDocument(path, document, error) && ParseRegistryDocument(document, registry_out, error);
}

bool LoadRegistry(const fs::path& path, PluginRegistry& registry_out, std::string& error) {
  RegistryLock lock;
  if (!lock.owned()) {
    SetErrorIfEmpty(error, "plugin registry lock timed out");
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
      SetErrorIfEmpty(error, "plugin registry generation overflow");
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
    SetErrorIfEmpty(error, "plugin registry path is invalid");
    return false;
  }
  RegistryLock lock;
  if (!lock.owned()) {
    SetErrorIfEmpty(error, "plugin registry lock timed out");
    return false;
  }
  std::string write_error;
  if (!WriteStateFileAtomic(path, RegistryDocumentText(registry), kRegistryFileLimit, write_error)) {
    SetErrorIfEmpty(error, write_error);
    return false;
  }
  return true;
}

bool RemovePluginFromRegistry(const fs::path& path, const std::string& plugin_id, PluginRegistry& registry_out,
                              std::string& error) {
  RegistryLock lock;
  if (!lock.owned()) {
    SetErrorIfEmpty(error, "plugin registry transaction lock timed out");
    return false;
  }
  PluginRegistry model;
  if (!LoadRegistry(path, model, error)) return false;
  const auto plugin = model.plugins.find(plugin_id);
  if (plugin == model.plugins.end()) {
    SetErrorIfEmpty(error, "plugin id is not present in the shared registry");
    return false;
  }
  if (model.generation == std::numeric_limits<std::uint64_t>::max()) {
    SetErrorIfEmpty(error, "plugin registry generation overflow");
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

