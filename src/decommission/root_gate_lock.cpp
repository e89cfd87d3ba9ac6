#include "decommission/root_gate_lock.h"

#include <windows.h>

namespace kel {

RootGateLock::RootGateLock(unsigned long timeout_ms)
    : mutex_(CreateMutexW(nullptr, FALSE, kRootGateMutexName)) {
  if (!mutex_) return;
  const DWORD wait = WaitForSingleObject(mutex_.get(), timeout_ms);
  owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

RootGateLock::~RootGateLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

}  // namespace kel
