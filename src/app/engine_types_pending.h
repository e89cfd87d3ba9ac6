#pragma once
// Engine records the wizard consumes, declared here only until the engines' own headers
// (sketchup/discovery.h, net/release.h, install/install.h, decommission/uninstall.h) land on
// this branch; then this file goes and the includes switch over.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/progress.h"

namespace kel {

struct SketchUpTarget {
  int year = 0;
  std::filesystem::path pluginsDir;
  bool pluginsDirUsable = false;
  bool centerPresent = false;
  std::string installedVersion;
};

struct ReleaseFile {
  std::string relativePath;
  std::string sha256;
  std::uint64_t size = 0;
};

struct InstallerRelease {
  std::string featureCode = "kel_plugin_center";
  std::string pluginName = "Kel 插件中心";
  std::string versionCode;
  std::string zipSha256;
  std::uint64_t fileSizeBytes = 0;
  std::string changelog;
  std::string suVersions;
  std::string downloadZipUrl = "/v3/installer/download/zip";
  std::string blobDownloadUrlPrefix = "/v3/installer/download/blob/";
  std::vector<ReleaseFile> files;
};

struct InstallRequest {
  std::filesystem::path pluginsDir;
  std::string origin;
  std::optional<InstallerRelease> release;
  std::filesystem::path offlinePackage;
  ProgressCallback progress;
};

struct InstallResult {
  bool success = false;
  bool isUpdate = false;
  std::uint64_t downloadedCount = 0;
  std::uint64_t writtenCount = 0;
  std::uint64_t unchangedCount = 0;
  std::string message;
};

struct UninstallResult {
  bool success = false;
  std::uint64_t uninstalledMarketplace = 0;
  std::uint64_t restoredThirdParty = 0;
  std::uint64_t recoveredOrphanGates = 0;
  bool globalPurged = false;
  std::vector<std::string> warnings;
  std::string error;
};

}  // namespace kel
