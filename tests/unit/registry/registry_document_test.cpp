#include "registry/registry_document.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "identity/command_identity.h"
#include "registry/command_verification.h"
#include "registry_fixtures.h"

namespace kel {
namespace {

using json = nlohmann::json;
using namespace std::string_literals;

json& Plugin(json& document) { return document["plugins"]["plug.a"]; }

json& CommandWithOrigin(json& document, const std::string& origin) {
  for (auto& command : Plugin(document)["commands"]) {
    if (command["origin"] == origin) return command;
  }
  throw std::runtime_error("fixture has no command of origin " + origin);
}

json& SourceCommand(json& document) { return CommandWithOrigin(document, "verified_source"); }
json& ExternalCommand(json& document) { return CommandWithOrigin(document, "verified_external_icon"); }

std::string ReadError(const json& document) {
  PluginRegistry registry;
  std::string error;
  return ParsePluginRegistry(document, registry, error) ? "ok" : error;
}

PluginRegistry ReadOk(const json& document) {
  PluginRegistry registry;
  std::string error;
  EXPECT_TRUE(ParsePluginRegistry(document, registry, error)) << error;
  return registry;
}

struct Case {
  const char* name;
  std::function<void(json&)> mutate;
  const char* message;
};

TEST(ParsePluginRegistry, EveryMessageHasItsDocument) {
  const std::string icon_upper_hex = "cache/icons/" + std::string(64, 'A') + ".png";
  const std::vector<Case> cases = {
      {"not an object", [](json& d) { d = json::array(); }, "plugin registry schema is invalid"},
      {"schema 2", [](json& d) { d["schemaVersion"] = 2; }, "plugin registry schema is invalid"},
      {"schema 9", [](json& d) { d["schemaVersion"] = 9; }, "plugin registry schema is invalid"},
      {"schema text", [](json& d) { d["schemaVersion"] = "8"; }, "plugin registry schema is invalid"},
      {"schema -8", [](json& d) { d["schemaVersion"] = -8; }, "plugin registry schema is invalid"},
      {"no schema", [](json& d) { d.erase("schemaVersion"); }, "plugin registry schema is invalid"},
      {"generation -1", [](json& d) { d["generation"] = -1; }, "plugin registry schema is invalid"},
      {"generation 1.5", [](json& d) { d["generation"] = 1.5; }, "plugin registry schema is invalid"},
      {"no generation", [](json& d) { d.erase("generation"); }, "plugin registry schema is invalid"},
      {"no plugins", [](json& d) { d.erase("plugins"); }, "plugin registry schema is invalid"},
      {"plugins array", [](json& d) { d["plugins"] = json::array(); }, "plugin registry schema is invalid"},
      {"updatedAt text", [](json& d) { d["updatedAt"] = "now"; }, "plugin registry schema is invalid"},
      {"updatedAt 1e300", [](json& d) { d["updatedAt"] = 1e300; }, "plugin registry schema is invalid"},
      {"name typed", [](json& d) { Plugin(d)["name"] = 5; }, "plugin registry schema is invalid"},
      {"loadPolicy typed", [](json& d) { Plugin(d)["loadPolicy"] = 1; }, "plugin registry schema is invalid"},
      {"occurrence text", [](json& d) { SourceCommand(d)["occurrence"] = "1"; }, "plugin registry schema is invalid"},
      {"occurrence -1.5", [](json& d) { SourceCommand(d)["occurrence"] = -1.5; }, "plugin registry schema is invalid"},
      {"occurrence 2^32 float", [](json& d) { SourceCommand(d)["occurrence"] = 4294967296.0; },
       "plugin registry schema is invalid"},
      // Integers wrap as the typed read wraps them: these read as 0, which the rule refuses.
      {"occurrence 2^32", [](json& d) { SourceCommand(d)["occurrence"] = 4294967296ULL; },
       "plugin registry contains invalid command metadata"},
      {"occurrence -2^32", [](json& d) { SourceCommand(d)["occurrence"] = -4294967296LL; },
       "plugin registry contains invalid command metadata"},
      {"scope id typed", [](json& d) { Plugin(d)["externalCommandScopes"][0]["id"] = 1; },
       "plugin registry schema is invalid"},

      {"id CON.plugin", [](json& d) { d["plugins"]["CON.plugin"] = json::object(); },
       "plugin registry contains an invalid plugin id"},
      {"id aux", [](json& d) { d["plugins"]["aux"] = json::object(); }, "plugin registry contains an invalid plugin id"},
      {"id 129 bytes", [](json& d) { d["plugins"][std::string(129, 'p')] = json::object(); },
       "plugin registry contains an invalid plugin id"},
      {"id trailing dot", [](json& d) { d["plugins"]["p."] = json::object(); },
       "plugin registry contains an invalid plugin id"},
      {"id with space", [](json& d) { d["plugins"]["p q"] = json::object(); },
       "plugin registry contains an invalid plugin id"},
      {"plugin not object", [](json& d) { d["plugins"]["plug.c"] = json::array(); },
       "plugin registry contains an invalid plugin id"},

      {"showToolbar text", [](json& d) { Plugin(d)["showToolbar"] = "yes"; },
       "plugin registry contains invalid toolbar preference"},
      {"catalogVisible 1", [](json& d) { Plugin(d)["catalogVisible"] = 1; },
       "plugin registry contains invalid catalog visibility preference"},
      {"commandIndexVersion -1", [](json& d) { Plugin(d)["commandIndexVersion"] = -1; },
       "plugin registry contains invalid command index metadata"},
      {"indexState bogus", [](json& d) { Plugin(d)["indexState"] = "bogus"; },
       "plugin registry contains invalid command index state"},
      {"indexState number", [](json& d) { Plugin(d)["indexState"] = 1; },
       "plugin registry contains invalid command index state"},
      {"indexedGeneration number", [](json& d) { Plugin(d)["indexedGeneration"] = 2; },
       "plugin registry contains invalid command index generation"},
      {"indexedAt float", [](json& d) { Plugin(d)["indexedAt"] = 1.5; },
       "plugin registry contains invalid command index timestamp"},

      {"name 257 bytes", [](json& d) { Plugin(d)["name"] = std::string(257, 'n'); },
       "plugin registry contains invalid plugin metadata"},
      {"description NUL", [](json& d) { Plugin(d)["description"] = "a\0b"s; },
       "plugin registry contains invalid plugin metadata"},
      {"version 65 bytes", [](json& d) { Plugin(d)["version"] = std::string(65, '1'); },
       "plugin registry contains invalid plugin metadata"},
      {"activeGeneration bad", [](json& d) { Plugin(d)["activeGeneration"] = "gen 2"; },
       "plugin registry contains invalid plugin metadata"},
      {"indexedGeneration bad", [](json& d) { Plugin(d)["indexedGeneration"] = ".."; },
       "plugin registry contains invalid plugin metadata"},
      {"icon upper hex", [&](json& d) { Plugin(d)["cachedIcon"] = icon_upper_hex; },
       "plugin registry contains invalid plugin metadata"},
      {"icon upper extension",
       [](json& d) { Plugin(d)["cachedIcon"] = std::string(test::kIconPath).substr(0, 77) + ".PNG"; },
       "plugin registry contains invalid plugin metadata"},
      {"icon with subfolder", [](json& d) { Plugin(d)["cachedIcon"] = std::string(test::kIconPath) + "/x.png"; },
       "plugin registry contains invalid plugin metadata"},
      {"loadPolicy on_demand", [](json& d) { Plugin(d)["loadPolicy"] = "on_demand"; },
       "plugin registry contains invalid plugin metadata"},
      {"loadPolicy missing", [](json& d) { Plugin(d).erase("loadPolicy"); },
       "plugin registry contains invalid plugin metadata"},
      {"pluginKind other", [](json& d) { Plugin(d)["pluginKind"] = "internal"; },
       "plugin registry contains invalid plugin kind"},

      {"toolbar empty", [](json& d) { Plugin(d)["toolbars"] = {""}; },
       "plugin registry contains invalid toolbar metadata"},
      {"toolbars 129", [](json& d) { Plugin(d)["toolbars"] = std::vector<std::string>(129, "t"); },
       "plugin registry contains invalid toolbar metadata"},
      {"toolbars object", [](json& d) { Plugin(d)["toolbars"] = json::object(); },
       "plugin registry contains invalid toolbar metadata"},
      {"two scopes",
       [](json& d) { Plugin(d)["externalCommandScopes"].push_back(Plugin(d)["externalCommandScopes"][0]); },
       "plugin registry contains invalid external command scopes"},
      {"scope without exactToolbars", [](json& d) { Plugin(d)["externalCommandScopes"][0].erase("exactToolbars"); },
       "plugin registry contains invalid external command scopes"},
      {"scope proof", [](json& d) { Plugin(d)["externalCommandScopes"][0]["proof"] = "full"; },
       "plugin registry contains unauthorized external command scopes"},
      {"scope no base", [](json& d) { Plugin(d)["externalCommandScopes"][0]["base"] = ""; },
       "plugin registry contains unauthorized external command scopes"},

      {"commands object", [](json& d) { Plugin(d)["commands"] = json::object(); },
       "plugin registry contains an invalid command index"},
      {"commands 1025",
       [](json& d) { Plugin(d)["commands"] = json(std::vector<json>(1025, json::object())); },
       "plugin registry contains an invalid command index"},
      {"command not object", [](json& d) { Plugin(d)["commands"].push_back(1); },
       "plugin registry contains invalid command metadata"},
      {"command label empty", [](json& d) { SourceCommand(d)["label"] = ""; },
       "plugin registry contains invalid command metadata"},
      {"command owner differs", [](json& d) { SourceCommand(d)["ownerPluginId"] = "plug.b"; },
       "plugin registry contains invalid command metadata"},
      {"command occurrence 0", [](json& d) { SourceCommand(d)["occurrence"] = 0; },
       "plugin registry contains invalid command metadata"},
      {"command duplicate", [](json& d) { Plugin(d)["commands"].push_back(SourceCommand(d)); },
       "plugin registry contains invalid command metadata"},
      {"declared with callback",
       [](json& d) {
         json& command = SourceCommand(d);
         command["origin"] = "declared";
         command["callbackSourcePath"] = "x.rb";
       },
       "plugin registry contains invalid command metadata"},
      {"unknown origin", [](json& d) { SourceCommand(d)["origin"] = "guessed"; },
       "plugin registry contains invalid command metadata"},
      {"external toolbar outside scope", [](json& d) { ExternalCommand(d)["toolbar"] = "Main"; },
       "plugin registry contains invalid command metadata"},
      {"external scope unknown", [](json& d) { ExternalCommand(d)["scopeId"] = "scope2"; },
       "plugin registry contains invalid command metadata"},
      {"menuSegments 33", [](json& d) { SourceCommand(d)["menuSegments"] = std::vector<std::string>(33, "m"); },
       "plugin registry contains invalid command metadata"},
      {"menuSegments number", [](json& d) { SourceCommand(d)["menuSegments"] = {1}; },
       "plugin registry contains invalid command metadata"},
      {"identityVersion 1", [](json& d) { SourceCommand(d)["identityVersion"] = 1; },
       "plugin registry contains invalid command identity"},

      {"alias to unknown command", [](json& d) { Plugin(d)["commandAliases"]["x"] = "cc2.managed.00"; },
       "plugin registry contains invalid command aliases"},
      {"alias equals target",
       [](json& d) {
         const std::string id = SourceCommand(d)["id"];
         Plugin(d)["commandAliases"][id] = id;
       },
       "plugin registry contains invalid command aliases"},
      {"alias with space", [](json& d) { Plugin(d)["commandAliases"]["a b"] = SourceCommand(d)["id"]; },
       "plugin registry contains invalid command aliases"},
      {"alias target number", [](json& d) { Plugin(d)["commandAliases"]["a"] = 1; },
       "plugin registry contains invalid command aliases"},
      {"alias to unverified command",
       [](json& d) {
         json declared = SourceCommand(d);
         declared["id"] = "plain";
         declared["identityVersion"] = 0;
         Plugin(d)["commands"].push_back(declared);
         Plugin(d)["commandAliases"]["old"] = "plain";
       },
       "plugin registry contains invalid command aliases"},
      {"unresolved with space", [](json& d) { Plugin(d)["unresolvedCommandAliases"] = {"a b"}; },
       "plugin registry contains invalid unresolved command aliases"},
      {"unresolved 385 bytes", [](json& d) { Plugin(d)["unresolvedCommandAliases"] = {std::string(385, 'a')}; },
       "plugin registry contains invalid unresolved command aliases"},
      {"both resolved and unresolved", [](json& d) { Plugin(d)["unresolvedCommandAliases"].push_back("legacy:run"); },
       "plugin registry command alias is both resolved and unresolved"},

      {"canonical upper hex",
       [](json& d) {
         std::string hex = SourceCommand(d)["identityCanonical"];
         for (char& c : hex) c = static_cast<char>(toupper(c));
         SourceCommand(d)["identityCanonical"] = hex;
       },
       "managed command identity is invalid"},
      {"semantic kind", [](json& d) { SourceCommand(d)["semanticKind"] = "callback"; },
       "managed command identity is invalid"},
      {"stable key changed", [](json& d) { SourceCommand(d)["stableKey"] = "menu/rum"; },
       "managed command identity does not match its semantic facts"},
      {"stable key control", [](json& d) { SourceCommand(d)["stableKey"] = "menu\trun"; },
       "managed command stable key is invalid"},
      {"stable key too long", [](json& d) { SourceCommand(d)["stableKey"] = std::string(1025, 'k'); },
       "managed command stable key is invalid"},
      {"no stable key, digest differs",
       [](json& d) {
         SourceCommand(d)["stableKey"] = "";
         std::string id = SourceCommand(d)["id"];
         id.back() = id.back() == '0' ? '1' : '0';
         SourceCommand(d)["id"] = id;
       },
       "command identity digest does not match canonical bytes"},
  };
  const json valid = test::RichDocument();
  ASSERT_EQ(ReadError(valid), "ok");
  for (const auto& test_case : cases) {
    json document = valid;
    test_case.mutate(document);
    EXPECT_EQ(ReadError(document), test_case.message) << test_case.name;
  }
}

TEST(ParsePluginRegistry, FailureLeavesTheModelUntouched) {
  PluginRegistry registry = test::RichRegistry();
  json document = test::RichDocument();
  document["generation"] = "x";
  std::string error;
  EXPECT_FALSE(ParsePluginRegistry(document, registry, error));
  EXPECT_EQ(registry, test::RichRegistry());
}

TEST(ParsePluginRegistry, ManagedIdentityWithoutStableKeyNeedsOnlyCanonicalFormAndProvider) {
  json document = test::RichDocument();
  CommandIdentity identity;
  std::string error;
  ASSERT_TRUE(BuildCanonicalIdentity("managed", {{5, "anything"}, {9, ""}}, identity, error));
  json& command = SourceCommand(document);
  const std::string old_id = command["id"];
  command["stableKey"] = "";
  command["id"] = identity.identity_id;
  command["identityCanonical"] = ToLowerHex(identity.canonical_bytes);
  Plugin(document)["commandAliases"]["legacy:run"] = identity.identity_id;
  EXPECT_EQ(ReadError(document), "ok");

  ASSERT_TRUE(BuildCanonicalIdentity("other", {{5, "anything"}}, identity, error));
  command["id"] = identity.identity_id;
  command["identityCanonical"] = ToLowerHex(identity.canonical_bytes);
  Plugin(document)["commandAliases"]["legacy:run"] = identity.identity_id;
  EXPECT_EQ(ReadError(document), "canonical identity provider is invalid");
}

TEST(ParsePluginRegistry, PluginCountLimit) {
  json document = {{"schemaVersion", 8}, {"generation", 1}, {"plugins", json::object()}};
  for (int i = 0; i < 4096; ++i) {
    document["plugins"]["p" + std::to_string(i)] = {{"loadPolicy", "startup"}};
  }
  EXPECT_EQ(ReadOk(document).plugins.size(), 4096u);
  document["plugins"]["p4096"] = {{"loadPolicy", "startup"}};
  EXPECT_EQ(ReadError(document), "plugin registry schema is invalid");
}

TEST(ParsePluginRegistry, IdRuleBoundaries) {
  for (const char* good : {"console.plugin", "com10", "lpt", "a", "A-b_c.d", "nul_x"}) {
    EXPECT_TRUE(IsRegistryId(good)) << good;
  }
  EXPECT_TRUE(IsRegistryId(std::string(128, 'x')));
  for (const char* bad : {"", ".", "..", "con", "Com1.x", "LPT9", "a.", "a b", "a/b", "\xC3\xA4"}) {
    EXPECT_FALSE(IsRegistryId(bad)) << bad;
  }
}

TEST(ParsePluginRegistry, SchemaThreeReadsOnDemandAsHotLoadAndDropsGenerations) {
  json document = test::RichDocument();
  document["schemaVersion"] = 3;
  Plugin(document).erase("loadPolicy");
  Plugin(document)["pluginKind"] = "whatever";  // not checked in schema 3
  document["plugins"]["plug.b"]["loadPolicy"] = "on_demand";
  const PluginRegistry registry = ReadOk(document);
  const PluginRecord& plugin = registry.plugins.at("plug.a");
  EXPECT_EQ(plugin.load_policy, LoadPolicy::hot_load);
  EXPECT_EQ(registry.plugins.at("plug.b").load_policy, LoadPolicy::hot_load);
  EXPECT_TRUE(plugin.active_generation.empty());
  EXPECT_TRUE(plugin.pending_generation.empty());
  EXPECT_EQ(plugin.index_state, IndexState::stale);
  EXPECT_EQ(plugin.commands.size(), 2u);
}

TEST(ParsePluginRegistry, LegacySchemaDropsBrokenCommandsOnly) {
  json document = test::RichDocument();
  document["schemaVersion"] = 4;
  SourceCommand(document)["label"] = "";
  Plugin(document).erase("commandAliases");
  const PluginRegistry registry = ReadOk(document);
  const PluginRecord& plugin = registry.plugins.at("plug.a");
  ASSERT_EQ(plugin.commands.size(), 1u);
  EXPECT_EQ(plugin.commands.begin()->second.origin, "verified_external_icon");
  EXPECT_EQ(plugin.index_state, IndexState::stale);
  EXPECT_TRUE(plugin.indexed_generation.empty());
  EXPECT_EQ(plugin.indexed_at, 1700000000u);

  document["schemaVersion"] = 8;
  EXPECT_EQ(ReadError(document), "plugin registry contains invalid command metadata");

  // Commands whose identity the current schema would refuse do not survive the upgrade.
  document = test::RichDocument();
  document["schemaVersion"] = 5;
  Plugin(document).erase("commandAliases");
  SourceCommand(document)["stableKey"] = "tampered";
  ExternalCommand(document)["identityVersion"] = 3;
  EXPECT_TRUE(ReadOk(document).plugins.at("plug.a").commands.empty());

  // A non-object entry is refused in every schema.
  document = test::RichDocument();
  document["schemaVersion"] = 4;
  Plugin(document)["commands"].push_back("x");
  EXPECT_EQ(ReadError(document), "plugin registry contains invalid command metadata");
}

TEST(ParsePluginRegistry, SchemaSixAndSevenLoseTheCommandIndex) {
  for (int schema : {6, 7}) {
    json document = test::RichDocument();
    document["schemaVersion"] = schema;
    const PluginRegistry registry = ReadOk(document);
    const PluginRecord& plugin = registry.plugins.at("plug.a");
    EXPECT_TRUE(plugin.commands.empty());
    EXPECT_TRUE(plugin.toolbars.empty());
    EXPECT_TRUE(plugin.command_aliases.empty());
    EXPECT_TRUE(plugin.unresolved_command_aliases.empty());
    EXPECT_EQ(plugin.index_state, IndexState::stale);
    EXPECT_TRUE(plugin.indexed_generation.empty());
    EXPECT_EQ(plugin.indexed_at, 0u);
    EXPECT_EQ(plugin.command_index_version, 0u);
    EXPECT_EQ(plugin.active_generation, "gen-2");
    EXPECT_EQ(registry.plugins.size(), 2u);
  }
}

TEST(ParsePluginRegistry, IndexNormalisation) {
  const PluginRecord ready = ReadOk(test::RichDocument()).plugins.at("plug.a");
  EXPECT_EQ(ready.index_state, IndexState::ready);
  EXPECT_EQ(ready.indexed_generation, "gen-2");

  json document = test::RichDocument();
  Plugin(document)["indexedGeneration"] = "gen-1";
  PluginRecord plugin = ReadOk(document).plugins.at("plug.a");
  EXPECT_EQ(plugin.index_state, IndexState::stale);
  EXPECT_TRUE(plugin.indexed_generation.empty());
  EXPECT_EQ(plugin.indexed_at, 1700000000u);

  document = test::RichDocument();
  Plugin(document).erase("indexState");
  EXPECT_EQ(ReadOk(document).plugins.at("plug.a").index_state, IndexState::stale);

  // Ready without any command: the index is thrown away.
  document = test::RichDocument();
  Plugin(document)["commands"] = json::array();
  Plugin(document)["commandAliases"] = json::object();
  plugin = ReadOk(document).plugins.at("plug.a");
  EXPECT_EQ(plugin.index_state, IndexState::stale);
  EXPECT_TRUE(plugin.toolbars.empty());
  EXPECT_TRUE(plugin.unresolved_command_aliases.empty());
  EXPECT_EQ(plugin.indexed_at, 0u);
  EXPECT_EQ(plugin.command_index_version, 0u);

  // ... unless the plugin is hidden from the catalog.
  Plugin(document)["catalogVisible"] = false;
  plugin = ReadOk(document).plugins.at("plug.a");
  EXPECT_EQ(plugin.index_state, IndexState::ready);
  EXPECT_EQ(plugin.toolbars.size(), 2u);
}

TEST(SerializePluginRegistry, RoundTripKeepsTheModel) {
  const PluginRegistry original = test::RichRegistry();
  const json written = SerializePluginRegistry(original);
  EXPECT_EQ(written["schemaVersion"], 8u);
  EXPECT_EQ(ReadOk(written), original);
  EXPECT_EQ(ReadOk(json::parse(RegistryDocumentText(original))), original);

  const json& plugin = written["plugins"]["plug.a"];
  EXPECT_FALSE(plugin.contains("pluginKind"));
  EXPECT_EQ(plugin["installSource"], "marketplace");
  EXPECT_FALSE(written["plugins"]["plug.b"].contains("installSource"));
  EXPECT_EQ(plugin["commands"][0].size(), 22u);
  EXPECT_EQ(plugin["externalCommandScopes"][0].size(), 5u);

  PluginRegistry anonymous = original;
  anonymous.owner_user_id.clear();
  anonymous.owner_username.clear();
  const json bare = SerializePluginRegistry(anonymous);
  EXPECT_FALSE(bare.contains("ownerUserId"));
  EXPECT_FALSE(bare.contains("ownerUsername"));
}

TEST(SerializePluginRegistry, TextIsIndentedSortedAndUnescaped) {
  const std::string text = RegistryDocumentText(test::RichRegistry());
  EXPECT_EQ(text.rfind("{\n  \"generation\": 7,\n  \"ownerUserId\": \"42\",\n", 0), 0u) << text.substr(0, 80);
  EXPECT_NE(text.find("Plug \xE6\x8F\x92\xE4\xBB\xB6"), std::string::npos);
  EXPECT_EQ(text.find("\\u"), std::string::npos);

  // Written straight from the model, yet byte for byte what the library itself writes, for
  // every character class a string can hold and for empty collections.
  PluginRegistry tricky = test::RichRegistry();
  PluginRecord& plugin = tricky.plugins.at("plug.a");
  plugin.description = std::string("q\" b\\ \b\f\n\r\t \x01\x1f\x7f \xC3\xA9 \xF0\x9F\x98\x80");
  tricky.plugins.emplace("plug.c", PluginRecord{});  // every collection empty
  const std::string written = RegistryDocumentText(tricky);
  EXPECT_EQ(written, json::parse(written).dump(2));
  EXPECT_EQ(ReadOk(json::parse(written)).plugins.at("plug.a").description, plugin.description);
  // Text that is not UTF-8 is refused as the library refuses it.
  plugin.name = "\xC0\xAF";
  EXPECT_THROW(RegistryDocumentText(tricky), json::type_error);
}

// As the library's typed read: fractions are cut off, negative integers wrap.
TEST(ParsePluginRegistry, NumbersReadAsTheTypedReadReadsThem) {
  json document = test::RichDocument();
  auto source_line = [](const PluginRegistry& registry) {
    for (const auto& [id, command] : registry.plugins.at("plug.a").commands) {
      if (command.origin == "verified_source") return command.source_line;
    }
    return std::uint32_t{12345};
  };
  document["schemaVersion"] = 8.0;
  document["updatedAt"] = 1700000000.75;
  SourceCommand(document)["sourceLine"] = 7.5;
  PluginRegistry registry = ReadOk(document);
  EXPECT_EQ(registry.updated_at, 1700000000u);
  EXPECT_EQ(source_line(registry), 7u);
  document["updatedAt"] = -5;
  SourceCommand(document)["sourceLine"] = -0.5;
  registry = ReadOk(document);
  EXPECT_EQ(registry.updated_at, 18446744073709551611u);
  EXPECT_EQ(source_line(registry), 0u);
  SourceCommand(document)["sourceLine"] = -1;
  EXPECT_EQ(source_line(ReadOk(document)), 4294967295u);
  document["schemaVersion"] = 4;  // a legacy document keeps the command too
  EXPECT_EQ(source_line(ReadOk(document)), 4294967295u);
  registry = ReadOk(document);
  EXPECT_EQ(registry.owner_username, "alice");
  document["ownerUsername"] = 5;  // ignored, not refused
  EXPECT_TRUE(ReadOk(document).owner_username.empty());
}

}  // namespace
}  // namespace kel
