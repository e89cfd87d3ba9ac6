#pragma once

// When the plugin center may leave a Plugins root: only once nothing there still depends on
// its managed state, and every user-owned byte sequence inside it (the stored originals of the
// user's plugins) has a verified copy that stays in the root.

#include <filesystem>

#include <nlohmann/json.hpp>

namespace kel {

// What still needs the center, one object per item: {"kind", "name"}, kinds "registry" (cannot
// be read now), "pending" (a set-aside file still held), "tombstone", "journal", "gate" (a
// loader gate in the root), "entry" (a root entry that cannot be read now, or a user plugin
// whose entry has no verified copy outside the center) and "root" (the root cannot be
// listed). Read afresh: called right before the center goes. Empty: the center may go.
nlohmann::json CenterRemainingWork(const std::filesystem::path& pluginsRoot);

}  // namespace kel
