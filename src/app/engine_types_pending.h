#pragma once
// The uninstall engine's result, declared here only until decommission/uninstall.h lands on
// this branch; then this file goes and the include switches over.

#include <cstdint>
#include <string>
#include <vector>


namespace kel {

struct UninstallResult {
  bool success = false;
  std::uint64_t uninstalledMarketplace = 0;
  std::uint64_t restoredThirdParty = 0;
  std::uint64_t recoveredOrphanGates = 0;
  bool globalPurged = false;
  std::vector<std::string> warnings;
  std::string error;
};

}  // namespace kel
