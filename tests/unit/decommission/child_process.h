#pragma once

// Starting and steering the decommission helper program from a test.

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "common/handles.h"
#include "support/sandbox.h"

namespace kel::test {

// A manual-reset named event with a name unique to this test process.
class NamedEvent {
 public:
  NamedEvent() {
    static std::atomic<unsigned> counter{0};
    name_ = L"Local\\kel_decommission_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++counter);
    handle_.reset(CreateEventW(nullptr, TRUE, FALSE, name_.c_str()));
  }
  const std::wstring& name() const { return name_; }
  HANDLE get() const { return handle_.get(); }
  void Set() const { SetEvent(handle_.get()); }

 private:
  std::wstring name_;
  unique_handle handle_;
};

inline std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') quoted += L'\\';
    quoted += c;
  }
  // A trailing backslash would escape the closing quote.
  if (!arg.empty() && arg.back() == L'\\') quoted += L'\\';
  return quoted + L"\"";
}

class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::wstring>& args) {
    std::wstring command = QuoteArgument(program.native());
    for (const std::wstring& arg : args) command += L" " + QuoteArgument(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &info)) {
      process_.reset(info.hProcess);
      CloseHandle(info.hThread);
    }
  }
  ~ChildProcess() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) Kill();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return static_cast<bool>(process_); }
  HANDLE get() const { return process_.get(); }

  // Waits for the event or for the child to end; true when the event came first.
  bool WaitFor(const NamedEvent& event, DWORD timeout_ms = 30000) const {
    HANDLE handles[2] = {event.get(), process_.get()};
    return WaitForMultipleObjects(2, handles, FALSE, timeout_ms) == WAIT_OBJECT_0;
  }
  DWORD Wait(DWORD timeout_ms = 60000) const {
    if (WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  void Kill() const {
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 10000);
  }

 private:
  unique_handle process_;
};

inline std::filesystem::path HelperProgram() { return ProgramDir() / L"decommission_helper.exe"; }

}  // namespace kel::test
