#pragma once

#include <filesystem>
#include <string>

namespace kel {

// Starts pluginsDir\kel_plugin_center\bin\KelPluginManager.exe detached, with
// KEL_PLUGINS_DIR set and, when the user has no login yet, KEL_INITIAL_LOGIN=1 and
// " --initial-login". True when the process was created; it is never waited for.
bool LaunchPluginManager(const std::filesystem::path& pluginsDir, std::string& error);

}  // namespace kel
