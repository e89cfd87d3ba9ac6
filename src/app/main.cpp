#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/engines.h"
#include "app/options.h"
#include "app/run_log.h"
#include "app/silent_runner.h"
#include "app/system_dlls.h"
#include "app/wizard_window.h"
#include "common/text.h"
#include "net/origin.h"
#include "net/release_trust.h"
// kPinnedReleaseKeys: the publisher's keys this build was given, made by the build.
#include "kel_release_keys.inc"

namespace {

constexpr int kExitWindowFailed = 1;

kel::WizardSettings SettingsOf(const kel::SetupOptions& options) {
  kel::WizardSettings settings;
  settings.mode = options.mode;
  settings.target = options.target;
  settings.package = options.package;
  settings.waitPid = options.wait_pid;
  settings.purgeGlobal = options.purge_global;
  settings.noLaunch = options.no_launch;
  return settings;
}

int RunWizard(HINSTANCE instance, int show_command, const kel::OperationEngines& engines) {
  kel::ConfigureWizard(SettingsOf(kel::ProcessOptions()), kel::ResolvedOrigin(), engines);

  HWND window = kel::CreateWizardWindow(instance);
  if (window == nullptr) return kExitWindowFailed;

  ShowWindow(window, show_command);
  UpdateWindow(window);
  MSG message{};
  BOOL got = FALSE;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    // Tab, Enter and Esc as in a dialog.
    if (IsWindow(window) && IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return got == 0 ? static_cast<int>(message.wParam) : 0;
}

// "--help" with "--silent": the text goes to the console of the program that started us, if
// any (or the file or pipe our output was redirected to), and to the log; never a window.
void PrintHelpToParentConsole(const std::wstring& text) {
  const bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    std::wstring lines;
    for (wchar_t c : text) {
      if (c == L'\n') lines += L'\r';
      lines += c;
    }
    lines += L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
      WriteConsoleW(out, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    } else {
      const std::string bytes = kel::WideToUtf8(lines);
      WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
  }
  if (attached) FreeConsole();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  kel::SuppressSystemErrorDialogs();
  // First: the program is started from download folders, where a planted DLL may lie.
  kel::RestrictDllSearchToSystem32();
  SetProcessDPIAware();
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  kel::SetupOptions options = kel::ParseCommandLine();
  if (options.help && options.silent) {
    kel::RunLog& log = kel::ProcessLog();
    if (!options.log.empty() && log.Open(options.log)) {
      log.Write("command line: " + kel::WideToUtf8(GetCommandLineW()));
      log.Write(kel::WideToUtf8(kel::HelpText()));
      log.Write("exit code 0");
    }
    PrintHelpToParentConsole(kel::HelpText());
    return 0;
  }
  if (options.help) {
    MessageBoxW(nullptr, kel::HelpText().c_str(), kel::kWizardWindowTitle,
                MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  std::string source;
  std::string origin = kel::ResolveBackendOrigin(options.origin, &source);
  kel::InitializeProcessOptions(std::move(options), std::move(origin));

  kel::ReleaseTrust trust = kel::LoadReleaseTrust(kPinnedReleaseKeys);
  trust.allowDowngrade = kel::ProcessOptions().allow_downgrade;
  kel::OperationEngines engines = kel::ProductionEngines(trust);
  kel::RunLog& log = kel::ProcessLog();
  if (!kel::ProcessOptions().log.empty() && log.Open(kel::ProcessOptions().log)) {
    engines = kel::LoggedEngines(std::move(engines),
                                 [&log](std::string_view line) { log.Write(line); });
    log.Write("command line: " + kel::WideToUtf8(GetCommandLineW()));
    log.Write("origin: " + kel::ResolvedOrigin() + " (from " + source + ")");
    if (trust.pinned) {
      log.Write("releases must be signed by one of " + std::to_string(trust.keys.size()) +
                " pinned keys");
    }
  }

  const int code = kel::ProcessOptions().silent
                       ? kel::RunSilent(kel::ProcessOptions(), kel::ResolvedOrigin(), engines)
                       : RunWizard(instance, show_command, engines);
  log.Write("exit code " + std::to_string(code));
  return code;
}
