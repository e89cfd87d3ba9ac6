#include "app/background.h"

#include <exception>
#include <optional>
#include <utility>

#include "app/operation_summary.h"
#include "common/text.h"
#include "common/win_error.h"
#include "install/download_cache.h"

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
    InstallResult result;
    try {
      result = engines.installIntoPlugins(request);
    } catch (...) {
      // The versions installed before it hold the center all the same.
      KeepAppsEntry(engines, job.dirs, release ? release->pluginName : std::string(), false);
      throw;
    }
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
  KeepAppsEntry(engines, job.dirs, release ? release->pluginName : std::string(), false);
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
  UninstallResult result;
  try {
    result = engines.runUninstall(job.dirs, job.purgeGlobal, progress);
  } catch (...) {
    KeepAppsEntry(engines, job.dirs, std::string(), true);
    throw;
  }
  KeepAppsEntry(engines, job.dirs, std::string(), true);
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

}  // namespace kel
