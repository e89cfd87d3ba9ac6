#include "decommission/root_gate_lock.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

namespace kel {
namespace {

// Set when a wait for the gate ran out; cleared when the gate is had again.
std::atomic<bool> g_gate_contended{false};

}  // namespace

RootGateLock::RootGateLock(unsigned long timeout_ms)
    : mutex_(CreateMutexW(nullptr, FALSE, kRootGateMutexName)) {
  if (!mutex_) return;
  // The plugin manager holds the gate for whole operations. Once a wait ran out, every later
  // plugin of the run would fail alike and be left for the next run: each only looks again
  // briefly, instead of the user waiting the full time-out once per plugin.
  const DWORD limit = g_gate_contended.load() ? std::min(timeout_ms, kRootGateRecheckMs)
                                              : timeout_ms;
  const DWORD wait = WaitForSingleObject(mutex_.get(), limit);
  owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  if (owned_) {
    g_gate_contended.store(false);
  } else if (wait == WAIT_TIMEOUT) {
    g_gate_contended.store(true);
  }
}

RootGateLock::~RootGateLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

}  // namespace kel
