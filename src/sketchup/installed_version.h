#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// The plugin-center version installed in a Plugins folder: kel_plugin_center\VERSION, else
// the quoted text after "extension.version" in kel_plugin_center.rb. Empty when unknown.
std::string ReadInstalledVersion(const std::filesystem::path& pluginsDir);

// Beside VERSION while an install or update is writing the folder (written first, removed
// last): what the folder holds then is neither the old release nor the new one.
inline constexpr wchar_t kDeploymentMarkerName[] = L"VERSION.deploying";

// True while kel_plugin_center\VERSION.deploying is there, and when that cannot be told: such
// a folder is never up to date, whatever VERSION says. The next install puts it back or
// finishes it.
bool HasUnfinishedDeployment(const std::filesystem::path& pluginsDir);

// Components split at '.' and '-', each the number formed by its digits (0 when none);
// saturates at the 64-bit maximum.
std::vector<std::uint64_t> ParseVersion(std::string_view text);

// -1 when a is lower, 0 when equal (missing components count as 0), 1 when a is higher.
int CompareVersions(std::string_view a, std::string_view b);

}  // namespace kel
