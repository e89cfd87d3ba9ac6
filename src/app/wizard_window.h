#pragma once

#include <windows.h>

namespace kel {

inline constexpr wchar_t kWizardWindowClass[] = L"KelSetupWizardWindowClass";

LRESULT CALLBACK WizardWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace kel
