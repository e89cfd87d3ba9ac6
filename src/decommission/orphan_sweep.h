#pragma once

// Loader gates in a Plugins root that no registry accounts for any more: each gets the
// plugin's saved entry file back when a verified copy is held, and is deleted when none is.
// Under the root-gate lock, each gate is read again right before it is changed.

#include <nlohmann/json.hpp>

#include "decommission/root_classification.h"
#include "decommission/root_inventory.h"

namespace kel {

struct SweepOutcome {
  nlohmann::json recovered = nlohmann::json::array();  // file names given their entry back
  nlohmann::json removed = nlohmann::json::array();    // file names deleted
};

// Appends its problems to warnings. Nothing is swept while a registry cannot be read: it may
// own any gate of the root.
SweepOutcome SweepOrphanGates(const RootInventory& inventory,
                              const RootClassification& classification,
                              nlohmann::json& warnings);

}  // namespace kel
