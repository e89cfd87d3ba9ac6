#include "support/sandbox.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace kel::test {
namespace {

// The link helper is what every reparse-point test under Wine stands on.
TEST(TestSupport, UnixSymlinkToDirectoryIsSeenAsReparsePoint) {
  Sandbox sandbox;
  const auto target = sandbox.root() / L"real";
  std::filesystem::create_directories(target);
  WriteFileBytes(target / L"inside.txt", "x");
  std::string reason;
  if (!RunningUnderWine()) GTEST_SKIP() << "Unix links need Wine";
  ASSERT_TRUE(MakeUnixSymlink(target, sandbox.root() / L"link", reason)) << reason;
  const DWORD attributes = GetFileAttributesW((sandbox.root() / L"link").c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
            DWORD(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(ReadFileBytes(sandbox.root() / L"link" / L"inside.txt"), "x");
}

TEST(TestSupport, SandboxPointsProfileVariablesIntoItself) {
  std::wstring before(MAX_PATH, L'\0');
  before.resize(GetEnvironmentVariableW(L"APPDATA", before.data(), MAX_PATH));
  {
    Sandbox sandbox;
    wchar_t value[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"APPDATA", value, MAX_PATH), 0u);
    EXPECT_EQ(std::filesystem::path(value), sandbox.roaming());
    EXPECT_TRUE(std::filesystem::is_directory(sandbox.temp()));
  }
  std::wstring after(MAX_PATH, L'\0');
  after.resize(GetEnvironmentVariableW(L"APPDATA", after.data(), MAX_PATH));
  EXPECT_EQ(before, after);
}

}  // namespace
}  // namespace kel::test
