// Stands in for KelPluginManager.exe: appends how it was started to the file named by
// KEL_MANAGER_RECORD (UTF-8, one "key=value" per line, a blank line after each start).
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[32768];
  const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  if (n == 0) return L"<unset>";
  return std::wstring(buffer, n);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring record = Env(L"KEL_MANAGER_RECORD");
  if (record == L"<unset>") return 1;
  wchar_t cwd[MAX_PATH];
  const DWORD cwd_length = GetCurrentDirectoryW(MAX_PATH, cwd);
  std::string text = "commandLine=" + Utf8(GetCommandLineW()) + "\n";
  text += "argc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) text += "argv" + std::to_string(i) + "=" + Utf8(argv[i]) + "\n";
  text += "KEL_PLUGINS_DIR=" + Utf8(Env(L"KEL_PLUGINS_DIR")) + "\n";
  text += "KEL_INITIAL_LOGIN=" + Utf8(Env(L"KEL_INITIAL_LOGIN")) + "\n";
  text += "cwd=" + Utf8(std::wstring(cwd, cwd_length)) + "\n\n";
  // Appends whole records; several launches in one run stay apart.
  HANDLE file = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
