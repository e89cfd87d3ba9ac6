// Runs one InstallIntoPlugins for the end-to-end tests and benchmarks and prints its outcome
// as one JSON object (UTF-8) on standard output:
//   install_driver.exe PLUGINS_DIR ORIGIN [--package ZIP] [--fetch]
// Without --package the release is fetched from ORIGIN; with it, only when --fetch is given.
// Output: result fields, every progress call in order, and the elapsed milliseconds.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

#include "common/text.h"
#include "install/install.h"
#include "net/release.h"

namespace {

void Print(const nlohmann::json& value) {
  const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
            &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  kel::InstallRequest request;
  request.pluginsDir = argv[1];
  request.origin = kel::WideToUtf8(argv[2]);
  bool fetch = true;
  for (int i = 3; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--package" && i + 1 < argc) {
      request.offlinePackage = argv[++i];
      fetch = false;
    } else if (arg == L"--fetch") {
      fetch = true;
    }
  }
  nlohmann::json out;
  if (fetch) {
    kel::InstallerRelease release;
    std::string error;
    if (!kel::FetchLatestRelease(request.origin, release, error)) {
      out["fetchError"] = error;
      Print(out);
      return 3;
    }
    request.release = release;
  }
  nlohmann::json progress = nlohmann::json::array();
  request.progress = [&progress](int percent, const std::string& text) {
    progress.push_back({percent, text});
  };
  const ULONGLONG started = GetTickCount64();
  const kel::InstallResult result = kel::InstallIntoPlugins(request);
  out["elapsedMs"] = GetTickCount64() - started;
  out["success"] = result.success;
  out["isUpdate"] = result.isUpdate;
  out["downloadedCount"] = result.downloadedCount;
  out["writtenCount"] = result.writtenCount;
  out["unchangedCount"] = result.unchangedCount;
  out["message"] = result.message;
  out["progress"] = progress;
  Print(out);
  return result.success ? 0 : 4;
}
