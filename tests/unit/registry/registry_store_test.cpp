// Location, active user, older-layout migration and the locked read/load/write/remove.
#include "registry/registry_store.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/text.h"
#include "registry_fixtures.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    had_ = length > 0 && length < 4096;
    if (had_) old_.assign(buffer, length);
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::wstring old_;
  bool had_ = false;
};

std::string Base64Url(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(buffer >> bits) & 0x3F]);
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3F]);
  return out;
}

fs::path TokenPath(const test::Sandbox& sandbox) {
  return sandbox.local() / L"KelPlatformV3" / L"active_token.txt";
}

void WriteToken(const test::Sandbox& sandbox, const std::string& text) {
  test::WriteFileBytes(TokenPath(sandbox), text);
}

std::string KeyFromToken(const test::Sandbox& sandbox, const json& payload) {
  WriteToken(sandbox, "  eyJhbGciOiJub25lIn0." + Base64Url(payload.dump()) + ".c2ln\r\n");
  return GetActiveUser().user_key;
}

TEST(UserKeyFor, CleanNamesAndTheHashedForm) {
  EXPECT_EQ(UserKeyFor("Alice", ""), "alice");
  EXPECT_EQ(UserKeyFor("  Bob.Smith-1 ", "ignored"), "bob.smith-1");
  EXPECT_EQ(UserKeyFor("", " 42 "), "42");
  EXPECT_EQ(UserKeyFor("Zhang San", ""), "user_zhangsan_436386e1d8d0b3a7");
  EXPECT_EQ(UserKeyFor("\xE5\xBC\xA0\xE4\xB8\x89", ""), "user_aa26eb2520bd703b");
  EXPECT_EQ(UserKeyFor("Li\xE5\xBC\xA0", ""), "user_li_9f086eb79f321bcd");
  EXPECT_EQ(UserKeyFor("_unauthenticated", ""), "user__unauthenticated_4ba82cf2313deb50");
  EXPECT_EQ(UserKeyFor(std::string(65, 'a'), ""), "user_" + std::string(24, 'a') + "_8087e9a889f8a14c");
  EXPECT_EQ(UserKeyFor("con", ""), "user_con_f604f1190d01642b");
  EXPECT_EQ(UserKeyFor(std::string(64, 'a'), ""), std::string(64, 'a'));
  EXPECT_EQ(UserKeyFor("a.", "").rfind("user_a._", 0), 0u);
  EXPECT_EQ(UserKeyFor("", ""), "_unauthenticated");
  EXPECT_EQ(UserKeyFor(" \t", "\n"), "_unauthenticated");
  EXPECT_EQ(UserKeyFor("\xE6\x9C\xAA\xE7\x99\xBB\xE5\xBD\x95", "42"), "_unauthenticated");
}

TEST(GetActiveUser, OverrideVariable) {
  test::Sandbox sandbox;
  {
    ScopedEnv key(L"KEL_ACTIVE_USER_KEY", L"Alice");
    const ActiveUser user = GetActiveUser();
    EXPECT_EQ(user.user_key, "alice");
    EXPECT_EQ(user.owner_username, "Alice");
    EXPECT_TRUE(user.owner_user_id.empty());
  }
  {
    ScopedEnv key(L"KEL_ACTIVE_USER_KEY", L"Zhang San");
    EXPECT_EQ(GetActiveUser().user_key, "user_zhangsan_436386e1d8d0b3a7");
  }
  {
    // Too long for an override: the token decides (there is none).
    ScopedEnv key(L"KEL_ACTIVE_USER_KEY", std::wstring(256, L'a').c_str());
    EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");
  }
}

TEST(GetActiveUser, TokenPayloads) {
  test::Sandbox sandbox;
  ScopedEnv no_override(L"KEL_ACTIVE_USER_KEY", nullptr);
  EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");  // no token file

  EXPECT_EQ(KeyFromToken(sandbox, {{"username", "Alice"}, {"userId", "u-1"}}), "alice");
  ActiveUser user = GetActiveUser();
  EXPECT_EQ(user.owner_user_id, "u-1");
  EXPECT_EQ(user.owner_username, "Alice");
  EXPECT_EQ(KeyFromToken(sandbox, {{"username", "\xE5\xBC\xA0\xE4\xB8\x89"}}), "user_aa26eb2520bd703b");
  EXPECT_EQ(KeyFromToken(sandbox, {{"username", ""}, {"userId", 42}}), "42");
  EXPECT_EQ(KeyFromToken(sandbox, {{"user_name", "Carol"}, {"userId", -7}}), "carol");
  EXPECT_EQ(GetActiveUser().owner_user_id, "-7");
  EXPECT_EQ(KeyFromToken(sandbox, {{"userId", 4.5}, {"user_id", "no"}, {"sub", "no"}}), "_unauthenticated");
  EXPECT_EQ(KeyFromToken(sandbox, {{"user_id", "Dave"}, {"sub", "no"}}), "dave");
  EXPECT_EQ(KeyFromToken(sandbox, {{"sub", "Erin"}}), "erin");
  EXPECT_EQ(KeyFromToken(sandbox, {{"username", 5}, {"sub", "Frank"}}), "frank");
  EXPECT_EQ(KeyFromToken(sandbox, json::array({"x"})), "_unauthenticated");

  // Both alphabets: "{"username":"?>?"}" encodes with + and / in the standard form.
  const std::string payload = R"({"username":"a?>?b"})";
  std::string standard = Base64Url(payload);
  std::replace(standard.begin(), standard.end(), '-', '+');
  std::replace(standard.begin(), standard.end(), '_', '/');
  ASSERT_NE(standard.find_first_of("+/"), std::string::npos);
  WriteToken(sandbox, "h." + standard + "==.s");
  EXPECT_EQ(GetActiveUser().owner_username, "a?>?b");
  WriteToken(sandbox, "h." + Base64Url(payload) + ".s");
  EXPECT_EQ(GetActiveUser().owner_username, "a?>?b");
  // Characters outside both alphabets are skipped.
  WriteToken(sandbox, "h.*" + Base64Url(R"({"sub":"Gina"})") + "*");
  EXPECT_EQ(GetActiveUser().user_key, "gina");

  WriteToken(sandbox, Base64Url(R"({"sub":"Gina"})"));  // no "."
  EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");
  WriteToken(sandbox, "h..s");
  EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");
  WriteToken(sandbox, "h." + Base64Url("not json") + ".s");
  EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");
}

TEST(GetActiveUser, TokenThatIsALinkIsNotFollowed) {
  test::Sandbox sandbox;
  ScopedEnv no_override(L"KEL_ACTIVE_USER_KEY", nullptr);
  fs::create_directories(TokenPath(sandbox));  // a directory, not a file
  EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");
  test::RemoveTree(TokenPath(sandbox));

  const fs::path real = sandbox.root() / L"elsewhere" / L"token.txt";
  test::WriteFileBytes(real, "h." + Base64Url(R"({"username":"Mallory"})") + ".s");
  // The same bytes in place are accepted: only the link makes the difference below.
  fs::copy_file(real, TokenPath(sandbox));
  EXPECT_EQ(GetActiveUser().user_key, "mallory");
  test::RemoveTree(TokenPath(sandbox));

  std::string reason;
  if (!test::MakeUnixSymlink(real, TokenPath(sandbox), reason)) GTEST_SKIP() << reason;
  EXPECT_EQ(GetActiveUser().user_key, "_unauthenticated");
}

TEST(RegistryPath, FollowsTheExecutableFolderAndPreparesTheUser) {
  test::Sandbox sandbox;
  ScopedEnv key(L"KEL_ACTIVE_USER_KEY", L"Alice");
  const fs::path plugins = sandbox.root() / L"SketchUp 2025" / L"Plugins";
  const fs::path center = plugins / L"kel_plugin_center";
  const fs::path exe = center / L"BIN" / L"KelPluginManager.exe";
  const fs::path registry = RegistryPathForModule(exe);
  EXPECT_EQ(registry, center / L"managed_plugins" / L"users" / L"alice" / L"plugin_registry.json");
  PluginRegistry model;
  std::string error;
  ASSERT_TRUE(ReadRegistry(registry, model, error)) << error;
  EXPECT_EQ(model.generation, 1u);
  EXPECT_EQ(model.owner_username, "Alice");
  EXPECT_TRUE(model.plugins.empty());
  EXPECT_GT(model.updated_at, 1600000000u);

  EXPECT_EQ(ManagedPluginsRootForModule(exe), plugins);
  EXPECT_TRUE(ManagedPluginsRootForModule(sandbox.root() / L"other" / L"bin" / L"x.exe").empty());
  EXPECT_TRUE(RegistryPathForModule(center / L"tools" / L"x.exe").empty());
}

TEST(ManagedRootOf, BothLayouts) {
  EXPECT_EQ(ManagedRootOf(L"C:\\p\\Managed_Plugins\\Users\\alice\\plugin_registry.json"),
            fs::path(L"C:\\p\\Managed_Plugins"));
  EXPECT_EQ(ManagedRootOf(L"C:\\p\\managed_plugins\\plugin_registry.json"), fs::path(L"C:\\p\\managed_plugins"));
  EXPECT_EQ(ManagedRootOf(L"C:\\p\\other\\users\\alice\\plugin_registry.json"),
            fs::path(L"C:\\p\\other\\users\\alice"));
}

TEST(ResolveStoredPluginsRoot, StoredForms) {
  const fs::path current = L"D:\\SketchUp 2026\\Plugins";
  EXPECT_EQ(ResolveStoredPluginsRoot("<plugins>", current), current);
  EXPECT_EQ(ResolveStoredPluginsRoot("", current), current);
  EXPECT_EQ(ResolveStoredPluginsRoot(".", current), current);
  EXPECT_EQ(ResolveStoredPluginsRoot("<external>:E:\\\xE6\x8F\x92\xE4\xBB\xB6\\Plugins", current),
            fs::path(L"E:\\\u63D2\u4EF6\\Plugins"));
  // A registry moved with its SketchUp version: the old Plugins folder means the current one.
  EXPECT_EQ(ResolveStoredPluginsRoot("C:\\SketchUp 2025\\plugins\\", current), current);
  EXPECT_EQ(ResolveStoredPluginsRoot("C:\\elsewhere\\extensions", current), fs::path(L"C:\\elsewhere\\extensions"));
  EXPECT_EQ(ResolveStoredPluginsRoot("C:\\SketchUp 2025\\Plugins", fs::path()), fs::path(L"C:\\SketchUp 2025\\Plugins"));
  EXPECT_TRUE(ResolveStoredPluginsRoot("<plugins>", fs::path()).empty());
}

class MigrationTest : public ::testing::Test {
 protected:
  fs::path managed() const { return sandbox_.root() / L"managed_plugins"; }
  fs::path user_dir(const char* key) const { return managed() / L"users" / Utf8ToWide(key); }
  PluginRegistry Read(const fs::path& path) {
    PluginRegistry model;
    std::string error;
    EXPECT_TRUE(ReadRegistry(path, model, error)) << error;
    return model;
  }
  test::Sandbox sandbox_;
};

TEST_F(MigrationTest, SharedRegistryAndEntriesMoveIntoTheUser) {
  PluginRegistry shared = test::RichRegistry();
  shared.owner_user_id.clear();
  shared.owner_username.clear();
  test::WriteFileBytes(managed() / L"plugin_registry.json", RegistryDocumentText(shared));
  test::WriteFileBytes(managed() / L"payloads" / L"plug.a" / L"gen-2" / L"file.rb", "payload");
  test::WriteFileBytes(managed() / L"pending_cleanup.json", "{}");
  test::WriteFileBytes(managed() / L"unrelated.txt", "stays");

  PrepareUserDirectory(managed(), "alice", "42", "Alice");
  EXPECT_FALSE(fs::exists(managed() / L"plugin_registry.json"));
  const PluginRegistry moved = Read(user_dir("alice") / L"plugin_registry.json");
  EXPECT_EQ(moved.owner_user_id, "42");
  EXPECT_EQ(moved.owner_username, "Alice");
  EXPECT_EQ(moved.generation, shared.generation);
  EXPECT_EQ(moved.plugins, shared.plugins);
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"payloads" / L"plug.a" / L"gen-2" / L"file.rb"), "payload");
  EXPECT_TRUE(fs::exists(user_dir("alice") / L"pending_cleanup.json"));
  EXPECT_FALSE(fs::exists(managed() / L"payloads"));
  EXPECT_TRUE(fs::exists(managed() / L"unrelated.txt"));
}

TEST_F(MigrationTest, SharedRegistryOfAnotherOwnerStaysInPlace) {
  PluginRegistry shared = test::RichRegistry();
  shared.owner_username = "bob";
  const std::string text = RegistryDocumentText(shared);
  test::WriteFileBytes(managed() / L"plugin_registry.json", text);
  test::WriteFileBytes(managed() / L"journals" / L"j.json", "{}");

  PrepareUserDirectory(managed(), "alice", "", "Alice");
  EXPECT_EQ(test::ReadFileBytes(managed() / L"plugin_registry.json"), text);
  const PluginRegistry fresh = Read(user_dir("alice") / L"plugin_registry.json");
  EXPECT_EQ(fresh.generation, 1u);
  EXPECT_TRUE(fresh.plugins.empty());
  EXPECT_EQ(fresh.owner_username, "Alice");
  EXPECT_TRUE(fresh.owner_user_id.empty());
  // Per-user entries move regardless of whose shared registry is left.
  EXPECT_TRUE(fs::exists(user_dir("alice") / L"journals" / L"j.json"));

  // Matching the user key is enough for the shared registry to move.
  test::RemoveTree(user_dir("alice"));
  shared.owner_username = "alice";
  test::WriteFileBytes(managed() / L"plugin_registry.json", RegistryDocumentText(shared));
  PrepareUserDirectory(managed(), "alice", "", "Alice");
  EXPECT_EQ(Read(user_dir("alice") / L"plugin_registry.json").generation, 7u);
  EXPECT_EQ(Read(user_dir("alice") / L"plugin_registry.json").owner_username, "Alice");
}

TEST_F(MigrationTest, OlderPerUserDirectoryIsMergedAndTheUserWins) {
  const fs::path older = managed() / L"users" / L"alice_42";
  test::WriteFileBytes(older / L"cache" / L"icon.png", "old icon");
  test::WriteFileBytes(older / L"install_receipts" / L"r.json", "receipt");
  test::WriteFileBytes(user_dir("alice") / L"cache" / L"icon.png", "new icon");
  PluginRegistry existing = test::RichRegistry();
  test::WriteFileBytes(user_dir("alice") / L"plugin_registry.json", RegistryDocumentText(existing));
  test::WriteFileBytes(managed() / L"plugin_registry.json", "{\"schemaVersion\":8}");

  PrepareUserDirectory(managed(), "alice", "42", "Alice");
  EXPECT_FALSE(fs::exists(older));
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"install_receipts" / L"r.json"), "receipt");
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"cache" / L"icon.png"), "new icon");
  // The user's registry exists: the shared one is left alone and nothing is overwritten.
  EXPECT_TRUE(fs::exists(managed() / L"plugin_registry.json"));
  EXPECT_EQ(Read(user_dir("alice") / L"plugin_registry.json"), existing);
}

TEST_F(MigrationTest, OlderDirectoryWithAnEntryThatCannotMoveIsKept) {
  const fs::path older = managed() / L"users" / L"alice_42";
  test::WriteFileBytes(older / L"pending_cleanup.json", "locked");
  test::WriteFileBytes(older / L"journals" / L"j.json", "journal");
  {
    unique_file held(CreateFileW((older / L"pending_cleanup.json").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    PrepareUserDirectory(managed(), "alice", "42", "Alice");
  }
  EXPECT_EQ(test::ReadFileBytes(older / L"pending_cleanup.json"), "locked");
  EXPECT_FALSE(fs::exists(user_dir("alice") / L"pending_cleanup.json"));
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"journals" / L"j.json"), "journal");
  // Next run, nothing held: the rest moves and the older folder goes.
  PrepareUserDirectory(managed(), "alice", "42", "Alice");
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"pending_cleanup.json"), "locked");
  EXPECT_FALSE(fs::exists(older));
}

TEST_F(MigrationTest, CopiesTakeTheirPlaceOnlyWholeAndAKilledCopyIsRedone) {
  // A run killed while copying left part of an entry under the copy's own name.
  test::WriteFileBytes(managed() / L"payloads" / L"plug.a" / L"a.rb", "a");
  test::WriteFileBytes(managed() / L"payloads" / L"plug.a" / L"b.rb", "b");
  test::WriteFileBytes(user_dir("alice") / L"payloads.kel_partial_copy" / L"plug.a" / L"a.rb", "a");
  // An entry held without delete sharing cannot be renamed away, only copied.
  test::WriteFileBytes(managed() / L"pending_cleanup.json", "ledger");
  unique_file held(CreateFileW((managed() / L"pending_cleanup.json").c_str(), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);

  PrepareUserDirectory(managed(), "alice", "", "Alice");
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"payloads" / L"plug.a" / L"a.rb"), "a");
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"payloads" / L"plug.a" / L"b.rb"), "b");
  EXPECT_EQ(test::ReadFileBytes(user_dir("alice") / L"pending_cleanup.json"), "ledger");
  for (const auto& entry : fs::directory_iterator(user_dir("alice"))) {
    EXPECT_EQ(entry.path().wstring().find(L"kel_partial_copy"), std::wstring::npos)
        << entry.path().string();
  }
  EXPECT_FALSE(fs::exists(managed() / L"payloads"));
}

TEST_F(MigrationTest, HostileUserIdNeverAddressesAnotherFolder) {
  const fs::path victim = managed() / L"victim";
  test::WriteFileBytes(victim / L"keep.txt", "keep");
  PrepareUserDirectory(managed(), "alice", "..\\..\\managed_plugins\\victim", "Alice");
  PrepareUserDirectory(managed(), "alice", "/../../victim", "Alice");
  EXPECT_EQ(test::ReadFileBytes(victim / L"keep.txt"), "keep");
}

TEST_F(MigrationTest, UnauthenticatedGetsAFreshRegistryOnly) {
  test::WriteFileBytes(managed() / L"plugin_registry.json", RegistryDocumentText(test::RichRegistry()));
  PrepareUserDirectory(managed(), "_unauthenticated", "", "");
  const PluginRegistry fresh = Read(user_dir("_unauthenticated") / L"plugin_registry.json");
  EXPECT_TRUE(fresh.plugins.empty());
  EXPECT_TRUE(fs::exists(managed() / L"plugin_registry.json"));
  const json text = json::parse(test::ReadFileBytes(user_dir("_unauthenticated") / L"plugin_registry.json"));
  EXPECT_FALSE(text.contains("ownerUserId"));
  EXPECT_EQ(text["schemaVersion"], 8);
}

class StoreTest : public ::testing::Test {
 protected:
  fs::path path() const { return sandbox_.root() / L"users" / L"alice" / L"plugin_registry.json"; }
  void Put(const json& document) { test::WriteFileBytes(path(), document.dump(2)); }
  json OnDisk() const { return json::parse(test::ReadFileBytes(path())); }
  test::Sandbox sandbox_;
};

TEST_F(StoreTest, ReadNeverWritesAndReportsFileAndJsonFaults) {
  PluginRegistry model;
  std::string error;
  EXPECT_FALSE(ReadRegistry(path(), model, error));
  EXPECT_EQ(error, "state file directory is unsafe");
  fs::create_directories(path().parent_path());
  error.clear();
  EXPECT_FALSE(ReadRegistry(path(), model, error));
  EXPECT_EQ(error, "state file open read target failed: 2");
  // A caller's earlier error is kept, by the read and by the load.
  error = "earlier";
  EXPECT_FALSE(ReadRegistry(path(), model, error));
  EXPECT_FALSE(LoadRegistry(path(), model, error));
  EXPECT_EQ(error, "earlier");
  test::WriteFileBytes(path(), "{\"schemaVersion\": 8,");
  error.clear();
  EXPECT_FALSE(ReadRegistry(path(), model, error));
  EXPECT_EQ(error, "plugin registry JSON is invalid");
  test::WriteFileBytes(path(), "");
  error.clear();
  EXPECT_FALSE(ReadRegistry(path(), model, error));
  EXPECT_EQ(error, "state file size is invalid");

  json document = test::RichDocument();
  document["schemaVersion"] = 6;
  Put(document);
  const std::string before = test::ReadFileBytes(path());
  ASSERT_TRUE(ReadRegistry(path(), model, error)) << error;
  EXPECT_EQ(test::ReadFileBytes(path()), before);
}

TEST_F(StoreTest, LoadUpgradesOlderSchemasWithoutAGenerationStep) {
  for (int schema : {3, 4, 5, 6}) {
    SCOPED_TRACE("schema " + std::to_string(schema));
    json document = test::RichDocument();
    document["schemaVersion"] = schema;
    Put(document);
    PluginRegistry model;
    std::string error;
    ASSERT_TRUE(LoadRegistry(path(), model, error)) << error;
    EXPECT_EQ(model.generation, 7u);
    EXPECT_EQ(OnDisk()["schemaVersion"], 8);
    EXPECT_EQ(OnDisk()["generation"], 7);
    EXPECT_EQ(OnDisk()["updatedAt"], 1700000100);
    EXPECT_EQ(OnDisk()["plugins"]["plug.a"]["indexState"], "stale");
    EXPECT_EQ(OnDisk()["plugins"].size(), 2u);

    // The upgraded file reads back as it was loaded, and a second load leaves it byte for byte.
    PluginRegistry reread;
    ASSERT_TRUE(ReadRegistry(path(), reread, error)) << error;
    EXPECT_EQ(reread, model);
    const std::string before = test::ReadFileBytes(path());
    ASSERT_TRUE(LoadRegistry(path(), model, error)) << error;
    EXPECT_EQ(test::ReadFileBytes(path()), before);
  }
}

TEST_F(StoreTest, LoadRepairsAReadyIndexWithoutCommands) {
  json document = test::RichDocument();
  document["plugins"]["plug.a"]["commands"] = json::array();
  document["plugins"]["plug.a"]["commandAliases"] = json::object();
  Put(document);
  PluginRegistry model;
  std::string error;
  ASSERT_TRUE(LoadRegistry(path(), model, error)) << error;
  EXPECT_EQ(model.generation, 8u);
  EXPECT_GT(model.updated_at, 1700000100u);
  EXPECT_EQ(OnDisk()["generation"], 8);
  EXPECT_EQ(OnDisk()["plugins"]["plug.a"]["indexState"], "stale");
  EXPECT_TRUE(OnDisk()["plugins"]["plug.a"]["toolbars"].empty());

  document["generation"] = std::numeric_limits<std::uint64_t>::max();
  Put(document);
  EXPECT_FALSE(LoadRegistry(path(), model, error));
  EXPECT_EQ(error, "plugin registry generation overflow");
}

TEST_F(StoreTest, RemoveStepsTheGenerationOnce) {
  Put(test::RichDocument());
  PluginRegistry model;
  std::string error;
  ASSERT_TRUE(RemovePluginFromRegistry(path(), "plug.b", model, error)) << error;
  EXPECT_EQ(model.generation, 8u);
  EXPECT_EQ(model.plugins.count("plug.b"), 0u);
  EXPECT_EQ(model.plugins.at("plug.a"), test::RichRegistry().plugins.at("plug.a"));
  PluginRegistry reread;
  ASSERT_TRUE(ReadRegistry(path(), reread, error));
  EXPECT_EQ(reread, model);

  model = PluginRegistry{};
  EXPECT_FALSE(RemovePluginFromRegistry(path(), "plug.b", model, error));
  EXPECT_EQ(error, "plugin id is not present in the shared registry");
  EXPECT_TRUE(model.plugins.empty());

  json document = test::RichDocument();
  document["generation"] = std::numeric_limits<std::uint64_t>::max();
  Put(document);
  error.clear();
  EXPECT_FALSE(RemovePluginFromRegistry(path(), "plug.a", model, error));
  EXPECT_EQ(error, "plugin registry generation overflow");
}

TEST_F(StoreTest, WriteNeedsAPathAndAFittingDocument) {
  std::string error;
  EXPECT_FALSE(WriteRegistry(fs::path(), test::RichRegistry(), error));
  EXPECT_EQ(error, "plugin registry path is invalid");
  ASSERT_TRUE(WriteRegistry(path(), test::RichRegistry(), error)) << error;
  EXPECT_EQ(test::ReadFileBytes(path()), RegistryDocumentText(test::RichRegistry()));
}

}  // namespace
}  // namespace kel
