#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/handles.h"

namespace kel {

// How long a setup waits for another one that works on the same Plugins folder.
inline constexpr std::uint32_t kPluginsFolderWaitMs = 10000;

// One setup at a time per Plugins folder, across processes: two double-clicks, or a scripted
// run beside the wizard, would otherwise undo each other's aside copies. A named mutex in the
// session's Local\ namespace, "Local\Kelmar.Setup.Plugins.v1." + the SHA-256 (hex) of the
// folder's final path in upper case (UTF-8), so that every spelling of one folder (case, short
// names, links to it) meets the same lock. An abandoned mutex (a killed setup) counts as
// acquired. Held by one thread, released by the destructor on that thread.
class PluginsFolderLock {
 public:
  PluginsFolderLock() = default;
  PluginsFolderLock(const PluginsFolderLock&) = delete;
  PluginsFolderLock& operator=(const PluginsFolderLock&) = delete;
  ~PluginsFolderLock();

  // Waits at most `wait_ms`; on failure `error` says, in Chinese, that another setup is busy
  // with the folder (or why the lock could not be had).
  bool Acquire(const std::filesystem::path& plugins_dir, std::string& error,
               std::uint32_t wait_ms = kPluginsFolderWaitMs);

  // The mutex name for a folder.
  static std::wstring NameFor(const std::filesystem::path& plugins_dir);

 private:
  unique_handle mutex_;
  bool held_ = false;
};

}  // namespace kel
