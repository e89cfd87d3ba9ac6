#include "install/extract.h"

#include <windows.h>

#include <cctype>
#include <memory>
#include <system_error>

#include "common/handles.h"
#include "common/win_error.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

// What the reader thread fills while the main thread waits for the child with a deadline.
struct PipeReader {
  unique_handle read_end;
  std::string output;
};

DWORD WINAPI ReadPipeToEnd(void* parameter) {
  auto* reader = static_cast<PipeReader*>(parameter);
  char block[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(reader->read_end.get(), block, sizeof(block), &got, nullptr) || got == 0) break;
    reader->output.append(block, got);
  }
  return 0;
}

std::wstring Quoted(const std::filesystem::path& path) { return L"\"" + path.wstring() + L"\""; }

std::string_view TrimmedCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

bool RunHiddenAndCapture(const std::wstring& command_line, std::uint32_t& exit_code,
                         std::string& output, std::string& error, std::uint32_t timeout_ms) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  auto reader = std::make_shared<PipeReader>();
  unique_handle write_end;
  {
    HANDLE read_raw = nullptr, write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) {
      SetErrorIfEmpty(error, "创建管道失败");
      return false;
    }
    reader->read_end.reset(read_raw);
    write_end.reset(write_raw);
  }
  SetHandleInformation(reader->read_end.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION info{};
  std::wstring mutable_line = command_line;
  const BOOL started = CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
  const DWORD start_error = GetLastError();
  // The child holds its own copy; ours must go or the pipe never reports its end.
  write_end.reset();
  if (!started) {
    error = WinErrorText("启动解压工具失败", start_error);
    return false;
  }
  unique_handle process(info.hProcess);
  unique_handle thread(info.hThread);

  output.clear();
  // The pipe is drained on its own thread so that the wait below has a real deadline even for
  // a child that never closes its output.
  auto* held = new std::shared_ptr<PipeReader>(reader);
  unique_handle reader_thread(CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        std::unique_ptr<std::shared_ptr<PipeReader>> owner(
            static_cast<std::shared_ptr<PipeReader>*>(p));
        return ReadPipeToEnd(owner->get());
      },
      held, 0, nullptr));
  if (!reader_thread) {
    delete held;
    ReadPipeToEnd(reader.get());
  }

  bool timed_out = false;
  if (WaitForSingleObject(process.get(), timeout_ms) == WAIT_TIMEOUT) {
    // A tool that is still running must not keep writing into a folder the caller is about
    // to delete.
    timed_out = true;
    TerminateProcess(process.get(), WAIT_TIMEOUT);
    WaitForSingleObject(process.get(), 10000);
  }
  if (reader_thread) {
    if (WaitForSingleObject(reader_thread.get(), 5000) == WAIT_TIMEOUT) {
      // Someone else (a grandchild) still holds the write end.
      CancelSynchronousIo(reader_thread.get());
      WaitForSingleObject(reader_thread.get(), 5000);
    }
  }
  if (WaitForSingleObject(reader_thread ? reader_thread.get() : process.get(), 0) ==
      WAIT_OBJECT_0) {
    output = reader->output;
  }
  DWORD code = 0;
  if (GetExitCodeProcess(process.get(), &code)) exit_code = code;
  if (timed_out) {
    SetErrorIfEmpty(error, "解压工具运行超时，已强制结束");
    return false;
  }
  return true;
}

bool IsSafeArchiveEntry(std::string_view line) {
  std::string text(line);
  for (char& c : text)
    if (c == '\\') c = '/';
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  const std::string_view entry(text.data() + begin, end - begin);
  if (entry.empty()) return true;
  if (entry.front() == '/') return false;
  if (entry.find(':') != std::string_view::npos) return false;
  if (entry.size() > 1 && entry.find("..") != std::string_view::npos) return false;
  if (entry.find('\0') != std::string_view::npos) return false;
  return true;
}

bool IsExcludedPackagePath(std::string_view path) {
  std::string lower(path);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const std::string_view p(lower);
  if (p.empty()) return true;
  if (p.size() > 1 && p.find("..") != std::string_view::npos) return true;
  if (p.find(':') != std::string_view::npos) return true;
  if (p.starts_with("__macosx/") || p.starts_with(".git/")) return true;
  constexpr std::string_view kManaged = "kel_plugin_center/managed_plugins";
  if (p == kManaged) return true;
  if (p.starts_with(kManaged) && p.size() > kManaged.size() && p[kManaged.size()] == '/')
    return true;
  return false;
}

bool ExtractPackageWithTool(const std::filesystem::path& tar_exe,
                            const std::filesystem::path& archive,
                            const std::filesystem::path& staging, std::string& error,
                            std::uint32_t timeout_ms) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(tar_exe, ec);
  if (ec && status.type() != std::filesystem::file_type::not_found) {
    throw std::filesystem::filesystem_error("status", tar_exe, ec);
  }
  if (status.type() != std::filesystem::file_type::regular) {
    SetErrorIfEmpty(error, "系统缺少 tar.exe 解压组件");
    return false;
  }

  std::uint32_t exit_code = 1;
  std::string output;
  const std::wstring list_line = Quoted(tar_exe) + L" -tf " + Quoted(archive);
  if (!RunHiddenAndCapture(list_line, exit_code, output, error, timeout_ms) || exit_code != 0) {
    SetErrorIfEmpty(error, "读取压缩包清单失败: " + output);
    return false;
  }
  for (size_t start = 0; start <= output.size();) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string_view line(output.data() + start, end - start);
    if (!IsSafeArchiveEntry(line)) {
      error = "压缩包包含越权路径 (Zip Slip): " + std::string(TrimmedCr(line));
      return false;
    }
    start = end + 1;
  }

  std::string directory_error;
  if (!EnsureStateDirectory(staging, directory_error)) {
    error = "创建解压暂存目录失败: " + directory_error;
    return false;
  }
  output.clear();
  const std::wstring extract_line =
      Quoted(tar_exe) + L" -xf " + Quoted(archive) + L" -C " + Quoted(staging);
  if (!RunHiddenAndCapture(extract_line, exit_code, output, error, timeout_ms) ||
      exit_code != 0) {
    SetErrorIfEmpty(error, "解压安装包失败: " + output);
    return false;
  }
  return true;
}

bool ExtractPackage(const std::filesystem::path& archive, const std::filesystem::path& staging,
                    std::string& error) {
  wchar_t system_dir[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system_dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    SetErrorIfEmpty(error, "无法定位 Windows System32 目录");
    return false;
  }
  return ExtractPackageWithTool(std::filesystem::path(system_dir) / L"tar.exe", archive, staging,
                                error);
}

}  // namespace kel
