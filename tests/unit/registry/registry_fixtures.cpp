#include "registry_fixtures.h"

#include <gtest/gtest.h>

#include "registry/command_verification.h"

namespace kel::test {

RegistryCommand ManagedCommand(const std::string& plugin_id, const std::string& stable_key) {
  RegistryCommand command;
  command.owner_plugin_id = plugin_id;
  command.label = "Run " + stable_key;
  command.toolbar = "Main";
  command.group_id = "tools";
  command.group_label = "Tools \xE5\xB7\xA5\xE5\x85\xB7";
  command.origin = "verified_source";
  command.source_path = "plug/main.rb";
  command.tooltip = "tip";
  command.menu_text = "Run";
  command.menu_segments = {"Extensions", "Plug"};
  command.cached_icon = kIconPath;
  command.icon = "plug/icons/run.png";
  command.occurrence = 2;
  command.source_line = 41;
  command.callsite_occurrence = 3;
  command.stable_key = stable_key;
  std::string error;
  EXPECT_TRUE(BuildManagedCommandIdentity(plugin_id, command, error)) << error;
  return command;
}

PluginRecord RichPlugin(const std::string& plugin_id) {
  PluginRecord plugin;
  plugin.name = "Plug \xE6\x8F\x92\xE4\xBB\xB6";
  plugin.registered_name = "plug_registered";
  plugin.author = "Author";
  plugin.description = "Does things.";
  plugin.version = "1.2.3";
  plugin.extension_basename = "plug";
  plugin.install_root = "<plugins>";
  plugin.load_file = "plug.rb";
  plugin.package_hash = "sha256:abc";
  plugin.active_generation = "gen-2";
  plugin.pending_generation = "gen-3";
  plugin.companion_name = "plug";
  plugin.catalog_key = "catalog/plug";
  plugin.cached_icon = kIconPath;
  plugin.install_source = "marketplace";
  plugin.show_toolbar = false;
  plugin.catalog_visible = true;
  plugin.load_policy = LoadPolicy::hot_load;
  plugin.toolbars = {"Main", "Ext"};
  plugin.external_command_scopes = {{"scope1", "icon_only", "plugins", "other_plugin", {"Ext"}}};
  plugin.command_index_version = 4;
  plugin.index_state = IndexState::ready;
  plugin.indexed_generation = "gen-2";
  plugin.indexed_at = 1700000000;

  RegistryCommand first = ManagedCommand(plugin_id, "menu/run");
  RegistryCommand external = ManagedCommand(plugin_id, "icon/ext");
  external.origin = "verified_external_icon";
  external.source_path.clear();
  external.callback_source_path = "other_plugin/cb.rb";
  external.scope_id = "scope1";
  external.toolbar = "Ext";
  plugin.command_aliases = {{"legacy:run", first.id}, {"legacy/ext", external.id}};
  plugin.unresolved_command_aliases = {"legacy:gone"};
  plugin.commands.emplace(first.id, first);
  plugin.commands.emplace(external.id, external);
  return plugin;
}

PluginRegistry RichRegistry() {
  PluginRegistry registry;
  registry.generation = 7;
  registry.updated_at = 1700000100;
  registry.owner_user_id = "42";
  registry.owner_username = "alice";
  registry.plugins.emplace("plug.a", RichPlugin("plug.a"));
  PluginRecord minimal;
  minimal.load_policy = LoadPolicy::disabled;
  minimal.index_state = IndexState::none;
  registry.plugins.emplace("plug.b", minimal);
  return registry;
}

nlohmann::json RichDocument() { return SerializePluginRegistry(RichRegistry()); }

const std::vector<std::string>& KnownRegistryMessages() {
  static const std::vector<std::string> messages = {
      "plugin registry schema is invalid",
      "plugin registry contains an invalid plugin id",
      "plugin registry contains invalid toolbar preference",
      "plugin registry contains invalid catalog visibility preference",
      "plugin registry contains invalid command index metadata",
      "plugin registry contains invalid command index state",
      "plugin registry contains invalid command index generation",
      "plugin registry contains invalid command index timestamp",
      "plugin registry contains invalid plugin metadata",
      "plugin registry contains invalid plugin kind",
      "plugin registry contains invalid toolbar metadata",
      "plugin registry contains invalid external command scopes",
      "plugin registry contains unauthorized external command scopes",
      "plugin registry contains an invalid command index",
      "plugin registry contains invalid command metadata",
      "plugin registry contains invalid command identity",
      "plugin registry contains invalid command aliases",
      "plugin registry contains invalid unresolved command aliases",
      "plugin registry command alias is both resolved and unresolved",
      "managed command identity is invalid",
      "managed command identity does not match its semantic facts",
      "managed command stable key is invalid",
      "canonical identity hex is invalid",
      "canonical identity domain is invalid",
      "canonical identity header is invalid",
      "canonical identity field framing is invalid",
      "command identity digest does not match canonical bytes",
      "canonical identity provider is invalid",
      "provider tag is invalid",
      "at least one semantic field is required",
      "semantic field is invalid",
      "semantic field ids must be unique",
  };
  return messages;
}

}  // namespace kel::test
