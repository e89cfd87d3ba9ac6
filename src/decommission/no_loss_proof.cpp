#include "decommission/no_loss_proof.h"

#include "common/ascii.h"

namespace kel {

Finding ProveNoLoss(const std::vector<UserBytes>& destroyed, const std::vector<KeptCopy>& staying) {
  for (const UserBytes& bytes : destroyed) {
    if (bytes.present.no()) continue;
    if (bytes.present.unknown()) return bytes.present;
    if (bytes.digest.empty()) return Finding::Unknown(Doubt::kDamaged, bytes.what);
    bool covered = false;
    const KeptCopy* undecided = nullptr;
    for (const KeptCopy& copy : staying) {
      if (copy.readable.unknown()) {
        if (undecided == nullptr) undecided = &copy;
        continue;
      }
      if (!copy.readable.yes()) continue;
      if (copy.digest == bytes.digest ||
          (copy.userEntry && !bytes.name.empty() && AsciiEqualsIgnoreCase(copy.name, bytes.name))) {
        covered = true;
        break;
      }
    }
    if (covered) continue;
    // A copy that could not be read might be the one: not known lost, not known safe.
    if (undecided != nullptr) return undecided->readable;
    Finding lost = Finding::No();
    lost.what = bytes.what;
    return lost;
  }
  return Finding::Yes();
}

}  // namespace kel
