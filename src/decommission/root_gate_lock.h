#pragma once

// The named mutex that serialises every change of a managed root entry between this program
// and the plugin manager: held for a whole uninstall or restore of one plugin, always taken
// before the registry mutex.

#include "common/handles.h"

namespace kel {

inline constexpr wchar_t kRootGateMutexName[] = L"Local\\Kelmar.PluginManager.RootGate.v2";
inline constexpr unsigned long kRootGateLockTimeoutMs = 8000;
// How long a wait lasts once an earlier wait of this process ran out, until the gate is had.
inline constexpr unsigned long kRootGateRecheckMs = 500;

// Holds the root-gate mutex for its lifetime (an abandoned wait counts as owning it).
class RootGateLock {
 public:
  explicit RootGateLock(unsigned long timeout_ms = kRootGateLockTimeoutMs);
  ~RootGateLock();
  RootGateLock(const RootGateLock&) = delete;
  RootGateLock& operator=(const RootGateLock&) = delete;
  bool owned() const { return owned_; }

 private:
  unique_handle mutex_;
  bool owned_ = false;
};

}  // namespace kel
