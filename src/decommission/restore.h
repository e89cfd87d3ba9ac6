#pragma once

// Hands a managed user-installed plugin back to SketchUp: its own root entry file, kept in the
// payload store while it was managed, is written back over its gate, checked, and only then is
// its registry record removed. Should the registry refuse, the gate goes back so that registry
// and Plugins root keep agreeing.

#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "registry/registry_document.h"

namespace kel {

// "su.root." + FNV-1a 64 of the last path component, ASCII lower-cased, in lower-case hex.
std::string CandidateId(const std::filesystem::path& path);

// The state-file writer leaves a replaced file under the lower-case form of its name; a
// user's entry file gets its own spelling back (a rename that changes only the case). Best
// effort: SketchUp finds the file either way.
void KeepEntryNameCase(const std::filesystem::path& path);

// Reads the payload (16 MiB at most) and checks that it hashes to the record's active
// generation.
bool VerifyActivePayload(const PluginRecord& record, const std::filesystem::path& payloadPath,
                         std::string& content, std::string& error);

// Only the plugin id is taken from the caller; the record itself is read again under the
// root-gate lock. registryPath is UTF-8. On success `result` holds the outcome.
bool RestoreManagedPlugin(const std::string& pluginId, const std::string& registryPath,
                          nlohmann::json& result, std::string& error);

// Points at which a crash or race test may step in. Production passes no hook.
enum class RestoreCheckpoint {
  kEntryWritten,       // own entry written and read back, registry record still present
  kRegistryCommitted,  // record removed, internal files not yet cleaned
};
using RestoreCheckpointHook = std::function<void(RestoreCheckpoint)>;

bool RestoreManagedPlugin(const std::string& pluginId, const std::string& registryPath,
                          nlohmann::json& result, std::string& error,
                          const RestoreCheckpointHook& checkpoint);

}  // namespace kel
