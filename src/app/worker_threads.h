#pragma once
// The threads of the wizard: the startup release query and one install/update or uninstall
// worker at a time, all detached. Workers never touch the window; they post WM_SETUP_*
// messages whose heap records the window owns from then on.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/background.h"

namespace kel {

// Process-wide state. Configure before the window exists and before any thread starts.
void ConfigureBackgroundOperations(std::string origin, OperationEngines engines);
void SetMainWindow(HWND window);
HWND MainWindow();
// Receives what would be posted to the main window (tests); empty restores PostMessageW.
// Returns false when the message could not be delivered, as PostMessageW does.
using MessagePoster = std::function<bool(UINT message, WPARAM wParam, LPARAM lParam)>;
void SetMessagePoster(MessagePoster poster);
ReleaseStore& SharedReleaseStore();
bool IsBusy();
// Clears the busy flag; returns whether it was set.
bool ClearBusy();

void StartVersionCheck();
// False when another operation is running: the request is dropped. The caller shows the
// busy state (controls off, progress at 5) after a true.
bool start_install_worker(std::vector<std::wstring> dirs, std::wstring package,
                          std::uint32_t waitPid);
bool start_uninstall_worker(std::vector<std::wstring> dirs, bool purgeGlobal,
                            std::uint32_t waitPid);
void PostProgress(int percent, const std::string& text);

}  // namespace kel
