// Throughput of the file digest and of a streamed download, with the peak working set.
//   envnet_bench sha256 FILE
//   envnet_bench download URL DESTINATION
//   envnet_bench files CONNECTIONS FOLDER URL...
// Prints one "key=value" line per figure; bench/envnet_bench.py compares them with the system
// tools.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "install/sha256.h"
#include "net/http_client.h"

namespace {

double Seconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double PeakWorkingSetMiB() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

void Report(const char* what, std::uintmax_t bytes, double seconds) {
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf("%s_bytes=%ju\n%s_seconds=%.3f\n%s_mib_per_s=%.1f\npeak_working_set_mib=%.1f\n",
              what, bytes, what, seconds, what, seconds > 0 ? mib / seconds : 0.0,
              PeakWorkingSetMiB());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"sha256" && argc == 3) {
    std::string digest;
    std::string error;
    const double start = Seconds();
    if (!kel::Sha256OfFile(argv[2], digest, error)) {
      std::printf("error=%s\n", error.c_str());
      return 1;
    }
    const double elapsed = Seconds() - start;
    std::printf("sha256=%s\n", digest.c_str());
    Report("sha256", std::filesystem::file_size(argv[2]), elapsed);
    return 0;
  }
  if (mode == L"download" && argc == 4) {
    const std::filesystem::path destination = argv[3];
    std::string error;
    unsigned long long calls = 0;
    const double start = Seconds();
    if (!kel::HttpGet(kel::WideToUtf8(argv[2]), nullptr, &destination, error,
                      [&calls](int, const std::string&) { ++calls; })) {
      std::printf("error=%s\n", error.c_str());
      return 1;
    }
    const double elapsed = Seconds() - start;
    std::printf("progress_calls=%llu\n", calls);
    Report("download", std::filesystem::file_size(destination), elapsed);
    return 0;
  }
  if (mode == L"files" && argc >= 5) {
    const std::filesystem::path folder = argv[3];
    std::vector<kel::DownloadJob> jobs;
    for (int i = 4; i < argc; ++i) {
      jobs.push_back({kel::WideToUtf8(argv[i]), folder / (std::to_wstring(i - 4) + L".bin")});
    }
    std::string error;
    const double start = Seconds();
    if (!kel::HttpDownloadFiles(jobs, _wtoi(argv[2]), error, {})) {
      std::printf("error=%s\n", error.c_str());
      return 1;
    }
    std::printf("files=%zu\nfiles_seconds=%.3f\n", jobs.size(), Seconds() - start);
    return 0;
  }
  std::fprintf(stderr,
               "usage: envnet_bench sha256 FILE | download URL DESTINATION | "
               "files CONNECTIONS FOLDER URL...\n");
  return 2;
}
