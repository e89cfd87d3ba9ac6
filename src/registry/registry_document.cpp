#include "registry/registry_document.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>

#include "common/win_error.h"
#include "registry/command_verification.h"
#include "registry/registry_fields.h"

namespace kel {
namespace {

using json = nlohmann::json;
using namespace registry_fields;

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

// Numbers read into an unsigned integer of at most `max` as the library's typed read reads
// them, so a document means the same here as to the plugin manager: an integer converts as
// static_cast does (a negative one, or one too large, wraps modulo the width), a fraction is
// cut off. Only a floating-point value whose conversion is undefined (not finite, at or below
// -1, or beyond the width) is refused rather than turned into an arbitrary number.
std::uint64_t ReadUnsignedNumber(const json& value, std::uint64_t max) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>() & max;
  if (value.is_number_integer()) return static_cast<std::uint64_t>(value.get<std::int64_t>()) & max;
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && number > -1.0 && number < static_cast<double>(max) + 1.0) {
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

bool RuleHolds(TextRule rule, std::size_t limit, std::string_view text) {
  switch (rule) {
    case TextRule::kAny: return true;
    case TextRule::kBytes: return TextOk(text, limit);
    case TextRule::kNonEmptyBytes: return NonEmptyTextOk(text, limit);
    case TextRule::kId: return IsRegistryId(text);
    case TextRule::kEmptyOrId: return EmptyOrId(text);
    case TextRule::kEmptyOrIcon: return EmptyOrIcon(text);
  }
  return false;
}

template <typename Record, std::size_t N>
void ReadTexts(const json& object, const TextField<Record> (&fields)[N], Record& record) {
  for (const auto& field : fields) record.*field.member = ReadString(object, field.key);
}

template <typename Record, std::size_t N>
bool TextsHold(const TextField<Record> (&fields)[N], const Record& record) {
  return std::all_of(std::begin(fields), std::end(fields), [&record](const auto& field) {
    return RuleHolds(field.rule, field.limit, record.*field.member);
  });
}

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
  return TextsHold(kCommandText, c) && c.owner_plugin_id == plugin_id && c.occurrence != 0 &&
         OriginFieldsHold(c);
}

RegistryCommand ReadCommandFields(const json& entry) {
  RegistryCommand c;
  ReadTexts(entry, kCommandText, c);
  for (const auto& field : kCommandCounts) c.*field.member = ReadU32(entry, field.key, field.fallback);
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
  ReadTexts(value, kPluginText, plugin);
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

  const bool metadata_ok = TextsHold(kPluginText, plugin) &&
                           EmptyOrId(plugin.indexed_generation) &&
                           ParseLoadPolicy(policy, plugin.load_policy);
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
      ReadTexts(entry, kScopeText, scope);
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
  for (const auto& field : kOwnerText) {
    // Owners of another type are ignored, not refused.
    if (const json* owner = Member(document, field.key); owner != nullptr && owner->is_string()) {
      model.*field.member = owner->get<std::string>();
    }
  }
  for (const auto& [id, value] : plugins->items()) {
    PluginRecord plugin;
    if (!ReadPlugin(id, value, schema, plugin, error)) return false;
    model.plugins.emplace(id, std::move(plugin));
  }
  return true;
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
      SetErrorIfEmpty(error, parse_error);
      return false;
    }
    registry_out = std::move(model);
    return true;
  } catch (const nlohmann::json::exception&) {
  } catch (const SchemaInvalid&) {
  }
  SetErrorIfEmpty(error, kSchemaInvalid);
  return false;
}

nlohmann::json SerializePluginRegistry(const PluginRegistry& registry) {
  return json::parse(RegistryDocumentText(registry));
}

}  // namespace kel
