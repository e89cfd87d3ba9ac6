#include "app/wizard_window.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/background.h"
#include "app/options.h"
#include "app/wizard_engines.h"
#include "common/handles.h"
#include "common/text.h"

namespace kel {

namespace {

struct WizardState {
  WizardSettings settings;
  WizardServices services;
  std::vector<TargetRow> rows;  // TargetRows: window thread only
  unique_gdi normalFont;
  unique_gdi boldFont;
  unique_gdi titleFont;
  bool comInitialized = false;
  bool configured = false;
};

WizardState& Wizard() {
  static WizardState state;
  return state;
}

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
    {IDC_TARGET_LIST, WC_LISTVIEWW, L"", WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_NOCOLUMNHEADER,
     22, 80, 596, 175, FontKind::Normal},
    {IDC_BROWSE, L"BUTTON", L"浏览 Plugins 目录...", BS_PUSHBUTTON, 22, 265, 160, 28,
     FontKind::Normal},
    {IDC_REDETECT, L"BUTTON", L"重新检测版本", BS_PUSHBUTTON, 192, 265, 120, 28, FontKind::Normal},
    {IDC_AUTO_LAUNCH, L"BUTTON", L"安装或更新完成后自动启动插件管理器并引导登录", BS_AUTOCHECKBOX,
     22, 304, 420, 22, FontKind::Normal},
    {IDC_PURGE_GLOBAL, L"BUTTON", L"卸载时同时清理全局登录凭据与本地缓存配置", BS_AUTOCHECKBOX, 22,
     330, 420, 22, FontKind::Normal},
    {IDC_PROGRESS, PROGRESS_CLASSW, L"", PBS_SMOOTH, 22, 362, 596, 18, FontKind::None},
    {IDC_STATUS, L"STATIC", L"请勾选要处理的 SketchUp 版本，然后选择安装、更新或卸载。", SS_NOPREFIX,
     22, 386, 596, 22, FontKind::Normal},
    {IDC_INSTALL, L"BUTTON", L"安装 / 更新选中版本", BS_DEFPUSHBUTTON, 22, 418, 190, 34,
     FontKind::Bold},
    {IDC_UNINSTALL, L"BUTTON", L"卸载选中版本的管理器", BS_PUSHBUTTON, 224, 418, 190, 34,
     FontKind::Normal},
    {IDC_CLOSE, L"BUTTON", L"关闭", BS_PUSHBUTTON, 518, 418, 100, 34, FontKind::Normal},
};

HGDIOBJ MakeFont(int height, int weight) {
  return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
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

void CreateControls(HWND window) {
  auto& w = Wizard();
  w.normalFont.reset(MakeFont(-14, 400));
  w.boldFont.reset(MakeFont(-14, 600));
  w.titleFont.reset(MakeFont(-20, 700));
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
  for (const ControlSpec& spec : kControls) {
    HWND control = CreateWindowExW(0, spec.className, spec.text, WS_CHILD | WS_VISIBLE | spec.style,
                                   spec.x, spec.y, spec.width, spec.height, window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance,
                                   nullptr);
    HGDIOBJ font = FontOf(spec.font);
    if (control && font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (HWND list = Control(window, IDC_TARGET_LIST)) {
    const DWORD ex = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    column.cx = 570;
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  }
  CheckDlgButton(window, IDC_AUTO_LAUNCH, w.settings.noLaunch ? BST_UNCHECKED : BST_CHECKED);
  CheckDlgButton(window, IDC_PURGE_GLOBAL, BST_UNCHECKED);
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
    InsertItem(list, static_cast<int>(i), RowLabel(w.rows[i], release, w.services.targets),
               w.rows[i].checked ? 2 : 1);
  }
  if (w.rows.empty()) InsertItem(list, 0, kNoSketchUpHint, 0);
}

void RebuildTargetList(HWND window) {
  auto& w = Wizard();
  w.rows = BuildTargetRows(w.rows, w.services.targets, KnownReleaseVersion(), w.settings.target);
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
  w.rows.push_back(ExamineCustomDir(ChosenPluginsDir(path), w.services.targets));
  FillTargetList(window);
}

// Retry/Cancel until SketchUp is gone; false when the user gave up.
bool WaitUntilSketchUpClosed(HWND window, const wchar_t* text, const wchar_t* title) {
  const auto& running = Wizard().services.isSketchUpRunning;
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
  start_install_worker(std::move(dirs), Wizard().settings.package, 0);
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
  start_uninstall_worker(std::move(dirs), purge, 0);
}

void OnVersionChecked(HWND window, bool ok) {
  const auto& w = Wizard();
  ReleaseCache cache = SharedReleaseStore().Read();
  std::wstring status;
  if (ok && cache.releaseKnown) {
    status = L"服务器最新版本：v" + Utf8ToWide(cache.release.versionCode) + L"  |  完整包大小：" +
             std::to_wstring(cache.release.fileSizeBytes / 1024) + L" KB（已安装版本将自动走差异化更新）";
  } else if (!w.settings.package.empty()) {
    status = L"离线更新包模式就绪：将直接从本地升级包执行差异化覆盖";
  } else {
    status = L"暂无法连接官网版本服务：" + cache.error + L"（仍可执行本地卸载）";
  }
  SetText(window, IDC_SERVER_STATUS, status);
  RebuildTargetList(window);

  if (IsBusy()) return;
  if (w.settings.mode == "update") {
    std::vector<std::wstring> dirs = CollectCheckedDirs(window);
    if (!dirs.empty()) start_install_worker(std::move(dirs), w.settings.package, w.settings.waitPid);
  } else if (w.settings.mode == "uninstall") {
    std::vector<std::wstring> dirs = CollectCheckedDirs(window);
    if (dirs.empty()) return;
    if (!WaitUntilSketchUpClosed(window,
                                 L"检测到 SketchUp 正在运行，请先保存模型并关闭所有 SketchUp "
                                 L"窗口，再点击“重试”以彻底卸载并安全还原第三方插件。",
                                 L"Kel 插件管理器卸载提示")) {
      PostQuitMessage(0);
      return;
    }
    const bool purge =
        w.settings.purgeGlobal || IsDlgButtonChecked(window, IDC_PURGE_GLOBAL) == BST_CHECKED;
    start_uninstall_worker(std::move(dirs), purge, w.settings.waitPid);
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
  SetControlsEnabled(true);
  if (!outcome) return;
  const auto& w = Wizard();
  SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, outcome->success ? 100 : 0, 0);
  SetText(window, IDC_STATUS, outcome->success ? std::wstring(L"操作成功完成。") : outcome->message);
  RebuildTargetList(window);

  if (outcome->isUninstall || !outcome->success) {
    Ask(window, outcome->message, outcome->isUninstall ? L"卸载与还原结果" : L"操作提示",
        outcome->success ? MB_ICONINFORMATION : MB_ICONERROR);
    if (outcome->isUninstall && outcome->success && w.settings.mode == "uninstall") PostQuitMessage(0);
    return;
  }
  if (!w.settings.noLaunch && IsDlgButtonChecked(window, IDC_AUTO_LAUNCH) == BST_CHECKED &&
      !outcome->completedDirs.empty() && w.services.launchPluginManager) {
    std::string ignored;
    w.services.launchPluginManager(outcome->completedDirs.front(), ignored);
  }
  if (w.settings.mode == "update") {
    PostQuitMessage(0);
    return;
  }
  Ask(window, outcome->message, L"安装 / 更新完成", MB_ICONINFORMATION);
}

// Closing mid-operation ends the process and the operation with it: ask first.
bool MayClose(HWND window) {
  if (!IsBusy()) return true;
  return Ask(window,
             L"安装或卸载仍在进行中，现在关闭将中断当前操作。\n\n确定要关闭吗？",
             L"操作进行中", MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

void ConfigureWizard(WizardSettings settings, WizardServices services) {
  Wizard().settings = std::move(settings);
  Wizard().services = std::move(services);
  Wizard().configured = true;
}

LRESULT CALLBACK WizardWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      if (!Wizard().configured) {
        ConfigureBackgroundOperations(ResolvedOrigin(), ProductionOperationEngines());
        ConfigureWizard(WizardSettingsFromProcessOptions(), ProductionWizardServices());
      }
      SetMainWindow(window);
      // The folder browser's new dialog style needs COM on this thread.
      Wizard().comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
      CreateControls(window);
      RebuildTargetList(window);
      StartVersionCheck();
      return 0;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE: AddCustomPluginsDir(window); return 0;
        case IDC_REDETECT: RebuildTargetList(window); return 0;
        case IDC_INSTALL: OnInstall(window); return 0;
        case IDC_UNINSTALL: OnUninstall(window); return 0;
        case IDC_CLOSE: PostQuitMessage(0); return 0;
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
