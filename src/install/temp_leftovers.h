#pragma once

#include <filesystem>

namespace kel {

// Removes what killed runs of this program left in `temp`: downloaded packages
// ("kel_installer_pkg_" + pid + "_" + ticks + ".zip"), staging, blob and download-cache folders
// ("kel_installer_stage_", "kel_diff_blobs_", "kel_installer_cache_" + pid + "_" + ticks) and
// the program copy that finished an uninstall from there ("kel_setup_finish_" + pid + "_" +
// ticks + ".exe").
// Only names whose process is no longer running are touched.
void RemoveStaleInstallerTemp(const std::filesystem::path& temp);

}  // namespace kel
