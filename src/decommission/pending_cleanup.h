#pragma once

// Files moved aside as "<name>.pending_delete_<seconds>_<pid>_<counter>" because something
// held them open: the next run deletes them once nothing does. Those in the Plugins root are
// found by their name, which outlives the plugin center; the ledgers beside the registries list
// the others.

#include <filesystem>
#include <string_view>
#include <vector>

namespace kel {

// "<name>.pending_delete_" followed by three decimal numbers joined by '_'.
bool IsPendingDeleteName(std::wstring_view fileName);

// Deletes the moved-aside files of one Plugins root that can go now: those directly in the
// root, and those listed in the pending_cleanup.json ledgers beside its registries (only
// entries inside the root; the ledgers keep what is still held). Returns what is left.
std::vector<std::filesystem::path> ClearPendingDeletes(const std::filesystem::path& pluginsRoot);

}  // namespace kel
