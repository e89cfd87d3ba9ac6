#include "decommission/record_fingerprint.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "common/handles.h"
#include "common/win_error.h"

namespace kel {

bool Sha256Tagged(std::string_view bytes, std::string& tagged, std::string& error) {
  unique_bcrypt_alg algorithm;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM,
                                                  nullptr, 0))) {
    SetErrorIfEmpty(error, "SHA-256 provider is unavailable");
    return false;
  }
  DWORD object_length = 0;
  ULONG written = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&object_length),
                                        sizeof(object_length), &written, 0))) {
    SetErrorIfEmpty(error, "SHA-256 provider is unavailable");
    return false;
  }
  std::vector<UCHAR> object(object_length);
  unique_bcrypt_hash hash;
  UCHAR digest[32] = {};
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), object.data(),
                                            object_length, nullptr, 0, 0));
  // Hash in pieces: BCryptHashData takes a 32-bit length.
  std::size_t offset = 0;
  while (ok && offset < bytes.size()) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - offset, 1u << 30));
    ok = BCRYPT_SUCCESS(BCryptHashData(
        hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + offset)), piece, 0));
    offset += piece;
  }
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, sizeof(digest), 0));
  if (!ok) {
    SetErrorIfEmpty(error, "tree manifest could not be SHA-256 hashed");
    return false;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  tagged = "sha256:";
  for (UCHAR b : digest) {
    tagged.push_back(kHex[b >> 4]);
    tagged.push_back(kHex[b & 0x0F]);
  }
  return true;
}

bool RecordFingerprint(std::string_view pluginId, const PluginRecord& record,
                       std::string& fingerprint, std::string& error) {
  std::string bytes(pluginId);
  for (const std::string* field : {&record.install_root, &record.load_file,
                                   &record.companion_name, &record.package_hash}) {
    bytes.push_back('\0');
    bytes.append(*field);
  }
  for (const auto& [id, command] : record.commands) {
    bytes.push_back('\0');
    bytes.append(id);
    bytes.push_back('\0');
    bytes.append(command.cached_icon);
  }
  return Sha256Tagged(bytes, fingerprint, error);
}

std::string StripSha256Prefix(std::string_view text) {
  constexpr std::string_view kPrefix = "sha256:";
  if (text.substr(0, kPrefix.size()) != kPrefix) return {};
  return std::string(text.substr(kPrefix.size()));
}

}  // namespace kel
