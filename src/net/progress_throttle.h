#pragma once

#include <cstdint>
#include <string>

namespace kel {

// Passes a progress report on only when the user would see a difference: a new percentage,
// new text once `textIntervalMs` has passed since the last report, or the final state. A
// download reading 8 KiB at a time would otherwise post one window message per read.
class ProgressThrottle {
 public:
  explicit ProgressThrottle(std::uint64_t textIntervalMs = 250) : interval_(textIntervalMs) {}

  bool Due(int percent, const std::string& text, std::uint64_t nowMs, bool finished = false);

 private:
  std::uint64_t interval_;
  bool reported_ = false;
  int percent_ = 0;
  std::string text_;
  std::uint64_t at_ = 0;
};

// "正在下载文件 (x / y KB)..." and its percentage (whole KiB, at most 99: the caller reports
// completion).
int DownloadPercent(std::uint64_t received, std::uint64_t total);
std::string DownloadProgressText(std::uint64_t received, std::uint64_t total);

}  // namespace kel
