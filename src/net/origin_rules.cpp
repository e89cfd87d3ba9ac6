// Pure text rules of the backend origin: no Windows headers.
#include <cctype>

#include "common/text.h"
#include "net/origin.h"

namespace kel {
namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string NormalizeOrigin(std::string_view origin) {
  while (!origin.empty() && IsSpace(origin.front())) origin.remove_prefix(1);
  while (!origin.empty() && IsSpace(origin.back())) origin.remove_suffix(1);
  while (!origin.empty() && (origin.back() == '/' || origin.back() == '\\')) {
    origin.remove_suffix(1);
  }
  return std::string(origin);
}

std::string JoinOriginPath(std::string_view origin, std::string_view path) {
  std::string url = NormalizeOrigin(origin);
  if (path.empty()) return url;
  if (path.front() != '/') url.push_back('/');
  url.append(path);
  return url;
}

bool IsLocalOrPrivateHost(std::wstring_view host) {
  std::string name = WideToUtf8(host);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name == "localhost" || name == "127.0.0.1" || name == "::1") return true;
  for (std::string_view prefix :
       {"192.168.", "10.", "172.16.", "172.17.", "172.18.", "172.19."}) {
    if (StartsWith(name, prefix)) return true;
  }
  return false;
}

}  // namespace kel
