#include "install/install.h"

#include <windows.h>

#include <algorithm>
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

std::filesystem::path TemporaryName(const wchar_t* prefix, const wchar_t* suffix) {
  // The temporary-directory query throws when it fails: the caller's handler reports it.
  return std::filesystem::temp_directory_path() /
         (std::wstring(prefix) + std::to_wstring(GetCurrentProcessId()) + L"_" +
          std::to_wstring(GetTickCount64()) + suffix);
}

void RemoveQuietly(const std::filesystem::path& path) {
  std::vector<std::string> ignored;
  RemoveTreeOrScheduleAtReboot(path, ignored);
}

std::wstring LongPathOf(const std::filesystem::path& path) {
  const std::wstring extended = ToExtendedPath(path);
  std::wstring buffer(MAX_PATH, L'\0');
  DWORD length = GetLongPathNameW(extended.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length);
    length = GetLongPathNameW(extended.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  }
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return buffer;
}

// A short name (KEL_PL~1) reaches the same folder as its long name: where a target holds one,
// the part of it that exists is spelled out in full before the exclusion test.
bool ExcludedThroughShortName(const std::filesystem::path& plugins_dir,
                              const std::wstring& relative) {
  if (relative.find(L'~') == std::wstring::npos) return false;
  std::filesystem::path existing = plugins_dir / relative, rest;
  std::wstring expanded;
  while ((expanded = LongPathOf(existing)).empty()) {
    if (!existing.has_relative_path() || existing == existing.parent_path()) return true;
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
  const std::wstring base = LongPathOf(plugins_dir);
  if (base.empty()) return true;
  const std::filesystem::path full = rest.empty() ? std::filesystem::path(expanded)
                                                  : std::filesystem::path(expanded) / rest;
  std::string text = WideToUtf8(full.lexically_relative(base).wstring());
  std::replace(text.begin(), text.end(), '\\', '/');
  return text.empty() || text.starts_with("..") || IsExcludedPackagePath(text);
}

// A manifest path from the backend joined to the Plugins folder must stay inside it: besides
// the package exclusions, rooted paths ("/x", "\\server\x") and text that is not UTF-8 are
// never used.
bool ManifestPathUsable(const std::string& relative, std::filesystem::path& local,
                        const std::filesystem::path& plugins_dir) {
  if (IsExcludedPackagePath(relative) || !IsSafeArchiveEntry(relative)) return false;
  std::wstring wide = Utf8ToWide(relative);
  if (wide.empty()) return false;
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  const std::filesystem::path rel(wide);
  if (rel.has_root_name() || rel.has_root_directory()) return false;
  local = plugins_dir / rel;
  return !ExcludedThroughShortName(plugins_dir, wide);
}

// An install whose VERSION could not be written is not done: it would report success while
// the folder still names the old version (or none), and no later run would mend it.
bool WriteVersionFile(const std::filesystem::path& center_dir, const std::string& version_code,
                      std::string& error) {
  std::string detail;
  if (WriteStateFileAtomic(center_dir / L"VERSION", version_code + "\n", kStateFileLimit1KiB,
                           detail)) {
    return true;
  }
  error = "写入版本文件失败: " + detail;
  return false;
}

struct PackageFile {
  std::filesystem::path path;
  std::string relative;  // '/' separated, UTF-8
  std::uint64_t size = 0;
  std::filesystem::path target;  // where it goes in the Plugins folder
  bool excluded = false;         // never written there
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
      files.push_back({path, WideToUtf8(rel), size, {}, false});
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
// every file back. Each written file needs its whole size, since the file it replaces stays
// aside until the last one is written; the margin covers folders and the file system's own
// bookkeeping.
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

std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool HoldsPluginCenter(const std::filesystem::path& dir) {
  return IsDirectory(dir / L"kel_plugin_center") || IsRegularFile(dir / L"kel_plugin_center.rb");
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
    if (fetched) result.downloadedCount = 1;
  }

  const std::filesystem::path stage = TemporaryName(L"kel_installer_stage_", L"");
  Report(request, 70, "正在校验并解压安装文件...");
  std::string error;
  std::vector<PackageFile> files;
  const bool listed = ExtractPackage(package, stage, error) &&
                      ListPackageFiles(LocatePluginCenterRoot(stage), L"", files, error);
  // Files identical to their target are not written, but telling them apart means hashing
  // both: every file is counted.
  std::uint64_t written_bytes = 0;
  for (PackageFile& file : files) {
    std::wstring wide = Utf8ToWide(file.relative);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    file.target = plugins_dir / wide;
    file.excluded = IsExcludedPackagePath(file.relative) ||
                    ExcludedThroughShortName(plugins_dir, wide);
    if (!file.excluded) written_bytes += file.size;
  }
  if (!listed || !EnsureRoomFor(plugins_dir, written_bytes, error)) {
    RemoveQuietly(stage);
    result.message = error;
    return;
  }

  // A file another process holds without delete sharing usually stops the install here,
  // before anything changed. Only targets that certainly differ are probed: hashing every
  // target twice would double the cost of an update.
  Deployment deployment;
  for (const PackageFile& file : files) {
    if (file.excluded || (IsRegularFile(file.target) && SizeOf(file.target) == file.size)) continue;
    if (!deployment.CheckReplaceable(file.target, error)) {
      RemoveQuietly(stage);
      result.message = error;
      return;
    }
  }

  const std::size_t total = files.size();
  const std::string step_text = result.isUpdate ? "正在应用差异更新文件..." : "正在写入安装文件...";
  bool package_has_version = false;
  for (std::size_t i = 1; i <= total; ++i) {
    const PackageFile& file = files[i - 1];
    if (file.excluded) continue;
    if (AsciiLower(file.relative) == "kel_plugin_center/version") package_has_version = true;
    bool written = false, unchanged = false;
    if (!deployment.Deploy(file.path, file.target, written, unchanged, error)) {
      result.message = deployment.RollBackAfter(error);
      RemoveQuietly(stage);
      return;
    }
    if (written) ++result.writtenCount;
    if (unchanged) ++result.unchangedCount;
    if (i % 20 == 1 || i == total) {
      Report(request, static_cast<int>(75 + 23 * i / std::max<std::size_t>(total, 1)), step_text);
    }
  }

  // The VERSION of an earlier install must not survive an update by package: it would
  // report the old version until some later run rewrote it. Only a shipped one is kept.
  const std::filesystem::path center = plugins_dir / L"kel_plugin_center";
  if (request.release && !request.release->versionCode.empty() && !package_has_version &&
      !WriteVersionFile(center, request.release->versionCode, error)) {
    result.message = deployment.RollBackAfter(error);
    RemoveQuietly(stage);
    return;
  }
  deployment.Commit();
  RemoveQuietly(stage);
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
  };
  std::vector<Change> changes;
  std::uint64_t changed_bytes = 0;
  Deployment deployment;
  for (const ReleaseFile& file : release.files) {
    std::filesystem::path local;
    if (!ManifestPathUsable(file.relativePath, local, plugins_dir)) continue;
    if (IsRegularFile(local) && !IsLinkOrReparsePoint(local)) {
      std::string digest, ignored;
      if (Sha256OfFile(local, digest, ignored) && digest == file.sha256) {
        ++result.unchangedCount;
        deployment.Keep(local);
        continue;
      }
    }
    changes.push_back({&file, local});
    // Sizes come from the server: saturate rather than wrap.
    changed_bytes = file.size > UINT64_MAX - changed_bytes ? UINT64_MAX : changed_bytes + file.size;
  }

  if (changes.empty()) {
    if (!release.versionCode.empty() &&
        !WriteVersionFile(center, release.versionCode, result.message)) {
      return result;
    }
    result.success = true;
    result.way = InstallWay::NothingToDo;
    deployment.Commit();
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
  std::uint64_t written_bytes = 0;
  for (const Change& change : changes) written_bytes += SizeOf(cache.Find(change.file->sha256));
  if (!EnsureRoomFor(plugins_dir, written_bytes, result.message)) return result;

  for (const Change& change : changes) {
    if (!deployment.CheckReplaceable(change.local, result.message)) return result;
  }
  for (const Change& change : changes) {
    std::string error;
    bool written = false, unchanged = false;
    if (!deployment.Deploy(cache.Find(change.file->sha256), change.local, written, unchanged,
                           error)) {
      result.message = deployment.RollBackAfter(error);
      return result;
    }
    if (written) ++result.writtenCount;
    if (unchanged) ++result.unchangedCount;
  }
  if (!release.versionCode.empty()) {
    std::string error;
    if (!WriteVersionFile(center, release.versionCode, error)) {
      result.message = deployment.RollBackAfter(error);
      return result;
    }
  }
  deployment.Commit();
  result.success = true;
  result.way = InstallWay::Differential;
  Report(request, 100, "差异化更新完成！");
  return result;
}

}  // namespace kel
