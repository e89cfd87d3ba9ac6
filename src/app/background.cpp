#include "app/background.h"

#include <commctrl.h>

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "app/operation_summary.h"
#include "common/text.h"
#include "common/win_error.h"
#include "install/download_cache.h"

namespace kel {

namespace {

struct SharedState {
  std::atomic<HWND> window{nullptr};
  std::mutex posterLock;
  std::shared_ptr<const MessagePoster> poster;
  std::atomic<bool> busy{false};
  ReleaseStore releases;
  // Written once before the window exists; read-only afterwards.
  std::string origin;
  OperationEngines engines;
};

SharedState& State() {
  static SharedState state;
  return state;
}

constexpr int kToggledControls[] = {IDC_TARGET_LIST, IDC_BROWSE,  IDC_REDETECT,  IDC_AUTO_LAUNCH,
                                    IDC_PURGE_GLOBAL, IDC_INSTALL, IDC_UNINSTALL, IDC_CLOSE};

std::string ExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return {};
  }
}

// PostMessageW to the main window, or to the poster that stands in for it. False when there is
// nobody to receive the message.
bool Post(UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<const MessagePoster> poster;
  {
    std::lock_guard lock(State().posterLock);
    poster = State().poster;
  }
  if (poster) return (*poster)(message, wParam, lParam);
  HWND window = State().window.load();
  return window && PostMessageW(window, message, wParam, lParam);
}

bool HasReceiver() {
  std::lock_guard lock(State().posterLock);
  return State().poster || State().window.load();
}

// Hands the outcome to the window. Without a window nobody would clear the busy flag, so it
// is cleared here instead.
void PostDone(std::unique_ptr<OperationOutcome> outcome) {
  if (Post(WM_SETUP_DONE, 0, reinterpret_cast<LPARAM>(outcome.get()))) {
    outcome.release();
    return;
  }
  State().busy.exchange(false);
}

// A detached Win32 thread running `body`, which must not throw. Native threads rather than
// std::thread: detached winpthreads threads were seen to hang their creator under Wine.
bool StartDetached(std::function<void()> body) {
  auto task = std::make_unique<std::function<void()>>(std::move(body));
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        std::unique_ptr<std::function<void()>> own(static_cast<std::function<void()>*>(parameter));
        (*own)();
        return 0;
      },
      task.get(), 0, nullptr);
  if (!thread) return false;
  task.release();
  CloseHandle(thread);
  return true;
}

void StartWorker(std::function<OperationOutcome()> body, bool isUninstall) {
  std::string failure;
  try {
    if (StartDetached([body = std::move(body)] {
          PostDone(std::make_unique<OperationOutcome>(body()));
        })) {
      return;
    }
    failure = WinErrorText("创建后台线程失败", GetLastError());
  } catch (...) {
    failure = ExceptionText();
  }
  // No thread: report through the same message so the busy state ends the usual way.
  auto outcome = std::make_unique<OperationOutcome>();
  outcome->isUninstall = isUninstall;
  outcome->message = (isUninstall ? UninstallFailureMessage("") : InstallFailureMessage("")) +
                     UnexpectedErrorText(failure);
  PostDone(std::move(outcome));
}

}  // namespace

ReleaseCache ReleaseStore::Read() const {
  std::lock_guard lock(mutex_);
  return cache_;
}

void ReleaseStore::StoreQueryResult(bool ok, const InstallerRelease& release, std::wstring error) {
  std::lock_guard lock(mutex_);
  if (ok) {
    cache_.release = release;
    cache_.releaseKnown = true;
    cache_.error.clear();
  } else {
    cache_.releaseKnown = false;
    cache_.error = std::move(error);
  }
}

void ReleaseStore::StoreWorkerRelease(const InstallerRelease& release) {
  std::lock_guard lock(mutex_);
  cache_.release = release;
  cache_.releaseKnown = true;
}

void ReleaseStore::Reset() {
  std::lock_guard lock(mutex_);
  cache_ = ReleaseCache{};
}

bool RunReleaseQuery(const OperationEngines& engines, const std::string& origin,
                     ReleaseStore& store) {
  InstallerRelease release;
  std::string error;
  bool ok = false;
  try {
    ok = engines.fetchLatestRelease(origin, release, error);
  } catch (...) {
    ok = false;
    error = ExceptionText();
    if (Utf8ToWide(error).empty()) error = WideToUtf8(UnexpectedErrorText(error));
  }
  store.StoreQueryResult(ok, release, ok ? std::wstring() : Utf8ToWide(error));
  return ok;
}

OperationOutcome RunInstallOperation(const InstallJob& job, const OperationEngines& engines,
                                     const std::string& origin, ReleaseStore& store,
                                     const ProgressCallback& progress) {
  OperationOutcome outcome;
  if (job.waitPid != 0) {
    if (progress) progress(8, "正在等待旧版插件管理器退出...");
    engines.waitForProcessExit(job.waitPid, kWaitForProcessMs);
  }

  std::optional<InstallerRelease> release;
  {
    ReleaseCache cached = store.Read();
    if (cached.releaseKnown) release = std::move(cached.release);
  }
  if (!release && job.package.empty()) {
    if (progress) progress(10, "正在向官网服务器查询最新版本...");
    InstallerRelease fetched;
    std::string error;
    if (!engines.fetchLatestRelease(origin, fetched, error)) {
      outcome.message = ReleaseQueryFailureMessage(error);
      return outcome;
    }
    store.StoreWorkerRelease(fetched);
    release = std::move(fetched);
  }

  const std::size_t count = job.dirs.size();
  std::uint64_t written = 0;
  std::uint64_t unchanged = 0;
  std::optional<std::string> failure;
  DownloadCache cache;  // each file fetched once for all the selected versions
  for (std::size_t i = 0; i < count; ++i) {
    InstallRequest request;
    request.cache = &cache;
    request.pluginsDir = job.dirs[i];
    request.origin = origin;
    request.release = release;
    request.offlinePackage = job.package;
    if (progress) {
      request.progress = [&progress, i, count](int percent, const std::string& text) {
        progress(OverallPercent(i, count, percent), text);
      };
    }
    InstallResult result = engines.installIntoPlugins(request);
    if (!result.success) {
      failure = result.message;
      break;
    }
    outcome.completedDirs.push_back(job.dirs[i]);
    written += result.writtenCount;
    unchanged += result.unchangedCount;
  }

  outcome.success = !failure.has_value();
  outcome.message = outcome.success ? InstallSuccessMessage(count, written, unchanged)
                                    : InstallFailureMessage(*failure);
  return outcome;
}

OperationOutcome RunUninstallOperation(const UninstallJob& job, const OperationEngines& engines,
                                       const ProgressCallback& progress) {
  OperationOutcome outcome;
  outcome.isUninstall = true;
  if (job.waitPid != 0) {
    if (progress) progress(5, "正在等待插件管理器进程退出...");
    engines.waitForProcessExit(job.waitPid, kWaitForProcessMs);
  }
  UninstallResult result = engines.runUninstall(job.dirs, job.purgeGlobal, progress);
  outcome.message = UninstallSummaryMessage(result);
  outcome.success = UninstallCountsAsSuccess(result);
  return outcome;
}

OperationOutcome GuardedInstallOperation(const InstallJob& job, const OperationEngines& engines,
                                         const std::string& origin, ReleaseStore& store,
                                         const ProgressCallback& progress) {
  try {
    return RunInstallOperation(job, engines, origin, store, progress);
  } catch (...) {
    OperationOutcome outcome;
    outcome.message = InstallFailureMessage("") + UnexpectedErrorText(ExceptionText());
    return outcome;
  }
}

OperationOutcome GuardedUninstallOperation(const UninstallJob& job,
                                           const OperationEngines& engines,
                                           const ProgressCallback& progress) {
  try {
    return RunUninstallOperation(job, engines, progress);
  } catch (...) {
    OperationOutcome outcome;
    outcome.isUninstall = true;
    outcome.message = UninstallFailureMessage("") + UnexpectedErrorText(ExceptionText());
    return outcome;
  }
}

void ConfigureBackgroundOperations(std::string origin, OperationEngines engines) {
  State().origin = std::move(origin);
  State().engines = std::move(engines);
}

void SetMainWindow(HWND window) { State().window.store(window); }

HWND MainWindow() { return State().window.load(); }

void SetMessagePoster(MessagePoster poster) {
  auto shared = poster ? std::make_shared<const MessagePoster>(std::move(poster)) : nullptr;
  std::lock_guard lock(State().posterLock);
  State().poster = std::move(shared);
}

ReleaseStore& SharedReleaseStore() { return State().releases; }

bool IsBusy() { return State().busy.load(); }

bool ClearBusy() { return State().busy.exchange(false); }

void StartVersionCheck() {
  std::string failure;
  try {
    if (StartDetached([] {
          const bool ok = RunReleaseQuery(State().engines, State().origin, State().releases);
          Post(WM_SETUP_VERSION_CHECKED, ok ? 1 : 0, 0);
        })) {
      return;
    }
    failure = WinErrorText("创建后台线程失败", GetLastError());
  } catch (...) {
    failure = ExceptionText();
  }
  // Without a query thread the window still has to leave its "checking" state.
  State().releases.StoreQueryResult(false, {}, UnexpectedErrorText(failure));
  Post(WM_SETUP_VERSION_CHECKED, 0, 0);
}

void start_install_worker(std::vector<std::wstring> dirs, std::wstring package,
                          std::uint32_t waitPid) {
  if (State().busy.exchange(true)) return;
  SetControlsEnabled(false);
  if (HWND window = State().window.load()) SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, 5, 0);
  auto job = std::make_shared<InstallJob>(InstallJob{std::move(dirs), std::move(package), waitPid});
  StartWorker(
      [job] {
        return GuardedInstallOperation(*job, State().engines, State().origin, State().releases,
                                       PostProgress);
      },
      false);
}

void start_uninstall_worker(std::vector<std::wstring> dirs, bool purgeGlobal,
                            std::uint32_t waitPid) {
  if (State().busy.exchange(true)) return;
  SetControlsEnabled(false);
  if (HWND window = State().window.load()) SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, 5, 0);
  auto job = std::make_shared<UninstallJob>(UninstallJob{std::move(dirs), purgeGlobal, waitPid});
  StartWorker([job] { return GuardedUninstallOperation(*job, State().engines, PostProgress); },
              true);
}

void SetControlsEnabled(bool enabled) {
  HWND window = State().window.load();
  if (!window) return;
  for (int id : kToggledControls) {
    if (HWND control = GetDlgItem(window, id)) EnableWindow(control, enabled ? TRUE : FALSE);
  }
}

void PostProgress(int percent, const std::string& text) {
  if (!HasReceiver()) return;
  auto note = std::make_unique<ProgressNote>(ProgressNote{percent, Utf8ToWide(text)});
  // A post fails only while the window is going away; then the note is ours to free.
  if (Post(WM_SETUP_PROGRESS, 0, reinterpret_cast<LPARAM>(note.get()))) {
    note.release();
  }
}

}  // namespace kel
