#include "install/extract.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <utility>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "support/sandbox.h"
#include "support/zip_writer.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

const std::string kZipSlip = "压缩包包含越权路径 (Zip Slip): ";

fs::path SystemTar() {
  wchar_t dir[MAX_PATH];
  GetSystemDirectoryW(dir, MAX_PATH);
  return fs::path(dir) / L"tar.exe";
}

fs::path FakeTar() { return test::ProgramDir() / L"install_fake_tar.exe"; }

TEST(ArchiveEntryRules, RefusesEverythingThatCouldLeaveTheStage) {
  for (std::string_view bad :
       {"/etc/passwd", "\\windows\\x.dll", "  /lead.txt", "C:/x.txt", "c:x.txt",
        "kel/file.txt:stream", "http://host/x", "..\\evil.txt", "../evil.txt", "a/../../b",
        "kel/a..b.txt", ".."}) {
    EXPECT_FALSE(IsSafeArchiveEntry(bad)) << bad;
  }
  EXPECT_FALSE(IsSafeArchiveEntry(std::string_view("kel/a\0b.txt", 11)));
  for (std::string_view good : {"", "   ", "\r", "kel_plugin_center/", "kel/a.txt\r", ".", "a.b",
                                "kel_plugin_center.rb", "中文/文件.txt"}) {
    EXPECT_TRUE(IsSafeArchiveEntry(good)) << good;
  }
}

TEST(ArchiveEntryRules, ExcludedPackagePaths) {
  for (std::string_view excluded :
       {"", "__MACOSX/kel/x", "__macosx/a", ".git/config", ".GIT/HEAD", "a/../b", "c:/x",
        "kel_plugin_center/managed_plugins", "kel_plugin_center/managed_plugins/",
        "KEL_PLUGIN_CENTER/Managed_Plugins/plugin_registry.json",
        // Every spelling Windows resolves to the same folder.
        "kel_plugin_center\\managed_plugins\\plugin_registry.json",
        "./kel_plugin_center/managed_plugins/plugin_registry.json",
        "kel_plugin_center//managed_plugins/plugin_registry.json",
        "kel_plugin_center/./managed_plugins", "kel_plugin_center/managed_plugins. /x",
        "/kel_plugin_center/managed_plugins/x", "kel_plugin_center\\MANAGED_PLUGINS",
        "__MACOSX\\x", "./.git/config"}) {
    EXPECT_TRUE(IsExcludedPackagePath(excluded)) << excluded;
  }
  for (std::string_view kept :
       {"kel_plugin_center/managed_pluginsx/a", "kel_plugin_center/managed_plugins_old",
        "kel_plugin_center/.git/config", "kel_plugin_center/__macosx/x", "x__macosx/",
        "kel_plugin_center.rb", "managed_plugins/a", ".", "kel_plugin_center/x/managed_plugins/a",
        "kel_plugin_center\\managed_plugins_old\\a"}) {
    EXPECT_FALSE(IsExcludedPackagePath(kept)) << kept;
  }
}

// The one test both install ways use: the product's own names are never written, and two
// spellings of one file resolve to one key.
TEST(ArchiveEntryRules, WritablePathsAndTheProductsOwnNames) {
  const fs::path plugins = L"C:\\P";
  fs::path target;
  std::wstring key;
  for (std::string_view refused :
       {"kel_plugin_center/VERSION.deploying", "KEL_PLUGIN_CENTER/version.DEPLOYING.",
        "kel_plugin_center/a.rb.old.1234_5678", "kel_plugin_center.rb.OLD.1_2", "/abs.rb",
        "kel_plugin_center/managed_plugins/x.rb", "a/../b.rb", "\xff\xfe.rb"}) {
    EXPECT_FALSE(ResolveWritablePath(plugins, refused, target, key)) << refused;
  }
  ASSERT_TRUE(ResolveWritablePath(plugins, "kel_plugin_center/a.rb.old.20240501", target, key));
  std::wstring first;
  ASSERT_TRUE(ResolveWritablePath(plugins, "kel_plugin_center/Lib/A.rb", target, first));
  EXPECT_EQ(target, plugins / L"kel_plugin_center\\Lib\\A.rb");
  for (std::string_view twin : {"KEL_PLUGIN_CENTER/lib/a.RB", "kel_plugin_center\\lib\\a.rb",
                                "kel_plugin_center/./lib/a.rb. ", "kel_plugin_center//lib/a.rb"}) {
    ASSERT_TRUE(ResolveWritablePath(plugins, twin, target, key)) << twin;
    EXPECT_EQ(key, first) << twin;
  }
}

TEST(ArchiveEntryRules, StampedNamesAreMadeAndReadInOnePlace) {
  const std::wstring a = NewRunStamp(), b = NewRunStamp();
  EXPECT_NE(a, b);  // two stamps of one tick still differ
  const fs::path aside = AsideName(L"C:\\P\\x.rb", a);
  const auto owner = ParseAsideName(aside.filename().wstring(), L"X.RB");
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->pid, GetCurrentProcessId());
  EXPECT_TRUE(OwnerMayBeRunning(*owner));
  EXPECT_FALSE(OwnerMayBeRunning({4294967292u, 1}));
  for (std::wstring_view other : {L"x.rb.old.20240501", L"x.rb.old.1_", L"x.rb.old._1",
                                  L"y.rb.old.1_2", L"x.rb.old.1_2.bak"}) {
    EXPECT_FALSE(ParseAsideName(other, L"x.rb")) << WideToUtf8(std::wstring(other));
  }
  const fs::path stage = MakeTemporaryName(TemporaryKind::kStage);
  EXPECT_TRUE(ParseTemporaryName(stage.filename().wstring(), true));
  EXPECT_FALSE(ParseTemporaryName(stage.filename().wstring(), false));
  EXPECT_TRUE(ParseTemporaryName(MakeTemporaryName(TemporaryKind::kPackage).filename().wstring(),
                                 false));
}

class ExtractTest : public ::testing::Test {
 protected:
  test::Sandbox box;
  fs::path stage = box.root() / L"stage" / L"inner";
};

TEST_F(ExtractTest, SystemTarExtractsAZipWithItsFolders) {
  ASSERT_TRUE(fs::is_regular_file(SystemTar())) << "no tar.exe in System32";
  const fs::path zip = box.root() / L"good.zip";
  test::WriteStoredZip(zip, {{"kel_plugin_center/", ""},
                             {"kel_plugin_center/bin/a.txt", "alpha"},
                             {"kel_plugin_center.rb", "load 'x'"},
                             {"中文/文件.txt", "zh"}});
  // What Windows' own tool prints and the check must pass: ANSI code page names (the
  // prefix's is not Chinese), CRLF, folders with a trailing '/'.
  std::uint32_t code = 1;
  std::string listing, error;
  ASSERT_TRUE(RunHiddenAndCapture(L"\"" + SystemTar().wstring() + L"\" -tf \"" + zip.wstring() +
                                      L"\"",
                                  code, listing, error));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(listing,
            "kel_plugin_center/\r\nkel_plugin_center/bin/a.txt\r\nkel_plugin_center.rb\r\n"
            "?\?/?\?.txt\r\n");
  ASSERT_TRUE(ExtractPackage(zip, stage, error)) << error;
  EXPECT_EQ(ReadFileBytes(stage / L"kel_plugin_center" / L"bin" / L"a.txt"), "alpha");
  EXPECT_EQ(ReadFileBytes(stage / L"kel_plugin_center.rb"), "load 'x'");
  EXPECT_EQ(ReadFileBytes(stage / L"中文" / L"文件.txt"), "zh");
  EXPECT_TRUE(error.empty());
}

TEST_F(ExtractTest, ZipSlipEntriesAreRefusedBeforeAnythingIsWritten) {
  // The message names the entry as the system tool lists it: with '/' for a stored '\\'.
  for (const auto& [name, listed] : std::vector<std::pair<std::string, std::string>>{
           {"/etc/passwd", "/etc/passwd"},
           {"C:/Windows/evil.dll", "C:/Windows/evil.dll"},
           {"..\\evil.txt", "../evil.txt"},
           {"kel_plugin_center/a..b.txt", "kel_plugin_center/a..b.txt"}}) {
    const fs::path zip = box.root() / L"slip.zip";
    test::WriteStoredZip(zip, {{"kel_plugin_center/ok.txt", "ok"}, {name, "bad"}});
    std::string error;
    EXPECT_FALSE(ExtractPackage(zip, stage, error)) << name;
    EXPECT_EQ(error, kZipSlip + listed);
    EXPECT_FALSE(fs::exists(stage.parent_path())) << name;
  }
}

TEST_F(ExtractTest, ListingWithNulIsRefusedAndCrlfListingIsAccepted) {
  const fs::path listing = box.root() / L"listing.zip";
  WriteFileBytes(listing, std::string("kel/a.txt\r\nkel/b\0c.txt\r\n", 24));
  std::string error;
  EXPECT_FALSE(ExtractPackageWithTool(FakeTar(), listing, stage, error));
  EXPECT_EQ(error, kZipSlip + std::string("kel/b\0c.txt", 11));
  EXPECT_FALSE(fs::exists(stage.parent_path()));

  // The system tool's listing under a Chinese code page: GBK bytes, which are not UTF-8.
  WriteFileBytes(listing, "kel_plugin_center/\r\n\xd6\xd0\xce\xc4/\xce\xc4\xbc\xfe.txt\r\n\r\n");
  error.clear();
  ASSERT_TRUE(ExtractPackageWithTool(FakeTar(), listing, stage, error)) << error;
  EXPECT_TRUE(fs::exists(stage / L"extracted.txt"));
}

TEST_F(ExtractTest, CorruptArchiveFailsTheListingWithTheToolsText) {
  const fs::path zip = box.root() / L"corrupt.zip";
  WriteFileBytes(zip, "PK\x03\x04 this is not a zip archive at all, only its first bytes");
  std::string error;
  EXPECT_FALSE(ExtractPackage(zip, stage, error));
  EXPECT_EQ(error,
            "读取压缩包清单失败: tar.exe: Truncated ZIP file header\r\n"
            "tar.exe: Error exit delayed from previous errors.\r\n");
  EXPECT_FALSE(fs::exists(stage.parent_path()));
}

TEST_F(ExtractTest, MissingToolStartsNothing) {
  const fs::path zip = box.root() / L"x.zip";
  test::WriteStoredZip(zip, {{"a.txt", "a"}});
  std::string error;
  EXPECT_FALSE(ExtractPackageWithTool(box.root() / L"no" / L"tar.exe", zip, stage, error));
  EXPECT_EQ(error, "系统缺少 tar.exe 解压组件");
  error.clear();
  EXPECT_FALSE(ExtractPackageWithTool(box.root(), zip, stage, error));  // a directory
  EXPECT_EQ(error, "系统缺少 tar.exe 解压组件");
  EXPECT_FALSE(fs::exists(stage.parent_path()));
}

TEST_F(ExtractTest, ToolThatNeverEndsIsTerminatedAtTheDeadline) {
  const fs::path archive = box.root() / L"hang.zip";
  WriteFileBytes(archive, "HANG");
  std::string error;
  const ULONGLONG started = GetTickCount64();
  EXPECT_FALSE(ExtractPackageWithTool(FakeTar(), archive, stage, error, 1500));
  EXPECT_LT(GetTickCount64() - started, 20000u);
  EXPECT_EQ(error, "解压工具运行超时，已强制结束");
  const std::string pid_text = ReadFileBytes(box.root() / L"hang.zip.pid");
  ASSERT_FALSE(pid_text.empty());
  unique_handle child(OpenProcess(SYNCHRONIZE, FALSE, std::stoul(pid_text)));
  if (child) {
    EXPECT_EQ(WaitForSingleObject(child.get(), 0), WAIT_OBJECT_0);
  }
  EXPECT_FALSE(fs::exists(stage.parent_path()));
}

TEST_F(ExtractTest, ListingNotReadToItsEndFailsInsteadOfPassing) {
  // A child of the tool keeps the output open: what was read is not the whole listing.
  const fs::path archive = box.root() / L"orphan.zip";
  WriteFileBytes(archive, "ORPHAN\n");
  WriteFileBytes(box.root() / L"orphan.zip.hang", "HANG");
  std::string error;
  EXPECT_FALSE(ExtractPackageWithTool(FakeTar(), archive, stage, error, 1500));
  EXPECT_EQ(error, "读取解压工具输出不完整");
  EXPECT_FALSE(fs::exists(stage.parent_path()));
  const std::string pid_text = ReadFileBytes(box.root() / L"orphan.zip.hang.pid");
  ASSERT_FALSE(pid_text.empty());
  unique_handle orphan(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(pid_text)));
  if (orphan) {
    TerminateProcess(orphan.get(), 0);
    WaitForSingleObject(orphan.get(), 10000);
  }
}

TEST_F(ExtractTest, SlowExtractionThatKeepsWritingOutlivesTheDeadline) {
  const fs::path archive = box.root() / L"slow.zip";
  WriteFileBytes(archive, "SLOW 8 500");
  std::string error;
  const ULONGLONG started = GetTickCount64();
  ASSERT_TRUE(ExtractPackageWithTool(FakeTar(), archive, stage, error, 1500)) << error;
  EXPECT_GT(GetTickCount64() - started, 3000u);
  EXPECT_TRUE(fs::exists(stage / L"slow_7.txt"));
  EXPECT_TRUE(fs::exists(stage / L"extracted.txt"));
}

TEST(RunHiddenAndCaptureTest, CapturesOutputExitCodeAndStartFailure) {
  std::uint32_t code = 77;
  std::string output = "stale", error;
  const std::wstring missing = L"\"C:\\kel_test\\does\\not\\exist.exe\" -tf x";
  EXPECT_FALSE(RunHiddenAndCapture(missing, code, output, error));
  EXPECT_EQ(code, 77u);
  EXPECT_TRUE(error.rfind("启动解压工具失败 (", 0) == 0) << error;

  test::Sandbox box;
  const fs::path listing = box.root() / L"big.txt";
  // More than the pipe's buffer: the reader must drain while the child writes.
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "kel_plugin_center/file_" + std::to_string(i) + ".rb\n";
  WriteFileBytes(listing, big);
  error.clear();
  ASSERT_TRUE(RunHiddenAndCapture(L"\"" + FakeTar().wstring() + L"\" -tf \"" +
                                      listing.wstring() + L"\"",
                                  code, output, error));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(output, big);
  EXPECT_TRUE(error.empty());
}

}  // namespace
}  // namespace kel
