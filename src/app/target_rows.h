#pragma once
// The wizard's list of target Plugins directories: which rows exist, which start checked,
// and how each row reads. No window here; the window fills its list control from these rows.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sketchup/discovery.h"

namespace kel {

struct TargetRow : SketchUpTarget {
  bool checked = false;
  bool custom = false;  // added by hand or by "--target"
};

// What the list needs from the machine, passed in so tests can stand in for it.
struct TargetEnvironment {
  std::function<std::vector<SketchUpTarget>()> discover;
  std::function<std::string(const std::wstring& pluginsDir)> readInstalledVersion;
  std::function<int(const std::string& a, const std::string& b)> compareVersions;
};

// The list's only item when no row exists.
inline constexpr wchar_t kNoSketchUpHint[] =
    L"未自动检测到本机 SketchUp 目录，请点击右侧“浏览 Plugins 目录”手动选择";

// Shown for an installed plugin center whose version cannot be read.
inline constexpr char kUnknownInstalledVersion[] = "1.0.0";

// `releaseVersion` is the known release's versionCode, absent while no release is known.
std::wstring RowLabel(const TargetRow& row, const std::optional<std::string>& releaseVersion,
                      const TargetEnvironment& env);

// A row for a directory that discovery does not know (checked, custom, year 0).
TargetRow ExamineCustomDir(const std::wstring& pluginsDir, const TargetEnvironment& env);

// The rows after a rebuild: custom rows first (re-examined), then discovery's, then the
// "--target" selection (`target` empty = none).
std::vector<TargetRow> BuildTargetRows(const std::vector<TargetRow>& current,
                                       const TargetEnvironment& env,
                                       const std::optional<std::string>& releaseVersion,
                                       const std::wstring& target);

// The automatic uninstall's selection: exactly the rows whose folder holds the plugin
// center (of those "--target" selected, when it was given), whatever the release query said.
// The "--target" row also stays checked when it holds only the center's leftovers.
void CheckRowsHoldingCenter(std::vector<TargetRow>& rows, bool targetGiven);

// The folder holds "kel_plugin_center.rb" or "!kel-plugin-gate.rb" (or cannot tell).
bool HoldsCenterLeftovers(const std::wstring& pluginsDir);

// Both name the same directory: the same file-system object, or equal ignoring case.
bool SameDirectory(const std::wstring& a, const std::wstring& b);

// The folder browser's choice: a SketchUp version folder (or its SketchUp subfolder) stands
// for the Plugins folder inside it.
std::wstring ChosenPluginsDir(const std::wstring& chosen);

}  // namespace kel
