#include "decommission/managed_paths.h"

#include <windows.h>

#include <array>
#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/ascii.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"

namespace kel {
namespace {

bool IsIdByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_';
}

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool WeaklyCanonical(const std::filesystem::path& in, std::filesystem::path& out) {
  if (in.empty()) return false;
  std::error_code ec;
  out = std::filesystem::weakly_canonical(in, ec);
  if (ec || out.empty()) return false;
  return true;
}

// Components of a canonical path; empty names from trailing separators are dropped.
std::vector<std::wstring> Components(const std::filesystem::path& path) {
  std::vector<std::wstring> parts;
  for (const auto& part : path) {
    if (!part.empty()) parts.push_back(part.native());
  }
  return parts;
}

bool OpenIdentity(const std::filesystem::path& path, BY_HANDLE_FILE_INFORMATION& info) {
  unique_file file(CreateFileW(ToExtendedPathIfLong(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  return GetFileInformationByHandle(file.get(), &info) != FALSE;
}

}  // namespace

bool IsValidPluginId(std::string_view id) {
  if (id.empty() || id.size() > 128) return false;
  for (char c : id) {
    if (!IsIdByte(c)) return false;
  }
  if (id == "." || id == "..") return false;
  if (id.back() == '.' || id.back() == ' ') return false;
  const std::string first = AsciiLower(id.substr(0, id.find('.')));
  return first != "con" && first != "prn" && first != "aux" && first != "nul";
}

bool IsValidCachedIconRef(std::string_view value) {
  constexpr std::string_view kPrefix = "cache/icons/";
  if (value.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view name = value.substr(kPrefix.size());
  if (!IsPortableUtf8Name(name)) return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string stem = AsciiLower(name.substr(0, dot));
  if (stem.size() != 64) return false;
  for (char c : stem) {
    if (!IsLowerHexDigit(c)) return false;
  }
  static constexpr std::array<std::string_view, 7> kExtensions = {
      ".bmp", ".gif", ".ico", ".jpeg", ".jpg", ".png", ".svg"};
  const std::string extension = AsciiLower(name.substr(dot));
  for (std::string_view allowed : kExtensions) {
    if (extension == allowed) return true;
  }
  return false;
}

bool IsWithin(const std::filesystem::path& base, const std::filesystem::path& path) {
  std::filesystem::path canonical_base;
  std::filesystem::path canonical_path;
  if (!WeaklyCanonical(base, canonical_base) || !WeaklyCanonical(path, canonical_path)) {
    return false;
  }
  const std::vector<std::wstring> base_parts = Components(canonical_base);
  const std::vector<std::wstring> path_parts = Components(canonical_path);
  if (base_parts.empty() || base_parts.size() > path_parts.size()) return false;
  for (std::size_t i = 0; i < base_parts.size(); ++i) {
    if (!EqualsIgnoreCase(base_parts[i], path_parts[i])) return false;
  }
  return true;
}

bool IsSamePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  return IsWithin(a, b) && IsWithin(b, a);
}

bool IsSameFileObject(const std::filesystem::path& a, const std::filesystem::path& b) {
  BY_HANDLE_FILE_INFORMATION ia{};
  BY_HANDLE_FILE_INFORMATION ib{};
  if (a.empty() || b.empty() || !OpenIdentity(a, ia) || !OpenIdentity(b, ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool MayAlias(std::wstring_view name) {
  return name.empty() || name.find(L'~') != std::wstring_view::npos || name.back() == L'.' ||
         name.back() == L' ';
}

bool NamesSameObject(const std::filesystem::path& a, const std::filesystem::path& b) {
  return EqualsIgnoreCase(a.native(), b.native()) || IsSameFileObject(a, b);
}

bool ReadPhysicalAttributes(const std::filesystem::path& path, std::uint32_t& attributes) {
  if (path.empty()) return false;
  const DWORD value = GetFileAttributesW(ToExtendedPathIfLong(path).c_str());
  if (value == INVALID_FILE_ATTRIBUTES) return false;
  attributes = value;
  return true;
}

bool IsReparsePointOrUnreadable(const std::filesystem::path& path) {
  std::uint32_t attributes = 0;
  return !ReadPhysicalAttributes(path, attributes) ||
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

PathState QueryPathState(const std::filesystem::path& path, std::uint32_t* attributes_out) {
  if (path.empty()) return PathState::kUnreadable;
  const DWORD value = GetFileAttributesW(ToExtendedPathIfLong(path).c_str());
  if (value == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    return (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) ? PathState::kMissing
                                                                          : PathState::kUnreadable;
  }
  if (attributes_out != nullptr) *attributes_out = value;
  return (value & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathState::kDirectory : PathState::kFile;
}

bool IsPlainDirectory(const std::filesystem::path& path) {
  std::uint32_t attributes = 0;
  return QueryPathState(path, &attributes) == PathState::kDirectory &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsPlainFile(const std::filesystem::path& path) {
  std::uint32_t attributes = 0;
  return QueryPathState(path, &attributes) == PathState::kFile &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::filesystem::path PluginsRootOfRegistry(const std::filesystem::path& registryPath) {
  if (registryPath.empty()) return {};
  const std::filesystem::path managed = ManagedRootOf(registryPath);
  if (!AsciiEqualsIgnoreCase(WideToUtf8(managed.filename().native()), "managed_plugins")) {
    return {};
  }
  const std::filesystem::path center = managed.parent_path();
  if (!AsciiEqualsIgnoreCase(WideToUtf8(center.filename().native()), "kel_plugin_center")) {
    return {};
  }
  return center.parent_path();
}

std::string LowerExtension(const std::filesystem::path& path) {
  return AsciiLower(WideToUtf8(path.extension().native()));
}

bool IsPortableUtf8Name(std::string_view name) {
  if (name.empty()) return false;
  // Control bytes (NUL among them) can name no file on Windows.
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  const std::wstring wide = Utf8ToWide(name);
  return !wide.empty() && IsPortableFileName(wide);
}

}  // namespace kel
