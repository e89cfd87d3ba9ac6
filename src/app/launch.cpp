#include "app/launch.h"

#include <windows.h>

#include <system_error>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"

namespace kel {
namespace {

// Any non-empty active_token.txt means the user has logged in before; an unreadable size
// counts as present so that a working login is never asked for again.
bool LoginMarkerExists() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return false;
  buffer.resize(length);
  const std::filesystem::path marker =
      std::filesystem::path(buffer) / L"KelPlatformV3" / L"active_token.txt";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(marker, ec)) return false;
  const std::uintmax_t size = std::filesystem::file_size(marker, ec);
  return ec || size != 0;
}

}  // namespace

bool LaunchPluginManager(const std::filesystem::path& pluginsDir, std::string& error) {
  const std::filesystem::path exe =
      pluginsDir / L"kel_plugin_center" / L"bin" / L"KelPluginManager.exe";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(exe, ec)) {
    error = "未找到已安装的 KelPluginManager.exe: " + WideToUtf8(exe.wstring());
    return false;
  }
  SetEnvironmentVariableW(L"KEL_PLUGINS_DIR", pluginsDir.c_str());
  const bool logged_in = LoginMarkerExists();
  if (!logged_in) SetEnvironmentVariableW(L"KEL_INITIAL_LOGIN", L"1");

  std::wstring command_line = L"\"" + exe.wstring() + L"\"";
  if (!logged_in) command_line += L" --initial-login";
  const std::wstring directory = exe.parent_path().wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      DETACHED_PROCESS, nullptr, directory.c_str(), &startup, &info)) {
    error = WinErrorText("启动 KelPluginManager.exe 失败", GetLastError());
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace kel
