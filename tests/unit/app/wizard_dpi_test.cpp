// The wizard lays itself out again when Windows moves it to a monitor of another dpi. Wine has
// a single monitor and the message's rectangle cannot cross processes, so the real window is
// opened here and sent WM_DPICHANGED directly.
#include "app/wizard_window.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/worker_threads.h"
#include "common/text.h"
#include "sketchup/installed_version.h"
#include "support/sandbox.h"

namespace kel {
namespace {

OperationEngines QuietEngines() {
  OperationEngines engines;
  engines.discover = [] {
    SketchUpTarget installed{2025, L"C:\\kel_dpi_test\\2025\\Plugins", true, true, "1.2.0"};
    SketchUpTarget empty{2024, L"C:\\kel_dpi_test\\2024\\Plugins", true, false, ""};
    return std::vector<SketchUpTarget>{installed, empty};
  };
  engines.fetchLatestRelease = [](const std::string&, InstallerRelease& release, std::string&) {
    release.versionCode = "2.0.0";
    return true;
  };
  engines.readInstalledVersion = [](const std::wstring& dir) {
    return dir.find(L"2025") != std::wstring::npos ? std::string("1.2.0") : std::string();
  };
  engines.compareVersions = [](const std::string& a, const std::string& b) {
    return CompareVersions(a, b);
  };
  engines.isSketchUpRunning = [] { return false; };
  return engines;
}

std::wstring TextOf(HWND control) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  const int length = GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::wstring ClassOf(HWND control) {
  wchar_t name[64] = {};
  GetClassNameW(control, name, 64);
  return name;
}

struct ControlLayout {
  int id = 0;
  RECT rect{};  // in the wizard's client area
  HFONT font = nullptr;
  LONG fontHeight = 0;
  SIZE textExtent{};  // of its text in its own font
};

struct Layout {
  RECT window{};
  int listColumn = 0;
  std::vector<ControlLayout> controls;
};

Layout Read(HWND wizard) {
  Layout layout;
  GetWindowRect(wizard, &layout.window);
  HWND list = GetDlgItem(wizard, IDC_TARGET_LIST);
  layout.listColumn = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0));
  for (HWND c = GetWindow(wizard, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    ControlLayout control;
    control.id = GetDlgCtrlID(c);
    GetWindowRect(c, &control.rect);
    MapWindowPoints(nullptr, wizard, reinterpret_cast<POINT*>(&control.rect), 2);
    control.font = reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0));
    LOGFONTW font{};
    if (control.font && GetObjectW(control.font, sizeof(font), &font) == sizeof(font)) {
      control.fontHeight = font.lfHeight;
    }
    const std::wstring text = TextOf(c);
    if (control.font && !text.empty()) {
      HDC dc = GetDC(c);
      HGDIOBJ old = SelectObject(dc, control.font);
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &control.textExtent);
      SelectObject(dc, old);
      ReleaseDC(c, dc);
    }
    layout.controls.push_back(control);
  }
  return layout;
}

// What a control's frame leaves of its width for the text at 96 dpi: a check box its box and
// gap, a push button its edges.
int FrameAt96(HWND control) {
  if (ClassOf(control) != L"Button") return 0;
  const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_AUTOCHECKBOX || type == BS_CHECKBOX ? 30 : 12;
}

// Within a pixel of the 96-dpi value scaled to `dpi`.
bool Near(LONG got, LONG value96, UINT dpi) {
  return std::fabs(got - value96 * static_cast<double>(dpi) / kDefaultDpi) <= 1.0;
}

// Lets the start-up query's answer reach the window: the server status it shows is the
// longest text that line takes.
bool VersionCheckShown(HWND wizard) {
  HWND status = GetDlgItem(wizard, IDC_SERVER_STATUS);
  const std::wstring checking = TextOf(status);
  const ULONGLONG deadline = GetTickCount64() + 30000;
  while (TextOf(status) == checking && GetTickCount64() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  return TextOf(status) != checking;
}

// On a thread of its own: the wizard's end of the message loop stays on that thread.
void OpenAndRescaleWizard() {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ConfigureWizard(WizardSettings{}, "http://127.0.0.1:9", QuietEngines());
  HWND wizard = CreateWizardWindow(GetModuleHandleW(nullptr));
  ASSERT_NE(wizard, nullptr) << "no wizard window (" << GetLastError() << ")";
  ShowWindow(wizard, SW_SHOWNOACTIVATE);
  UpdateWindow(wizard);
  ASSERT_EQ(DpiOf(wizard), kDefaultDpi) << "the test prefix is expected to run at 96 dpi";
  ASSERT_TRUE(VersionCheckShown(wizard)) << "the start-up query never answered";
  const Layout first = Read(wizard);
  ASSERT_EQ(first.window.right - first.window.left, kWizardWidth);
  ASSERT_EQ(first.window.bottom - first.window.top, kWizardHeight);
  ASSERT_EQ(first.controls.size(), 12u);

  std::set<HFONT> previousFonts;
  for (const auto& control : first.controls) {
    if (control.font) previousFonts.insert(control.font);
  }
  ASSERT_EQ(previousFonts.size(), 3u) << "normal, bold and title";

  for (const UINT dpi : {144u, 120u, 96u}) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    const int scale = static_cast<int>(dpi);
    const RECT suggested{first.window.left, first.window.top,
                         first.window.left + MulDiv(kWizardWidth, scale, kDefaultDpi),
                         first.window.top + MulDiv(kWizardHeight, scale, kDefaultDpi)};
    EXPECT_EQ(SendMessageW(wizard, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                           reinterpret_cast<LPARAM>(&suggested)),
              0);
    const Layout now = Read(wizard);

    EXPECT_EQ(now.window.left, suggested.left);
    EXPECT_EQ(now.window.top, suggested.top);
    // Windows keeps a window within the screen's size (the 800x600 test screen is smaller
    // than the wizard at 120 dpi).
    const LONG maxWidth = GetSystemMetrics(SM_CXMAXTRACK);
    const LONG maxHeight = GetSystemMetrics(SM_CYMAXTRACK);
    EXPECT_EQ(now.window.right - now.window.left,
              std::min(suggested.right - suggested.left, maxWidth));
    EXPECT_EQ(now.window.bottom - now.window.top,
              std::min(suggested.bottom - suggested.top, maxHeight));
    EXPECT_TRUE(Near(now.listColumn, first.listColumn, dpi)) << now.listColumn;

    // The fonts of the layout before are gone once no control uses them.
    for (HFONT old : previousFonts) {
      EXPECT_EQ(GetObjectType(old), 0u) << "a font of the last layout leaked";
    }
    previousFonts.clear();

    ASSERT_EQ(now.controls.size(), first.controls.size());
    for (std::size_t i = 0; i < now.controls.size(); ++i) {
      const ControlLayout& got = now.controls[i];
      const ControlLayout& at96 = first.controls[i];
      ASSERT_EQ(got.id, at96.id);
      SCOPED_TRACE("control " + std::to_string(got.id));
      HWND control = GetDlgItem(wizard, got.id);
      const LONG width = got.rect.right - got.rect.left;
      const LONG height = got.rect.bottom - got.rect.top;
      EXPECT_TRUE(Near(got.rect.left, at96.rect.left, dpi)) << got.rect.left;
      EXPECT_TRUE(Near(got.rect.top, at96.rect.top, dpi)) << got.rect.top;
      EXPECT_TRUE(Near(width, at96.rect.right - at96.rect.left, dpi)) << width;
      EXPECT_TRUE(Near(height, at96.rect.bottom - at96.rect.top, dpi)) << height;
      EXPECT_EQ(got.font == nullptr, at96.font == nullptr);
      if (got.font) {
        previousFonts.insert(got.font);
        EXPECT_EQ(GetObjectType(got.font), static_cast<DWORD>(OBJ_FONT));
        EXPECT_TRUE(Near(got.fontHeight, at96.fontHeight, dpi)) << got.fontHeight;
      }
      if (got.textExtent.cx > 0) {
        const LONG room = width - MulDiv(FrameAt96(control), scale, kDefaultDpi);
        EXPECT_LE(got.textExtent.cx, room) << WideToUtf8(TextOf(control));
        EXPECT_LE(got.textExtent.cy, height) << WideToUtf8(TextOf(control));
      }
      if (dpi == kDefaultDpi) {
        EXPECT_TRUE(EqualRect(&got.rect, &at96.rect));
        EXPECT_EQ(got.fontHeight, at96.fontHeight);
        EXPECT_EQ(got.textExtent.cx, at96.textExtent.cx);
      }
    }
    if (dpi == kDefaultDpi) {
      EXPECT_TRUE(EqualRect(&now.window, &first.window));
      EXPECT_EQ(now.listColumn, first.listColumn);
    }
  }

  DestroyWindow(wizard);
  for (HFONT last : previousFonts) {
    EXPECT_EQ(GetObjectType(last), 0u) << "a font outlived the window";
  }
}

TEST(WizardDpi, EveryControlAndFontFollowsEachDpiChangeAndReturnsExactlyTo96) {
  // Wine draws on an X server; without one no window can exist at all.
  if (test::RunningUnderWine() && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) {
    GTEST_SKIP() << "no X display (DISPLAY is unset): run it through scripts/test.sh, which "
                    "starts a virtual screen";
  }
  SharedReleaseStore().Reset();
  std::thread(OpenAndRescaleWizard).join();
  SharedReleaseStore().Reset();
}

}  // namespace
}  // namespace kel
