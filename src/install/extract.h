#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kel {

// How long a tar.exe run may take before it is ended and counted as failed.
inline constexpr std::uint32_t kArchiveToolTimeoutMs = 120000;

// Runs a complete command line as a hidden console child, capturing its standard output and
// error together. Success means only that the child was started and has ended (or was ended
// after `timeout_ms`, which leaves a non-zero `exit_code`); the exit code is judged by the
// caller. If the exit code cannot be read, `exit_code` is left as it was.
bool RunHiddenAndCapture(const std::wstring& command_line, std::uint32_t& exit_code,
                         std::string& output, std::string& error,
                         std::uint32_t timeout_ms = kArchiveToolTimeoutMs);

// Lists the zip archive with the system's tar.exe (System32), refuses it if any entry could
// leave the staging directory, then extracts everything into `staging`.
bool ExtractPackage(const std::filesystem::path& archive, const std::filesystem::path& staging,
                    std::string& error);

// The same with an explicit archive tool, for callers that must not use System32's.
bool ExtractPackageWithTool(const std::filesystem::path& tar_exe,
                            const std::filesystem::path& archive,
                            const std::filesystem::path& staging, std::string& error,
                            std::uint32_t timeout_ms = kArchiveToolTimeoutMs);

// One line of tar's listing: false for absolute paths, drive letters, streams, "..", NUL.
bool IsSafeArchiveEntry(std::string_view line);

// Package-relative paths ('/' separated) that an install never writes.
bool IsExcludedPackagePath(std::string_view path);

}  // namespace kel
