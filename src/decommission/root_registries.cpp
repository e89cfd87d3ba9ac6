#include "decommission/root_registries.h"

#include <windows.h>

#include <system_error>

#include <nlohmann/json.hpp>

#include "decommission/managed_paths.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

bool LargerThanRegistryLimit(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  const std::wstring physical = ToExtendedPathIfLong(path);
  if (!GetFileAttributesExW(physical.c_str(), GetFileExInfoStandard, &data)) return false;
  const unsigned long long size =
      (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return size > kRegistryFileLimit;
}

}  // namespace

std::vector<fs::path> RegistriesOfRoot(const fs::path& pluginsRoot) {
  std::vector<fs::path> registries;
  const fs::path managed = pluginsRoot / L"kel_plugin_center" / L"managed_plugins";
  const fs::path shared = managed / L"plugin_registry.json";
  if (IsPlainFile(shared)) registries.push_back(shared);
  const fs::path users = managed / L"users";
  if (!IsPlainDirectory(users)) return registries;
  std::vector<fs::path> user_dirs;
  std::error_code ec;
  for (fs::directory_iterator it(users, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    user_dirs.push_back(it->path());
  }
  for (const fs::path& dir : user_dirs) {
    if (!IsPlainDirectory(dir)) continue;
    const fs::path registry = dir / L"plugin_registry.json";
    if (IsPlainFile(registry)) registries.push_back(registry);
  }
  return registries;
}

RegistryReadState ReadRootRegistry(const fs::path& registryPath, PluginRegistry& registry_out,
                                   std::string& error, bool allowRepair) {
  std::string load_error;
  if (allowRepair && LoadRegistry(registryPath, registry_out, load_error)) {
    return RegistryReadState::kRead;
  }
  registry_out = PluginRegistry();
  std::string read_error;
  if (ReadRegistry(registryPath, registry_out, read_error)) return RegistryReadState::kRead;
  registry_out = PluginRegistry();
  error = read_error.empty() ? load_error : read_error;

  if (LargerThanRegistryLimit(registryPath)) return RegistryReadState::kDamaged;
  bool existed = false;
  std::string text;
  std::string ignored;
  if (!ReadStateFile(registryPath, kRegistryFileLimit, true, existed, text, ignored)) {
    return RegistryReadState::kBusy;
  }
  // Gone since it was listed: nothing left to read, nothing to wait for.
  if (!existed) return RegistryReadState::kRead;
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  PluginRegistry model;
  std::string parse_error;
  if (document.is_discarded() || !ParsePluginRegistry(document, model, parse_error)) {
    return RegistryReadState::kDamaged;
  }
  return RegistryReadState::kBusy;
}

}  // namespace kel
