#include "net/release_trust.h"

#include <windows.h>
#include <bcrypt.h>

#include <ctime>
#include <vector>

#include "common/base64.h"
#include "common/handles.h"
#include "net/http_client.h"
#include "net/origin.h"

namespace kel {
namespace {

bool Sha256(std::string_view bytes, unsigned char (&digest)[32]) {
  unique_bcrypt_alg algorithm;
  return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM,
                                                    nullptr, 0)) &&
         BCRYPT_SUCCESS(BCryptHash(algorithm.get(), nullptr, 0,
                                   reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                   static_cast<ULONG>(bytes.size()), digest, sizeof(digest)));
}

std::string Hex(const unsigned char* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

// CNG's public blob of a P-256 key: its header, then X and Y.
bool VerifyP256(const ReleaseKey& key, std::string_view message, std::string_view signature) {
  if (key.point.size() != 64 || signature.size() != 64 || message.size() > ULONG_MAX) {
    return false;
  }
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  memcpy(blob.data(), &header, sizeof(header));
  memcpy(blob.data() + sizeof(header), key.point.data(), 64);
  unique_bcrypt_alg algorithm;
  unique_bcrypt_key public_key;
  unsigned char digest[32];
  std::string sig(signature);
  return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM,
                                                    nullptr, 0)) &&
         BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                            public_key.put(), blob.data(),
                                            static_cast<ULONG>(blob.size()), 0)) &&
         Sha256(message, digest) &&
         BCryptVerifySignature(public_key.get(), nullptr, digest, sizeof(digest),
                               reinterpret_cast<PUCHAR>(sig.data()),
                               static_cast<ULONG>(sig.size()), 0) == 0;
}

std::int64_t Now(const ReleaseTrust& trust) {
  return trust.now ? trust.now() : static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

ReleaseTrust LoadReleaseTrust(const char* const* spki_base64) {
  ReleaseTrust trust;
  for (; spki_base64 != nullptr && *spki_base64 != nullptr; ++spki_base64) {
    // Pinned even when a key cannot be read: nothing then verifies, and nothing is installed.
    trust.pinned = true;
    std::string der;
    ReleaseKey key;
    unsigned char digest[32];
    if (!DecodeBase64(*spki_base64, der) || !ParseP256PublicKey(der, key.point) ||
        !Sha256(der, digest)) {
      continue;
    }
    key.keyid = Hex(digest, sizeof(digest));
    trust.keys.push_back(std::move(key));
  }
  return trust;
}

bool ReadTrustedRelease(std::string_view body, const ReleaseTrust& trust,
                        InstallerRelease& release, std::string& error) {
  if (!trust.pinned) return ParseReleaseDocument(body, release, error);
  return ParseSignedReleaseDocument(body, trust.keys, VerifyP256, Now(trust), release, error);
}

bool FetchTrustedRelease(const std::string& origin, const ReleaseTrust& trust,
                         InstallerRelease& release, std::string& error) {
  std::string body;
  HttpOptions options;
  options.maxBodyBytes = kMaxReleaseDocumentBytes;
  if (!HttpGet(JoinOriginPath(origin, "/v3/installer/latest"), &body, nullptr, error, {},
               options)) {
    return false;
  }
  return ReadTrustedRelease(body, trust, release, error);
}

}  // namespace kel
