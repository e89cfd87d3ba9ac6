// The uninstall transaction against other processes: crashes at each checkpoint, a gate held
// open, the root-gate mutex held, and two uninstalls racing on one registry.
#include <windows.h>

#include <chrono>

#include <gtest/gtest.h>

#include "child_process.h"
#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/uninstall_transaction.h"
#include "support/plugins_fixture.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::FixturePlugin;
using test::IconRef;

class UninstallProcesses : public ::testing::Test {
 protected:
  UninstallProcesses()
      : fixture_(sandbox_.root() / L"SketchUp 2025" / L"Plugins"),
        registry_(fixture_.user_registry("alice")) {
    acme_.id = "acme";
    acme_.loadFile = "acme_tool.rb";
    acme_.companionName = "acme_tool";
    acme_.cachedIcon = IconRef(1);
    acme_.commandIcons = {IconRef(2)};
    other_.id = "other.tool";
    other_.loadFile = "other_tool.rb";
    other_.companionName = "other_tool";
    other_.cachedIcon = IconRef(2);
    fixture_.WriteRegistry(registry_, {acme_, other_});
    fixture_.Populate(registry_, acme_);
    fixture_.Populate(registry_, other_);
    fixture_.WriteRootFile("user_tool.rb", "require 'user_tool/main'\n");
    fixture_.WriteCompanion("user_tool");
  }

  // Runs the helper's uninstall; checkpoint < 0 runs to the end.
  nlohmann::json RunChild(const std::string& id, int checkpoint, bool kill_at_checkpoint) {
    test::NamedEvent reached;
    const fs::path result_file = sandbox_.temp() / (L"result_" + std::to_wstring(++runs_) + L".json");
    test::ChildProcess child(
        test::HelperProgram(),
        {L"uninstall", Utf8ToWide(id), registry_.native(),
         checkpoint < 0 ? std::wstring(L"none") : std::to_wstring(checkpoint),
         result_file.native(), reached.name()});
    EXPECT_TRUE(child.started());
    if (kill_at_checkpoint) {
      EXPECT_TRUE(child.WaitFor(reached)) << "checkpoint " << checkpoint << " not reached";
      child.Kill();
      return nullptr;
    }
    child.Wait();
    if (!fs::exists(result_file)) return nullptr;
    return nlohmann::json::parse(test::ReadFileBytes(result_file), nullptr, false);
  }

  void ExpectAcmeGoneAndOthersUntouched(const std::map<std::wstring, std::string>& before) {
    EXPECT_FALSE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"));
    EXPECT_TRUE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("other.tool"));
    EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
    EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool"));
    EXPECT_FALSE(fs::exists(fixture_.TombstonePath(registry_, "acme")));
    for (const wchar_t* sub : {L"payloads", L"runtime", L"staging", L"uninstall_staging"}) {
      EXPECT_FALSE(fs::exists(registry_.parent_path() / sub / L"acme")) << WideToUtf8(sub);
    }
    const std::wstring shared_icon = Utf8ToWide(IconRef(2).substr(12));
    for (const std::wstring& changed :
         test::ChangedEntries(before, test::SnapshotTree(fixture_.root()))) {
      EXPECT_EQ(changed.find(L"other"), std::wstring::npos) << WideToUtf8(changed);
      EXPECT_EQ(changed.find(L"user_tool"), std::wstring::npos) << WideToUtf8(changed);
      EXPECT_EQ(changed.find(shared_icon), std::wstring::npos) << WideToUtf8(changed);
    }
  }

  test::Sandbox sandbox_;
  test::PluginsFixture fixture_;
  fs::path registry_;
  FixturePlugin acme_;
  FixturePlugin other_;
  int runs_ = 0;
};

TEST_F(UninstallProcesses, KilledAtEachCheckpointTheNextProcessFinishes) {
  const struct {
    UninstallCheckpoint point;
    const char* name;
  } points[] = {
      {UninstallCheckpoint::kTombstoneWritten, "after the tombstone"},
      {UninstallCheckpoint::kRegistryCommitted, "after the registry commit"},
      {UninstallCheckpoint::kGateRemoved, "after the gate, before the companion"},
      {UninstallCheckpoint::kCompanionIsolated, "in the middle of the cleanup"},
      {UninstallCheckpoint::kInternalsCleaned, "before the tombstone is deleted"},
  };
  for (const auto& point : points) {
    SCOPED_TRACE(point.name);
    // Each round starts from the same root.
    test::RemoveTree(fixture_.root());
    fixture_ = test::PluginsFixture(fixture_.root());
    fixture_.WriteRegistry(registry_, {acme_, other_});
    fixture_.Populate(registry_, acme_);
    fixture_.Populate(registry_, other_);
    fixture_.WriteRootFile("user_tool.rb", "require 'user_tool/main'\n");
    fixture_.WriteCompanion("user_tool");
    const auto before = test::SnapshotTree(fixture_.root());

    RunChild("acme", static_cast<int>(point.point), true);
    const bool committed = point.point != UninstallCheckpoint::kTombstoneWritten;
    EXPECT_EQ(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"), !committed);
    EXPECT_TRUE(fs::exists(fixture_.TombstonePath(registry_, "acme")));

    const nlohmann::json report = RunChild("acme", -1, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["returned"], true) << report.dump();
    EXPECT_EQ(report["result"]["success"], true) << report.dump();
    EXPECT_EQ(report["result"]["status"], "completed");
    ExpectAcmeGoneAndOthersUntouched(before);
  }
}

class HeldFile {
 public:
  HeldFile(const fs::path& path, const wchar_t* share)
      : child_(test::HelperProgram(),
               {L"hold-file", path.native(), share, ready_.name(), release_.name()}) {}
  bool Ready() { return child_.started() && child_.WaitFor(ready_); }
  DWORD Release() {
    release_.Set();
    return child_.Wait();
  }

 private:
  test::NamedEvent ready_;
  test::NamedEvent release_;
  test::ChildProcess child_;
};

TEST_F(UninstallProcesses, GateHeldOpenIsRetriedThenFinishedAfterTheHolderCloses) {
  HeldFile holder(fixture_.root() / L"acme_tool.rb", L"r");
  ASSERT_TRUE(holder.Ready());
  nlohmann::json result;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error))
      << error;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(result, nlohmann::json({{"success", false},
                                    {"status", "failed"},
                                    {"pluginId", "acme"},
                                    {"registryCommitted", true},
                                    {"cleanupComplete", false},
                                    {"companionPreserved", false},
                                    {"retryAfterExit", true},
                                    {"error", "managed root Gate could not be removed"}}));
  EXPECT_TRUE(fs::exists(fixture_.TombstonePath(registry_, "acme")));
  EXPECT_FALSE(fixture_.ReadRegistryJson(registry_)["plugins"].contains("acme"));
  EXPECT_TRUE(fs::exists(fixture_.root() / L"acme_tool" / L"main.rb"));
  EXPECT_EQ(holder.Release(), 0u);

  result = nullptr;
  error.clear();
  ASSERT_TRUE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error))
      << error;
  EXPECT_EQ(result["success"], true) << result.dump();
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
  EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool"));
  EXPECT_FALSE(fs::exists(fixture_.TombstonePath(registry_, "acme")));
}

TEST_F(UninstallProcesses, InternalFileInUseIsRetryableAndLinkedInternalsAreUnsafe) {
  const fs::path payload_dir = registry_.parent_path() / L"payloads" / L"acme";
  const fs::path held_file = payload_dir / L"held.bin";
  test::WriteFileBytes(held_file, "in use");
  {
    HeldFile holder(held_file, L"r");
    ASSERT_TRUE(holder.Ready());
    nlohmann::json result;
    std::string error;
    ASSERT_TRUE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error));
    EXPECT_EQ(result["success"], false);
    EXPECT_EQ(result["error"], "managed internal cleanup failed");
    EXPECT_EQ(result["retryAfterExit"], true);
    EXPECT_TRUE(fs::exists(fixture_.TombstonePath(registry_, "acme")));
    EXPECT_EQ(holder.Release(), 0u);
  }

  if (!test::RunningUnderWine()) GTEST_SKIP() << "Unix links need Wine";
  // A link where runtime data should be: never followed, never retried as "in use".
  const fs::path outside = sandbox_.root() / L"precious";
  fs::create_directories(outside);
  test::WriteFileBytes(outside / L"keep.txt", "mine");
  const fs::path runtime = registry_.parent_path() / L"runtime" / L"acme";
  test::RemoveTree(runtime);
  std::string reason;
  ASSERT_TRUE(test::MakeUnixSymlink(outside, runtime, reason)) << reason;
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error));
  EXPECT_EQ(result["error"], "managed internal cleanup reparse point is unsafe");
  EXPECT_EQ(result["retryAfterExit"], false);
  EXPECT_EQ(test::ReadFileBytes(outside / L"keep.txt"), "mine");
  EXPECT_TRUE(fs::exists(fixture_.TombstonePath(registry_, "acme")));
  test::RemoveTree(runtime);
}

TEST_F(UninstallProcesses, RootGateMutexHeldElsewhereTimesOutAfterEightSeconds) {
  test::NamedEvent ready;
  test::NamedEvent release;
  test::ChildProcess holder(test::HelperProgram(),
                            {L"hold-mutex", kRootGateMutexName, ready.name(), release.name()});
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(holder.WaitFor(ready));
  const auto before = test::SnapshotTree(fixture_.root());
  nlohmann::json result;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error, "root gate lock timed out");
  EXPECT_GE(waited, std::chrono::milliseconds(7500));
  EXPECT_LT(waited, std::chrono::milliseconds(20000));
  // The next plugin of the run only looks again briefly, with the same outcome.
  error.clear();
  const auto again = std::chrono::steady_clock::now();
  EXPECT_FALSE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error));
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(5000));
  EXPECT_EQ(error, "root gate lock timed out");
  EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());
  release.Set();
  EXPECT_EQ(holder.Wait(), 0u);
  // Once free, the gate is had again and the uninstall goes through.
  error.clear();
  EXPECT_TRUE(UninstallManagedPlugin("acme", WideToUtf8(registry_.native()), result, error))
      << error;
  EXPECT_EQ(result["status"], "completed");
}

TEST_F(UninstallProcesses, TwoProcessesUninstallingTogetherBothFinish) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    fixture_.WriteRegistry(registry_, {acme_, other_}, 10);
    fixture_.Populate(registry_, acme_);
    fixture_.Populate(registry_, other_);
    test::NamedEvent unused_a, unused_b;
    const fs::path out_a = sandbox_.temp() / L"race_a.json";
    const fs::path out_b = sandbox_.temp() / L"race_b.json";
    test::ChildProcess a(test::HelperProgram(), {L"uninstall", L"acme", registry_.native(),
                                                 L"none", out_a.native(), unused_a.name()});
    test::ChildProcess b(test::HelperProgram(), {L"uninstall", L"other.tool", registry_.native(),
                                                 L"none", out_b.native(), unused_b.name()});
    EXPECT_EQ(a.Wait(30000), 0u);
    EXPECT_EQ(b.Wait(30000), 0u);
    const nlohmann::json registry = fixture_.ReadRegistryJson(registry_);
    EXPECT_TRUE(registry["plugins"].empty());
    EXPECT_EQ(registry["generation"], 12);
    EXPECT_FALSE(fs::exists(fixture_.root() / L"acme_tool.rb"));
    EXPECT_FALSE(fs::exists(fixture_.root() / L"other_tool.rb"));
  }
}

}  // namespace
}  // namespace kel
