#include "install/deploy.h"
#include "install/package_paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "common/handles.h"
#include "common/text.h"
#include "install/sha256.h"
#include "sketchup/installed_version.h"
#include "support/plugins_fixture.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

class DeployTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source = box.root() / L"source.rb";
    WriteFileBytes(source, "new content");
    plugins = box.root() / L"Plugins";
    fs::create_directories(plugins);
  }
  std::vector<fs::path> AsideFiles(const fs::path& target) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(target.parent_path())) {
      if (ParseAsideName(entry.path().filename().wstring(), target.filename().wstring()))
        found.push_back(entry.path());
    }
    return found;
  }
  test::Sandbox box;
  fs::path source;
  fs::path plugins;
};

FILETIME WriteTimeOf(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

TEST_F(DeployTest, IdenticalBytesLeaveTheTargetAndItsTimesAlone) {
  const fs::path target = plugins / L"same.rb";
  WriteFileBytes(target, "new content");
  {
    unique_file handle(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    FILETIME old_time{0x12345678, 0x01D00000};
    ASSERT_TRUE(SetFileTime(handle.get(), &old_time, &old_time, &old_time));
  }
  const FILETIME before = WriteTimeOf(target);
  bool written = true, unchanged = false;
  std::string error;
  ASSERT_TRUE(DeployFile(source, target, written, unchanged, error)) << error;
  EXPECT_TRUE(unchanged);
  EXPECT_FALSE(written);
  const FILETIME after = WriteTimeOf(target);
  EXPECT_EQ(CompareFileTime(&before, &after), 0);
}

TEST_F(DeployTest, ReadOnlyTargetAndMissingFoldersAreWritten) {
  const fs::path target = plugins / L"ro.rb";
  WriteFileBytes(target, "old");
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  bool written = false, unchanged = true;
  std::string error;
  ASSERT_TRUE(DeployFile(source, target, written, unchanged, error)) << error;
  EXPECT_TRUE(written);
  EXPECT_FALSE(unchanged);
  EXPECT_EQ(ReadFileBytes(target), "new content");

  const fs::path deep = plugins / L"kel_plugin_center" / L"a" / L"b" / L"c.rb";
  ASSERT_TRUE(DeployFile(source, deep, written, unchanged, error)) << error;
  EXPECT_EQ(ReadFileBytes(deep), "new content");
  // The same folders named in another case are the same folders.
  WriteFileBytes(source, "newer content");
  const fs::path upper = plugins / L"KEL_PLUGIN_CENTER" / L"A" / L"b" / L"C.rb";
  ASSERT_TRUE(DeployFile(source, upper, written, unchanged, error)) << error;
  EXPECT_TRUE(written);
  EXPECT_EQ(ReadFileBytes(deep), "newer content");
}

TEST_F(DeployTest, LinkTargetIsReplacedAndItsDestinationIsUntouched) {
  const fs::path outside = box.root() / L"user_data.rb";
  std::string reason;
  for (const std::string destination_content : {"user's own file", "new content"}) {
    WriteFileBytes(outside, destination_content);
    const fs::path link = plugins / L"linked.rb";
    test::RemoveTree(link);
    if (!test::MakeUnixSymlink(outside, link, reason)) GTEST_SKIP() << reason;
    ASSERT_EQ(ReadFileBytes(link), destination_content);  // the link works
    bool written = false, unchanged = false;
    std::string error;
    ASSERT_TRUE(DeployFile(source, link, written, unchanged, error)) << error;
    // Even identical content does not keep a link in place of the file.
    EXPECT_TRUE(written) << destination_content;
    EXPECT_EQ(ReadFileBytes(link), "new content");
    WriteFileBytes(link, "written later");
    EXPECT_EQ(ReadFileBytes(outside), destination_content) << "the destination was written";
  }
}

TEST_F(DeployTest, TargetOpenWithoutDeleteSharingFailsWithItsPath) {
  const fs::path target = plugins / L"中文 dir" / L"busy.rb";
  WriteFileBytes(target, "old");
  unique_file holder(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  bool written = true, unchanged = true;
  std::string error;
  EXPECT_FALSE(DeployFile(source, target, written, unchanged, error));
  EXPECT_EQ(error, "写入文件被占用或拒绝访问: " + WideToUtf8(target.wstring()));
  EXPECT_FALSE(written);
  EXPECT_FALSE(unchanged);
  holder.reset();
  EXPECT_EQ(ReadFileBytes(target), "old");
  EXPECT_TRUE(AsideFiles(target).empty());
}

TEST_F(DeployTest, TargetOpenWithDeleteSharingIsMovedAside) {
  const fs::path target = plugins / L"loaded.rb";
  WriteFileBytes(target, "old");
  unique_file holder(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  bool written = false, unchanged = false;
  std::string error;
  ASSERT_TRUE(DeployFile(source, target, written, unchanged, error)) << error;
  EXPECT_TRUE(written);
  EXPECT_EQ(ReadFileBytes(target), "new content");
  // The holder still reads the old bytes, now under the aside name, which goes once it closes.
  const auto aside = AsideFiles(target);
  ASSERT_EQ(aside.size(), 1u);
  char buffer[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(holder.get(), buffer, sizeof(buffer), &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "old");
  holder.reset();
  EXPECT_TRUE(AsideFiles(target).empty());
}

// A deployment stopped by one file it cannot write leaves the folder exactly as it was, at
// whatever position that file comes; once the obstacle is gone the same deployment succeeds.
TEST_F(DeployTest, DeploymentStoppedAtAnyFileLeavesTheFolderAsItWas) {
  const fs::path center = plugins / L"kel_plugin_center";
  struct Item {
    std::wstring relative;
    std::string before;  // empty: not there before
  };
  const std::vector<Item> items = {{L"kel_plugin_center.rb", "loader v1"},
                                   {L"kel_plugin_center\\lib\\new_dir\\deep\\n.rb", ""},
                                   {L"kel_plugin_center\\same.rb", "new content"},
                                   {L"kel_plugin_center\\ro.rb", "read-only v1"},
                                   {L"kel_plugin_center\\added.rb", ""}};
  enum class Obstacle { kReplacedHeld, kNewNameTakenByFolder };
  struct Row {
    const char* name;
    std::size_t position;
    Obstacle obstacle;
  };
  const Row rows[] = {{"held first", 0, Obstacle::kReplacedHeld},
                      {"held in the middle", 3, Obstacle::kReplacedHeld},
                      {"held last", items.size(), Obstacle::kReplacedHeld},
                      {"new first", 0, Obstacle::kNewNameTakenByFolder},
                      {"new in the middle", 2, Obstacle::kNewNameTakenByFolder},
                      {"new last", items.size(), Obstacle::kNewNameTakenByFolder}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::RemoveTree(plugins);
    for (const Item& item : items)
      if (!item.before.empty()) WriteFileBytes(plugins / item.relative, item.before);
    SetFileAttributesW((plugins / items[3].relative).c_str(), FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(plugins / L"user_plugin.rb", "the user's own");
    const fs::path blocked = plugins / (row.obstacle == Obstacle::kReplacedHeld
                                            ? L"kel_plugin_center\\busy.rb"
                                            : L"kel_plugin_center\\taken\\x.rb");
    if (row.obstacle == Obstacle::kReplacedHeld) WriteFileBytes(blocked, "busy v1");
    else fs::create_directories(blocked);
    std::vector<fs::path> targets;
    for (const Item& item : items) targets.push_back(plugins / item.relative);
    targets.insert(targets.begin() + static_cast<std::ptrdiff_t>(row.position), blocked);
    const auto before = test::SnapshotTree(plugins);

    unique_file holder;
    if (row.obstacle == Obstacle::kReplacedHeld) {
      holder.reset(CreateFileW(blocked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(holder);
    }
    std::string error;
    std::vector<std::string> warnings;
    {
      Deployment deployment;
      bool failed = false;
      for (const fs::path& target : targets) {
        bool written = false, unchanged = false;
        if (!deployment.Deploy(source, target, written, unchanged, error)) {
          EXPECT_EQ(target, blocked);
          failed = true;
          break;
        }
      }
      ASSERT_TRUE(failed);
      EXPECT_TRUE(deployment.RollBack(warnings));
    }
    EXPECT_EQ(error, "写入文件被占用或拒绝访问: " + WideToUtf8(blocked.wstring()));
    EXPECT_TRUE(warnings.empty());
    holder.reset();
    EXPECT_EQ(test::SnapshotTree(plugins), before);
    EXPECT_EQ(GetFileAttributesW((plugins / items[3].relative).c_str()) & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));

    if (row.obstacle == Obstacle::kNewNameTakenByFolder) fs::remove(blocked);
    Deployment again;
    std::size_t written_count = 0;
    for (const fs::path& target : targets) {
      bool written = false, unchanged = false;
      ASSERT_TRUE(again.Deploy(source, target, written, unchanged, error)) << error;
      written_count += written;
    }
    again.Commit();
    EXPECT_EQ(written_count, targets.size() - 1);  // same.rb already held these bytes
    for (const fs::path& target : targets) {
      EXPECT_EQ(ReadFileBytes(target), "new content") << target;
      EXPECT_TRUE(AsideFiles(target).empty()) << target;
    }
    EXPECT_EQ(ReadFileBytes(plugins / L"user_plugin.rb"), "the user's own");
  }
}

// An old copy that cannot be put back is never deleted: it stays under its aside name and
// the rollback says where. A probe before writing catches the usual holder up front.
TEST_F(DeployTest, OldCopiesThatCannotBePutBackStayAndAreNamed) {
  const fs::path target = plugins / L"kept.rb";
  WriteFileBytes(target, "old bytes");
  unique_file holder(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  std::string error;
  {
    Deployment probe;
    EXPECT_FALSE(probe.CheckReplaceable(target, error));
    EXPECT_EQ(error, "写入文件被占用或拒绝访问: " + WideToUtf8(target.wstring()));
    holder.reset(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(probe.CheckReplaceable(target, error));
    EXPECT_TRUE(probe.CheckReplaceable(plugins / L"missing.rb", error));
    EXPECT_FALSE(probe.CheckReplaceable(plugins, error));
  }
  holder.reset();

  Deployment deployment;
  bool written = false, unchanged = false;
  ASSERT_TRUE(deployment.Deploy(source, target, written, unchanged, error)) << error;
  const auto aside = AsideFiles(target);
  ASSERT_EQ(aside.size(), 1u);
  holder.reset(CreateFileW(aside.front().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  std::vector<std::string> warnings{"earlier"};
  EXPECT_FALSE(deployment.RollBack(warnings));
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[1].rfind("无法还原文件 (", 0), 0u) << warnings[1];
  EXPECT_NE(warnings[1].find(": " + WideToUtf8(target.wstring()) + "，原内容保留在: " +
                             WideToUtf8(aside.front().wstring())),
            std::string::npos)
      << warnings[1];
  holder.reset();
  EXPECT_EQ(ReadFileBytes(aside.front()), "old bytes");
  EXPECT_EQ(ReadFileBytes(target), "new content");
}

TEST_F(DeployTest, LaterDeploymentDeletesOnlyFreeAsideFilesOfItsTarget) {
  const fs::path target = plugins / L"loaded.rb";
  WriteFileBytes(target, "new content");
  // Ours: target + ".old." + pid + "_" + ticks of a process that is gone.
  const fs::path free_aside = plugins / L"loaded.rb.old.4294967292_123";
  const fs::path held_aside = plugins / L"LOADED.RB.old.4294967292_456";
  WriteFileBytes(free_aside, "a");
  WriteFileBytes(held_aside, "b");
  // A user's dated copy, names of other forms, and the copies of a run still going stay.
  const std::vector<fs::path> foreign = {
      plugins / L"loaded.rb.old.20240501", plugins / L"loaded.rb.old.123",
      plugins / L"loaded.rb.old.12a",      plugins / L"loaded.rb.old.",
      plugins / L"other.rb.old.4294967292_1", plugins / L"loaded.rb.older.4294967292_1",
      plugins / (L"loaded.rb.old." + std::to_wstring(GetCurrentProcessId()) + L"_1")};
  for (const fs::path& path : foreign) WriteFileBytes(path, "not ours");
  const fs::path outside = box.root() / L"user_file.txt";
  WriteFileBytes(outside, "user");
  std::string reason;
  const bool linked = test::MakeUnixSymlink(outside, plugins / L"loaded.rb.old.789", reason);
  unique_file holder(CreateFileW(held_aside.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  bool written = false, unchanged = false;
  std::string error;
  ASSERT_TRUE(DeployFile(source, target, written, unchanged, error)) << error;
  EXPECT_TRUE(unchanged);
  EXPECT_FALSE(fs::exists(free_aside));
  EXPECT_EQ(ReadFileBytes(held_aside), "b");
  for (const fs::path& path : foreign) EXPECT_EQ(ReadFileBytes(path), "not ours") << path;
  if (linked) {
    EXPECT_EQ(ReadFileBytes(outside), "user");
  }
  holder.reset();
  ASSERT_TRUE(DeployFile(source, target, written, unchanged, error)) << error;
  EXPECT_FALSE(fs::exists(held_aside));
}

TEST_F(DeployTest, TreeRemovalKeepsGoingPastALockedFile) {
  const fs::path root = plugins / L"kel_plugin_center";
  WriteFileBytes(root / L"top.rb", "1");
  WriteFileBytes(root / L"a" / L"x.rb", "2");
  WriteFileBytes(root / L"b" / L"other.rb", "3");
  WriteFileBytes(root / L"b" / L"locked.rb", "4");
  SetFileAttributesW((root / L"top.rb").c_str(), FILE_ATTRIBUTE_READONLY);
  unique_file holder(CreateFileW((root / L"b" / L"locked.rb").c_str(), GENERIC_READ,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  std::vector<std::string> warnings{"earlier"};
  EXPECT_FALSE(RemoveTreeOrScheduleAtReboot(root, warnings));
  const std::vector<std::string> expected = {
      "earlier",
      "文件占用已安排重启清理: " + WideToUtf8((root / L"b" / L"locked.rb").wstring()),
      "目录占用已安排重启清理: " + WideToUtf8((root / L"b").wstring()),
      "目录占用已安排重启清理: " + WideToUtf8(root.wstring())};
  EXPECT_EQ(warnings, expected);
  EXPECT_FALSE(fs::exists(root / L"top.rb"));
  EXPECT_FALSE(fs::exists(root / L"a"));
  EXPECT_FALSE(fs::exists(root / L"b" / L"other.rb"));
  EXPECT_TRUE(fs::exists(root / L"b" / L"locked.rb"));
  holder.reset();
  warnings.clear();
  EXPECT_TRUE(RemoveTreeOrScheduleAtReboot(root, warnings));
  EXPECT_TRUE(warnings.empty());
  EXPECT_FALSE(fs::exists(root));
  EXPECT_TRUE(RemoveTreeOrScheduleAtReboot(root, warnings));  // nothing there
  EXPECT_TRUE(warnings.empty());
}

TEST_F(DeployTest, TreeRemovalRemovesLinksNeverTheirDestinations) {
  const fs::path user_data = box.root() / L"Documents" / L"models";
  WriteFileBytes(user_data / L"house.skp", "precious");
  const fs::path center = plugins / L"kel_plugin_center";
  WriteFileBytes(center / L"own.rb", "x");
  std::string reason;
  if (!test::MakeUnixSymlink(user_data, center / L"linked_dir", reason)) GTEST_SKIP() << reason;
  ASSERT_TRUE(test::MakeUnixSymlink(user_data / L"house.skp", center / L"linked_file.skp", reason));
  // Wine shows a dangling link to nobody: make it live, then take its destination away.
  WriteFileBytes(box.root() / L"gone", "soon gone");
  ASSERT_TRUE(test::MakeUnixSymlink(box.root() / L"gone", center / L"dangling", reason));
  fs::remove(box.root() / L"gone");
  std::vector<std::string> warnings;
  // Wine opens a directory link's destination even when asked for the link itself: then the
  // link is left in place and reported, rather than the destination being deleted.
  EXPECT_EQ(RemoveTreeOrScheduleAtReboot(center / L"linked_dir", warnings),
            !test::RunningUnderWine());
  EXPECT_TRUE(fs::is_directory(user_data));
  EXPECT_TRUE(RemoveTreeOrScheduleAtReboot(center / L"dangling", warnings));
  std::vector<std::string> expected;
  if (test::RunningUnderWine())
    expected.push_back("目录占用已安排重启清理: " + WideToUtf8((center / L"linked_dir").wstring()));
  EXPECT_EQ(warnings, expected);
  EXPECT_EQ(ReadFileBytes(user_data / L"house.skp"), "precious");
  // Whole tree: the file link is unlinked, its destination stays; the dangling link is left.
  RemoveTreeOrScheduleAtReboot(center, warnings);
  EXPECT_EQ(ReadFileBytes(user_data / L"house.skp"), "precious");
  EXPECT_FALSE(fs::exists(center / L"own.rb"));
  EXPECT_FALSE(fs::exists(center / L"linked_file.skp"));
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

// A deployment that dies after k of its files (its object is never destroyed, as in a killed
// process): the next run's recovery leaves one whole release, the old one or, once every file
// was new, the new one with its VERSION; the wizard meanwhile never sees the folder as current.
TEST_F(DeployTest, RecoveryAfterAKillAtEveryStepLeavesOneWholeRelease) {
  const fs::path center = plugins / L"kel_plugin_center";
  const std::vector<std::pair<std::wstring, std::string>> old_files = {
      {L"kel_plugin_center.rb", "loader 1"}, {L"kel_plugin_center\\a.rb", "a 1"},
      {L"kel_plugin_center\\VERSION", "1.0.0\n"}};
  const std::vector<std::pair<std::wstring, std::string>> new_files = {
      {L"kel_plugin_center.rb", "loader 2"},
      {L"kel_plugin_center\\a.rb", "a 2"},
      {L"kel_plugin_center\\lib\\deep\\b.rb", "b 2"}};
  std::vector<PlannedFile> planned;
  for (const auto& [relative, content] : new_files) {
    const fs::path source = box.root() / L"src" / relative;
    WriteFileBytes(source, content);
    std::string digest, error;
    ASSERT_TRUE(Sha256OfFile(source, digest, error));
    planned.push_back({source, plugins / relative, digest});
  }
  const auto write_old = [&] {
    test::RemoveTree(plugins);
    for (const auto& [relative, content] : old_files) WriteFileBytes(plugins / relative, content);
    WriteFileBytes(plugins / L"kel_plugin_center.rb.old.20240501", "the user's copy");
  };
  write_old();
  const auto old_tree = test::SnapshotTree(plugins);
  for (std::size_t killed_after = 0; killed_after <= planned.size() + 1; ++killed_after) {
    SCOPED_TRACE(killed_after);
    write_old();
    std::string error;
    auto* dying = new Deployment;  // never deleted: no destructor runs in a killed process
    ASSERT_TRUE(dying->Begin(plugins, planned, std::string("2.0.0\n"), error)) << error;
    for (std::size_t i = 0; i < std::min(killed_after, planned.size()); ++i)
      ASSERT_TRUE(dying->Write(planned[i], error)) << error;
    if (killed_after > planned.size()) WriteFileBytes(center / L"VERSION", "2.0.0\n");
    EXPECT_TRUE(HasUnfinishedDeployment(plugins));

    ASSERT_TRUE(RecoverUnfinishedDeployment(plugins, error)) << error;
    EXPECT_FALSE(HasUnfinishedDeployment(plugins));
    if (killed_after < planned.size()) {
      EXPECT_EQ(test::SnapshotTree(plugins), old_tree);
    } else {
      for (const auto& [relative, content] : new_files)
        EXPECT_EQ(ReadFileBytes(plugins / relative), content);
      EXPECT_EQ(ReadFileBytes(center / L"VERSION"), "2.0.0\n");
      EXPECT_TRUE(AsideFiles(plugins / L"kel_plugin_center.rb").empty());
      EXPECT_TRUE(AsideFiles(center / L"a.rb").empty());
      EXPECT_EQ(ReadFileBytes(plugins / L"kel_plugin_center.rb.old.20240501"), "the user's copy");
    }
    ASSERT_TRUE(RecoverUnfinishedDeployment(plugins, error)) << error;  // nothing left to do
  }
}

// The record lies in the user's folder: one that names a path outside it, or cannot be read,
// stops the install without anything being deleted.
TEST_F(DeployTest, ARecordThatCannotBeTrustedStopsWithoutDeleting) {
  const fs::path marker = plugins / L"kel_plugin_center" / L"VERSION.deploying";
  const fs::path outside = box.root() / L"outside.txt";
  WriteFileBytes(outside, "the user's");
  for (const std::string& record :
       {std::string(R"({"stamp":"1_2","files":[{"path":"../outside.txt","existed":false,"sha256":"x"}]})"),
        std::string(R"({"stamp":"1_2","files":[{"path":"C:/outside.txt","existed":false,"sha256":"x"}]})"),
        std::string("{not json"), std::string(R"({"files":[]})")}) {
    WriteFileBytes(marker, record);
    std::string error;
    EXPECT_FALSE(RecoverUnfinishedDeployment(plugins, error)) << record;
    EXPECT_EQ(error, "上次未完成的安装记录已损坏: " + WideToUtf8(marker.wstring()));
    EXPECT_EQ(ReadFileBytes(outside), "the user's");
    EXPECT_TRUE(fs::exists(marker));
  }
}

}  // namespace
}  // namespace kel
