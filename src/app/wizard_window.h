#pragma once
// The setup wizard window: its procedure, its controls and what it needs from the rest of
// the program.

#include <windows.h>

#include "app/engines.h"
#include "app/wizard_decisions.h"

namespace kel {

inline constexpr wchar_t kWizardWindowClass[] = L"KelSetupWizardWindowClass";
inline constexpr wchar_t kWizardWindowTitle[] = L"Kel 插件中心 & 管理器 安装工具";
// The window's size at 96 dpi; every size scales with the window's dpi.
inline constexpr int kWizardWidth = 656;
inline constexpr int kWizardHeight = 502;
inline constexpr UINT kDefaultDpi = 96;

inline constexpr int IDC_TITLE = 1001;
inline constexpr int IDC_SERVER_STATUS = 1002;
inline constexpr int IDC_TARGET_LIST = 1003;
inline constexpr int IDC_BROWSE = 1004;
inline constexpr int IDC_REDETECT = 1005;
inline constexpr int IDC_AUTO_LAUNCH = 1006;
inline constexpr int IDC_PURGE_GLOBAL = 1007;
inline constexpr int IDC_PROGRESS = 1008;
inline constexpr int IDC_STATUS = 1009;
inline constexpr int IDC_INSTALL = 1010;
inline constexpr int IDC_UNINSTALL = 1011;
inline constexpr int IDC_CLOSE = 1012;

// Call once before the window is created; the engines also go to the background workers.
void ConfigureWizard(WizardSettings settings, const std::string& origin,
                     const OperationEngines& engines);

// Registers the window class and creates the wizard, centred on the primary screen; null when
// Windows refuses. Call after ConfigureWizard.
HWND CreateWizardWindow(HINSTANCE instance);

LRESULT CALLBACK WizardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The dpi of `window` (of the primary screen for null), 96 where the system cannot tell.
UINT DpiOf(HWND window);

}  // namespace kel
