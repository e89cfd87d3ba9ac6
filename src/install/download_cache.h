#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/progress.h"

namespace kel {

// One file to fetch: where from and the SHA-256 it must have (64 lower-case hex characters).
struct FetchJob {
  std::string url;
  std::string sha256;
  std::uint64_t size = 0;  // the size the release gives; a longer answer fails. 0: unknown
};

// The files one run has fetched, by SHA-256: a package or blob that several Plugins folders
// need comes over the wire once per run. Every file is verified on the way in. The files live
// in one folder in TEMP ("kel_installer_cache_" + pid + "_" + ticks), made on first use and
// removed with the cache. Used by one thread at a time.
class DownloadCache {
 public:
  DownloadCache() = default;
  ~DownloadCache();
  DownloadCache(const DownloadCache&) = delete;
  DownloadCache& operator=(const DownloadCache&) = delete;

  // The verified file for `sha256`, or an empty path when it has not been fetched.
  std::filesystem::path Find(const std::string& sha256) const;

  // Fetches one file unless it is held already; `path` receives the verified file and
  // `fetched` whether it came over the wire now. A file without a usable digest is fetched
  // every time (unverified, as before) and not kept for later calls.
  bool FetchOne(const FetchJob& job, const wchar_t* suffix, std::filesystem::path& path,
                bool& fetched, std::string& error, const ProgressCallback& progress);

  // Fetches every job not held yet, as one list. `before_each(k)` is called before job k
  // (from 0) whether or not it needs fetching. Adds the number fetched to `fetched`.
  bool FetchAll(const std::vector<FetchJob>& jobs, const wchar_t* suffix,
                std::uint64_t& fetched, std::string& error,
                const std::function<void(std::size_t)>& before_each);

  // The file for `job`, checked against its digest now, where it is about to be used: one
  // that is missing or no longer matches is fetched again once, and a second failure fails.
  bool Use(const FetchJob& job, const wchar_t* suffix, std::filesystem::path& path,
           std::string& error);

  // True exactly once per cache: the first install of a run does the run-wide chores.
  bool ClaimFirstUse();

 private:
  bool EnsureFolder(std::string& error);
  std::filesystem::path PathFor(const std::string& sha256, const wchar_t* suffix);

  std::filesystem::path folder_;
  std::map<std::string, std::filesystem::path> files_;
  std::uint64_t unnamed_ = 0;
  bool used_ = false;
};

}  // namespace kel
