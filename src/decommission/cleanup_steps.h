#pragma once

// The cleanup steps after an uninstall's registry commit (and, for the internal files, after a
// restore's): each can be repeated from the tombstone until it succeeds. A failure carries
// its kind with its text, so that callers never have to read meaning out of a message.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "decommission/uninstall_plan.h"
#include "registry/registry_document.h"

namespace kel {

enum class FailureKind {
  kNone,
  kFailed,     // a check that will fail the same way next time
  kRetryable,  // a file or directory still in use: goes away once it is closed
  kUnsafe,     // a path that escapes its directory or is a link: never retried
};

// The first failure of a step sequence; later ones never overwrite it.
struct StepFailure {
  std::string message;
  FailureKind kind = FailureKind::kNone;

  bool failed() const { return kind != FailureKind::kNone; }
  void Set(std::string_view text, FailureKind what) {
    if (failed()) return;
    message = text;
    kind = what;
  }
};

// Deletes the plan's gate (three attempts, 50 ms apart); a missing gate is done.
bool RemoveGate(const UninstallPlan& plan, StepFailure& failure);

// Moves an exclusive companion into uninstall_staging\<id>\<name> beside the registry.
bool IsolateCompanion(const UninstallPlan& plan, const std::filesystem::path& managerDir,
                      StepFailure& failure);

// Payload generations, runtime, staging and uninstall staging data, the root journal and the
// cached icons no other record of the registry uses.
bool CleanupManagedInternals(const std::string& pluginId,
                             const std::vector<std::string>& cachedIcons,
                             const PluginRegistry& registry,
                             const std::filesystem::path& registryPath, StepFailure& failure);

// Removes base\<name> (a file or a whole tree, links never followed).
bool RemoveManagedInternal(const std::filesystem::path& base,
                           const std::filesystem::path& target, StepFailure& failure);

// The last step: the tombstone goes once nothing is left to do.
bool RemoveTombstoneFile(const std::filesystem::path& managerDir,
                         const std::filesystem::path& tombstonePath, StepFailure& failure);

}  // namespace kel
