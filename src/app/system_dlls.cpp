#include "app/system_dlls.h"

#include <windows.h>
// After windows.h: it uses its types.
#include <delayimp.h>

#include <cstring>
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

// Stand-ins for the functions of a DLL or export that is missing: each fails the way its real
// function reports failure, with the Windows error saying what is missing, so the operation
// that needed it fails like any other (no network DLL: the release query fails). The x64
// calling convention lets one body stand in for any parameter list.
template <LONG_PTR kResult, DWORD kError>
LONG_PTR WINAPI FailAsMissing() {
  SetLastError(kError);
  return kResult;
}

constexpr LONG_PTR kStatusDllNotFound = static_cast<LONG>(0xC0000135L);  // NTSTATUS
constexpr LONG_PTR kStatusProcNotFound = static_cast<LONG>(0xC000007AL);
constexpr LONG_PTR HresultOf(DWORD error) {
  return static_cast<LONG>(0x80070000UL | error);
}

bool Named(const DelayLoadInfo& info, const char* name) {
  return info.dlp.fImportByName && info.dlp.szProcName != nullptr &&
         std::strcmp(info.dlp.szProcName, name) == 0;
}

bool DllIs(const DelayLoadInfo& info, const char* name) {
  return info.szDll != nullptr && _stricmp(info.szDll, name) == 0;
}

// How the functions we import report failure: an NTSTATUS (CNG), an HRESULT, a registry
// status, or a zero (FALSE, NULL, 0) for everything else.
template <DWORD kError>
FARPROC StandInFor(const DelayLoadInfo& info) {
  auto as_proc = [](LONG_PTR(WINAPI * function)()) { return reinterpret_cast<FARPROC>(function); };
  if (DllIs(info, "bcrypt.dll")) {
    return as_proc(kError == ERROR_MOD_NOT_FOUND ? FailAsMissing<kStatusDllNotFound, kError>
                                                 : FailAsMissing<kStatusProcNotFound, kError>);
  }
  if (Named(info, "SHGetKnownFolderPath") || Named(info, "CoInitializeEx") ||
      Named(info, "CoInitialize") || Named(info, "CoCreateInstance")) {
    return as_proc(FailAsMissing<HresultOf(kError), kError>);
  }
  if (DllIs(info, "advapi32.dll") && info.dlp.fImportByName && info.dlp.szProcName != nullptr &&
      std::strncmp(info.dlp.szProcName, "Reg", 3) == 0) {
    return as_proc(FailAsMissing<static_cast<LONG_PTR>(kError), kError>);
  }
  return as_proc(FailAsMissing<0, kError>);
}

// A DLL that cannot be loaded, or an export it lacks, would otherwise end the program with an
// unhandled exception on the first call. A missing DLL is answered with the program's own
// module, which exports nothing, so every function asked of it gets its stand-in.
FARPROC WINAPI OnDelayLoadFailure(unsigned notification, PDelayLoadInfo info) {
  if (info == nullptr) return nullptr;
  const HMODULE self = GetModuleHandleW(nullptr);
  if (notification == dliFailLoadLib) return reinterpret_cast<FARPROC>(self);
  if (notification != dliFailGetProc) return nullptr;
  return info->hmodCur == self ? StandInFor<ERROR_MOD_NOT_FOUND>(*info)
                               : StandInFor<ERROR_PROC_NOT_FOUND>(*info);
}

}  // namespace

// The delay-load helper asks these hooks before it loads a DLL by its bare name, and when a
// DLL or one of its functions cannot be found.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = OnDelayLoad;
PfnDliHook __pfnDliFailureHook2 = OnDelayLoadFailure;
}

namespace kel {

void SuppressSystemErrorDialogs() {
  // No system dialog (a missing disk, a crash box) may ever wait for a user a silent run lacks.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

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
