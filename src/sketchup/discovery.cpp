#include "sketchup/discovery.h"

#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <system_error>
#include <vector>

#include "common/handles.h"
#include "sketchup/installed_version.h"

namespace kel {
namespace {

constexpr std::int32_t kNewestYear = 2027;
constexpr std::int32_t kOldestYear = 2023;

// Any failing status query counts as "not a directory".
bool IsDirectory(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

bool IsRealDirectory(const std::filesystem::path& path) {
  return IsDirectory(path) && !IsLinkOrReparsePoint(path);
}

std::wstring VersionName(std::int32_t year) { return L"SketchUp " + std::to_wstring(year); }

}  // namespace

std::filesystem::path RoamingAppDataDir() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"APPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= 1 && length <= 32767) return std::wstring(buffer.data(), length);
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &raw);
  unique_cotaskmem owner(raw);
  if (FAILED(hr) || raw == nullptr) return {};
  return std::wstring(raw);
}

bool IsLinkOrReparsePoint(const std::filesystem::path& path) {
  std::error_code ec;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return true;
  }
  return std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::symlink;
}

bool IsSketchUpInstalled(std::int32_t year) {
  for (const wchar_t* name : {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"}) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) continue;
    const std::filesystem::path base(std::wstring(value, length));
    if (IsDirectory(base / L"SketchUp" / VersionName(year))) return true;
    if (IsDirectory(base / (L"su" + std::to_wstring(year)))) return true;
  }
  const std::wstring key = L"SOFTWARE\\SketchUp\\" + VersionName(year);
  unique_hkey opened;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, opened.put()) ==
         ERROR_SUCCESS;
}

std::vector<SketchUpTarget> DiscoverSketchUpInstallations() {
  std::vector<SketchUpTarget> targets;
  const std::filesystem::path roaming = RoamingAppDataDir();
  if (roaming.empty()) return targets;
  for (std::int32_t year = kNewestYear; year >= kOldestYear; --year) {
    const std::filesystem::path versionDir = roaming / L"SketchUp" / VersionName(year);
    const std::filesystem::path pluginsDir = versionDir / L"SketchUp" / L"Plugins";
    const bool usable = IsRealDirectory(pluginsDir);
    const bool versionDirExists = IsDirectory(versionDir);
    if (!usable && !versionDirExists && !IsSketchUpInstalled(year)) continue;
    SketchUpTarget target;
    target.year = year;
    target.pluginsDir = pluginsDir;
    target.pluginsDirUsable = usable;
    target.centerPresent = usable && IsRealDirectory(pluginsDir / L"kel_plugin_center");
    if (target.centerPresent) {
      target.installedVersion = ReadInstalledVersion(pluginsDir);
      target.deploymentUnfinished = HasUnfinishedDeployment(pluginsDir);
    }
    targets.push_back(std::move(target));
  }
  return targets;
}

bool IsSketchUpRunning() {
  unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"SketchUp.exe") == 0) return true;
  }
  return false;
}

}  // namespace kel
