#include "install/install.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "install/deploy.h"
#include "install/extract.h"
#include "install/sha256.h"
#include "net/origin.h"
#include "safefs/state_file.h"
#include "sketchup/discovery.h"

namespace kel {
namespace {

constexpr std::size_t kMaxDifferentialFiles = 30;

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
  return true;
}

void WriteVersionFile(const std::filesystem::path& center_dir, const std::string& version_code) {
  std::string ignored;
  WriteStateFileAtomic(center_dir / L"VERSION", version_code + "\n", kStateFileLimit1KiB, ignored);
}

struct PackageFile {
  std::filesystem::path path;
  std::string relative;  // '/' separated, UTF-8
};

// Every regular file below `dir` in the file system's order; links and junctions are neither
// listed nor entered.
void ListPackageFiles(const std::filesystem::path& dir, const std::wstring& relative,
                      std::vector<PackageFile>& files) {
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((dir / L"*").c_str(), &data));
  if (!find) return;
  std::vector<std::pair<std::wstring, DWORD>> entries;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") entries.emplace_back(name, data.dwFileAttributes);
  } while (FindNextFileW(find.get(), &data));
  find.reset();
  for (const auto& [name, attributes] : entries) {
    const std::filesystem::path path = dir / name;
    const std::wstring rel = relative.empty() ? name : relative + L"/" + name;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || IsLinkOrReparsePoint(path)) continue;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ListPackageFiles(path, rel, files);
    } else if (IsRegularFile(path)) {
      files.push_back({path, WideToUtf8(rel)});
    }
  }
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
void InstallFullPackage(const InstallRequest& request, InstallResult& result) {
  const std::filesystem::path& plugins_dir = request.pluginsDir;
  std::filesystem::path package;
  std::filesystem::path downloaded;
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
    downloaded = TemporaryName(L"kel_installer_pkg_", L".zip");
    if (!DownloadAndVerify(JoinOriginPath(request.origin, request.release->downloadZipUrl),
                           downloaded, request.release->zipSha256, result.message,
                           request.progress)) {
      return;
    }
    result.downloadedCount = 1;
    package = downloaded;
  }

  const std::filesystem::path stage = TemporaryName(L"kel_installer_stage_", L"");
  auto cleanup = [&] {
    RemoveQuietly(stage);
    if (!downloaded.empty()) {
      std::error_code ignored;
      std::filesystem::remove(downloaded, ignored);
    }
  };
  Report(request, 70, "正在校验并解压安装文件...");
  std::string error;
  if (!ExtractPackage(package, stage, error)) {
    cleanup();
    result.message = error;
    return;
  }

  const std::filesystem::path root = LocatePluginCenterRoot(stage);
  std::vector<PackageFile> files;
  ListPackageFiles(root, L"", files);
  const std::size_t total = files.size();
  const std::string step_text = result.isUpdate ? "正在应用差异更新文件..." : "正在写入安装文件...";
  bool package_has_version = false;
  ProvenDirectories proven;
  for (std::size_t i = 1; i <= total; ++i) {
    const PackageFile& file = files[i - 1];
    if (IsExcludedPackagePath(file.relative)) continue;
    if (AsciiLower(file.relative) == "kel_plugin_center/version") package_has_version = true;
    std::wstring wide = Utf8ToWide(file.relative);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    bool written = false, unchanged = false;
    if (!DeployFile(file.path, plugins_dir / wide, written, unchanged, error, &proven)) {
      cleanup();
      result.message = error;
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
  if (request.release && !request.release->versionCode.empty() && !package_has_version) {
    WriteVersionFile(center, request.release->versionCode);
  }
  cleanup();
  result.success = true;
  result.way = InstallWay::FullPackage;
  Report(request, 100, result.isUpdate ? "更新完成！" : "安装完成！");
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

InstallResult InstallIntoPlugins(const InstallRequest& request) {
  InstallResult result;
  const std::filesystem::path& plugins_dir = request.pluginsDir;
  if (plugins_dir.empty() || IsLinkOrReparsePoint(plugins_dir)) {
    result.message = "目标 SketchUp Plugins 目录路径不安全或无效";
    return result;
  }
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
    InstallFullPackage(request, result);
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
  for (const ReleaseFile& file : release.files) {
    std::filesystem::path local;
    if (!ManifestPathUsable(file.relativePath, local, plugins_dir)) continue;
    if (IsRegularFile(local) && !IsLinkOrReparsePoint(local)) {
      std::string digest, ignored;
      if (Sha256OfFile(local, digest, ignored) && digest == file.sha256) {
        ++result.unchangedCount;
        continue;
      }
    }
    changes.push_back({&file, local});
    // Sizes come from the server: saturate rather than wrap.
    changed_bytes = file.size > UINT64_MAX - changed_bytes ? UINT64_MAX : changed_bytes + file.size;
  }

  if (changes.empty()) {
    result.success = true;
    result.way = InstallWay::NothingToDo;
    if (!release.versionCode.empty()) WriteVersionFile(center, release.versionCode);
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
    InstallFullPackage(request, result);
    return result;
  }

  const std::filesystem::path blobs = TemporaryName(L"kel_diff_blobs_", L"");
  if (!EnsureStateDirectory(blobs, result.message)) return result;
  const std::size_t n = changes.size();
  ProvenDirectories proven;
  for (std::size_t k = 1; k <= n; ++k) {
    const Change& change = changes[k - 1];
    Report(request, static_cast<int>(15 + 80 * k / n),
           "正在差异化下载更新 (" + std::to_string(k) + "/" + std::to_string(n) +
               "): " + change.file->relativePath);
    const std::filesystem::path blob = blobs / (std::to_wstring(k - 1) + L".blob");
    std::string error;
    bool written = false, unchanged = false;
    if (!DownloadAndVerify(
            JoinOriginPath(request.origin, release.blobDownloadUrlPrefix + change.file->sha256),
            blob, change.file->sha256, error, ProgressCallback{})) {
      RemoveQuietly(blobs);
      result.message = error;
      return result;
    }
    ++result.downloadedCount;
    if (!DeployFile(blob, change.local, written, unchanged, error, &proven)) {
      RemoveQuietly(blobs);
      result.message = error;
      return result;
    }
    if (written) ++result.writtenCount;
    if (unchanged) ++result.unchangedCount;
  }
  RemoveQuietly(blobs);
  if (!release.versionCode.empty()) WriteVersionFile(center, release.versionCode);
  result.success = true;
  result.way = InstallWay::Differential;
  Report(request, 100, "差异化更新完成！");
  return result;
}

}  // namespace kel
