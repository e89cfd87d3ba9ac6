#include "common/text.h"

#include <windows.h>

#include <climits>
#include <cwctype>

namespace kel {

std::string WideToUtf8(std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length,
                                         nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, out.data(),
                          needed, nullptr, nullptr) != needed) {
    return {};
  }
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring out(static_cast<size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(),
                          needed) != needed) {
    return {};
  }
  return out;
}

std::wstring FoldCase(std::wstring_view text) {
  std::wstring folded(text);
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return folded;
  const int length = static_cast<int>(text.size());
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.data(), length, folded.data(),
                    length, nullptr, nullptr, 0) == length) {
    return folded;
  }
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(c));
  return folded;
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  if (a.size() > static_cast<size_t>(INT_MAX)) return false;
  const int length = static_cast<int>(a.size());
  return CompareStringOrdinal(a.data(), length, b.data(), length, TRUE) == CSTR_EQUAL;
}

std::string_view TrimAscii(std::string_view text) {
  constexpr std::string_view kWhite = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(kWhite);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kWhite);
  return text.substr(first, last - first + 1);
}

}  // namespace kel
