// Child process of the safefs tests:
//   safefs_worker rewrite PATH SIZE EVENT   rewrites PATH with tag A and B documents forever,
//                                           signalling the inherited EVENT once started
//   safefs_worker mkdir ROOT ROUNDS GATE    creates ROOT\rN\d1..d8 for every round N
//   safefs_worker write PATH TAG COUNT GATE writes the 64 KiB tag document COUNT times
// mkdir and write release the semaphore GATE + ".ready", then wait for the event GATE, so
// that two workers start at the same moment. Their exit code is the number of successes.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "../worker_content.h"
#include "common/handles.h"
#include "safefs/state_file.h"

namespace {

bool WaitForGate(const std::wstring& gate) {
  kel::unique_handle ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (gate + L".ready").c_str()));
  kel::unique_handle start(OpenEventW(SYNCHRONIZE, FALSE, gate.c_str()));
  if (!ready || !start) return false;
  ReleaseSemaphore(ready.get(), 1, nullptr);
  return WaitForSingleObject(start.get(), 30000) == WAIT_OBJECT_0;
}

int Rewrite(const std::wstring& path, std::size_t size, HANDLE started) {
  const std::string documents[2] = {kel::test::WorkerContent('A', size),
                                    kel::test::WorkerContent('B', size)};
  SetEvent(started);
  // The test kills this process; the bound only guards against a test that forgot to.
  const ULONGLONG deadline = GetTickCount64() + 120000;
  for (int i = 1; GetTickCount64() < deadline; ++i) {
    std::string error;
    if (!kel::WriteStateFileAtomic(path, documents[i % 2], size, error)) {
      std::fprintf(stderr, "write failed: %s\n", error.c_str());
      return 200;
    }
  }
  return 0;
}

int MakeDirectories(const std::wstring& root, int rounds) {
  int successes = 0;
  for (int round = 0; round < rounds; ++round) {
    std::wstring path = root + L"\\r" + std::to_wstring(round);
    for (int level = 1; level <= 8; ++level) path += L"\\d" + std::to_wstring(level);
    std::string error;
    if (kel::EnsureStateDirectory(path, error)) {
      ++successes;
    } else {
      std::fprintf(stderr, "round %d: %s\n", round, error.c_str());
    }
  }
  return successes;
}

int WriteMany(const std::wstring& path, char tag, int count) {
  const std::string document = kel::test::WorkerContent(tag, kel::kStateFileLimit64KiB);
  int successes = 0;
  for (int i = 0; i < count; ++i) {
    std::string error;
    if (kel::WriteStateFileAtomic(path, document, kel::kStateFileLimit64KiB, error)) {
      ++successes;
    } else {
      std::fprintf(stderr, "write %d: %s\n", i, error.c_str());
    }
  }
  return successes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) return 255;
  const std::wstring mode = argv[1];
  if (mode == L"rewrite") {
    HANDLE started = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(_wtoi64(argv[4])));
    return Rewrite(argv[2], static_cast<std::size_t>(_wtoi64(argv[3])), started);
  }
  if (mode == L"mkdir") {
    if (!WaitForGate(argv[4])) return 254;
    return MakeDirectories(argv[2], _wtoi(argv[3]));
  }
  if (mode == L"write" && argc == 6) {
    if (!WaitForGate(argv[5])) return 254;
    return WriteMany(argv[2], static_cast<char>(argv[3][0]), _wtoi(argv[4]));
  }
  return 255;
}
