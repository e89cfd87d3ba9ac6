#include "install/package_paths.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>

#include "common/handles.h"
#include "common/text.h"
#include "safefs/path_forms.h"
#include "sketchup/installed_version.h"

namespace kel {
namespace {

std::optional<std::uint64_t> Digits(std::wstring_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return value;
}

// "pid_ticks", both decimal.
std::optional<NameOwner> ParseStamp(std::wstring_view stamp) {
  const std::size_t split = stamp.find(L'_');
  if (split == std::wstring_view::npos) return std::nullopt;
  const auto pid = Digits(stamp.substr(0, split));
  const auto ticks = Digits(stamp.substr(split + 1));
  if (!pid || !ticks || *pid > 0xFFFFFFFFu) return std::nullopt;
  return NameOwner{static_cast<std::uint32_t>(*pid), *ticks};
}

// The path as Windows resolves it: '/' separated, "." levels and trailing dots and blanks of
// each name dropped. Empty for text that is not UTF-8.
std::wstring NormalPath(std::string_view path) {
  const std::wstring wide = Utf8ToWide(path);
  std::wstring normal;
  for (size_t start = 0; start <= wide.size();) {
    size_t end = wide.find_first_of(L"/\\", start);
    if (end == std::wstring::npos) end = wide.size();
    std::wstring_view name(wide.data() + start, end - start);
    if (name != L".") {
      while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.remove_suffix(1);
      if (!name.empty()) {
        if (!normal.empty()) normal += L'/';
        normal += name;
      }
    }
    if (end == wide.size()) break;
    start = end + 1;
  }
  return normal;
}

std::wstring LongPathOf(const std::filesystem::path& path) {
  const std::wstring extended = ToExtendedPath(path);
  std::wstring buffer(MAX_PATH, L'\0');
  DWORD length = GetLongPathNameW(extended.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length);
    length = GetLongPathNameW(extended.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  }
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return buffer;
}

// Names the product keeps for itself in a Plugins folder: an install never writes them.
bool IsReservedName(const std::wstring& folded_normal) {
  static const std::wstring marker =
      FoldCase(std::wstring(L"kel_plugin_center/") + kDeploymentMarkerName);
  if (folded_normal == marker) return true;
  const std::size_t slash = folded_normal.rfind(L'/');
  const std::wstring_view name =
      std::wstring_view(folded_normal).substr(slash == std::wstring::npos ? 0 : slash + 1);
  const std::size_t old = name.rfind(L".old.");
  return old != std::wstring_view::npos && old > 0 &&
         ParseStamp(name.substr(old + 5)).has_value();
}

bool RefusedForm(std::string_view relative) {
  if (IsExcludedPackagePath(relative) || !IsSafeArchiveEntry(relative)) return true;
  const std::wstring normal = FoldCase(NormalPath(relative));
  return normal.empty() || IsReservedName(normal);
}

// A short name (KEL_PL~1) reaches the same folder as its long name: where a target holds one,
// the part of it that exists is spelled out in full before the tests.
bool RefusedThroughShortName(const std::filesystem::path& plugins_dir,
                             const std::wstring& relative) {
  if (relative.find(L'~') == std::wstring::npos) return false;
  std::filesystem::path existing = plugins_dir / relative, rest;
  std::wstring expanded;
  while ((expanded = LongPathOf(existing)).empty()) {
    if (!existing.has_relative_path() || existing == existing.parent_path()) return true;
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
  const std::wstring base = LongPathOf(plugins_dir);
  if (base.empty()) return true;
  const std::filesystem::path full = rest.empty() ? std::filesystem::path(expanded)
                                                  : std::filesystem::path(expanded) / rest;
  std::string text = WideToUtf8(full.lexically_relative(base).wstring());
  std::replace(text.begin(), text.end(), '\\', '/');
  return text.empty() || text.starts_with("..") || RefusedForm(text);
}

}  // namespace

bool IsSafeArchiveEntry(std::string_view line) {
  std::string text(line);
  for (char& c : text)
    if (c == '\\') c = '/';
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  const std::string_view entry(text.data() + begin, end - begin);
  if (entry.empty()) return true;
  if (entry.front() == '/') return false;
  if (entry.find(':') != std::string_view::npos) return false;
  if (entry.size() > 1 && entry.find("..") != std::string_view::npos) return false;
  if (entry.find('\0') != std::string_view::npos) return false;
  return true;
}

bool IsExcludedPackagePath(std::string_view path) {
  std::string lower(path);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const std::string_view p(lower);
  if (p.empty()) return true;
  if (p.size() > 1 && p.find("..") != std::string_view::npos) return true;
  if (p.find(':') != std::string_view::npos) return true;
  // The prefixes are compared on the path as Windows resolves it, so that no other spelling
  // (a\b, ./a, a//b, A/B, a./b) reaches the same folder unnoticed.
  if (Utf8ToWide(path).empty()) return true;
  const std::wstring normal = FoldCase(NormalPath(path));
  const std::wstring_view n(normal);
  if (n.starts_with(L"__macosx/") || n.starts_with(L".git/")) return true;
  constexpr std::wstring_view kManaged = L"kel_plugin_center/managed_plugins";
  return n == kManaged || (n.starts_with(kManaged) && n.size() > kManaged.size() &&
                           n[kManaged.size()] == L'/');
}

bool ResolveWritablePath(const std::filesystem::path& plugins_dir, std::string_view relative,
                         std::filesystem::path& target, std::wstring& key) {
  if (RefusedForm(relative)) return false;
  std::wstring wide = Utf8ToWide(relative);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  const std::filesystem::path rel(wide);
  if (rel.has_root_name() || rel.has_root_directory()) return false;
  if (RefusedThroughShortName(plugins_dir, wide)) return false;
  target = plugins_dir / rel;
  key = FoldCase(NormalPath(relative));
  return true;
}

bool OwnerMayBeRunning(const NameOwner& owner) {
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

std::wstring NewRunStamp() {
  // Strictly increasing within the process: two stamps made in one tick still differ.
  static std::atomic<std::uint64_t> last{0};
  std::uint64_t ticks = GetTickCount64();
  std::uint64_t seen = last.load();
  do {
    if (ticks <= seen) ticks = seen + 1;
  } while (!last.compare_exchange_weak(seen, ticks));
  return std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(ticks);
}

namespace {

struct TemporaryForm {
  TemporaryKind kind;
  std::wstring_view prefix;
  std::wstring_view suffix;
  bool directory;
};
constexpr TemporaryForm kTemporaryForms[] = {
    {TemporaryKind::kPackage, L"kel_installer_pkg_", L".zip", false},
    {TemporaryKind::kStage, L"kel_installer_stage_", L"", true},
    {TemporaryKind::kBlobs, L"kel_diff_blobs_", L"", true},
    {TemporaryKind::kCache, L"kel_installer_cache_", L"", true},
    // the program copy that finished the uninstall it ran
    {TemporaryKind::kFinishCopy, L"kel_setup_finish_", L".exe", false}};

}  // namespace

std::filesystem::path MakeTemporaryName(TemporaryKind kind) {
  for (const TemporaryForm& form : kTemporaryForms) {
    if (form.kind != kind) continue;
    // The temporary-directory query throws when it fails: the caller's handler reports it.
    return std::filesystem::temp_directory_path() /
           (std::wstring(form.prefix) + NewRunStamp() + std::wstring(form.suffix));
  }
  return {};
}

std::optional<NameOwner> ParseTemporaryName(std::wstring_view name, bool is_directory) {
  for (const TemporaryForm& form : kTemporaryForms) {
    if (form.directory != is_directory || !name.starts_with(form.prefix) ||
        !name.ends_with(form.suffix) || name.size() < form.prefix.size() + form.suffix.size())
      continue;
    std::wstring_view rest = name.substr(form.prefix.size());
    rest.remove_suffix(form.suffix.size());
    return ParseStamp(rest);
  }
  return std::nullopt;
}

std::filesystem::path AsideName(const std::filesystem::path& target, std::wstring_view stamp) {
  return target.wstring() + L".old." + std::wstring(stamp);
}

std::optional<NameOwner> ParseAsideName(std::wstring_view name, std::wstring_view target_name) {
  const std::wstring prefix = FoldCase(std::wstring(target_name) + L".old.");
  if (name.size() <= prefix.size() || FoldCase(name.substr(0, prefix.size())) != prefix)
    return std::nullopt;
  return ParseStamp(name.substr(prefix.size()));
}

}  // namespace kel
