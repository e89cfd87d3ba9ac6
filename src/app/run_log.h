#pragma once
// The "--log" file: UTF-8 text, appended to, one time-stamped line per event, each line
// written through at once so that a run that is killed still leaves what it did.

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "common/handles.h"

namespace kel {

class RunLog {
 public:
  // False when the file cannot be opened or created; the log then stays silent, the run
  // itself is not affected.
  bool Open(const std::filesystem::path& path);
  bool IsOpen() const;
  // One line: local time, then `text` with its line breaks folded into " / ". Any thread.
  void Write(std::string_view text);

 private:
  mutable std::mutex mutex_;
  unique_file file_;
};

// The process's log. Never destroyed: workers may still write while the process ends.
RunLog& ProcessLog();

// "2026-12-09 14:30:01.250 " for a local time.
std::string LogTimestamp(int year, int month, int day, int hour, int minute, int second,
                         int millisecond);
// `text` on one line: CR LF, CR and LF each become " / ".
std::string OneLine(std::string_view text);

}  // namespace kel
