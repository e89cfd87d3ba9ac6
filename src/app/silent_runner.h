#pragma once

#include <cstdint>
#include <string>

#include "app/engines.h"
#include "app/options.h"

namespace kel {

// True when the process `pid` is known to have ended within `timeout_ms`; also true at once
// for 0, for the own process and for a process that cannot be opened.
bool WaitForProcessExit(std::uint32_t pid, std::uint32_t timeout_ms);

// One silent install/update or uninstall; returns the process exit code (0, 2, 3 or 4).
int RunSilent(const SetupOptions& options, const std::string& resolved_origin,
              const OperationEngines& engines);

}  // namespace kel
