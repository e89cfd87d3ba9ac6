// The metadata envelope of the installer release: JSON only, no Windows headers.
#include <nlohmann/json.hpp>

#include "common/base64.h"
#include "net/release.h"
#include "net/release_trust.h"

namespace kel {
namespace {

constexpr char kInvalidFormat[] = "服务器返回的版本元数据格式无效";

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Only a number that is exactly 0 means success; a missing code counts as -1. Other kinds of
// value (text, true/false, null) are a malformed document, not a code the library would
// quietly turn into 0 or 1.
bool CodeIsZero(const nlohmann::json& document) {
  const auto code = document.find("code");
  if (code == document.end()) return false;
  if (code->is_number_unsigned()) return code->get<std::uint64_t>() == 0;
  if (code->is_number_integer()) return code->get<std::int64_t>() == 0;
  if (code->is_number_float()) return code->get<double>() == 0.0;
  throw nlohmann::json::type_error::create(302, "code is not a number", &*code);
}

void ReadFields(const nlohmann::json& data, InstallerRelease& release) {
  const InstallerRelease defaults;
  release.featureCode = data.value("featureCode", defaults.featureCode);
  release.pluginName = data.value("pluginName", defaults.pluginName);
  release.versionCode = data.value("versionCode", defaults.versionCode);
  release.zipSha256 = Lower(data.value("zipSha256", defaults.zipSha256));
  release.fileSizeBytes = data.value("fileSizeBytes", defaults.fileSizeBytes);
  release.changelog = data.value("changelog", defaults.changelog);
  release.suVersions = data.value("suVersions", defaults.suVersions);
  release.downloadZipUrl = data.value("downloadZipUrl", defaults.downloadZipUrl);
  release.blobDownloadUrlPrefix =
      data.value("blobDownloadUrlPrefix", defaults.blobDownloadUrlPrefix);
  release.files.clear();
  const auto files = data.find("files");
  if (files == data.end() || !files->is_array()) return;
  for (const nlohmann::json& element : *files) {
    if (!element.is_object()) continue;
    ReleaseFile file;
    file.relativePath = element.value("relativePath", std::string());
    file.sha256 = Lower(element.value("sha256", std::string()));
    file.size = element.value("size", std::uint64_t{0});
    // Only the length is checked here; a digest that is not hex can never match a file.
    if (!file.relativePath.empty() && file.sha256.size() == 64) {
      release.files.push_back(std::move(file));
    }
  }
}

// The envelope as every build reads it: an object, "code" 0 and a "data" object. Fills
// `document` and returns false with the error set otherwise.
bool ReadEnvelope(std::string_view body, nlohmann::json& document, std::string& error) {
  document = nlohmann::json::parse(body, nullptr, false, false);
  if (!document.is_object()) {
    error = kInvalidFormat;
    return false;
  }
  // A value of the wrong JSON type is a malformed document like any other, not a crash of
  // the caller.
  try {
    const auto data = document.find("data");
    if (!CodeIsZero(document) || data == document.end() || !data->is_object()) {
      const auto msg = document.find("msg");
      if (msg != document.end() && msg->is_string() && !msg->get<std::string>().empty()) {
        error = msg->get<std::string>();
      } else {
        error = "获取安装器最新版本失败";
      }
      return false;
    }
  } catch (const nlohmann::json::exception&) {
    error = kInvalidFormat;
    return false;
  }
  return true;
}

bool ReadRelease(const nlohmann::json& data, InstallerRelease& release, std::string& error) {
  InstallerRelease parsed;
  try {
    ReadFields(data, parsed);
  } catch (const nlohmann::json::exception&) {
    error = kInvalidFormat;
    return false;
  }
  // An empty version leaves the text to the caller.
  if (parsed.versionCode.empty()) return false;
  release = std::move(parsed);
  return true;
}

// "expiresAt" is a whole number of seconds no more than the grace before `now`; any other
// value (missing, text, a fraction) counts as expired.
bool NotExpired(const nlohmann::json& signed_release, std::int64_t now) {
  const auto expires = signed_release.find("expiresAt");
  if (expires == signed_release.end()) return false;
  __int128 at = 0;
  if (expires->is_number_unsigned()) {
    at = expires->get<std::uint64_t>();
  } else if (expires->is_number_integer()) {
    at = expires->get<std::int64_t>();
  } else {
    return false;
  }
  return at + kExpiryGraceSeconds >= now;
}

// One signature by a pinned key that verifies over the decoded bytes. Each key is tried once
// (its first entry), so a document cannot make the check run for long.
bool SignedByPinnedKey(const nlohmann::json& signatures, std::string_view message,
                       const std::vector<ReleaseKey>& keys, const SignatureCheck& verify) {
  if (!signatures.is_array()) return false;
  std::vector<bool> tried(keys.size(), false);
  for (const nlohmann::json& entry : signatures) {
    if (!entry.is_object()) continue;
    const auto keyid = entry.find("keyid");
    const auto sig = entry.find("sig");
    if (keyid == entry.end() || !keyid->is_string() || sig == entry.end() || !sig->is_string()) {
      continue;
    }
    const std::string id = Lower(keyid->get<std::string>());
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (tried[k] || keys[k].keyid != id) continue;
      tried[k] = true;
      std::string signature;
      if (DecodeBase64(sig->get<std::string>(), signature) && signature.size() == 64 &&
          verify(keys[k], message, signature)) {
        return true;
      }
    }
  }
  return false;
}

// Every field of the unsigned "data" must be what was signed: a document that pairs a signed
// release with other unsigned fields has been tampered with.
bool DataIsCovered(const nlohmann::json& data, const nlohmann::json& signed_release) {
  for (auto it = data.begin(); it != data.end(); ++it) {
    const auto same = signed_release.find(it.key());
    if (same == signed_release.end() || *same != it.value()) return false;
  }
  return true;
}

}  // namespace

bool ParseReleaseDocument(std::string_view body, InstallerRelease& release, std::string& error) {
  nlohmann::json document;
  if (!ReadEnvelope(body, document, error)) return false;
  return ReadRelease(document["data"], release, error);
}

bool ParseP256PublicKey(std::string_view der, std::string& point) {
  // SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }: the one DER
  // spelling of an uncompressed P-256 key.
  static constexpr unsigned char kPrefix[] = {
      0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
      0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
  if (der.size() != sizeof(kPrefix) + 64 ||
      der.substr(0, sizeof(kPrefix)) !=
          std::string_view(reinterpret_cast<const char*>(kPrefix), sizeof(kPrefix))) {
    return false;
  }
  point = std::string(der.substr(sizeof(kPrefix)));
  return true;
}

bool ParseSignedReleaseDocument(std::string_view body, const std::vector<ReleaseKey>& keys,
                                const SignatureCheck& verify, std::int64_t now,
                                InstallerRelease& release, std::string& error) {
  nlohmann::json document;
  if (!ReadEnvelope(body, document, error)) {
    // The server's own words are unsigned as well: whoever answers in its place must not put
    // text of their choosing before the user.
    if (error != kInvalidFormat) error = "获取安装器最新版本失败";
    return false;
  }
  const auto signed_text = document.find("signed");
  const auto signatures = document.find("signatures");
  std::string message;
  if (signed_text == document.end() || !signed_text->is_string() ||
      signatures == document.end() ||
      !DecodeBase64(signed_text->get<std::string>(), message) ||
      !SignedByPinnedKey(*signatures, message, keys, verify)) {
    error = kBadSignatureText;
    return false;
  }
  const nlohmann::json signed_release = nlohmann::json::parse(message, nullptr, false, false);
  if (!signed_release.is_object()) {
    error = kInvalidFormat;
    return false;
  }
  if (!DataIsCovered(document["data"], signed_release)) {
    error = kBadSignatureText;
    return false;
  }
  if (!NotExpired(signed_release, now)) {
    error = kExpiredText;
    return false;
  }
  return ReadRelease(signed_release, release, error);
}

}  // namespace kel
