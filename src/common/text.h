#pragma once

#include <string>
#include <string_view>

namespace kel {

// Strict conversions: input that is not well formed gives the empty string.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

}  // namespace kel
