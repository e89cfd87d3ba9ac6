#include "app/options.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string_view>

#include "common/handles.h"
#include "common/text.h"

namespace kel {
namespace {

SetupOptions g_options;
std::string g_resolved_origin;

}  // namespace

SetupOptions ParseCommandLineText(const wchar_t* command_line) {
  SetupOptions options;
  int count = 0;
  LPWSTR* raw = CommandLineToArgvW(command_line, &count);
  if (raw == nullptr) return options;
  unique_hlocal owner(reinterpret_cast<HLOCAL>(raw));

  // A value option takes the next element verbatim; as the last element its value is empty.
  auto take_value = [&](int& i) -> std::wstring {
    if (i + 1 >= count) return {};
    ++i;
    return raw[i];
  };
  for (int i = 1; i < count; ++i) {
    const std::wstring_view arg = raw[i];
    if (arg == L"--update") {
      options.mode = "update";
    } else if (arg == L"--uninstall") {
      options.mode = "uninstall";
    } else if (arg == L"--install-silent") {
      options.mode = "install-silent";
      options.silent = true;
    } else if (arg == L"--silent") {
      options.silent = true;
    } else if (arg == L"--purge-global") {
      options.purge_global = true;
    } else if (arg == L"--no-launch") {
      options.no_launch = true;
    } else if (arg == L"--target") {
      options.target = take_value(i);
    } else if (arg == L"--package") {
      options.package = take_value(i);
    } else if (arg == L"--origin") {
      options.origin = WideToUtf8(take_value(i));
    } else if (arg == L"--wait-pid") {
      const std::wstring value = take_value(i);
      // unsigned long is 32 bits here, so an out-of-range value saturates at 4294967295.
      options.wait_pid = static_cast<std::uint32_t>(std::wcstoul(value.c_str(), nullptr, 10));
    }
  }
  return options;
}

SetupOptions ParseCommandLine() { return ParseCommandLineText(GetCommandLineW()); }

void InitializeProcessOptions(SetupOptions options, std::string resolved_origin) {
  g_options = std::move(options);
  g_resolved_origin = std::move(resolved_origin);
}

const SetupOptions& ProcessOptions() { return g_options; }
const std::string& ResolvedOrigin() { return g_resolved_origin; }

}  // namespace kel
