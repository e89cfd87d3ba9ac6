#pragma once

// Putting a user's own entry file back over its gate from a stored copy that still matches its
// digest: the way out when the regular restore refuses for good (a damaged registry or
// journal, a companion that is a link, a payload identity in another form), and for orphan
// gates. Runs under the root-gate lock and re-reads the entry first.

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "decommission/root_inventory.h"

namespace kel {

// yes: the entry now holds a verified copy (read back). no: no verified copy exists, or the
// entry is no longer the plugin's gate (nothing to put back). unknown: the lock, the entry or a
// copy that may be the one could not be had now; what names it. preferredCopy, when given, is
// the copy to use if it verifies (the record's active generation): one that exists but cannot
// be read now is waited for rather than passed over for an older one.
Finding RecoverEntryFromVerifiedCopy(const std::filesystem::path& managerRoot,
                                     const std::string& pluginId,
                                     const std::filesystem::path& entryPath,
                                     const std::filesystem::path& preferredCopy,
                                     const std::filesystem::path& ledgerRegistry,
                                     std::string& error);

// Root journals beside readable registries that can never verify (not parseable, a phase
// other than "published", an id no registry holds) are settled under the root-gate lock: the
// entry they name gets a verified copy back when it is still the gate or missing, and once it
// is the user's own file the journal goes. Each settled journal adds a warning naming it.
// Journals that may yet verify are left to the transactions.
void SettleUnverifiableJournals(const RootInventory& inventory, nlohmann::json& warnings);

}  // namespace kel
