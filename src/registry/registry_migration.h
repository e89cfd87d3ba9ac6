#pragma once

// The move of the older shared layout (registry and per-user entries directly in the managed
// root, or a users\\<key>_<id> folder) into the active user's directory.

#include <filesystem>
#include <string>

namespace kel {

// Creates the user folder and moves the older shared layout into it. Best effort: failures
// are not reported. An entry that cannot be moved is copied under a name of its own and put
// in place only when whole, so a run that dies half way leaves nothing that would win over
// the source; the next run starts that copy anew.
void PrepareUserDirectory(const std::filesystem::path& managed_root, const std::string& user_key,
                          const std::string& owner_user_id, const std::string& owner_user_name);

}  // namespace kel
