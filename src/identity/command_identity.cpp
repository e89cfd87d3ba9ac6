#include "identity/command_identity.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "common/handles.h"

namespace kel {
namespace {

constexpr std::string_view kDomain = "KEL-COMMAND-IDENTITY";
constexpr std::size_t kHeaderBytes = 26;

void AppendU16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xFF));
}

void AppendU32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t ReadBigEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string ToLowerHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
  }
  return out;
}

bool CheckIdentityText(std::string_view text, std::string& error) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    std::uint32_t code = 0;
    std::size_t length = 0;
    if (lead <= 0x7F) {
      code = lead;
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1F;
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0F;
      length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07;
      length = 4;
    } else {
      error = "text is not valid UTF-8";
      return false;
    }
    if (length > size - i) {
      error = "text is not valid UTF-8";
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = bytes[i + k];
      if (next < 0x80 || next > 0xBF) {
        error = "text is not valid UTF-8";
        return false;
      }
      code = (code << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      error = "text is not valid UTF-8";
      return false;
    }
    if (code <= 0x1F || (code >= 0x7F && code <= 0x9F)) {
      error = "text contains a control character";
      return false;
    }
    i += length;
  }
  return true;
}

// The SHA-256 provider, opened once per process: opening it is most of the cost of hashing
// the few hundred bytes of an identity. Algorithm handles may be shared between threads.
struct Sha256Provider {
  unique_bcrypt_alg algorithm;
  DWORD object_length = 0;
  bool ready = false;
};

const Sha256Provider& SharedSha256Provider() {
  // Never destroyed: a detached worker may still hash an identity while the process ends.
  static const Sha256Provider& provider = *new Sha256Provider([] {
    Sha256Provider p;
    DWORD digest_length = 0;
    ULONG written = 0;
    p.ready =
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(p.algorithm.put(), BCRYPT_SHA256_ALGORITHM,
                                                   nullptr, 0)) &&
        BCRYPT_SUCCESS(BCryptGetProperty(p.algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                         reinterpret_cast<PUCHAR>(&p.object_length),
                                         sizeof(p.object_length), &written, 0)) &&
        BCRYPT_SUCCESS(BCryptGetProperty(p.algorithm.get(), BCRYPT_HASH_LENGTH,
                                         reinterpret_cast<PUCHAR>(&digest_length),
                                         sizeof(digest_length), &written, 0)) &&
        digest_length == 32;
    return p;
  }());
  return provider;
}

bool Sha256Hex(std::string_view bytes, std::string& digest_out, std::string& error) {
  const Sha256Provider& provider = SharedSha256Provider();
  if (!provider.ready) {
    error = "SHA-256 provider is unavailable";
    return false;
  }
  const DWORD object_length = provider.object_length;
  if (bytes.size() > std::numeric_limits<ULONG>::max()) {
    error = "SHA-256 calculation failed";
    return false;
  }
  std::string object(object_length, '\0');
  unique_bcrypt_hash hash;
  unsigned char digest[32] = {};
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.algorithm.get(), hash.put(), reinterpret_cast<PUCHAR>(object.data()),
                                       object_length, nullptr, 0, 0)) ||
      !BCRYPT_SUCCESS(BCryptHashData(hash.get(),
                                     reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                     static_cast<ULONG>(bytes.size()), 0)) ||
      !BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, sizeof(digest), 0))) {
    error = "SHA-256 calculation failed";
    return false;
  }
  // The hash object lives in `object`: destroy the hash before the buffer goes.
  hash.reset();
  digest_out = ToLowerHex(std::string_view(reinterpret_cast<const char*>(digest), sizeof(digest)));
  return true;
}

bool BuildCanonicalIdentity(std::string_view provider_tag, const std::vector<SemanticField>& fields,
                            CommandIdentity& identity_out, std::string& error) {
  error.clear();
  if (provider_tag.empty() || provider_tag.size() > kMaxProviderTagBytes) {
    error = "provider tag is invalid";
    return false;
  }
  std::string text_error;
  if (!CheckIdentityText(provider_tag, text_error)) {
    error = "provider tag " + text_error;
    return false;
  }
  if (fields.empty()) {
    error = "at least one semantic field is required";
    return false;
  }
  std::vector<const SemanticField*> sorted;
  sorted.reserve(fields.size());
  for (const auto& field : fields) sorted.push_back(&field);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const SemanticField* a, const SemanticField* b) { return a->id < b->id; });

  std::uint64_t total = kHeaderBytes + provider_tag.size();
  const SemanticField* previous = nullptr;
  for (const SemanticField* field : sorted) {
    if (field->id == 0 || field->value.size() > kMaxSemanticFieldBytes) {
      error = "semantic field is invalid";
      return false;
    }
    if (previous != nullptr && previous->id == field->id) {
      error = "semantic field ids must be unique";
      return false;
    }
    if (!CheckIdentityText(field->value, text_error)) {
      error = "semantic field " + std::to_string(field->id) + " " + text_error;
      return false;
    }
    const std::uint64_t add = 6 + static_cast<std::uint64_t>(field->value.size());
    if (total > std::numeric_limits<std::uint64_t>::max() - add) {
      error = "canonical identity is too large";
      return false;
    }
    total += add;
    previous = field;
  }
  if (total > std::numeric_limits<std::size_t>::max()) {
    error = "canonical identity is too large";
    return false;
  }

  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(total));
  bytes.append(kDomain);
  AppendU16(bytes, 0x0002);
  AppendU16(bytes, 0x0001);
  AppendU16(bytes, static_cast<std::uint16_t>(provider_tag.size()));
  bytes.append(provider_tag);
  for (const SemanticField* field : sorted) {
    AppendU16(bytes, field->id);
    AppendU32(bytes, static_cast<std::uint32_t>(field->value.size()));
    bytes.append(field->value);
  }

  std::string digest;
  if (!Sha256Hex(bytes, digest, error)) return false;
  identity_out.identity_id = "cc2." + std::string(provider_tag) + "." + digest;
  identity_out.digest = std::move(digest);
  identity_out.canonical_bytes = std::move(bytes);
  return true;
}

bool ParseCanonicalIdentity(std::string_view expected_id, std::string_view canonical_hex,
                            std::string& provider_out, std::vector<SemanticField>& fields_out,
                            std::string& error) {
  provider_out.clear();
  fields_out.clear();
  const auto fail = [&](std::string message) {
    provider_out.clear();
    fields_out.clear();
    error = std::move(message);
    return false;
  };
  if (canonical_hex.empty() || canonical_hex.size() % 2 != 0 ||
      canonical_hex.size() > kMaxCanonicalHexChars) {
    return fail("canonical identity hex is invalid");
  }
  std::string bytes;
  bytes.reserve(canonical_hex.size() / 2);
  for (std::size_t i = 0; i < canonical_hex.size(); i += 2) {
    const int high = HexValue(canonical_hex[i]);
    const int low = HexValue(canonical_hex[i + 1]);
    if (high < 0 || low < 0) return fail("canonical identity hex is invalid");
    bytes.push_back(static_cast<char>((high << 4) | low));
  }
  const std::string_view view(bytes);
  if (view.size() < kHeaderBytes || view.substr(0, kDomain.size()) != kDomain) {
    return fail("canonical identity domain is invalid");
  }
  const std::size_t provider_length = ReadBigEndian(view, 24, 2);
  if (ReadBigEndian(view, 20, 2) != 2 || ReadBigEndian(view, 22, 2) != 1 || provider_length == 0 ||
      kHeaderBytes + provider_length > view.size()) {
    return fail("canonical identity header is invalid");
  }
  std::string provider(view.substr(kHeaderBytes, provider_length));
  std::vector<SemanticField> fields;
  std::size_t offset = kHeaderBytes + provider_length;
  while (offset < view.size()) {
    if (view.size() - offset < 6) return fail("canonical identity field framing is invalid");
    const auto id = static_cast<std::uint16_t>(ReadBigEndian(view, offset, 2));
    const std::size_t length = ReadBigEndian(view, offset + 2, 4);
    offset += 6;
    if (length > view.size() - offset) return fail("canonical identity field framing is invalid");
    fields.push_back(SemanticField{id, std::string(view.substr(offset, length))});
    offset += length;
  }

  CommandIdentity rebuilt;
  std::string build_error;
  if (!BuildCanonicalIdentity(provider, fields, rebuilt, build_error)) return fail(build_error);
  if (rebuilt.canonical_bytes != bytes || rebuilt.identity_id != expected_id) {
    return fail("command identity digest does not match canonical bytes");
  }
  provider_out = std::move(provider);
  fields_out = std::move(fields);
  return true;
}

bool VerifyCanonicalIdentity(std::string_view expected_id, std::string_view expected_provider,
                             std::string_view canonical_hex, std::string& error) {
  std::string provider;
  std::vector<SemanticField> fields;
  if (!ParseCanonicalIdentity(expected_id, canonical_hex, provider, fields, error)) return false;
  if (provider != expected_provider) {
    error = "canonical identity provider is invalid";
    return false;
  }
  return true;
}

bool NormalizeIdentityPath(std::string_view path, std::string& normalised_out, std::string& error) {
  std::string text_error;
  if (!CheckIdentityText(path, text_error)) {
    error = "path " + text_error;
    return false;
  }
  std::string slashed(path);
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  if (slashed.empty() || slashed.front() == '/') {
    error = "path must be relative";
    return false;
  }
  std::string result;
  std::size_t start = 0;
  while (start <= slashed.size()) {
    std::size_t end = slashed.find('/', start);
    if (end == std::string::npos) end = slashed.size();
    const std::string_view segment = std::string_view(slashed).substr(start, end - start);
    start = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      error = "path must not contain ..";
      return false;
    }
    if (segment.find(':') != std::string_view::npos) {
      error = "path must be relative";
      return false;
    }
    if (!result.empty()) result.push_back('/');
    result.append(segment);
  }
  if (result.empty()) {
    error = "path is empty after normalization";
    return false;
  }
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  normalised_out = std::move(result);
  return true;
}

}  // namespace kel
