#pragma once

// What the client reads from a response's headers: lengths, ranges, and where a redirect may
// lead.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/http_client.h"

namespace kel {

// The header's text; empty when it is missing or longer than 63 characters.
std::wstring HeaderText(HINTERNET request, DWORD query);

// Digits only; anything else (or an overflow) is nullopt.
std::optional<std::uint64_t> ParseDecimal(std::wstring_view text);

// A missing or unreadable header means the total is unknown (0).
std::uint64_t ContentLength(HINTERNET request);

// "bytes FIRST-LAST/SIZE" (SIZE may be "*": 0). nullopt when the header is not of that form.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t size = 0;
};
std::optional<ContentRange> ParseContentRange(std::wstring_view text);

// The Location header; empty when missing or unreasonably long.
std::wstring LocationHeader(HINTERNET request);

// Where a redirect from `from` leads, only when it stays on the same scheme, host and port:
// the product talks to one backend origin and nothing a server answers may take it elsewhere.
std::optional<UrlParts> RedirectWithinOrigin(const UrlParts& from, const std::wstring& location);

}  // namespace kel
