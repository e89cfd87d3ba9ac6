#include "install/download_cache.h"

#include <windows.h>

#include <algorithm>

#include "install/deploy.h"
#include "install/package_paths.h"
#include "install/sha256.h"
#include "net/http_client.h"
#include "net/release.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

bool IsHexDigest(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

constexpr int kConnections = 4;

// The whole job list in one call, up to kConnections at a time. `before_each(k)` names the jobs
// in list order as the bytes arrive, so progress texts read as one file after another. Only
// files whose digest matches stay; the first failure (transport, then digest) is the error.
bool FetchFiles(const std::vector<FetchJob>& jobs,
                const std::vector<std::filesystem::path>& destinations, std::string& error,
                const std::function<void(std::size_t)>& before_each) {
  std::vector<DownloadJob> downloads;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    downloads.push_back({jobs[i].url, destinations[i], jobs[i].size});
  }
  std::size_t named = 0;
  const auto name_until = [&](std::size_t end) {
    for (; named < end; ++named)
      if (before_each) before_each(named);
  };
  const bool transferred = HttpDownloadFiles(
      downloads, kConnections, error, [&](int percent, const std::string&) {
        name_until(jobs.size() * static_cast<std::size_t>(std::clamp(percent, 0, 100)) / 100);
      });
  bool verified = true;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    std::error_code ec;
    if (!std::filesystem::exists(destinations[i], ec)) continue;
    // A damaged or partial download never stays on disk.
    std::string failure;
    if (VerifyDownload(destinations[i], jobs[i].sha256, failure)) continue;
    if (transferred && verified) {
      error = failure;
      verified = false;
    }
  }
  if (!transferred || !verified) return false;
  name_until(jobs.size());
  return true;
}

}  // namespace

DownloadCache::~DownloadCache() {
  if (folder_.empty()) return;
  std::vector<std::string> ignored;
  RemoveTreeOrScheduleAtReboot(folder_, ignored);
}

bool DownloadCache::ClaimFirstUse() {
  const bool first = !used_;
  used_ = true;
  return first;
}

bool DownloadCache::EnsureFolder(std::string& error) {
  if (!folder_.empty()) return true;
  // The temporary-directory query throws when it fails: the caller's handler reports it.
  const std::filesystem::path folder = MakeTemporaryName(TemporaryKind::kCache);
  if (!EnsureStateDirectory(folder, error)) return false;
  folder_ = folder;
  return true;
}

std::filesystem::path DownloadCache::Find(const std::string& sha256) const {
  const auto found = files_.find(sha256);
  return found == files_.end() ? std::filesystem::path() : found->second;
}

std::filesystem::path DownloadCache::PathFor(const std::string& sha256, const wchar_t* suffix) {
  // Digests from the server name files only when they are what they claim to be.
  const std::wstring stem = IsHexDigest(sha256) ? std::wstring(sha256.begin(), sha256.end())
                                                : L"unverified_" + std::to_wstring(++unnamed_);
  return folder_ / (stem + suffix);
}

bool DownloadCache::FetchOne(const FetchJob& job, const wchar_t* suffix,
                             std::filesystem::path& path, bool& fetched, std::string& error,
                             const ProgressCallback& progress) {
  fetched = false;
  path = Find(job.sha256);
  if (!path.empty()) return true;
  if (!EnsureFolder(error)) return false;
  const std::filesystem::path target = PathFor(job.sha256, suffix);
  if (!DownloadAndVerify(job.url, target, job.sha256, error, progress, job.size)) return false;
  fetched = true;
  path = target;
  if (IsHexDigest(job.sha256)) files_[job.sha256] = target;
  return true;
}

bool DownloadCache::Use(const FetchJob& job, const wchar_t* suffix, std::filesystem::path& path,
                        std::string& error) {
  path = Find(job.sha256);
  if (!path.empty()) {
    std::string ignored;
    if (VerifyDownload(path, job.sha256, ignored)) return true;
    // Missing or changed since it arrived: fetched once more, then it fails.
    files_.erase(job.sha256);
  }
  if (!IsHexDigest(job.sha256)) {
    error = "下载文件 SHA-256 校验失败 (期望 " + job.sha256 + ")";
    return false;
  }
  if (!EnsureFolder(error)) return false;
  const std::filesystem::path target = PathFor(job.sha256, suffix);
  if (!DownloadAndVerify(job.url, target, job.sha256, error, {})) return false;
  files_[job.sha256] = target;
  path = target;
  return true;
}

bool DownloadCache::FetchAll(const std::vector<FetchJob>& jobs, const wchar_t* suffix,
                             std::uint64_t& fetched, std::string& error,
                             const std::function<void(std::size_t)>& before_each) {
  std::vector<FetchJob> missing;
  std::vector<std::filesystem::path> destinations;
  std::vector<std::size_t> positions;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    const FetchJob& job = jobs[k];
    // Blobs are only ever kept by a digest that names them (the manifest's own rule).
    if (!IsHexDigest(job.sha256)) {
      error = "下载文件 SHA-256 校验失败 (期望 " + job.sha256 + ")";
      return false;
    }
    if (!Find(job.sha256).empty()) continue;
    if (std::any_of(missing.begin(), missing.end(),
                    [&job](const FetchJob& m) { return m.sha256 == job.sha256; }))
      continue;
    missing.push_back(job);
    positions.push_back(k);
  }
  if (!missing.empty() && !EnsureFolder(error)) return false;
  for (const FetchJob& job : missing) destinations.push_back(PathFor(job.sha256, suffix));

  // Progress names every job in order, fetched now or held already.
  std::size_t next = 0;
  const auto report_until = [&](std::size_t end) {
    for (; next < end; ++next)
      if (before_each) before_each(next);
  };
  const bool ok = FetchFiles(missing, destinations, error, [&](std::size_t i) {
    report_until(positions[i] + 1);
  });
  // Whatever arrived verified stays usable, even when a later file failed.
  for (std::size_t i = 0; i < missing.size(); ++i) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(destinations[i], ec)) {
      files_[missing[i].sha256] = destinations[i];
      ++fetched;
    }
  }
  if (!ok) return false;
  report_until(jobs.size());
  return true;
}

}  // namespace kel
