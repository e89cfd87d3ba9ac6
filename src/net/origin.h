#pragma once

#include <string>
#include <string_view>

namespace kel {

// Used when no command line, environment or agent.properties value applies.
inline constexpr char kDefaultBackendOrigin[] = "http://192.168.1.100:18080";

// Command line, then KEL_CLOUD_ORIGIN, KEL_BACKEND_ORIGIN, then agent.properties, then the
// default. Values from the environment or the file that contain "18081" are skipped.
// `source`, when given, names where the origin came from ("--origin", the variable's name,
// "agent.properties" or "default").
std::string ResolveBackendOrigin(const std::string& commandLineOrigin,
                                 std::string* source = nullptr);

// Trims white space, then every trailing '/' and '\'.
std::string NormalizeOrigin(std::string_view origin);

// Normalised origin + path with exactly one '/' between them when the path lacks one.
std::string JoinOriginPath(std::string_view origin, std::string_view path);

// localhost, 127.0.0.1, ::1, 192.168.*, 10.*, 172.16.* to 172.19.*: reached without proxy.
bool IsLocalOrPrivateHost(std::wstring_view host);

}  // namespace kel
