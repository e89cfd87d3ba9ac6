#include "support/plugins_fixture.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <set>

#include "common/handles.h"
#include "common/text.h"
#include "support/sandbox.h"

namespace kel::test {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kGatePrefix =
    "# frozen_string_literal: true\n# kel_plugin_center_gate: 1\n"
    "KelPluginCenter::API.dispatch_entry('";
constexpr std::string_view kGateSuffix = "') if defined?(KelPluginCenter::API)\n";

fs::path Wide(std::string_view text) { return Utf8ToWide(text); }

void SnapshotInto(const fs::path& base, const fs::path& dir,
                  std::map<std::wstring, std::string>& out) {
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((dir / L"*").c_str(), &data));
  if (!find) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const fs::path path = dir / name;
    const std::wstring relative = path.lexically_relative(base).native();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      out[relative + L"\\"] = "<dir>";
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        SnapshotInto(base, path, out);
      }
    } else {
      out[relative] = ReadFileBytes(path);
    }
  } while (FindNextFileW(find.get(), &data));
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                 static_cast<ULONG>(bytes.size()), 0);
  BCryptFinishHash(hash, digest, sizeof(digest), 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  std::string hex;
  char buffer[3];
  for (unsigned char b : digest) {
    std::snprintf(buffer, sizeof(buffer), "%02x", b);
    hex += buffer;
  }
  return hex;
}

std::string IconRef(unsigned seed, std::string_view extension) {
  return "cache/icons/" + Sha256Hex("icon-" + std::to_string(seed)) + std::string(extension);
}

nlohmann::json RecordJson(const FixturePlugin& plugin) {
  nlohmann::json record = {{"name", plugin.id},
                           {"version", "1.0.0"},
                           {"installRoot", plugin.installRoot},
                           {"loadFile", plugin.loadFile},
                           {"companionName", plugin.companionName},
                           {"loadPolicy", "startup"},
                           {"indexState", "stale"}};
  if (!plugin.installSource.empty()) record["installSource"] = plugin.installSource;
  if (!plugin.cachedIcon.empty()) record["cachedIcon"] = plugin.cachedIcon;
  if (!plugin.packageHash.empty()) record["packageHash"] = plugin.packageHash;
  if (!plugin.activeGeneration.empty()) record["activeGeneration"] = plugin.activeGeneration;
  if (!plugin.commandIcons.empty()) {
    nlohmann::json commands = nlohmann::json::array();
    for (std::size_t i = 0; i < plugin.commandIcons.size(); ++i) {
      commands.push_back({{"id", plugin.id + ".cmd" + std::to_string(i)},
                          {"ownerPluginId", plugin.id},
                          {"label", "Command " + std::to_string(i)},
                          {"groupId", plugin.id + ".group"},
                          {"groupLabel", "Group"},
                          {"origin", "declared"},
                          {"cachedIcon", plugin.commandIcons[i]}});
    }
    record["commands"] = commands;
  }
  for (const auto& [key, value] : plugin.extra.items()) record[key] = value;
  return record;
}

nlohmann::json RegistryJson(const std::vector<FixturePlugin>& plugins, std::uint64_t generation) {
  nlohmann::json document = {{"schemaVersion", 8},
                             {"generation", generation},
                             {"updatedAt", 1700000000},
                             {"plugins", nlohmann::json::object()}};
  for (const FixturePlugin& plugin : plugins) document["plugins"][plugin.id] = RecordJson(plugin);
  return document;
}

PluginsFixture::PluginsFixture(fs::path root) : root_(std::move(root)) {
  fs::create_directories(managed() / L"users");
}

fs::path PluginsFixture::user_registry(std::string_view user_key) const {
  return managed() / L"users" / Wide(user_key) / L"plugin_registry.json";
}

void PluginsFixture::WriteRegistry(const fs::path& registry, const nlohmann::json& document) const {
  fs::create_directories(registry.parent_path());
  WriteFileBytes(registry, document.dump(2));
}

void PluginsFixture::WriteRegistry(const fs::path& registry,
                                   const std::vector<FixturePlugin>& plugins,
                                   std::uint64_t generation) const {
  WriteRegistry(registry, RegistryJson(plugins, generation));
}

nlohmann::json PluginsFixture::ReadRegistryJson(const fs::path& registry) const {
  return nlohmann::json::parse(ReadFileBytes(registry), nullptr, false);
}

fs::path PluginsFixture::WriteGate(const FixturePlugin& plugin) const {
  const fs::path gate = root_ / Wide(plugin.loadFile);
  WriteFileBytes(gate, std::string(kGatePrefix) + plugin.id + std::string(kGateSuffix));
  return gate;
}

fs::path PluginsFixture::WriteRootFile(std::string_view name, std::string_view content) const {
  const fs::path file = root_ / Wide(name);
  WriteFileBytes(file, content);
  return file;
}

fs::path PluginsFixture::WriteCompanion(std::string_view name,
                                        const std::map<std::string, std::string>& files) const {
  const fs::path dir = root_ / Wide(name);
  fs::create_directories(dir);
  for (const auto& [relative, content] : files) {
    const fs::path file = dir / Wide(relative);
    fs::create_directories(file.parent_path());
    WriteFileBytes(file, content);
  }
  return dir;
}

fs::path PluginsFixture::WritePayload(const fs::path& registry, std::string_view plugin_id,
                                      std::string_view generation, std::string_view file_name,
                                      std::string_view bytes) const {
  const fs::path dir = registry.parent_path() / L"payloads" / Wide(plugin_id) / Wide(generation);
  fs::create_directories(dir);
  WriteFileBytes(dir / Wide(file_name), bytes);
  return dir / Wide(file_name);
}

void PluginsFixture::WriteRuntime(const fs::path& registry, std::string_view plugin_id) const {
  const fs::path dir = registry.parent_path() / L"runtime" / Wide(plugin_id) / L"state";
  fs::create_directories(dir);
  WriteFileBytes(dir / L"session.json", "{}");
}

void PluginsFixture::WriteStaging(const fs::path& registry, std::string_view plugin_id) const {
  const fs::path dir = registry.parent_path() / L"staging" / Wide(plugin_id) / L"next";
  fs::create_directories(dir);
  WriteFileBytes(dir / L"download.part", "partial");
}

fs::path PluginsFixture::WriteCachedIcon(const fs::path& registry,
                                         std::string_view icon_ref) const {
  const fs::path dir = registry.parent_path() / L"cache" / L"icons";
  fs::create_directories(dir);
  const fs::path file = dir / Wide(icon_ref.substr(std::string_view("cache/icons/").size()));
  WriteFileBytes(file, "\x89PNG icon");
  return file;
}

fs::path PluginsFixture::WriteRootJournal(const fs::path& registry, std::string_view plugin_id,
                                          const nlohmann::json& journal) const {
  const fs::path dir = registry.parent_path() / L"journals";
  fs::create_directories(dir);
  const fs::path file = dir / (Wide(plugin_id).native() + L".json");
  WriteFileBytes(file, journal.dump(2));
  return file;
}

fs::path PluginsFixture::TombstonePath(const fs::path& registry,
                                       std::string_view plugin_id) const {
  return registry.parent_path() / L"uninstall_journals" / (Wide(plugin_id).native() + L".json");
}

void PluginsFixture::Populate(const fs::path& registry, const FixturePlugin& plugin) const {
  WriteGate(plugin);
  if (!plugin.companionName.empty()) WriteCompanion(plugin.companionName);
  const std::string entry = "# " + plugin.id + " entry\nrequire '" + plugin.companionName +
                            "/main'\n";
  WritePayload(registry, plugin.id, Sha256Hex(entry), plugin.loadFile, entry);
  WriteRuntime(registry, plugin.id);
  WriteStaging(registry, plugin.id);
  if (!plugin.cachedIcon.empty()) WriteCachedIcon(registry, plugin.cachedIcon);
  for (const std::string& icon : plugin.commandIcons) {
    if (!icon.empty()) WriteCachedIcon(registry, icon);
  }
}

void PluginsFixture::PopulateTakeover(const fs::path& registry, FixturePlugin& plugin,
                                      std::string_view entry_bytes) const {
  plugin.installSource = "local_takeover";
  plugin.activeGeneration = Sha256Hex(entry_bytes);
  plugin.packageHash = "sha256:" + plugin.activeGeneration;
  WriteGate(plugin);
  if (!plugin.companionName.empty()) WriteCompanion(plugin.companionName);
  WritePayload(registry, plugin.id, plugin.activeGeneration, plugin.loadFile, entry_bytes);
}

std::map<std::wstring, std::string> SnapshotTree(const fs::path& dir) {
  std::map<std::wstring, std::string> out;
  SnapshotInto(dir, dir, out);
  return out;
}

std::vector<std::wstring> ChangedEntries(const std::map<std::wstring, std::string>& before,
                                         const std::map<std::wstring, std::string>& after) {
  std::vector<std::wstring> changed;
  for (const auto& [path, content] : before) {
    const auto it = after.find(path);
    if (it == after.end() || it->second != content) changed.push_back(path);
  }
  for (const auto& [path, content] : after) {
    if (before.count(path) == 0) changed.push_back(path);
  }
  return changed;
}

}  // namespace kel::test
