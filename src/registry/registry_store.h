#pragma once

// Where the plugin registry of the active user lives, and the four locked registry operations.
// All processes of the logged-on user (this program and the plugin manager) serialise on one
// named mutex. Who the active user is: user_scope.h; the older layout: registry_migration.h.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/handles.h"
#include "registry/registry_document.h"
#include "registry/registry_migration.h"
#include "registry/user_scope.h"

namespace kel {

inline constexpr wchar_t kRegistryMutexName[] = L"Local\\Kelmar.PluginManager.Registry.v1";
inline constexpr unsigned long kRegistryLockTimeoutMs = 5000;
inline constexpr std::size_t kRegistryFileLimit = 16777216;
inline constexpr wchar_t kRegistryFileName[] = L"plugin_registry.json";

// Lets tests that hold the mutex for seconds use a private name, so that they never stall
// other tests of the same session. Empty restores the real name. Not for product code.
void SetRegistryMutexNameForTesting(const std::wstring& name);

// Holds the registry mutex for its lifetime. A normal and an abandoned wait both count as
// owning it. The mutex is re-entrant for its owning thread, so nested holders do not block.
class RegistryLock {
 public:
  explicit RegistryLock(unsigned long timeout_ms = kRegistryLockTimeoutMs);
  ~RegistryLock();
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

  bool owned() const { return owned_; }

 private:
  unique_handle mutex_;
  bool owned_ = false;
};

// The active user's registry; empty when the executable does not lie in a "bin" folder.
// Prepares the user directory as a side effect.
std::filesystem::path RegistryPath();
// The same for a given module file name (the running executable in RegistryPath).
std::filesystem::path RegistryPathForModule(const std::filesystem::path& module_file);

// users\<key>\plugin_registry.json -> the managed_plugins folder; otherwise the registry's own
// folder (the older layout).
std::filesystem::path ManagedRootOf(const std::filesystem::path& registry_path);

// The SketchUp Plugins folder that holds the managed install, or empty.
std::filesystem::path ManagedPluginsRoot();
std::filesystem::path ManagedPluginsRootForModule(const std::filesystem::path& module_file);

// Locked read without any write.
bool ReadRegistry(const std::filesystem::path& path, PluginRegistry& registry_out,
                  std::string& error);
// Locked read that writes the document back when it must be repaired or upgraded.
bool LoadRegistry(const std::filesystem::path& path, PluginRegistry& registry_out,
                  std::string& error);
// Locked write of a whole model; the generation is the caller's business.
bool WriteRegistry(const std::filesystem::path& path, const PluginRegistry& registry,
                   std::string& error);
// Locked read, removal of one plugin, generation step and write, as one transaction.
bool RemovePluginFromRegistry(const std::filesystem::path& path, const std::string& plugin_id,
                              PluginRegistry& registry_out, std::string& error);

// A Plugins folder as stored in the registry and the journals: "<plugins>", "" or "." (the
// current one), "<external>:" + UTF-8 path, or a path in the narrow code page.
std::filesystem::path ResolveStoredPluginsRoot(std::string_view stored,
                                               const std::filesystem::path& current_plugins_dir);

// Whole seconds since 1970-01-01 UTC.
std::uint64_t RegistryNow();

}  // namespace kel
