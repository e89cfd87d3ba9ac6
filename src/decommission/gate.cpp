#include "decommission/gate.h"

#include <array>

#include "common/text.h"
#include "common/ascii.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr std::string_view kGatePrefix =
    "# frozen_string_literal: true\n# kel_plugin_center_gate: 1\n"
    "KelPluginCenter::API.dispatch_entry('";
constexpr std::string_view kGateSuffix = "') if defined?(KelPluginCenter::API)\n";
constexpr std::string_view kDispatchMarker = "dispatch_entry('";
constexpr std::string_view kDispatchClose = "')";

constexpr std::array<std::string_view, 5> kOfficialRootFiles = {
    "!kel-plugin-gate.rb", "kel_plugin_center.rb", "kel_shortcut_tool.rb",
    "kel_clipboard_tool.rb", "kel2cad_v2.rb"};
constexpr std::array<std::string_view, 4> kOfficialCompanions = {
    "kel_plugin_center", "kel_shortcut_tool", "kel_clipboard_tool", "kel2cad_v2"};

// A missing, unreadable or oversized file reads as "no text".
bool ReadGateCandidate(const std::filesystem::path& path, std::string& content) {
  bool existed = false;
  std::string error;
  return ReadStateFile(path, kGateReadLimit, true, existed, content, error) && existed;
}

std::string LastComponentLower(const std::filesystem::path& path) {
  return AsciiLower(WideToUtf8(path.filename().native()));
}

template <std::size_t N>
bool InList(const std::array<std::string_view, N>& list, std::string_view name) {
  if (name.empty()) return false;
  for (std::string_view entry : list) {
    if (entry == name) return true;
  }
  return false;
}

}  // namespace

std::string GateText(std::string_view pluginId) {
  std::string text;
  text.reserve(kGatePrefix.size() + pluginId.size() + kGateSuffix.size());
  text.append(kGatePrefix).append(pluginId).append(kGateSuffix);
  return text;
}

std::string NormalizeGateText(std::string_view text) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

std::string ParseGatePluginId(std::string_view text) {
  const std::string normal = NormalizeGateText(text);
  if (normal.size() <= 21 || normal.find(kGateMarker) == std::string::npos) return {};
  const std::size_t marker = normal.find(kDispatchMarker);
  if (marker == std::string::npos) return {};
  const std::size_t start = marker + kDispatchMarker.size();
  if (normal.size() - start < 2) return {};
  const std::size_t close = normal.find(kDispatchClose, start);
  if (close == std::string::npos || close == start) return {};
  return normal.substr(start, close - start);
}

bool IsGateHeaderText(std::string_view text) {
  const std::string normal = NormalizeGateText(text);
  return normal.size() >= kGateHeader.size() && normal.compare(0, kGateHeader.size(), kGateHeader) == 0;
}

bool IsGateTextForPlugin(std::string_view text, std::string_view pluginId) {
  const std::string normal = NormalizeGateText(text);
  if (normal == NormalizeGateText(GateText(pluginId))) return true;
  if (normal.size() < 22 || normal.find(kGateMarker) == std::string::npos) return false;
  std::string call(kDispatchMarker);
  call.append(pluginId).append(kDispatchClose);
  return normal.find(call) != std::string::npos;
}

bool IsGateFile(const std::filesystem::path& path) {
  std::string content;
  return ReadGateCandidate(path, content) && IsGateHeaderText(content);
}

bool IsGateForPlugin(const std::filesystem::path& path, std::string_view pluginId) {
  std::string content;
  return ReadGateCandidate(path, content) && IsGateTextForPlugin(content, pluginId);
}

bool IsOfficialRootFile(const std::filesystem::path& path) {
  return InList(kOfficialRootFiles, LastComponentLower(path));
}

bool IsOfficialCompanionName(const std::filesystem::path& path) {
  return InList(kOfficialCompanions, LastComponentLower(path));
}

}  // namespace kel
