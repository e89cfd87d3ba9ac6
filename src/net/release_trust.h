#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/release.h"

namespace kel {

// A publisher's ECDSA P-256 release key.
struct ReleaseKey {
  std::string keyid;  // lower-case hex SHA-256 of the DER SubjectPublicKeyInfo
  std::string point;  // 64 bytes: X then Y, big-endian
};

// What a release must prove before it is installed. Without pinned keys every release is
// taken as the backend sends it.
struct ReleaseTrust {
  // Keys were compiled into the program: every release document must be signed by one.
  bool pinned = false;
  std::vector<ReleaseKey> keys;  // those of the pinned keys that could be read
  // With pinned keys a release older than the installed version is refused unless this is set.
  bool allowDowngrade = false;
  // Seconds since 1970-01-01 UTC; empty: the system clock.
  std::function<std::int64_t()> now;
};

inline constexpr char kBadSignatureText[] = "版本元数据签名无效";
inline constexpr char kExpiredText[] = "版本元数据已过期";
inline constexpr char kOfflineManifestText[] = "离线安装包缺少有效的签名清单";
inline constexpr char kDowngradeText[] = "服务器提供的版本低于已安装版本";
// How far past its "expiresAt" a document is still accepted (clocks differ).
inline constexpr std::int64_t kExpiryGraceSeconds = 300;

// The 64-byte point of a DER SubjectPublicKeyInfo of a P-256 key (uncompressed form), or
// false. No Windows headers.
bool ParseP256PublicKey(std::string_view der, std::string& point);

// True when `signature` (64 bytes, r then s) is the ECDSA/SHA-256 signature of `message`.
using SignatureCheck = std::function<bool(const ReleaseKey& key, std::string_view message,
                                          std::string_view signature)>;

// The signed metadata envelope: "signed" (Base64 of a JSON object with every field of "data"
// and "expiresAt") and "signatures" [{"keyid", "sig"}]. The release is read from "signed"
// once a signature by one of `keys` verifies and the document has not expired at `now`.
// No Windows headers: the signature check is passed in.
bool ParseSignedReleaseDocument(std::string_view body, const std::vector<ReleaseKey>& keys,
                                const SignatureCheck& verify, std::int64_t now,
                                InstallerRelease& release, std::string& error);

// Reads the compiled-in keys (Base64 DER SubjectPublicKeyInfo, the list ended by nullptr).
ReleaseTrust LoadReleaseTrust(const char* const* spki_base64);

// The release of a metadata document under `trust`: as sent without pinned keys, signed and
// current with them.
bool ReadTrustedRelease(std::string_view body, const ReleaseTrust& trust,
                        InstallerRelease& release, std::string& error);

// FetchLatestRelease under `trust`.
bool FetchTrustedRelease(const std::string& origin, const ReleaseTrust& trust,
                         InstallerRelease& release, std::string& error);

}  // namespace kel
