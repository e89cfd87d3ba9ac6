#include "install/install.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <optional>
#include <cwctype>
#include <fstream>
#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "install/deploy.h"
#include "install/download_cache.h"
#include "install/extract.h"
#include "install/package_paths.h"
#include "install/plugins_lock.h"
#include "install/sha256.h"
#include "install/temp_leftovers.h"
#include "net/origin.h"
#include "net/release_trust.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"
#include "sketchup/discovery.h"
#include "sketchup/installed_version.h"

namespace kel {
namespace {

constexpr std::size_t kMaxDifferentialFiles = 30;
constexpr std::uint64_t kFreeSpaceMarginBytes = 8ull * 1024 * 1024;

void Report(const InstallRequest& request, int percent, const std::string& text) {
  if (request.progress) request.progress(percent, text);
}

bool IsDirectory(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

void RemoveQuietly(const std::filesystem::path& path) {
  std::vector<std::string> ignored;
  RemoveTreeOrScheduleAtReboot(path, ignored);
}

constexpr std::wstring_view kVersionKey = L"kel_plugin_center/version";

// The VERSION content a deployment commits last: a shipped or listed file's bytes when they
// can be written atomically (1 byte to 64 KiB), else nothing.
std::optional<std::string> VersionContentOf(const std::filesystem::path& file) {
  bool existed = false;
  std::string content, ignored;
  if (!ReadStateFile(file, kStateFileLimit64KiB, true, existed, content, ignored) || !existed)
    return std::nullopt;
  return content;
}

// What the folder's VERSION holds now; nothing when it cannot be read.
std::optional<std::string> CurrentVersionContent(const std::filesystem::path& plugins_dir) {
  return VersionContentOf(plugins_dir / L"kel_plugin_center" / L"VERSION");
}

struct PackageFile {
  std::filesystem::path path;
  std::string relative;  // '/' separated, UTF-8
  std::uint64_t size = 0;
};

// Every regular file below `dir` in the file system's order; links and junctions are neither
// listed nor entered. A folder that cannot be read whole fails the listing: an install that
// went on with part of the package would report success with files missing.
bool ListPackageFiles(const std::filesystem::path& dir, const std::wstring& relative,
                      std::vector<PackageFile>& files, std::string& error) {
  const auto fail = [&](DWORD code) {
    error = WinErrorText("读取解压文件列表失败", code) + ": " + WideToUtf8(dir.wstring());
    return false;
  };
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((ToExtendedPath(dir) + L"\\*").c_str(), &data));
  if (!find) return fail(GetLastError());
  std::vector<std::pair<std::wstring, WIN32_FIND_DATAW>> entries;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") entries.emplace_back(name, data);
  } while (FindNextFileW(find.get(), &data));
  if (const DWORD code = GetLastError(); code != ERROR_NO_MORE_FILES) return fail(code);
  find.reset();
  for (const auto& [name, entry] : entries) {
    const std::filesystem::path path = dir / name;
    const std::wstring rel = relative.empty() ? name : relative + L"/" + name;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (!ListPackageFiles(path, rel, files, error)) return false;
    } else {
      const std::uint64_t size =
          (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
      files.push_back({path, WideToUtf8(rel), size});
    }
  }
  return true;
}

std::uint64_t SizeOf(const std::filesystem::path& file) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(ToExtendedPathIfLong(file).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string WholeMiB(std::uint64_t bytes) {
  return std::to_string(bytes / (1024 * 1024) + (bytes % (1024 * 1024) != 0 ? 1 : 0));
}

// Refuses to start writing what the volume cannot hold, rather than fail halfway and take
// every file back. Each file that will be written needs its whole size, since the file it
// replaces stays aside until the last one is written; the margin covers folders and the file
// system's own bookkeeping.
bool EnsureRoomFor(const std::filesystem::path& plugins_dir, std::uint64_t bytes,
                   std::string& error) {
  ULARGE_INTEGER available{};
  // When the volume cannot be asked, the copies report their own failures.
  if (!GetDiskFreeSpaceExW(plugins_dir.c_str(), &available, nullptr, nullptr)) return true;
  const std::uint64_t needed = bytes + bytes / 10 + kFreeSpaceMarginBytes;
  if (needed <= available.QuadPart) return true;
  error = "磁盘空间不足，无法写入安装文件 (需要 " + WholeMiB(needed) + " MB，可用 " +
          WholeMiB(available.QuadPart) + " MB): " + WideToUtf8(plugins_dir.wstring());
  return false;
}

bool HoldsPluginCenter(const std::filesystem::path& dir) {
  return IsDirectory(dir / L"kel_plugin_center") || IsRegularFile(dir / L"kel_plugin_center.rb");
}

// No link or junction anywhere from the staging folder down to the package root: a package
// must not reach out of the staging folder through one.
bool RootIsPhysical(const std::filesystem::path& stage, const std::filesystem::path& root,
                    std::string& error) {
  std::vector<std::filesystem::path> levels;
  for (std::filesystem::path level = root;; level = level.parent_path()) {
    levels.push_back(level);
    if (level == stage || !level.has_relative_path() || level == level.parent_path()) break;
  }
  for (const std::filesystem::path& level : levels) {
    if (QueryPathKind(level) != PathKind::kDirectory) {
      error = "安装包目录结构不安全: " + WideToUtf8(level.wstring());
      return false;
    }
  }
  return true;
}

// Writes `planned` (files that differ from their targets) and then `version`, all or none.
bool DeployPlanned(const InstallRequest& request, const std::vector<PlannedFile>& planned,
                   const std::optional<std::string>& version, std::uint64_t written_bytes,
                   Deployment& deployment, InstallResult& result) {
  const std::filesystem::path& plugins_dir = request.pluginsDir;
  if (planned.empty() && !version) {
    deployment.Commit();
    return true;
  }
  std::string error;
  if (!EnsureRoomFor(plugins_dir, written_bytes, error)) {
    result.message = error;
    return false;
  }
  // A file another process holds without delete sharing usually stops the install here,
  // before anything changed.
  for (const PlannedFile& file : planned) {
    if (!deployment.CheckReplaceable(file.target, error)) {
      result.message = error;
      return false;
    }
  }
  if (!deployment.Begin(plugins_dir, planned, version, error)) {
    result.message = deployment.RollBackAfter(error);
    return false;
  }
  const std::size_t total = planned.size();
  for (std::size_t i = 1; i <= total; ++i) {
    if (!deployment.Write(planned[i - 1], error)) {
      result.message = deployment.RollBackAfter(error);
      return false;
    }
    ++result.writtenCount;
  }
  if (!deployment.Finish(version, error)) {
    result.message = deployment.RollBackAfter(error);
    return false;
  }
  return true;
}

// The version text an install commits when the release or package brings no VERSION file of
// its own: versionCode + LF, unless VERSION holds it already.
std::optional<std::string> VersionFromRelease(const InstallRequest& request) {
  if (!request.release || request.release->versionCode.empty()) return std::nullopt;
  const std::string content = request.release->versionCode + "\n";
  if (CurrentVersionContent(request.pluginsDir) == content) return std::nullopt;
  return content;
}

// The full path: package (downloaded or offline), extraction, deployment of every file.
void InstallFullPackage(const InstallRequest& request, DownloadCache& cache,
                        InstallResult& result) {
  const std::filesystem::path& plugins_dir = request.pluginsDir;
  std::filesystem::path package;
  if (!request.offlinePackage.empty()) {
    if (!IsRegularFile(request.offlinePackage)) {
      result.message = "指定的本地安装包不存在";
      return;
    }
    package = request.offlinePackage;
  } else {
    if (!request.release) {
      result.message = "未获取到远端安装包版本信息";
      return;
    }
    Report(request, 15,
           result.isUpdate ? "改动文件较多，正在下载新版完整更新包..."
                           : "正在下载 Kel 插件中心与管理器安装包...");
    bool fetched = false;
    const FetchJob job{JoinOriginPath(request.origin, request.release->downloadZipUrl),
                       request.release->zipSha256, request.release->fileSizeBytes};
    if (!cache.FetchOne(job, L".zip", package, fetched, result.message, request.progress)) return;
    if (fetched) {
      result.downloadedCount = 1;
    } else if (!job.sha256.empty() && !cache.Use(job, L".zip", package, result.message)) {
      // A package an earlier folder of this run fetched is checked again where it is used.
      return;
    }
  }

  const std::filesystem::path stage = MakeTemporaryName(TemporaryKind::kStage);
  Report(request, 70, "正在校验并解压安装文件...");
  std::string error;
  std::vector<PackageFile> files;
  std::filesystem::path root;
  if (!ExtractPackage(package, stage, error) ||
      !RootIsPhysical(stage, root = LocatePluginCenterRoot(stage), error) ||
      !ListPackageFiles(root, L"", files, error)) {
    RemoveQuietly(stage);
    result.message = error;
    return;
  }

  // Which files differ from their targets: only those are written, counted for free space
  // and recorded. VERSION is held back for the very end.
  Deployment deployment;
  std::vector<PlannedFile> planned;
  std::optional<std::string> version;
  bool package_has_version = false;
  std::uint64_t written_bytes = 0;
  const std::size_t total = files.size();
  const std::string step_text = result.isUpdate ? "正在应用差异更新文件..." : "正在写入安装文件...";
  for (std::size_t i = 1; i <= total; ++i) {
    const PackageFile& file = files[i - 1];
    std::filesystem::path target;
    std::wstring key;
    if (!ResolveWritablePath(plugins_dir, file.relative, target, key)) continue;
    if (i % 20 == 1 || i == total) {
      Report(request, static_cast<int>(75 + 23 * i / std::max<std::size_t>(total, 1)), step_text);
    }
    PlannedFile plan{file.path, target, {}};
    if (!Sha256OfFile(file.path, plan.sha256, error)) {
      RemoveQuietly(stage);
      result.message = error;
      return;
    }
    std::string current, ignored;
    const bool same = QueryPathKind(target) == PathKind::kFile &&
                      Sha256OfFile(target, current, ignored) && current == plan.sha256;
    if (key == kVersionKey) {
      if (auto content = VersionContentOf(file.path)) {
        package_has_version = true;
        if (same) {
          ++result.unchangedCount;
        } else {
          version = std::move(content);
          ++result.writtenCount;
        }
        continue;
      }
    }
    if (same) {
      ++result.unchangedCount;
      deployment.Keep(target);
      continue;
    }
    written_bytes += file.size;
    planned.push_back(std::move(plan));
  }
  // The VERSION of an earlier install must not survive an update by package: it would
  // report the old version until some later run rewrote it. Only a shipped one is kept.
  if (!package_has_version) version = VersionFromRelease(request);

  const bool deployed = DeployPlanned(request, planned, version, written_bytes, deployment, result);
  RemoveQuietly(stage);
  if (!deployed) {
    if (version && package_has_version) --result.writtenCount;
    return;
  }
  result.success = true;
  result.way = InstallWay::FullPackage;
  Report(request, 100, result.isUpdate ? "更新完成！" : "安装完成！");
}

// The signed "<package>.release.json" beside an offline package, whose zipSha256 must be
// the package's own.
bool ReadOfflineRelease(const std::filesystem::path& package, const ReleaseTrust& trust,
                        InstallerRelease& release) {
  std::filesystem::path manifest = package;
  manifest += L".release.json";
  std::ifstream in(manifest, std::ios::binary);
  if (!in.is_open()) return false;
  std::string body(kMaxReleaseDocumentBytes + 1, '\0');
  in.read(body.data(), static_cast<std::streamsize>(body.size()));
  if (in.bad() || static_cast<std::uint64_t>(in.gcount()) > kMaxReleaseDocumentBytes) {
    return false;
  }
  body.resize(static_cast<std::size_t>(in.gcount()));
  std::string error, digest;
  return ReadTrustedRelease(body, trust, release, error) &&
         Sha256OfFile(package, digest, error) && digest == release.zipSha256;
}

// With pinned keys: the release an offline package proves with its signed manifest, and no
// release older than what the folder holds. False with the message set when refused.
bool ApplyTrust(const InstallRequest& request, std::optional<InstallerRelease>& release,
                std::string& message) {
  const ReleaseTrust* trust = request.trust;
  if (trust == nullptr || !trust->pinned) return true;
  if (!request.offlinePackage.empty()) {
    if (!IsRegularFile(request.offlinePackage)) {
      message = "指定的本地安装包不存在";
      return false;
    }
    InstallerRelease signed_release;
    if (!ReadOfflineRelease(request.offlinePackage, *trust, signed_release)) {
      message = kOfflineManifestText;
      return false;
    }
    release = std::move(signed_release);
  }
  if (release && !trust->allowDowngrade) {
    // An unknown installed version cannot be rolled back to: there is nothing to compare.
    const std::string installed = ReadInstalledVersion(request.pluginsDir);
    if (!installed.empty() && CompareVersions(release->versionCode, installed) < 0) {
      message = kDowngradeText;
      return false;
    }
  }
  return true;
}

}  // namespace

std::filesystem::path LocatePluginCenterRoot(const std::filesystem::path& stage) {
  if (HoldsPluginCenter(stage)) return stage;
  std::vector<std::filesystem::path> kept;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(stage, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec)) continue;
    std::wstring name = it->path().filename().wstring();
    for (wchar_t& c : name)
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (name == L"__macosx" || name == L".git") continue;
    kept.push_back(it->path());
  }
  if (kept.size() == 1) {
    const std::filesystem::path& only = kept.front();
    if (HoldsPluginCenter(only)) return only;
    if (IsDirectory(only / L"Plugins" / L"kel_plugin_center")) return only / L"Plugins";
  }
  return stage;
}

InstallResult InstallIntoPlugins(const InstallRequest& original) {
  InstallResult result;
  InstallRequest request = original;
  DownloadCache own_cache;
  DownloadCache& cache = request.cache ? *request.cache : own_cache;
  // Once per run: what killed runs left in TEMP goes before this run adds its own.
  if (cache.ClaimFirstUse()) RemoveStaleInstallerTemp(std::filesystem::temp_directory_path());

  const std::filesystem::path& plugins_dir = request.pluginsDir;
  if (plugins_dir.empty() || IsLinkOrReparsePoint(plugins_dir)) {
    result.message = "目标 SketchUp Plugins 目录路径不安全或无效";
    return result;
  }
  if (!ApplyTrust(request, request.release, result.message)) return result;
  std::error_code ec;
  if (!std::filesystem::exists(plugins_dir, ec)) {
    std::string error;
    if (!EnsureStateDirectory(plugins_dir, error)) {
      result.message = "创建 SketchUp Plugins 目录失败: " + error;
      return result;
    }
  }
  // One setup per folder; then whatever a killed run left is put right before anything else.
  PluginsFolderLock lock;
  if (!lock.Acquire(plugins_dir, result.message)) return result;
  if (!RecoverUnfinishedDeployment(plugins_dir, result.message)) return result;

  const std::filesystem::path center = plugins_dir / L"kel_plugin_center";
  const bool installed = IsDirectory(center) && !IsLinkOrReparsePoint(center);
  result.isUpdate = installed;
  const bool differential = installed && request.offlinePackage.empty() && request.release &&
                            !request.release->files.empty();
  if (!differential) {
    InstallFullPackage(request, cache, result);
    return result;
  }

  const InstallerRelease& release = *request.release;
  Report(request, 10, "正在比对本地插件中心文件差异...");
  struct Change {
    const ReleaseFile* file;
    std::filesystem::path local;
    bool isVersion;
  };
  std::vector<Change> changes;
  std::uint64_t changed_bytes = 0;
  Deployment deployment;
  // Two entries for one file (as Windows compares names) would rewrite it on every run: with
  // different digests the manifest is refused before anything is fetched or written.
  std::map<std::wstring, const ReleaseFile*> seen;
  bool manifest_has_version = false;
  for (const ReleaseFile& file : release.files) {
    std::filesystem::path local;
    std::wstring key;
    if (!ResolveWritablePath(plugins_dir, file.relativePath, local, key)) continue;
    const auto [place, added] = seen.emplace(key, &file);
    if (!added) {
      if (place->second->sha256 == file.sha256) continue;
      result.message = "更新清单中同一文件出现多次且内容不同: " + place->second->relativePath +
                       ", " + file.relativePath;
      return result;
    }
    const bool is_version = key == kVersionKey;
    manifest_has_version = manifest_has_version || is_version;
    if (IsRegularFile(local) && !IsLinkOrReparsePoint(local)) {
      std::string digest, ignored;
      if (Sha256OfFile(local, digest, ignored) && digest == file.sha256) {
        ++result.unchangedCount;
        deployment.Keep(local);
        continue;
      }
    }
    changes.push_back({&file, local, is_version});
    // Sizes come from the server: saturate rather than wrap.
    changed_bytes = file.size > UINT64_MAX - changed_bytes ? UINT64_MAX : changed_bytes + file.size;
  }

  if (changes.empty()) {
    // A listed VERSION is compared like any file; versionCode + LF only stands in for none.
    const std::optional<std::string> version =
        manifest_has_version ? std::nullopt : VersionFromRelease(request);
    if (version) {
      std::string ignored;
      WriteStateFileAtomic(center / L"VERSION", *version, kStateFileLimit64KiB, ignored);
    }
    deployment.Commit();
    result.success = true;
    result.way = InstallWay::NothingToDo;
    Report(request, 100, "本地文件均已是最新，无需更新。");
    return result;
  }

  // Past these limits one package download costs less than many single files.
  const bool too_many =
      changes.size() > kMaxDifferentialFiles ||
      (release.fileSizeBytes != 0 &&
       static_cast<unsigned __int128>(changed_bytes) * 10 >=
           static_cast<unsigned __int128>(release.fileSizeBytes) * 7);
  if (too_many) {
    // The package deployment counts identical files itself; keeping the comparison's count
    // as well would report most files twice.
    result.unchangedCount = 0;
    InstallFullPackage(request, cache, result);
    return result;
  }

  // Every changed file is fetched and verified before the first one is written: a broken
  // connection must not leave a mix of old and new files for SketchUp to load.
  const std::size_t n = changes.size();
  std::vector<FetchJob> jobs;
  for (const Change& change : changes) {
    jobs.push_back({JoinOriginPath(request.origin,
                                   release.blobDownloadUrlPrefix + change.file->sha256),
                    change.file->sha256, change.file->size});
  }
  const bool fetched = cache.FetchAll(jobs, L".blob", result.downloadedCount, result.message,
                                      [&](std::size_t index) {
                                        const std::size_t k = index + 1;
                                        Report(request, static_cast<int>(15 + 80 * k / n),
                                               "正在差异化下载更新 (" + std::to_string(k) + "/" +
                                                   std::to_string(n) + "): " +
                                                   changes[index].file->relativePath);
                                      });
  if (!fetched) return result;

  // Each cached file is checked again here, where it is used (another folder of this run may
  // have fetched it long ago); the copy checks the bytes it writes once more.
  std::vector<PlannedFile> planned;
  std::optional<std::string> version =
      manifest_has_version ? std::nullopt : VersionFromRelease(request);
  std::uint64_t written_bytes = 0;
  for (std::size_t k = 0; k < n; ++k) {
    std::filesystem::path blob;
    if (!cache.Use(jobs[k], L".blob", blob, result.message)) return result;
    if (changes[k].isVersion) {
      if (auto content = VersionContentOf(blob)) {
        version = std::move(content);
        continue;
      }
    }
    written_bytes += SizeOf(blob);
    planned.push_back({blob, changes[k].local, changes[k].file->sha256});
  }
  const bool version_listed = manifest_has_version && version.has_value();
  if (!DeployPlanned(request, planned, version, written_bytes, deployment, result)) {
    return result;
  }
  if (version_listed) ++result.writtenCount;
  result.success = true;
  result.way = InstallWay::Differential;
  Report(request, 100, "差异化更新完成！");
  return result;
}

}  // namespace kel
