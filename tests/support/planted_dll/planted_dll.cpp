// Stands in for a hostile DLL lying beside a downloaded program, under whatever system DLL
// name it was copied to. When a process loads it, it appends its own path to
// "planted_dll_loaded.txt" in its folder and ends that process with exit code 99, before the
// program could do anything about it.
#include <windows.h>

#include <string>

namespace {

constexpr UINT kPlantedExitCode = 99;

void RecordLoad(HINSTANCE instance) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring dll(path, length);
  const std::wstring marker = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"planted_dll_loaded.txt";
  HANDLE file = CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[4 * MAX_PATH];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, dll.c_str(), static_cast<int>(dll.size()),
                                        line, sizeof(line) - 2, nullptr, nullptr);
  if (bytes > 0) {
    line[bytes] = '\r';
    line[bytes + 1] = '\n';
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(bytes + 2), &written, nullptr);
  }
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    RecordLoad(instance);
    // No clean exit under the loader lock: the process simply ends, as an attack would make it.
    TerminateProcess(GetCurrentProcess(), kPlantedExitCode);
  }
  return TRUE;
}
