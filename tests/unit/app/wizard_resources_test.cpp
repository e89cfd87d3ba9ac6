// The shipped program carries its manifest and version information.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "support/sandbox.h"

namespace kel {
namespace {

struct Module {
  HMODULE handle;
  ~Module() {
    if (handle) FreeLibrary(handle);
  }
};

std::wstring ProgramPath() { return (test::ProgramDir() / L"KelSetup.exe").wstring(); }

TEST(ProgramResources, ManifestAsksForCommonControls6AndNoElevation) {
  Module exe{LoadLibraryExW(ProgramPath().c_str(), nullptr,
                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)};
  ASSERT_NE(exe.handle, nullptr);
  HRSRC found = FindResourceW(exe.handle, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(exe.handle, found)));
  const std::string manifest(data, SizeofResource(exe.handle, found));
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2, System</dpiAwareness>"), std::string::npos);
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
}

TEST(ProgramResources, VersionInformationNamesTheProduct) {
  const std::wstring path = ProgramPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  auto text = [&](const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\080404B0\\") + name;
    if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0) return std::string();
    return WideToUtf8(static_cast<const wchar_t*>(value));
  };
  EXPECT_EQ(text(L"ProductName"), "Kel 插件中心 & 管理器");
  EXPECT_EQ(text(L"FileDescription"), "Kel 插件中心 & 管理器 安装工具");
  EXPECT_EQ(text(L"OriginalFilename"), "KelSetup.exe");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

}  // namespace
}  // namespace kel
