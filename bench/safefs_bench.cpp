// Cost of the safe state files against plain file calls on the same bytes:
//   safefs_bench [DIRECTORY]   (default: a fresh folder in the temporary directory)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/handles.h"
#include "safefs/state_file.h"
#include "safefs/volume_cache.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds per call, over `rounds` calls; -1 when a call fails.
double TimePerCall(int rounds, const std::function<bool()>& call) {
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (!call()) return -1;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Batches of the safe and the plain call alternate, so that a change of machine load falls on
// both; the figures are the medians over the batches.
void Compare(const std::string& what, int rounds, const std::function<bool()>& safe,
             const std::function<bool()>& plain) {
  constexpr int kBatches = 7;
  if (!safe() || !plain()) {
    std::printf("%-32s failed\n", what.c_str());
    return;
  }
  std::vector<double> safe_ms, plain_ms, ratios;
  for (int batch = 0; batch < kBatches; ++batch) {
    safe_ms.push_back(TimePerCall(rounds, safe));
    plain_ms.push_back(TimePerCall(rounds, plain));
    ratios.push_back(plain_ms.back() > 0 ? safe_ms.back() / plain_ms.back() : 0.0);
  }
  std::printf("%-32s safe %9.3f ms   plain %9.3f ms   ratio %6.2f (%.2f-%.2f)\n", what.c_str(),
              Median(safe_ms), Median(plain_ms), Median(ratios),
              *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
}

// Create, write, flush, rename over the target: the usual "atomic" save without any proof.
bool PlainWrite(const std::wstring& target, const std::string& bytes) {
  const std::wstring temporary = target + L".plain_tmp";
  kel::unique_file file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !FlushFileBuffers(file.get())) {
    return false;
  }
  file.reset();
  return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool PlainRead(const std::wstring& target, std::string& out) {
  kel::unique_file file(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size)) return false;
  out.resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  return ReadFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &got, nullptr) &&
         got == out.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  kel::VolumeCacheScope operation;  // the whole benchmark is one operation, as a run is
  std::filesystem::path dir;
  if (argc > 1) {
    dir = argv[1];
  } else {
    dir = std::filesystem::temp_directory_path() /
          (L"kel_safefs_bench_" + std::to_wstring(GetCurrentProcessId()));
  }
  std::filesystem::create_directories(dir / L"safe");
  std::filesystem::create_directories(dir / L"plain");

  struct Size {
    const char* label;
    size_t bytes;
    int rounds;
  } sizes[] = {{"64 KiB", 65536, 20}, {"16 MiB", 16777216, 3}};
  for (const Size& size : sizes) {
    const std::string bytes(size.bytes, 'k');
    const std::wstring safe = (dir / L"safe" / L"doc.bin").wstring();
    const std::wstring plain = (dir / L"plain" / L"doc.bin").wstring();
    std::string error;
    Compare(std::string("WriteStateFileAtomic ") + size.label, size.rounds, [&] {
      return kel::WriteStateFileAtomic(safe, bytes, kel::kStateFileLimit16MiB, error);
    }, [&] { return PlainWrite(plain, bytes); });
    std::string content;
    bool existed = false;
    Compare(std::string("ReadStateFile ") + size.label, size.rounds * 4, [&] {
      return kel::ReadStateFile(safe, kel::kStateFileLimit16MiB, false, existed, content, error);
    }, [&] { return PlainRead(plain, content); });
    if (!error.empty()) std::printf("error: %s\n", error.c_str());
  }
  std::printf("directory depth: %zu components\n",
              static_cast<size_t>(std::distance(dir.begin(), dir.end())));
  std::filesystem::remove_all(dir);
  return 0;
}
