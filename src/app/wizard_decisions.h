#pragma once
// What the wizard does when the release query answers and when an operation ends. Pure:
// the window procedure carries these decisions out.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/background.h"

namespace kel {

// The options the window acts on (a copy of the process-wide ones).
struct WizardSettings {
  std::string mode;  // "update", "uninstall" or anything else
  std::wstring target;
  std::wstring package;
  std::uint32_t waitPid = 0;
  bool purgeGlobal = false;
  bool noLaunch = false;
};

enum class BoxIcon { Information, Error };

struct DoneDecision {
  int progress = 0;
  std::wstring status;
  // Started before any box is shown; absent: no launch.
  std::optional<std::wstring> launchDir;
  bool showBox = false;
  std::wstring boxTitle;
  BoxIcon boxIcon = BoxIcon::Information;
  // Quit after the box (if any).
  bool quit = false;
};

DoneDecision DecideDone(const OperationOutcome& outcome, const WizardSettings& settings,
                        bool autoLaunchChecked);

enum class AutoAction { None, Install, Uninstall };

struct VersionCheckDecision {
  std::wstring serverStatus;
  AutoAction action = AutoAction::None;
  std::uint32_t waitPid = 0;
  bool purgeGlobal = false;  // for an uninstall
};

// The server line once the release query has answered.
std::wstring ServerStatusText(bool ok, const ReleaseCache& cache, const WizardSettings& settings);

// `checkedDirs` are the rows checked after the rebuild that follows the answer.
VersionCheckDecision DecideVersionChecked(bool ok, const ReleaseCache& cache,
                                          const WizardSettings& settings, bool busy,
                                          const std::vector<std::wstring>& checkedDirs,
                                          bool purgeBoxChecked);

}  // namespace kel
