#include "decommission/uninstall.h"

#include <windows.h>
#include <shlobj.h>

#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "decommission/center_removal.h"
#include "decommission/root_gate_lock.h"
#include "decommission/root_scan.h"
#include "install/deploy.h"
#include "install/plugins_lock.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr char kNoDirectoryError[] = "未选择任何需要卸载的 SketchUp 版本目录";
constexpr char kSkipInvalidDirectory[] = "跳过无效目录: ";
constexpr char kScanProgress[] = "正在卸载商城插件并还原已托管的第三方插件...";
constexpr char kCleanupProgress[] = "正在清理插件中心程序与本地账本配置...";
constexpr char kPurgeProgress[] = "正在清理全局用户配置与登录凭据...";
constexpr char kDoneProgress[] = "卸载与还原全部完成！";
constexpr char kDoneWithWarningsProgress[] = "卸载已完成，部分占用文件已标记重启清理";
constexpr char kCenterKeptPrefix[] = "卸载尚未完成，插件中心已保留：";
constexpr char kCenterKeptAdvice[] = "。请关闭 SketchUp 和插件管理器后重新运行卸载。";

void Report(const ProgressCallback& progress, int percent, const char* text) {
  if (progress) progress(percent, text);
}

// Links and junctions are never followed into: a selected path that is one could lead
// anywhere on the machine.
bool IsUsablePluginsDirectory(const fs::path& dir) {
  if (dir.empty()) return false;
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  std::error_code ec;
  const fs::file_status link_status = fs::symlink_status(dir, ec);
  if (!ec && fs::is_symlink(link_status)) return false;
  const fs::file_status status = fs::status(dir, ec);
  return !ec && fs::is_directory(status);
}

// A path whose status cannot be read counts as absent: nothing is attempted on it.
bool Present(const fs::path& path) {
  if (path.empty()) return false;
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  return !ec && fs::exists(status);
}

std::uint64_t ArraySize(const nlohmann::json& report, const char* key) {
  const auto it = report.find(key);
  if (it == report.end() || !it->is_array()) return 0;
  return it->size();
}

void AddScanReport(const nlohmann::json& report, UninstallResult& result) {
  if (!report.is_object()) return;
  result.restoredThirdParty += ArraySize(report, "restoredThirdParty");
  result.uninstalledMarketplace += ArraySize(report, "uninstalledMarketplace");
  result.recoveredOrphanGates += ArraySize(report, "recoveredOrphanGates");
  const auto warnings = report.find("warnings");
  if (warnings == report.end() || !warnings->is_array()) return;
  for (const nlohmann::json& warning : *warnings) {
    if (warning.is_string()) result.warnings.push_back(warning.get<std::string>());
  }
}

// What stands in the way, in the user's words: the first item, and how many more there are.
std::string CenterKeptMessage(const nlohmann::json& work) {
  const nlohmann::json& first = work.front();
  const std::string kind = first.value("kind", std::string());
  const std::string name =
      WideToUtf8(fs::path(Utf8ToWide(first.value("name", std::string()))).filename().native());
  std::string what;
  if (kind == "registry") {
    what = "插件注册表正被其他程序使用 (" + name + ")";
  } else if (kind == "pending") {
    what = "被占用的旧文件尚待删除 (" + name + ")";
  } else if (kind == "tombstone") {
    what = "插件卸载的清理尚未完成 (" + name + ")";
  } else if (kind == "journal") {
    what = "插件托管尚未完成 (" + name + ")";
  } else if (kind == "entry") {
    what = "插件文件 " + name + " 正被其他程序使用";
  } else if (kind == "root") {
    what = "插件目录暂时无法读取";
  } else {
    what = "插件 " + name + " 尚未还原或卸载";
  }
  if (work.size() > 1) what += " 等 " + std::to_string(work.size()) + " 项";
  return kCenterKeptPrefix + what + kCenterKeptAdvice;
}

const nlohmann::json* RemainingWorkOf(const nlohmann::json& report) {
  if (!report.is_object()) return nullptr;
  const auto it = report.find("remainingWork");
  if (it == report.end() || !it->is_array() || it->empty()) return nullptr;
  return &*it;
}

void RemoveRootFile(const fs::path& dir, const wchar_t* name, const char* failure_text,
                    const UninstallSteps& steps, UninstallResult& result) {
  const fs::path path = dir / name;
  if (!Present(path)) return;
  std::string error;
  if (!steps.remove_state_file(path, error)) result.warnings.push_back(failure_text + error);
}

// Removed or already absent.
bool PurgeGlobalDirectory(const fs::path& path, const UninstallSteps& steps,
                          UninstallResult& result) {
  if (!Present(path)) return true;
  return steps.remove_tree(path, result.warnings);
}

// The plugin center's own files leave the root only while nothing there still depends on its
// managed state: checked again under the root-gate lock right before, so that the plugin
// manager cannot take a plugin under management in between. False when the center stays.
bool RemoveCenter(const fs::path& dir, const nlohmann::json& report, const UninstallSteps& steps,
                  UninstallResult& result) {
  auto keep = [&result](const std::string& message) {
    result.warnings.push_back(message);
    if (result.unfinished.empty()) result.unfinished = message;
    return false;
  };
  if (const nlohmann::json* work = RemainingWorkOf(report)) return keep(CenterKeptMessage(*work));
  RootGateLock lock;
  if (!lock.owned()) {
    return keep(std::string(kCenterKeptPrefix) + "插件管理器正在使用插件目录" + kCenterKeptAdvice);
  }
  if (steps.remaining_work) {
    nlohmann::json again = nlohmann::json::object();
    again["remainingWork"] = steps.remaining_work(dir);
    if (const nlohmann::json* work = RemainingWorkOf(again)) return keep(CenterKeptMessage(*work));
  }
  RemoveRootFile(dir, L"!kel-plugin-gate.rb", "删除 !kel-plugin-gate.rb 失败: ", steps, result);
  RemoveRootFile(dir, L"kel_plugin_center.rb", "删除 kel_plugin_center.rb 失败: ", steps, result);
  const fs::path center_dir = dir / L"kel_plugin_center";
  if (Present(center_dir)) steps.remove_tree(center_dir, result.warnings);
  return true;
}

fs::path LocalAppDataDir() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= 1 && length <= 32767) return std::wstring(buffer.data(), length);
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
  unique_cotaskmem owner(raw);
  if (FAILED(hr) || raw == nullptr) return {};
  return std::wstring(raw);
}

}  // namespace

UninstallSteps ProductionUninstallSteps() {
  UninstallSteps steps;
  steps.decommission_root = [](const fs::path& root, nlohmann::json& report, std::string& error) {
    return DecommissionPluginsRoot(root, report, error);
  };
  steps.remove_state_file = [](const fs::path& path, std::string& error) {
    return RemoveStateFile(path, error);
  };
  steps.remove_tree = RemoveTreeOrScheduleAtReboot;
  steps.discover = DiscoverSketchUpInstallations;
  steps.local_app_data = LocalAppDataDir;
  steps.remaining_work = CenterRemainingWork;
  return steps;
}

UninstallResult RunUninstall(const std::vector<std::wstring>& pluginsDirs, bool purgeGlobal,
                             const ProgressCallback& progress) {
  return RunUninstall(pluginsDirs, purgeGlobal, progress, ProductionUninstallSteps());
}

UninstallResult RunUninstall(const std::vector<std::wstring>& pluginsDirs, bool purgeGlobal,
                             const ProgressCallback& progress, const UninstallSteps& steps) {
  UninstallResult result;
  if (pluginsDirs.empty()) {
    result.error = kNoDirectoryError;
    return result;
  }

  // A center kept anywhere this run touched (a --target folder that discovery does not list
  // included) still needs the shared login.
  bool center_kept = false;
  const std::size_t count = pluginsDirs.size();
  for (std::size_t i = 0; i < count; ++i) {
    const fs::path dir(pluginsDirs[i]);
    if (!IsUsablePluginsDirectory(dir)) {
      result.warnings.push_back(kSkipInvalidDirectory + WideToUtf8(pluginsDirs[i]));
      continue;
    }
    const int base = static_cast<int>(i * 85 / count);

    // Never beside an install or another uninstall of the same folder.
    PluginsFolderLock lock;
    std::string lock_error;
    if (!lock.Acquire(dir, lock_error)) {
      result.warnings.push_back(lock_error);
      if (result.unfinished.empty()) result.unfinished = lock_error;
      center_kept = true;
      continue;
    }
    // An install killed halfway is first put back or finished: its aside copies beside the
    // loader would otherwise outlive the center.
    std::string recovery_error;
    if (!RecoverUnfinishedDeployment(dir, recovery_error)) result.warnings.push_back(recovery_error);

    Report(progress, base + 10, kScanProgress);
    nlohmann::json report;
    std::string error;
    steps.decommission_root(dir, report, error);
    AddScanReport(report, result);
    if (!error.empty()) result.warnings.push_back(error);

    // While anything in the root still depends on the center's managed state (a gate, a
    // tombstone, a registry not yet read), the center stays whole: SketchUp keeps loading it
    // and the next run finishes the job. Otherwise it goes, so no loader gate outlives it.
    Report(progress, base + 45, kCleanupProgress);
    if (!RemoveCenter(dir, report, steps, result)) center_kept = true;
  }

  // Decided from a fresh look at the machine: another SketchUp version may still hold the
  // center and with it the shared login.
  bool center_remains = center_kept;
  for (const SketchUpTarget& target : steps.discover()) {
    if (target.centerPresent) center_remains = true;
  }
  if (purgeGlobal || !center_remains) {
    Report(progress, 90, kPurgeProgress);
    const fs::path local = steps.local_app_data();
    bool removed = true;
    for (const wchar_t* name : {kPlatformDataDirName, kPluginManagerDataDirName}) {
      if (local.empty()) continue;
      if (!PurgeGlobalDirectory(local / name, steps, result)) removed = false;
    }
    result.globalPurged = removed;
  }

  result.success = result.warnings.empty();
  Report(progress, 100, result.success ? kDoneProgress : kDoneWithWarningsProgress);
  return result;
}

}  // namespace kel
