#include "support/sandbox.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"

namespace kel::test {
namespace {

const wchar_t* const kProfileVariables[] = {L"APPDATA",     L"LOCALAPPDATA",      L"ProgramFiles",
                                            L"ProgramW6432", L"ProgramFiles(x86)", L"TEMP",
                                            L"TMP"};

std::wstring GetEnv(const wchar_t* name, bool& present) {
  DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  present = needed != 0;
  if (!present) return {};
  std::wstring value(needed, L'\0');
  DWORD got = GetEnvironmentVariableW(name, value.data(), needed);
  value.resize(got);
  return value;
}

// Wine cannot delete a Unix link to a directory (it opens the target): unlink it from the
// Linux side and wait until it is gone.
void RemoveUnixLink(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto to_unix = kernel ? reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
                              GetProcAddress(kernel, "wine_get_unix_file_name")))
                        : nullptr;
  if (to_unix == nullptr) return;
  char* raw = to_unix(path.c_str());
  if (raw == nullptr) return;
  std::wstring cmdline = L"/bin/sh -c \"/bin/rm -f '" + Utf8ToWide(raw) + L"'\"";
  HeapFree(GetProcessHeap(), 0, raw);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"Z:\\bin\\sh", cmdline.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi)) {
    return;
  }
  if (pi.hProcess) CloseHandle(pi.hProcess);
  if (pi.hThread) CloseHandle(pi.hThread);
  for (int i = 0; i < 500 && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(10);
  }
}

// Removes a tree without following links: std::filesystem under MinGW does not see Wine's
// Unix links as links and can walk into them.
void RemoveTreeNoFollow(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileW(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") RemoveTreeNoFollow(path + L"\\" + name);
      } while (FindNextFileW(find.get(), &data));
    }
  }
  if (!RemoveDirectoryW(path.c_str()) && !DeleteFileW(path.c_str()) &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    RemoveUnixLink(path);
  }
}

}  // namespace

void RemoveTree(const std::filesystem::path& path) { RemoveTreeNoFollow(path.wstring()); }

struct Sandbox::Saved {
  std::vector<std::pair<std::wstring, bool>> values;
};

Sandbox::Sandbox() : saved_(new Saved) {
  static std::atomic<unsigned> counter{0};
  std::wstringstream name;
  name << L"C:\\kel_test\\" << GetCurrentProcessId() << L"_" << GetTickCount64() << L"_"
       << counter++;
  root_ = name.str();
  RemoveTree(root_);
  std::filesystem::create_directories(root_);
  for (const wchar_t* variable : kProfileVariables) {
    bool present = false;
    std::wstring value = GetEnv(variable, present);
    saved_->values.emplace_back(value, present);
  }
  std::filesystem::create_directories(roaming());
  std::filesystem::create_directories(local());
  std::filesystem::create_directories(temp());
  std::filesystem::create_directories(program_files());
  std::filesystem::create_directories(program_files_x86());
  SetEnvironmentVariableW(L"APPDATA", roaming().c_str());
  SetEnvironmentVariableW(L"LOCALAPPDATA", local().c_str());
  SetEnvironmentVariableW(L"ProgramFiles", program_files().c_str());
  SetEnvironmentVariableW(L"ProgramW6432", program_files().c_str());
  SetEnvironmentVariableW(L"ProgramFiles(x86)", program_files_x86().c_str());
  SetEnvironmentVariableW(L"TEMP", temp().c_str());
  SetEnvironmentVariableW(L"TMP", temp().c_str());
}

Sandbox::~Sandbox() {
  for (size_t i = 0; i < saved_->values.size(); ++i) {
    const auto& [value, present] = saved_->values[i];
    SetEnvironmentVariableW(kProfileVariables[i], present ? value.c_str() : nullptr);
  }
  delete saved_;
  RemoveTree(root_);
}

void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("fixture write failed: " + path.string());
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("fixture read failed: " + path.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::filesystem::path ProgramDir() {
  std::wstring buffer(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool MakeUnixSymlink(const std::filesystem::path& target, const std::filesystem::path& link,
                     std::string& reason) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto to_unix = kernel ? reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
                              GetProcAddress(kernel, "wine_get_unix_file_name")))
                        : nullptr;
  if (to_unix == nullptr) {
    reason = "not running under Wine: Unix links cannot be made";
    return false;
  }
  auto unix_path = [&](const std::filesystem::path& p) -> std::string {
    char* raw = to_unix(p.c_str());
    if (raw == nullptr) return {};
    std::string out(raw);
    HeapFree(GetProcessHeap(), 0, raw);
    return out;
  };
  const std::string unix_target = target.is_absolute() ? unix_path(target) : target.string();
  const std::string unix_link = unix_path(link);
  if (unix_target.empty() || unix_link.empty()) {
    reason = "no Unix path for the link or its target";
    return false;
  }
  // Wine starts Linux programs without a usable process handle: wait for the link instead.
  std::wstring command = L"/bin/ln -s -n -f '" + Utf8ToWide(unix_target) + L"' '" +
                         Utf8ToWide(unix_link) + L"'";
  std::wstring cmdline = L"/bin/sh -c \"" + command + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"Z:\\bin\\sh", cmdline.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi)) {
    reason = "could not start /bin/sh (" + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (pi.hProcess) CloseHandle(pi.hProcess);
  if (pi.hThread) CloseHandle(pi.hThread);
  for (int i = 0; i < 500; ++i) {
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW(link.c_str(), &data));
    if (find) return true;
    Sleep(10);
  }
  reason = "the link did not appear";
  return false;
}

}  // namespace kel::test
