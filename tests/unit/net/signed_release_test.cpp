#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

#include "common/base64.h"
#include "common/handles.h"
#include "net/release_trust.h"

namespace kel {
namespace {

using nlohmann::json;

constexpr std::int64_t kNow = 1'800'000'000;

std::string Base64(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kAlphabet[group >> (18 - 6 * k) & 63] : '=');
    }
  }
  return out;
}

// A throwaway P-256 key made by CNG for this test run.
class TestKey {
 public:
  TestKey() {
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(
        algorithm_.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)));
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptGenerateKeyPair(algorithm_.get(), key_.put(), 256, 0)));
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key_.get(), 0)));
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    ULONG size = 0;
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptExportKey(key_.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob,
                                               sizeof(blob), &size, 0)));
    static const unsigned char kHead[] = {
        0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
        0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
    spki_ = Base64(std::string(reinterpret_cast<const char*>(kHead), sizeof(kHead)) +
                   std::string(reinterpret_cast<const char*>(blob) + sizeof(BCRYPT_ECCKEY_BLOB),
                               64));
  }
  const char* spki() const { return spki_.c_str(); }
  std::string keyid() const { return LoadReleaseTrust(std::vector<const char*>{spki(), nullptr}.data()).keys.at(0).keyid; }

  std::string Sign(std::string_view message) const {
    unique_bcrypt_alg sha;
    unsigned char digest[32];
    EXPECT_TRUE(BCRYPT_SUCCESS(
        BCryptOpenAlgorithmProvider(sha.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)));
    EXPECT_TRUE(BCRYPT_SUCCESS(BCryptHash(sha.get(), nullptr, 0,
                                          reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                                          static_cast<ULONG>(message.size()), digest, 32)));
    unsigned char signature[64];
    ULONG size = 0;
    EXPECT_TRUE(BCRYPT_SUCCESS(
        BCryptSignHash(key_.get(), nullptr, digest, 32, signature, 64, &size, 0)));
    return Base64(std::string(reinterpret_cast<const char*>(signature), size));
  }

 private:
  unique_bcrypt_alg algorithm_;
  unique_bcrypt_key key_;
  std::string spki_;
};

struct Keys {
  TestKey first, second, unpinned;
  ReleaseTrust trust;
  Keys() {
    const char* pinned[] = {first.spki(), second.spki(), nullptr};
    trust = LoadReleaseTrust(pinned);
    trust.now = [] { return kNow; };
  }
};

Keys& TestKeys() {
  static Keys keys;
  return keys;
}

json Data() {
  return {{"versionCode", "2.0.0"},
          {"zipSha256", std::string(64, 'a')},
          {"fileSizeBytes", 1234},
          {"files", json::array({{{"relativePath", "kel_plugin_center.rb"},
                                  {"sha256", std::string(64, 'b')},
                                  {"size", 12}}})}};
}

// The envelope the publisher's tool writes: `data` signed with `expires` by `key`.
json Envelope(const TestKey& key, json expires = kNow + 3600, json data = Data()) {
  json signed_release = data;
  if (!expires.is_null()) signed_release["expiresAt"] = expires;
  const std::string message = signed_release.dump();
  return {{"code", 0},
          {"msg", "success"},
          {"data", data},
          {"signed", Base64(message)},
          {"signatures", json::array({{{"keyid", key.keyid()}, {"sig", key.Sign(message)}}})}};
}

struct Outcome {
  bool ok;
  std::string error;
  InstallerRelease release;
};

Outcome Read(const json& document, const ReleaseTrust& trust = TestKeys().trust) {
  Outcome outcome;
  outcome.release.versionCode = "untouched";
  outcome.ok = ReadTrustedRelease(document.dump(), trust, outcome.release, outcome.error);
  return outcome;
}

TEST(SignedRelease, SignedByAPinnedKeyAndCurrent) {
  Keys& keys = TestKeys();
  for (const TestKey* key : {&keys.first, &keys.second}) {
    const Outcome outcome = Read(Envelope(*key));
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.release.versionCode, "2.0.0");
    EXPECT_EQ(outcome.release.fileSizeBytes, 1234u);
    ASSERT_EQ(outcome.release.files.size(), 1u);
  }
  // The release is what was signed: "data" may leave fields out, never add or change one.
  json document = Envelope(keys.first);
  document["data"] = {{"versionCode", "2.0.0"}};
  const Outcome partial = Read(document);
  ASSERT_TRUE(partial.ok) << partial.error;
  EXPECT_EQ(partial.release.zipSha256, std::string(64, 'a'));
  EXPECT_EQ(partial.release.files.size(), 1u);
  // Key ids in upper case name the same key.
  document = Envelope(keys.first);
  std::string id = document["signatures"][0]["keyid"];
  for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  document["signatures"][0]["keyid"] = id;
  EXPECT_TRUE(Read(document).ok);
  // Without pinned keys the same envelope is read from "data", as every earlier build did.
  document = Envelope(keys.first);
  document["data"]["versionCode"] = "9.9.9";
  const Outcome unpinned = Read(document, ReleaseTrust{});
  ASSERT_TRUE(unpinned.ok);
  EXPECT_EQ(unpinned.release.versionCode, "9.9.9");
}

TEST(SignedRelease, RefusedDocuments) {
  Keys& keys = TestKeys();
  const json good = Envelope(keys.first);
  const std::string signed_text = good["signed"];
  std::string decoded;
  ASSERT_TRUE(DecodeBase64(signed_text, decoded));
  const auto with = [&good](const char* key, json value) {
    json document = good;
    if (value.is_null()) {
      document.erase(key);
    } else {
      document[key] = value;
    }
    return document;
  };
  const auto signature = [&good](json sig, json keyid = nullptr) {
    json document = good;
    document["signatures"][0]["sig"] = sig;
    if (!keyid.is_null()) document["signatures"][0]["keyid"] = keyid;
    return document;
  };
  std::string altered = decoded;
  altered.replace(altered.find("2.0.0"), 5, "0.0.1");
  json data_altered = good;
  data_altered["data"]["zipSha256"] = std::string(64, 'c');
  json data_added = good;
  data_added["data"]["downloadZipUrl"] = "/elsewhere.zip";
  // An unpinned key's valid signature, and a pinned key's id on another key's signature.
  json second_sig_bogus = good;
  second_sig_bogus["signatures"] = json::array(
      {{{"keyid", keys.unpinned.keyid()}, {"sig", keys.unpinned.Sign(decoded)}},
       {{"keyid", keys.first.keyid()}, {"sig", keys.second.Sign(decoded)}}});
  const std::string bad = kBadSignatureText;
  const std::string expired = kExpiredText;
  const std::string invalid = "服务器返回的版本元数据格式无效";

  const std::vector<std::pair<json, std::string>> rows = {
      {with("signed", nullptr), bad},
      {with("signatures", nullptr), bad},
      {with("signed", 42), bad},
      {with("signatures", json::object()), bad},
      {with("signatures", json::array()), bad},
      {with("signed", signed_text.substr(0, signed_text.size() - 1)), bad},  // not Base64
      {with("signed", Base64(altered)), bad},
      {data_altered, bad},
      {data_added, bad},
      {Envelope(keys.unpinned), bad},
      {second_sig_bogus, bad},
      {signature(keys.first.Sign("something else")), bad},
      {signature(Base64(std::string(64, '\0'))), bad},
      {signature(Base64(std::string(63, 'x'))), bad},
      {signature(good["signatures"][0]["sig"], std::string(64, '0')), bad},
      {signature(7), bad},
      // Only once the signature holds does its content count.
      {Envelope(keys.first, kNow - kExpiryGraceSeconds - 1), expired},
      {Envelope(keys.first, nullptr), expired},
      {Envelope(keys.first, std::to_string(kNow + 3600)), expired},
      {Envelope(keys.first, static_cast<double>(kNow + 3600) + 0.5), expired},
      {Envelope(keys.first, -1), expired},
      {Envelope(keys.unpinned, kNow - 86400), bad},
      {Envelope(keys.first, kNow + 3600, {{"versionCode", 200}}), invalid},
      {Envelope(keys.first, kNow + 3600, {{"versionCode", "2.0.0"}, {"fileSizeBytes", "many"}}), invalid},
      // The server's own refusal is unsigned too: its text is not shown.
      {{{"code", 1}, {"msg", "请从 http://example.com 下载"}}, "获取安装器最新版本失败"},
  };
  for (const auto& [document, error] : rows) {
    SCOPED_TRACE(document.dump().substr(0, 300));
    const Outcome outcome = Read(document);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, error);
    EXPECT_EQ(outcome.release.versionCode, "untouched");
  }
  // The last second of the grace is still current.
  EXPECT_TRUE(Read(Envelope(keys.first, kNow - kExpiryGraceSeconds)).ok);

  // A signed payload that is no object.
  json list = good;
  const std::string array_text = "[1]";
  list["signed"] = Base64(array_text);
  list["signatures"][0]["sig"] = keys.first.Sign(array_text);
  EXPECT_EQ(Read(list).error, invalid);
}

TEST(SignedRelease, KeysThatCannotBeReadRefuseEverything) {
  Keys& keys = TestKeys();
  // A key on another curve, or text that is no key: still pinned, so nothing verifies.
  const char* unreadable[] = {"MCowBQYDK2VwAyEAGb9ECWmEzf6FQbrBZ9w7lshQhqowtrbLDFw4rXAxZuE=",
                              "not base64", nullptr};
  ReleaseTrust trust = LoadReleaseTrust(unreadable);
  EXPECT_TRUE(trust.pinned);
  EXPECT_TRUE(trust.keys.empty());
  EXPECT_EQ(Read(Envelope(keys.first), trust).error, kBadSignatureText);
  const char* none[] = {nullptr};
  EXPECT_FALSE(LoadReleaseTrust(none).pinned);
}

TEST(Base64, StrictDecoding) {
  std::string bytes = "untouched";
  for (std::string_view text : {"QQ", "QQ=", "Q===", "QR==", "QUI=QUI=", "QU I=", "QUI*", "====",
                                "QUJ="}) {
    EXPECT_FALSE(DecodeBase64(text, bytes)) << text;
  }
  EXPECT_EQ(bytes, "untouched");
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {"QQ==", "A"}, {"QUI=", "AB"}, {"QUJD", "ABC"}, {"+/8=", "\xfb\xff"}}) {
    ASSERT_TRUE(DecodeBase64(text, bytes)) << text;
    EXPECT_EQ(bytes, expected);
  }
}

}  // namespace
}  // namespace kel
