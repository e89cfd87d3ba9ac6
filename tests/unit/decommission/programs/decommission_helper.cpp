// Child process for the decommission tests. Modes:
//   hold-file PATH SHARE READY RELEASE   opens PATH (SHARE: r, rd, rwd), signals READY, keeps
//                                        it open until RELEASE is signalled
//   hold-mutex NAME READY RELEASE        owns the named mutex until RELEASE is signalled
//   write-aside PATH TEXT                WriteFileMovingLockedAside, ledger of this module
//   uninstall ID REGISTRY CHECKPOINT RESULT REACHED
//                                        UninstallManagedPlugin; at CHECKPOINT (a number, or
//                                        "none") signals REACHED and waits to be killed;
//                                        writes {"returned", "error", "result"} to RESULT
#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "common/handles.h"
#include "common/text.h"
#include "decommission/receipts.h"
#include "decommission/uninstall_transaction.h"

namespace {

HANDLE OpenNamedEvent(const wchar_t* name) {
  return CreateEventW(nullptr, TRUE, FALSE, name);
}

int HoldFile(const wchar_t* path, const std::wstring& share, const wchar_t* ready,
             const wchar_t* release) {
  DWORD mode = 0;
  if (share.find(L'r') != std::wstring::npos) mode |= FILE_SHARE_READ;
  if (share.find(L'w') != std::wstring::npos) mode |= FILE_SHARE_WRITE;
  if (share.find(L'd') != std::wstring::npos) mode |= FILE_SHARE_DELETE;
  kel::unique_file file(CreateFileW(path, GENERIC_READ, mode, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 3;
  kel::unique_handle ready_event(OpenNamedEvent(ready));
  kel::unique_handle release_event(OpenNamedEvent(release));
  SetEvent(ready_event.get());
  WaitForSingleObject(release_event.get(), 60000);
  return 0;
}

int HoldMutex(const wchar_t* name, const wchar_t* ready, const wchar_t* release) {
  kel::unique_handle mutex(CreateMutexW(nullptr, FALSE, name));
  if (!mutex || WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0) return 3;
  kel::unique_handle ready_event(OpenNamedEvent(ready));
  kel::unique_handle release_event(OpenNamedEvent(release));
  SetEvent(ready_event.get());
  WaitForSingleObject(release_event.get(), 60000);
  ReleaseMutex(mutex.get());
  return 0;
}

int WriteAside(const wchar_t* path, const wchar_t* text) {
  std::string error;
  if (!kel::WriteFileMovingLockedAside(path, kel::WideToUtf8(text), error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Uninstall(const wchar_t* id, const wchar_t* registry, const std::wstring& checkpoint,
              const wchar_t* result_path, const wchar_t* reached) {
  kel::unique_handle reached_event(OpenNamedEvent(reached));
  kel::UninstallCheckpointHook hook;
  if (checkpoint != L"none") {
    const int stop_at = std::stoi(checkpoint);
    hook = [stop_at, &reached_event](kel::UninstallCheckpoint point) {
      if (static_cast<int>(point) != stop_at) return;
      SetEvent(reached_event.get());
      Sleep(INFINITE);  // the test kills us here
    };
  }
  nlohmann::json result;
  std::string error;
  const bool returned = kel::UninstallManagedPlugin(kel::WideToUtf8(id), kel::WideToUtf8(registry),
                                                    result, error, hook);
  const nlohmann::json report = {{"returned", returned}, {"error", error}, {"result", result}};
  const std::string text = report.dump();
  kel::unique_file out(CreateFileW(result_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!out || !WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr)) {
    return 2;
  }
  return returned ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"hold-file" && argc == 6) return HoldFile(argv[2], argv[3], argv[4], argv[5]);
  if (mode == L"hold-mutex" && argc == 5) return HoldMutex(argv[2], argv[3], argv[4]);
  if (mode == L"write-aside" && argc == 4) return WriteAside(argv[2], argv[3]);
  if (mode == L"uninstall" && argc == 7) {
    return Uninstall(argv[2], argv[3], argv[4], argv[5], argv[6]);
  }
  std::fprintf(stderr, "usage: decommission_helper MODE ...\n");
  return 64;
}
