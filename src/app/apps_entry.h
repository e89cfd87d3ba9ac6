#pragma once
// The per-user Apps & features entry of the plugin center: a copy of this program under
// %LOCALAPPDATA%\Programs\KelPluginCenter and the key
// HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelPluginCenter that runs it. Kept in
// line with the Plugins folders that hold the center after every install or uninstall run.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kel {

inline constexpr wchar_t kAppsEntryKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KelPluginCenter";
inline constexpr char kAppsEntryDefaultName[] = "Kel 插件中心";
inline constexpr char kAppsEntryPublisher[] = "Kelmar";

// What the entry says, from the folders that hold the center.
struct AppsEntryValues {
  std::string displayName;
  std::string displayVersion;  // the highest installed version
  std::uint64_t sizeKiB = 0;   // of every center installed
};

// The folders that hold the center now: the discovered ones and those of the run
// (`runDirs`), each once. `known` is false when a folder could not be looked at: then nothing
// may be concluded from an empty list.
struct CenterHolders {
  std::vector<std::filesystem::path> dirs;
  bool known = true;
};
CenterHolders FindCenterHolders(const std::vector<std::wstring>& runDirs);

// Brings the entry and the program copy in line with the folders holding the center: written
// while one does, removed with the copy when none does any more (a run of the copy itself
// moves its own image to the temporary folder first). `pluginName` is the release's name,
// empty when the run knew no release. Never fails the run: returns the lines for the log
// (warnings begin with "warning: ").
// An install run only writes (`mayRemove` false); an uninstall run may also remove.
std::vector<std::string> UpdateAppsEntry(const std::vector<std::wstring>& runDirs,
                                         const std::string& pluginName, bool mayRemove);

}  // namespace kel
