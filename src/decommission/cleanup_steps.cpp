#include "decommission/cleanup_steps.h"

#include <windows.h>

#include <set>

#include "common/file_tree.h"
#include "common/text.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kInternalUnsafe = "managed internal cleanup path is unsafe";

// Present and either unreadable or a link: nothing may be deleted through it.
bool UnreadableOrLink(PathState state, std::uint32_t attributes) {
  return state == PathState::kUnreadable ||
         (state != PathState::kMissing && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
}

}  // namespace

bool RemoveGate(const UninstallPlan& plan, StepFailure& failure) {
  switch (QueryPathState(plan.gatePath)) {
    case PathState::kMissing:
      return true;
    case PathState::kUnreadable:
      failure.Set("managed root Gate status is unavailable", FailureKind::kFailed);
      return false;
    default:
      break;
  }
  if (!IsGateForPlugin(plan.gatePath, plan.pluginId)) {
    failure.Set("managed root Gate does not match uninstall plan", FailureKind::kFailed);
    return false;
  }
  const std::wstring gate = ToExtendedPathIfLong(plan.gatePath);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SetFileAttributesW(gate.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(gate.c_str())) return true;
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    if (attempt < 3) Sleep(50);
  }
  failure.Set("managed root Gate could not be removed", FailureKind::kRetryable);
  return false;
}

bool IsolateCompanion(const UninstallPlan& plan, const fs::path& managerDir,
                      StepFailure& failure) {
  const fs::path staging_root = managerDir / L"uninstall_staging";
  const fs::path staged =
      staging_root / Utf8ToWide(plan.pluginId) / plan.companionPath.filename();
  if (!IsWithin(staging_root, staged)) {
    failure.Set("managed companion staging path is unsafe", FailureKind::kUnsafe);
    return false;
  }
  constexpr std::string_view kStagingUnsafe = "managed companion staging status is unsafe";
  std::uint32_t staged_attributes = 0;
  std::uint32_t companion_attributes = 0;
  const PathState staged_state = QueryPathState(staged, &staged_attributes);
  const PathState companion_state = QueryPathState(plan.companionPath, &companion_attributes);
  if (UnreadableOrLink(staged_state, staged_attributes) ||
      companion_state == PathState::kUnreadable) {
    failure.Set(kStagingUnsafe, FailureKind::kUnsafe);
    return false;
  }
  if (companion_state == PathState::kMissing) return true;
  if ((companion_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    failure.Set(kStagingUnsafe, FailureKind::kUnsafe);
    return false;
  }
  constexpr std::string_view kNotIsolated = "managed exclusive companion could not be isolated";
  std::string create_error;
  if ((staged_state != PathState::kMissing && !RemoveTreeNoFollow(ToExtendedPath(staged))) ||
      !EnsureStateDirectory(staged.parent_path(), create_error)) {
    failure.Set(kNotIsolated, FailureKind::kRetryable);
    return false;
  }
  const std::wstring from = ToExtendedPathIfLong(plan.companionPath);
  const std::wstring to = ToExtendedPathIfLong(staged);
  for (int attempt = 1; attempt <= 5; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    if (attempt < 5) Sleep(100);
  }
  failure.Set(kNotIsolated, FailureKind::kRetryable);
  return false;
}

bool RemoveManagedInternal(const fs::path& base, const fs::path& target, StepFailure& failure) {
  if (!EqualsIgnoreCase(target.parent_path().native(), base.native()) ||
      IsSamePath(target, base) || !IsWithin(base, target)) {
    failure.Set(kInternalUnsafe, FailureKind::kUnsafe);
    return false;
  }
  std::uint32_t attributes = 0;
  switch (QueryPathState(target, &attributes)) {
    case PathState::kMissing:
      return true;
    case PathState::kUnreadable:
      failure.Set("managed internal cleanup status is unavailable", FailureKind::kFailed);
      return false;
    default:
      break;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    failure.Set("managed internal cleanup reparse point is unsafe", FailureKind::kUnsafe);
    return false;
  }
  // A directory another process is just leaving may refuse for a moment: retried briefly
  // while nothing but "not empty" and "access denied" stands in the way.
  const fs::path physical = ToExtendedPath(target);
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::vector<TreeRemovalFailure> failures;
    if (RemoveTreeNoFollow(physical, &failures)) return true;
    for (const TreeRemovalFailure& failure_item : failures) {
      if (failure_item.code != ERROR_DIR_NOT_EMPTY && failure_item.code != ERROR_ACCESS_DENIED) {
        attempt = 10;
      }
    }
    if (attempt < 9) Sleep(10);
  }
  failure.Set("managed internal cleanup failed", FailureKind::kRetryable);
  return false;
}

bool CleanupManagedInternals(const std::string& pluginId,
                             const std::vector<std::string>& cachedIcons,
                             const PluginRegistry& registry, const fs::path& registryPath,
                             StepFailure& failure) {
  const fs::path manager = registryPath.parent_path();
  const fs::path id = Utf8ToWide(pluginId);
  if (!IsValidPluginId(pluginId)) {
    failure.Set(kInternalUnsafe, FailureKind::kUnsafe);
    return false;
  }
  for (const wchar_t* sub : {L"payloads", L"runtime", L"staging", L"uninstall_staging"}) {
    if (!RemoveManagedInternal(manager / sub, manager / sub / id, failure)) return false;
  }

  const fs::path journal = manager / L"journals" / (id.native() + L".json");
  std::uint32_t attributes = 0;
  const PathState journal_state = QueryPathState(journal, &attributes);
  if (!IsWithin(manager, journal) || UnreadableOrLink(journal_state, attributes)) {
    failure.Set("managed journal cleanup path is unsafe", FailureKind::kUnsafe);
    return false;
  }
  if (journal_state != PathState::kMissing) {
    std::string remove_error;
    if (!RemoveStateFile(journal, remove_error)) {
      failure.Set("managed journal cleanup failed", FailureKind::kRetryable);
      return false;
    }
  }

  std::set<std::string> in_use;
  for (const auto& [otherId, other] : registry.plugins) {
    if (otherId == pluginId) continue;
    if (!other.cached_icon.empty()) in_use.insert(other.cached_icon);
    for (const auto& [commandId, command] : other.commands) {
      if (!command.cached_icon.empty()) in_use.insert(command.cached_icon);
    }
  }
  const fs::path icons = manager / L"cache" / L"icons";
  for (const std::string& icon : cachedIcons) {
    if (!IsValidCachedIconRef(icon)) {
      failure.Set("managed cached icon metadata is invalid", FailureKind::kFailed);
      return false;
    }
    if (in_use.count(icon) != 0) continue;
    const fs::path file = icons / Utf8ToWide(icon.substr(12));
    const PathState state = QueryPathState(file, &attributes);
    if (!IsWithin(icons, file) || UnreadableOrLink(state, attributes)) {
      failure.Set("managed cached icon cleanup path is unsafe", FailureKind::kUnsafe);
      return false;
    }
    if (state == PathState::kMissing) continue;
    const std::wstring physical = ToExtendedPathIfLong(file);
    SetFileAttributesW(physical.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(physical.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      failure.Set("managed cached icon cleanup failed", FailureKind::kRetryable);
      return false;
    }
  }
  return true;
}

bool RemoveTombstoneFile(const fs::path& managerDir, const fs::path& tombstonePath,
                         StepFailure& failure) {
  std::uint32_t attributes = 0;
  const PathState state = QueryPathState(tombstonePath, &attributes);
  if (!IsWithin(managerDir / L"uninstall_journals", tombstonePath) ||
      UnreadableOrLink(state, attributes)) {
    failure.Set("uninstall tombstone cleanup path is unsafe", FailureKind::kUnsafe);
    return false;
  }
  if (state == PathState::kMissing) return true;
  std::string remove_error;
  if (!RemoveStateFile(tombstonePath, remove_error)) {
    failure.Set("uninstall tombstone cleanup failed", FailureKind::kRetryable);
    return false;
  }
  return true;
}

}  // namespace kel
