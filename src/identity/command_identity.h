#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// One numbered fact of an identity. Ids 1..65535; the value is UTF-8 of at most 1 MiB.
struct SemanticField {
  std::uint16_t id = 0;
  std::string value;

  bool operator==(const SemanticField&) const = default;
};

struct CommandIdentity {
  std::string canonical_bytes;  // the exact byte layout that is hashed
  std::string digest;           // 64 lower-case hex digits of SHA-256(canonical_bytes)
  std::string identity_id;      // "cc2." + provider tag + "." + digest
};

inline constexpr std::size_t kMaxSemanticFieldBytes = 1048576;
inline constexpr std::size_t kMaxProviderTagBytes = 1024;
inline constexpr std::size_t kMaxCanonicalHexChars = 16384;

// Strict UTF-8 without C0/C1 control characters. An empty text passes.
bool CheckIdentityText(std::string_view text, std::string& error);

// Validates, sorts by field id and encodes. `error` is cleared first.
bool BuildCanonicalIdentity(std::string_view provider_tag, const std::vector<SemanticField>& fields,
                            CommandIdentity& identity_out, std::string& error);

// Decodes lower-case hex, checks the framing and that a rebuild yields the same bytes and
// `expected_id`. On failure both outputs are emptied.
bool ParseCanonicalIdentity(std::string_view expected_id, std::string_view canonical_hex,
                            std::string& provider_out, std::vector<SemanticField>& fields_out,
                            std::string& error);

bool VerifyCanonicalIdentity(std::string_view expected_id, std::string_view expected_provider,
                             std::string_view canonical_hex, std::string& error);

// SHA-256 through CNG, as 64 lower-case hex digits.
bool Sha256Hex(std::string_view bytes, std::string& digest_out, std::string& error);

// Relative path of an identity: "/" separators, no "." or empty segments, ASCII lowered.
bool NormalizeIdentityPath(std::string_view path, std::string& normalised_out, std::string& error);

// Two lower-case hex digits per byte, high nibble first.
std::string ToLowerHex(std::string_view bytes);

}  // namespace kel
