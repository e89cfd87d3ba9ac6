#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kel {

// One SketchUp version found on this machine and the state of its per-user Plugins folder.
struct SketchUpTarget {
  std::int32_t year = 0;  // 2023..2027; 0 for a folder the user added by hand
  std::filesystem::path pluginsDir;
  bool pluginsDirUsable = false;  // a real directory, not a link or other reparse point
  bool centerPresent = false;     // usable, and kel_plugin_center is a real directory in it
  std::string installedVersion;   // UTF-8; empty when absent or unreadable
  // An install or update of the folder was stopped halfway (its record is there): whatever
  // VERSION says, the folder is not up to date.
  bool deploymentUnfinished = false;
};

// SketchUp 2027 down to 2023, newest first. Never fails; an unknown roaming folder gives an
// empty list.
std::vector<SketchUpTarget> DiscoverSketchUpInstallations();

// Program Files folders (three variables) or the HKLM key of that year.
bool IsSketchUpInstalled(std::int32_t year);

// %APPDATA% or the roaming known folder; empty when neither is available.
std::filesystem::path RoamingAppDataDir();

// True while any process with the image name SketchUp.exe (any case) runs.
bool IsSketchUpRunning();

// The one test for a link, junction or any other reparse point.
bool IsLinkOrReparsePoint(const std::filesystem::path& path);

}  // namespace kel
