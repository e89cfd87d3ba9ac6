#pragma once

// Who the active user of the plugin platform is (from an override or the platform's login
// token) and the key that names that user's directory.

#include <string>
#include <string_view>

namespace kel {

inline constexpr std::string_view kUnauthenticatedUserKey = "_unauthenticated";

struct ActiveUser {
  std::string user_key;
  std::string owner_user_id;
  std::string owner_username;
};

ActiveUser GetActiveUser();
std::string UserKeyFor(std::string_view name, std::string_view id);

}  // namespace kel
