#pragma once

#include <string>
#include <string_view>

namespace kel {

// Strict conversions: input that is not well formed gives the empty string.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// Lower case for comparing paths and names as the file system does: the system's
// locale-independent table, which folds every script (the C runtime's towlower folds A-Z only).
std::wstring FoldCase(std::wstring_view text);

// Equal under the system's ordinal case table (the one the file system uses for names), in
// every script, without building folded copies.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

// Without leading and trailing ASCII white space (blank, tab, CR, LF, FF, VT).
std::string_view TrimAscii(std::string_view text);

}  // namespace kel
