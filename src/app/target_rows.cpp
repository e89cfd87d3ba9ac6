#include "app/target_rows.h"

#include <cwchar>
#include <filesystem>
#include <system_error>

#include "common/text.h"
#include "sketchup/installed_version.h"

namespace kel {

namespace {

namespace fs = std::filesystem;

bool IsDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool OlderThanRelease(const SketchUpTarget& target, const std::string& releaseVersion,
                      const TargetEnvironment& env) {
  if (target.deploymentUnfinished) return true;
  const std::string installed =
      target.installedVersion.empty() ? kUnknownInstalledVersion : target.installedVersion;
  return env.compareVersions(installed, releaseVersion) == -1;
}

void Examine(TargetRow& row, const TargetEnvironment& env) {
  const fs::path dir(row.pluginsDir);
  row.pluginsDirUsable = IsDirectory(dir);
  row.centerPresent = IsDirectory(dir / L"kel_plugin_center");
  row.installedVersion = row.centerPresent ? env.readInstalledVersion(dir.wstring()) : std::string();
  row.deploymentUnfinished = row.centerPresent && HasUnfinishedDeployment(dir);
}

}  // namespace

std::wstring RowLabel(const TargetRow& row, const std::optional<std::string>& releaseVersion,
                      const TargetEnvironment& env) {
  std::wstring label;
  if (row.year < 1) {
    label = L"自定义目录 (" + fs::path(row.pluginsDir).wstring() + L")";
  } else {
    label = L"SketchUp " + std::to_wstring(row.year);
  }
  if (row.centerPresent) {
    const std::string installed =
        row.installedVersion.empty() ? kUnknownInstalledVersion : row.installedVersion;
    label += L"  —  已安装 v" + Utf8ToWide(installed);
    if (row.deploymentUnfinished) {
      label += L"  （上次更新未完成）";
      if (releaseVersion) label += L"  →  将重新更新至 v" + Utf8ToWide(*releaseVersion);
    } else if (releaseVersion) {
      if (env.compareVersions(installed, *releaseVersion) == -1) {
        label += L"  →  可差异更新至 v" + Utf8ToWide(*releaseVersion);
      } else {
        label += L"  （已是最新）";
      }
    }
  } else {
    label += L"  —  未安装";
    if (releaseVersion) label += L"（将全量安装 v" + Utf8ToWide(*releaseVersion) + L"）";
  }
  return label;
}

TargetRow ExamineCustomDir(const std::wstring& pluginsDir, const TargetEnvironment& env) {
  TargetRow row;
  row.year = 0;
  row.pluginsDir = pluginsDir;
  Examine(row, env);
  row.checked = true;
  row.custom = true;
  return row;
}

std::vector<TargetRow> BuildTargetRows(const std::vector<TargetRow>& current,
                                       const TargetEnvironment& env,
                                       const std::optional<std::string>& releaseVersion,
                                       const std::wstring& target) {
  std::vector<TargetRow> rows;
  for (const TargetRow& old : current) {
    if (!old.custom) continue;
    TargetRow row = old;
    Examine(row, env);
    rows.push_back(std::move(row));
  }
  for (SketchUpTarget& found : env.discover()) {
    TargetRow row;
    static_cast<SketchUpTarget&>(row) = std::move(found);
    row.custom = false;
    row.checked = !row.centerPresent || !releaseVersion ||
                  OlderThanRelease(row, *releaseVersion, env);
    rows.push_back(std::move(row));
  }
  if (!target.empty()) {
    bool matched = false;
    for (TargetRow& row : rows) {
      row.checked = SameDirectory(fs::path(row.pluginsDir).wstring(), target);
      matched = matched || row.checked;
    }
    if (!matched) rows.insert(rows.begin(), ExamineCustomDir(target, env));
  }
  return rows;
}

void CheckRowsHoldingCenter(std::vector<TargetRow>& rows, bool targetGiven) {
  for (TargetRow& row : rows) {
    // A folder named by "--target" that kept only the loader or the gate of an earlier
    // center is still the center's to clean up.
    const bool holds = row.centerPresent || (targetGiven && row.checked &&
                                             HoldsCenterLeftovers(row.pluginsDir));
    row.checked = holds && (!targetGiven || row.checked);
  }
}

bool HoldsCenterLeftovers(const std::wstring& pluginsDir) {
  for (const wchar_t* name : {L"kel_plugin_center.rb", L"!kel-plugin-gate.rb"}) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(fs::path(pluginsDir) / name, ec);
    // A status that cannot be read is no proof of absence: the uninstall looks closer.
    if (status.type() != fs::file_type::not_found) return true;
  }
  return false;
}

bool SameDirectory(const std::wstring& a, const std::wstring& b) {
  std::error_code ec;
  if (fs::equivalent(fs::path(a), fs::path(b), ec) && !ec) return true;
  return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

std::wstring ChosenPluginsDir(const std::wstring& chosen) {
  const fs::path path(chosen);
  fs::path last = path.filename();
  if (last.empty()) last = path.parent_path().filename();  // a trailing separator
  if (_wcsicmp(last.c_str(), L"Plugins") == 0) return chosen;
  if (IsDirectory(path / L"Plugins")) return (path / L"Plugins").wstring();
  // The version folder itself keeps its Plugins one level further down.
  if (IsDirectory(path / L"SketchUp" / L"Plugins")) return (path / L"SketchUp" / L"Plugins").wstring();
  return chosen;
}

}  // namespace kel
