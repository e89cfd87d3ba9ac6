#include "decommission/root_registries.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "decommission/managed_paths.h"
#include "decommission/root_inventory.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {

namespace fs = std::filesystem;

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

  // An empty file, one over the limit or one refused for good (access denied) is damage; only
  // a holder that shares nothing is a passing obstacle.
  const FileFacts facts = ReadFileFacts(registryPath, kRegistryFileLimit);
  switch (facts.state) {
    case ReadState::kBusy:
      return RegistryReadState::kBusy;
    case ReadState::kDamaged:
      return RegistryReadState::kDamaged;
    case ReadState::kMissing:
      // Gone since it was listed: nothing left to read, nothing to wait for.
      return RegistryReadState::kRead;
    case ReadState::kRead:
      break;
  }
  const std::string& text = facts.content;
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  PluginRegistry model;
  std::string parse_error;
  if (document.is_discarded() || !ParsePluginRegistry(document, model, parse_error)) {
    return RegistryReadState::kDamaged;
  }
  return RegistryReadState::kBusy;
}

}  // namespace kel
