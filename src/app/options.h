#pragma once

#include <cstdint>
#include <string>

namespace kel {

// The parsed command line. One process-wide instance, written once before any thread exists.
struct SetupOptions {
  std::string mode;       // "update", "uninstall", "install-silent" or empty (UTF-8)
  std::wstring target;    // "--target"
  std::wstring package;   // "--package"
  std::string origin;     // "--origin", strictly converted to UTF-8
  std::uint32_t wait_pid = 0;
  bool silent = false;
  bool purge_global = false;
  bool no_launch = false;
  bool allow_downgrade = false;  // "--allow-downgrade"
  std::wstring log;       // "--log": the run log file, empty for none
  bool help = false;      // "--help", "-h" or "/?"
};

// Parses the process command line.
SetupOptions ParseCommandLine();
// Parses a whole command line text as the process would see it (program path first).
SetupOptions ParseCommandLineText(const wchar_t* command_line);

// The options and exit codes as the help box shows them.
std::wstring HelpText();

// Process-wide options and backend origin: set once by the entry point before any window or
// worker thread exists, read-only afterwards.
void InitializeProcessOptions(SetupOptions options, std::string resolved_origin);
const SetupOptions& ProcessOptions();
const std::string& ResolvedOrigin();

}  // namespace kel
