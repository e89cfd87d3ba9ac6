#include "app/run_log.h"

#include <windows.h>

#include <cstdio>

#include "common/file_tree.h"

namespace kel {

bool RunLog::Open(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  // Append-only access: every write lands at the end, even with another run logging to the
  // same file. Delete sharing: the log never stands in the way of removing its folder, and
  // this run's own removals keep it (and with it the folder it lies in).
  file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file_.get() == INVALID_HANDLE_VALUE) return false;
  KeepThroughTreeRemovals(file_.get());
  return true;
}

bool RunLog::IsOpen() const {
  std::lock_guard lock(mutex_);
  return file_.get() != INVALID_HANDLE_VALUE;
}

void RunLog::Write(std::string_view text) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const std::string line = LogTimestamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                                        now.wSecond, now.wMilliseconds) +
                           OneLine(text) + "\r\n";
  std::lock_guard lock(mutex_);
  if (file_.get() == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  // A full disk or a vanished share loses log lines, never the run.
  WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

RunLog& ProcessLog() {
  static RunLog& log = *new RunLog;
  return log;
}

std::string LogTimestamp(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  char buffer[40];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02d-%02d %02d:%02d:%02d.%03d ", year, month, day,
                hour, minute, second, millisecond);
  return buffer;
}

std::string OneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += " / ";
    } else {
      line += text[i];
    }
  }
  return line;
}

}  // namespace kel
