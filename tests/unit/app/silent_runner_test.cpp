#include "app/silent_runner.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/handles.h"
#include "support/sandbox.h"

namespace kel {
namespace {

// Records every call the runner makes; each operation's outcome is set per test.
struct FakeEngines {
  std::vector<std::wstring> discovered = {L"C:\\p2025", L"C:\\p2024"};
  bool release_ok = true;
  bool throw_in_release = false;
  std::vector<bool> install_results;  // per call; missing entries succeed
  bool throw_in_install = false;
  bool uninstall_ok = true;
  bool throw_in_uninstall = false;

  std::vector<std::string> calls;
  std::vector<std::wstring> installed;
  std::vector<std::wstring> uninstalled;
  std::vector<std::wstring> launched;
  std::vector<std::uint32_t> waited;
  bool purge_seen = false;
  std::vector<bool> install_had_release;
  std::vector<std::wstring> install_packages;

  std::vector<std::string> log;

  OperationEngines Bind() {
    OperationEngines ops;
    ops.waitForProcessExit = [this](std::uint32_t pid, std::uint32_t timeout) {
      calls.push_back("wait");
      waited.push_back(pid);
      EXPECT_EQ(timeout, 15000u);
      return false;
    };
    ops.discover = [this] {
      calls.push_back("discover");
      std::vector<SketchUpTarget> found;
      for (const std::wstring& dir : discovered) found.push_back({2025, dir, true, false, ""});
      return found;
    };
    ops.fetchLatestRelease = [this](const std::string& origin, InstallerRelease&,
                                    std::string& error) {
      calls.push_back("release");
      EXPECT_EQ(origin, "http://127.0.0.1:18080");
      if (throw_in_release) throw std::runtime_error("type error");
      if (!release_ok) error = "连接服务器失败 (12029)";
      return release_ok;
    };
    ops.installIntoPlugins = [this](const InstallRequest& request) {
      calls.push_back("install");
      EXPECT_EQ(request.origin, "http://127.0.0.1:18080");
      installed.push_back(request.pluginsDir.wstring());
      install_had_release.push_back(request.release.has_value());
      install_packages.push_back(request.offlinePackage.wstring());
      if (throw_in_install) throw std::runtime_error("filesystem error");
      const size_t index = installed.size() - 1;
      InstallResult result;
      result.success = index < install_results.size() ? bool(install_results[index]) : true;
      return result;
    };
    ops.runUninstall = [this](const std::vector<std::wstring>& dirs, bool purge,
                              const ProgressCallback&) {
      calls.push_back("uninstall");
      uninstalled = dirs;
      purge_seen = purge;
      if (throw_in_uninstall) throw std::runtime_error("boom");
      UninstallResult result;
      result.success = uninstall_ok;
      return result;
    };
    ops.launchPluginManager = [this](const std::wstring& dir, std::string&) {
      calls.push_back("launch");
      launched.push_back(dir);
      return false;  // a failed launch never changes the exit code
    };
    return ops;
  }
};

const std::string kOrigin = "http://127.0.0.1:18080";

SetupOptions Silent() {
  SetupOptions options;
  options.silent = true;
  return options;
}

TEST(RunSilent, InstallsEveryDiscoveredTargetThenLaunchesForTheFirst) {
  FakeEngines fake;
  EXPECT_EQ(RunSilent(Silent(), kOrigin, fake.Bind()), 0);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"discover", "release", "install", "install",
                                                  "launch"}));
  EXPECT_EQ(fake.installed, fake.discovered);
  EXPECT_EQ(fake.launched, std::vector<std::wstring>{L"C:\\p2025"});
}

TEST(RunSilent, NoTargetExitsTwoBeforeAnyNetworkRequest) {
  FakeEngines fake;
  fake.discovered.clear();
  EXPECT_EQ(RunSilent(Silent(), kOrigin, fake.Bind()), 2);
  EXPECT_EQ(fake.calls, std::vector<std::string>{"discover"});

  SetupOptions uninstall = Silent();
  uninstall.mode = "uninstall";
  EXPECT_EQ(RunSilent(uninstall, kOrigin, fake.Bind()), 2);
  EXPECT_TRUE(fake.uninstalled.empty());
}

TEST(RunSilent, TargetOptionReplacesDiscoveryAndIsUsedAsGiven) {
  FakeEngines fake;
  SetupOptions options = Silent();
  options.target = L"D:\\does not exist\\Plugins\\";
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 0);
  EXPECT_EQ(fake.installed, std::vector<std::wstring>{options.target});
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"release", "install", "launch"}));
}

TEST(RunSilent, FailedReleaseQueryExitsThreeAndInstallsNothing) {
  FakeEngines fake;
  fake.release_ok = false;
  EXPECT_EQ(RunSilent(Silent(), kOrigin, fake.Bind()), 3);
  EXPECT_TRUE(fake.installed.empty());
  EXPECT_TRUE(fake.launched.empty());
}

TEST(RunSilent, ExceptionDuringReleaseQueryExitsThree) {
  FakeEngines fake;
  fake.throw_in_release = true;
  EXPECT_EQ(RunSilent(Silent(), kOrigin, fake.Bind()), 3);
  EXPECT_TRUE(fake.installed.empty());
}

TEST(RunSilent, PackageSkipsTheReleaseQuery) {
  FakeEngines fake;
  fake.release_ok = false;
  SetupOptions options = Silent();
  options.package = L"C:\\offline\\kel.zip";
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 0);
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "release"), 0);
  EXPECT_EQ(fake.install_had_release, (std::vector<bool>{false, false}));
  EXPECT_EQ(fake.install_packages,
            (std::vector<std::wstring>{options.package, options.package}));
}

TEST(RunSilent, SecondTargetFailingExitsFourWithoutLaunch) {
  FakeEngines fake;
  fake.discovered = {L"C:\\p2025", L"C:\\p2024", L"C:\\p2023"};
  fake.install_results = {true, false, true};
  EXPECT_EQ(RunSilent(Silent(), kOrigin, fake.Bind()), 4);
  EXPECT_EQ(fake.installed, (std::vector<std::wstring>{L"C:\\p2025", L"C:\\p2024"}));
  EXPECT_TRUE(fake.launched.empty());
}

TEST(RunSilent, ExceptionDuringInstallExitsFour) {
  FakeEngines fake;
  fake.throw_in_install = true;
  EXPECT_EQ(RunSilent(Silent(), kOrigin, fake.Bind()), 4);
  EXPECT_EQ(fake.installed.size(), 1u);
  EXPECT_TRUE(fake.launched.empty());
}

TEST(RunSilent, NoLaunchStartsNothing) {
  FakeEngines fake;
  SetupOptions options = Silent();
  options.no_launch = true;
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 0);
  EXPECT_TRUE(fake.launched.empty());
}

TEST(RunSilent, UninstallGetsEveryTargetInOneCall) {
  FakeEngines fake;
  SetupOptions options = Silent();
  options.mode = "uninstall";
  options.purge_global = true;
  options.package = L"ignored.zip";
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 0);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"discover", "uninstall"}));
  EXPECT_EQ(fake.uninstalled, fake.discovered);
  EXPECT_TRUE(fake.purge_seen);
}

TEST(RunSilent, UninstallWithWarningOrExceptionExitsFour) {
  FakeEngines fake;
  SetupOptions options = Silent();
  options.mode = "uninstall";
  fake.uninstall_ok = false;
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 4);
  fake.uninstall_ok = true;
  fake.throw_in_uninstall = true;
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 4);
}

TEST(RunSilent, OnlyTheExactUninstallWordUninstalls) {
  for (const char* mode : {"", "update", "install-silent", "Uninstall", "uninstall "}) {
    FakeEngines fake;
    SetupOptions options = Silent();
    options.mode = mode;
    EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 0) << mode;
    EXPECT_TRUE(fake.uninstalled.empty()) << mode;
    EXPECT_EQ(fake.installed.size(), 2u) << mode;
  }
}

TEST(RunSilent, WaitsForTheGivenProcessFirstAndGoesOnRegardless) {
  FakeEngines fake;
  SetupOptions options = Silent();
  options.wait_pid = 4242;
  EXPECT_EQ(RunSilent(options, kOrigin, fake.Bind()), 0);
  ASSERT_FALSE(fake.calls.empty());
  EXPECT_EQ(fake.calls.front(), "wait");
  EXPECT_EQ(fake.waited, std::vector<std::uint32_t>{4242});

  FakeEngines no_wait;
  EXPECT_EQ(RunSilent(Silent(), kOrigin, no_wait.Bind()), 0);
  EXPECT_TRUE(no_wait.waited.empty());
}

TEST(RunSilent, ProductionBindingFailsHonestlyWhereAnEngineIsMissing) {
  // Whatever is bound, a run with an unreachable target must never claim success it did
  // not earn.
  SetupOptions options = Silent();
  options.target = L"C:\\kel_no_such_dir\\Plugins";
  options.origin = "http://127.0.0.1:1";
  options.no_launch = true;
  EXPECT_NE(RunSilent(options, "http://127.0.0.1:1", ProductionEngines()), 0);
}

// A real child process for the bounded wait.
class ChildProcess {
 public:
  explicit ChildProcess(unsigned sleep_ms) {
    std::wstring command = L"\"" + (test::ProgramDir() / L"app_sleeper.exe").wstring() + L"\" " +
                           std::to_wstring(sleep_ms);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
      ADD_FAILURE() << "cannot start app_sleeper.exe (" << GetLastError() << ")";
      return;
    }
    process_.reset(pi.hProcess);
    CloseHandle(pi.hThread);
    pid_ = pi.dwProcessId;
  }
  std::uint32_t pid() const { return pid_; }
  HANDLE handle() const { return process_.get(); }

 private:
  unique_handle process_;
  std::uint32_t pid_ = 0;
};

TEST(WaitForProcessExit, TrueOnceTheChildHasEnded) {
  ChildProcess child(200);
  ASSERT_NE(child.pid(), 0u);
  EXPECT_TRUE(WaitForProcessExit(child.pid(), 10000));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.handle(), &code));
  EXPECT_EQ(code, 7u);
}

TEST(WaitForProcessExit, FalseOnTimeout) {
  ChildProcess child(5000);
  ASSERT_NE(child.pid(), 0u);
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(WaitForProcessExit(child.pid(), 300));
  EXPECT_GE(GetTickCount64() - start, 250u);
  TerminateProcess(child.handle(), 1);
}

TEST(WaitForProcessExit, TrueAtOnceForZeroOwnAndUnknownPids) {
  EXPECT_TRUE(WaitForProcessExit(0, 60000));
  EXPECT_TRUE(WaitForProcessExit(GetCurrentProcessId(), 60000));
  // Process ids are multiples of 4 on Windows; an odd id is never in use.
  EXPECT_TRUE(WaitForProcessExit(0xFFFFFFF1u, 60000));
}

}  // namespace
}  // namespace kel
