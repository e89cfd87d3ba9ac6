#pragma once

// Builders for SketchUp Plugins roots as the plugin center leaves them: registry documents
// (shared and per user), gates, companions, payload generations, runtime and staging data,
// cached icons, tombstones and root journals. Everything is written with plain file calls so
// that fixtures never depend on the code under test.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kel::test {

// One registry record. Fields left empty are left out of the document.
struct FixturePlugin {
  std::string id;
  std::string loadFile;                   // e.g. "acme_tool.rb"
  std::string companionName;              // e.g. "acme_tool"; empty = none
  std::string installRoot = "<plugins>";  // as stored
  std::string installSource = "marketplace";
  std::string cachedIcon;                 // "cache/icons/<hex>.png"
  std::vector<std::string> commandIcons;  // one declared command per entry ("" = no icon)
  std::string packageHash;
  std::string activeGeneration;
  nlohmann::json extra = nlohmann::json::object();  // merged into the record last
};

// A valid cached icon reference with a digest derived from seed.
std::string IconRef(unsigned seed, std::string_view extension = ".png");

// Lower-case hex SHA-256 of bytes (test-side, independent of the product's hashing).
std::string Sha256Hex(std::string_view bytes);

// The record of a plugin as the registry document stores it.
nlohmann::json RecordJson(const FixturePlugin& plugin);
// A whole schema-8 registry document.
nlohmann::json RegistryJson(const std::vector<FixturePlugin>& plugins,
                            std::uint64_t generation = 1);

class PluginsFixture {
 public:
  // Creates root (a "Plugins" directory) and the plugin center's managed tree below it.
  explicit PluginsFixture(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path center() const { return root_ / L"kel_plugin_center"; }
  std::filesystem::path managed() const { return center() / L"managed_plugins"; }
  // The shared registry of the root (older layout).
  std::filesystem::path shared_registry() const { return managed() / L"plugin_registry.json"; }
  // users\<key>\plugin_registry.json
  std::filesystem::path user_registry(std::string_view user_key) const;

  // Writes a registry document (any JSON, for hostile cases) or one built from records.
  void WriteRegistry(const std::filesystem::path& registry, const nlohmann::json& document) const;
  void WriteRegistry(const std::filesystem::path& registry,
                     const std::vector<FixturePlugin>& plugins,
                     std::uint64_t generation = 1) const;
  nlohmann::json ReadRegistryJson(const std::filesystem::path& registry) const;

  // The plugin's gate (exact gate text) as its root entry.
  std::filesystem::path WriteGate(const FixturePlugin& plugin) const;
  // A user's own root file.
  std::filesystem::path WriteRootFile(std::string_view name, std::string_view content) const;
  // A companion directory with a few files (relative path -> content).
  std::filesystem::path WriteCompanion(std::string_view name,
                                       const std::map<std::string, std::string>& files = {
                                           {"main.rb", "# main\n"}, {"lib/core.rb", "# core\n"}}) const;

  // Internal data of a plugin beside a registry: payload generation, runtime, staging.
  std::filesystem::path WritePayload(const std::filesystem::path& registry,
                                     std::string_view plugin_id, std::string_view generation,
                                     std::string_view file_name, std::string_view bytes) const;
  void WriteRuntime(const std::filesystem::path& registry, std::string_view plugin_id) const;
  void WriteStaging(const std::filesystem::path& registry, std::string_view plugin_id) const;
  std::filesystem::path WriteCachedIcon(const std::filesystem::path& registry,
                                        std::string_view icon_ref) const;
  std::filesystem::path WriteRootJournal(const std::filesystem::path& registry,
                                         std::string_view plugin_id,
                                         const nlohmann::json& journal) const;
  std::filesystem::path TombstonePath(const std::filesystem::path& registry,
                                      std::string_view plugin_id) const;

  // A managed user-installed plugin ("local_takeover"): the user's entry bytes are stored as
  // the active payload generation (its SHA-256), the gate stands in the root and the companion
  // stays. Sets the plugin's activeGeneration and packageHash; the record is not written.
  void PopulateTakeover(const std::filesystem::path& registry, FixturePlugin& plugin,
                        std::string_view entry_bytes) const;

  // A marketplace plugin with everything the plugin center keeps for it: record (not
  // written), gate, companion, payload, runtime, staging, cached icon files.
  void Populate(const std::filesystem::path& registry, const FixturePlugin& plugin) const;

 private:
  std::filesystem::path root_;
};

// Every file below dir (relative path -> bytes), links not followed; for "nothing else
// changed" checks.
std::map<std::wstring, std::string> SnapshotTree(const std::filesystem::path& dir);

// Entries of `before` whose content differs in `after` or that are missing in it, and
// entries only in `after`; filtered by the predicate "may change".
std::vector<std::wstring> ChangedEntries(const std::map<std::wstring, std::string>& before,
                                         const std::map<std::wstring, std::string>& after);

}  // namespace kel::test
