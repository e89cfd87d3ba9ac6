#include "app/operation_summary.h"

#include "common/text.h"

namespace kel {

namespace {

std::wstring Number(std::uint64_t n) { return std::to_wstring(n); }

}  // namespace

std::wstring InstallSuccessMessage(std::size_t dirCount, std::uint64_t written,
                                   std::uint64_t unchanged) {
  return L"已完成 " + Number(dirCount) + L" 个 SketchUp 版本的安装/更新！\r\n" +
         L"• 本次写入更新文件：" + Number(written) + L" 个\r\n" +
         L"• 校验一致跳过未改动文件：" + Number(unchanged) + L" 个";
}

std::wstring InstallFailureMessage(std::string_view engineMessage) {
  return L"安装/更新未能完成：" + Utf8ToWide(engineMessage);
}

std::wstring ReleaseQueryFailureMessage(std::string_view error) {
  return L"连接服务器失败：" + Utf8ToWide(error);
}

std::wstring UninstallSummaryMessage(const UninstallResult& result) {
  if (!result.unfinished.empty()) {
    return Utf8ToWide(result.unfinished) + L"\r\n• 已卸载商城插件：" +
           Number(result.uninstalledMarketplace) + L" 个\r\n• 已取消托管并还原本地第三方插件：" +
           Number(result.restoredThirdParty) + L" 个";
  }
  std::wstring text = L"卸载处理完成！\r\n";
  text += L"• 已卸载商城插件：" + Number(result.uninstalledMarketplace) + L" 个\r\n";
  text += L"• 已取消托管并还原本地第三方插件：" + Number(result.restoredThirdParty) + L" 个\r\n";
  text += L"• 已清除本地配置与管理器核心文件（含";
  text += result.globalPurged ? L"全局登录凭据与缓存" : L"目标版本配置";
  text += L"）";
  if (!result.warnings.empty()) text += L"\r\n• 提示：" + Utf8ToWide(result.warnings.front());
  return text;
}

bool UninstallCountsAsSuccess(const UninstallResult& result) {
  return result.success || !result.warnings.empty();
}

std::wstring UninstallFailureMessage(std::string_view error) {
  return L"卸载未能完成：" + Utf8ToWide(error);
}

int OverallPercent(std::size_t index, std::size_t count, int percent) {
  if (count == 0) return percent;
  const long long overall =
      (static_cast<long long>(index) * 100 + percent) / static_cast<long long>(count);
  return static_cast<int>(overall);
}

std::wstring UnexpectedErrorText(std::string_view what) {
  // what() of a lower layer may be in any code page; strict conversion then gives nothing.
  std::wstring text = Utf8ToWide(what);
  if (text.empty()) text = L"发生意外错误";
  return text;
}

}  // namespace kel
