#include "app/target_rows.h"

#include <gtest/gtest.h>

#include "sketchup/installed_version.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

SketchUpTarget Found(int year, const fs::path& dir, bool center, const std::string& version) {
  SketchUpTarget t;
  t.year = year;
  t.pluginsDir = dir;
  t.pluginsDirUsable = true;
  t.centerPresent = center;
  t.installedVersion = version;
  return t;
}

struct Env {
  std::vector<SketchUpTarget> found;
  TargetEnvironment Bind() {
    TargetEnvironment env;
    env.discover = [this] { return found; };
    env.readInstalledVersion = [](const std::wstring& dir) { return ReadInstalledVersion(dir); };
    env.compareVersions = [](const std::string& a, const std::string& b) {
      return CompareVersions(a, b);
    };
    return env;
  }
};

TEST(RowLabel, ReadsAsTheUserSeesIt) {
  Env env;
  TargetEnvironment e = env.Bind();
  TargetRow row;
  row.year = 2025;
  row.pluginsDir = L"C:\\x";
  EXPECT_EQ(RowLabel(row, std::nullopt, e), L"SketchUp 2025  —  未安装");
  EXPECT_EQ(RowLabel(row, "2.1.0", e), L"SketchUp 2025  —  未安装（将全量安装 v2.1.0）");
  row.centerPresent = true;
  row.installedVersion = "1.9.9";
  EXPECT_EQ(RowLabel(row, std::nullopt, e), L"SketchUp 2025  —  已安装 v1.9.9");
  EXPECT_EQ(RowLabel(row, "2.1.0", e), L"SketchUp 2025  —  已安装 v1.9.9  →  可差异更新至 v2.1.0");
  row.installedVersion = "2.1.0";
  EXPECT_EQ(RowLabel(row, "2.1.0", e), L"SketchUp 2025  —  已安装 v2.1.0  （已是最新）");
  row.installedVersion = "3.0";
  EXPECT_EQ(RowLabel(row, "2.1.0", e), L"SketchUp 2025  —  已安装 v3.0  （已是最新）");
  // An unreadable version is shown and compared as 1.0.0.
  row.installedVersion.clear();
  row.year = 0;
  EXPECT_EQ(RowLabel(row, "1.0.0", e), L"自定义目录 (C:\\x)  —  已安装 v1.0.0  （已是最新）");
  // An install stopped halfway is never current, whatever VERSION says.
  row.installedVersion = "2.1.0";
  row.deploymentUnfinished = true;
  EXPECT_EQ(RowLabel(row, "2.1.0", e),
            L"自定义目录 (C:\\x)  —  已安装 v2.1.0  （上次更新未完成）  →  将重新更新至 v2.1.0");
}

TEST(TargetRows, DiscoveredRowsAreCheckedUntilTheReleaseShowsThemUpToDate) {
  Env env;
  env.found = {Found(2026, L"C:\\p26", true, "2.0.0"), Found(2025, L"C:\\p25", true, ""),
               Found(2024, L"C:\\p24", false, "")};
  std::vector<TargetRow> before = BuildTargetRows({}, env.Bind(), std::nullopt, L"");
  ASSERT_EQ(before.size(), 3u);
  for (const TargetRow& row : before) EXPECT_TRUE(row.checked);
  std::vector<TargetRow> after = BuildTargetRows(before, env.Bind(), "2.0.0", L"");
  EXPECT_FALSE(after[0].checked);  // equal
  EXPECT_TRUE(after[1].checked);   // unknown version counts as 1.0.0
  EXPECT_TRUE(after[2].checked);   // nothing installed
  EXPECT_FALSE(after[0].custom);
  EXPECT_TRUE(BuildTargetRows({}, env.Bind(), "1.0.0", L"")[1].checked == false);
  env.found[0].deploymentUnfinished = true;
  EXPECT_TRUE(BuildTargetRows({}, env.Bind(), "2.0.0", L"")[0].checked);
}

TEST(TargetRows, AutomaticUninstallChecksExactlyTheRowsHoldingTheCenter) {
  Env env;
  env.found = {Found(2026, L"C:\\p26", true, "2.0.0"), Found(2025, L"C:\\p25", true, "1.0.0"),
               Found(2024, L"C:\\p24", false, "")};
  // Up to date, older, absent: the release answer must not matter, nor its absence.
  for (const std::optional<std::string>& release :
       {std::optional<std::string>(), std::optional<std::string>("2.0.0")}) {
    std::vector<TargetRow> rows = BuildTargetRows({}, env.Bind(), release, L"");
    CheckRowsHoldingCenter(rows, false);
    EXPECT_EQ((std::vector<bool>{rows[0].checked, rows[1].checked, rows[2].checked}),
              (std::vector<bool>{true, true, false}));
    // With "--target" only the selected row, and only when it holds the center.
    rows = BuildTargetRows({}, env.Bind(), release, L"C:\\P26");
    CheckRowsHoldingCenter(rows, true);
    EXPECT_EQ((std::vector<bool>{rows[0].checked, rows[1].checked, rows[2].checked}),
              (std::vector<bool>{true, false, false}));
    rows = BuildTargetRows({}, env.Bind(), release, L"C:\\p24");
    CheckRowsHoldingCenter(rows, true);
    EXPECT_FALSE(rows[0].checked || rows[1].checked || rows[2].checked);
  }
}

TEST(TargetRows, TargetSelectsOnlyTheMatchingRowIgnoringCase) {
  test::Sandbox box;
  const fs::path dir = box.roaming() / L"SketchUp" / L"SketchUp 2025" / L"SketchUp" / L"Plugins";
  fs::create_directories(dir);
  Env env;
  env.found = {Found(2026, box.root() / L"p26", false, ""), Found(2025, dir, false, "")};
  std::wstring upper = dir.wstring();
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  std::vector<TargetRow> rows = BuildTargetRows({}, env.Bind(), std::nullopt, upper);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].checked);
  EXPECT_TRUE(rows[1].checked);
  // A case-different spelling of a directory that does not exist matches too.
  rows = BuildTargetRows({}, env.Bind(), std::nullopt, L"C:\\NOWHERE\\P26");
  env.found = {Found(2026, L"c:\\nowhere\\p26", false, "")};
  rows = BuildTargetRows({}, env.Bind(), std::nullopt, L"C:\\NOWHERE\\P26");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].checked);
}

TEST(TargetRows, UnknownTargetBecomesACheckedCustomRowAtTheTopAndStaysFirst) {
  test::Sandbox box;
  const fs::path custom = box.root() / L"其他" / L"Plugins";
  fs::create_directories(custom / L"kel_plugin_center");
  test::WriteFileBytes(custom / L"kel_plugin_center" / L"VERSION", "1.5.0\n");
  Env env;
  env.found = {Found(2026, box.root() / L"p26", false, "")};
  TargetEnvironment e = env.Bind();
  std::vector<TargetRow> rows = BuildTargetRows({}, e, "2.0.0", custom.wstring());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].custom);
  EXPECT_TRUE(rows[0].checked);
  EXPECT_EQ(rows[0].year, 0);
  EXPECT_TRUE(rows[0].pluginsDirUsable);
  EXPECT_TRUE(rows[0].centerPresent);
  EXPECT_EQ(rows[0].installedVersion, "1.5.0");
  EXPECT_FALSE(rows[1].checked);
  EXPECT_EQ(RowLabel(rows[0], "2.0.0", e).rfind(L"自定义目录 (" + custom.wstring() + L")", 0), 0u);

  // Rebuilt: the custom row is matched by the target now, so no second one appears.
  rows = BuildTargetRows(rows, e, "2.0.0", custom.wstring());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].checked);
}

TEST(TargetRows, CustomRowsMoveToTheFrontAndAreExaminedAgain) {
  test::Sandbox box;
  const fs::path custom = box.root() / L"mine";
  Env env;
  env.found = {Found(2026, box.root() / L"p26", false, "")};
  TargetEnvironment e = env.Bind();
  std::vector<TargetRow> rows = BuildTargetRows({}, e, std::nullopt, L"");
  TargetRow added = ExamineCustomDir(custom.wstring(), e);
  EXPECT_FALSE(added.pluginsDirUsable);
  rows.push_back(added);
  fs::create_directories(custom / L"kel_plugin_center");
  rows = BuildTargetRows(rows, e, std::nullopt, L"");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].custom);
  EXPECT_TRUE(rows[0].pluginsDirUsable);
  EXPECT_TRUE(rows[0].centerPresent);
  EXPECT_EQ(rows[0].installedVersion, "");
  EXPECT_EQ(rows[1].year, 2026);
}

TEST(ChosenPluginsDir, FindsPluginsBelowTheChosenFolder) {
  test::Sandbox box;
  const fs::path version = box.root() / L"SketchUp 2025";
  const fs::path plugins = version / L"SketchUp" / L"Plugins";
  fs::create_directories(plugins);
  EXPECT_EQ(ChosenPluginsDir(plugins.wstring()), plugins.wstring());
  EXPECT_EQ(ChosenPluginsDir((version / L"SketchUp").wstring()), plugins.wstring());
  EXPECT_EQ(ChosenPluginsDir(version.wstring()), plugins.wstring());
  // A folder named Plugins (any case) is taken as it is, even with a Plugins inside.
  fs::create_directories(box.root() / L"PLUGINS" / L"Plugins");
  EXPECT_EQ(ChosenPluginsDir((box.root() / L"PLUGINS").wstring()), (box.root() / L"PLUGINS").wstring());
  EXPECT_EQ(ChosenPluginsDir((box.root() / L"empty").wstring()), (box.root() / L"empty").wstring());
}

}  // namespace
}  // namespace kel
