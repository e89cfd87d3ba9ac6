#include "decommission/restore.h"

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/set_aside.h"
#include "decommission/uninstall_transaction.h"
#include "registry/registry_store.h"
#include "support/sandbox.h"
#include "uninstall_fixture.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::Holder;
using test::ManagedRootBuilder;
using test::ReadFileBytes;
using test::WriteFileBytes;

// Bytes a user's own entry file may hold: CR LF, a byte-order mark, non-ASCII text.
const std::string kOriginal =
    "\xEF\xBB\xBF# Acme tool\r\nrequire 'sketchup.rb'\r\n# \xE5\xB7\xA5\xE5\x85\xB7\r\n"
    "Sketchup.require 'acme_tool/main'\r\n";

class RestoreTest : public ::testing::Test {
 protected:
  RestoreTest()
      : plugins_(sandbox_.roaming() / L"SketchUp" / L"SketchUp 2024" / L"SketchUp" / L"Plugins"),
        fixture_(plugins_) {
    fixture_.AddTakeover(fixture_.sharedRegistry(), "acme.tool", "acme_tool.rb", kOriginal,
                         "acme_tool");
  }

  fs::path Entry() const { return plugins_ / L"acme_tool.rb"; }
  std::string RegistryUtf8() const { return WideToUtf8(fixture_.sharedRegistry().native()); }
  fs::path PayloadDir() const {
    return fixture_.managedRoot() / L"payloads" / L"acme.tool";
  }

  test::Sandbox sandbox_;
  fs::path plugins_;
  ManagedRootBuilder fixture_;
};

TEST_F(RestoreTest, WritesTheOwnEntryBackAndForgetsThePlugin) {
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(RestoreManagedPlugin("acme.tool", RegistryUtf8(), result, error)) << error;

  EXPECT_EQ(ReadFileBytes(Entry()), kOriginal);
  EXPECT_FALSE(fixture_.Has(fixture_.sharedRegistry(), "acme.tool"));
  EXPECT_FALSE(fs::exists(PayloadDir()));
  EXPECT_TRUE(fs::exists(plugins_ / L"acme_tool" / L"main.rb"));

  const nlohmann::json expected = {
      {"success", true},
      {"status", "restored"},
      {"pluginId", "acme.tool"},
      {"rootEntry", WideToUtf8(Entry().native())},
      {"candidateId", CandidateId(Entry())},
      {"entryName", "acme_tool.rb"},
      {"name", "acme_tool"},
      {"loadFile", "acme_tool.rb"},
      {"installRoot", "<plugins>"},
      {"companionName", "acme_tool"},
      {"registryCommitted", true},
      {"cleanupComplete", true},
      {"cleanupRetryable", false},
      {"companionPreserved", true},
      {"requiresRestart", true}};
  EXPECT_EQ(result, expected);
}

TEST_F(RestoreTest, InternalFilesInUseLeaveARestoreWithAWarning) {
  const fs::path runtime = fixture_.managedRoot() / L"runtime" / L"acme.tool" / L"state.bin";
  WriteFileBytes(runtime, "busy");
  {
    unique_file busy(CreateFileW(runtime.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(busy);
    nlohmann::json result;
    std::string error;
    ASSERT_TRUE(RestoreManagedPlugin("acme.tool", RegistryUtf8(), result, error)) << error;
    EXPECT_EQ(result["status"], "restored_cleanup_incomplete");
    EXPECT_EQ(result["cleanupComplete"], false);
    EXPECT_EQ(result["cleanupRetryable"], true);
    EXPECT_EQ(result["warning"], "managed internal cleanup failed");
    EXPECT_EQ(result["companionPreserved"], true);
    EXPECT_EQ(result["requiresRestart"], true);
  }
  EXPECT_EQ(ReadFileBytes(Entry()), kOriginal);
  EXPECT_FALSE(fixture_.Has(fixture_.sharedRegistry(), "acme.tool"));
}

TEST_F(RestoreTest, RefusesBeforeChangingAnythingWhenThePayloadIsNotTheActiveGeneration) {
  const std::string generation = test::Sha256Hex(kOriginal);
  const fs::path payload = PayloadDir() / Utf8ToWide(generation) / L"acme_tool.rb";
  struct Case {
    const char* name;
    std::function<void()> damage;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"digest", [&] { WriteFileBytes(payload, kOriginal + "tampered"); },
       "active payload generation digest mismatch"},
      {"missing", [&] { fs::remove(payload); }, "active payload is unavailable"},
      {"unprefixed hash",
       [&] {
         WriteFileBytes(payload, kOriginal);
         fixture_.Record(fixture_.sharedRegistry(), "acme.tool").packageHash = generation;
         fixture_.Rewrite(fixture_.sharedRegistry());
       },
       "managed restore payload identity is invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    nlohmann::json result;
    std::string error;
    EXPECT_FALSE(RestoreManagedPlugin("acme.tool", RegistryUtf8(), result, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ReadFileBytes(Entry()), GateText("acme.tool"));
    EXPECT_TRUE(fixture_.Has(fixture_.sharedRegistry(), "acme.tool"));
    EXPECT_TRUE(result.is_null());
  }
}

TEST_F(RestoreTest, RefusesUnknownAndMalformedIds) {
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(RestoreManagedPlugin("..", RegistryUtf8(), result, error));
  EXPECT_EQ(error, "plugin id is invalid");
  error.clear();
  EXPECT_FALSE(RestoreManagedPlugin("other.tool", RegistryUtf8(), result, error));
  EXPECT_EQ(error, "plugin id is not present in the shared registry");
  error.clear();
  EXPECT_FALSE(RestoreManagedPlugin("acme.tool", "", result, error));
  EXPECT_EQ(error, "plugin id is not present in the shared registry");
  EXPECT_EQ(ReadFileBytes(Entry()), GateText("acme.tool"));
}

TEST_F(RestoreTest, GateHeldOpenBySketchUpIsMovedAside) {
  Holder holder({L"--open", Entry().native()});
  ASSERT_TRUE(holder.ready());
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(RestoreManagedPlugin("acme.tool", RegistryUtf8(), result, error)) << error;
  EXPECT_EQ(ReadFileBytes(Entry()), kOriginal);
  EXPECT_FALSE(fixture_.Has(fixture_.sharedRegistry(), "acme.tool"));
  holder.Release();
  // The gate the holder still had open was moved aside, not overwritten in place.
  int moved_aside = 0;
  for (const auto& entry : fs::directory_iterator(plugins_)) {
    const std::string name = WideToUtf8(entry.path().filename().native());
    if (name.rfind("acme_tool.rb.pending_delete_", 0) == 0) {
      ++moved_aside;
      EXPECT_EQ(ReadFileBytes(entry.path()), GateText("acme.tool"));
    }
  }
  EXPECT_EQ(moved_aside, 1);
  // Listed beside the registry, and gone with the next run's cleanup once nothing holds it.
  const fs::path ledger = fixture_.sharedRegistry().parent_path() / L"pending_cleanup.json";
  EXPECT_EQ(nlohmann::json::parse(ReadFileBytes(ledger))["pendingFiles"].size(), 1u);
  EXPECT_TRUE(ClearPendingDeletes(plugins_).empty());
  for (const auto& entry : fs::directory_iterator(plugins_)) {
    EXPECT_FALSE(IsPendingDeleteName(entry.path().filename().native()))
        << entry.path().string();
  }
  EXPECT_EQ(nlohmann::json::parse(ReadFileBytes(ledger))["pendingFiles"], nlohmann::json::array());
}

TEST_F(RestoreTest, RegistryThatCannotBeChangedGetsTheGateBack) {
  std::unique_ptr<Holder> holder;
  const RestoreCheckpointHook take_registry = [&](RestoreCheckpoint point) {
    if (point == RestoreCheckpoint::kEntryWritten) {
      holder = std::make_unique<Holder>(
          std::vector<std::wstring>{L"--mutex", L"Local\\Kelmar.PluginManager.Registry.v1"});
    }
  };
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(RestoreManagedPlugin("acme.tool", RegistryUtf8(), result, error, take_registry));
  holder.reset();
  EXPECT_EQ(error, "plugin registry transaction lock timed out");
  EXPECT_EQ(ReadFileBytes(Entry()), GateText("acme.tool"));
  EXPECT_TRUE(fixture_.Has(fixture_.sharedRegistry(), "acme.tool"));
  EXPECT_TRUE(result.is_null());

  // With the gate path held without any sharing, the rollback fails as well and says so; the
  // entry stays restored.
  nlohmann::json second;
  error.clear();
  const RestoreCheckpointHook take_both = [&](RestoreCheckpoint point) {
    if (point == RestoreCheckpoint::kEntryWritten) {
      holder = std::make_unique<Holder>(std::vector<std::wstring>{
          L"--mutex", L"Local\\Kelmar.PluginManager.Registry.v1", L"--lock", Entry().native()});
    }
  };
  EXPECT_FALSE(RestoreManagedPlugin("acme.tool", RegistryUtf8(), second, error, take_both));
  holder.reset();
  const std::string prefix = "plugin registry transaction lock timed out; Gate rollback failed: ";
  EXPECT_EQ(error.substr(0, prefix.size()), prefix);
  EXPECT_GT(error.size(), prefix.size());
  EXPECT_EQ(ReadFileBytes(Entry()), kOriginal);
  EXPECT_TRUE(fixture_.Has(fixture_.sharedRegistry(), "acme.tool"));
}

TEST(CandidateIdTest, HashesTheLowerCasedFileNameOnly) {
  // FNV-1a 64 of "a" is af63dc4c8601ec8c.
  EXPECT_EQ(CandidateId(L"C:\\Plugins\\A"), "su.root.af63dc4c8601ec8c");
  EXPECT_EQ(CandidateId(L"C:\\x\\MyTool.rb"), CandidateId(L"D:\\other\\mytool.rb"));
  EXPECT_NE(CandidateId(L"C:\\x\\mytool.rb"), CandidateId(L"C:\\x\\mytool2.rb"));
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

std::vector<std::wstring> Names(const std::filesystem::path& dir) {
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().native());
  }
  return names;
}

// The user's file comes back under its own name, upper-case letters included.
TEST(RestoreNameTest, KeepsTheCaseOfTheEntryName) {
  test::Sandbox sandbox;
  const std::filesystem::path plugins = sandbox.roaming() / L"Plugins";
  test::ManagedRootBuilder fixture(plugins);
  fixture.AddTakeover(fixture.sharedRegistry(), "acme.tool", "AcmeTool.rb", "# mine\n", "");
  nlohmann::json result;
  std::string error;
  ASSERT_TRUE(RestoreManagedPlugin("acme.tool", WideToUtf8(fixture.sharedRegistry().native()),
                                   result, error))
      << error;
  const std::vector<std::wstring> names = Names(plugins);
  EXPECT_NE(std::find(names.begin(), names.end(), L"AcmeTool.rb"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), L"acmetool.rb"), names.end());
  EXPECT_EQ(test::ReadFileBytes(plugins / L"AcmeTool.rb"), "# mine\n");
}

}  // namespace
}  // namespace kel
