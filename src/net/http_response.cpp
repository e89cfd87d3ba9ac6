#include "net/http_response.h"

#include <algorithm>
#include <climits>

#include "common/text.h"

namespace kel {
namespace {

bool SameText(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::wstring HeaderText(HINTERNET request, DWORD query) {
  wchar_t text[64] = {};
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  return std::wstring(text, std::min<std::size_t>(size / sizeof(wchar_t), 63));
}

std::optional<std::uint64_t> ParseDecimal(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t ContentLength(HINTERNET request) {
  return ParseDecimal(HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH)).value_or(0);
}

std::optional<ContentRange> ParseContentRange(std::wstring_view text) {
  constexpr std::wstring_view kUnit = L"bytes ";
  if (text.substr(0, kUnit.size()) != kUnit) return std::nullopt;
  text.remove_prefix(kUnit.size());
  const std::size_t dash = text.find(L'-');
  const std::size_t slash = text.find(L'/');
  if (dash == std::wstring_view::npos || slash == std::wstring_view::npos || slash < dash) {
    return std::nullopt;
  }
  const auto first = ParseDecimal(text.substr(0, dash));
  const auto last = ParseDecimal(text.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  const std::wstring_view size = text.substr(slash + 1);
  if (size == L"*") return ContentRange{*first, 0};
  const auto total = ParseDecimal(size);
  if (!total || *total <= *last) return std::nullopt;
  return ContentRange{*first, *total};
}

std::wstring LocationHeader(HINTERNET request) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, nullptr,
                      &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 16384) return {};
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                           text.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

std::optional<UrlParts> RedirectWithinOrigin(const UrlParts& from, const std::wstring& location) {
  if (location.empty()) return std::nullopt;
  UrlParts to = from;
  if (location.starts_with(L"//")) {
    return RedirectWithinOrigin(from, (from.secure ? L"https:" : L"http:") + location);
  }
  if (location.front() == L'/') {
    to.pathAndQuery = location;
    return to;
  }
  if (location.find(L"://") != std::wstring::npos) {
    std::string ignored;
    UrlParts target;
    if (!CrackHttpUrl(WideToUtf8(location), target, ignored)) return std::nullopt;
    if (target.secure != from.secure || target.port != from.port ||
        !SameText(target.host, from.host)) {
      return std::nullopt;
    }
    return target;
  }
  if (location.find(L':') != std::wstring::npos) return std::nullopt;  // another scheme
  // A path relative to the current one's folder.
  std::wstring base = from.pathAndQuery.substr(0, from.pathAndQuery.find(L'?'));
  base.erase(base.rfind(L'/') + 1);
  to.pathAndQuery = base + location;
  return to;
}

}  // namespace kel
