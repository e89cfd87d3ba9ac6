#include "app/worker_threads.h"

// Every thread the wizard starts, and everything such a thread may still touch after the window
// is gone, lives here: the rules about lifetimes sit in one place.
//
// The threads are detached and never joined; the process may end while one runs. So whatever a
// worker reaches outside its own job is never destroyed: the shared state below, the process
// options, the run log and the engines' process-wide caches are allocated once and left to the
// end of the process on purpose. A posted record belongs to the window once the post succeeds;
// a failed post leaves it to the sender, which frees it.

#include <exception>
#include <memory>
#include <utility>

#include "app/operation_summary.h"
#include "common/text.h"
#include "common/win_error.h"
#include "safefs/volume_cache.h"

namespace kel {

namespace {

std::string ExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return {};
  }
}

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

// Never destroyed: a detached worker may still be running while the process ends.
SharedState& State() {
  static SharedState& state = *new SharedState;
  return state;
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
          // What the proofs learn of the drives lasts for this operation only.
          std::unique_ptr<OperationOutcome> outcome;
          {
            VolumeCacheScope volumes;
            outcome = std::make_unique<OperationOutcome>(body());
          }
          PostDone(std::move(outcome));
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
          bool ok = false;
          {
            VolumeCacheScope volumes;
            ok = RunReleaseQuery(State().engines, State().origin, State().releases);
          }
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

bool start_install_worker(std::vector<std::wstring> dirs, std::wstring package,
                          std::uint32_t waitPid) {
  if (State().busy.exchange(true)) return false;
  auto job = std::make_shared<InstallJob>(InstallJob{std::move(dirs), std::move(package), waitPid});
  StartWorker(
      [job] {
        return GuardedInstallOperation(*job, State().engines, State().origin, State().releases,
                                       PostProgress);
      },
      false);
  return true;
}

bool start_uninstall_worker(std::vector<std::wstring> dirs, bool purgeGlobal,
                            std::uint32_t waitPid) {
  if (State().busy.exchange(true)) return false;
  auto job = std::make_shared<UninstallJob>(UninstallJob{std::move(dirs), purgeGlobal, waitPid});
  StartWorker([job] { return GuardedUninstallOperation(*job, State().engines, PostProgress); },
              true);
  return true;
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
