#include "registry/registry_document.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>

#include "registry/command_verification.h"

namespace kel {
namespace {

using json = nlohmann::json;

// A value of the wrong shape met by a typed read; reported like the library's type errors.
struct SchemaInvalid {};

constexpr char kSchemaInvalid[] = "plugin registry schema is invalid";
constexpr char kCommandInvalid[] = "plugin registry contains invalid command metadata";

bool IsLegacySchema(std::uint64_t schema) { return schema >= 3 && schema <= 5; }

bool TextOk(std::string_view text, std::size_t max_bytes) {
  return text.size() <= max_bytes && text.find('\0') == std::string_view::npos;
}

bool NonEmptyTextOk(std::string_view text, std::size_t max_bytes) {
  return !text.empty() && TextOk(text, max_bytes);
}

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// A JSON integer that is not negative (values built in memory may be signed integers).
bool IsUnsignedInteger(const json& value) {
  return value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
}

// Numbers read as unsigned integers: fractions are cut off as the library's typed read does,
// but values it would wrap (negative, too large) or leave undefined (out-of-range floating
// point) are refused instead of being turned into some other number.
std::uint64_t ReadUnsignedNumber(const json& value, std::uint64_t max) {
  if (IsUnsignedInteger(value)) {
    const auto number = value.get<std::uint64_t>();
    if (number <= max) return number;
  } else if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && number >= 0 && number < 18446744073709551616.0 && static_cast<std::uint64_t>(number) <= max) {
      return static_cast<std::uint64_t>(number);
    }
  }
  throw SchemaInvalid{};
}

const json* Member(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string ReadString(const json& object, const char* key, const char* fallback = "") {
  const json* value = Member(object, key);
  return value == nullptr ? std::string(fallback) : value->get<std::string>();
}

std::uint32_t ReadU32(const json& object, const char* key, std::uint32_t fallback) {
  const json* value = Member(object, key);
  return value == nullptr
             ? fallback
             : static_cast<std::uint32_t>(ReadUnsignedNumber(*value, std::numeric_limits<std::uint32_t>::max()));
}

// An array of at most `max_entries` strings, each non-empty, at most 256 bytes, without NUL.
bool ReadLabelArray(const json& value, std::size_t max_entries, std::vector<std::string>& out) {
  if (!value.is_array() || value.size() > max_entries) return false;
  std::vector<std::string> entries;
  entries.reserve(value.size());
  for (const auto& entry : value) {
    if (!entry.is_string()) return false;
    const auto& text = entry.get_ref<const std::string&>();
    if (!NonEmptyTextOk(text, 256)) return false;
    entries.push_back(text);
  }
  out = std::move(entries);
  return true;
}

bool ParseLoadPolicy(std::string_view text, LoadPolicy& out) {
  if (text == "startup") out = LoadPolicy::startup;
  else if (text == "hot_load") out = LoadPolicy::hot_load;
  else if (text == "disabled") out = LoadPolicy::disabled;
  else return false;
  return true;
}

bool ParseIndexState(std::string_view text, IndexState& out) {
  if (text == "none") out = IndexState::none;
  else if (text == "ready") out = IndexState::ready;
  else if (text == "stale") out = IndexState::stale;
  else if (text == "failed") out = IndexState::failed;
  else return false;
  return true;
}

bool EmptyOrId(std::string_view text) { return text.empty() || IsRegistryId(text); }
bool EmptyOrIcon(std::string_view text) { return text.empty() || IsRegistryIconPath(text); }

bool OriginFieldsHold(const RegistryCommand& c) {
  const bool source = !c.source_path.empty();
  const bool callback = !c.callback_source_path.empty();
  const bool icon = !c.icon.empty();
  const bool scope = !c.scope_id.empty();
  if (c.origin == "declared") return !callback && !scope;
  if (c.origin == "verified_source") return source && !callback;
  if (c.origin == "verified_icon") return !source && callback && icon && !scope;
  if (c.origin == "verified_menu_scope") return !source && callback && !scope;
  if (c.origin == "verified_external_icon") return !source && callback && icon && scope;
  return false;
}

bool CommandRulesHold(const std::string& plugin_id, const RegistryCommand& c) {
  return IsRegistryId(c.id) && IsRegistryId(c.owner_plugin_id) && c.owner_plugin_id == plugin_id &&
         NonEmptyTextOk(c.label, 256) && TextOk(c.toolbar, 256) && IsRegistryId(c.group_id) &&
         NonEmptyTextOk(c.group_label, 256) && TextOk(c.source_path, 2048) &&
         TextOk(c.callback_source_path, 2048) && TextOk(c.tooltip, 256) && TextOk(c.menu_text, 256) &&
         EmptyOrIcon(c.cached_icon) && TextOk(c.icon, 2048) && EmptyOrId(c.scope_id) &&
         c.occurrence != 0 && OriginFieldsHold(c);
}

RegistryCommand ReadCommandFields(const json& entry) {
  RegistryCommand c;
  c.id = ReadString(entry, "id");
  c.owner_plugin_id = ReadString(entry, "ownerPluginId");
  c.label = ReadString(entry, "label");
  c.toolbar = ReadString(entry, "toolbar");
  c.group_id = ReadString(entry, "groupId");
  c.group_label = ReadString(entry, "groupLabel");
  c.origin = ReadString(entry, "origin");
  c.source_path = ReadString(entry, "sourcePath");
  c.callback_source_path = ReadString(entry, "callbackSourcePath");
  c.tooltip = ReadString(entry, "tooltip");
  c.menu_text = ReadString(entry, "menuText");
  c.cached_icon = ReadString(entry, "cachedIcon");
  c.icon = ReadString(entry, "icon");
  c.scope_id = ReadString(entry, "scopeId");
  c.occurrence = ReadU32(entry, "occurrence", 1);
  c.identity_version = ReadU32(entry, "identityVersion", 0);
  c.identity_canonical = ReadString(entry, "identityCanonical");
  c.source_line = ReadU32(entry, "sourceLine", 0);
  c.callsite_occurrence = ReadU32(entry, "callsiteOccurrence", 0);
  c.semantic_kind = ReadString(entry, "semanticKind");
  c.stable_key = ReadString(entry, "stableKey");
  return c;
}

bool ReadCommands(const json& list, std::uint64_t schema, const std::string& plugin_id, PluginRecord& plugin,
                  std::string& error) {
  const bool legacy = IsLegacySchema(schema);
  for (const auto& entry : list) {
    if (!entry.is_object()) {
      error = kCommandInvalid;
      return false;
    }
    RegistryCommand command = ReadCommandFields(entry);
    bool valid = CommandRulesHold(plugin_id, command) &&
                 (command.origin != "verified_external_icon" ||
                  IsAuthorisedExternalIconCommand(plugin, command)) &&
                 plugin.commands.find(command.id) == plugin.commands.end();
    if (legacy && valid) {
      // A legacy entry is upgraded into a schema that verifies identities: keep only what that
      // schema will accept, or the upgraded document could never be read again.
      std::string ignored;
      valid = command.identity_version == 0 ||
              (command.identity_version == 2 && VerifyManagedCommandIdentity(plugin_id, command, ignored));
    }
    if (!valid) {
      if (legacy) continue;
      error = kCommandInvalid;
      return false;
    }
    if (const json* segments = Member(entry, "menuSegments")) {
      if (!ReadLabelArray(*segments, 32, command.menu_segments)) {
        error = kCommandInvalid;
        return false;
      }
    }
    if (!legacy) {
      if (command.identity_version == 2) {
        if (!VerifyManagedCommandIdentity(plugin_id, command, error)) return false;
      } else if (command.identity_version != 0) {
        error = "plugin registry contains invalid command identity";
        return false;
      }
    }
    std::string id = command.id;
    plugin.commands.emplace(std::move(id), std::move(command));
  }
  return true;
}

void DiscardIndex(PluginRecord& plugin, bool commands_too) {
  if (commands_too) plugin.commands.clear();
  plugin.toolbars.clear();
  plugin.command_aliases.clear();
  plugin.unresolved_command_aliases.clear();
  plugin.index_state = IndexState::stale;
  plugin.indexed_generation.clear();
  plugin.indexed_at = 0;
  plugin.command_index_version = 0;
}

void NormaliseIndex(PluginRecord& plugin, std::uint64_t schema, bool index_state_present) {
  if (schema == 6 || schema == 7) {
    DiscardIndex(plugin, true);
  } else {
    const bool unverified =
        std::any_of(plugin.commands.begin(), plugin.commands.end(),
                    [](const auto& entry) { return entry.second.identity_version != 2; });
    const bool ready_mismatch =
        plugin.index_state == IndexState::ready &&
        (plugin.active_generation.empty() || plugin.active_generation != plugin.indexed_generation);
    if (IsLegacySchema(schema) || unverified || !index_state_present || ready_mismatch) {
      plugin.index_state = IndexState::stale;
      plugin.indexed_generation.clear();
    }
  }
  if (plugin.catalog_visible && plugin.commands.empty() && plugin.index_state == IndexState::ready) {
    DiscardIndex(plugin, false);
  }
}

bool ReadPlugin(const std::string& id, const json& value, std::uint64_t schema, PluginRecord& plugin,
                std::string& error) {
  if (!IsRegistryId(id) || !value.is_object()) {
    error = "plugin registry contains an invalid plugin id";
    return false;
  }
  plugin.name = ReadString(value, "name");
  plugin.registered_name = ReadString(value, "registeredName");
  plugin.author = ReadString(value, "author");
  plugin.description = ReadString(value, "description");
  plugin.version = ReadString(value, "version");
  plugin.extension_basename = ReadString(value, "extensionBasename");
  plugin.install_root = ReadString(value, "installRoot");
  plugin.load_file = ReadString(value, "loadFile");
  plugin.package_hash = ReadString(value, "packageHash");
  plugin.active_generation = ReadString(value, "activeGeneration");
  plugin.pending_generation = ReadString(value, "pendingGeneration");
  plugin.companion_name = ReadString(value, "companionName");
  plugin.catalog_key = ReadString(value, "catalogKey");
  plugin.cached_icon = ReadString(value, "cachedIcon");
  plugin.install_source = ReadString(value, "installSource");
  const std::string plugin_kind = ReadString(value, "pluginKind");

  if (const json* show = Member(value, "showToolbar")) {
    if (!show->is_boolean()) {
      error = "plugin registry contains invalid toolbar preference";
      return false;
    }
    plugin.show_toolbar = show->get<bool>();
  }
  if (const json* visible = Member(value, "catalogVisible")) {
    if (!visible->is_boolean()) {
      error = "plugin registry contains invalid catalog visibility preference";
      return false;
    }
    plugin.catalog_visible = visible->get<bool>();
  }
  if (const json* version = Member(value, "commandIndexVersion")) {
    if (!IsUnsignedInteger(*version)) {
      error = "plugin registry contains invalid command index metadata";
      return false;
    }
    plugin.command_index_version = version->get<std::uint64_t>();
  }
  const json* state = Member(value, "indexState");
  if (state != nullptr) {
    if (!state->is_string() || !ParseIndexState(state->get_ref<const std::string&>(), plugin.index_state)) {
      error = "plugin registry contains invalid command index state";
      return false;
    }
  }
  if (const json* generation = Member(value, "indexedGeneration")) {
    if (!generation->is_string()) {
      error = "plugin registry contains invalid command index generation";
      return false;
    }
    plugin.indexed_generation = generation->get<std::string>();
  }
  if (const json* at = Member(value, "indexedAt")) {
    if (!IsUnsignedInteger(*at)) {
      error = "plugin registry contains invalid command index timestamp";
      return false;
    }
    plugin.indexed_at = at->get<std::uint64_t>();
  }
  std::string policy = ReadString(value, "loadPolicy", schema == 3 ? "on_demand" : "");
  if (schema == 3 && policy == "on_demand") policy = "hot_load";

  const bool metadata_ok =
      TextOk(plugin.name, 256) && TextOk(plugin.registered_name, 256) && TextOk(plugin.author, 256) &&
      TextOk(plugin.description, 2048) && TextOk(plugin.version, 64) &&
      TextOk(plugin.extension_basename, 128) && TextOk(plugin.install_root, 2048) &&
      TextOk(plugin.load_file, 256) && TextOk(plugin.package_hash, 256) &&
      EmptyOrId(plugin.active_generation) && EmptyOrId(plugin.pending_generation) &&
      TextOk(plugin.companion_name, 128) && TextOk(plugin.catalog_key, 512) &&
      EmptyOrIcon(plugin.cached_icon) && TextOk(plugin.install_source, 64) &&
      EmptyOrId(plugin.indexed_generation) && ParseLoadPolicy(policy, plugin.load_policy);
  if (!metadata_ok) {
    error = "plugin registry contains invalid plugin metadata";
    return false;
  }
  if (schema == 3) {
    plugin.active_generation.clear();
    plugin.pending_generation.clear();
  } else if (!plugin_kind.empty() && plugin_kind != "external_ruby") {
    error = "plugin registry contains invalid plugin kind";
    return false;
  }

  if (const json* toolbars = Member(value, "toolbars")) {
    if (!ReadLabelArray(*toolbars, 128, plugin.toolbars)) {
      error = "plugin registry contains invalid toolbar metadata";
      return false;
    }
  }
  if (const json* scopes = Member(value, "externalCommandScopes")) {
    if (!scopes->is_array() || scopes->size() > 1) {
      error = "plugin registry contains invalid external command scopes";
      return false;
    }
    for (const auto& entry : *scopes) {
      const json* exact = entry.is_object() ? Member(entry, "exactToolbars") : nullptr;
      ExternalCommandScope scope;
      if (exact == nullptr || !ReadLabelArray(*exact, 128, scope.exact_toolbars)) {
        error = "plugin registry contains invalid external command scopes";
        return false;
      }
      scope.id = ReadString(entry, "id");
      scope.proof = ReadString(entry, "proof");
      scope.base = ReadString(entry, "base");
      scope.relative_root = ReadString(entry, "relativeRoot");
      plugin.external_command_scopes.push_back(std::move(scope));
    }
    if (!ScopesAreAuthorised(plugin)) {
      error = "plugin registry contains unauthorized external command scopes";
      return false;
    }
  }
  if (const json* commands = Member(value, "commands")) {
    if (!commands->is_array() || commands->size() > kMaxPluginCommands) {
      error = "plugin registry contains an invalid command index";
      return false;
    }
    if (!ReadCommands(*commands, schema, id, plugin, error)) return false;
  }
  if (const json* aliases = Member(value, "commandAliases")) {
    if (!aliases->is_object() || aliases->size() > 4096) {
      error = "plugin registry contains invalid command aliases";
      return false;
    }
    for (const auto& [alias, target] : aliases->items()) {
      bool ok = target.is_string();
      if (ok) {
        const auto& command_id = target.get_ref<const std::string&>();
        const auto command = plugin.commands.find(command_id);
        ok = IsRegistryAlias(alias) && IsRegistryAlias(command_id) && alias != command_id &&
             command != plugin.commands.end() && command->second.identity_version == 2;
      }
      if (!ok) {
        error = "plugin registry contains invalid command aliases";
        return false;
      }
      plugin.command_aliases.emplace(alias, target.get<std::string>());
    }
  }
  if (const json* unresolved = Member(value, "unresolvedCommandAliases")) {
    bool ok = unresolved->is_array() && unresolved->size() <= 4096;
    if (ok) {
      for (const auto& entry : *unresolved) {
        if (!entry.is_string() || !IsRegistryAlias(entry.get_ref<const std::string&>())) {
          ok = false;
          break;
        }
        plugin.unresolved_command_aliases.push_back(entry.get<std::string>());
      }
    }
    if (!ok) {
      error = "plugin registry contains invalid unresolved command aliases";
      return false;
    }
    for (const auto& alias : plugin.unresolved_command_aliases) {
      if (plugin.command_aliases.count(alias) != 0) {
        error = "plugin registry command alias is both resolved and unresolved";
        return false;
      }
    }
  }
  NormaliseIndex(plugin, schema, state != nullptr);
  return true;
}

bool ParseDocument(const json& document, PluginRegistry& model, std::string& error) {
  error = kSchemaInvalid;
  if (!document.is_object()) return false;
  const json* schema_value = Member(document, "schemaVersion");
  const std::uint64_t schema =
      schema_value == nullptr ? 0 : ReadUnsignedNumber(*schema_value, std::numeric_limits<std::uint64_t>::max());
  if (schema < 3 || schema > 8) return false;
  const json* generation = Member(document, "generation");
  if (generation == nullptr || !IsUnsignedInteger(*generation)) return false;
  const json* plugins = Member(document, "plugins");
  if (plugins == nullptr || !plugins->is_object() || plugins->size() > kMaxRegistryPlugins) return false;
  error.clear();

  model.generation = generation->get<std::uint64_t>();
  if (const json* updated = Member(document, "updatedAt")) {
    model.updated_at = ReadUnsignedNumber(*updated, std::numeric_limits<std::uint64_t>::max());
  }
  if (const json* owner = Member(document, "ownerUserId"); owner != nullptr && owner->is_string()) {
    model.owner_user_id = owner->get<std::string>();
  }
  if (const json* owner = Member(document, "ownerUsername"); owner != nullptr && owner->is_string()) {
    model.owner_username = owner->get<std::string>();
  }
  for (const auto& [id, value] : plugins->items()) {
    PluginRecord plugin;
    if (!ReadPlugin(id, value, schema, plugin, error)) return false;
    model.plugins.emplace(id, std::move(plugin));
  }
  return true;
}

// Members are added one by one: the library's initializer lists copy every value once more.
json SerializeCommand(const RegistryCommand& c) {
  json command = json::object();
  auto& members = command.get_ref<json::object_t&>();
  members.emplace("id", c.id);
  members.emplace("ownerPluginId", c.owner_plugin_id);
  members.emplace("label", c.label);
  members.emplace("toolbar", c.toolbar);
  members.emplace("groupId", c.group_id);
  members.emplace("groupLabel", c.group_label);
  members.emplace("origin", c.origin);
  members.emplace("sourcePath", c.source_path);
  members.emplace("callbackSourcePath", c.callback_source_path);
  members.emplace("tooltip", c.tooltip);
  members.emplace("menuText", c.menu_text);
  members.emplace("menuSegments", c.menu_segments);
  members.emplace("cachedIcon", c.cached_icon);
  members.emplace("icon", c.icon);
  members.emplace("scopeId", c.scope_id);
  members.emplace("occurrence", c.occurrence);
  members.emplace("identityVersion", c.identity_version);
  members.emplace("identityCanonical", c.identity_canonical);
  members.emplace("sourceLine", c.source_line);
  members.emplace("callsiteOccurrence", c.callsite_occurrence);
  members.emplace("semanticKind", c.semantic_kind);
  members.emplace("stableKey", c.stable_key);
  return command;
}

json SerializePlugin(const PluginRecord& p) {
  json scopes = json::array();
  for (const auto& scope : p.external_command_scopes) {
    json entry = json::object();
    auto& members = entry.get_ref<json::object_t&>();
    members.emplace("id", scope.id);
    members.emplace("proof", scope.proof);
    members.emplace("base", scope.base);
    members.emplace("relativeRoot", scope.relative_root);
    members.emplace("exactToolbars", scope.exact_toolbars);
    scopes.push_back(std::move(entry));
  }
  json commands = json::array();
  for (const auto& [id, command] : p.commands) commands.push_back(SerializeCommand(command));
  json aliases = json::object();
  for (const auto& [alias, target] : p.command_aliases) aliases.get_ref<json::object_t&>().emplace(alias, target);

  json record = json::object();
  auto& members = record.get_ref<json::object_t&>();
  members.emplace("name", p.name);
  members.emplace("registeredName", p.registered_name);
  members.emplace("author", p.author);
  members.emplace("description", p.description);
  members.emplace("version", p.version);
  members.emplace("extensionBasename", p.extension_basename);
  members.emplace("installRoot", p.install_root);
  members.emplace("loadFile", p.load_file);
  members.emplace("packageHash", p.package_hash);
  members.emplace("activeGeneration", p.active_generation);
  members.emplace("pendingGeneration", p.pending_generation);
  members.emplace("companionName", p.companion_name);
  members.emplace("catalogKey", p.catalog_key);
  members.emplace("cachedIcon", p.cached_icon);
  if (!p.install_source.empty()) members.emplace("installSource", p.install_source);
  members.emplace("showToolbar", p.show_toolbar);
  members.emplace("catalogVisible", p.catalog_visible);
  members.emplace("loadPolicy", LoadPolicyText(p.load_policy));
  members.emplace("toolbars", p.toolbars);
  members.emplace("externalCommandScopes", std::move(scopes));
  members.emplace("commandIndexVersion", p.command_index_version);
  members.emplace("indexState", IndexStateText(p.index_state));
  members.emplace("indexedGeneration", p.indexed_generation);
  members.emplace("indexedAt", p.indexed_at);
  members.emplace("commands", std::move(commands));
  members.emplace("commandAliases", std::move(aliases));
  members.emplace("unresolvedCommandAliases", p.unresolved_command_aliases);
  return record;
}

}  // namespace

std::string_view LoadPolicyText(LoadPolicy policy) {
  switch (policy) {
    case LoadPolicy::startup: return "startup";
    case LoadPolicy::hot_load: return "hot_load";
    case LoadPolicy::disabled: return "disabled";
  }
  return "startup";
}

std::string_view IndexStateText(IndexState state) {
  switch (state) {
    case IndexState::none: return "none";
    case IndexState::ready: return "ready";
    case IndexState::stale: return "stale";
    case IndexState::failed: return "failed";
  }
  return "stale";
}

bool IsRegistryId(std::string_view text) {
  if (text.empty() || text.size() > 128 || text == "." || text == "..") return false;
  if (!std::all_of(text.begin(), text.end(),
                   [](char c) { return IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_'; })) {
    return false;
  }
  if (text.back() == '.' || text.back() == ' ') return false;
  std::string stem(text.substr(0, text.find('.')));
  std::transform(stem.begin(), stem.end(), stem.begin(), LowerAscii);
  // Never destroyed: a worker may still validate while the process ends.
  static const auto& kReserved = *new const std::set<std::string, std::less<>>{
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  return kReserved.count(stem) == 0;
}

bool IsRegistryAlias(std::string_view text) {
  return !text.empty() && text.size() <= 384 &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return IsAsciiAlnum(c) || c == '-' || c == '.' || c == '/' || c == ':' || c == '_';
         });
}

bool IsRegistryIconPath(std::string_view text) {
  constexpr std::string_view kPrefix = "cache/icons/";
  if (text.size() < kPrefix.size() + 65 || text.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view digest = text.substr(kPrefix.size(), 64);
  if (!std::all_of(digest.begin(), digest.end(), IsLowerHexDigit)) return false;
  if (text[kPrefix.size() + 64] != '.') return false;
  const std::string_view extension = text.substr(kPrefix.size() + 65);
  static constexpr std::array<std::string_view, 8> kExtensions = {"bmp", "gif", "ico", "jpeg",
                                                                  "jpg", "png", "svg", "webp"};
  return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

bool ParsePluginRegistry(const nlohmann::json& document, PluginRegistry& registry_out, std::string& error) {
  try {
    PluginRegistry model;
    std::string parse_error;
    if (!ParseDocument(document, model, parse_error)) {
      error = parse_error;
      return false;
    }
    registry_out = std::move(model);
    return true;
  } catch (const nlohmann::json::exception&) {
  } catch (const SchemaInvalid&) {
  }
  error = kSchemaInvalid;
  return false;
}

nlohmann::json SerializePluginRegistry(const PluginRegistry& registry) {
  json plugins = json::object();
  auto& members = plugins.get_ref<json::object_t&>();
  for (const auto& [id, plugin] : registry.plugins) members.emplace_hint(members.end(), id, SerializePlugin(plugin));
  json document{{"schemaVersion", kRegistrySchemaVersion},
                {"generation", registry.generation},
                {"updatedAt", registry.updated_at},
                {"plugins", std::move(plugins)}};
  if (!registry.owner_user_id.empty()) document["ownerUserId"] = registry.owner_user_id;
  if (!registry.owner_username.empty()) document["ownerUsername"] = registry.owner_username;
  return document;
}

std::string RegistryDocumentText(const PluginRegistry& registry) {
  return SerializePluginRegistry(registry).dump(2);
}

}  // namespace kel
