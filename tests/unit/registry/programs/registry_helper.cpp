// Child process of the registry tests.
//   registry_helper hold MUTEX READY_EVENT MILLISECONDS   take the mutex, signal, hold, release
//   registry_helper abandon MUTEX READY_EVENT             take the mutex, signal, exit holding it
//   registry_helper remove MUTEX GATE REGISTRY ID...      wait for the gate, remove each plugin
// Exit code 0 on success; errors are printed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/handles.h"
#include "common/text.h"
#include "registry/registry_store.h"

namespace {

bool Signal(const wchar_t* name) {
  kel::unique_handle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
  return event && SetEvent(event.get());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring mode = argv[1];
  const wchar_t* mutex_name = argv[2];
  if (mode == L"hold" || mode == L"abandon") {
    kel::unique_handle mutex(CreateMutexW(nullptr, FALSE, mutex_name));
    if (!mutex || WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0) return 3;
    if (!Signal(argv[3])) return 4;
    if (mode == L"abandon") ExitProcess(0);  // the kernel marks the mutex abandoned
    if (argc < 5) return 2;
    Sleep(static_cast<DWORD>(std::stoul(argv[4])));
    ReleaseMutex(mutex.get());
    return 0;
  }
  if (mode == L"remove" && argc >= 5) {
    kel::SetRegistryMutexNameForTesting(mutex_name);
    kel::unique_handle gate(OpenEventW(SYNCHRONIZE, FALSE, argv[3]));
    if (!gate || WaitForSingleObject(gate.get(), 30000) != WAIT_OBJECT_0) return 5;
    for (int i = 5; i < argc; ++i) {
      kel::PluginRegistry registry;
      std::string error;
      if (!kel::RemovePluginFromRegistry(argv[4], kel::WideToUtf8(argv[i]), registry, error)) {
        std::printf("remove %s: %s\n", kel::WideToUtf8(argv[i]).c_str(), error.c_str());
        return 1;
      }
    }
    return 0;
  }
  return 2;
}
