#include "net/release.h"

#include <system_error>

#include "install/sha256.h"
#include "net/http_client.h"
#include "net/origin.h"
#include "net/release_trust.h"

namespace kel {
namespace {

void RemoveQuietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

bool FetchLatestRelease(const std::string& origin, InstallerRelease& release, std::string& error) {
  return FetchTrustedRelease(origin, ReleaseTrust{}, release, error);
}

bool VerifyDownload(const std::filesystem::path& file, const std::string& expectedSha256,
                    std::string& error) {
  if (expectedSha256.empty()) return true;
  std::string actual;
  if (!Sha256OfFile(file, actual, error)) {
    RemoveQuietly(file);
    return false;
  }
  if (Lower(expectedSha256) == actual) return true;
  // A damaged download never stays on disk.
  RemoveQuietly(file);
  error = "下载文件 SHA-256 校验失败 (期望 " + expectedSha256 + ", 实际 " + actual + ")";
  return false;
}

bool DownloadAndVerify(const std::string& url, const std::filesystem::path& destination,
                       const std::string& expectedSha256, std::string& error,
                       const ProgressCallback& progress, std::uint64_t maxBytes) {
  HttpOptions options;
  options.maxBodyBytes = maxBytes;
  if (!HttpGet(url, nullptr, &destination, error, progress, options)) {
    RemoveQuietly(destination);
    return false;
  }
  return VerifyDownload(destination, expectedSha256, error);
}

}  // namespace kel
