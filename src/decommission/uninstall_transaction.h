#pragma once

// Uninstalling one marketplace plugin from one registry as a small crash-safe transaction:
// plan validated, tombstone written, registry record removed (the point of no return), then
// gate, companion and internal files cleaned up. Every cleanup step can be repeated from the
// tombstone by a later call. Runs under the root-gate mutex shared with the plugin manager.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/handles.h"
#include "decommission/managed_paths.h"
#include "decommission/record_fingerprint.h"
#include "registry/registry_document.h"

namespace kel {

inline constexpr wchar_t kRootGateMutexName[] = L"Local\\Kelmar.PluginManager.RootGate.v2";
inline constexpr unsigned long kRootGateLockTimeoutMs = 8000;
inline constexpr std::size_t kMaxTombstoneCachedIcons = 1024;

struct UninstallPlan {
  std::string pluginId;
  std::filesystem::path pluginsRoot;
  std::filesystem::path gatePath;
  std::filesystem::path companionPath;  // empty when the plugin has no companion
  std::vector<std::string> cachedIcons;
};

// Points at which a crash test may stop the process. Production passes no hook.
enum class UninstallCheckpoint {
  kTombstoneWritten,   // tombstone on disk, registry record still present
  kRegistryCommitted,  // record removed, no cleanup done yet
  kGateRemoved,        // gate gone, companion not yet isolated
  kCompanionIsolated,  // companion in uninstall_staging, internals not yet removed
  kInternalsCleaned,   // internal files gone, tombstone still present
};
using UninstallCheckpointHook = std::function<void(UninstallCheckpoint)>;

// Holds the root-gate mutex for its lifetime (an abandoned wait counts as owning it).
class RootGateLock {
 public:
  explicit RootGateLock(unsigned long timeout_ms = kRootGateLockTimeoutMs);
  ~RootGateLock();
  RootGateLock(const RootGateLock&) = delete;
  RootGateLock& operator=(const RootGateLock&) = delete;
  bool owned() const { return owned_; }

 private:
  unique_handle mutex_;
  bool owned_ = false;
};

// True: the registry commit is done (now or earlier) and result holds the cleanup outcome.
// False: nothing was committed and error says why.
bool UninstallManagedPlugin(const std::string& pluginId, const std::string& registryPathUtf8,
                            nlohmann::json& result, std::string& error,
                            const UninstallCheckpointHook& checkpoint = {});

bool BuildUninstallPlan(const std::string& pluginId, const PluginRecord& record,
                        const PluginRegistry& registry, const std::filesystem::path& registryPath,
                        UninstallPlan& plan, std::string& error);

// The manager directory and its cleanup subdirectories are plain directories, the tombstone
// path is safe, and the plan's companion is no other record's gate.
bool ValidateCleanupDirectories(const std::filesystem::path& registryPath,
                                const std::filesystem::path& tombstonePath,
                                const PluginRegistry& registry, const UninstallPlan& plan,
                                bool requireTombstone, std::string& error);

bool CheckTombstonePath(const std::filesystem::path& registryPath,
                        const std::filesystem::path& tombstonePath, bool requireExisting,
                        std::string& error);

bool ReadUninstallTombstone(const std::filesystem::path& tombstonePath,
                            const std::string& pluginId,
                            const std::filesystem::path& registryPath, UninstallPlan& plan,
                            std::string& error);

// The tombstone document for a plan and record fingerprint.
nlohmann::json TombstoneDocument(const UninstallPlan& plan, const PluginRecord& record,
                                 const std::string& fingerprint);

// Always completes; the outcome is in result.
void CommitUninstall(const UninstallPlan& plan, const std::filesystem::path& registryPath,
                     const std::filesystem::path& tombstonePath, const PluginRegistry& registry,
                     nlohmann::json& result, const UninstallCheckpointHook& checkpoint = {});

bool CleanupManagedInternals(const std::string& pluginId,
                             const std::vector<std::string>& cachedIcons,
                             const PluginRegistry& registry,
                             const std::filesystem::path& registryPath, std::string& error,
                             bool& retryable, bool& unsafe);

bool RemoveManagedInternal(const std::filesystem::path& base,
                           const std::filesystem::path& target, std::string& error,
                           bool& retryable);

// Failures that go away once the files are no longer in use ("retryAfterExit").
bool IsRetryableUninstallFailure(std::string_view text);
// Failures met on a path that escapes its directory or is a link; they are never retried.
bool IsUnsafeUninstallFailure(std::string_view text);

// parent(registryPath)\uninstall_journals\<pluginId>.json
std::filesystem::path TombstonePathFor(const std::filesystem::path& registryPath,
                                       std::string_view pluginId);

}  // namespace kel
