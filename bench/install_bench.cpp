// Install benchmark program, driven by bench/install_bench.py. Prints key=value lines.
//   install_bench full ORIGIN DIR    full install into DIR\full, its phases from the progress
//                                    calls; the same install without flushing each written
//                                    file into DIR\noflush, then one flush of the volume; then
//                                    the same package extracted by the system's tar.exe and
//                                    its files copied by CopyFileW into DIR\copy
//   install_bench update ORIGIN DIR  the update of DIR\full to the release now published
//   install_bench multi ORIGIN DIR N install or update DIR\v1 .. DIR\vN in one run, as the
//                                    silent runner does (one download cache for all)
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "install/deploy.h"
#include "install/download_cache.h"
#include "install/extract.h"
#include "install/install.h"
#include "net/origin.h"
#include "net/release.h"
#include "safefs/volume_cache.h"

namespace {

namespace fs = std::filesystem;

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

void Print(const char* key, double value) { std::printf("%s=%.1f\n", key, value); }

int Fail(const std::string& what) {
  std::printf("error=%s\n", what.c_str());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  kel::VolumeCacheScope operation;  // the whole benchmark is one operation, as a run is
  if (argc < 4) return 2;
  const std::wstring mode = argv[1];
  const std::string origin = kel::WideToUtf8(argv[2]);
  const fs::path dir = argv[3];
  kel::InstallerRelease release;
  std::string error;
  if (!kel::FetchLatestRelease(origin, release, error)) return Fail("fetch: " + error);

  if (mode == L"multi" && argc == 5) {
    kel::DownloadCache cache;
    const int versions = std::stoi(argv[4]);
    std::uint64_t downloaded = 0, written = 0;
    const double started = Now();
    for (int i = 1; i <= versions; ++i) {
      kel::InstallRequest each;
      each.pluginsDir = dir / (L"v" + std::to_wstring(i));
      each.origin = origin;
      each.release = release;
      each.cache = &cache;
      const kel::InstallResult result = kel::InstallIntoPlugins(each);
      if (!result.success) return Fail("install: " + result.message);
      downloaded += result.downloadedCount;
      written += result.writtenCount;
    }
    Print("install_ms", Now() - started);
    Print("downloaded_files", static_cast<double>(downloaded));
    Print("written_files", static_cast<double>(written));
    return 0;
  }

  kel::InstallRequest request;
  request.pluginsDir = dir / L"full";
  request.origin = origin;
  request.release = release;
  double extract_at = 0, deploy_at = 0, deployed_at = 0;
  request.progress = [&](int percent, const std::string& text) {
    if (text == "正在校验并解压安装文件...") extract_at = Now();
    // Download progress (0..99) comes before extraction; file progress (75..98) after it.
    if (extract_at == 0) return;
    if (percent >= 75 && percent < 100 && deploy_at == 0) deploy_at = Now();
    if (percent >= 75 && percent < 100) deployed_at = Now();
  };
  const double started = Now();
  const kel::InstallResult result = kel::InstallIntoPlugins(request);
  const double ended = Now();
  if (!result.success) return Fail("install: " + result.message);
  Print("install_ms", ended - started);
  Print("downloaded_files", static_cast<double>(result.downloadedCount));
  Print("written_files", static_cast<double>(result.writtenCount));
  if (mode == L"update") return 0;

  // The phases of the full install: download, extraction, deployment (first progress after
  // extraction comes after the first file).
  Print("install_download_ms", extract_at - started);
  Print("install_extract_ms", deploy_at - extract_at);  // includes the first file
  Print("install_deploy_ms", deployed_at - deploy_at);
  Print("install_cleanup_ms", ended - deployed_at);

  // What the flush of every written file costs: the same install without it, and one flush of
  // the whole volume instead (which needs administrator rights on Windows; Wine grants them).
  {
    kel::InstallRequest unflushed = request;
    unflushed.pluginsDir = dir / L"noflush";
    unflushed.progress = {};
    kel::SetFlushWrittenFiles(false);
    const double noflush_started = Now();
    const kel::InstallResult again = kel::InstallIntoPlugins(unflushed);
    const double noflush_ended = Now();
    kel::SetFlushWrittenFiles(true);
    if (!again.success) return Fail("install without flushes: " + again.message);
    Print("install_noflush_ms", noflush_ended - noflush_started);
    const std::wstring volume = L"\\\\.\\" + dir.root_name().wstring();
    HANDLE handle = CreateFileW(volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    const double volume_started = Now();
    const bool flushed = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
    Print("volume_flush_ms", flushed ? Now() - volume_started : -1.0);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }

  // Baseline: the same package, extracted by tar.exe, then copied file by file.
  const fs::path package = dir / L"package.zip";
  if (!kel::DownloadAndVerify(kel::JoinOriginPath(origin, release.downloadZipUrl), package,
                              release.zipSha256, error, {}))
    return Fail("download: " + error);
  const fs::path stage = dir / L"stage";
  const double tar_started = Now();
  if (!kel::ExtractPackage(package, stage, error)) return Fail("extract: " + error);
  const double copy_started = Now();
  std::uint64_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(stage)) {
    const fs::path target = dir / L"copy" / fs::relative(entry.path(), stage);
    if (entry.is_directory()) {
      fs::create_directories(target);
    } else if (CopyFileW(entry.path().c_str(), target.c_str(), FALSE)) {
      ++files;
    }
  }
  const double copy_ended = Now();
  Print("tar_extract_ms", copy_started - tar_started);
  Print("plain_copy_ms", copy_ended - copy_started);
  Print("plain_copy_files", static_cast<double>(files));
  return 0;
}
