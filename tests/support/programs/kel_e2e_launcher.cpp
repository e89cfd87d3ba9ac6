// Starts a program with a sandboxed profile and returns its exit code.
//
// Wine replaces APPDATA, LOCALAPPDATA, ProgramFiles, TEMP and the like by its own values when a
// Windows process starts, whatever the Linux environment holds, so end-to-end tests cannot set
// them from Python. This launcher sets NAME from every variable KEL_SANDBOX_NAME it inherits,
// then runs the rest of its own command line (first token: the program) with that environment.
// KEL_E2E_TIMEOUT_MS bounds the wait: the program is then terminated and 124 returned; 120
// and 121 mean a missing command line and a program that could not be started.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPrefix[] = L"KEL_SANDBOX_";
// Codes of the launcher itself, apart from every exit code of the programs under test.
constexpr int kUsage = 120;
constexpr int kStartFailed = 121;
constexpr DWORD kTimedOut = 124;

// The command line after the launcher's own program token.
const wchar_t* RestOfCommandLine() {
  const wchar_t* p = GetCommandLineW();
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

void ApplySandboxVariables() {
  std::vector<std::pair<std::wstring, std::wstring>> pending;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return;
  const std::size_t prefixLength = std::wcslen(kPrefix);
  for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
    std::wstring text(entry);
    if (text.compare(0, prefixLength, kPrefix) != 0) continue;
    const std::size_t equals = text.find(L'=', prefixLength);
    if (equals == std::wstring::npos || equals == prefixLength) continue;
    pending.emplace_back(text.substr(prefixLength, equals - prefixLength), text.substr(equals + 1));
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : pending) SetEnvironmentVariableW(name.c_str(), value.c_str());
}

}  // namespace

int wmain() {
  std::wstring command = RestOfCommandLine();
  if (command.empty()) return kUsage;
  ApplySandboxVariables();
  DWORD timeout = INFINITE;
  wchar_t value[32];
  if (GetEnvironmentVariableW(L"KEL_E2E_TIMEOUT_MS", value, 32) > 0) {
    timeout = static_cast<DWORD>(std::wcstoul(value, nullptr, 10));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return kStartFailed;
  }
  CloseHandle(info.hThread);
  DWORD code = 1;
  if (WaitForSingleObject(info.hProcess, timeout) != WAIT_OBJECT_0) {
    TerminateProcess(info.hProcess, kTimedOut);
    WaitForSingleObject(info.hProcess, 10000);
    code = kTimedOut;
  } else {
    GetExitCodeProcess(info.hProcess, &code);
  }
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}
