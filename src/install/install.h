#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/progress.h"
#include "net/release.h"

namespace kel {

class DownloadCache;
struct ReleaseTrust;

struct InstallRequest {
  std::filesystem::path pluginsDir;         // the SketchUp Plugins directory
  std::string origin;                       // resolved backend origin
  std::optional<InstallerRelease> release;  // absent when none could be fetched
  std::filesystem::path offlinePackage;     // a local release zip; nothing is downloaded then
  ProgressCallback progress;                // may be empty
  // The run's downloads, shared by every Plugins folder of one run; null: this call's own.
  DownloadCache* cache = nullptr;
  // The publisher's keys, when the program has them: an offline package then needs its signed
  // "<package>.release.json", and an older release than the installed one is refused.
  // Null: releases are taken as they come.
  const ReleaseTrust* trust = nullptr;
};

// How a successful install went: nothing to change, single changed files, or the package.
enum class InstallWay { None, NothingToDo, Differential, FullPackage };

struct InstallResult {
  bool success = false;
  InstallWay way = InstallWay::None;
  bool isUpdate = false;  // kel_plugin_center already existed as a real directory
  std::uint64_t downloadedCount = 0;
  std::uint64_t writtenCount = 0;
  std::uint64_t unchangedCount = 0;
  std::string message;  // failure text; empty on success
};

// Brings one Plugins directory to the release: differential (blobs), full package, or
// nothing to do. Everything is fetched and room on the volume checked before the first file
// is written. The files are written all or none: a file that cannot be written puts every
// file of this call back as it was. Never deletes an installed file; VERSION is written only
// after every file.
InstallResult InstallIntoPlugins(const InstallRequest& request);

// The folder of an extracted package that plays the part of a Plugins directory.
std::filesystem::path LocatePluginCenterRoot(const std::filesystem::path& stage);

}  // namespace kel
