#include "decommission/restore.h"

#include <windows.h>

#include <cstdint>
#include <set>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "decommission/cleanup_steps.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/receipts.h"
#include "decommission/record_fingerprint.h"
#include "decommission/root_gate_lock.h"
#include "decommission/root_journal.h"
#include "decommission/uninstall_plan.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPayloadReadLimit = 16777216;
constexpr std::size_t kReadBackLimit = 134217728;

void Checkpoint(const RestoreCheckpointHook& hook, RestoreCheckpoint point) {
  if (hook) hook(point);
}

std::string FileNameUtf8(const std::string& loadFile) {
  return WideToUtf8(fs::path(Utf8ToWide(loadFile)).filename().native());
}

nlohmann::json RestoreResult(const std::string& pluginId, const PluginRecord& record,
                             const fs::path& rootEntry, bool cleanupComplete,
                             bool cleanupRetryable, const std::string& cleanupError) {
  const fs::path load_file(Utf8ToWide(record.load_file));
  nlohmann::json result = nlohmann::json::object();
  result["success"] = true;
  result["status"] = cleanupComplete ? "restored" : "restored_cleanup_incomplete";
  result["pluginId"] = pluginId;
  result["rootEntry"] = WideToUtf8(rootEntry.native());
  result["candidateId"] = CandidateId(rootEntry);
  result["entryName"] = FileNameUtf8(record.load_file);
  result["name"] = WideToUtf8(load_file.filename().stem().native());
  result["loadFile"] = FileNameUtf8(record.load_file);
  result["installRoot"] = record.install_root;
  result["companionName"] = record.companion_name;
  result["registryCommitted"] = true;
  result["cleanupComplete"] = cleanupComplete;
  result["cleanupRetryable"] = cleanupRetryable;
  // The companion never left the Plugins root, and SketchUp picks the entry up at its next
  // start only.
  result["companionPreserved"] = true;
  result["requiresRestart"] = true;
  if (!cleanupComplete) result["warning"] = cleanupError;
  return result;
}

}  // namespace

std::string CandidateId(const fs::path& path) {
  const std::string name = WideToUtf8(path.filename().native());
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (char c : name) {
    const char lowered = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    hash ^= static_cast<unsigned char>(lowered);
    hash *= 0x100000001b3ULL;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), kHex[hash & 0xF]);
    hash >>= 4;
  } while (hash != 0);
  return "su.root." + hex;
}

void KeepEntryNameCase(const fs::path& path) {
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW(path.c_str(), &data));
  if (!find) return;
  const std::wstring stored = data.cFileName;
  const std::wstring wanted = path.filename().native();
  if (stored == wanted || !EqualsIgnoreCase(stored, wanted)) {
    return;
  }
  MoveFileExW((path.parent_path() / stored).c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
}

bool VerifyActivePayload(const PluginRecord& record, const fs::path& payloadPath,
                         std::string& content, std::string& error) {
  content.clear();
  bool existed = false;
  std::string read_error;
  if (!ReadStateFile(payloadPath, kPayloadReadLimit, true, existed, content, read_error) ||
      !existed) {
    content.clear();
    SetErrorIfEmpty(error, "active payload is unavailable");
    return false;
  }
  std::string digest;
  if (!Sha256Tagged(content, digest, error)) {
    content.clear();
    return false;
  }
  if (digest != "sha256:" + record.active_generation) {
    content.clear();
    SetErrorIfEmpty(error, "active payload generation digest mismatch");
    return false;
  }
  return true;
}

bool RestoreManagedPlugin(const std::string& pluginId, const std::string& registryPath,
                          nlohmann::json& result, std::string& error) {
  return RestoreManagedPlugin(pluginId, registryPath, result, error, {});
}

bool RestoreManagedPlugin(const std::string& pluginId, const std::string& registryPath,
                          nlohmann::json& result, std::string& error,
                          const RestoreCheckpointHook& checkpoint) {
  RootGateLock gate_lock;
  if (!gate_lock.owned()) {
    SetErrorIfEmpty(error, "root gate lock timed out");
    return false;
  }
  if (!IsValidPluginId(pluginId)) {
    SetErrorIfEmpty(error, "plugin id is invalid");
    return false;
  }
  const fs::path registry_path(Utf8ToWide(registryPath));
  PluginRegistry registry;
  if (registryPath.empty() || registry_path.empty() ||
      !LoadRegistry(registry_path, registry, error)) {
    SetErrorIfEmpty(error, "plugin id is not present in the shared registry");
    return false;
  }
  const auto found = registry.plugins.find(pluginId);
  if (found == registry.plugins.end()) {
    SetErrorIfEmpty(error, "plugin id is not present in the shared registry");
    return false;
  }

  std::set<std::string> handled;
  if (!FinalizeRootJournals(registry_path, registry, handled, error)) return false;

  // The journals may have changed nothing in the registry, but read the record as it stands.
  const PluginRecord record = found->second;
  UninstallPlan plan;
  if (!BuildUninstallPlan(pluginId, record, registry, registry_path, plan, error)) return false;

  const fs::path payload_path = registry_path.parent_path() / L"payloads" /
                                Utf8ToWide(pluginId) / Utf8ToWide(record.active_generation) /
                                Utf8ToWide(record.load_file);
  std::string payload;
  if (!VerifyActivePayload(record, payload_path, payload, error)) return false;
  if (record.package_hash != "sha256:" + record.active_generation) {
    SetErrorIfEmpty(error, "managed restore payload identity is invalid");
    return false;
  }
  // A missing entry (a crash moved the gate aside before anything took its place) is written
  // back like a gate's.
  if (QueryPathState(plan.gatePath) != PathState::kMissing &&
      !IsGateForPlugin(plan.gatePath, pluginId)) {
    SetErrorIfEmpty(error, "managed root Gate does not match plugin id");
    return false;
  }

  if (!WriteFileMovingLockedAside(plan.gatePath, payload, error, registry_path)) {
    SetErrorIfEmpty(error, "original root payload restoration could not be verified");
    return false;
  }
  bool existed = false;
  std::string written;
  std::string read_error;
  if (!ReadStateFile(plan.gatePath, kReadBackLimit, true, existed, written, read_error) ||
      !existed || written != payload) {
    SetErrorIfEmpty(error, "original root payload restoration could not be verified");
    return false;
  }
  KeepEntryNameCase(plan.gatePath);
  Checkpoint(checkpoint, RestoreCheckpoint::kEntryWritten);

  PluginRegistry after;
  if (!RemovePluginFromRegistry(registry_path, pluginId, after, error)) {
    SetErrorIfEmpty(error, "plugin registry record could not be removed");
    // The record still says "managed": put the gate back so that the root agrees with it.
    std::string rollback_error;
    if (!WriteFileMovingLockedAside(plan.gatePath, GateText(pluginId), rollback_error,
                                    registry_path)) {
      if (rollback_error.empty()) rollback_error = "gate could not be written";
      error += "; Gate rollback failed: " + rollback_error;
    }
    return false;
  }
  Checkpoint(checkpoint, RestoreCheckpoint::kRegistryCommitted);

  StepFailure cleanup;
  const bool cleaned =
      CleanupManagedInternals(pluginId, plan.cachedIcons, after, registry_path, cleanup);
  result = RestoreResult(pluginId, record, plan.gatePath, cleaned,
                         cleanup.kind == FailureKind::kRetryable, cleanup.message);
  return true;
}

}  // namespace kel
