#include "decommission/uninstall_transaction.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "decommission/gate.h"
#include "registry/registry_store.h"
#include "support/plugins_fixture.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::FixturePlugin;
using test::IconRef;

class UninstallTransaction : public ::testing::Test {
 public:  // table cases edit the fixture through plain callbacks
  UninstallTransaction()
      : fixture_(sandbox_.root() / L"SketchUp 2024" / L"Plugins"),
        registry_(fixture_.user_registry("alice")) {
    acme_.id = "acme";
    acme_.loadFile = "acme_tool.rb";
    acme_.companionName = "acme_tool";
    acme_.cachedIcon = IconRef(1);
    acme_.commandIcons = {IconRef(2), IconRef(3)};
    other_.id = "other.tool";
    other_.loadFile = "other_tool.rb";
    other_.companionName = "other_tool";
    other_.cachedIcon = IconRef(3);  // shares a command icon of acme
  }

  void BuildStandardRoot() {
    fixture_.WriteRegistry(registry_, {acme_, other_});
    fixture_.Populate(registry_, acme_);
    fixture_.Populate(registry_, other_);
    fixture_.WriteRootFile("user_tool.rb", "require 'user_tool/main'\n");
    fixture_.WriteCompanion("user_tool");
  }

  bool Uninstall(const std::string& id, nlohmann::json& result, std::string& error) {
    return UninstallManagedPlugin(id, WideToUtf8(registry_.native()), result, error);
  }

  fs::path Manager() const { return registry_.parent_path(); }

  test::Sandbox sandbox_;
  test::PluginsFixture fixture_;
  fs::path registry_;
  FixturePlugin acme_;
  FixturePlugin other_;
};

TEST_F(UninstallTransaction, NormalPathRemovesOnlyThePluginAndReportsCompleted) {
  BuildStandardRoot();
  const auto before = test::SnapshotTree(fixture_.root());
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result, nlohmann::json({{"success", true},
                                    {"status", "completed"},
                                    {"pluginId", "acme"},
                                    {"registryCommitted", true},
                                    {"cleanupComplete", true},
                                    {"companionPreserved", false},
                                    {"retryAfterExit", false}}));
  EXPECT_TRUE(error.empty());

  const nlohmann::json registry = fixture_.ReadRegistryJson(registry_);
  EXPECT_FALSE(registry["plugins"].contains("acme"));
  EXPECT_TRUE(registry["plugins"].contains("other.tool"));
  EXPECT_EQ(registry["generation"], 2);

  // Nothing of other.tool or of the user's own plugin changed; icon 3 stays for other.tool.
  const std::wstring shared_icon = Utf8ToWide(IconRef(3).substr(12));
  for (const std::wstring& changed :
       test::ChangedEntries(before, test::SnapshotTree(fixture_.root()))) {
    EXPECT_EQ(changed.find(L"other"), std::wstring::npos) << WideToUtf8(changed);
    EXPECT_EQ(changed.find(L"user_tool"), std::wstring::npos) << WideToUtf8(changed);
    EXPECT_EQ(changed.find(shared_icon), std::wstring::npos) << WideToUtf8(changed);
  }
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool"));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"other_tool.rb"));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"other_tool" / L"main.rb"));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"user_tool" / L"main.rb"));
  for (const wchar_t* sub : {L"payloads", L"runtime", L"staging", L"uninstall_staging"}) {
    EXPECT_FALSE(fs::exists(Manager() / sub / L"acme")) << WideToUtf8(sub);
  }
  EXPECT_TRUE(fs::exists(Manager() / L"payloads" / L"other.tool"));
  EXPECT_FALSE(fs::exists(Manager() / L"cache\\icons" / Utf8ToWide(IconRef(1).substr(12))));
  EXPECT_FALSE(fs::exists(Manager() / L"cache\\icons" / Utf8ToWide(IconRef(2).substr(12))));
  EXPECT_TRUE(fs::exists(Manager() / L"cache\\icons" / Utf8ToWide(IconRef(3).substr(12))));
  EXPECT_FALSE(fs::exists(fixture_.TombstonePath(registry_, "acme")));

  // Done: a second call finds neither record nor tombstone.
  error.clear();
  EXPECT_FALSE(Uninstall("acme", result, error));
  EXPECT_EQ(error, "plugin id is not present in the shared registry");
}

TEST_F(UninstallTransaction, GateReplacedByUserStopsBeforeAnyChange) {
  BuildStandardRoot();
  fixture_.WriteRootFile("acme_tool.rb", "# the user's own acme entry\nrequire 'acme_tool/main'\n");
  const auto before = test::SnapshotTree(fixture_.root());
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(Uninstall("acme", result, error));
  EXPECT_EQ(error, "managed root Gate does not match plugin id");
  EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());
}

TEST_F(UninstallTransaction, AnotherUserStillRegisteringKeepsGateAndCompanion) {
  BuildStandardRoot();
  const fs::path bob = fixture_.user_registry("bob");
  fixture_.WriteRegistry(bob, {acme_});
  fixture_.Populate(bob, acme_);
  // The signed-out user's registry does not count as another user.
  fixture_.WriteRegistry(fixture_.user_registry("_unauthenticated"), {acme_});
  const auto bob_before = test::SnapshotTree(bob.parent_path());

  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["success"], true);
  EXPECT_EQ(result["companionPreserved"], true);
  EXPECT_TRUE(IsGateForPlugin(fixture_.root() / L"acme_tool.rb", "acme"));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"acme_tool" / L"main.rb"));
  EXPECT_FALSE(fs::exists(Manager() / L"payloads" / L"acme"));
  EXPECT_FALSE(fs::exists(Manager() / L"runtime" / L"acme"));
  EXPECT_TRUE(test::ChangedEntries(bob_before, test::SnapshotTree(bob.parent_path())).empty());
}

TEST_F(UninstallTransaction, CompanionNamedByAnotherRecordIsKept) {
  other_.companionName = "acme_tool";
  BuildStandardRoot();
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["success"], true);
  EXPECT_EQ(result["companionPreserved"], true);
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"acme_tool" / L"main.rb"));
}

TEST_F(UninstallTransaction, CompanionLoadedByAUserEntryIsKept) {
  BuildStandardRoot();
  fixture_.WriteRootFile("helper_addon.rb", "Sketchup.require 'acme_tool/lib/core'\n");
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["companionPreserved"], true);
  EXPECT_TRUE(fs::exists(fixture_.root() / L"acme_tool" / L"main.rb"));
}

TEST_F(UninstallTransaction, AmbiguousUserEntryKeepsTheCompanion) {
  BuildStandardRoot();
  // zeta.rb has two name-matching directories and names neither: the scan cannot tell what
  // it loads, so nothing is moved.
  fixture_.WriteRootFile("zeta.rb", "puts 'hello'\n");
  fixture_.WriteCompanion("zeta_data");
  fixture_.WriteCompanion("zeta_lib");
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["companionPreserved"], true);
  EXPECT_TRUE(fs::exists(fixture_.root() / L"acme_tool"));
}

TEST_F(UninstallTransaction, InstallRootOfAnotherSketchUpVersionIsThisRoot) {
  acme_.installRoot = WideToUtf8((sandbox_.root() / L"SketchUp 2023" / L"Plugins").native());
  BuildStandardRoot();
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["success"], true);
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
}

TEST_F(UninstallTransaction, InvalidMetadataIsRefusedBeforeAnyChange) {
  struct Case {
    const char* what;
    std::function<void(FixturePlugin&, test::PluginsFixture&)> change;
    std::string message;
  };
  const fs::path root = fixture_.root();
  const Case cases[] = {
      {"load file without .rb", [](FixturePlugin& p, auto&) { p.loadFile = "acme_tool.txt"; },
       "managed uninstall metadata is invalid"},
      {"load file with a folder", [](FixturePlugin& p, auto&) { p.loadFile = "sub/acme.rb"; },
       "managed uninstall metadata is invalid"},
      {"load file with a device name", [](FixturePlugin& p, auto&) { p.loadFile = "com1.rb"; },
       "managed uninstall metadata is invalid"},
      {"install root elsewhere",
       [](FixturePlugin& p, auto&) { p.installRoot = "C:\\kel_test_elsewhere\\Tools"; },
       "managed install root is outside Plugins"},
      {"official root file as load file",
       [](FixturePlugin& p, auto&) { p.loadFile = "kel_plugin_center.rb"; },
       "managed root Gate does not match plugin id"},
      {"gate is a directory",
       [](FixturePlugin& p, test::PluginsFixture& f) {
         fs::remove(f.root() / L"acme_tool.rb");
         fs::create_directories(f.root() / L"acme_tool.rb");
         (void)p;
       },
       "managed root Gate does not match plugin id"},
      {"gate of another plugin",
       [](FixturePlugin& p, test::PluginsFixture& f) {
         FixturePlugin other = p;
         other.id = "acme2";
         f.WriteGate(other);
       },
       "managed root Gate does not match plugin id"},
      {"official companion", [](FixturePlugin& p, auto&) { p.companionName = "kel_plugin_center"; },
       "managed companion metadata is invalid"},
      {"companion ending in .rb", [](FixturePlugin& p, auto&) { p.companionName = "acme.RB"; },
       "managed companion metadata is invalid"},
      {"companion with a colon", [](FixturePlugin& p, auto&) { p.companionName = "acme:x"; },
       "managed companion metadata is invalid"},
      {"companion with a folder", [](FixturePlugin& p, auto&) { p.companionName = "a\\b"; },
       "managed companion metadata is invalid"},
      {"companion is a file",
       [](FixturePlugin& p, test::PluginsFixture& f) {
         p.companionName = "acme_file";
         f.WriteRootFile("acme_file", "not a directory");
       },
       "managed companion is outside Plugins"},
      {"cached icon of a kind the uninstall does not know",
       [](FixturePlugin& p, auto&) { p.cachedIcon = IconRef(9, ".webp"); },
       "managed cached icon metadata is invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveTree(root);
    FixturePlugin plugin = acme_;
    fixture_ = test::PluginsFixture(root);
    fixture_.Populate(registry_, plugin);
    c.change(plugin, fixture_);
    fixture_.WriteRegistry(registry_, {plugin});
    const auto before = test::SnapshotTree(root);
    nlohmann::json result;
    std::string error;
    EXPECT_FALSE(Uninstall("acme", result, error));
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(result.is_null());
    EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(root)).empty());
  }
}

TEST_F(UninstallTransaction, CompanionThatIsAnotherRecordsGateConflicts) {
  BuildStandardRoot();
  // A record whose gate, joined from its stored root, is acme's companion path.
  FixturePlugin odd = other_;
  odd.id = "odd";
  odd.loadFile = "acme_tool";
  odd.companionName = "";
  odd.installRoot = WideToUtf8(fixture_.root().native());
  fixture_.WriteRegistry(registry_, {acme_, other_, odd});
  const auto before = test::SnapshotTree(fixture_.root());
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(Uninstall("acme", result, error));
  EXPECT_EQ(error, "managed companion conflicts with another managed Gate");
  EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());
}

TEST_F(UninstallTransaction, CleanupDirectoriesMustBePhysical) {
  struct Case {
    const char* what;
    std::function<void(UninstallTransaction&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"payloads is a file",
       [](UninstallTransaction& t) {
         test::RemoveTree(t.Manager() / L"payloads");
         test::WriteFileBytes(t.Manager() / L"payloads", "x");
       },
       "managed cleanup directory is not a physical directory"},
      {"uninstall_journals is a file",
       [](UninstallTransaction& t) {
         test::WriteFileBytes(t.Manager() / L"uninstall_journals", "x");
       },
       "managed cleanup directory is not a physical directory"},
      {"the tombstone is a folder",
       [](UninstallTransaction& t) {
         fs::create_directories(t.fixture_.TombstonePath(t.registry_, "acme"));
       },
       "uninstall tombstone is not a physical file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveTree(fixture_.root());
    fixture_ = test::PluginsFixture(fixture_.root());
    BuildStandardRoot();
    c.change(*this);
    const auto before = test::SnapshotTree(fixture_.root());
    nlohmann::json result;
    std::string error;
    EXPECT_FALSE(Uninstall("acme", result, error));
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());
  }
}

TEST_F(UninstallTransaction, LinkedCompanionIsOutsidePlugins) {
  if (!test::RunningUnderWine()) GTEST_SKIP() << "Unix links need Wine";
  BuildStandardRoot();
  const fs::path outside = sandbox_.root() / L"user_project";
  fs::create_directories(outside);
  test::WriteFileBytes(outside / L"work.skp", "mine");
  test::RemoveTree(fixture_.root() / L"acme_tool");
  std::string reason;
  ASSERT_TRUE(test::MakeUnixSymlink(outside, fixture_.root() / L"acme_tool", reason)) << reason;
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(Uninstall("acme", result, error));
  EXPECT_EQ(error, "managed companion is outside Plugins");
  EXPECT_EQ(test::ReadFileBytes(outside / L"work.skp"), "mine");
  EXPECT_TRUE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"));
  test::RemoveTree(fixture_.root() / L"acme_tool");
}

nlohmann::json TombstoneFor(const FixturePlugin& plugin, const nlohmann::json& icons) {
  return {{"phase", "remove_registry_pending"},
          {"recordFingerprint", "sha256:" + std::string(64, 'a')},
          {"pluginId", plugin.id},
          {"installRoot", plugin.installRoot},
          {"loadFile", plugin.loadFile},
          {"companionName", plugin.companionName},
          {"cachedIcons", icons}};
}

TEST_F(UninstallTransaction, TombstoneCachedIconLimitIs1024) {
  BuildStandardRoot();
  fixture_.WriteRegistry(registry_, {other_});  // acme already committed
  const fs::path tombstone = fixture_.TombstonePath(registry_, "acme");
  fs::create_directories(tombstone.parent_path());
  nlohmann::json icons = nlohmann::json::array();
  for (unsigned i = 0; i < 1025; ++i) icons.push_back(IconRef(1000 + i));
  test::WriteFileBytes(tombstone, TombstoneFor(acme_, icons).dump(2));
  const auto before = test::SnapshotTree(fixture_.root());

  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(Uninstall("acme", result, error));
  EXPECT_EQ(error, "uninstall tombstone cached icons are invalid");
  EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());

  icons.erase(icons.size() - 1);
  test::WriteFileBytes(tombstone, TombstoneFor(acme_, icons).dump(2));
  error.clear();
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["success"], true) << result.dump();
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
  EXPECT_FALSE(fs::exists(tombstone));
}

// A record may hold its own icon and 1,024 command icons: the tombstone written for it must
// still read back, or a crash after the commit could never be finished.
TEST_F(UninstallTransaction, TombstoneOfARecordWithMoreIconsThanTheLimitReadsBack) {
  BuildStandardRoot();
  UninstallPlan plan;
  std::string error;
  PluginRecord record;
  record.install_root = acme_.installRoot;
  record.load_file = acme_.loadFile;
  record.companion_name = acme_.companionName;
  plan.pluginId = "acme";
  plan.cachedIcons.push_back(IconRef(7));
  for (unsigned i = 0; i < 1024; ++i) plan.cachedIcons.push_back(IconRef(2000 + i));
  plan.cachedIcons.push_back(IconRef(7));  // a command sharing the plugin's icon

  const nlohmann::json document = TombstoneDocument(plan, record, "sha256:00");
  const nlohmann::json& icons = document["cachedIcons"];
  ASSERT_EQ(icons.size(), 1024u);
  EXPECT_EQ(icons.front(), IconRef(7));
  EXPECT_EQ(icons.back(), IconRef(2000 + 1022));

  const fs::path tombstone = fixture_.TombstonePath(registry_, "acme");
  fs::create_directories(tombstone.parent_path());
  test::WriteFileBytes(tombstone, document.dump(2));
  UninstallPlan read;
  ASSERT_TRUE(ReadUninstallTombstone(tombstone, "acme", registry_, read, error)) << error;
  EXPECT_EQ(read.cachedIcons.size(), 1024u);
}

// An empty installRoot (the registry's default) means the current Plugins folder; the
// tombstone of such a record must still lead the next run to finish after a crash.
TEST_F(UninstallTransaction, EmptyInstallRootResumesAfterACrashPastTheCommit) {
  acme_.installRoot = "";
  BuildStandardRoot();
  nlohmann::json result;
  std::string error;
  struct Crash {};
  EXPECT_THROW(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error,
                                      [](UninstallCheckpoint point) {
                                        if (point == UninstallCheckpoint::kRegistryCommitted) {
                                          throw Crash{};
                                        }
                                      }),
               Crash);
  const fs::path tombstone = fixture_.TombstonePath(registry_, "acme");
  ASSERT_TRUE(fs::exists(tombstone));
  EXPECT_FALSE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"));

  error.clear();
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["status"], "completed") << result.dump();
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool"));
  EXPECT_FALSE(fs::exists(tombstone));
}

TEST_F(UninstallTransaction, TombstoneOfAnotherPhase) {
  BuildStandardRoot();
  const fs::path tombstone = fixture_.TombstonePath(registry_, "acme");
  fs::create_directories(tombstone.parent_path());
  nlohmann::json stale = TombstoneFor(acme_, nlohmann::json::array());
  stale["phase"] = "remove_files_pending";
  test::WriteFileBytes(tombstone, stale.dump(2));

  // With the record gone such a tombstone is refused and kept.
  fixture_.WriteRegistry(registry_, {other_});
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(Uninstall("acme", result, error));
  EXPECT_EQ(error, "uninstall tombstone is invalid");
  EXPECT_TRUE(fs::exists(tombstone));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"acme_tool.rb"));

  // With the record present it is replaced and the uninstall runs normally.
  fixture_.WriteRegistry(registry_, {acme_, other_});
  error.clear();
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["status"], "completed");
  EXPECT_FALSE(fs::exists(tombstone));
  EXPECT_FALSE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"));
}

TEST_F(UninstallTransaction, StaleTombstoneBesideAChangedRecordIsNotExecuted) {
  BuildStandardRoot();
  // A valid tombstone from an earlier install whose companion name now belongs to the user.
  fixture_.WriteCompanion("victim_dir", {{"thesis.skp", "years of work"}});
  FixturePlugin earlier = acme_;
  earlier.companionName = "victim_dir";
  const fs::path tombstone = fixture_.TombstonePath(registry_, "acme");
  fs::create_directories(tombstone.parent_path());
  test::WriteFileBytes(tombstone, TombstoneFor(earlier, nlohmann::json::array()).dump(2));

  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(Uninstall("acme", result, error)) << error;
  EXPECT_EQ(result["status"], "completed") << result.dump();
  EXPECT_EQ(test::ReadFileBytes(fixture_.root() / L"victim_dir" / L"thesis.skp"), "years of work");
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool"));
  EXPECT_FALSE(fs::exists(tombstone));
  EXPECT_FALSE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"));
}

// The registry removal may report failure after its rename already replaced the file (a
// verification that failed afterwards). Only reading the registry again tells: a record that
// is still there means nothing was committed; a record that is gone means the tombstone is
// all that leads to the rest of the work.
TEST_F(UninstallTransaction, CommitReportedFailedIsJudgedByReadingTheRegistryAgain) {
  BuildStandardRoot();
  const fs::path tombstone = Manager() / L"uninstall_journals" / L"acme.json";
  for (const bool renamed : {false, true}) {
    SCOPED_TRACE(renamed ? "registry replaced" : "registry untouched");
    const RegistryRecordRemover remover = [renamed](const fs::path& path, const std::string& id,
                                                    PluginRegistry& after, std::string& error) {
      if (renamed) RemovePluginFromRegistry(path, id, after, error);
      error = "state file verify replaced failed: 5";
      return false;
    };
    nlohmann::json result;
    std::string error;
    const bool committed = UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result,
                                                  error, {}, remover);
    EXPECT_EQ(committed, renamed);
    EXPECT_EQ(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"), !renamed);
    EXPECT_FALSE(fs::exists(tombstone));
    if (renamed) {
      EXPECT_EQ(result["status"], "completed") << result.dump();
      EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
      EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool"));
    } else {
      EXPECT_EQ(error, "state file verify replaced failed: 5");
      EXPECT_EQ(test::ReadFileBytes(fixture_.root() / L"acme_tool.rb"), GateText("acme"));
    }
  }
}

}  // namespace
}  // namespace kel
