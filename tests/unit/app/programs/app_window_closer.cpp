// Test program: waits for the wizard's top-level window, prints its title, style and size
// (UTF-8, one "key=value" per line), then asks it to close. Exit 0 when found, 3 when not.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text.h"

int wmain() {
  HWND window = nullptr;
  for (int i = 0; i < 600 && window == nullptr; ++i) {
    window = FindWindowW(L"KelSetupWizardWindowClass", nullptr);
    if (window == nullptr) Sleep(50);
  }
  if (window == nullptr) return 3;
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 256);
  RECT rect{};
  GetWindowRect(window, &rect);
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  std::printf("title=%s\n", kel::WideToUtf8(title).c_str());
  std::printf("width=%ld\nheight=%ld\n", rect.right - rect.left, rect.bottom - rect.top);
  std::printf("caption=%d\nsysmenu=%d\nminimizebox=%d\nmaximizebox=%d\nthickframe=%d\n",
              (style & WS_CAPTION) == WS_CAPTION, (style & WS_SYSMENU) != 0,
              (style & WS_MINIMIZEBOX) != 0, (style & WS_MAXIMIZEBOX) != 0,
              (style & WS_THICKFRAME) != 0);
  std::fflush(stdout);
  PostMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}
