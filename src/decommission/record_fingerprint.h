#pragma once

// SHA-256 in the tagged form "sha256:" + 64 lower-case hex digits, and the fingerprint of a
// registry record that a tombstone keeps.

#include <string>
#include <string_view>

#include "registry/registry_document.h"

namespace kel {

// Fails with "SHA-256 provider is unavailable" or "tree manifest could not be SHA-256 hashed".
bool Sha256Tagged(std::string_view bytes, std::string& tagged, std::string& error);

// Sha256Tagged of: pluginId NUL installRoot NUL loadFile NUL companionName NUL packageHash,
// then per command in id order: NUL id NUL cachedIcon.
bool RecordFingerprint(std::string_view pluginId, const PluginRecord& record,
                       std::string& fingerprint, std::string& error);

// The text after a leading "sha256:", or empty when it does not start with it.
std::string StripSha256Prefix(std::string_view text);

}  // namespace kel
