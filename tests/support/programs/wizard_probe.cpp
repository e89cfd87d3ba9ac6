// Test program: finds the wizard window of another process and reads or drives it through
// window messages. Prints one JSON document (UTF-8) per run.
//
//   wizard_probe dump                      every control, the list rows, the progress position
//   wizard_probe wait-text ID TEXT [MS]     until control ID's text contains TEXT
//   wizard_probe click ID                   press a button (posted, so a modal box cannot block us)
//   wizard_probe check-row INDEX 0|1        set a list row's check box
//   wizard_probe box [BUTTON] [MS]          wait for a message box; print title/text; press BUTTON
//                                           (ok, cancel, yes, no, retry) when given
//   wizard_probe wait-gone [MS]             until the wizard window has gone
//   wizard_probe wait-process NAME [MS]     until a process of that image name runs (as the
//                                           wizard's own snapshot will see it)
//   wizard_probe close                      WM_CLOSE to the wizard window
//   wizard_probe keys KEY...                type keys (tab, shift+tab, space, return, escape)
//                                           into the wizard; print the focused control's id
//                                           after each
//   wizard_probe measure DPI                each control's rectangle and the extent of its
//                                           text in the wizard's fonts at DPI
//   wizard_probe run NAME=VALUE... -- PROGRAM ARGS...
//                                           start PROGRAM with these variables set and exit with
//                                           its exit code (Wine resets the profile variables of a
//                                           process started from Linux, so they are set here;
//                                           KEL_WIZARD_DPI sets the user's dpi until the
//                                           wizard's window shows, then restores it)
// Exit 0 on success, 3 when the window or box did not appear in time, 2 on bad usage.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"

namespace {

using nlohmann::json;

constexpr wchar_t kClass[] = L"KelSetupWizardWindowClass";
constexpr int kFirstId = 1001;
constexpr int kLastId = 1012;
constexpr int kListId = 1003;
constexpr int kProgressId = 1008;

std::string U8(const std::wstring& text) { return kel::WideToUtf8(text); }

// The wizard of the process named by KEL_WIZARD_PID (any wizard when unset): tests that run
// one after another must never read each other's windows.
DWORD WizardPid() {
  wchar_t value[32] = {};
  return GetEnvironmentVariableW(L"KEL_WIZARD_PID", value, 32) > 0 ? std::wcstoul(value, nullptr, 10) : 0;
}

HWND FindWizardNow() {
  struct Search {
    DWORD pid;
    HWND found;
  } search{WizardPid(), nullptr};
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        wchar_t name[64] = {};
        GetClassNameW(w, name, 64);
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        // Visible: WM_CREATE (controls, list) has finished.
        if (std::wstring(name) == kClass && (s->pid == 0 || owner == s->pid) && IsWindowVisible(w)) {
          s->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindWizard(DWORD ms) {
  for (DWORD waited = 0;; waited += 50) {
    if (HWND w = FindWizardNow()) return w;
    if (waited >= ms) return nullptr;
    Sleep(50);
  }
}

std::wstring TextOf(HWND w) {
  const int length = GetWindowTextLengthW(w);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(w, text.data(), length + 1)));
  return text;
}

std::wstring ClassOf(HWND w) {
  wchar_t name[128] = {};
  GetClassNameW(w, name, 128);
  return name;
}

// The list view lives in the wizard's process: item texts are read through memory there.
json ListRows(HWND list) {
  json rows = json::array();
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  kel::unique_handle process(
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
  if (!process) return rows;
  constexpr SIZE_T kTextUnits = 1024;
  const SIZE_T size = sizeof(LVITEMW) + kTextUnits * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process.get(), nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  if (!remote) return rows;
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = i;
    item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote) + sizeof(LVITEMW));
    item.cchTextMax = kTextUnits;
    WriteProcessMemory(process.get(), remote, &item, sizeof(item), nullptr);
    SendMessageW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(remote));
    std::vector<wchar_t> text(kTextUnits + 1, L'\0');
    ReadProcessMemory(process.get(), item.pszText, text.data(), kTextUnits * sizeof(wchar_t), nullptr);
    const UINT state = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK));
    rows.push_back({{"label", U8(text.data())}, {"stateImage", (state & LVIS_STATEIMAGEMASK) >> 12}});
  }
  VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
  return rows;
}

json Dump(HWND wizard) {
  json doc;
  doc["title"] = U8(TextOf(wizard));
  RECT client{};
  GetClientRect(wizard, &client);
  doc["client"] = {client.right, client.bottom};
  json controls = json::array();
  for (int id = kFirstId; id <= kLastId; ++id) {
    HWND c = GetDlgItem(wizard, id);
    if (!c) continue;
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, wizard, reinterpret_cast<POINT*>(&r), 2);
    json entry = {{"id", id},
                  {"class", U8(ClassOf(c))},
                  {"text", U8(TextOf(c))},
                  {"rect", {r.left, r.top, r.right - r.left, r.bottom - r.top}},
                  {"enabled", IsWindowEnabled(c) != FALSE},
                  {"visible", IsWindowVisible(c) != FALSE},
                  {"style", static_cast<unsigned long>(GetWindowLongPtrW(c, GWL_STYLE))},
                  {"hasFont", SendMessageW(c, WM_GETFONT, 0, 0) != 0}};
    if (id == 1006 || id == 1007) entry["checked"] = SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
    controls.push_back(entry);
  }
  doc["controls"] = controls;
  doc["rows"] = ListRows(GetDlgItem(wizard, kListId));
  doc["progress"] = SendMessageW(GetDlgItem(wizard, kProgressId), PBM_GETPOS, 0, 0);
  return doc;
}

struct BoxSearch {
  DWORD pid;
  HWND found;
};

// A message box is a dialog (#32770) of the wizard's process.
HWND FindBox(DWORD pid, DWORD ms) {
  for (DWORD waited = 0;; waited += 50) {
    BoxSearch search{pid, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
          auto* s = reinterpret_cast<BoxSearch*>(p);
          DWORD owner = 0;
          GetWindowThreadProcessId(w, &owner);
          if (owner == s->pid && IsWindowVisible(w) && ClassOf(w) == L"#32770") {
            s->found = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    if (waited >= ms) return nullptr;
    Sleep(50);
  }
}

int ButtonId(const std::wstring& name) {
  if (name == L"ok") return IDOK;
  if (name == L"cancel") return IDCANCEL;
  if (name == L"yes") return IDYES;
  if (name == L"no") return IDNO;
  if (name == L"retry") return IDRETRY;
  return 0;
}

void Print(const json& doc) {
  const std::string text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

DWORD Ms(int argc, wchar_t** argv, int index, DWORD fallback) {
  return argc > index ? std::wcstoul(argv[index], nullptr, 10) : fallback;
}

// The wizard thread's focused control: GetFocus only sees the own thread.
int FocusedId(HWND wizard) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(wizard, nullptr), &info) || !info.hwndFocus) {
    return 0;
  }
  return info.hwndFocus == wizard ? -1 : GetDlgCtrlID(info.hwndFocus);
}

void Press(WORD key, bool shift) {
  std::vector<INPUT> inputs;
  auto add = [&inputs](WORD vk, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(input);
  };
  if (shift) add(VK_SHIFT, false);
  add(key, false);
  add(key, true);
  if (shift) add(VK_SHIFT, true);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

json Keys(HWND wizard, int argc, wchar_t** argv) {
  SetForegroundWindow(wizard);
  Sleep(200);
  json focus = json::array();
  for (int i = 2; i < argc; ++i) {
    const std::wstring key = argv[i];
    const bool shift = key.rfind(L"shift+", 0) == 0;
    const std::wstring name = shift ? key.substr(6) : key;
    const WORD vk = name == L"tab" ? VK_TAB : name == L"space" ? VK_SPACE
                  : name == L"return" ? VK_RETURN : name == L"escape" ? VK_ESCAPE : 0;
    if (vk == 0) return nullptr;
    Press(vk, shift);
    Sleep(300);
    focus.push_back(IsWindow(wizard) ? FocusedId(wizard) : 0);
  }
  return {{"focus", focus}};
}

// The extent of each control's text in the font the wizard gives it at `dpi` (a font handle
// of another process cannot be used here).
json Measure(HWND wizard, int dpi) {
  json controls = json::array();
  HDC dc = GetDC(nullptr);
  for (int id = kFirstId; id <= kLastId; ++id) {
    HWND c = GetDlgItem(wizard, id);
    if (!c) continue;
    const int height = id == 1001 ? -20 : -14;
    const int weight = id == 1001 ? 700 : id == 1010 ? 600 : 400;
    kel::unique_gdi font(CreateFontW(MulDiv(height, dpi, 96), 0, 0, 0, weight, FALSE, FALSE,
                                     FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS,
                                     L"Microsoft YaHei UI"));
    HGDIOBJ old = SelectObject(dc, font.get());
    const std::wstring text = TextOf(c);
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, wizard, reinterpret_cast<POINT*>(&r), 2);
    controls.push_back({{"id", id},
                        {"text", U8(text)},
                        {"rect", {r.left, r.top, r.right - r.left, r.bottom - r.top}},
                        {"extent", {extent.cx, extent.cy}}});
  }
  ReleaseDC(nullptr, dc);
  RECT window{};
  GetWindowRect(wizard, &window);
  return {{"window", {window.right - window.left, window.bottom - window.top}},
          {"controls", controls}};
}

}  // namespace

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

int Run(int argc, wchar_t** argv) {
  int i = 2;
  for (; i < argc && std::wstring(argv[i]) != L"--"; ++i) {
    const std::wstring pair = argv[i];
    const size_t eq = pair.find(L'=');
    if (eq == std::wstring::npos) return 2;
    SetEnvironmentVariableW(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str());
  }
  if (++i >= argc) return 2;
  std::wstring command_line;
  for (int j = i; j < argc; ++j) command_line += (j > i ? L" " : L"") + Quote(argv[j]);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  // A desktop of its own: its desktop window is made for this display, whatever display the
  // prefix's default desktop was started on.
  std::wstring desktop_path;
  wchar_t desktop[256] = {};
  if (GetEnvironmentVariableW(L"KEL_WIZARD_DESKTOP", desktop, 256) > 0) {
    // Under Wine a desktop with a size is a virtual desktop, which draws window frames itself
    // (an Xvfb display has no window manager to do it).
    wchar_t size[32] = L"800x600";
    GetEnvironmentVariableW(L"KEL_WIZARD_DESKTOP_SIZE", size, 32);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", desktop, REG_SZ,
                    size, static_cast<DWORD>((wcslen(size) + 1) * sizeof(wchar_t)));
    CreateDesktopW(desktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    desktop_path = std::wstring(L"WinSta0\\") + desktop;
    startup.lpDesktop = desktop_path.data();
  }
  // A process takes the user's dpi when it starts: set it for this one only.
  wchar_t dpi_text[16] = {};
  const bool set_dpi = GetEnvironmentVariableW(L"KEL_WIZARD_DPI", dpi_text, 16) > 0;
  DWORD old_dpi = 0;
  DWORD old_size = sizeof(old_dpi);
  const bool had_dpi = RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels",
                                    RRF_RT_REG_DWORD, nullptr, &old_dpi, &old_size) == ERROR_SUCCESS;
  if (set_dpi) {
    const DWORD dpi = std::wcstoul(dpi_text, nullptr, 10);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi,
                    sizeof(dpi));
  }
  auto restore_dpi = [&] {
    if (!set_dpi) return;
    if (had_dpi) {
      RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD,
                      &old_dpi, sizeof(old_dpi));
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels");
    }
  };
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(argv[i], command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    restore_dpi();
    return 125;
  }
  kel::unique_handle process(info.hProcess), thread(info.hThread);
  Print({{"pid", info.dwProcessId}});
  if (set_dpi) {
    SetEnvironmentVariableW(L"KEL_WIZARD_PID", std::to_wstring(info.dwProcessId).c_str());
    if (!desktop_path.empty()) {
      if (HDESK handle = OpenDesktopW(desktop, 0, FALSE, GENERIC_ALL)) SetThreadDesktop(handle);
    }
    for (int waited = 0; waited < 60000 && !FindWizardNow() &&
                         WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
         waited += 50) {
      Sleep(50);
    }
    restore_dpi();
  }
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  // Per-monitor aware for measuring: the wizard's coordinates are read as they are, never
  // rescaled. Only then: under Wine the other commands slow the wizard's start-up with it.
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  auto set = reinterpret_cast<SetContext>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
  if (set && std::wstring(argv[1]) == L"measure") {
    set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  }
  const std::wstring command = argv[1];
  if (command == L"run") return Run(argc, argv);
  wchar_t desktop[256] = {};
  if (GetEnvironmentVariableW(L"KEL_WIZARD_DESKTOP", desktop, 256) > 0) {
    if (HDESK handle = OpenDesktopW(desktop, 0, FALSE, GENERIC_ALL)) SetThreadDesktop(handle);
  }
  if (command == L"wait-process" && argc >= 3) {
    const DWORD ms = Ms(argc, argv, 3, 30000);
    for (DWORD waited = 0;; waited += 50) {
      kel::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
      PROCESSENTRY32W entry{};
      entry.dwSize = sizeof(entry);
      if (snapshot.get() != INVALID_HANDLE_VALUE && Process32FirstW(snapshot.get(), &entry)) {
        do {
          if (_wcsicmp(entry.szExeFile, argv[2]) == 0) {
            Print({{"pid", entry.th32ProcessID}});
            return 0;
          }
        } while (Process32NextW(snapshot.get(), &entry));
      }
      if (waited >= ms) return 3;
      Sleep(50);
    }
  }
  if (command == L"windows") {
    json all = json::array();
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
          DWORD owner = 0;
          GetWindowThreadProcessId(w, &owner);
          if (owner == WizardPid()) {
            reinterpret_cast<json*>(p)->push_back(
                {{"class", U8(ClassOf(w))}, {"text", U8(TextOf(w))}, {"visible", IsWindowVisible(w) != FALSE}});
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&all));
    Print(all);
    return 0;
  }
  if (command == L"wait-gone") {
    const DWORD ms = Ms(argc, argv, 2, 20000);
    for (DWORD waited = 0; FindWizardNow(); waited += 50) {
      if (waited >= ms) return 3;
      Sleep(50);
    }
    Print({{"gone", true}});
    return 0;
  }
  // A box of a process that has no wizard window (the help box) is found by its pid.
  // Under Wine a per-monitor aware window sometimes shows only after about 30 s.
  HWND wizard = command == L"box" && WizardPid() != 0 ? nullptr : FindWizard(60000);
  if (!wizard && command != L"box") return 3;
  if (command == L"dump") {
    Print(Dump(wizard));
    return 0;
  }
  if (command == L"wait-text" && argc >= 4) {
    HWND c = GetDlgItem(wizard, static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
    const DWORD ms = Ms(argc, argv, 4, 30000);
    for (DWORD waited = 0;; waited += 50) {
      const std::wstring text = TextOf(c);
      if (text.find(argv[3]) != std::wstring::npos) {
        Print({{"text", U8(text)}});
        return 0;
      }
      if (waited >= ms) {
        Print({{"text", U8(text)}, {"timedOut", true}});
        return 3;
      }
      Sleep(50);
    }
  }
  if (command == L"click" && argc >= 3) {
    PostMessageW(GetDlgItem(wizard, static_cast<int>(std::wcstol(argv[2], nullptr, 10))), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == L"check-row" && argc >= 4) {
    HWND list = GetDlgItem(wizard, kListId);
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    kel::unique_handle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid));
    void* remote = VirtualAllocEx(process.get(), nullptr, sizeof(LVITEMW), MEM_COMMIT, PAGE_READWRITE);
    LVITEMW item{};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(std::wcstol(argv[3], nullptr, 10) ? 2 : 1);
    WriteProcessMemory(process.get(), remote, &item, sizeof(item), nullptr);
    SendMessageW(list, LVM_SETITEMSTATE, std::wcstol(argv[2], nullptr, 10), reinterpret_cast<LPARAM>(remote));
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return 0;
  }
  if (command == L"box") {
    DWORD pid = WizardPid();
    if (wizard) GetWindowThreadProcessId(wizard, &pid);
    HWND box = FindBox(pid, Ms(argc, argv, 3, 20000));
    if (!box) return 3;
    // The message text is the box's longest static text (the icon's is empty).
    std::wstring text;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
      if (_wcsicmp(ClassOf(c).c_str(), L"Static") == 0 && TextOf(c).size() > text.size()) text = TextOf(c);
    }
    Print({{"title", U8(TextOf(box))}, {"text", U8(text)}});
    if (argc >= 3) {
      const int id = ButtonId(argv[2]);
      if (id == 0) return 2;
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
    return 0;
  }
  if (command == L"keys") {
    const json focus = Keys(wizard, argc, argv);
    if (focus.is_null()) return 2;
    Print(focus);
    return 0;
  }
  if (command == L"measure" && argc >= 3) {
    Print(Measure(wizard, static_cast<int>(std::wcstol(argv[2], nullptr, 10))));
    return 0;
  }
  if (command == L"close") {
    PostMessageW(wizard, WM_CLOSE, 0, 0);
    return 0;
  }
  return 2;
}
