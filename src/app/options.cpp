#include "app/options.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string_view>

#include "common/handles.h"
#include "common/text.h"

namespace kel {
namespace {

struct ProcessWide {
  SetupOptions options;
  std::string resolvedOrigin;
};

// Never destroyed: a worker may still read it while the process ends.
ProcessWide& Process() {
  static ProcessWide& process = *new ProcessWide;
  return process;
}

}  // namespace

SetupOptions ParseCommandLineText(const wchar_t* command_line) {
  SetupOptions options;
  int count = 0;
  LPWSTR* raw = CommandLineToArgvW(command_line, &count);
  if (raw == nullptr) return options;
  unique_hlocal owner(reinterpret_cast<HLOCAL>(raw));

  // A value option takes the next element verbatim; as the last element its value is empty.
  auto take_value = [&](int& i) -> std::wstring {
    if (i + 1 >= count) return {};
    ++i;
    return raw[i];
  };
  for (int i = 1; i < count; ++i) {
    const std::wstring_view arg = raw[i];
    if (arg == L"--update") {
      options.mode = "update";
    } else if (arg == L"--uninstall") {
      options.mode = "uninstall";
    } else if (arg == L"--install-silent") {
      options.mode = "install-silent";
      options.silent = true;
    } else if (arg == L"--silent") {
      options.silent = true;
    } else if (arg == L"--purge-global") {
      options.purge_global = true;
    } else if (arg == L"--no-launch") {
      options.no_launch = true;
    } else if (arg == L"--allow-downgrade") {
      options.allow_downgrade = true;
    } else if (arg == L"--target") {
      options.target = take_value(i);
    } else if (arg == L"--package") {
      options.package = take_value(i);
    } else if (arg == L"--origin") {
      options.origin = WideToUtf8(take_value(i));
    } else if (arg == L"--log") {
      options.log = take_value(i);
    } else if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      options.help = true;
    } else if (arg == L"--wait-pid") {
      const std::wstring value = take_value(i);
      // unsigned long is 32 bits here, so an out-of-range value saturates at 4294967295.
      options.wait_pid = static_cast<std::uint32_t>(std::wcstoul(value.c_str(), nullptr, 10));
    }
  }
  return options;
}

SetupOptions ParseCommandLine() { return ParseCommandLineText(GetCommandLineW()); }

std::wstring HelpText() {
  return L"用法：KelSetup.exe [选项]\n"
         L"不带选项时打开安装向导。选项须完整书写并区分大小写；带值的选项取其后的一个参数。\n\n"
         L"--silent\t不显示窗口：安装/更新检测到的每个 SketchUp 版本（或 --target），以退出代码报告结果\n"
         L"--install-silent\t同 --silent\n"
         L"--update\t自动更新勾选的版本（与 --silent 同用：静默更新）\n"
         L"--uninstall\t卸载插件中心（与 --silent 同用：不显示任何窗口）\n"
         L"--target 目录\t只处理这一个 Plugins 目录\n"
         L"--package 安装包\t使用此离线安装包，不从服务器下载\n"
         L"--origin 地址\t后端服务器地址（否则依次取 KEL_CLOUD_ORIGIN、KEL_BACKEND_ORIGIN、"
         L"agent.properties、默认地址）\n"
         L"--wait-pid 进程号\t先等待该进程结束，最多 15 秒\n"
         L"--purge-global\t卸载时同时清除全局登录凭据与缓存\n"
         L"--no-launch\t安装后不启动插件管理器\n"
         L"--allow-downgrade\t允许安装低于已安装版本的已签名版本\n"
         L"--log 文件\t将运行过程追加写入此日志文件（UTF-8）\n"
         L"--help, -h, /?\t显示本帮助\n\n"
         L"静默运行的退出代码：\n"
         L"0\t成功\n"
         L"2\t未找到 SketchUp 的 Plugins 目录\n"
         L"3\t无法获取服务器上的最新版本信息\n"
         L"4\t安装或卸载失败（卸载留有待重启后删除的文件时也为 4；关闭 SketchUp 后再次运行即可完成）";
}

void InitializeProcessOptions(SetupOptions options, std::string resolved_origin) {
  Process().options = std::move(options);
  Process().resolvedOrigin = std::move(resolved_origin);
}

const SetupOptions& ProcessOptions() { return Process().options; }
const std::string& ResolvedOrigin() { return Process().resolvedOrigin; }

}  // namespace kel
