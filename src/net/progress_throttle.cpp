#include "net/progress_throttle.h"

#include <algorithm>

namespace kel {

bool ProgressThrottle::Due(int percent, const std::string& text, std::uint64_t nowMs,
                           bool finished) {
  const bool changed = !reported_ || percent != percent_ || text != text_;
  if (!changed) return false;
  if (reported_ && percent == percent_ && !finished && nowMs - at_ < interval_) return false;
  reported_ = true;
  percent_ = percent;
  text_ = text;
  at_ = nowMs;
  return true;
}

int DownloadPercent(std::uint64_t received, std::uint64_t total) {
  // `received` counts bytes actually read, so the product cannot overflow.
  return total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(received * 100 / total, 99));
}

std::string DownloadProgressText(std::uint64_t received, std::uint64_t total) {
  return "正在下载文件 (" + std::to_string(received / 1024) + " / " +
         std::to_string(total / 1024) + " KB)...";
}

}  // namespace kel
