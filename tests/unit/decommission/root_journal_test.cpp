#include "decommission/root_journal.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/uninstall_transaction.h"
#include "registry/registry_store.h"
#include "support/plugins_fixture.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

// A user-installed plugin in the middle of its takeover: gate published, staged and payload
// copies of the entry in place, journal written.
class RootJournals : public ::testing::Test {
  public:  // the refusal table edits the fixture through a plain callback
  RootJournals()
      : fixture_(sandbox_.root() / L"SketchUp 2026" / L"Plugins"),
        registry_(fixture_.user_registry("carol")) {
    plugin_.id = "mytool";
    plugin_.loadFile = "MyTool.rb";
    plugin_.companionName = "mytool";
    digest_ = test::Sha256Hex(entry_);
    fixture_.PopulateTakeover(registry_, plugin_, entry_);
    fixture_.WriteRegistry(registry_, {plugin_});
    payload_ = registry_.parent_path() / L"payloads" / L"mytool" / Utf8ToWide(digest_) / L"MyTool.rb";
    staged_ = registry_.parent_path() / L"staging" / L"mytool" / Utf8ToWide(digest_) / L"MyTool.rb";
    fs::create_directories(staged_.parent_path());
    test::WriteFileBytes(staged_, entry_);
    journal_ = {{"pluginId", "mytool"},
                {"phase", "published"},
                {"rawDigest", "sha256:" + digest_},
                {"rootEntry", WideToUtf8((fixture_.root() / L"MyTool.rb").native())},
                {"stagedPath", WideToUtf8(staged_.native())},
                {"payloadPath", WideToUtf8(payload_.native())}};
  }

  bool Finalize(std::string& error) {
    PluginRegistry registry;
    EXPECT_TRUE(ReadRegistry(registry_, registry, error)) << error;
    std::set<std::string> handled;
    return FinalizeRootJournals(registry_, registry, handled, error);
  }

  fs::path WriteJournal() { return fixture_.WriteRootJournal(registry_, "mytool", journal_); }

  test::Sandbox sandbox_;
  test::PluginsFixture fixture_;
  fs::path registry_;
  test::FixturePlugin plugin_;
  std::string entry_ = "# MyTool by a user\nrequire 'mytool/main'\n";
  std::string digest_;
  fs::path payload_;
  fs::path staged_;
  nlohmann::json journal_;
};

TEST_F(RootJournals, PublishedJournalIsFinalised) {
  const fs::path journal = WriteJournal();
  test::WriteFileBytes(journal.parent_path() / L"notes.txt", "left alone");
  PluginRegistry registry;
  std::string error;
  ASSERT_TRUE(ReadRegistry(registry_, registry, error)) << error;
  std::set<std::string> handled;
  ASSERT_TRUE(FinalizeRootJournals(registry_, registry, handled, error)) << error;
  EXPECT_EQ(handled, std::set<std::string>{"mytool"});
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_FALSE(fs::exists(staged_));
  EXPECT_EQ(test::ReadFileBytes(payload_), entry_);
  EXPECT_TRUE(fs::exists(journal.parent_path() / L"notes.txt"));
  EXPECT_TRUE(IsGateForPlugin(fixture_.root() / L"MyTool.rb", "mytool"));
}

TEST_F(RootJournals, RefusalsKeepEverything) {
  struct Case {
    const char* what;
    std::function<void(RootJournals&)> change;
    std::string message;
  };
  const Case cases[] = {
      {"plugin the registry does not hold",
       [](RootJournals& t) { t.journal_["pluginId"] = "ghost"; },
       "root journal names a plugin that is not in the registry"},
      {"invalid plugin id", [](RootJournals& t) { t.journal_["pluginId"] = "nul.x"; },
       "root journal finalization verification failed"},
      {"another phase", [](RootJournals& t) { t.journal_["phase"] = "staged"; },
       "root journal finalization verification failed"},
      {"digest that is no generation name",
       [](RootJournals& t) { t.journal_["rawDigest"] = "sha256:..\\..\\x"; },
       "root journal identity is unsafe"},
      {"digest without its tag", [](RootJournals& t) { t.journal_["rawDigest"] = t.digest_; },
       "root journal identity is unsafe"},
      {"root entry elsewhere",
       [](RootJournals& t) {
         t.journal_["rootEntry"] = WideToUtf8((t.fixture_.root() / L"Other.rb").native());
       },
       "root journal paths do not match the managed transaction"},
      {"staged copy differs from the payload",
       [](RootJournals& t) { test::WriteFileBytes(t.staged_, "tampered"); },
       "root journal finalization payload mismatch"},
      {"root entry is no longer the gate",
       [](RootJournals& t) { test::WriteFileBytes(t.fixture_.root() / L"MyTool.rb", t.entry_); },
       "root journal finalization verification failed"},
      {"a folder among the journals",
       [](RootJournals& t) {
         fs::create_directories(t.registry_.parent_path() / L"journals" / L"sub");
       },
       "journal cleanup item is not a physical file"},
      {"unparsable journal",
       [](RootJournals& t) {
         test::WriteFileBytes(t.registry_.parent_path() / L"journals" / L"bad.json", "{");
       },
       "root journal finalization verification failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    journal_ = {{"pluginId", "mytool"},
                {"phase", "published"},
                {"rawDigest", "sha256:" + digest_},
                {"rootEntry", WideToUtf8((fixture_.root() / L"MyTool.rb").native())},
                {"stagedPath", WideToUtf8(staged_.native())},
                {"payloadPath", WideToUtf8(payload_.native())}};
    test::RemoveTree(registry_.parent_path() / L"journals");
    test::WriteFileBytes(staged_, entry_);
    fixture_.WriteGate(plugin_);
    c.change(*this);
    WriteJournal();
    const auto before = test::SnapshotTree(fixture_.root());
    std::string error;
    EXPECT_FALSE(Finalize(error));
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());
  }
}

TEST_F(RootJournals, UninstallOfTheRegistryStopsOnABrokenJournal) {
  fs::create_directories(registry_.parent_path() / L"journals" / L"sub");
  const auto before = test::SnapshotTree(fixture_.root());
  nlohmann::json result;
  std::string error;
  EXPECT_FALSE(UninstallManagedPlugin("mytool", WideToUtf8(registry_.native()), result, error));
  EXPECT_EQ(error, "journal cleanup item is not a physical file");
  EXPECT_TRUE(test::ChangedEntries(before, test::SnapshotTree(fixture_.root())).empty());
}

TEST(Sha256Tags, StripPrefixAndTaggedDigest) {
  EXPECT_EQ(StripSha256Prefix("sha256:abc"), "abc");
  EXPECT_EQ(StripSha256Prefix("sha256:"), "");
  EXPECT_EQ(StripSha256Prefix("SHA256:abc"), "");
  EXPECT_EQ(StripSha256Prefix("abc"), "");
  std::string tagged, error;
  ASSERT_TRUE(Sha256Tagged("abc", tagged, error)) << error;
  EXPECT_EQ(tagged, "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_TRUE(Sha256Tagged("", tagged, error));
  EXPECT_EQ(tagged, "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256Tags, RecordFingerprintCoversIdentityFieldsAndCommandIcons) {
  PluginRecord record;
  record.install_root = "<plugins>";
  record.load_file = "a.rb";
  record.companion_name = "a";
  record.package_hash = "sha256:00";
  record.commands["z.cmd"].cached_icon = "cache/icons/z.png";
  record.commands["b.cmd"].cached_icon = "";
  static constexpr char kBytes[] =
      "id\0<plugins>\0a.rb\0a\0sha256:00\0b.cmd\0\0z.cmd\0cache/icons/z.png";
  const std::string bytes(kBytes, sizeof(kBytes) - 1);
  std::string fingerprint, error;
  ASSERT_TRUE(RecordFingerprint("id", record, fingerprint, error)) << error;
  EXPECT_EQ(fingerprint, "sha256:" + test::Sha256Hex(bytes));
  record.name = "display names are not part of it";
  std::string same;
  ASSERT_TRUE(RecordFingerprint("id", record, same, error));
  EXPECT_EQ(same, fingerprint);
}

}  // namespace
}  // namespace kel
