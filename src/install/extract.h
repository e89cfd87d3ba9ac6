#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "install/package_paths.h"

namespace kel {

// How long a tar.exe run may go without any sign of work before it is ended and counted as
// failed.
inline constexpr std::uint32_t kArchiveToolTimeoutMs = 120000;

// Runs a complete command line as a hidden console child, capturing its standard output and
// error together. Success means that the child was started, has ended and all its output was
// read; the exit code is judged by the caller. A child that shows no sign of work (no output,
// no change in what `activity` returns) for `timeout_ms` is ended, leaving a non-zero
// `exit_code`, and the run fails. If the exit code cannot be read, `exit_code` is left as it
// was.
bool RunHiddenAndCapture(const std::wstring& command_line, std::uint32_t& exit_code,
                         std::string& output, std::string& error,
                         std::uint32_t timeout_ms = kArchiveToolTimeoutMs,
                         const std::function<std::uint64_t()>& activity = {});

// Lists the zip archive with the system's tar.exe (System32), refuses it if any entry could
// leave the staging directory, then extracts everything into `staging`.
bool ExtractPackage(const std::filesystem::path& archive, const std::filesystem::path& staging,
                    std::string& error);

// The same with an explicit archive tool, for callers that must not use System32's.
bool ExtractPackageWithTool(const std::filesystem::path& tar_exe,
                            const std::filesystem::path& archive,
                            const std::filesystem::path& staging, std::string& error,
                            std::uint32_t timeout_ms = kArchiveToolTimeoutMs);


}  // namespace kel
