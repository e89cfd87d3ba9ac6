#include "common/file_tree.h"
#include "common/text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

TEST(CaseAndTrim, SystemTableInEveryScriptAndAsciiWhiteSpaceOnly) {
  struct Case {
    std::wstring_view a, b;
    bool equal;
  } const cases[] = {
      {L"Plugins", L"PLUGINS", true},       {L"ÄÖÜ Σ П", L"äöü σ п", true},
      {L"插件", L"插件", true},             {L"a", L"ab", false},
      {L"", L"", true},                     {std::wstring_view(L"a\0B", 3), std::wstring_view(L"A\0b", 3), true},
      {std::wstring_view(L"a\0b", 3), L"a", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoreCase(c.a, c.b), c.equal) << WideToUtf8(c.a) << " / " << WideToUtf8(c.b);
  }
  EXPECT_EQ(TrimAscii(" \t\r\n\f\vx y\v\f\n\r\t "), "x y");
  EXPECT_EQ(TrimAscii(" \t "), "");
  // A no-break space is text, not ASCII white space.
  EXPECT_EQ(TrimAscii("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
}

class FileTreeTest : public ::testing::Test {
 protected:
  test::Sandbox box;
  fs::path outside = box.root() / L"outside";
  fs::path tree = box.root() / L"tree";

  void SetUp() override {
    test::WriteFileBytes(outside / L"precious.txt", "keep");
    test::WriteFileBytes(tree / L"Top.RB", "1");
    test::WriteFileBytes(tree / L"sub" / L"deep" / L"x.rb", "2");
  }

  // Links from the Linux side (Wine shows a file link as a plain file); skips elsewhere.
  bool LinkOutside() {
    std::string reason;
    if (!test::MakeUnixSymlink(outside, tree / L"sub" / L"dir_link", reason) ||
        !test::MakeUnixSymlink(outside / L"precious.txt", tree / L"file_link.txt", reason)) {
      ADD_FAILURE() << reason;
      return false;
    }
    return true;
  }
};

TEST_F(FileTreeTest, KindsNeverLookThroughLinks) {
  if (!test::RunningUnderWine()) GTEST_SKIP() << "Unix links need Wine";
  ASSERT_TRUE(LinkOutside());
  const struct {
    fs::path path;
    PathKind kind;
  } cases[] = {
      {tree / L"Top.RB", PathKind::kFile},
      {tree / L"top.rb", PathKind::kFile},
      {tree / L"sub", PathKind::kDirectory},
      {tree / L"none", PathKind::kMissing},
      {tree / L"none" / L"below", PathKind::kMissing},
      {tree / L"file_link.txt", PathKind::kLink},
      {tree / L"sub" / L"dir_link", PathKind::kLink},
      // Reached through a link, the item itself is what it is.
      {tree / L"sub" / L"dir_link" / L"precious.txt", PathKind::kFile},
  };
  for (const auto& c : cases) {
    unsigned long code = 1;
    EXPECT_EQ(QueryPathKind(c.path, &code), c.kind) << c.path.string();
    EXPECT_EQ(code, 0u) << c.path.string();
  }
}

TEST_F(FileTreeTest, RemovesAttributesAndLinksButNeverDestinations) {
  const fs::path deep = tree / L"sub" / L"deep";
  SetFileAttributesW((deep / L"x.rb").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(deep.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  const bool linked = test::RunningUnderWine() && LinkOutside();
  std::vector<TreeRemovalFailure> failures;
  const bool removed = RemoveTreeNoFollow(tree, &failures);
  EXPECT_EQ(test::ReadFileBytes(outside / L"precious.txt"), "keep");
  EXPECT_FALSE(fs::exists(deep));
  EXPECT_FALSE(fs::exists(tree / L"file_link.txt"));
  if (linked) {
    // Wine opens a directory link's destination even when asked for the link itself: the
    // link stays and is reported with every folder above it, rather than being followed.
    ASSERT_FALSE(removed);
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0].path, tree / L"sub" / L"dir_link");
    EXPECT_EQ(failures[1].path, tree / L"sub");
    EXPECT_EQ(failures[1].code, static_cast<unsigned long>(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(failures[2].path, tree);
  } else {
    EXPECT_TRUE(removed);
    EXPECT_TRUE(failures.empty());
    EXPECT_FALSE(fs::exists(tree));
  }
  EXPECT_TRUE(fs::is_directory(outside));
}

TEST_F(FileTreeTest, LockedFileIsListedBeforeItsFoldersWithItsCode) {
  const fs::path locked = tree / L"sub" / L"deep" / L"x.rb";
  unique_file holder(CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  std::vector<TreeRemovalFailure> failures;
  EXPECT_FALSE(RemoveTreeNoFollow(tree, &failures));
  ASSERT_EQ(failures.size(), 4u);
  EXPECT_EQ(failures[0].path, locked);
  EXPECT_EQ(failures[0].code, static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(failures[1].path, locked.parent_path());
  EXPECT_EQ(failures[2].path, tree / L"sub");
  EXPECT_EQ(failures[3].path, tree);
  EXPECT_FALSE(fs::exists(tree / L"Top.RB"));
  holder.reset();
  EXPECT_TRUE(RemoveTreeNoFollow(tree));
  EXPECT_TRUE(RemoveTreeNoFollow(tree));  // missing counts as removed
}

TEST_F(FileTreeTest, KeptFileStaysWithItsFoldersAndEverythingElseGoes) {
  // The handle stays open for the whole test program, as the run log's does for a run: its
  // file index cannot pass to a later file while it is kept.
  const fs::path log = tree / L"sub" / L"deep" / L"run.log";
  test::WriteFileBytes(log, "log");
  static HANDLE kept = INVALID_HANDLE_VALUE;
  kept = CreateFileW(log.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(kept, INVALID_HANDLE_VALUE);
  KeepThroughTreeRemovals(kept);
  std::vector<TreeRemovalFailure> failures;
  EXPECT_TRUE(RemoveTreeNoFollow(tree, &failures));
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(test::ReadFileBytes(log), "log");
  EXPECT_FALSE(fs::exists(tree / L"Top.RB"));
  EXPECT_FALSE(fs::exists(tree / L"sub" / L"deep" / L"x.rb"));
  // A file of the same name made later is not the kept one.
  const fs::path other = box.root() / L"other";
  test::WriteFileBytes(other / L"run.log", "new");
  EXPECT_TRUE(RemoveTreeNoFollow(other));
  EXPECT_FALSE(fs::exists(other));
}

}  // namespace
}  // namespace kel
