#include "decommission/set_aside.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/root_registries.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSetAsideFileLimit = 134217728;
constexpr std::wstring_view kMarker = L".pending_delete_";

std::atomic<std::uint64_t> g_pending_delete_counter{0};

// The writer's own last error, or what the file itself shows: the writer reports native
// failures only as text, so the target is asked directly whether it can be replaced now (a
// holder that denied delete sharing, or a read-only file).
bool IsLockedFailure(DWORD last_error, const fs::path& path) {
  if (last_error == 0 || last_error == ERROR_ACCESS_DENIED ||
      last_error == ERROR_SHARING_VIOLATION) {
    return true;
  }
  const std::wstring physical = ToExtendedPathIfLong(path);
  const DWORD attributes = GetFileAttributesW(physical.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return true;
  }
  unique_file probe(CreateFileW(physical.c_str(), DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
  if (probe) return false;
  const DWORD code = GetLastError();
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

// A whole ledger as a JSON object; anything else reads as nothing.
bool ReadLedger(const fs::path& path, nlohmann::json& ledger) {
  bool existed = false;
  std::string content;
  std::string error;
  if (!ReadStateFile(path, kSetAsideFileLimit, true, existed, content, error) || !existed) {
    return false;
  }
  ledger = nlohmann::json::parse(content, nullptr, false);
  return ledger.is_object();
}

std::string TempPathOf(const nlohmann::json& entry) {
  const auto temp = entry.is_object() ? entry.find("tempPath") : entry.end();
  return temp != entry.end() && temp->is_string() ? temp->get<std::string>() : std::string();
}

// Deleted now, or already gone.
bool DeletePending(const fs::path& path) {
  if (QueryPathState(path) == PathState::kMissing) return true;
  if (!IsPlainFile(path)) return false;
  std::string error;
  return RemoveStateFile(path, error);
}

// The process that named the file has ended: no run of ours still means to use it.
bool ProcessEnded(unsigned long pid) {
  if (pid == GetCurrentProcessId()) return false;
  unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
  return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// Rewrites one ledger without the entries whose file is gone; collects the files still held.
void ClearLedger(const fs::path& ledgerPath, const fs::path& pluginsRoot,
                 std::vector<fs::path>& left) {
  if (!IsPlainFile(ledgerPath)) return;
  nlohmann::json ledger;
  if (!ReadLedger(ledgerPath, ledger)) return;
  const auto files = ledger.find("pendingFiles");
  if (files == ledger.end() || !files->is_array()) return;
  nlohmann::json kept = nlohmann::json::array();
  for (const nlohmann::json& entry : *files) {
    const fs::path path = Utf8ToWide(TempPathOf(entry));
    // Only what this root's uninstall may delete: its own moved-aside files.
    if (path.empty() || !IsPendingDeleteName(path.filename().native()) ||
        !IsWithin(pluginsRoot, path)) {
      kept.push_back(entry);
      continue;
    }
    if (!DeletePending(path)) {
      left.push_back(path);
      kept.push_back(entry);
    }
  }
  if (kept.size() == files->size()) return;
  ledger["pendingFiles"] = std::move(kept);
  ledger["updatedAt"] = RegistryNow();
  std::string error;
  WriteStateFileAtomic(ledgerPath, ledger.dump(2), kSetAsideFileLimit, error);
}

// A root file that carries the set-aside name but no ledger lists: ours only when the run that
// named it has ended and it still holds a gate (what the sweep and restores move aside).
bool IsUnlistedSetAsideOfEndedRun(const fs::path& path) {
  unsigned long pid = 0;
  if (!IsPendingDeleteName(path.filename().native(), &pid) || !ProcessEnded(pid)) return false;
  if (!IsPlainFile(path)) return false;
  bool existed = false;
  std::string content;
  std::string error;
  return ReadStateFile(path, kGateReadLimit, true, existed, content, error) && existed &&
         !ParseGatePluginId(content).empty();
}

}  // namespace

fs::path NextPendingDeletePath(const fs::path& path) {
  const std::uint64_t counter = ++g_pending_delete_counter;
  std::wstring name = path.native();
  name += std::wstring(kMarker) + std::to_wstring(RegistryNow()) + L"_" +
          std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter);
  return name;
}

bool IsPendingDeleteName(std::wstring_view fileName, unsigned long* pid_out) {
  const std::size_t at = fileName.rfind(kMarker);
  if (at == std::wstring_view::npos || at == 0) return false;
  std::wstring_view rest = fileName.substr(at + kMarker.size());
  unsigned long long numbers[3] = {0, 0, 0};
  for (int number = 0; number < 3; ++number) {
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= L'0' && rest[digits] <= L'9') {
      if (digits < 19) numbers[number] = numbers[number] * 10 + (rest[digits] - L'0');
      ++digits;
    }
    if (digits == 0) return false;
    rest.remove_prefix(digits);
    if (number < 2) {
      if (rest.empty() || rest.front() != L'_') return false;
      rest.remove_prefix(1);
    }
  }
  if (!rest.empty()) return false;
  if (pid_out != nullptr) *pid_out = static_cast<unsigned long>(numbers[1]);
  return true;
}

bool WriteFileMovingLockedAside(const fs::path& path, std::string_view content,
                                std::string& error, const fs::path& ledgerRegistryPath) {
  std::string write_error;
  if (WriteStateFileAtomic(path, content, kSetAsideFileLimit, write_error)) return true;
  const DWORD last_error = GetLastError();
  const PathState state = QueryPathState(path);
  const bool present = state == PathState::kFile || state == PathState::kDirectory;
  if (!present || !IsLockedFailure(last_error, path)) {
    SetErrorIfEmpty(error, write_error);
    return false;
  }

  const fs::path aside = NextPendingDeletePath(path);
  const std::wstring target = ToExtendedPathIfLong(path);
  const std::wstring moved = ToExtendedPathIfLong(aside);
  constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExW(target.c_str(), moved.c_str(), kMoveFlags)) {
    SetErrorIfEmpty(error, write_error);
    return false;
  }

  std::string second_error;
  if (!WriteStateFileAtomic(path, content, kSetAsideFileLimit, second_error)) {
    MoveFileExW(moved.c_str(), target.c_str(), kMoveFlags);
    SetErrorIfEmpty(error, second_error);
    return false;
  }
  RegisterPendingCleanup(ledgerRegistryPath, path, aside);
  return true;
}

bool RegisterPendingCleanup(const fs::path& registryPath, const fs::path& originalPath,
                            const fs::path& tempPath) {
  const fs::path registry = registryPath.empty() ? RegistryPath() : registryPath;
  if (registry.empty() || registry.parent_path().empty()) return false;
  const fs::path ledger_path = registry.parent_path() / L"pending_cleanup.json";

  nlohmann::json ledger;
  if (!ReadLedger(ledger_path, ledger)) ledger = nlohmann::json::object();
  const std::uint64_t now = RegistryNow();
  ledger["schemaVersion"] = 1;
  ledger["updatedAt"] = now;
  if (!ledger.contains("pendingFiles") || !ledger["pendingFiles"].is_array()) {
    ledger["pendingFiles"] = nlohmann::json::array();
  }
  const std::string temp = WideToUtf8(tempPath.native());
  bool listed = false;
  for (const auto& element : ledger["pendingFiles"]) {
    if (element.is_object() && element.contains("tempPath") && TempPathOf(element) == temp) {
      listed = true;
      break;
    }
  }
  if (!listed) {
    ledger["pendingFiles"].push_back({{"originalPath", WideToUtf8(originalPath.native())},
                                      {"tempPath", temp},
                                      {"registeredAt", now}});
  }
  std::string error;
  return WriteStateFileAtomic(ledger_path, ledger.dump(2), kSetAsideFileLimit, error);
}

std::vector<fs::path> ClearPendingDeletes(const fs::path& pluginsRoot) {
  std::vector<fs::path> left;
  for (const fs::path& registry : RegistriesOfRoot(pluginsRoot)) {
    ClearLedger(registry.parent_path() / L"pending_cleanup.json", pluginsRoot, left);
  }
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(pluginsRoot, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    entries.push_back(it->path());
  }
  for (const fs::path& path : entries) {
    if (!IsUnlistedSetAsideOfEndedRun(path)) continue;
    std::string error;
    RemoveStateFile(path, error);
  }
  return left;
}

}  // namespace kel
