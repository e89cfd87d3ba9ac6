#pragma once

// ASCII-only case rules for names and Ruby source: bytes outside A-Z are left alone, so UTF-8
// text passes through unchanged.

#include <string>
#include <string_view>

namespace kel {

inline char AsciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLowerChar(c);
  return out;
}

inline bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
  }
  return true;
}

inline bool AsciiEndsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         AsciiEqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace kel
