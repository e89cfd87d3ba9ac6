#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"

namespace kel {

struct InstallerRelease;

// True when the process `pid` is known to have ended within `timeout_ms`; also true at once
// for 0, for the own process and for a process that cannot be opened.
bool WaitForProcessExit(std::uint32_t pid, std::uint32_t timeout_ms);

// What the silent run calls into. Production binds the real engines; tests bind doubles.
struct SilentOperations {
  std::function<bool(std::uint32_t pid, std::uint32_t timeout_ms)> wait_for_process;
  // The Plugins directories of the discovered SketchUp versions, newest first.
  std::function<std::vector<std::wstring>()> discover_plugins_dirs;
  // The current release; false when the query failed (its error text is not used).
  std::function<bool(const std::string& origin, std::shared_ptr<const InstallerRelease>& release)>
      fetch_release;
  // One install/update; `release` is null when an offline package is given.
  std::function<bool(const std::wstring& plugins_dir, const std::string& origin,
                     const InstallerRelease* release, const std::wstring& offline_package)>
      install;
  // The whole uninstall; true only when it succeeded without warnings.
  std::function<bool(const std::vector<std::wstring>& plugins_dirs, bool purge_global)>
      uninstall;
  std::function<bool(const std::wstring& plugins_dir)> launch_plugin_manager;
};

// The engines as the shipped program uses them.
SilentOperations ProductionSilentOperations();

// One silent install/update or uninstall; returns the process exit code (0, 2, 3 or 4).
int RunSilent(const SetupOptions& options, const std::string& resolved_origin,
              const SilentOperations& operations);

}  // namespace kel
