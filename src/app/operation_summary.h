#pragma once
// The Chinese texts the wizard shows at the end of an operation, and the mapping of one
// target's progress onto the whole run. Pure: no window, no thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decommission/uninstall.h"

namespace kel {

// "已完成 n 个 SketchUp 版本的安装/更新！" and the two counters.
std::wstring InstallSuccessMessage(std::size_t dirCount, std::uint64_t written,
                                   std::uint64_t unchanged);
// "安装/更新未能完成：" + the engine's message.
std::wstring InstallFailureMessage(std::string_view engineMessage);
// "连接服务器失败：" + the release query's error.
std::wstring ReleaseQueryFailureMessage(std::string_view error);
// The uninstall summary; the first warning (only) is appended as a hint.
std::wstring UninstallSummaryMessage(const UninstallResult& result);
// An uninstall that got as far as a warning counts as done; only a run without any usable
// directory (no warning either) is a failure.
bool UninstallCountsAsSuccess(const UninstallResult& result);
// "卸载未能完成：" + a text: an uninstall that ended in an unexpected error.
std::wstring UninstallFailureMessage(std::string_view error);

// Target `index` of `count` at engine percent `percent`: (index * 100 + percent) / count.
int OverallPercent(std::size_t index, std::size_t count, int percent);

// Text of an exception that escaped an engine; never empty.
std::wstring UnexpectedErrorText(std::string_view what);

}  // namespace kel
