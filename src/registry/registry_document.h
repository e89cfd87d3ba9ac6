#pragma once

// The plugin registry document shared with the plugin manager: model, validation on read,
// normalisation, and the current (schema 8) written form. No file or lock handling here.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kel {

enum class LoadPolicy { startup = 0, hot_load = 1, disabled = 2 };
enum class IndexState { none = 0, ready = 1, stale = 2, failed = 3 };

struct ExternalCommandScope {
  std::string id;
  std::string proof;
  std::string base;
  std::string relative_root;
  std::vector<std::string> exact_toolbars;

  bool operator==(const ExternalCommandScope&) const = default;
};

struct RegistryCommand {
  std::string id;
  std::string owner_plugin_id;
  std::string label;
  std::string toolbar;
  std::string group_id;
  std::string group_label;
  std::string origin;
  std::string source_path;
  std::string callback_source_path;
  std::string tooltip;
  std::string menu_text;
  std::vector<std::string> menu_segments;
  std::string cached_icon;
  std::string icon;
  std::string scope_id;
  std::uint32_t occurrence = 1;
  std::uint32_t identity_version = 0;
  std::string identity_canonical;
  std::uint32_t source_line = 0;
  std::uint32_t callsite_occurrence = 0;
  std::string semantic_kind;
  std::string stable_key;

  bool operator==(const RegistryCommand&) const = default;
};

struct PluginRecord {
  std::string name;
  std::string registered_name;
  std::string author;
  std::string description;
  std::string version;
  std::string extension_basename;
  std::string install_root;
  std::string load_file;
  std::string package_hash;
  std::string active_generation;
  std::string pending_generation;
  std::string companion_name;
  std::string catalog_key;
  std::string cached_icon;
  std::string install_source;
  bool show_toolbar = true;
  bool catalog_visible = true;
  LoadPolicy load_policy = LoadPolicy::startup;
  std::vector<std::string> toolbars;
  std::vector<ExternalCommandScope> external_command_scopes;
  std::uint64_t command_index_version = 0;
  IndexState index_state = IndexState::stale;
  std::string indexed_generation;
  std::uint64_t indexed_at = 0;
  std::map<std::string, RegistryCommand> commands;          // by command id
  std::map<std::string, std::string> command_aliases;       // alias -> command id
  std::vector<std::string> unresolved_command_aliases;

  bool operator==(const PluginRecord&) const = default;
};

struct PluginRegistry {
  std::uint64_t generation = 0;
  std::uint64_t updated_at = 0;
  std::string owner_user_id;
  std::string owner_username;
  std::map<std::string, PluginRecord> plugins;  // by plugin id

  bool operator==(const PluginRegistry&) const = default;
};

inline constexpr std::uint64_t kRegistrySchemaVersion = 8;
inline constexpr std::size_t kMaxRegistryPlugins = 4096;
inline constexpr std::size_t kMaxPluginCommands = 1024;

// Validates a parsed document (schemas 3 to 8) and fills `registry_out`, which is left
// untouched on failure. One violation refuses the whole document with one message.
bool ParsePluginRegistry(const nlohmann::json& document, PluginRegistry& registry_out,
                         std::string& error);

// The current (schema 8) form of the model.
nlohmann::json SerializePluginRegistry(const PluginRegistry& registry);

// The file text: indent 2, UTF-8 kept unescaped.
std::string RegistryDocumentText(const PluginRegistry& registry);

std::string_view LoadPolicyText(LoadPolicy policy);
std::string_view IndexStateText(IndexState state);

// Value rules of the document, shared with the code that builds records.
bool IsRegistryId(std::string_view text);
bool IsRegistryAlias(std::string_view text);
bool IsRegistryIconPath(std::string_view text);

}  // namespace kel
