#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/progress.h"

namespace kel {

// One file of the release manifest.
struct ReleaseFile {
  std::string relativePath;  // relative to the Plugins folder, '/' separated
  std::string sha256;        // 64 lower-case hex characters
  std::uint64_t size = 0;
};

// The current plugin-center release as the backend announces it.
struct InstallerRelease {
  std::string featureCode = "kel_plugin_center";
  std::string pluginName = "Kel 插件中心";
  std::string versionCode;
  std::string zipSha256;  // lower case
  std::uint64_t fileSizeBytes = 0;
  std::string changelog;
  std::string suVersions;
  std::string downloadZipUrl = "/v3/installer/download/zip";
  std::string blobDownloadUrlPrefix = "/v3/installer/download/blob/";
  std::vector<ReleaseFile> files;
};

// Reads the metadata envelope of "/v3/installer/latest" (no network). An empty versionCode
// fails with the error left empty for the caller's own text.
bool ParseReleaseDocument(std::string_view body, InstallerRelease& release, std::string& error);

// The largest metadata document accepted: a bigger answer is a failed query, never an
// allocation of whatever the server sends.
inline constexpr std::uint64_t kMaxReleaseDocumentBytes = 16u << 20;

// GET origin + "/v3/installer/latest" (one further attempt after a time-out, a broken
// connection or a 5xx answer) and parse it.
bool FetchLatestRelease(const std::string& origin, InstallerRelease& release, std::string& error);

// The one check of a downloaded file: its SHA-256 against `expectedSha256` (any case; empty:
// not checked). A file that fails it (or cannot be read) is removed, and the message names
// both digests.
bool VerifyDownload(const std::filesystem::path& file, const std::string& expectedSha256,
                    std::string& error);

// Downloads `url` into `destination` and checks it against `expectedSha256` (any case; empty:
// not checked). A non-zero `maxBytes` (the size the release gives) fails the download at the
// first byte past it. On failure the file has been removed.
bool DownloadAndVerify(const std::string& url, const std::filesystem::path& destination,
                       const std::string& expectedSha256, std::string& error,
                       const ProgressCallback& progress, std::uint64_t maxBytes = 0);

}  // namespace kel
