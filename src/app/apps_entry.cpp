#include "app/apps_entry.h"

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <system_error>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "sketchup/discovery.h"
#include "sketchup/installed_version.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr char kUnknownVersion[] = "1.0.0";  // as the wizard shows an unreadable version

fs::path LocalAppData() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= 1 && length < buffer.size()) return buffer.substr(0, length);
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
  unique_cotaskmem owner(raw);
  if (FAILED(hr) || raw == nullptr) return {};
  return std::wstring(raw);
}

fs::path RunningProgram() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return buffer.substr(0, length);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// Both names open the same file (volume and file index).
bool SameFile(const fs::path& a, const fs::path& b) {
  auto id = [](const fs::path& path, BY_HANDLE_FILE_INFORMATION& info) {
    unique_file file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    return file && GetFileInformationByHandle(file.get(), &info);
  };
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return id(a, x) && id(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

std::wstring TemporaryName(const fs::path& beside) {
  static std::atomic<unsigned> counter{0};
  return beside.wstring() + L".tmp." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(++counter);
}

std::string Failure(const char* what, DWORD code, const fs::path& path) {
  return "warning: " + WinErrorText(what, code) + ": " + WideToUtf8(path.wstring());
}

bool IsInUse(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_LOCK_VIOLATION || code == ERROR_USER_MAPPED_FILE;
}

// The program copy, replaced atomically: written beside, then renamed over. A copy that is in
// use (it is running) stays as it is.
void PlaceCopy(const fs::path& self, const fs::path& copy, std::vector<std::string>& log) {
  if (SameFile(self, copy)) return;
  std::error_code ec;
  fs::create_directories(copy.parent_path(), ec);
  if (ec) {
    log.push_back("warning: the program copy's folder cannot be created: " +
                  WideToUtf8(copy.parent_path().wstring()));
    return;
  }
  const std::wstring temporary = TemporaryName(copy);
  if (!CopyFileW(self.c_str(), temporary.c_str(), TRUE)) {
    log.push_back(Failure("复制程序失败", GetLastError(), copy));
    DeleteFileW(temporary.c_str());
    return;
  }
  if (!MoveFileExW(temporary.c_str(), copy.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    DeleteFileW(temporary.c_str());
    if (IsInUse(code) && GetFileAttributesW(copy.c_str()) != INVALID_FILE_ATTRIBUTES) {
      log.push_back("the program copy is in use and stays as it is: " + WideToUtf8(copy.wstring()));
    } else {
      log.push_back(Failure("替换程序副本失败", code, copy));
    }
    return;
  }
  log.push_back("program copy placed at " + WideToUtf8(copy.wstring()));
}

// The copy goes; when it is the running program, its image moves to the temporary folder
// (a running program can be renamed, not deleted), where a later run's sweep of stale
// temporary files removes it.
void RemoveCopy(const fs::path& self, const fs::path& copy, std::vector<std::string>& log) {
  if (GetFileAttributesW(copy.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      log.push_back(Failure("读取程序副本失败", code, copy));
      return;
    }
  } else if (SameFile(self, copy)) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    const fs::path aside = fs::path(std::wstring(temp, length)) /
                           (L"kel_setup_finish_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                            std::to_wstring(GetTickCount64()) + L".exe");
    if (length == 0 || length > MAX_PATH || !MoveFileExW(copy.c_str(), aside.c_str(), 0)) {
      log.push_back(Failure("移走正在运行的程序副本失败", GetLastError(), copy));
      return;
    }
    log.push_back("the running program copy finishes from " + WideToUtf8(aside.wstring()));
  } else if (!DeleteFileW(copy.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    log.push_back(Failure("删除程序副本失败", GetLastError(), copy));
    return;
  }
  // Only when empty: anything else someone put there stays.
  RemoveDirectoryW(copy.parent_path().c_str());
  log.push_back("program copy removed: " + WideToUtf8(copy.wstring()));
}

std::uint64_t TreeBytes(const fs::path& path) {
  std::uint64_t total = 0;
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(path, ec))) {
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : size;
  }
  for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    std::error_code entry_ec;
    if (it->is_regular_file(entry_ec) && !it->is_symlink(entry_ec)) {
      const auto size = it->file_size(entry_ec);
      if (!entry_ec) total += size;
    }
  }
  return total;
}

std::string ReadExistingName(HKEY key) {
  wchar_t buffer[1024] = {};
  DWORD type = 0;
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  if (RegQueryValueExW(key, L"DisplayName", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return WideToUtf8(std::wstring(buffer, wcsnlen(buffer, bytes / sizeof(wchar_t))));
}

std::string Today() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char text[16];
  snprintf(text, sizeof(text), "%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
  return text;
}

void WriteEntry(const AppsEntryValues& values, const fs::path& copy,
                std::vector<std::string>& log) {
  unique_hkey key;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, kAppsEntryKey, 0, nullptr, 0,
                                   KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) {
    log.push_back("warning: " + WinErrorText("写入应用卸载信息失败", status));
    return;
  }
  std::string name = values.displayName;
  if (name.empty()) name = ReadExistingName(key.get());
  if (name.empty()) name = kAppsEntryDefaultName;
  const std::wstring program = copy.wstring();
  const std::wstring quoted = L"\"" + program + L"\"";
  const struct {
    const wchar_t* name;
    std::wstring text;
  } texts[] = {
      {L"DisplayName", Utf8ToWide(name)},
      {L"DisplayVersion", Utf8ToWide(values.displayVersion)},
      {L"Publisher", Utf8ToWide(kAppsEntryPublisher)},
      {L"DisplayIcon", program},
      {L"InstallLocation", copy.parent_path().wstring()},
      {L"UninstallString", quoted + L" --uninstall"},
      {L"QuietUninstallString", quoted + L" --silent --uninstall"},
      {L"InstallDate", Utf8ToWide(Today())},
  };
  for (const auto& text : texts) {
    const DWORD bytes = static_cast<DWORD>((text.text.size() + 1) * sizeof(wchar_t));
    status = RegSetValueExW(key.get(), text.name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.text.c_str()), bytes);
    if (status != ERROR_SUCCESS) break;
  }
  const DWORD size = values.sizeKiB > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(values.sizeKiB);
  const struct {
    const wchar_t* name;
    DWORD value;
  } numbers[] = {{L"EstimatedSize", size}, {L"NoModify", 1}, {L"NoRepair", 1}};
  for (const auto& number : numbers) {
    if (status != ERROR_SUCCESS) break;
    status = RegSetValueExW(key.get(), number.name, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&number.value), sizeof(number.value));
  }
  if (status != ERROR_SUCCESS) {
    log.push_back("warning: " + WinErrorText("写入应用卸载信息失败", status));
    return;
  }
  log.push_back("Apps & features entry: " + name + " v" + values.displayVersion + ", " +
                std::to_string(values.sizeKiB) + " KiB");
}

void DeleteEntry(std::vector<std::string>& log) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, kAppsEntryKey);
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) {
    log.push_back("warning: " + WinErrorText("删除应用卸载信息失败", status));
    return;
  }
  log.push_back("Apps & features entry removed");
}

}  // namespace

CenterHolders FindCenterHolders(const std::vector<std::wstring>& runDirs) {
  CenterHolders holders;
  auto add = [&holders](const fs::path& dir) {
    for (const fs::path& known : holders.dirs) {
      if (EqualsIgnoreCase(known.lexically_normal().wstring(), dir.lexically_normal().wstring()))
        return;
    }
    holders.dirs.push_back(dir);
  };
  try {
    for (const SketchUpTarget& target : DiscoverSketchUpInstallations()) {
      if (target.centerPresent) add(target.pluginsDir);
    }
  } catch (...) {
    holders.known = false;
  }
  for (const std::wstring& dir : runDirs) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(fs::path(dir) / L"kel_plugin_center", ec);
    if (fs::is_directory(status)) {
      add(dir);
    } else if (status.type() != fs::file_type::not_found) {
      holders.known = false;  // could not tell
    }
  }
  return holders;
}

std::vector<std::string> UpdateAppsEntry(const std::vector<std::wstring>& runDirs,
                                         const std::string& pluginName, bool mayRemove) {
  std::vector<std::string> log;
  const fs::path local = LocalAppData();
  const fs::path self = RunningProgram();
  if (local.empty() || self.empty()) {
    log.push_back("warning: the Apps & features entry is not kept: no local application data folder");
    return log;
  }
  const fs::path copy = local / L"Programs" / L"KelPluginCenter" / L"KelSetup.exe";
  const CenterHolders holders = FindCenterHolders(runDirs);
  if (holders.dirs.empty()) {
    if (!mayRemove) return log;
    if (!holders.known) {
      log.push_back("warning: the Apps & features entry stays: a Plugins folder could not be read");
      return log;
    }
    DeleteEntry(log);
    RemoveCopy(self, copy, log);
    return log;
  }
  AppsEntryValues values;
  values.displayName = pluginName;
  for (const fs::path& dir : holders.dirs) {
    std::string version = ReadInstalledVersion(dir);
    if (version.empty()) version = kUnknownVersion;
    if (values.displayVersion.empty() || CompareVersions(version, values.displayVersion) > 0) {
      values.displayVersion = version;
    }
    const std::uint64_t bytes = TreeBytes(dir / L"kel_plugin_center") +
                                TreeBytes(dir / L"kel_plugin_center.rb");
    values.sizeKiB += (bytes + 1023) / 1024;
  }
  PlaceCopy(self, copy, log);
  WriteEntry(values, copy, log);
  return log;
}

}  // namespace kel
