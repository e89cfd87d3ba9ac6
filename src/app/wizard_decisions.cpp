#include "app/wizard_decisions.h"

#include "common/text.h"

namespace kel {

DoneDecision DecideDone(const OperationOutcome& outcome, const WizardSettings& settings,
                        bool autoLaunchChecked) {
  DoneDecision decision;
  decision.progress = outcome.success ? 100 : 0;
  decision.status = outcome.success ? std::wstring(L"操作成功完成。") : outcome.message;
  if (outcome.isUninstall || !outcome.success) {
    decision.showBox = true;
    decision.boxTitle = outcome.isUninstall ? L"卸载与还原结果" : L"操作提示";
    decision.boxIcon = outcome.success ? BoxIcon::Information : BoxIcon::Error;
    decision.quit = outcome.isUninstall && outcome.success && settings.mode == "uninstall";
    return decision;
  }
  if (!settings.noLaunch && autoLaunchChecked && !outcome.completedDirs.empty()) {
    decision.launchDir = outcome.completedDirs.front();
  }
  if (settings.mode == "update") {
    decision.quit = true;
  } else {
    decision.showBox = true;
    decision.boxTitle = L"安装 / 更新完成";
  }
  return decision;
}

std::wstring ServerStatusText(bool ok, const ReleaseCache& cache, const WizardSettings& settings) {
  if (ok && cache.releaseKnown) {
    return L"服务器最新版本：v" + Utf8ToWide(cache.release.versionCode) + L"  |  完整包大小：" +
           std::to_wstring(cache.release.fileSizeBytes / 1024) +
           L" KB（已安装版本将自动走差异化更新）";
  }
  if (!settings.package.empty()) return L"离线更新包模式就绪：将直接从本地升级包执行差异化覆盖";
  return L"暂无法连接官网版本服务：" + cache.error + L"（仍可执行本地卸载）";
}

VersionCheckDecision DecideVersionChecked(bool ok, const ReleaseCache& cache,
                                          const WizardSettings& settings, bool busy,
                                          const std::vector<std::wstring>& checkedDirs,
                                          bool purgeBoxChecked) {
  VersionCheckDecision decision;
  decision.serverStatus = ServerStatusText(ok, cache, settings);
  if (busy || checkedDirs.empty()) return decision;
  decision.waitPid = settings.waitPid;
  if (settings.mode == "update") {
    decision.action = AutoAction::Install;
  } else if (settings.mode == "uninstall") {
    decision.action = AutoAction::Uninstall;
    decision.purgeGlobal = settings.purgeGlobal || purgeBoxChecked;
  }
  return decision;
}

}  // namespace kel
