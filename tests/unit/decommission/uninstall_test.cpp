#include "decommission/uninstall.h"

#include <windows.h>

#include <utility>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/text.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

struct Progress {
  std::vector<std::pair<int, std::string>> calls;
  ProgressCallback callback() {
    return [this](int percent, const std::string& text) { calls.emplace_back(percent, text); };
  }
  std::vector<int> percents() const {
    std::vector<int> out;
    for (const auto& call : calls) out.push_back(call.first);
    return out;
  }
};

class UninstallTest : public ::testing::Test {
 protected:
  UninstallTest() {
    steps_ = ProductionUninstallSteps();
    // Scans are replaced: these tests are about what the orchestration does around them.
    steps_.decommission_root = [this](const fs::path& root, nlohmann::json& report,
                                      std::string& error) {
      scanned_.push_back(root);
      report = next_report_;
      error = next_error_;
      return error.empty();
    };
    steps_.discover = [this] { return discovered_; };
  }

  fs::path MakePlugins(const wchar_t* year) {
    const fs::path plugins = sandbox_.roaming() / L"SketchUp" / (std::wstring(L"SketchUp ") + year) /
                             L"SketchUp" / L"Plugins";
    WriteFileBytes(plugins / L"!kel-plugin-gate.rb", "# loader\n");
    WriteFileBytes(plugins / L"kel_plugin_center.rb", "# center\n");
    WriteFileBytes(plugins / L"kel_plugin_center" / L"VERSION", "3.1.0");
    WriteFileBytes(plugins / L"kel_plugin_center" / L"bin" / L"KelPluginManager.exe", "MZ");
    WriteFileBytes(plugins / L"user_tool.rb", "# the user's own\n");
    return plugins;
  }

  static bool CenterGone(const fs::path& plugins) {
    return !fs::exists(plugins / L"!kel-plugin-gate.rb") &&
           !fs::exists(plugins / L"kel_plugin_center.rb") &&
           !fs::exists(plugins / L"kel_plugin_center");
  }

  void MakeGlobalFolders() {
    WriteFileBytes(sandbox_.local() / L"KelPlatformV3" / L"active_token.txt", "a.b.c");
    WriteFileBytes(sandbox_.local() / L"com.kel.pluginmanager" / L"cache" / L"x.json", "{}");
  }
  bool GlobalFoldersExist() const {
    return fs::exists(sandbox_.local() / L"KelPlatformV3") &&
           fs::exists(sandbox_.local() / L"com.kel.pluginmanager");
  }

  test::Sandbox sandbox_;
  UninstallSteps steps_;
  std::vector<fs::path> scanned_;
  nlohmann::json next_report_;
  std::string next_error_;
  std::vector<SketchUpTarget> discovered_;
};

TEST_F(UninstallTest, NoDirectoryIsAnErrorWithoutProgressOrAnyWork) {
  MakeGlobalFolders();
  Progress progress;
  bool discovered = false;
  steps_.discover = [&] {
    discovered = true;
    return std::vector<SketchUpTarget>{};
  };
  const UninstallResult result = RunUninstall({}, true, progress.callback(), steps_);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error, "未选择任何需要卸载的 SketchUp 版本目录");
  EXPECT_TRUE(result.warnings.empty());
  EXPECT_TRUE(progress.calls.empty());
  EXPECT_FALSE(discovered);
  EXPECT_TRUE(GlobalFoldersExist());
}

TEST_F(UninstallTest, TwoDirectoriesWithAnotherVersionKeepingTheCenter) {
  const fs::path a = MakePlugins(L"2025");
  const fs::path b = MakePlugins(L"2024");
  MakeGlobalFolders();
  SketchUpTarget other;
  other.year = 2023;
  other.centerPresent = true;
  discovered_ = {other};
  next_report_ = nlohmann::json::parse(R"({
    "restoredThirdParty": [{}, {}], "uninstalledMarketplace": [{}],
    "recoveredOrphanGates": ["x.rb"], "removedOrphanGates": ["y.rb", "z.rb"],
    "warnings": [7, "restore p failed: e", null]})");
  next_error_ = "scan says no";

  Progress progress;
  const UninstallResult result =
      RunUninstall({a.native(), b.native()}, false, progress.callback(), steps_);

  EXPECT_EQ(scanned_, (std::vector<fs::path>{a, b}));
  EXPECT_EQ(progress.percents(), (std::vector<int>{10, 45, 52, 87, 100}));
  EXPECT_EQ(progress.calls[0].second, "正在卸载商城插件并还原已托管的第三方插件...");
  EXPECT_EQ(progress.calls[1].second, "正在清理插件中心程序与本地账本配置...");
  EXPECT_EQ(progress.calls[4].second, "卸载已完成，部分占用文件已标记重启清理");
  EXPECT_EQ(result.restoredThirdParty, 4u);
  EXPECT_EQ(result.uninstalledMarketplace, 2u);
  EXPECT_EQ(result.recoveredOrphanGates, 2u);
  EXPECT_EQ(result.warnings, (std::vector<std::string>{"restore p failed: e", "scan says no",
                                                       "restore p failed: e", "scan says no"}));
  EXPECT_FALSE(result.success);
  EXPECT_FALSE(result.globalPurged);
  EXPECT_TRUE(GlobalFoldersExist());
  // A failed scan does not keep the center's files: no loader outlives the uninstall.
  EXPECT_TRUE(CenterGone(a));
  EXPECT_TRUE(CenterGone(b));
  EXPECT_EQ(ReadFileBytes(a / L"user_tool.rb"), "# the user's own\n");
}

TEST_F(UninstallTest, LastVersionOrPurgeFlagTakesTheGlobalFolders) {
  const fs::path a = MakePlugins(L"2025");
  SketchUpTarget other;
  other.centerPresent = true;

  struct Case {
    const char* name;
    bool purge;
    bool other_has_center;
    bool folders;
    bool purged;
    bool kept = false;  // the scanned folder itself keeps its center (discovery lists it not)
  };
  for (const Case& c : {Case{"another version keeps it", false, true, true, false},
                        Case{"asked to purge", true, true, true, true},
                        Case{"last version", false, false, true, true},
                        Case{"nothing to purge", false, false, false, true},
                        Case{"center kept in the target folder", false, false, true, false, true}}) {
    SCOPED_TRACE(c.name);
    MakePlugins(L"2025");
    test::RemoveTree(sandbox_.local() / L"KelPlatformV3");
    test::RemoveTree(sandbox_.local() / L"com.kel.pluginmanager");
    if (c.folders) MakeGlobalFolders();
    discovered_ = c.other_has_center ? std::vector<SketchUpTarget>{other}
                                     : std::vector<SketchUpTarget>{SketchUpTarget{}};
    next_report_ = nlohmann::json::object();
    if (c.kept) {
      next_report_["remainingWork"] = {{{"kind", "gate"}, {"name", "C:\\P\\tool.rb"}}};
    }
    Progress progress;
    const UninstallResult result = RunUninstall({a.native()}, c.purge, progress.callback(), steps_);
    EXPECT_EQ(result.success, !c.kept);
    EXPECT_EQ(CenterGone(a), !c.kept);
    EXPECT_EQ(result.globalPurged, c.purged);
    EXPECT_EQ(GlobalFoldersExist(), c.folders && !c.purged);
    const std::vector<int> expected =
        c.purged ? std::vector<int>{10, 45, 90, 100} : std::vector<int>{10, 45, 100};
    EXPECT_EQ(progress.percents(), expected);
    if (c.purged) {
      EXPECT_EQ(progress.calls[2].second, "正在清理全局用户配置与登录凭据...");
    }
    EXPECT_EQ(progress.calls.back().second,
              c.kept ? "卸载已完成，部分占用文件已标记重启清理" : "卸载与还原全部完成！");
  }
}

TEST_F(UninstallTest, LinkedOrInvalidDirectoriesAreSkippedUntouched) {
  const fs::path real = MakePlugins(L"2025");
  const fs::path link = sandbox_.root() / L"linked_plugins";
  std::string reason;
  if (!test::MakeUnixSymlink(real, link, reason)) GTEST_SKIP() << reason;
  const fs::path file = sandbox_.root() / L"plain_file";
  WriteFileBytes(file, "x");

  Progress progress;
  const UninstallResult result =
      RunUninstall({link.native(), L"", file.native()}, false, progress.callback(), steps_);
  EXPECT_TRUE(scanned_.empty());
  EXPECT_EQ(result.warnings,
            (std::vector<std::string>{"跳过无效目录: " + WideToUtf8(link.native()),
                                      "跳过无效目录: ",
                                      "跳过无效目录: " + WideToUtf8(file.native())}));
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(fs::exists(real / L"kel_plugin_center" / L"VERSION"));
  EXPECT_TRUE(fs::exists(real / L"!kel-plugin-gate.rb"));
  EXPECT_EQ(progress.percents(), (std::vector<int>{90, 100}));
}

TEST_F(UninstallTest, FileInUseIsScheduledAndTheRunReportsIt) {
  const fs::path a = MakePlugins(L"2025");
  const fs::path locked = a / L"kel_plugin_center" / L"bin" / L"KelPluginManager.exe";
  unique_file holder(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  next_report_ = nlohmann::json::object();
  Progress progress;
  const UninstallResult result = RunUninstall({a.native()}, false, progress.callback(), steps_);
  holder.reset();
  EXPECT_FALSE(result.success);
  EXPECT_FALSE(result.warnings.empty());
  EXPECT_EQ(progress.calls.back(),
            std::make_pair(100, std::string("卸载已完成，部分占用文件已标记重启清理")));
  EXPECT_FALSE(fs::exists(a / L"!kel-plugin-gate.rb"));
  EXPECT_FALSE(fs::exists(a / L"kel_plugin_center" / L"VERSION"));
}

}  // namespace
}  // namespace kel
