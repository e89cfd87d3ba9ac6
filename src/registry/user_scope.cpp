#include "registry/user_scope.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "common/file_tree.h"
#include "common/handles.h"
#include "common/text.h"
#include "registry/registry_document.h"
#include "safefs/physical_path.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr std::size_t kTokenFileLimit = 1048576;

std::wstring GetEnv(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

std::string DecodeBase64Lenient(std::string_view text) {
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+' || c == '-') value = 62;
    else if (c == '/' || c == '_') value = 63;
    if (value < 0) continue;
    buffer = ((buffer << 6) | static_cast<std::uint32_t>(value)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

// The token file itself must be a plain file in its folder: a link (Windows' or a Unix link
// under Wine, which only shows in the final path) is never followed.
bool ReadTokenFile(const fs::path& token, std::string& content) {
  if (QueryPathKind(token) != PathKind::kFile) return false;
  unique_file file(CreateFileW(ToExtendedPathIfLong(token).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag))) return false;
  if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
    return false;
  }
  unique_file folder(CreateFileW(ToExtendedPathIfLong(token.parent_path()).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return false;
  const std::wstring folder_path = NormalizedFinalPath(folder.get());
  const std::wstring file_path = NormalizedFinalPath(file.get());
  std::wstring expected = folder_path;
  if (!expected.empty() && expected.back() != L'\\') expected.push_back(L'\\');
  const std::wstring name = FoldCase(token.filename().wstring());
  if (folder_path.empty() || file_path != expected + name) return false;

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<std::uint64_t>(size.QuadPart) > kTokenFileLimit) {
    return false;
  }
  content.assign(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!content.empty() &&
      (!ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr) ||
       read != content.size())) {
    return false;
  }
  return true;
}

std::string TokenUserId(const json& payload, const char* key) {
  const json& value = payload.at(key);
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  return {};
}

}  // namespace

std::string UserKeyFor(std::string_view name, std::string_view id) {
  const std::string_view trimmed_name = TrimAscii(name);
  const std::string source(trimmed_name.empty() ? TrimAscii(id) : trimmed_name);
  if (source.empty() || source == "\xE6\x9C\xAA\xE7\x99\xBB\xE5\xBD\x95") return std::string(kUnauthenticatedUserKey);

  std::string lowered;
  bool dropped = false;
  for (char c : source) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-' || c == '.';
    if (!keep) {
      dropped = true;
      continue;
    }
    lowered.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  }
  const bool clean = !dropped && !source.empty() && source.size() <= 64 && source != "." && source != ".." &&
                     source.back() != '.';
  if (clean && IsRegistryId(lowered) && lowered != kUnauthenticatedUserKey) return lowered;

  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char byte : source) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), kDigits[hash & 0xF]);
    hash >>= 4;
  } while (hash != 0);
  std::string key = "user_";
  if (!lowered.empty()) key += lowered.substr(0, 24) + "_";
  return key + hex;
}

ActiveUser GetActiveUser() {
  ActiveUser user;
  user.user_key = std::string(kUnauthenticatedUserKey);
  const std::wstring override_key = GetEnv(L"KEL_ACTIVE_USER_KEY");
  if (!override_key.empty() && override_key.size() <= 255) {
    user.owner_username = WideToUtf8(override_key);
    user.user_key = UserKeyFor(user.owner_username, "");
    return user;
  }
  const std::wstring local = GetEnv(L"LOCALAPPDATA");
  if (local.empty() || local.size() > 259) return user;
  std::string content;
  if (!ReadTokenFile(fs::path(local) / L"KelPlatformV3" / L"active_token.txt", content)) return user;
  const std::string_view token = TrimAscii(content);
  const std::size_t dot = token.find('.');
  if (dot == std::string::npos) return user;
  const std::size_t end = token.find('.', dot + 1);
  const std::string payload =
      DecodeBase64Lenient(std::string_view(token).substr(dot + 1, end == std::string::npos ? std::string::npos
                                                                                           : end - dot - 1));
  if (payload.empty()) return user;
  const json claims = json::parse(payload, nullptr, false);
  if (claims.is_discarded() || !claims.is_object()) return user;

  std::string name;
  std::string id;
  for (const char* key : {"username", "user_name"}) {
    const auto member = claims.find(key);
    if (member != claims.end() && member->is_string()) {
      name = member->get<std::string>();
      break;
    }
  }
  if (claims.contains("userId")) {
    id = TokenUserId(claims, "userId");
  } else if (claims.contains("user_id")) {
    id = TokenUserId(claims, "user_id");
  } else if (const auto sub = claims.find("sub"); sub != claims.end() && sub->is_string()) {
    id = sub->get<std::string>();
  }
  user.owner_username = name;
  user.owner_user_id = id;
  user.user_key = UserKeyFor(name, id);
  return user;
}

}  // namespace kel
