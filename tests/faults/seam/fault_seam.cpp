#include "fault_seam.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string_view>
#include <type_traits>

// The import table is patched rather than the functions themselves: under Wine the kernel32
// entry points are ordinary exports we could not safely rewrite, while the program's own
// import slots are plain pointers. Every call our module makes, the static C++ library's
// included, goes through those slots; calls ntdll and msvcrt make among themselves do not,
// which is what we want (one count per call the program makes).

namespace kel::faults {
namespace {

using NtStatus = LONG;

struct UnicodeString {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
struct ObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  UnicodeString* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};

// ---- the originals -------------------------------------------------------------------------
using CreateFileWFn = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
using ReadFileFn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
using WriteFileFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using HandleFn = BOOL(WINAPI*)(HANDLE);
using SetInfoByHandleFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
using GetInfoByHandleExFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
using GetInfoByHandleFn = BOOL(WINAPI*)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
using GetFileSizeExFn = BOOL(WINAPI*)(HANDLE, PLARGE_INTEGER);
using GetFinalPathFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using MoveFileExWFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using CopyFileWFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, BOOL);
using PathFn = BOOL(WINAPI*)(LPCWSTR);
using CreateDirectoryWFn = BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES);
using SetFileAttributesWFn = BOOL(WINAPI*)(LPCWSTR, DWORD);
using GetFileAttributesWFn = DWORD(WINAPI*)(LPCWSTR);
using GetFileAttributesExWFn = BOOL(WINAPI*)(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID);
using FindFirstFileWFn = HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW);
using FindFirstFileExWFn = HANDLE(WINAPI*)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS,
                                           LPVOID, DWORD);
using FindNextFileWFn = BOOL(WINAPI*)(HANDLE, LPWIN32_FIND_DATAW);
using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
using NtCreateFileFn = NtStatus(WINAPI*)(PHANDLE, ACCESS_MASK, void*, void*, PLARGE_INTEGER, ULONG,
                                         ULONG, ULONG, ULONG, PVOID, ULONG);
using NtInfoFileFn = NtStatus(WINAPI*)(HANDLE, void*, PVOID, ULONG, ULONG);
// The C runtime's (cdecl; the struct arguments are passed through untouched).
using WFopenFn = FILE* (*)(const wchar_t*, const wchar_t*);
using WOpenFn = int (*)(const wchar_t*, int, ...);
using WPathFn = int (*)(const wchar_t*);
using WPathIntFn = int (*)(const wchar_t*, int);
using WPathPtrFn = int (*)(const wchar_t*, void*);
using WFindFirstFn = intptr_t (*)(const wchar_t*, void*);
using WFindNextFn = int (*)(intptr_t, void*);

struct Originals {
  CreateFileWFn CreateFileW = nullptr;
  ReadFileFn ReadFile = nullptr;
  WriteFileFn WriteFile = nullptr;
  HandleFn FlushFileBuffers = nullptr;
  HandleFn SetEndOfFile = nullptr;
  SetInfoByHandleFn SetFileInformationByHandle = nullptr;
  GetInfoByHandleExFn GetFileInformationByHandleEx = nullptr;
  GetInfoByHandleFn GetFileInformationByHandle = nullptr;
  GetFileSizeExFn GetFileSizeEx = nullptr;
  GetFinalPathFn GetFinalPathNameByHandleW = nullptr;
  MoveFileExWFn MoveFileExW = nullptr;
  CopyFileWFn CopyFileW = nullptr;
  PathFn DeleteFileW = nullptr;
  PathFn RemoveDirectoryW = nullptr;
  CreateDirectoryWFn CreateDirectoryW = nullptr;
  SetFileAttributesWFn SetFileAttributesW = nullptr;
  GetFileAttributesWFn GetFileAttributesW = nullptr;
  GetFileAttributesExWFn GetFileAttributesExW = nullptr;
  FindFirstFileWFn FindFirstFileW = nullptr;
  FindFirstFileExWFn FindFirstFileExW = nullptr;
  FindNextFileWFn FindNextFileW = nullptr;
  GetProcAddressFn GetProcAddress = nullptr;
  NtCreateFileFn NtCreateFile = nullptr;
  NtInfoFileFn NtSetInformationFile = nullptr;
  NtInfoFileFn NtQueryInformationFile = nullptr;
  WFopenFn wfopen = nullptr;
  WOpenFn wopen = nullptr;
  WPathFn wmkdir = nullptr;
  WPathIntFn wchmod = nullptr;
  WPathPtrFn wstat64 = nullptr;
  WPathPtrFn wutime64 = nullptr;
  WFindFirstFn wfindfirst64 = nullptr;
  WFindNextFn wfindnext64 = nullptr;
};
Originals g_real;

// ---- the plan ------------------------------------------------------------------------------
std::mutex g_plan_mutex;  // guards g_plan's strings and the trace handle
Plan g_plan;
std::atomic<std::uint64_t> g_count{0};
std::atomic<std::uint64_t> g_fail_at{0};
std::atomic<std::uint64_t> g_die_at{0};
std::atomic<bool> g_die_in_process{false};
std::atomic<bool> g_dead{false};
std::atomic<DWORD> g_error{ERROR_SHARING_VIOLATION};
std::atomic<bool> g_trace_all{false};
HANDLE g_trace = INVALID_HANDLE_VALUE;
bool g_installed = false;

enum class Kind { kRead, kMutate };
enum class Verdict { kProceed, kFail };

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  }
  return out;
}

std::wstring HandlePath(HANDLE handle) {
  if (g_real.GetFinalPathNameByHandleW == nullptr || handle == nullptr ||
      handle == INVALID_HANDLE_VALUE) {
    return L"<handle>";
  }
  wchar_t buffer[4096];
  const DWORD length = g_real.GetFinalPathNameByHandleW(handle, buffer, 4096, 0);
  if (length == 0 || length >= 4096) return L"<handle>";
  return std::wstring(buffer, length);
}

void WriteTraceLine(const std::string& line) {
  if (g_trace == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  g_real.WriteFile(g_trace, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Every hooked call starts here. describe() is only asked for the path when something is
// written about this operation.
template <typename Describe>
Verdict Count(Kind kind, const char* function, Describe&& describe) {
  const std::uint64_t n = g_count.fetch_add(1) + 1;
  const bool dies = g_die_at.load() != 0 && n >= g_die_at.load();
  const bool fails = g_fail_at.load() == n;
  if (g_dead.load()) return Verdict::kFail;
  if (!g_trace_all.load() && !dies && !fails) return Verdict::kProceed;

  std::lock_guard<std::mutex> lock(g_plan_mutex);
  const std::string what = std::string(kind == Kind::kMutate ? "M" : "R") + "\t" + function +
                           "\t" + Utf8(describe());
  const std::string number = std::to_string(n);
  if (g_trace_all.load()) WriteTraceLine(number + "\t" + what + "\n");
  if (dies) {
    WriteTraceLine("! die\t" + number + "\t" + what + "\n");
    if (!g_die_in_process.load()) TerminateProcess(GetCurrentProcess(), kDeathExitCode);
    g_dead.store(true);
    return Verdict::kFail;
  }
  if (fails) {
    WriteTraceLine("! fail\t" + number + "\t" + std::to_string(g_error.load()) + "\t" + what +
                   "\n");
    return Verdict::kFail;
  }
  return Verdict::kProceed;
}

DWORD InjectedError() {
  // A dead process reports nothing anyone reads; access denied keeps it from retrying.
  return g_dead.load() ? ERROR_ACCESS_DENIED : g_error.load();
}

NtStatus InjectedStatus() {
  switch (InjectedError()) {
    case ERROR_SHARING_VIOLATION: return static_cast<NtStatus>(0xC0000043L);
    case ERROR_ACCESS_DENIED: return static_cast<NtStatus>(0xC0000022L);
    case ERROR_DISK_FULL: return static_cast<NtStatus>(0xC000007FL);
    case ERROR_FILE_NOT_FOUND: return static_cast<NtStatus>(0xC0000034L);
    case ERROR_PATH_NOT_FOUND: return static_cast<NtStatus>(0xC000003AL);
    case ERROR_ALREADY_EXISTS: return static_cast<NtStatus>(0xC0000035L);
    case ERROR_DIR_NOT_EMPTY: return static_cast<NtStatus>(0xC0000101L);
    default: return static_cast<NtStatus>(0xC0000001L);  // STATUS_UNSUCCESSFUL
  }
}

int InjectedErrno() {
  switch (InjectedError()) {
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ALREADY_EXISTS: return EEXIST;
    default: return EACCES;
  }
}

template <typename T>
T FailWin32(T value) {
  SetLastError(InjectedError());
  return value;
}

template <typename T>
T FailCrt(T value) {
  errno = InjectedErrno();
  _doserrno = InjectedError();
  SetLastError(InjectedError());
  return value;
}

std::wstring Text(const wchar_t* path) { return path != nullptr ? path : L"<null>"; }

bool WritesData(DWORD access) {
  return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE |
                    FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | WRITE_DAC | WRITE_OWNER)) != 0;
}

// ---- the hooks -----------------------------------------------------------------------------
HANDLE WINAPI HookCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl) {
  const bool mutates = WritesData(access) || disposition != OPEN_EXISTING ||
                       (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  if (Count(mutates ? Kind::kMutate : Kind::kRead, "CreateFileW", [&] { return Text(name); }) ==
      Verdict::kFail) {
    return FailWin32(INVALID_HANDLE_VALUE);
  }
  return g_real.CreateFileW(name, access, share, sa, disposition, flags, tmpl);
}

BOOL WINAPI HookReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED ov) {
  if (Count(Kind::kRead, "ReadFile", [&] { return HandlePath(file); }) == Verdict::kFail) {
    if (read != nullptr) *read = 0;
    return FailWin32(FALSE);
  }
  return g_real.ReadFile(file, buffer, size, read, ov);
}

BOOL WINAPI HookWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                          LPOVERLAPPED ov) {
  if (Count(Kind::kMutate, "WriteFile", [&] { return HandlePath(file); }) == Verdict::kFail) {
    if (written != nullptr) *written = 0;
    return FailWin32(FALSE);
  }
  return g_real.WriteFile(file, buffer, size, written, ov);
}

BOOL WINAPI HookFlushFileBuffers(HANDLE file) {
  if (Count(Kind::kMutate, "FlushFileBuffers", [&] { return HandlePath(file); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.FlushFileBuffers(file);
}

BOOL WINAPI HookSetEndOfFile(HANDLE file) {
  if (Count(Kind::kMutate, "SetEndOfFile", [&] { return HandlePath(file); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.SetEndOfFile(file);
}

BOOL WINAPI HookSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS cls,
                                           LPVOID info, DWORD size) {
  if (Count(Kind::kMutate, "SetFileInformationByHandle", [&] { return HandlePath(file); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.SetFileInformationByHandle(file, cls, info, size);
}

BOOL WINAPI HookGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS cls,
                                             LPVOID info, DWORD size) {
  if (Count(Kind::kRead, "GetFileInformationByHandleEx", [&] { return HandlePath(file); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.GetFileInformationByHandleEx(file, cls, info, size);
}

BOOL WINAPI HookGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  if (Count(Kind::kRead, "GetFileInformationByHandle", [&] { return HandlePath(file); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.GetFileInformationByHandle(file, info);
}

BOOL WINAPI HookGetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  if (Count(Kind::kRead, "GetFileSizeEx", [&] { return HandlePath(file); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.GetFileSizeEx(file, size);
}

DWORD WINAPI HookGetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
  if (Count(Kind::kRead, "GetFinalPathNameByHandleW", [&] { return HandlePath(file); }) ==
      Verdict::kFail) {
    return FailWin32(DWORD{0});
  }
  return g_real.GetFinalPathNameByHandleW(file, buffer, size, flags);
}

BOOL WINAPI HookMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (Count(Kind::kMutate, "MoveFileExW", [&] { return Text(from) + L" -> " + Text(to); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.MoveFileExW(from, to, flags);
}

BOOL WINAPI HookCopyFileW(LPCWSTR from, LPCWSTR to, BOOL fail_if_exists) {
  if (Count(Kind::kMutate, "CopyFileW", [&] { return Text(from) + L" -> " + Text(to); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.CopyFileW(from, to, fail_if_exists);
}

BOOL WINAPI HookDeleteFileW(LPCWSTR path) {
  if (Count(Kind::kMutate, "DeleteFileW", [&] { return Text(path); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.DeleteFileW(path);
}

BOOL WINAPI HookRemoveDirectoryW(LPCWSTR path) {
  if (Count(Kind::kMutate, "RemoveDirectoryW", [&] { return Text(path); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.RemoveDirectoryW(path);
}

BOOL WINAPI HookCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  if (Count(Kind::kMutate, "CreateDirectoryW", [&] { return Text(path); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.CreateDirectoryW(path, sa);
}

BOOL WINAPI HookSetFileAttributesW(LPCWSTR path, DWORD attributes) {
  if (Count(Kind::kMutate, "SetFileAttributesW", [&] { return Text(path); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.SetFileAttributesW(path, attributes);
}

DWORD WINAPI HookGetFileAttributesW(LPCWSTR path) {
  if (Count(Kind::kRead, "GetFileAttributesW", [&] { return Text(path); }) == Verdict::kFail) {
    return FailWin32(INVALID_FILE_ATTRIBUTES);
  }
  return g_real.GetFileAttributesW(path);
}

BOOL WINAPI HookGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
  if (Count(Kind::kRead, "GetFileAttributesExW", [&] { return Text(path); }) == Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.GetFileAttributesExW(path, level, info);
}

HANDLE WINAPI HookFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (Count(Kind::kRead, "FindFirstFileW", [&] { return Text(pattern); }) == Verdict::kFail) {
    return FailWin32(INVALID_HANDLE_VALUE);
  }
  return g_real.FindFirstFileW(pattern, data);
}

HANDLE WINAPI HookFindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                                   FINDEX_SEARCH_OPS op, LPVOID filter, DWORD flags) {
  if (Count(Kind::kRead, "FindFirstFileExW", [&] { return Text(pattern); }) == Verdict::kFail) {
    return FailWin32(INVALID_HANDLE_VALUE);
  }
  return g_real.FindFirstFileExW(pattern, level, data, op, filter, flags);
}

BOOL WINAPI HookFindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  // A find handle has no path of its own; the entry it would have returned is unknown here.
  if (Count(Kind::kRead, "FindNextFileW", [] { return std::wstring(L"<find>"); }) ==
      Verdict::kFail) {
    return FailWin32(FALSE);
  }
  return g_real.FindNextFileW(find, data);
}

std::wstring NativeName(void* attributes) {
  const auto* oa = static_cast<const ObjectAttributes*>(attributes);
  if (oa == nullptr || oa->ObjectName == nullptr || oa->ObjectName->Buffer == nullptr) {
    return L"<null>";
  }
  std::wstring name(oa->ObjectName->Buffer, oa->ObjectName->Length / sizeof(wchar_t));
  if (oa->RootDirectory == nullptr) return name;
  return HandlePath(oa->RootDirectory) + L"\\" + name;
}

NtStatus WINAPI HookNtCreateFile(PHANDLE file, ACCESS_MASK access, void* attributes, void* io,
                                 PLARGE_INTEGER allocation, ULONG file_attributes, ULONG share,
                                 ULONG disposition, ULONG options, PVOID ea, ULONG ea_length) {
  constexpr ULONG kFileOpen = 1;
  constexpr ULONG kFileDeleteOnClose = 0x1000;
  const bool mutates =
      WritesData(access) || disposition != kFileOpen || (options & kFileDeleteOnClose) != 0;
  if (Count(mutates ? Kind::kMutate : Kind::kRead, "NtCreateFile",
            [&] { return NativeName(attributes); }) == Verdict::kFail) {
    return InjectedStatus();
  }
  return g_real.NtCreateFile(file, access, attributes, io, allocation, file_attributes, share,
                             disposition, options, ea, ea_length);
}

NtStatus WINAPI HookNtSetInformationFile(HANDLE file, void* io, PVOID info, ULONG length,
                                         ULONG cls) {
  if (Count(Kind::kMutate, "NtSetInformationFile", [&] {
        return HandlePath(file) + L" class " + std::to_wstring(cls);
      }) == Verdict::kFail) {
    return InjectedStatus();
  }
  return g_real.NtSetInformationFile(file, io, info, length, cls);
}

NtStatus WINAPI HookNtQueryInformationFile(HANDLE file, void* io, PVOID info, ULONG length,
                                           ULONG cls) {
  if (Count(Kind::kRead, "NtQueryInformationFile", [&] {
        return HandlePath(file) + L" class " + std::to_wstring(cls);
      }) == Verdict::kFail) {
    return InjectedStatus();
  }
  return g_real.NtQueryInformationFile(file, io, info, length, cls);
}

FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC found = g_real.GetProcAddress(module, name);
  // Ordinals (high word zero) are never file functions of ours.
  if (found == nullptr || (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0) return found;
  if (module != GetModuleHandleW(L"ntdll.dll")) return found;
  const std::string_view wanted(name);
  auto swap = [&found](auto& original, auto hook) {
    original = reinterpret_cast<std::remove_reference_t<decltype(original)>>(
        reinterpret_cast<void*>(found));
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(hook));
  };
  if (wanted == "NtCreateFile") return swap(g_real.NtCreateFile, &HookNtCreateFile);
  if (wanted == "NtSetInformationFile") {
    return swap(g_real.NtSetInformationFile, &HookNtSetInformationFile);
  }
  if (wanted == "NtQueryInformationFile") {
    return swap(g_real.NtQueryInformationFile, &HookNtQueryInformationFile);
  }
  return found;
}

FILE* HookWFopen(const wchar_t* path, const wchar_t* mode) {
  const bool mutates = mode != nullptr && (std::wcspbrk(mode, L"wa+") != nullptr);
  if (Count(mutates ? Kind::kMutate : Kind::kRead, "_wfopen", [&] { return Text(path); }) ==
      Verdict::kFail) {
    return FailCrt(static_cast<FILE*>(nullptr));
  }
  return g_real.wfopen(path, mode);
}

int HookWOpen(const wchar_t* path, int flags, ...) {
  int permission = 0;
  if ((flags & _O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    permission = va_arg(args, int);
    va_end(args);
  }
  const bool mutates = (flags & (_O_WRONLY | _O_RDWR | _O_CREAT | _O_TRUNC | _O_APPEND)) != 0;
  if (Count(mutates ? Kind::kMutate : Kind::kRead, "_wopen", [&] { return Text(path); }) ==
      Verdict::kFail) {
    return FailCrt(-1);
  }
  return g_real.wopen(path, flags, permission);
}

int HookWMkdir(const wchar_t* path) {
  if (Count(Kind::kMutate, "_wmkdir", [&] { return Text(path); }) == Verdict::kFail) {
    return FailCrt(-1);
  }
  return g_real.wmkdir(path);
}

int HookWChmod(const wchar_t* path, int mode) {
  if (Count(Kind::kMutate, "_wchmod", [&] { return Text(path); }) == Verdict::kFail) {
    return FailCrt(-1);
  }
  return g_real.wchmod(path, mode);
}

int HookWStat64(const wchar_t* path, void* buffer) {
  if (Count(Kind::kRead, "_wstat64", [&] { return Text(path); }) == Verdict::kFail) {
    return FailCrt(-1);
  }
  return g_real.wstat64(path, buffer);
}

int HookWUtime64(const wchar_t* path, void* times) {
  if (Count(Kind::kMutate, "_wutime64", [&] { return Text(path); }) == Verdict::kFail) {
    return FailCrt(-1);
  }
  return g_real.wutime64(path, times);
}

intptr_t HookWFindFirst64(const wchar_t* pattern, void* data) {
  if (Count(Kind::kRead, "_wfindfirst64", [&] { return Text(pattern); }) == Verdict::kFail) {
    return FailCrt(intptr_t{-1});
  }
  return g_real.wfindfirst64(pattern, data);
}

int HookWFindNext64(intptr_t find, void* data) {
  if (Count(Kind::kRead, "_wfindnext64", [] { return std::wstring(L"<find>"); }) ==
      Verdict::kFail) {
    return FailCrt(-1);
  }
  return g_real.wfindnext64(find, data);
}

// ---- the import table ----------------------------------------------------------------------
struct Slot {
  const char* dll;  // lower case, without ".dll"
  const char* name;
  void* hook;
  void** original;
};

template <typename Fn>
Slot MakeSlot(const char* dll, const char* name, Fn hook, Fn& original) {
  return Slot{dll, name, reinterpret_cast<void*>(hook), reinterpret_cast<void**>(&original)};
}

bool SameDll(const char* imported, const char* wanted) {
  std::string lower;
  for (const char* p = imported; *p != '\0'; ++p) {
    lower.push_back(static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p));
  }
  return lower == std::string(wanted) + ".dll";
}

bool PatchImports() {
  const Slot slots[] = {
      MakeSlot("kernel32", "CreateFileW", &HookCreateFileW, g_real.CreateFileW),
      MakeSlot("kernel32", "ReadFile", &HookReadFile, g_real.ReadFile),
      MakeSlot("kernel32", "WriteFile", &HookWriteFile, g_real.WriteFile),
      MakeSlot("kernel32", "FlushFileBuffers", &HookFlushFileBuffers, g_real.FlushFileBuffers),
      MakeSlot("kernel32", "SetEndOfFile", &HookSetEndOfFile, g_real.SetEndOfFile),
      MakeSlot("kernel32", "SetFileInformationByHandle", &HookSetFileInformationByHandle,
               g_real.SetFileInformationByHandle),
      MakeSlot("kernel32", "GetFileInformationByHandleEx", &HookGetFileInformationByHandleEx,
               g_real.GetFileInformationByHandleEx),
      MakeSlot("kernel32", "GetFileInformationByHandle", &HookGetFileInformationByHandle,
               g_real.GetFileInformationByHandle),
      MakeSlot("kernel32", "GetFileSizeEx", &HookGetFileSizeEx, g_real.GetFileSizeEx),
      MakeSlot("kernel32", "GetFinalPathNameByHandleW", &HookGetFinalPathNameByHandleW,
               g_real.GetFinalPathNameByHandleW),
      MakeSlot("kernel32", "MoveFileExW", &HookMoveFileExW, g_real.MoveFileExW),
      MakeSlot("kernel32", "CopyFileW", &HookCopyFileW, g_real.CopyFileW),
      MakeSlot("kernel32", "DeleteFileW", &HookDeleteFileW, g_real.DeleteFileW),
      MakeSlot("kernel32", "RemoveDirectoryW", &HookRemoveDirectoryW, g_real.RemoveDirectoryW),
      MakeSlot("kernel32", "CreateDirectoryW", &HookCreateDirectoryW, g_real.CreateDirectoryW),
      MakeSlot("kernel32", "SetFileAttributesW", &HookSetFileAttributesW,
               g_real.SetFileAttributesW),
      MakeSlot("kernel32", "GetFileAttributesW", &HookGetFileAttributesW,
               g_real.GetFileAttributesW),
      MakeSlot("kernel32", "GetFileAttributesExW", &HookGetFileAttributesExW,
               g_real.GetFileAttributesExW),
      MakeSlot("kernel32", "FindFirstFileW", &HookFindFirstFileW, g_real.FindFirstFileW),
      MakeSlot("kernel32", "FindFirstFileExW", &HookFindFirstFileExW, g_real.FindFirstFileExW),
      MakeSlot("kernel32", "FindNextFileW", &HookFindNextFileW, g_real.FindNextFileW),
      MakeSlot("kernel32", "GetProcAddress", &HookGetProcAddress, g_real.GetProcAddress),
      MakeSlot("msvcrt", "_wfopen", &HookWFopen, g_real.wfopen),
      MakeSlot("msvcrt", "_wopen", &HookWOpen, g_real.wopen),
      MakeSlot("msvcrt", "_wmkdir", &HookWMkdir, g_real.wmkdir),
      MakeSlot("msvcrt", "_wchmod", &HookWChmod, g_real.wchmod),
      MakeSlot("msvcrt", "_wstat64", &HookWStat64, g_real.wstat64),
      MakeSlot("msvcrt", "_wutime64", &HookWUtime64, g_real.wutime64),
      MakeSlot("msvcrt", "_wfindfirst64", &HookWFindFirst64, g_real.wfindfirst64),
      MakeSlot("msvcrt", "_wfindnext64", &HookWFindNext64, g_real.wfindnext64),
  };
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return false;
  bool patched = false;
  for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base +
                                                                    directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    const char* dll = reinterpret_cast<const char*>(base + descriptor->Name);
    if (descriptor->OriginalFirstThunk == 0) continue;  // names needed to match
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
    auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(by_name->Name);
      for (const Slot& slot : slots) {
        if (std::strcmp(name, slot.name) != 0 || !SameDll(dll, slot.dll)) continue;
        DWORD old = 0;
        if (!VirtualProtect(&addresses->u1.Function, sizeof(addresses->u1.Function),
                            PAGE_READWRITE, &old)) {
          continue;
        }
        *slot.original = reinterpret_cast<void*>(addresses->u1.Function);
        addresses->u1.Function = reinterpret_cast<ULONG_PTR>(slot.hook);
        VirtualProtect(&addresses->u1.Function, sizeof(addresses->u1.Function), old, &old);
        patched = true;
      }
    }
  }
  // Whatever the module does not import keeps working through the real function, so a hook
  // never calls a null original.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  HMODULE msvcrt = GetModuleHandleW(L"msvcrt.dll");
  for (const Slot& slot : slots) {
    if (*slot.original != nullptr) continue;
    HMODULE module = std::strcmp(slot.dll, "kernel32") == 0 ? kernel32 : msvcrt;
    if (module != nullptr) {
      *slot.original = reinterpret_cast<void*>(::GetProcAddress(module, slot.name));
    }
  }
  return patched;
}

DWORD ErrorByName(const std::wstring& text, bool& ok) {
  ok = true;
  if (text == L"sharing") return ERROR_SHARING_VIOLATION;
  if (text == L"denied") return ERROR_ACCESS_DENIED;
  if (text == L"full") return ERROR_DISK_FULL;
  if (text == L"missing") return ERROR_FILE_NOT_FOUND;
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text.c_str(), &end, 10);
  ok = !text.empty() && end != nullptr && *end == L'\0' && value != 0;
  return static_cast<DWORD>(value);
}

bool ParseCount(const std::wstring& text, std::uint64_t& out) {
  wchar_t* end = nullptr;
  out = std::wcstoull(text.c_str(), &end, 10);
  return !text.empty() && end != nullptr && *end == L'\0' && out != 0;
}

void OpenTrace(const std::wstring& path) {
  if (g_trace != INVALID_HANDLE_VALUE) CloseHandle(g_trace);
  g_trace = INVALID_HANDLE_VALUE;
  if (path.empty() || g_real.CreateFileW == nullptr) return;
  g_trace = g_real.CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Installed before main(): the native API is looked up lazily, after this.
struct Startup {
  Startup() {
    g_installed = PatchImports();
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(L"KEL_FAULT_PLAN", buffer, 4096);
    if (length == 0 || length >= 4096) return;
    Plan plan;
    std::string error;
    if (!ParsePlan(std::wstring(buffer, length), plan, error)) {
      // A plan that is not understood must not pass for a clean run.
      TerminateProcess(GetCurrentProcess(), 87);
    }
    Arm(plan);
  }
};
Startup g_startup;

}  // namespace

bool ParsePlan(const std::wstring& text, Plan& plan, std::string& error) {
  plan = Plan{};
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(L';', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring entry = text.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    const std::size_t equals = entry.find(L'=');
    const std::wstring key = entry.substr(0, equals);
    const std::wstring value = equals == std::wstring::npos ? L"" : entry.substr(equals + 1);
    bool ok = true;
    if (key == L"trace" || key == L"note") {
      (key == L"trace" ? plan.trace : plan.note) = value;
      ok = !value.empty();
    } else if (key == L"fail") {
      ok = ParseCount(value, plan.fail_at);
    } else if (key == L"die") {
      ok = ParseCount(value, plan.die_at);
    } else if (key == L"error") {
      plan.error = ErrorByName(value, ok);
    } else {
      ok = false;
    }
    if (!ok) {
      error = "fault plan entry not understood: " + Utf8(entry);
      return false;
    }
  }
  return true;
}

void Arm(const Plan& plan) {
  std::lock_guard<std::mutex> lock(g_plan_mutex);
  g_plan = plan;
  OpenTrace(plan.trace.empty() ? plan.note : plan.trace);
  g_trace_all.store(!plan.trace.empty());
  g_error.store(plan.error);
  g_die_in_process.store(plan.die_in_process);
  g_dead.store(false);
  g_fail_at.store(plan.fail_at);
  g_die_at.store(plan.die_at);
  g_count.store(0);
}

void Disarm() {
  std::lock_guard<std::mutex> lock(g_plan_mutex);
  g_fail_at.store(0);
  g_die_at.store(0);
  g_dead.store(false);
}

std::uint64_t OperationCount() { return g_count.load(); }
bool Dead() { return g_dead.load(); }
bool Installed() { return g_installed; }

}  // namespace kel::faults
