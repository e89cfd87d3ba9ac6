#pragma once

// Valid registry models and documents that tests break one member at a time.

#include <string>

#include <nlohmann/json.hpp>

#include "registry/registry_document.h"

namespace kel::test {

inline constexpr char kIconPath[] =
    "cache/icons/0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef.png";

// A command of a managed plugin with a real version 2 identity built from its stable key.
RegistryCommand ManagedCommand(const std::string& plugin_id, const std::string& stable_key);

// One plugin with every kind of member set: two verified commands (one from an external
// scope), aliases, toolbars, a ready index.
PluginRecord RichPlugin(const std::string& plugin_id);

// Generation 7, owners set, plugins "plug.a" (rich) and "plug.b" (minimal).
PluginRegistry RichRegistry();

// The schema 8 document of RichRegistry().
nlohmann::json RichDocument();

// Every message a registry read may end with.
const std::vector<std::string>& KnownRegistryMessages();

}  // namespace kel::test
