#pragma once
// The setup wizard window: its procedure and what it needs from the rest of the program.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "app/target_rows.h"

namespace kel {

inline constexpr wchar_t kWizardWindowClass[] = L"KelSetupWizardWindowClass";
inline constexpr wchar_t kWizardWindowTitle[] = L"Kel 插件中心 & 管理器 安装工具";
inline constexpr int kWizardWidth = 656;
inline constexpr int kWizardHeight = 502;

// The options the window acts on (a copy of the process-wide ones).
struct WizardSettings {
  std::string mode;  // "update", "uninstall" or anything else
  std::wstring target;
  std::wstring package;
  std::uint32_t waitPid = 0;
  bool purgeGlobal = false;
  bool noLaunch = false;
};

struct WizardServices {
  TargetEnvironment targets;
  std::function<bool()> isSketchUpRunning;
  std::function<bool(const std::wstring& pluginsDir, std::string& error)> launchPluginManager;
};

// Call once before the window is created.
void ConfigureWizard(WizardSettings settings, WizardServices services);

LRESULT CALLBACK WizardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kel
