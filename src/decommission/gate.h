#pragma once

// Root gates: the small Ruby stubs that stand in a Plugins root for a managed plugin's own
// entry file, and the names of root files and companions that belong to official products.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kel {

// Files read by the gate tests are bounded by this size.
inline constexpr std::uint64_t kGateReadLimit = 134217728;

// The gate header (first two lines, both LF-terminated) and the marker word it carries.
inline constexpr std::string_view kGateHeader =
    "# frozen_string_literal: true\n# kel_plugin_center_gate: 1\n";
inline constexpr std::string_view kGateMarker = "kel_plugin_center_gate";

// The exact gate text for a plugin id (inserted verbatim).
std::string GateText(std::string_view pluginId);

// Removes a leading UTF-8 byte-order mark, then every carriage return.
std::string NormalizeGateText(std::string_view text);

// The plugin id named by the first dispatch_entry('...') call of a text that carries the
// marker word; empty when the text is no gate.
std::string ParseGatePluginId(std::string_view text);

// Pure forms of the file tests below, on text already read.
bool IsGateHeaderText(std::string_view text);
bool IsGateTextForPlugin(std::string_view text, std::string_view pluginId);

// File tests: an unreadable, missing or oversized file is never a gate.
bool IsGateFile(const std::filesystem::path& path);
bool IsGateForPlugin(const std::filesystem::path& path, std::string_view pluginId);

// Only the last component of the path is compared, ASCII case-insensitively.
bool IsOfficialRootFile(const std::filesystem::path& path);
bool IsOfficialCompanionName(const std::filesystem::path& path);

}  // namespace kel
