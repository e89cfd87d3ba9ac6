#include "install/temp_leftovers.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::WriteFileBytes;

struct Child {
  unique_handle process;
  DWORD pid = 0;
};

// The fake tar: "-tf" of a HANG file never ends, no arguments ends at once.
Child Start(const std::wstring& arguments) {
  std::wstring line = L"\"" + (test::ProgramDir() / L"install_fake_tar.exe").wstring() + L"\"" +
                      arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  Child child;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info))
    return child;
  CloseHandle(info.hThread);
  child.process.reset(info.hProcess);
  child.pid = info.dwProcessId;
  return child;
}

std::wstring Id(DWORD pid, ULONGLONG ticks) {
  return std::to_wstring(pid) + L"_" + std::to_wstring(ticks);
}

TEST(StaleInstallerTemp, OnlyOurNamesOfEndedProcessesGo) {
  test::Sandbox box;
  const fs::path temp = box.root() / L"Temp";
  // The handle stays open, so the id cannot be handed to another process meanwhile.
  Child ended = Start(L"");
  ASSERT_TRUE(ended.process);
  ASSERT_EQ(WaitForSingleObject(ended.process.get(), 10000), WAIT_OBJECT_0);
  WriteFileBytes(box.root() / L"hang.zip", "HANG");
  Child running = Start(L" -tf \"" + (box.root() / L"hang.zip").wstring() + L"\"");
  ASSERT_TRUE(running.process);
  const ULONGLONG now = GetTickCount64();
  const std::wstring dead = Id(ended.pid, now);
  const std::wstring self = Id(GetCurrentProcessId(), now);
  const std::wstring live = Id(running.pid, now);
  // The running process has the id, but started long after this name was made.
  const std::wstring reused = Id(running.pid, now > 120000 ? now - 120000 : 0);

  const std::vector<fs::path> stale = {
      temp / (L"kel_installer_pkg_" + dead + L".zip"), temp / (L"kel_installer_stage_" + dead),
      temp / (L"kel_diff_blobs_" + dead), temp / (L"kel_installer_cache_" + dead),
      temp / (L"kel_installer_stage_" + reused)};
  const std::vector<fs::path> kept_files = {
      temp / (L"kel_installer_pkg_" + self + L".zip"), temp / (L"kel_installer_pkg_" + live + L".zip"),
      temp / (L"kel_installer_stage_" + dead + L".zip"), temp / (L"kel_installer_pkg_" + dead),
      temp / (L"kel_installer_pkg_" + std::to_wstring(ended.pid) + L"_.zip"),
      temp / (L"kel_other_" + dead)};
  const std::vector<fs::path> kept_dirs = {temp / (L"kel_installer_stage_" + live),
                                           temp / (L"kel_installer_cache_" + self),
                                           temp / (L"kel_installer_cache_" + dead + L"x")};
  WriteFileBytes(stale[0], "zip");
  for (std::size_t i = 1; i < stale.size(); ++i) WriteFileBytes(stale[i] / L"sub" / L"f.rb", "x");
  for (const fs::path& path : kept_files) WriteFileBytes(path, "keep");
  for (const fs::path& path : kept_dirs) WriteFileBytes(path / L"f.rb", "keep");

  RemoveStaleInstallerTemp(temp);
  TerminateProcess(running.process.get(), 0);
  WaitForSingleObject(running.process.get(), 10000);

  for (const fs::path& path : stale) EXPECT_FALSE(fs::exists(path)) << path;
  for (const fs::path& path : kept_files) EXPECT_TRUE(fs::is_regular_file(path)) << path;
  for (const fs::path& path : kept_dirs) EXPECT_TRUE(fs::is_regular_file(path / L"f.rb")) << path;
}

}  // namespace
}  // namespace kel
