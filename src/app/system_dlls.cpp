#include "app/system_dlls.h"

#include <windows.h>
// After windows.h: it uses its types.
#include <delayimp.h>

#include <string>

namespace {

// DLLs that system libraries load later by bare name, some through loader paths that ignore the
// process's search restriction (Wine's delay-imports do). Bound from System32 at start, such a
// later load finds them loaded. They stay loaded.
constexpr const char* kSystemDllsLoadedByName[] = {
    "winhttp.dll", "bcrypt.dll", "version.dll", "uxtheme.dll", "dwmapi.dll", "cryptbase.dll"};

// Loads a DLL by its plain ASCII name (as import tables give it) from System32 only.
HMODULE LoadSystemDll(const char* name) {
  const std::wstring wide(name, name + std::char_traits<char>::length(name));
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // A system without the search flags: the full System32 path; that DLL's own imports are
  // then looked for beside it first.
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(system, length) + L"\\" + wide;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC WINAPI OnDelayLoad(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  return reinterpret_cast<FARPROC>(LoadSystemDll(info->szDll));
}

}  // namespace

// The delay-load helper asks this hook before it loads a DLL by its bare name.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = OnDelayLoad;
}

namespace kel {

void RestrictDllSearchToSystem32() {
  // Looked up, not imported: a Windows without it must still start. kernel32 is loaded
  // already, so nothing is searched for here.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto set_default = kernel32 == nullptr
      ? nullptr
      : reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    // At least the working folder leaves the search order.
    SetDllDirectoryW(L"");
  }
  // A DLL missing from System32 is simply not bound; nothing else would take its place.
  for (const char* name : kSystemDllsLoadedByName) LoadSystemDll(name);
}

}  // namespace kel
