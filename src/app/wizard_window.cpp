#include "app/wizard_window.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/worker_threads.h"
#include "app/target_rows.h"
#include "common/handles.h"
#include "common/text.h"

namespace kel {

namespace {

struct WizardState {
  WizardSettings settings;
  OperationEngines engines;
  TargetEnvironment targets;
  std::vector<TargetRow> rows;  // TargetRows: window thread only
  unique_gdi normalFont;
  unique_gdi boldFont;
  unique_gdi titleFont;
  UINT dpi = kDefaultDpi;
  HWND lastFocus = nullptr;  // restored when the window is activated again
  bool comInitialized = false;
};

// Never destroyed: nothing of the window may vanish under a worker while the process ends.
WizardState& Wizard() {
  static WizardState& state = *new WizardState;
  return state;
}

void Log(std::string_view line) {
  if (Wizard().engines.log) Wizard().engines.log(line);
}

constexpr int kToggledControls[] = {IDC_TARGET_LIST, IDC_BROWSE,  IDC_REDETECT,  IDC_AUTO_LAUNCH,
                                    IDC_PURGE_GLOBAL, IDC_INSTALL, IDC_UNINSTALL, IDC_CLOSE};

constexpr int kListColumnWidth = 570;

enum class FontKind { None, Normal, Bold, Title };

struct ControlSpec {
  int id;
  const wchar_t* className;
  const wchar_t* text;
  DWORD style;
  int x, y, width, height;
  FontKind font;
};

// SS_NOPREFIX: the texts are shown as written ("&" in the title is not a mnemonic).
const ControlSpec kControls[] = {
    {IDC_TITLE, L"STATIC", L"Kel 插件中心 & 管理器 安装向导", SS_NOPREFIX, 22, 16, 460, 28,
     FontKind::Title},
    {IDC_SERVER_STATUS, L"STATIC", L"正在检测服务器最新版本与本机 SketchUp 环境...", SS_NOPREFIX,
     22, 48, 560, 22, FontKind::Normal},
    {IDC_TARGET_LIST, WC_LISTVIEWW, L"", WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_NOCOLUMNHEADER,
     22, 80, 596, 175, FontKind::Normal},
    {IDC_BROWSE, L"BUTTON", L"浏览 Plugins 目录...", WS_TABSTOP | BS_PUSHBUTTON, 22, 265, 160, 28,
     FontKind::Normal},
    {IDC_REDETECT, L"BUTTON", L"重新检测版本", WS_TABSTOP | BS_PUSHBUTTON, 192, 265, 120, 28, FontKind::Normal},
    {IDC_AUTO_LAUNCH, L"BUTTON", L"安装或更新完成后自动启动插件管理器并引导登录", WS_TABSTOP | BS_AUTOCHECKBOX,
     22, 304, 420, 22, FontKind::Normal},
    {IDC_PURGE_GLOBAL, L"BUTTON", L"卸载时同时清理全局登录凭据与本地缓存配置", WS_TABSTOP | BS_AUTOCHECKBOX, 22,
     330, 420, 22, FontKind::Normal},
    {IDC_PROGRESS, PROGRESS_CLASSW, L"", PBS_SMOOTH, 22, 362, 596, 18, FontKind::None},
    {IDC_STATUS, L"STATIC", L"请勾选要处理的 SketchUp 版本，然后选择安装、更新或卸载。", SS_NOPREFIX,
     22, 386, 596, 22, FontKind::Normal},
    {IDC_INSTALL, L"BUTTON", L"安装 / 更新选中版本", WS_TABSTOP | BS_DEFPUSHBUTTON, 22, 418, 190, 34,
     FontKind::Bold},
    {IDC_UNINSTALL, L"BUTTON", L"卸载选中版本的管理器", WS_TABSTOP | BS_PUSHBUTTON, 224, 418, 190, 34,
     FontKind::Normal},
    {IDC_CLOSE, L"BUTTON", L"关闭", WS_TABSTOP | BS_PUSHBUTTON, 518, 418, 100, 34, FontKind::Normal},
};

int Scaled(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), kDefaultDpi); }

HGDIOBJ MakeFont(int height, int weight, UINT dpi) {
  return CreateFontW(Scaled(height, dpi), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS,
                     L"Microsoft YaHei UI");
}

HGDIOBJ FontOf(FontKind kind) {
  switch (kind) {
    case FontKind::Normal: return Wizard().normalFont.get();
    case FontKind::Bold: return Wizard().boldFont.get();
    case FontKind::Title: return Wizard().titleFont.get();
    case FontKind::None: break;
  }
  return nullptr;
}

HWND Control(HWND window, int id) { return GetDlgItem(window, id); }

void SetText(HWND window, int id, const std::wstring& text) {
  SetWindowTextW(Control(window, id), text.c_str());
}

int Ask(HWND window, const std::wstring& text, const wchar_t* title, UINT flags) {
  return MessageBoxW(window, text.c_str(), title, flags);
}

std::optional<std::string> KnownReleaseVersion() {
  ReleaseCache cache = SharedReleaseStore().Read();
  if (!cache.releaseKnown) return std::nullopt;
  return cache.release.versionCode;
}

// Every rectangle and font from the 96-dpi layout, scaled to `dpi`. The old fonts live until
// no control uses them any more.
void LayOut(HWND window, UINT dpi) {
  auto& w = Wizard();
  w.dpi = dpi;
  unique_gdi normal(MakeFont(-14, 400, dpi));
  unique_gdi bold(MakeFont(-14, 600, dpi));
  unique_gdi title(MakeFont(-20, 700, dpi));
  std::swap(w.normalFont, normal);
  std::swap(w.boldFont, bold);
  std::swap(w.titleFont, title);
  for (const ControlSpec& spec : kControls) {
    HWND control = Control(window, spec.id);
    if (!control) continue;
    MoveWindow(control, Scaled(spec.x, dpi), Scaled(spec.y, dpi), Scaled(spec.width, dpi),
               Scaled(spec.height, dpi), TRUE);
    HGDIOBJ font = FontOf(spec.font);
    if (font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (HWND list = Control(window, IDC_TARGET_LIST)) {
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, Scaled(kListColumnWidth, dpi));
  }
}

void CreateControls(HWND window) {
  auto& w = Wizard();
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
  for (const ControlSpec& spec : kControls) {
    CreateWindowExW(0, spec.className, spec.text, WS_CHILD | WS_VISIBLE | spec.style, spec.x,
                    spec.y, spec.width, spec.height, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
  }
  if (HWND list = Control(window, IDC_TARGET_LIST)) {
    const DWORD ex = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    column.cx = kListColumnWidth;
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  }
  CheckDlgButton(window, IDC_AUTO_LAUNCH, w.settings.noLaunch ? BST_UNCHECKED : BST_CHECKED);
  CheckDlgButton(window, IDC_PURGE_GLOBAL, BST_UNCHECKED);
  const UINT dpi = DpiOf(window);
  LayOut(window, dpi);
  // Created for the primary screen's dpi; another monitor's needs another size.
  RECT frame{};
  GetWindowRect(window, &frame);
  const int width = Scaled(kWizardWidth, dpi);
  const int height = Scaled(kWizardHeight, dpi);
  if (frame.right - frame.left != width || frame.bottom - frame.top != height) {
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void SetControlsEnabled(HWND window, bool enabled) {
  for (int id : kToggledControls) {
    if (HWND control = Control(window, id)) EnableWindow(control, enabled ? TRUE : FALSE);
  }
  // A disabled control cannot keep the focus; the list takes it back afterwards.
  if (enabled && (GetFocus() == nullptr || GetFocus() == window)) {
    SetFocus(Control(window, IDC_TARGET_LIST));
  }
}

void ShowBusy(HWND window) {
  SetControlsEnabled(window, false);
  // The window keeps the keyboard while its controls are off, so Esc still reaches it.
  SetFocus(window);
  SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, 5, 0);
}

void InsertItem(HWND list, int index, const std::wstring& text, int stateImage) {
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = index;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  const int at = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (at < 0 || stateImage == 0) return;
  LVITEMW state{};
  state.stateMask = LVIS_STATEIMAGEMASK;
  state.state = INDEXTOSTATEIMAGEMASK(stateImage);
  SendMessageW(list, LVM_SETITEMSTATE, at, reinterpret_cast<LPARAM>(&state));
}

void FillTargetList(HWND window) {
  HWND list = Control(window, IDC_TARGET_LIST);
  if (!list) return;
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  const auto& w = Wizard();
  const std::optional<std::string> release = KnownReleaseVersion();
  for (std::size_t i = 0; i < w.rows.size(); ++i) {
    InsertItem(list, static_cast<int>(i), RowLabel(w.rows[i], release, w.targets),
               w.rows[i].checked ? 2 : 1);
  }
  if (w.rows.empty()) InsertItem(list, 0, kNoSketchUpHint, 0);
  // Space toggles the focused row: there always is one.
  LVITEMW focus{};
  focus.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
  focus.state = LVIS_FOCUSED | LVIS_SELECTED;
  SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&focus));
}

void RebuildTargetList(HWND window) {
  auto& w = Wizard();
  w.rows = BuildTargetRows(w.rows, w.targets, KnownReleaseVersion(), w.settings.target);
  if (w.settings.mode == "uninstall") CheckRowsHoldingCenter(w.rows, !w.settings.target.empty());
  FillTargetList(window);
}

std::vector<std::wstring> CollectCheckedDirs(HWND window) {
  std::vector<std::wstring> dirs;
  HWND list = Control(window, IDC_TARGET_LIST);
  if (!list) return dirs;
  const auto& rows = Wizard().rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const UINT state = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK));
    if ((state & LVIS_STATEIMAGEMASK) >> 12 == 2) dirs.push_back(std::filesystem::path(rows[i].pluginsDir).wstring());
  }
  return dirs;
}

void AddCustomPluginsDir(HWND window) {
  BROWSEINFOW info{};
  info.hwndOwner = window;
  info.lpszTitle = L"请选择 SketchUp 的 Plugins 目录（例如 ...\\SketchUp 2025\\SketchUp\\Plugins）";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  unique_cotaskmem chosen(SHBrowseForFolderW(&info));
  if (!chosen) return;
  wchar_t path[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(chosen.get()), path)) return;
  auto& w = Wizard();
  w.rows.push_back(ExamineCustomDir(ChosenPluginsDir(path), w.targets));
  FillTargetList(window);
}

// Retry/Cancel until SketchUp is gone; false when the user gave up.
bool WaitUntilSketchUpClosed(HWND window, const wchar_t* text, const wchar_t* title) {
  const auto& running = Wizard().engines.isSketchUpRunning;
  while (running && running()) {
    if (Ask(window, text, title, MB_ICONWARNING | MB_RETRYCANCEL) != IDRETRY) return false;
  }
  return true;
}

void OnInstall(HWND window) {
  std::vector<std::wstring> dirs = CollectCheckedDirs(window);
  if (dirs.empty()) {
    Ask(window, L"请至少勾选一个 SketchUp 版本或 Plugins 目录。", L"提示", MB_ICONWARNING);
    return;
  }
  if (start_install_worker(std::move(dirs), Wizard().settings.package, 0)) ShowBusy(window);
}

void OnUninstall(HWND window) {
  std::vector<std::wstring> dirs = CollectCheckedDirs(window);
  if (dirs.empty()) {
    Ask(window, L"请先勾选需要卸载插件管理器的 SketchUp 版本。", L"提示", MB_ICONWARNING);
    return;
  }
  const std::wstring confirm =
      L"卸载插件管理器将按以下顺序安全处理：\n\n"
      L"1. 卸载通过商城安装的插件（含其配套目录）；\n"
      L"2. 将您原有的已托管第三方插件取消托管并还原为原生 .rb（不影响正常使用）；\n"
      L"3. 删除选中版本下的插件中心程序与本地用户配置。\n\n"
      L"确定继续卸载吗？";
  if (Ask(window, confirm, L"确认卸载 Kel 插件管理器", MB_ICONQUESTION | MB_YESNO) != IDYES) return;
  if (!WaitUntilSketchUpClosed(
          window,
          L"检测到 SketchUp 正在运行，请先保存模型并关闭 SketchUp，再点击“重试”完成卸载与还原。",
          L"提示关闭 SketchUp")) {
    return;
  }
  const bool purge = IsDlgButtonChecked(window, IDC_PURGE_GLOBAL) == BST_CHECKED;
  if (start_uninstall_worker(std::move(dirs), purge, 0)) ShowBusy(window);
}

void OnVersionChecked(HWND window, bool ok) {
  const auto& w = Wizard();
  const ReleaseCache cache = SharedReleaseStore().Read();
  const std::wstring status = ServerStatusText(ok, cache, w.settings);
  SetText(window, IDC_SERVER_STATUS, status);
  Log("server status: " + WideToUtf8(status));
  // The automatic operation acts on the rows as rebuilt for the answer.
  RebuildTargetList(window);

  const VersionCheckDecision decision = DecideVersionChecked(ok, cache, w.settings, IsBusy(), CollectCheckedDirs(window),
                                  IsDlgButtonChecked(window, IDC_PURGE_GLOBAL) == BST_CHECKED);
  if (decision.action == AutoAction::Install) {
    if (start_install_worker(CollectCheckedDirs(window), w.settings.package, decision.waitPid)) {
      ShowBusy(window);
    }
  } else if (decision.action == AutoAction::Uninstall) {
    if (!WaitUntilSketchUpClosed(window,
                                 L"检测到 SketchUp 正在运行，请先保存模型并关闭所有 SketchUp "
                                 L"窗口，再点击“重试”以彻底卸载并安全还原第三方插件。",
                                 L"Kel 插件管理器卸载提示")) {
      Log("the uninstall was cancelled while SketchUp was running");
      PostQuitMessage(0);
      return;
    }
    if (start_uninstall_worker(CollectCheckedDirs(window), decision.purgeGlobal,
                               decision.waitPid)) {
      ShowBusy(window);
    }
  }
}

void OnProgress(HWND window, LPARAM lParam) {
  std::unique_ptr<ProgressNote> note(reinterpret_cast<ProgressNote*>(lParam));
  if (!note) return;
  SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, note->percent, 0);
  SetText(window, IDC_STATUS, note->text);
}

void OnDone(HWND window, LPARAM lParam) {
  std::unique_ptr<OperationOutcome> outcome(reinterpret_cast<OperationOutcome*>(lParam));
  ClearBusy();
  SetControlsEnabled(window, true);
  if (!outcome) return;
  auto& w = Wizard();
  const DoneDecision decision =
      DecideDone(*outcome, w.settings, IsDlgButtonChecked(window, IDC_AUTO_LAUNCH) == BST_CHECKED);
  Log((outcome->success ? "result: " : "error: ") + WideToUtf8(outcome->message));
  SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, decision.progress, 0);
  SetText(window, IDC_STATUS, decision.status);
  RebuildTargetList(window);

  if (decision.launchDir && w.engines.launchPluginManager) {
    std::string ignored;
    w.engines.launchPluginManager(*decision.launchDir, ignored);
  }
  if (decision.showBox) {
    Ask(window, outcome->message, decision.boxTitle.c_str(),
        decision.boxIcon == BoxIcon::Information ? MB_ICONINFORMATION : MB_ICONERROR);
  }
  if (decision.quit) PostQuitMessage(0);
}

// Closing mid-operation ends the process and the operation with it: ask first.
bool MayClose(HWND window) {
  if (!IsBusy()) return true;
  return Ask(window,
             L"安装或卸载仍在进行中，现在关闭将中断当前操作。\n\n确定要关闭吗？",
             L"操作进行中", MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

void ConfigureWizard(WizardSettings settings, const std::string& origin,
                     const OperationEngines& engines) {
  auto& w = Wizard();
  w.settings = std::move(settings);
  w.engines = engines;
  w.targets.discover = engines.discover;
  w.targets.readInstalledVersion = engines.readInstalledVersion;
  w.targets.compareVersions = engines.compareVersions;
  ConfigureBackgroundOperations(origin, engines);
}

UINT DpiOf(HWND window) {
  // Windows 10 1607 and later; older systems give the screen's dpi.
  using DpiForWindow = UINT(WINAPI*)(HWND);
  static const auto dpi_for_window = reinterpret_cast<DpiForWindow>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (window && dpi_for_window) {
    if (const UINT dpi = dpi_for_window(window)) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
}

HWND CreateWizardWindow(HINSTANCE instance) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = WizardWindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kWizardWindowClass;
  RegisterClassW(&window_class);

  // Sized for the primary screen's dpi; the window corrects itself for the monitor it is on.
  const UINT dpi = DpiOf(nullptr);
  const int width = Scaled(kWizardWidth, dpi);
  const int height = Scaled(kWizardHeight, dpi);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  return CreateWindowExW(0, kWizardWindowClass, kWizardWindowTitle,
                         WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height, nullptr,
                         nullptr, instance, nullptr);
}

LRESULT CALLBACK WizardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      SetMainWindow(window);
      // The folder browser's new dialog style needs COM on this thread.
      Wizard().comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
      CreateControls(window);
      RebuildTargetList(window);
      SetFocus(Control(window, IDC_TARGET_LIST));
      StartVersionCheck();
      return 0;
    }
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      LayOut(window, LOWORD(wParam));
      return 0;
    }
    case WM_ACTIVATE:
      // The default handling would put the focus on the window itself.
      if (LOWORD(wParam) == WA_INACTIVE) {
        if (HWND focus = GetFocus(); focus && IsChild(window, focus)) Wizard().lastFocus = focus;
      } else if (!HIWORD(wParam)) {
        HWND focus = Wizard().lastFocus;
        if (!focus || !IsWindow(focus) || !IsWindowEnabled(focus)) {
          focus = Control(window, IDC_TARGET_LIST);
        }
        if (IsWindowEnabled(focus)) SetFocus(focus);
        return 0;
      }
      break;
    case DM_GETDEFID: {
      // Enter presses the focused push button, otherwise the install button.
      HWND focus = GetFocus();
      int id = IDC_INSTALL;
      if (focus && IsChild(window, focus) &&
          (SendMessageW(focus, WM_GETDLGCODE, 0, 0) & DLGC_UNDEFPUSHBUTTON)) {
        id = GetDlgCtrlID(focus);
      }
      return MAKELRESULT(id, DC_HASDEFID);
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE: AddCustomPluginsDir(window); return 0;
        case IDC_REDETECT: RebuildTargetList(window); return 0;
        case IDC_INSTALL: OnInstall(window); return 0;
        case IDC_UNINSTALL: OnUninstall(window); return 0;
        case IDC_CLOSE: PostQuitMessage(0); return 0;
        // Esc: the same as the close box.
        case IDCANCEL: SendMessageW(window, WM_CLOSE, 0, 0); return 0;
        default: break;
      }
      break;
    case WM_SETUP_VERSION_CHECKED: OnVersionChecked(window, wParam == 1); return 0;
    case WM_SETUP_PROGRESS: OnProgress(window, lParam); return 0;
    case WM_SETUP_DONE: OnDone(window, lParam); return 0;
    case WM_CTLCOLORSTATIC:
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    case WM_CLOSE:
      if (!MayClose(window)) return 0;
      break;
    case WM_DESTROY: {
      auto& w = Wizard();
      w.normalFont.reset();
      w.boldFont.reset();
      w.titleFont.reset();
      SetMainWindow(nullptr);
      if (w.comInitialized) CoUninitialize();
      w.comInitialized = false;
      PostQuitMessage(0);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kel
