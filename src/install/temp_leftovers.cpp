#include "install/temp_leftovers.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "install/deploy.h"

namespace kel {
namespace {

struct Owner {
  DWORD pid = 0;
  std::uint64_t ticks = 0;  // GetTickCount64 when the name was made
};

std::optional<std::uint64_t> Digits(std::wstring_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return value;
}

// pid and ticks of one of our temporary names; nothing for any other name.
std::optional<Owner> OwnerOf(std::wstring_view name, bool is_directory) {
  struct Kind {
    std::wstring_view prefix;
    std::wstring_view suffix;
    bool directory;
  };
  static constexpr Kind kKinds[] = {{L"kel_installer_pkg_", L".zip", false},
                                    {L"kel_installer_stage_", L"", true},
                                    {L"kel_diff_blobs_", L"", true},
                                    {L"kel_installer_cache_", L"", true},
                                    // the program copy that finished the uninstall it ran
                                    {L"kel_setup_finish_", L".exe", false}};
  for (const Kind& kind : kKinds) {
    if (kind.directory != is_directory || !name.starts_with(kind.prefix) ||
        !name.ends_with(kind.suffix))
      continue;
    std::wstring_view rest = name.substr(kind.prefix.size());
    rest.remove_suffix(kind.suffix.size());
    const std::size_t split = rest.find(L'_');
    if (split == std::wstring_view::npos) return std::nullopt;
    const auto pid = Digits(rest.substr(0, split));
    const auto ticks = Digits(rest.substr(split + 1));
    if (!pid || !ticks || *pid > 0xFFFFFFFFu) return std::nullopt;
    return Owner{static_cast<DWORD>(*pid), *ticks};
  }
  return std::nullopt;
}

// Whether the process that made the name may still be running. A process under the same id
// that started after the name was made (or a name from before the last restart) is another
// program: the name is stale.
bool OwnerMayBeRunning(const Owner& owner) {
  if (owner.pid == GetCurrentProcessId()) return true;
  unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                    owner.pid));
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return false;
  const std::uint64_t now_ticks = GetTickCount64();
  if (owner.ticks > now_ticks) return false;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return true;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const auto as_100ns = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const std::uint64_t made = as_100ns(now) - (now_ticks - owner.ticks) * 10000;
  // Tick counts and clocks drift apart a little: allow some seconds.
  constexpr std::uint64_t kSlack = 10ull * 10000000;
  return as_100ns(created) <= made + kSlack;
}

}  // namespace

void RemoveStaleInstallerTemp(const std::filesystem::path& temp) {
  std::vector<std::wstring> stale;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((temp / L"kel_*").c_str(), &data));
  if (!find) return;
  do {
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const auto owner = OwnerOf(data.cFileName, directory);
    if (owner && !OwnerMayBeRunning(*owner)) stale.push_back(data.cFileName);
  } while (FindNextFileW(find.get(), &data));
  find.reset();
  for (const std::wstring& name : stale) {
    std::vector<std::string> ignored;
    RemoveTreeOrScheduleAtReboot(temp / name, ignored);
  }
}

}  // namespace kel
