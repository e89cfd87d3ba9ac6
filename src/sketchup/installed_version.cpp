#include "sketchup/installed_version.h"

#include <cctype>
#include <system_error>

#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr std::uint64_t kVersionFileLimit = 1024;
constexpr std::uint64_t kLoaderFileLimit = 65536;

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// Empty, oversized or refused files read as nothing; the reason does not matter here.
bool ReadSmallFile(const std::filesystem::path& path, std::uint64_t limit, std::string& content) {
  if (!IsRegularFile(path)) return false;
  bool existed = false;
  std::string error;
  return ReadStateFile(path, limit, true, existed, content, error) && existed;
}

std::string VersionFromLoader(std::string_view content) {
  const std::size_t key = content.find("extension.version");
  if (key == std::string_view::npos) return {};
  // Whatever quote comes first is taken, even on a later line.
  const std::size_t open = content.find_first_of("\"'", key);
  if (open == std::string_view::npos) return {};
  const std::size_t close = content.find(content[open], open + 1);
  if (close == std::string_view::npos || close == open + 1) return {};
  return std::string(Trim(content.substr(open + 1, close - open - 1)));
}

}  // namespace

bool HasUnfinishedDeployment(const std::filesystem::path& pluginsDir) {
  std::error_code ec;
  const auto status =
      std::filesystem::symlink_status(pluginsDir / L"kel_plugin_center" / kDeploymentMarkerName, ec);
  if (ec) return ec != std::errc::no_such_file_or_directory;
  return status.type() != std::filesystem::file_type::not_found;
}

std::string ReadInstalledVersion(const std::filesystem::path& pluginsDir) {
  std::string content;
  if (ReadSmallFile(pluginsDir / L"kel_plugin_center" / L"VERSION", kVersionFileLimit, content)) {
    std::string_view text = content;
    if (text.size() > 2 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    text = Trim(text);
    if (!text.empty()) return std::string(text);
  }
  content.clear();
  if (ReadSmallFile(pluginsDir / L"kel_plugin_center.rb", kLoaderFileLimit, content)) {
    return VersionFromLoader(content);
  }
  return {};
}

}  // namespace kel
