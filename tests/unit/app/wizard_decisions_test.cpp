#include "app/wizard_decisions.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

OperationOutcome Outcome(bool uninstall, bool success, std::vector<std::wstring> dirs = {}) {
  OperationOutcome outcome;
  outcome.isUninstall = uninstall;
  outcome.success = success;
  outcome.message = L"详情";
  outcome.completedDirs = std::move(dirs);
  return outcome;
}

WizardSettings Mode(const std::string& mode, bool noLaunch = false) {
  WizardSettings settings;
  settings.mode = mode;
  settings.noLaunch = noLaunch;
  settings.waitPid = 77;
  return settings;
}

TEST(DecideDone, BoxTitleIconQuitAndLaunchForEveryOutcome) {
  struct Case {
    const char* name;
    OperationOutcome outcome;
    WizardSettings settings;
    bool autoLaunch;
    bool box;
    const wchar_t* title;
    BoxIcon icon;
    bool quit;
    const wchar_t* launch;  // null: none
  };
  const std::vector<std::wstring> two = {L"C:\\a", L"C:\\b"};
  const Case cases[] = {
      {"install", Outcome(false, true, two), Mode(""), true, true, L"安装 / 更新完成",
       BoxIcon::Information, false, L"C:\\a"},
      {"install, box cleared", Outcome(false, true, two), Mode(""), false, true,
       L"安装 / 更新完成", BoxIcon::Information, false, nullptr},
      {"install, --no-launch", Outcome(false, true, two), Mode("", true), true, true,
       L"安装 / 更新完成", BoxIcon::Information, false, nullptr},
      {"install, nothing completed", Outcome(false, true), Mode(""), true, true,
       L"安装 / 更新完成", BoxIcon::Information, false, nullptr},
      {"automatic update", Outcome(false, true, two), Mode("update"), true, false, L"",
       BoxIcon::Information, true, L"C:\\a"},
      {"failed install", Outcome(false, false, two), Mode("update"), true, true, L"操作提示",
       BoxIcon::Error, false, nullptr},
      {"uninstall", Outcome(true, true), Mode(""), true, true, L"卸载与还原结果",
       BoxIcon::Information, false, nullptr},
      {"automatic uninstall", Outcome(true, true), Mode("uninstall"), true, true,
       L"卸载与还原结果", BoxIcon::Information, true, nullptr},
      {"failed automatic uninstall", Outcome(true, false), Mode("uninstall"), true, true,
       L"卸载与还原结果", BoxIcon::Error, false, nullptr},
  };
  for (const Case& c : cases) {
    const DoneDecision d = DecideDone(c.outcome, c.settings, c.autoLaunch);
    EXPECT_EQ(d.showBox, c.box) << c.name;
    if (c.box) {
      EXPECT_EQ(d.boxTitle, c.title) << c.name;
      EXPECT_EQ(d.boxIcon, c.icon) << c.name;
    }
    EXPECT_EQ(d.quit, c.quit) << c.name;
    EXPECT_EQ(d.launchDir.has_value(), c.launch != nullptr) << c.name;
    if (c.launch && d.launchDir) {
      EXPECT_EQ(*d.launchDir, c.launch) << c.name;
    }
    EXPECT_EQ(d.progress, c.outcome.success ? 100 : 0) << c.name;
    EXPECT_EQ(d.status, c.outcome.success ? L"操作成功完成。" : L"详情") << c.name;
  }
}

TEST(DecideVersionChecked, StatusLineAndTheAutomaticOperation) {
  ReleaseCache known;
  known.releaseKnown = true;
  known.release.versionCode = "2.0.0";
  known.release.fileSizeBytes = 5 * 1024 + 1023;
  ReleaseCache failed;
  failed.error = L"连接服务器失败 (12029)";
  const std::vector<std::wstring> dirs = {L"C:\\a"};

  VersionCheckDecision d = DecideVersionChecked(true, known, Mode(""), false, dirs, false);
  EXPECT_EQ(d.serverStatus, L"服务器最新版本：v2.0.0  |  完整包大小：5 KB（已安装版本将自动走差异化更新）");
  EXPECT_EQ(d.action, AutoAction::None);

  WizardSettings offline = Mode("update");
  offline.package = L"C:\\kel.zip";
  d = DecideVersionChecked(false, failed, offline, false, dirs, false);
  EXPECT_EQ(d.serverStatus, L"离线更新包模式就绪：将直接从本地升级包执行差异化覆盖");
  EXPECT_EQ(d.action, AutoAction::Install);
  EXPECT_EQ(d.waitPid, 77u);

  // The uninstall runs whatever the query said; the purge follows the option or the box.
  d = DecideVersionChecked(false, failed, Mode("uninstall"), false, dirs, false);
  EXPECT_EQ(d.serverStatus, L"暂无法连接官网版本服务：连接服务器失败 (12029)（仍可执行本地卸载）");
  EXPECT_EQ(d.action, AutoAction::Uninstall);
  EXPECT_FALSE(d.purgeGlobal);
  EXPECT_TRUE(DecideVersionChecked(true, known, Mode("uninstall"), false, dirs, true).purgeGlobal);
  WizardSettings purge = Mode("uninstall");
  purge.purgeGlobal = true;
  EXPECT_TRUE(DecideVersionChecked(true, known, purge, false, dirs, false).purgeGlobal);

  // Nothing starts while busy or with nothing checked.
  EXPECT_EQ(DecideVersionChecked(true, known, Mode("update"), true, dirs, false).action,
            AutoAction::None);
  EXPECT_EQ(DecideVersionChecked(true, known, Mode("uninstall"), false, {}, false).action,
            AutoAction::None);
}

}  // namespace
}  // namespace kel
