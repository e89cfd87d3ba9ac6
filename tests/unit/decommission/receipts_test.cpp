#include "decommission/receipts.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "common/text.h"
#include "support/plugins_fixture.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

PluginRecord Record(std::string load_file, std::string companion = "") {
  PluginRecord record;
  record.load_file = std::move(load_file);
  record.companion_name = std::move(companion);
  return record;
}

TEST(InstallEvidence, ReceiptsMatchByIdOrEntryFileName) {
  test::Sandbox sandbox;
  const fs::path registry = sandbox.root() / L"managed_plugins" / L"plugin_registry.json";
  const fs::path receipts = registry.parent_path() / L"install_receipts";
  fs::create_directories(receipts);
  EXPECT_FALSE(HasInstallReceipt(registry, "mytool", Record("mytool.rb")));

  test::WriteFileBytes(receipts / L"broken.json", "{not json");
  test::WriteFileBytes(receipts / L"array.json", "[1,2]");
  test::WriteFileBytes(receipts / L"empty.json", "");
  test::WriteFileBytes(receipts / L"typed.json", R"({"pluginId": 7, "entryName": ["x"]})");
  EXPECT_FALSE(HasInstallReceipt(registry, "mytool", Record("mytool.rb")));

  test::WriteFileBytes(receipts / L"r1.json",
                       R"({"pluginId": "someone.else", "entryName": "C:\\P\\Plugins\\MyTool.RB"})");
  EXPECT_TRUE(HasInstallReceipt(registry, "mytool", Record("mytool.rb")));
  EXPECT_FALSE(HasInstallReceipt(registry, "mytool", Record("mytool2.rb")));
  test::WriteFileBytes(receipts / L"r2.json", R"({"pluginId": "exact.id"})");
  EXPECT_TRUE(HasInstallReceipt(registry, "exact.id", Record("z.rb")));
  EXPECT_FALSE(HasInstallReceipt(registry, "EXACT.ID", Record("z.rb")));
}

TEST(InstallEvidence, GroupSharedInstallsMatchKeyOrValueCaseInsensitively) {
  test::Sandbox sandbox;
  const fs::path registry = sandbox.root() / L"managed_plugins" / L"plugin_registry.json";
  const fs::path list = registry.parent_path() / L"group_shared_installs.json";
  fs::create_directories(registry.parent_path());
  EXPECT_FALSE(IsGroupSharedInstall(registry, "acme", Record("mytool.rb")));
  test::WriteFileBytes(list, R"({"MYTOOL": true})");
  EXPECT_TRUE(IsGroupSharedInstall(registry, "acme", Record("mytool.rb")));
  test::WriteFileBytes(list, R"({"g1": {"featureCode": "Acme"}})");
  EXPECT_TRUE(IsGroupSharedInstall(registry, "acme", Record("x.rb")));
  test::WriteFileBytes(list, R"({"g1": {"pluginId": "X", "featureCode": 5}})");
  EXPECT_TRUE(IsGroupSharedInstall(registry, "acme", Record("x.rb")));
  test::WriteFileBytes(list, R"({"g1": {"pluginId": ""}, "": 1})");
  EXPECT_FALSE(IsGroupSharedInstall(registry, "acme", Record("")));
  test::WriteFileBytes(list, R"(["acme"])");
  EXPECT_FALSE(IsGroupSharedInstall(registry, "acme", Record("acme.rb")));
}

TEST(InstallEvidence, ModeThreeRelayFiles) {
  test::Sandbox sandbox;
  const fs::path root = sandbox.root() / L"Plugins";
  fs::create_directories(root / L"relay_a");
  EXPECT_FALSE(HasModeThreeRelay(root, Record("a.rb")));
  EXPECT_FALSE(HasModeThreeRelay(root, Record("a.rb", "relay_a")));
  test::WriteFileBytes(root / L"relay_a" / L"kel_mode3_client.dll", "MZ");
  EXPECT_TRUE(HasModeThreeRelay(root, Record("a.rb", "relay_a")));
  fs::create_directories(root / L"relay_b" / L"payload");
  test::WriteFileBytes(root / L"relay_b" / L"payload" / L"native.SO", "\x7f" "ELF");
  EXPECT_TRUE(HasModeThreeRelay(root, Record("b.rb", "relay_b")));
  // A relay DLL that is a directory is no relay; an escaping companion name is not followed.
  fs::create_directories(root / L"relay_c" / L"KelMode3Relay.dll");
  EXPECT_FALSE(HasModeThreeRelay(root, Record("c.rb", "relay_c")));
  EXPECT_FALSE(HasModeThreeRelay(root / L"relay_a", Record("c.rb", "..\\relay_b")));
}

TEST(PendingCleanup, LedgerAddsOnceAndUpdatesTime) {
  test::Sandbox sandbox;
  const fs::path registry = sandbox.root() / L"u" / L"plugin_registry.json";
  const fs::path ledger = registry.parent_path() / L"pending_cleanup.json";
  fs::create_directories(registry.parent_path());
  test::WriteFileBytes(ledger, R"({"pendingFiles": "broken", "keep": 1})");
  ASSERT_TRUE(RegisterPendingCleanup(registry, L"C:\\P\\a.rb", L"C:\\P\\a.rb.pending_delete_1"));
  nlohmann::json first = nlohmann::json::parse(test::ReadFileBytes(ledger));
  EXPECT_EQ(first["schemaVersion"], 1);
  EXPECT_EQ(first["keep"], 1);
  ASSERT_EQ(first["pendingFiles"].size(), 1u);
  EXPECT_EQ(first["pendingFiles"][0]["originalPath"], "C:\\P\\a.rb");
  EXPECT_EQ(first["pendingFiles"][0]["tempPath"], "C:\\P\\a.rb.pending_delete_1");
  EXPECT_TRUE(first["pendingFiles"][0]["registeredAt"].is_number_unsigned());

  first["updatedAt"] = 5;
  test::WriteFileBytes(ledger, first.dump(2));
  ASSERT_TRUE(RegisterPendingCleanup(registry, L"C:\\P\\a.rb", L"C:\\P\\a.rb.pending_delete_1"));
  const nlohmann::json second = nlohmann::json::parse(test::ReadFileBytes(ledger));
  EXPECT_EQ(second["pendingFiles"].size(), 1u);
  EXPECT_NE(second["updatedAt"], 5);
}

TEST(PendingCleanup, MovedAsideNamesDifferByCounter) {
  const fs::path a = NextPendingDeletePath(L"C:\\P\\x.rb");
  const fs::path b = NextPendingDeletePath(L"C:\\P\\x.rb");
  EXPECT_NE(a, b);
  const std::string text = WideToUtf8(a.native());
  const std::string prefix = "C:\\P\\x.rb.pending_delete_";
  ASSERT_EQ(text.rfind(prefix, 0), 0u);
  const std::string pid = "_" + std::to_string(GetCurrentProcessId()) + "_";
  EXPECT_NE(text.find(pid, prefix.size()), std::string::npos);
}

class LockedWrite : public ::testing::Test {
 protected:
  // Holds `path` open in another process with the given sharing until released.
  void Hold(const fs::path& path, const wchar_t* share) {
    holder_ = std::make_unique<test::ChildProcess>(
        test::HelperProgram(),
        std::vector<std::wstring>{L"hold-file", path.native(), share, ready_.name(),
                                  release_.name()});
    ASSERT_TRUE(holder_->started());
    ASSERT_TRUE(holder_->WaitFor(ready_));
  }
  void Release() {
    release_.Set();
    EXPECT_EQ(holder_->Wait(), 0u);
  }

  test::Sandbox sandbox_;
  test::NamedEvent ready_;
  test::NamedEvent release_;
  std::unique_ptr<test::ChildProcess> holder_;
};

TEST_F(LockedWrite, FileHeldOpenIsMovedAsideAndRecorded) {
  const fs::path registry = sandbox_.root() / L"m" / L"plugin_registry.json";
  fs::create_directories(registry.parent_path());
  const fs::path target = sandbox_.root() / L"entry.rb";
  test::WriteFileBytes(target, "old");
  Hold(target, L"rd");
  std::string error;
  ASSERT_TRUE(WriteFileMovingLockedAside(target, "new content", error, registry)) << error;
  EXPECT_EQ(test::ReadFileBytes(target), "new content");
  const nlohmann::json ledger = nlohmann::json::parse(
      test::ReadFileBytes(registry.parent_path() / L"pending_cleanup.json"));
  ASSERT_EQ(ledger["pendingFiles"].size(), 1u);
  const fs::path aside = Utf8ToWide(ledger["pendingFiles"][0]["tempPath"].get<std::string>());
  EXPECT_EQ(ledger["pendingFiles"][0]["originalPath"], WideToUtf8(target.native()));
  EXPECT_EQ(test::ReadFileBytes(aside), "old");
  EXPECT_EQ(WideToUtf8(aside.filename().native()).rfind("entry.rb.pending_delete_", 0), 0u);
  Release();
}

TEST_F(LockedWrite, DefaultLedgerIsTheCurrentUsersRegistry) {
  // The helper copied into a plugin center's bin folder finds its registry there.
  test::PluginsFixture fixture(sandbox_.root() / L"Plugins");
  const fs::path bin = fixture.center() / L"bin";
  fs::create_directories(bin);
  fs::copy_file(test::HelperProgram(), bin / L"decommission_helper.exe");
  const fs::path target = fixture.root() / L"entry.rb";
  test::WriteFileBytes(target, "old");
  Hold(target, L"rd");
  test::ChildProcess writer(bin / L"decommission_helper.exe",
                            {L"write-aside", target.native(), L"fresh"});
  ASSERT_TRUE(writer.started());
  EXPECT_EQ(writer.Wait(), 0u);
  EXPECT_EQ(test::ReadFileBytes(target), "fresh");
  const fs::path ledger = fixture.managed() / L"users" / L"_unauthenticated" /
                          L"pending_cleanup.json";
  ASSERT_TRUE(fs::exists(ledger));
  EXPECT_EQ(nlohmann::json::parse(test::ReadFileBytes(ledger))["pendingFiles"].size(), 1u);
  Release();
}

TEST_F(LockedWrite, FileThatCannotBeMovedKeepsItsContent) {
  const fs::path registry = sandbox_.root() / L"m" / L"plugin_registry.json";
  const fs::path target = sandbox_.root() / L"entry.rb";
  test::WriteFileBytes(target, "old");
  Hold(target, L"r");  // no delete sharing: neither replace nor move can work
  std::string error;
  EXPECT_FALSE(WriteFileMovingLockedAside(target, "new", error, registry));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(test::ReadFileBytes(target), "old");
  EXPECT_FALSE(fs::exists(registry.parent_path() / L"pending_cleanup.json"));
  Release();
}

}  // namespace
}  // namespace kel
