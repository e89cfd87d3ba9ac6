// Stands in for another process (SketchUp, the plugin manager) that holds files open or owns a
// named mutex while an uninstall runs.
//
//   decommission_uninstall_holder.exe READY_FILE RELEASE_FILE [--mutex NAME] [--open PATH]
//                                     [--lock PATH] [--seconds N]
//
// --open keeps PATH open for reading with read and delete sharing (a file SketchUp loaded);
// --lock keeps it open with no sharing at all. READY_FILE is created once everything is held;
// the holder lets go when RELEASE_FILE appears or after N seconds (default 60).

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring ready = argv[1];
  const std::wstring release = argv[2];
  std::vector<HANDLE> held;
  std::vector<HANDLE> mutexes;
  DWORD seconds = 60;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    const wchar_t* value = argv[i + 1];
    HANDLE handle = nullptr;
    if (option == L"--mutex") {
      handle = CreateMutexW(nullptr, FALSE, value);
      if (handle == nullptr) return 3;
      const DWORD wait = WaitForSingleObject(handle, 10000);
      if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 4;
      mutexes.push_back(handle);
    } else if (option == L"--open" || option == L"--lock") {
      const DWORD share = option == L"--open" ? (FILE_SHARE_READ | FILE_SHARE_DELETE) : 0;
      handle = CreateFileW(value, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (handle == INVALID_HANDLE_VALUE) return 5;
    } else if (option == L"--seconds") {
      seconds = static_cast<DWORD>(std::wcstoul(value, nullptr, 10));
      continue;
    } else {
      return 2;
    }
    held.push_back(handle);
  }
  HANDLE marker = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return 6;
  CloseHandle(marker);
  for (DWORD waited = 0; waited < seconds * 1000 && !Exists(release); waited += 20) Sleep(20);
  for (HANDLE mutex : mutexes) ReleaseMutex(mutex);
  for (HANDLE handle : held) CloseHandle(handle);
  return 0;
}
