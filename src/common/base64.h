#pragma once

#include <string>
#include <string_view>

namespace kel {

// Strict Base64 (standard alphabet, '=' padding to a multiple of four, no white space, unused
// bits zero): signed release documents are read exactly as the publisher's tool wrote them.
// False (and `bytes` untouched) for anything else.
bool DecodeBase64(std::string_view text, std::string& bytes);

}  // namespace kel
