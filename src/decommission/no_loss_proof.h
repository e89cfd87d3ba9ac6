#pragma once

// The one test every destructive step of an uninstall passes first: each user-owned byte
// sequence the step would destroy (an entry's original, a payload generation of a user plugin)
// must exist, verified by its digest, in a place that stays. Pure logic over facts already
// read, so that a table can drive it with each fact unknown in turn.

#include <string>
#include <vector>

#include "decommission/root_inventory.h"

namespace kel {

// A byte sequence of the user's that the step would destroy. present: yes (digest holds its
// SHA-256), no (there is nothing of the user's to lose), unknown (it could not be read).
struct UserBytes {
  std::string what;    // names it in a message (a file name or path)
  std::string name;    // the entry file name it is a copy of, ASCII case-insensitive
  Finding present;
  std::string digest;  // "sha256:" + hex
};

// A place that stays after the step. readable: yes (digest holds the SHA-256 of its bytes),
// no (nothing there), unknown (it could not be read). userEntry: the user's own entry file in
// the Plugins root (not a gate): a version the user put there since covers the earlier copies
// of the same file name.
struct KeptCopy {
  std::string where;
  std::string name;
  Finding readable;
  std::string digest;
  bool userEntry = false;
};

// yes: nothing would be lost. no: `what` names a sequence with no copy that stays. unknown:
// `what` names the first thing that could not be told (its doubt says busy or damaged).
Finding ProveNoLoss(const std::vector<UserBytes>& destroyed, const std::vector<KeptCopy>& staying);

}  // namespace kel
