#include "registry/command_verification.h"

#include <algorithm>
#include <vector>

#include "common/win_error.h"
#include "identity/command_identity.h"

namespace kel {
namespace {

constexpr std::size_t kMaxStableKeyBytes = 1024;

bool IsLowerHexText(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

bool BuildManagedCommandIdentity(std::string_view plugin_id, RegistryCommand& command,
                                 std::string& error) {
  command.identity_version = 0;
  command.identity_canonical.clear();
  command.semantic_kind = std::string(kManagedSemanticKind);
  std::string text_error;
  if (command.stable_key.size() > kMaxStableKeyBytes ||
      command.stable_key.find('\0') != std::string::npos ||
      !CheckIdentityText(command.stable_key, text_error)) {
    SetErrorIfEmpty(error, "managed command stable key is invalid");
    return false;
  }
  const std::vector<SemanticField> fields = {
      {1, std::string(plugin_id)},
      {2, std::string(kManagedSemanticKind)},
      {3, command.stable_key},
  };
  CommandIdentity identity;
  std::string build_error;  // the builder clears its error text; the caller's stays
  if (!BuildCanonicalIdentity(kManagedProviderTag, fields, identity, build_error)) {
    SetErrorIfEmpty(error, build_error);
    return false;
  }
  command.id = identity.identity_id;
  command.identity_version = 2;
  command.identity_canonical = ToLowerHex(identity.canonical_bytes);
  return true;
}

bool VerifyManagedCommandIdentity(std::string_view plugin_id, const RegistryCommand& command,
                                  std::string& error) {
  const std::string& hex = command.identity_canonical;
  if (command.identity_version != 2 || hex.empty() || hex.size() % 2 != 0 || !IsLowerHexText(hex) ||
      command.semantic_kind != kManagedSemanticKind) {
    SetErrorIfEmpty(error, "managed command identity is invalid");
    return false;
  }
  if (command.stable_key.empty()) {
    return VerifyCanonicalIdentity(command.id, kManagedProviderTag, hex, error);
  }
  RegistryCommand rebuilt = command;
  if (!BuildManagedCommandIdentity(plugin_id, rebuilt, error)) return false;
  if (rebuilt.id != command.id || rebuilt.identity_canonical != hex) {
    SetErrorIfEmpty(error, "managed command identity does not match its semantic facts");
    return false;
  }
  return true;
}

bool ScopesAreAuthorised(const PluginRecord& plugin) {
  return std::all_of(plugin.external_command_scopes.begin(), plugin.external_command_scopes.end(),
                     [](const ExternalCommandScope& scope) {
                       return !scope.id.empty() && scope.proof == "icon_only" && !scope.base.empty() &&
                              !scope.relative_root.empty();
                     });
}

bool IsAuthorisedExternalIconCommand(const PluginRecord& plugin, const RegistryCommand& command) {
  if (command.origin != "verified_external_icon" || !ScopesAreAuthorised(plugin)) return false;
  for (const auto& scope : plugin.external_command_scopes) {
    if (scope.id != command.scope_id) continue;
    if (scope.proof != "icon_only") return false;
    return std::find(scope.exact_toolbars.begin(), scope.exact_toolbars.end(), command.toolbar) !=
           scope.exact_toolbars.end();
  }
  return false;
}

}  // namespace kel
