#pragma once

#include <string>
#include <string_view>

#include "registry/registry_document.h"

namespace kel {

inline constexpr std::string_view kManagedProviderTag = "managed";
inline constexpr std::string_view kManagedSemanticKind = "managed_callback";

// The check every read runs (outside the legacy schemas) for a command with identity
// version 2.
bool VerifyManagedCommandIdentity(std::string_view plugin_id, const RegistryCommand& command,
                                  std::string& error);

// Computes the identity of a command from its plugin id and stable key and stores id,
// canonical hex, version 2 and the semantic kind in `command`.
bool BuildManagedCommandIdentity(std::string_view plugin_id, RegistryCommand& command,
                                 std::string& error);

// Every external scope has an id, the "icon_only" proof, a base and a relative root.
bool ScopesAreAuthorised(const PluginRecord& plugin);

// A "verified_external_icon" command is backed by one of the plugin's scopes.
bool IsAuthorisedExternalIconCommand(const PluginRecord& plugin, const RegistryCommand& command);

}  // namespace kel
