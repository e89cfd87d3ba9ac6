#include "app/background.h"
#include "app/worker_threads.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/operation_summary.h"
#include "common/handles.h"
#include "common/text.h"

namespace kel {
namespace {

InstallerRelease Release(const std::string& version) {
  InstallerRelease release;
  release.versionCode = version;
  return release;
}

struct Progress {
  std::vector<std::pair<int, std::string>> notes;
  ProgressCallback Callback() {
    return [this](int percent, const std::string& text) { notes.emplace_back(percent, text); };
  }
};

// Engine doubles that record what the workers asked for.
struct FakeEngines {
  bool fetchOk = true;
  std::string fetchError = "连接超时";
  int fetches = 0;
  std::vector<InstallResult> results;  // per call; missing entries succeed
  std::vector<InstallRequest> requests;
  std::vector<int> engineSteps = {0, 100};
  UninstallResult uninstall;
  std::vector<std::wstring> uninstalledDirs;
  bool purgeSeen = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> waits;

  OperationEngines Bind() {
    OperationEngines e;
    e.fetchLatestRelease = [this](const std::string& origin, InstallerRelease& release,
                                  std::string& error) {
      ++fetches;
      EXPECT_EQ(origin, "http://origin.test");
      if (!fetchOk) {
        error = fetchError;
        return false;
      }
      release = Release("2.0.0");
      return true;
    };
    e.installIntoPlugins = [this](const InstallRequest& request) {
      requests.push_back(request);
      for (int step : engineSteps) {
        if (request.progress) request.progress(step, "步骤");
      }
      InstallResult result;
      if (requests.size() <= results.size()) {
        result = results[requests.size() - 1];
      } else {
        result.success = true;
        result.writtenCount = 3;
        result.unchangedCount = 4;
      }
      return result;
    };
    e.runUninstall = [this](const std::vector<std::wstring>& dirs, bool purge,
                            const ProgressCallback& progress) {
      uninstalledDirs = dirs;
      purgeSeen = purge;
      if (progress) progress(40, "卸载中");
      return uninstall;
    };
    e.waitForProcessExit = [this](std::uint32_t pid, std::uint32_t timeout) {
      waits.emplace_back(pid, timeout);
      return false;
    };
    return e;
  }
};

const std::string kOrigin = "http://origin.test";

TEST(OperationSummary, TextsAreExact) {
  EXPECT_EQ(InstallSuccessMessage(2, 12345, 0),
            L"已完成 2 个 SketchUp 版本的安装/更新！\r\n• 本次写入更新文件：12345 个\r\n"
            L"• 校验一致跳过未改动文件：0 个");
  EXPECT_EQ(InstallFailureMessage("磁盘已满"), L"安装/更新未能完成：磁盘已满");
  EXPECT_EQ(ReleaseQueryFailureMessage("x (12029)"), L"连接服务器失败：x (12029)");

  UninstallResult result;
  result.success = true;
  result.uninstalledMarketplace = 3;
  result.restoredThirdParty = 1;
  const std::wstring base =
      L"卸载处理完成！\r\n• 已卸载商城插件：3 个\r\n• 已取消托管并还原本地第三方插件：1 个\r\n"
      L"• 已清除本地配置与管理器核心文件（含";
  EXPECT_EQ(UninstallSummaryMessage(result), base + L"目标版本配置）");
  result.globalPurged = true;
  result.success = false;
  result.warnings = {"first warning", "second warning"};
  EXPECT_EQ(UninstallSummaryMessage(result), base + L"全局登录凭据与缓存）\r\n• 提示：first warning");
  EXPECT_TRUE(UninstallCountsAsSuccess(result));
  result.warnings.clear();
  EXPECT_FALSE(UninstallCountsAsSuccess(result));
}

TEST(OperationSummary, OverallPercentSplitsTheRunEvenly) {
  EXPECT_EQ(OverallPercent(0, 2, 0), 0);
  EXPECT_EQ(OverallPercent(0, 2, 100), 50);
  EXPECT_EQ(OverallPercent(1, 2, 0), 50);
  EXPECT_EQ(OverallPercent(1, 2, 100), 100);
  EXPECT_EQ(OverallPercent(2, 3, 50), 83);  // integer division
  EXPECT_EQ(OverallPercent(0, 1, 37), 37);
  EXPECT_EQ(UnexpectedErrorText(std::string("\xff\xfe", 2)), L"发生意外错误");
}

TEST(InstallOperation, SecondOfTwoDirectoriesRunsFrom50To100AndCountsAreSummed) {
  FakeEngines fake;
  ReleaseStore store;
  store.StoreQueryResult(true, Release("2.0.0"), L"");
  Progress progress;
  OperationOutcome outcome = RunInstallOperation({{L"C:\\a", L"C:\\b"}, L"", 0}, fake.Bind(),
                                                 kOrigin, store, progress.Callback());
  ASSERT_TRUE(outcome.success);
  EXPECT_FALSE(outcome.isUninstall);
  EXPECT_EQ(fake.fetches, 0);
  ASSERT_EQ(progress.notes.size(), 4u);
  EXPECT_EQ(progress.notes[0].first, 0);
  EXPECT_EQ(progress.notes[1].first, 50);
  EXPECT_EQ(progress.notes[2].first, 50);
  EXPECT_EQ(progress.notes[3].first, 100);
  EXPECT_EQ(progress.notes[3].second, "步骤");
  EXPECT_EQ(outcome.completedDirs, (std::vector<std::wstring>{L"C:\\a", L"C:\\b"}));
  EXPECT_EQ(outcome.message, InstallSuccessMessage(2, 6, 8));
  ASSERT_EQ(fake.requests.size(), 2u);
  EXPECT_EQ(fake.requests[1].pluginsDir, std::filesystem::path(L"C:\\b"));
  EXPECT_EQ(fake.requests[1].origin, kOrigin);
  ASSERT_TRUE(fake.requests[1].release.has_value());
  EXPECT_EQ(fake.requests[1].release->versionCode, "2.0.0");
}

TEST(InstallOperation, StopsAtTheFirstFailureAndNeverTouchesLaterDirectories) {
  FakeEngines fake;
  InstallResult ok;
  ok.success = true;
  InstallResult failed;
  failed.message = "写入失败: C:\\b\\x.rb";
  fake.results = {ok, failed, ok};
  ReleaseStore store;
  store.StoreQueryResult(true, Release("2.0.0"), L"");
  OperationOutcome outcome = RunInstallOperation({{L"C:\\a", L"C:\\b", L"C:\\c"}, L"", 0},
                                                 fake.Bind(), kOrigin, store, {});
  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.message, L"安装/更新未能完成：写入失败: C:\\b\\x.rb");
  EXPECT_EQ(outcome.completedDirs, std::vector<std::wstring>{L"C:\\a"});
  EXPECT_EQ(fake.requests.size(), 2u);
}

TEST(InstallOperation, QueriesItselfWhenNoReleaseIsKnownAndKeepsTheOldError) {
  FakeEngines fake;
  ReleaseStore store;
  store.StoreQueryResult(false, {}, L"旧错误");
  Progress progress;
  OperationOutcome outcome =
      RunInstallOperation({{L"C:\\a"}, L"", 4242}, fake.Bind(), kOrigin, store, progress.Callback());
  EXPECT_TRUE(outcome.success);
  ASSERT_GE(progress.notes.size(), 2u);
  EXPECT_EQ(progress.notes[0], (std::pair<int, std::string>{8, "正在等待旧版插件管理器退出..."}));
  EXPECT_EQ(progress.notes[1], (std::pair<int, std::string>{10, "正在向官网服务器查询最新版本..."}));
  EXPECT_EQ(fake.waits, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{4242, 15000}}));
  EXPECT_EQ(fake.fetches, 1);
  ReleaseCache cache = store.Read();
  EXPECT_TRUE(cache.releaseKnown);
  EXPECT_EQ(cache.release.versionCode, "2.0.0");
  EXPECT_EQ(cache.error, L"旧错误");

  // The fetched release is reused: a second install asks nobody.
  RunInstallOperation({{L"C:\\a"}, L"", 0}, fake.Bind(), kOrigin, store, {});
  EXPECT_EQ(fake.fetches, 1);
}

TEST(InstallOperation, FailedQueryEndsWithTheConnectionErrorAndInstallsNothing) {
  FakeEngines fake;
  fake.fetchOk = false;
  ReleaseStore store;
  OperationOutcome outcome = RunInstallOperation({{L"C:\\a"}, L"", 0}, fake.Bind(), kOrigin, store, {});
  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.message, L"连接服务器失败：连接超时");
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_FALSE(store.Read().releaseKnown);
}

TEST(InstallOperation, PackageWithoutKnownReleaseMakesNoMetadataRequest) {
  FakeEngines fake;
  ReleaseStore store;
  OperationOutcome outcome =
      RunInstallOperation({{L"C:\\a"}, L"D:\\pkg.zip", 0}, fake.Bind(), kOrigin, store, {});
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(fake.fetches, 0);
  ASSERT_EQ(fake.requests.size(), 1u);
  EXPECT_FALSE(fake.requests[0].release.has_value());
  EXPECT_EQ(fake.requests[0].offlinePackage, std::filesystem::path(L"D:\\pkg.zip"));
}

TEST(UninstallOperation, WarningsCountAsSuccessAndTheFlagsReachTheEngine) {
  FakeEngines fake;
  fake.uninstall.warnings = {"gate locked", "second"};
  Progress progress;
  OperationOutcome outcome = RunUninstallOperation({{L"C:\\a", L"C:\\b"}, true, 77}, fake.Bind(),
                                                   progress.Callback());
  EXPECT_TRUE(outcome.isUninstall);
  EXPECT_TRUE(outcome.success);
  EXPECT_TRUE(outcome.completedDirs.empty());
  EXPECT_NE(outcome.message.find(L"\r\n• 提示：gate locked"), std::wstring::npos);
  EXPECT_EQ(outcome.message.find(L"second"), std::wstring::npos);
  EXPECT_EQ(fake.uninstalledDirs, (std::vector<std::wstring>{L"C:\\a", L"C:\\b"}));
  EXPECT_TRUE(fake.purgeSeen);
  ASSERT_EQ(progress.notes.size(), 2u);
  EXPECT_EQ(progress.notes[0], (std::pair<int, std::string>{5, "正在等待插件管理器进程退出..."}));
  EXPECT_EQ(progress.notes[1], (std::pair<int, std::string>{40, "卸载中"}));

  fake.uninstall = UninstallResult{};
  EXPECT_FALSE(RunUninstallOperation({{}, false, 0}, fake.Bind(), {}).success);
}

TEST(GuardedOperations, AnEngineThatThrowsBecomesAFailedOutcome) {
  FakeEngines fake;
  OperationEngines engines = fake.Bind();
  engines.installIntoPlugins = [](const InstallRequest&) -> InstallResult {
    throw std::runtime_error("type_error: wrong type");
  };
  engines.runUninstall = [](const std::vector<std::wstring>&, bool,
                            const ProgressCallback&) -> UninstallResult { throw 42; };
  // The Apps & features entry follows even a run that threw; its own failure changes nothing.
  std::vector<std::string> entry_calls;
  engines.updateAppsEntry = [&entry_calls](const std::vector<std::wstring>& dirs,
                                           const std::string& name, bool mayRemove) {
    entry_calls.push_back(WideToUtf8(dirs.front()) + "|" + name + (mayRemove ? "|remove" : ""));
    throw std::runtime_error("registry gone");
    return std::vector<std::string>();
  };
  ReleaseStore store;
  store.StoreQueryResult(true, Release("2.0.0"), L"");
  OperationOutcome install = GuardedInstallOperation({{L"C:\\a"}, L"", 0}, engines, kOrigin, store, {});
  EXPECT_FALSE(install.success);
  EXPECT_EQ(install.message, L"安装/更新未能完成：type_error: wrong type");
  OperationOutcome uninstall = GuardedUninstallOperation({{L"C:\\a"}, false, 0}, engines, {});
  EXPECT_FALSE(uninstall.success);
  EXPECT_TRUE(uninstall.isUninstall);
  EXPECT_EQ(uninstall.message, L"卸载未能完成：发生意外错误");
  EXPECT_EQ(entry_calls,
            (std::vector<std::string>{"C:\\a|" + Release("2.0.0").pluginName, "C:\\a||remove"}));

  // The release query thread's engine may throw too: the query counts as failed.
  engines.fetchLatestRelease = [](const std::string&, InstallerRelease&, std::string&) -> bool {
    throw std::runtime_error("bad json");
  };
  EXPECT_FALSE(RunReleaseQuery(engines, kOrigin, store));
  EXPECT_FALSE(store.Read().releaseKnown);
  EXPECT_EQ(store.Read().error, L"bad json");
}

// Collects what the workers post, in place of the window (no window: creating one under
// Wine without a display costs seconds). The inbox is shared with the poster, because a
// worker may still be returning from a post when the test that started it has ended.
class Receiver {
 public:
  Receiver() {
    SetMessagePoster([inbox = inbox_](UINT message, WPARAM wParam, LPARAM lParam) {
      std::lock_guard lock(inbox->mutex);
      inbox->queue.push_back(MSG{nullptr, message, wParam, lParam, 0, {}});
      inbox->ready.notify_all();
      return true;
    });
  }
  ~Receiver() { SetMessagePoster(nullptr); }
  // Waits until `message` arrives; progress notes are collected on the way. The limit is
  // generous: under load Wine may take seconds to start a thread.
  bool WaitFor(UINT message, MSG& out) {
    std::unique_lock lock(inbox_->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (true) {
      while (!inbox_->queue.empty()) {
        MSG msg = inbox_->queue.front();
        inbox_->queue.pop_front();
        if (msg.message == WM_SETUP_PROGRESS) {
          std::unique_ptr<ProgressNote> note(reinterpret_cast<ProgressNote*>(msg.lParam));
          notes.push_back(*note);
        } else if (msg.message == message) {
          out = msg;
          return true;
        }
      }
      if (inbox_->ready.wait_until(lock, deadline) == std::cv_status::timeout &&
          inbox_->queue.empty()) {
        return false;
      }
    }
  }
  std::vector<ProgressNote> notes;

 private:
  struct Inbox {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<MSG> queue;
  };
  std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
};

TEST(Workers, ASecondStartWhileBusyIsDroppedAndTheOutcomeIsPostedOnce) {
  Receiver receiver;
  unique_handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  FakeEngines fake;
  OperationEngines engines = fake.Bind();
  std::atomic<int> installs{0};
  HANDLE gate = release.get();
  engines.installIntoPlugins = [&installs, gate](const InstallRequest& request) {
    ++installs;
    request.progress(100, "进度");
    WaitForSingleObject(gate, 10000);
    InstallResult result;
    result.success = true;
    return result;
  };
  ConfigureBackgroundOperations(kOrigin, engines);
  SharedReleaseStore().StoreQueryResult(true, Release("2.0.0"), L"");
  ASSERT_FALSE(IsBusy());

  start_install_worker({L"C:\\a"}, L"", 0);
  EXPECT_TRUE(IsBusy());
  start_install_worker({L"C:\\b"}, L"", 0);
  start_uninstall_worker({L"C:\\b"}, false, 0);
  SetEvent(gate);

  MSG msg;
  ASSERT_TRUE(receiver.WaitFor(WM_SETUP_DONE, msg));
  std::unique_ptr<OperationOutcome> outcome(reinterpret_cast<OperationOutcome*>(msg.lParam));
  EXPECT_TRUE(outcome->success);
  EXPECT_EQ(outcome->completedDirs, std::vector<std::wstring>{L"C:\\a"});
  EXPECT_EQ(installs.load(), 1);
  ASSERT_EQ(receiver.notes.size(), 1u);
  EXPECT_EQ(receiver.notes[0].percent, 100);
  EXPECT_EQ(receiver.notes[0].text, L"进度");
  // The window, not the worker, clears the flag.
  EXPECT_TRUE(IsBusy());
  EXPECT_TRUE(ClearBusy());
  EXPECT_FALSE(ClearBusy());
}

TEST(Workers, AThrowingWorkerStillReportsSoTheBusyStateEnds) {
  Receiver receiver;
  FakeEngines fake;
  OperationEngines engines = fake.Bind();
  engines.runUninstall = [](const std::vector<std::wstring>&, bool,
                            const ProgressCallback&) -> UninstallResult {
    throw std::runtime_error("filesystem error");
  };
  ConfigureBackgroundOperations(kOrigin, engines);
  start_uninstall_worker({L"C:\\a"}, true, 0);
  MSG msg;
  ASSERT_TRUE(receiver.WaitFor(WM_SETUP_DONE, msg));
  std::unique_ptr<OperationOutcome> outcome(reinterpret_cast<OperationOutcome*>(msg.lParam));
  EXPECT_TRUE(outcome->isUninstall);
  EXPECT_FALSE(outcome->success);
  EXPECT_EQ(outcome->message, L"卸载未能完成：filesystem error");
  EXPECT_TRUE(ClearBusy());
}

TEST(Workers, WithoutAWindowNothingIsPostedAndTheBusyFlagDoesNotStick) {
  SetMainWindow(nullptr);
  SetMessagePoster(nullptr);
  static FakeEngines fake;  // outlives the detached worker
  ConfigureBackgroundOperations(kOrigin, fake.Bind());
  SharedReleaseStore().StoreQueryResult(true, Release("2.0.0"), L"");
  start_install_worker({L"C:\\a"}, L"", 0);
  for (int i = 0; i < 12000 && IsBusy(); ++i) Sleep(5);
  EXPECT_FALSE(IsBusy());
}

TEST(Workers, VersionCheckStoresTheReleaseAndPostsTheOutcome) {
  Receiver receiver;
  FakeEngines fake;
  ConfigureBackgroundOperations(kOrigin, fake.Bind());
  SharedReleaseStore().Reset();
  StartVersionCheck();
  MSG msg;
  ASSERT_TRUE(receiver.WaitFor(WM_SETUP_VERSION_CHECKED, msg));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(SharedReleaseStore().Read().release.versionCode, "2.0.0");

  fake.fetchOk = false;
  ConfigureBackgroundOperations(kOrigin, fake.Bind());
  StartVersionCheck();
  ASSERT_TRUE(receiver.WaitFor(WM_SETUP_VERSION_CHECKED, msg));
  EXPECT_EQ(msg.wParam, 0u);
  ReleaseCache cache = SharedReleaseStore().Read();
  EXPECT_FALSE(cache.releaseKnown);
  EXPECT_EQ(cache.error, L"连接超时");
}

}  // namespace
}  // namespace kel
