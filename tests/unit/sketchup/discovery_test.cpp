#include "sketchup/discovery.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <optional>

#include "common/handles.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::Sandbox;
using test::WriteFileBytes;

fs::path PluginsOf(const Sandbox& sandbox, int year) {
  return sandbox.roaming() / L"SketchUp" / (L"SketchUp " + std::to_wstring(year)) / L"SketchUp" /
         L"Plugins";
}

std::vector<int> Years(const std::vector<SketchUpTarget>& targets) {
  std::vector<int> years;
  for (const auto& target : targets) years.push_back(target.year);
  return years;
}

// Sets (or clears, with nullopt) a variable and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length > 0 && length < 32768) saved_ = std::wstring(buffer, length);
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_, saved_ ? saved_->c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> saved_;
};

// The machine key of one SketchUp year. Other tests and end-to-end runs share the Wine prefix
// and would see a real HKLM key, so HKLM is redirected for this process alone to a private key
// below HKCU; the code under test still opens HKEY_LOCAL_MACHINE.
class ScopedMachineKey {
 public:
  explicit ScopedMachineKey(int year)
      : root_(L"Software\\KelTest\\Machine_" + std::to_wstring(GetCurrentProcessId())) {
    unique_hkey machine;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        machine.put(), nullptr) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.get()) != ERROR_SUCCESS) {
      return;
    }
    overridden_ = true;
    const std::wstring path = L"SOFTWARE\\SketchUp\\SketchUp " + std::to_wstring(year);
    unique_hkey key;
    created_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                               nullptr, key.put(), nullptr) == ERROR_SUCCESS;
  }
  ~ScopedMachineKey() {
    if (overridden_) RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
  }
  bool created() const { return created_; }

 private:
  std::wstring root_;
  bool overridden_ = false;
  bool created_ = false;
};

TEST(Discovery, EmptyProfileFindsNothing) {
  Sandbox sandbox;
  EXPECT_TRUE(DiscoverSketchUpInstallations().empty());
  EXPECT_EQ(RoamingAppDataDir(), sandbox.roaming());
}

TEST(Discovery, InstalledButNeverStartedIsListedUnusable) {
  Sandbox sandbox;
  fs::create_directories(sandbox.program_files() / L"SketchUp" / L"SketchUp 2025");
  const auto targets = DiscoverSketchUpInstallations();
  ASSERT_EQ(Years(targets), std::vector<int>{2025});
  EXPECT_EQ(targets[0].pluginsDir, PluginsOf(sandbox, 2025));
  EXPECT_FALSE(targets[0].pluginsDirUsable);
  EXPECT_FALSE(targets[0].centerPresent);
  EXPECT_TRUE(targets[0].installedVersion.empty());
}

TEST(Discovery, EveryInstallFolderFormCounts) {
  Sandbox sandbox;
  fs::create_directories(sandbox.program_files_x86() / L"su2023");
  fs::create_directories(sandbox.program_files() / L"su2026");
  EXPECT_TRUE(IsSketchUpInstalled(2023));
  EXPECT_TRUE(IsSketchUpInstalled(2026));
  EXPECT_FALSE(IsSketchUpInstalled(2024));
  // A file of that name is no installation.
  WriteFileBytes(sandbox.program_files() / L"su2024", "x");
  EXPECT_FALSE(IsSketchUpInstalled(2024));
  EXPECT_EQ(Years(DiscoverSketchUpInstallations()), (std::vector<int>{2026, 2023}));
}

TEST(Discovery, LeftoverPluginsFolderNewestFirstAndOnlyKnownYears) {
  Sandbox sandbox;
  for (int year : {2022, 2024, 2026, 2028}) fs::create_directories(PluginsOf(sandbox, year));
  fs::create_directories(sandbox.program_files() / L"SketchUp" / L"SketchUp 2022");
  fs::create_directories(sandbox.program_files() / L"su2028");
  const auto targets = DiscoverSketchUpInstallations();
  ASSERT_EQ(Years(targets), (std::vector<int>{2026, 2024}));
  EXPECT_TRUE(targets[0].pluginsDirUsable);
  EXPECT_TRUE(targets[1].pluginsDirUsable);
  EXPECT_EQ(targets[1].pluginsDir, PluginsOf(sandbox, 2024));
}

TEST(Discovery, VersionFolderAloneIsListed) {
  Sandbox sandbox;
  fs::create_directories(sandbox.roaming() / L"SketchUp" / L"SketchUp 2027");
  const auto targets = DiscoverSketchUpInstallations();
  ASSERT_EQ(Years(targets), std::vector<int>{2027});
  EXPECT_FALSE(targets[0].pluginsDirUsable);
}

TEST(Discovery, CenterPresentWithVersion) {
  Sandbox sandbox;
  const auto plugins = PluginsOf(sandbox, 2025);
  WriteFileBytes(plugins / L"kel_plugin_center" / L"VERSION", "2.1.0\n");
  auto targets = DiscoverSketchUpInstallations();
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_TRUE(targets[0].centerPresent);
  EXPECT_EQ(targets[0].installedVersion, "2.1.0");
  // A file named like the center's folder is not the center.
  test::RemoveTree(plugins / L"kel_plugin_center");
  WriteFileBytes(plugins / L"kel_plugin_center", "not a folder");
  targets = DiscoverSketchUpInstallations();
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_FALSE(targets[0].centerPresent);
  EXPECT_TRUE(targets[0].installedVersion.empty());
}

TEST(Discovery, LinkedCenterOrPluginsFolderIsNotUsed) {
  if (!test::RunningUnderWine()) GTEST_SKIP() << "links are made as Unix links under Wine";
  Sandbox sandbox;
  std::string reason;
  // The center's folder is a link to a real one holding a version.
  const auto elsewhere = sandbox.root() / L"elsewhere";
  WriteFileBytes(elsewhere / L"VERSION", "9.9.9");
  const auto plugins2026 = PluginsOf(sandbox, 2026);
  fs::create_directories(plugins2026);
  ASSERT_TRUE(test::MakeUnixSymlink(elsewhere, plugins2026 / L"kel_plugin_center", reason))
      << reason;
  // The Plugins folder of 2024 is itself a link to a real folder holding the center.
  const auto realPlugins = sandbox.root() / L"real_plugins";
  WriteFileBytes(realPlugins / L"kel_plugin_center" / L"VERSION", "1.0.0");
  fs::create_directories(PluginsOf(sandbox, 2024).parent_path());
  ASSERT_TRUE(test::MakeUnixSymlink(realPlugins, PluginsOf(sandbox, 2024), reason)) << reason;
  EXPECT_TRUE(IsLinkOrReparsePoint(PluginsOf(sandbox, 2024)));
  EXPECT_FALSE(IsLinkOrReparsePoint(realPlugins));
  EXPECT_FALSE(IsLinkOrReparsePoint(sandbox.root() / L"missing"));

  const auto targets = DiscoverSketchUpInstallations();
  ASSERT_EQ(Years(targets), (std::vector<int>{2026, 2024}));
  EXPECT_TRUE(targets[0].pluginsDirUsable);
  EXPECT_FALSE(targets[0].centerPresent);
  EXPECT_TRUE(targets[0].installedVersion.empty());
  // Still listed: its version folder exists.
  EXPECT_FALSE(targets[1].pluginsDirUsable);
  EXPECT_FALSE(targets[1].centerPresent);
  EXPECT_TRUE(targets[1].installedVersion.empty());
}

TEST(Discovery, MachineRegistryKeyCountsAsInstalled) {
  Sandbox sandbox;
  {
    ScopedMachineKey key(2024);
    ASSERT_TRUE(key.created());
    EXPECT_TRUE(IsSketchUpInstalled(2024));
    EXPECT_EQ(Years(DiscoverSketchUpInstallations()), std::vector<int>{2024});
    // The key really is private: with the redirection lifted the machine has none.
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    EXPECT_FALSE(IsSketchUpInstalled(2024));
  }
  EXPECT_FALSE(IsSketchUpInstalled(2024));
}

TEST(Discovery, ProgramFilesValueMustFitTheBuffer) {
  Sandbox sandbox;
  fs::create_directories(sandbox.program_files_x86() / L"su2025");
  // The same folder named by values of 259 and 260 characters ("\." components are no-ops).
  auto padded = [&](std::size_t length) {
    std::wstring value = sandbox.program_files_x86().wstring();
    while (value.size() + 2 <= length) value += L"\\.";
    if (value.size() < length) value += L"\\";
    return value;
  };
  ScopedEnv x86(L"ProgramFiles(x86)", padded(259));
  ASSERT_EQ(padded(259).size(), 259u);
  EXPECT_TRUE(IsSketchUpInstalled(2025));
  ScopedEnv x86Long(L"ProgramFiles(x86)", padded(260));
  ASSERT_EQ(padded(260).size(), 260u);
  EXPECT_FALSE(IsSketchUpInstalled(2025));
}

TEST(Discovery, UnsetAppDataFallsBackToTheKnownFolder) {
  Sandbox sandbox;
  fs::create_directories(PluginsOf(sandbox, 2025));
  ScopedEnv appdata(L"APPDATA", std::nullopt);
  PWSTR raw = nullptr;
  ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &raw), S_OK);
  unique_cotaskmem owner(raw);
  EXPECT_EQ(RoamingAppDataDir(), fs::path(raw));
  // The sandbox's folders are no longer looked at.
  for (const auto& target : DiscoverSketchUpInstallations()) {
    EXPECT_NE(target.pluginsDir, PluginsOf(sandbox, 2025));
  }
}

TEST(IsSketchUpRunning, SeesAProcessNamedSketchUpInAnyCase) {
  Sandbox sandbox;
  EXPECT_FALSE(IsSketchUpRunning());
  const auto image = sandbox.root() / L"sketchup.EXE";
  fs::copy_file(test::ProgramDir() / L"sketchup_idle.exe", image);
  std::wstring command = L"\"" + image.wstring() + L"\" 60000";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info));
  unique_handle process(info.hProcess);
  unique_handle thread(info.hThread);
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    seen = IsSketchUpRunning();
    if (!seen) Sleep(20);
  }
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), 10000);
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace kel
