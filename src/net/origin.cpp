#include "net/origin.h"

#include <windows.h>
#include <shlobj.h>

#include <cctype>
#include <filesystem>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr std::uint64_t kAgentPropertiesLimit = 65536;

// The 2,048-unit buffer of the environment lookup: a longer value counts as unset.
std::string EnvironmentOrigin(const wchar_t* name) {
  std::vector<wchar_t> buffer(2048, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  return NormalizeOrigin(WideToUtf8(std::wstring_view(buffer.data(), length)));
}

// Another port of the platform is never the backend, wherever it appears in the value.
bool Acceptable(const std::string& origin) {
  if (origin.empty()) return false;
  if (origin.size() < 5) return true;
  return origin.find("18081") == std::string::npos;
}

std::filesystem::path LocalAppDataDir() {
  std::vector<wchar_t> buffer(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= 1 && length <= 32767) return std::wstring(buffer.data(), length);
  unique_cotaskmem known;
  PWSTR raw = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
  known.reset(raw);
  if (FAILED(hr) || raw == nullptr) return {};
  return std::wstring(raw);
}

std::string Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

std::string AgentPropertiesOrigin() {
  const std::filesystem::path local = LocalAppDataDir();
  if (local.empty()) return {};
  const std::filesystem::path file = local / L"KelPlatformV3" / L"agent.properties";
  bool existed = false;
  std::string content;
  std::string error;
  // Whatever the safe reader refuses (oversized, unsafe path, links) counts as absent.
  if (!ReadStateFile(file, kAgentPropertiesLimit, true, existed, content, error) || !existed) {
    return {};
  }
  std::string_view text = content;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = Trim(std::string_view(line).substr(0, equals));
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key != "cloudorigin" && key != "cloud_origin") continue;
    const std::string value = NormalizeOrigin(std::string_view(line).substr(equals + 1));
    if (Acceptable(value)) return value;
  }
  return {};
}

}  // namespace

std::string ResolveBackendOrigin(const std::string& commandLineOrigin, std::string* source) {
  auto from = [source](const char* name) {
    if (source) *source = name;
  };
  // The user's explicit choice is taken as it is, "18081" or not.
  std::string origin = NormalizeOrigin(commandLineOrigin);
  if (!origin.empty()) {
    from("--origin");
    return origin;
  }
  for (const char* name : {"KEL_CLOUD_ORIGIN", "KEL_BACKEND_ORIGIN"}) {
    origin = EnvironmentOrigin(Utf8ToWide(name).c_str());
    if (Acceptable(origin)) {
      from(name);
      return origin;
    }
  }
  origin = AgentPropertiesOrigin();
  if (!origin.empty()) {
    from("agent.properties");
    return origin;
  }
  from("default");
  return kDefaultBackendOrigin;
}

}  // namespace kel
