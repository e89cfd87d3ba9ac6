#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

// The one form of a failing Windows call: fixed text + " (" + decimal code + ")".
std::string WinErrorText(std::string_view text, std::uint32_t code);

// Writes `text` into `error` only when the caller does not already hold an error.
void SetErrorIfEmpty(std::string& error, std::string_view text);

}  // namespace kel
