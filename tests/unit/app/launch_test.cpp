#include "app/launch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "common/text.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

bool EnvIsSet(const wchar_t* name) { return GetEnvironmentVariableW(name, nullptr, 0) != 0; }

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableW(L"KEL_PLUGINS_DIR", nullptr);
    SetEnvironmentVariableW(L"KEL_INITIAL_LOGIN", nullptr);
    record = box.root() / L"launches.txt";
    SetEnvironmentVariableW(L"KEL_MANAGER_RECORD", record.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"KEL_PLUGINS_DIR", nullptr);
    SetEnvironmentVariableW(L"KEL_INITIAL_LOGIN", nullptr);
    SetEnvironmentVariableW(L"KEL_MANAGER_RECORD", nullptr);
  }
  fs::path InstallManager(const fs::path& plugins) {
    const fs::path exe = plugins / L"kel_plugin_center" / L"bin" / L"KelPluginManager.exe";
    fs::create_directories(exe.parent_path());
    fs::copy_file(test::ProgramDir() / L"kel_fake_plugin_manager.exe", exe);
    return exe;
  }
  void WriteToken(std::string_view content) {
    WriteFileBytes(box.local() / L"KelPlatformV3" / L"active_token.txt", content);
  }
  // The detached child writes its record on its own time.
  std::map<std::string, std::string> WaitForRecord() {
    std::string text;
    for (int i = 0; i < 300; ++i) {
      std::ifstream in(record, std::ios::binary);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (text.find("\n\n") != std::string::npos) break;
      Sleep(50);
    }
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      const size_t eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
      start = end + 1;
    }
    return values;
  }
  test::Sandbox box;
  fs::path record;
};

TEST_F(LaunchTest, MissingManagerChangesNothing) {
  const fs::path plugins = box.root() / L"Plugins";
  fs::create_directories(plugins / L"kel_plugin_center" / L"bin" / L"KelPluginManager.exe");
  std::string error;
  EXPECT_FALSE(LaunchPluginManager(plugins, error));
  EXPECT_EQ(error, "未找到已安装的 KelPluginManager.exe: " +
                       WideToUtf8((plugins / L"kel_plugin_center\\bin\\KelPluginManager.exe").wstring()));
  EXPECT_FALSE(EnvIsSet(L"KEL_PLUGINS_DIR"));
  EXPECT_FALSE(EnvIsSet(L"KEL_INITIAL_LOGIN"));
}

TEST_F(LaunchTest, WithoutLoginAsksForTheInitialLogin) {
  for (const bool empty_token : {false, true}) {
    SetEnvironmentVariableW(L"KEL_INITIAL_LOGIN", nullptr);
    test::RemoveTree(record);
    const fs::path plugins = box.root() / (empty_token ? L"P2" : L"P1");
    const fs::path exe = InstallManager(plugins);
    if (empty_token) WriteToken("");
    std::string error;
    ASSERT_TRUE(LaunchPluginManager(plugins, error)) << error;
    auto seen = WaitForRecord();
    EXPECT_EQ(seen["commandLine"], "\"" + WideToUtf8(exe.wstring()) + "\" --initial-login");
    EXPECT_EQ(seen["argv1"], "--initial-login");
    EXPECT_EQ(seen["KEL_INITIAL_LOGIN"], "1");
    EXPECT_EQ(seen["KEL_PLUGINS_DIR"], WideToUtf8(plugins.wstring()));
    EXPECT_EQ(fs::path(Utf8ToWide(seen["cwd"])), exe.parent_path());
  }
}

TEST_F(LaunchTest, ExistingLoginStartsThePlainManagerFromAPathWithBlanks) {
  const fs::path plugins = box.root() / L"SketchUp 2025 中文" / L"Plugins";
  const fs::path exe = InstallManager(plugins);
  WriteToken("token-bytes");
  std::string error;
  ASSERT_TRUE(LaunchPluginManager(plugins, error)) << error;
  auto seen = WaitForRecord();
  EXPECT_EQ(seen["commandLine"], "\"" + WideToUtf8(exe.wstring()) + "\"");
  EXPECT_EQ(seen["argc"], "1");
  EXPECT_EQ(seen["argv0"], WideToUtf8(exe.wstring()));
  EXPECT_EQ(seen["KEL_INITIAL_LOGIN"], "<unset>");
  EXPECT_EQ(seen["KEL_PLUGINS_DIR"], WideToUtf8(plugins.wstring()));
}

}  // namespace
}  // namespace kel
