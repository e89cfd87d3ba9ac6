#include <windows.h>
#include <commctrl.h>

#include "app/options.h"
#include "app/silent_runner.h"
#include "app/system_dlls.h"
#include "app/wizard_window.h"
#include "net/origin.h"

namespace {

constexpr int kWindowWidth = 656;
constexpr int kWindowHeight = 502;
constexpr int kExitWindowFailed = 1;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  // First: the program is started from download folders, where a planted DLL may lie.
  kel::RestrictDllSearchToSystem32();
  SetProcessDPIAware();
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  kel::SetupOptions options = kel::ParseCommandLine();
  std::string origin = kel::ResolveBackendOrigin(options.origin);
  kel::InitializeProcessOptions(std::move(options), std::move(origin));

  if (kel::ProcessOptions().silent) {
    return kel::RunSilent(kel::ProcessOptions(), kel::ResolvedOrigin(),
                          kel::ProductionSilentOperations());
  }

  WNDCLASSW window_class{};
  window_class.lpfnWndProc = kel::WizardWindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kel::kWizardWindowClass;
  RegisterClassW(&window_class);

  const int x = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
  HWND window = CreateWindowExW(0, kel::kWizardWindowClass,
                                L"Kel 插件中心 & 管理器 安装工具",
                                WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, kWindowWidth,
                                kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return kExitWindowFailed;

  ShowWindow(window, show_command);
  UpdateWindow(window);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
