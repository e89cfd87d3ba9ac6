#include "install/extract.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

// What the reader thread fills while the main thread waits for the child with a deadline.
struct PipeReader {
  unique_handle read_end;
  std::string output;
  std::atomic<std::uint64_t> bytes{0};  // read so far: the child is still talking
  bool complete = false;                // the pipe reported its end, not an error
};

DWORD WINAPI ReadPipeToEnd(void* parameter) {
  auto* reader = static_cast<PipeReader*>(parameter);
  char block[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(reader->read_end.get(), block, sizeof(block), &got, nullptr)) {
      reader->complete = GetLastError() == ERROR_BROKEN_PIPE;
      break;
    }
    if (got == 0) {
      reader->complete = true;
      break;
    }
    reader->output.append(block, got);
    reader->bytes += got;
  }
  return 0;
}

// Entries and bytes below `dir`: grows while an extraction is writing.
std::uint64_t TreeActivity(const std::wstring& dir) {
  std::uint64_t total = 0;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &data,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return 0;
  std::vector<std::wstring> subdirs;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    total += 1 + (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) + data.nFileSizeLow;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
      subdirs.push_back(dir + L"\\" + name);
  } while (FindNextFileW(find.get(), &data));
  find.reset();
  for (const std::wstring& sub : subdirs) total += TreeActivity(sub);
  return total;
}

std::wstring Quoted(const std::filesystem::path& path) { return L"\"" + path.wstring() + L"\""; }

std::string_view TrimmedCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

bool RunHiddenAndCapture(const std::wstring& command_line, std::uint32_t& exit_code,
                         std::string& output, std::string& error, std::uint32_t timeout_ms,
                         const std::function<std::uint64_t()>& activity) {
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

  // The deadline counts from the child's last sign of work (output read, or whatever
  // `activity` measures): a slow tool that keeps working is never cut off.
  const DWORD slice = std::clamp<DWORD>(timeout_ms / 10, 50, 2000);
  std::uint64_t last_seen = reader->bytes + (activity ? activity() : 0);
  ULONGLONG last_change = GetTickCount64();
  bool timed_out = false;
  while (WaitForSingleObject(process.get(), slice) == WAIT_TIMEOUT) {
    const std::uint64_t seen = reader->bytes + (activity ? activity() : 0);
    const ULONGLONG now = GetTickCount64();
    if (seen != last_seen) {
      last_seen = seen;
      last_change = now;
    } else if (now - last_change >= timeout_ms) {
      // A tool that is still running must not keep writing into a folder the caller is
      // about to delete.
      timed_out = true;
      TerminateProcess(process.get(), WAIT_TIMEOUT);
      WaitForSingleObject(process.get(), 10000);
      break;
    }
  }
  if (reader_thread) {
    if (WaitForSingleObject(reader_thread.get(), 5000) == WAIT_TIMEOUT) {
      // Someone else (a grandchild) still holds the write end.
      CancelSynchronousIo(reader_thread.get());
      WaitForSingleObject(reader_thread.get(), 5000);
    }
  }
  const bool reader_done =
      WaitForSingleObject(reader_thread ? reader_thread.get() : process.get(), 0) ==
      WAIT_OBJECT_0;
  if (reader_done) output = reader->output;
  DWORD code = 0;
  if (GetExitCodeProcess(process.get(), &code)) exit_code = code;
  if (timed_out) {
    SetErrorIfEmpty(error, "解压工具运行超时，已强制结束");
    return false;
  }
  // A listing read only in part would pass the entry check on the part it saw.
  if (!reader_done || !reader->complete) {
    SetErrorIfEmpty(error, "读取解压工具输出不完整");
    return false;
  }
  return true;
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
  const std::wstring staging_ext = ToExtendedPath(staging);
  const auto staging_growth = [&staging_ext] { return TreeActivity(staging_ext); };
  if (!RunHiddenAndCapture(extract_line, exit_code, output, error, timeout_ms, staging_growth) ||
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
