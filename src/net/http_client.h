#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/progress.h"

namespace kel {

struct UrlParts {
  std::wstring host;          // as written in the URL, without port; IPv6 in brackets
  std::uint16_t port = 0;     // explicit, or 80/443
  std::wstring pathAndQuery;  // "/" when the URL has no path, then the "?..." part
  bool secure = false;        // https
};

// Splits an http or https URL (UTF-8). Fails with a Chinese message for anything else.
bool CrackHttpUrl(const std::string& url, UrlParts& parts, std::string& error);

// How a request copes with a bad network. The defaults are the product's; tests shorten the
// waits and record the pauses instead of sleeping.
struct HttpOptions {
  // Further attempts after a transient failure (a broken or timed-out transfer, a refused
  // connection, a 5xx answer); unset: 3 for a file download, 1 for an in-memory body.
  std::optional<int> retries;
  std::uint32_t firstPauseMs = 250;  // before the first further attempt, doubled each time
  // Empty: Sleep. HttpDownloadFiles may call it from several of its threads at once.
  std::function<void(std::uint32_t ms)> sleep;
  // A transfer that delivers nothing for this long fails (and is retried like a broken one).
  std::uint32_t receiveTimeoutMs = 60000;
  // The most bytes the body may have: a larger announced length, or the first byte past it,
  // fails the request without a further attempt; nothing past it is written. 0: unlimited.
  std::uint64_t maxBodyBytes = 0;
};

// One blocking GET. Redirects are followed (at most 5) only within the URL's own scheme, host
// and port; one that leads elsewhere fails the request. The body goes to `destination` when given (its folder is created; the
// file is truncated only after a 2xx status), else it is appended to `body` when given, else
// dropped. A file download that breaks off is resumed with a Range request from the bytes
// already written (restarted from zero when the server answers 200). On failure a partly
// written file stays: the caller removes it. Progress (file downloads with a known length
// only) is reported when its percentage or text changes, and never reports 100.
bool HttpGet(const std::string& url, std::string* body, const std::filesystem::path* destination,
             std::string& error, const ProgressCallback& progress,
             const HttpOptions& options = {});

struct DownloadJob {
  std::string url;
  std::filesystem::path destination;
  std::uint64_t maxBytes = 0;  // the job's own maxBodyBytes when not 0
};

// Fetches every job, up to `connections` at a time; progress aggregated over all bytes.
// Each job is one HttpGet into its own file (resumed alike). The first failure ends the list at
// once: the other transfers are closed mid-request, none is retried and no further job starts;
// the error is that first failure's text. Files written so far stay for the caller to remove.
// Progress is reported on the caller's thread.
bool HttpDownloadFiles(const std::vector<DownloadJob>& jobs, int connections,
                       std::string& error, const ProgressCallback& progress,
                       const HttpOptions& options = {});

}  // namespace kel
