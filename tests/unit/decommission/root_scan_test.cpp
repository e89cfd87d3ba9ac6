#include "decommission/root_scan.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "common/text.h"
#include "decommission/gate.h"
#include "support/sandbox.h"
#include "uninstall_fixture.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::ManagedRootBuilder;
using test::ReadFileBytes;
using test::WriteFileBytes;

const std::string kBeta = "# beta\r\nSketchup.require 'beta/core'\r\n";
const std::string kShared = "# shared tool, kept by two users\nload 'shared_tool/a.rb'\n";
const std::string kDelta = "# delta: the user put the plugin's own entry back by hand\n";
const std::string kOrphanOne = "# orphan one\n";
const std::string kOrphanThree = "# orphan three, saved in a user's store\n";

nlohmann::json Strings(nlohmann::json array) {
  std::vector<std::string> values = array.get<std::vector<std::string>>();
  std::sort(values.begin(), values.end());
  return values;
}

class RootScanTest : public ::testing::Test {
 protected:
  RootScanTest()
      : plugins_(sandbox_.roaming() / L"SketchUp" / L"SketchUp 2025" / L"SketchUp" / L"Plugins"),
        fixture_(plugins_) {}

  fs::path At(const wchar_t* name) const { return plugins_ / name; }

  test::Sandbox sandbox_;
  fs::path plugins_;
  ManagedRootBuilder fixture_;
};

TEST_F(RootScanTest, GivesBackUserPluginsUninstallsMarketplacePluginsAndSweepsOrphans) {
  const fs::path shared = fixture_.sharedRegistry();
  const fs::path alice = fixture_.userRegistry("alice");
  const fs::path bob = fixture_.userRegistry("bob");
  fixture_.AddMarketplace(shared, "mk.alpha", "alpha.rb", "alpha");
  // A record older than installSource, shown to be the marketplace's by a receipt.
  fixture_.AddMarketplace(shared, "mk.gamma", "gamma.rb", "gamma", "");
  fixture_.AddReceipt(shared, "mk.other", "C:\\anywhere\\GAMMA.RB");
  fixture_.AddTakeover(shared, "user.beta", "beta.rb", kBeta, "beta");
  fixture_.AddTakeover(shared, "user.delta", "delta.rb", kDelta, "delta");
  WriteFileBytes(At(L"delta.rb"), kDelta);
  // Taken over in one user's registry, receipt-backed in another: given back, not deleted.
  fixture_.AddTakeover(alice, "user.shared", "shared_tool.rb", kShared, "shared_tool");
  fixture_.AddTakeover(bob, "user.shared", "shared_tool.rb", kShared, "shared_tool", "");
  fixture_.AddReceipt(bob, "user.shared", "shared_tool.rb");

  // Orphans: one saved in the root's store, one (upper-case extension) in a user's store, one
  // never saved, one of a marketplace id (deleted even with a saved copy), and one whose id
  // would lead out of the store.
  const fs::path managed = fixture_.managedRoot();
  WriteFileBytes(At(L"orphan_one.rb"), GateText("orphan.one"));
  auto generation = [](const std::string& bytes) { return Utf8ToWide(test::Sha256Hex(bytes)); };
  WriteFileBytes(managed / L"payloads" / L"orphan.one" / generation(kOrphanOne) / L"orphan_one.rb",
                 kOrphanOne);
  // Generations whose bytes no longer hash to their name are not the user's file: never
  // written back, whichever the store lists first.
  WriteFileBytes(managed / L"payloads" / L"orphan.one" / generation("# earlier\n") /
                     L"orphan_one.rb",
                 "# tampered\n");
  WriteFileBytes(At(L"orphan_four.rb"), GateText("orphan.four"));
  WriteFileBytes(managed / L"payloads" / L"orphan.four" / generation("# four\n") /
                     L"orphan_four.rb",
                 "# four, changed\n");
  WriteFileBytes(At(L"ORPHAN_THREE.RB"), GateText("orphan.three"));
  WriteFileBytes(managed / L"users" / L"alice" / L"payloads" / L"orphan.three" /
                     generation(kOrphanThree) / L"ORPHAN_THREE.RB",
                 kOrphanThree);
  WriteFileBytes(At(L"orphan_two.rb"), GateText("orphan.two"));
  WriteFileBytes(At(L"alpha_copy.rb"), GateText("mk.alpha"));
  WriteFileBytes(managed / L"payloads" / L"mk.alpha" / L"g2" / L"alpha_copy.rb", "# alpha\n");
  WriteFileBytes(At(L"evil.rb"), GateText("../../secret"));
  WriteFileBytes(plugins_ / L"kel_plugin_center" / L"secret" / L"g" / L"evil.rb", "stolen\n");

  // Never touched: official files (even when they look like gates), non-Ruby files, links.
  const std::string official = GateText("kel.center");
  for (const wchar_t* name : {L"!kel-plugin-gate.rb", L"kel_plugin_center.rb",
                              L"kel_shortcut_tool.rb"}) {
    WriteFileBytes(At(name), official);
  }
  WriteFileBytes(At(L"notes.txt"), GateText("orphan.txt"));
  const fs::path outside = sandbox_.root() / L"elsewhere" / L"linked.rb";
  WriteFileBytes(outside, GateText("orphan.linked"));
  std::string reason;
  const bool linked = test::MakeUnixSymlink(outside, At(L"linked.rb"), reason);

  nlohmann::json report;
  std::string error;
  EXPECT_TRUE(DecommissionPluginsRoot(plugins_, report, error)) << report.dump(2);
  EXPECT_EQ(error, "");

  EXPECT_EQ(report["success"], true);
  EXPECT_EQ(report["pluginsRoot"], WideToUtf8(plugins_.native()));
  EXPECT_EQ(report["restoredThirdParty"],
            nlohmann::json::parse(R"([
              {"pluginId": "user.beta", "loadFile": "beta.rb", "companionName": "beta"},
              {"pluginId": "user.shared", "loadFile": "shared_tool.rb",
               "companionName": "shared_tool"}])"));
  EXPECT_EQ(report["uninstalledMarketplace"],
            nlohmann::json::parse(R"([
              {"pluginId": "mk.alpha", "loadFile": "alpha.rb", "companionName": "alpha",
               "cleanupComplete": true},
              {"pluginId": "mk.gamma", "loadFile": "gamma.rb", "companionName": "gamma",
               "cleanupComplete": true}])"));
  EXPECT_EQ(Strings(report["recoveredOrphanGates"]),
            nlohmann::json({"ORPHAN_THREE.RB", "orphan_one.rb"}));
  EXPECT_EQ(Strings(report["removedOrphanGates"]),
            nlohmann::json({"alpha_copy.rb", "evil.rb", "orphan_four.rb", "orphan_two.rb"}));
  EXPECT_EQ(report["warnings"], nlohmann::json::array());
  EXPECT_EQ(report["remainingWork"], nlohmann::json::array());

  // User-installed entries are back byte for byte; their companions never moved.
  EXPECT_EQ(ReadFileBytes(At(L"beta.rb")), kBeta);
  EXPECT_EQ(ReadFileBytes(At(L"shared_tool.rb")), kShared);
  EXPECT_EQ(ReadFileBytes(At(L"delta.rb")), kDelta);
  EXPECT_TRUE(fs::exists(At(L"beta") / L"main.rb"));
  EXPECT_TRUE(fs::exists(At(L"shared_tool") / L"main.rb"));
  EXPECT_EQ(ReadFileBytes(At(L"orphan_one.rb")), kOrphanOne);
  EXPECT_EQ(ReadFileBytes(At(L"ORPHAN_THREE.RB")), kOrphanThree);

  // Marketplace plugins, their companions and the unsaved orphans are gone.
  for (const wchar_t* name : {L"alpha.rb", L"alpha", L"gamma.rb", L"gamma", L"orphan_two.rb",
                              L"alpha_copy.rb", L"evil.rb"}) {
    EXPECT_FALSE(fs::exists(At(name))) << WideToUtf8(name);
  }

  for (const wchar_t* name : {L"!kel-plugin-gate.rb", L"kel_plugin_center.rb",
                              L"kel_shortcut_tool.rb"}) {
    EXPECT_EQ(ReadFileBytes(At(name)), official);
  }
  EXPECT_EQ(ReadFileBytes(At(L"notes.txt")), GateText("orphan.txt"));
  if (linked) {
    EXPECT_EQ(ReadFileBytes(outside), GateText("orphan.linked"));
    EXPECT_EQ(ReadFileBytes(At(L"linked.rb")), GateText("orphan.linked"));
  }

  for (const fs::path& registry : {shared, alice, bob}) {
    EXPECT_EQ(fixture_.fixture().ReadRegistryJson(registry)["plugins"], nlohmann::json::object())
        << registry.string();
  }
}

TEST_F(RootScanTest, RootWithoutPluginCenterStillSweepsOrphans) {
  test::RemoveTree(plugins_ / L"kel_plugin_center");
  WriteFileBytes(At(L"left.rb"), GateText("left.behind"));
  WriteFileBytes(At(L"mine.rb"), "# a user's plugin\n");
  nlohmann::json report;
  std::string error;
  EXPECT_TRUE(DecommissionPluginsRoot(plugins_, report, error));
  EXPECT_EQ(report["restoredThirdParty"], nlohmann::json::array());
  EXPECT_EQ(report["uninstalledMarketplace"], nlohmann::json::array());
  EXPECT_EQ(report["recoveredOrphanGates"], nlohmann::json::array());
  EXPECT_EQ(report["removedOrphanGates"], nlohmann::json({"left.rb"}));
  EXPECT_FALSE(fs::exists(At(L"left.rb")));
  EXPECT_EQ(ReadFileBytes(At(L"mine.rb")), "# a user's plugin\n");
}

TEST_F(RootScanTest, FailedPluginsBecomeWarningsAndTheOthersProceed) {
  const fs::path shared = fixture_.sharedRegistry();
  fixture_.AddTakeover(shared, "user.broken", "broken.rb", "# broken\n", "");
  fixture_.AddMarketplace(shared, "mk.fine", "fine.rb", "fine");
  fixture_.AddMarketplace(shared, "mk.replaced", "replaced.rb", "");
  WriteFileBytes(fixture_.managedRoot() / L"payloads" / L"user.broken" /
                     Utf8ToWide(test::Sha256Hex("# broken\n")) / L"broken.rb",
                 "# changed\n");
  WriteFileBytes(At(L"replaced.rb"), "# the user's own file now\n");
  // A record whose entry lies outside the root is never written through, gate or not.
  fixture_.AddTakeover(shared, "user.escape", "..\\escape.rb", "# escape\n", "");
  const fs::path outside = plugins_.parent_path() / L"escape.rb";
  ASSERT_EQ(ReadFileBytes(outside), GateText("user.escape"));

  nlohmann::json report;
  std::string error;
  EXPECT_FALSE(DecommissionPluginsRoot(plugins_, report, error));
  EXPECT_EQ(report["success"], false);
  EXPECT_EQ(report["warnings"],
            nlohmann::json({"restore user.broken failed: active payload generation digest mismatch",
                            "restore user.escape failed: managed uninstall metadata is invalid",
                            "uninstall mk.replaced failed: managed root Gate does not match plugin id"}));
  EXPECT_EQ(ReadFileBytes(outside), GateText("user.escape"));
  EXPECT_EQ(report["uninstalledMarketplace"].size(), 1u);
  EXPECT_FALSE(fs::exists(At(L"fine.rb")));
  // The gate of the refused restore is not an orphan: it stays, and with it the center (the
  // stored copy is all that is left of the user's entry). A record whose gate the user
  // replaced holds nothing back.
  EXPECT_EQ(report["recoveredOrphanGates"], nlohmann::json::array());
  EXPECT_EQ(ReadFileBytes(At(L"broken.rb")), GateText("user.broken"));
  EXPECT_EQ(report["remainingWork"],
            nlohmann::json({{{"kind", "gate"}, {"name", WideToUtf8(At(L"broken.rb").native())}}}));
  EXPECT_EQ(ReadFileBytes(At(L"replaced.rb")), "# the user's own file now\n");
}

// An uninstall killed after its registry commit leaves only a tombstone naming the plugin.
// The next scan must finish it, not mistake its gate for an orphan and hand the marketplace
// plugin back as if the user had installed it.
TEST_F(RootScanTest, MarketplaceUninstallKilledAfterItsCommitIsFinished) {
  const fs::path alice = fixture_.userRegistry("alice");
  fixture_.AddMarketplace(alice, "mk.stairs", "stairs.rb", "stairs_lib");
  {
    // Stopped dead right after the commit, as a killed process would be.
    struct Killed {};
    nlohmann::json result;
    std::string error;
    EXPECT_THROW(UninstallManagedPlugin("mk.stairs", WideToUtf8(alice.native()), result, error,
                                        [](UninstallCheckpoint point) {
                                          if (point == UninstallCheckpoint::kRegistryCommitted) {
                                            throw Killed();
                                          }
                                        }),
                 Killed);
  }
  ASSERT_FALSE(fixture_.Has(alice, "mk.stairs"));
  ASSERT_TRUE(fs::exists(At(L"stairs.rb")));

  nlohmann::json report;
  std::string error;
  EXPECT_TRUE(DecommissionPluginsRoot(plugins_, report, error)) << report.dump(2);
  EXPECT_EQ(report["uninstalledMarketplace"],
            nlohmann::json::parse(R"([{"pluginId": "mk.stairs", "loadFile": "stairs.rb",
                                       "companionName": "stairs_lib", "cleanupComplete": true}])"));
  EXPECT_EQ(report["recoveredOrphanGates"], nlohmann::json::array());
  EXPECT_EQ(report["removedOrphanGates"], nlohmann::json::array());
  EXPECT_FALSE(fs::exists(At(L"stairs.rb")));
  EXPECT_FALSE(fs::exists(At(L"stairs_lib")));
  EXPECT_FALSE(fs::exists(alice.parent_path() / L"uninstall_journals" / L"mk.stairs.json"));
}

// A damaged tombstone of a plugin no longer registered must not end the scan for everyone.
TEST_F(RootScanTest, TombstoneWithMembersOfTheWrongTypeDoesNotStopTheScan) {
  const fs::path alice = fixture_.userRegistry("alice");
  fixture_.AddMarketplace(alice, "mk.fine", "fine.rb", "fine");
  WriteFileBytes(alice.parent_path() / L"uninstall_journals" / L"mk.gone.json",
                 R"({"loadFile": 5, "companionName": ["x"], "status": "committed"})");
  nlohmann::json report;
  std::string error;
  EXPECT_NO_THROW(DecommissionPluginsRoot(plugins_, report, error));
  ASSERT_TRUE(report.is_object());
  EXPECT_FALSE(fs::exists(At(L"fine.rb")));
  EXPECT_FALSE(fixture_.Has(alice, "mk.fine"));
}

TEST_F(RootScanTest, UnusableRootLeavesTheReportAlone) {
  const fs::path file = sandbox_.root() / L"a_file";
  WriteFileBytes(file, "x");
  for (const fs::path& root : {fs::path(), sandbox_.root() / L"missing", file}) {
    nlohmann::json report;
    std::string error;
    EXPECT_FALSE(DecommissionPluginsRoot(root, report, error));
    EXPECT_EQ(error, "SketchUp Plugins root is invalid or inaccessible");
    EXPECT_TRUE(report.is_null());
  }
}

}  // namespace
}  // namespace kel
