#include "common/win_error.h"

namespace kel {

std::string WinErrorText(std::string_view text, std::uint32_t code) {
  std::string out(text);
  out += " (";
  out += std::to_string(code);
  out += ")";
  return out;
}

void SetErrorIfEmpty(std::string& error, std::string_view text) {
  if (error.empty()) error.assign(text);
}

}  // namespace kel
