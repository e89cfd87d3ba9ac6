// Pure text rules: no Windows headers, so this also builds natively for fuzzing.
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "sketchup/installed_version.h"

namespace kel {
namespace {

std::uint64_t PieceValue(std::string_view piece) {
  std::string digits;
  for (char c : piece) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  if (digits.empty()) return 0;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  // strtoull already gives ULLONG_MAX on overflow; keep it explicit for other runtimes.
  if (errno == ERANGE) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace

std::vector<std::uint64_t> ParseVersion(std::string_view text) {
  std::vector<std::uint64_t> components;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size();
    if (!end && text[i] != '.' && text[i] != '-') continue;
    // Only an empty piece at the very end produces nothing ("1.2." is 1, 2; "" is empty).
    if (!(end && i == start)) components.push_back(PieceValue(text.substr(start, i - start)));
    start = i + 1;
  }
  return components;
}

int CompareVersions(std::string_view a, std::string_view b) {
  const std::vector<std::uint64_t> left = ParseVersion(a);
  const std::vector<std::uint64_t> right = ParseVersion(b);
  const std::size_t count = left.size() > right.size() ? left.size() : right.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t x = i < left.size() ? left[i] : 0;
    const std::uint64_t y = i < right.size() ? right[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace kel
