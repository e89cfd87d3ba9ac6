#pragma once

// One declaration per member of the registry's records: its JSON key, the model member it
// fills, and the rule it must meet. Reading, validation and the written form all follow these
// tables; members with a message or a shape of their own are handled beside them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "registry/registry_document.h"

namespace kel::registry_fields {

// How a text member is checked on read.
enum class TextRule { kAny, kBytes, kNonEmptyBytes, kId, kEmptyOrId, kEmptyOrIcon };

// One text member of a record: its JSON key, where it lives, its rule and byte limit, and
// whether an empty value is written at all.
template <typename Record>
struct TextField {
  const char* key;
  std::string Record::*member;
  TextRule rule = TextRule::kAny;
  std::size_t limit = 0;
  bool write_empty = true;
};

// One number member read as an unsigned 32-bit value.
template <typename Record>
struct CountField {
  const char* key;
  std::uint32_t Record::*member;
  std::uint32_t fallback;
};


inline constexpr TextField<PluginRecord> kPluginText[] = {
    {"name", &PluginRecord::name, TextRule::kBytes, 256},
    {"registeredName", &PluginRecord::registered_name, TextRule::kBytes, 256},
    {"author", &PluginRecord::author, TextRule::kBytes, 256},
    {"description", &PluginRecord::description, TextRule::kBytes, 2048},
    {"version", &PluginRecord::version, TextRule::kBytes, 64},
    {"extensionBasename", &PluginRecord::extension_basename, TextRule::kBytes, 128},
    {"installRoot", &PluginRecord::install_root, TextRule::kBytes, 2048},
    {"loadFile", &PluginRecord::load_file, TextRule::kBytes, 256},
    {"packageHash", &PluginRecord::package_hash, TextRule::kBytes, 256},
    {"activeGeneration", &PluginRecord::active_generation, TextRule::kEmptyOrId},
    {"pendingGeneration", &PluginRecord::pending_generation, TextRule::kEmptyOrId},
    {"companionName", &PluginRecord::companion_name, TextRule::kBytes, 128},
    {"catalogKey", &PluginRecord::catalog_key, TextRule::kBytes, 512},
    {"cachedIcon", &PluginRecord::cached_icon, TextRule::kEmptyOrIcon},
    {"installSource", &PluginRecord::install_source, TextRule::kBytes, 64, false},
};

inline constexpr TextField<RegistryCommand> kCommandText[] = {
    {"id", &RegistryCommand::id, TextRule::kId},
    {"ownerPluginId", &RegistryCommand::owner_plugin_id, TextRule::kId},
    {"label", &RegistryCommand::label, TextRule::kNonEmptyBytes, 256},
    {"toolbar", &RegistryCommand::toolbar, TextRule::kBytes, 256},
    {"groupId", &RegistryCommand::group_id, TextRule::kId},
    {"groupLabel", &RegistryCommand::group_label, TextRule::kNonEmptyBytes, 256},
    {"origin", &RegistryCommand::origin},
    {"sourcePath", &RegistryCommand::source_path, TextRule::kBytes, 2048},
    {"callbackSourcePath", &RegistryCommand::callback_source_path, TextRule::kBytes, 2048},
    {"tooltip", &RegistryCommand::tooltip, TextRule::kBytes, 256},
    {"menuText", &RegistryCommand::menu_text, TextRule::kBytes, 256},
    {"cachedIcon", &RegistryCommand::cached_icon, TextRule::kEmptyOrIcon},
    {"icon", &RegistryCommand::icon, TextRule::kBytes, 2048},
    {"scopeId", &RegistryCommand::scope_id, TextRule::kEmptyOrId},
    {"identityCanonical", &RegistryCommand::identity_canonical},
    {"semanticKind", &RegistryCommand::semantic_kind},
    {"stableKey", &RegistryCommand::stable_key},
};

inline constexpr CountField<RegistryCommand> kCommandCounts[] = {
    {"occurrence", &RegistryCommand::occurrence, 1},
    {"identityVersion", &RegistryCommand::identity_version, 0},
    {"sourceLine", &RegistryCommand::source_line, 0},
    {"callsiteOccurrence", &RegistryCommand::callsite_occurrence, 0},
};

inline constexpr TextField<ExternalCommandScope> kScopeText[] = {
    {"id", &ExternalCommandScope::id}, {"proof", &ExternalCommandScope::proof}, {"base", &ExternalCommandScope::base}, {"relativeRoot", &ExternalCommandScope::relative_root}};

inline constexpr TextField<PluginRegistry> kOwnerText[] = {
    {"ownerUserId", &PluginRegistry::owner_user_id, TextRule::kAny, 0, false},
    {"ownerUsername", &PluginRegistry::owner_username, TextRule::kAny, 0, false},
};

}  // namespace kel::registry_fields
