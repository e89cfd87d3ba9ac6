#pragma once

// Name and path rules shared by the uninstall and restore transactions: which plugin ids and
// cached icon references are acceptable, whether a path stays inside a directory, whether a
// path is (or may be) a link, and where a registry's Plugins root is.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kel {

// FILE_ATTRIBUTE_REPARSE_POINT, for files that stay free of <windows.h>.
inline constexpr std::uint32_t kReparsePointAttribute = 0x400;

// 1..128 bytes of ASCII letters, digits, '-', '.', '_'; not "." or ".."; no trailing '.' or
// blank; the part before the first '.' is none of con, prn, aux, nul (any case).
bool IsValidPluginId(std::string_view id);

// "cache/icons/" + a plain name whose stem is 64 hex digits (any case) and whose extension is
// one of .bmp .gif .ico .jpeg .jpg .png .svg (any case).
bool IsValidCachedIconRef(std::string_view value);

// Both paths canonicalise weakly without error, and every component of base equals the
// leading component of path at the same place, case-insensitively. A path is within itself.
bool IsWithin(const std::filesystem::path& base, const std::filesystem::path& path);

// IsWithin in both directions.
bool IsSamePath(const std::filesystem::path& a, const std::filesystem::path& b);

// Both paths open and name the same file-system object (volume and file id).
bool IsSameFileObject(const std::filesystem::path& a, const std::filesystem::path& b);

// A single name that another spelling may reach as the same object: a short (8.3) form holds
// '~'; Windows drops trailing dots and blanks. Names without these are one object only when
// they are equal (case-insensitively) in the same folder.
bool MayAlias(std::wstring_view name);

// Case-insensitive equality of the paths as written, or the same object.
bool NamesSameObject(const std::filesystem::path& a, const std::filesystem::path& b);

// Attributes of the path's ToExtendedPathIfLong form; false when they cannot be read.
bool ReadPhysicalAttributes(const std::filesystem::path& path, std::uint32_t& attributes);

// Unreadable attributes count as a reparse point: nothing unproven is trusted.
bool IsReparsePointOrUnreadable(const std::filesystem::path& path);

// Status of a path as the checks need it: unreadable (an error other than "not found"),
// missing, or present with its attributes.
enum class PathState { kUnreadable, kMissing, kDirectory, kFile };
PathState QueryPathState(const std::filesystem::path& path, std::uint32_t* attributes = nullptr);

// A plain directory: exists, directory, no reparse point.
bool IsPlainDirectory(const std::filesystem::path& path);
// A regular file: exists, not a directory, no reparse point.
bool IsPlainFile(const std::filesystem::path& path);

// The Plugins root of a registry: ManagedRootOf(registry) must be named managed_plugins and
// its parent kel_plugin_center. Empty when it cannot be derived.
std::filesystem::path PluginsRootOfRegistry(const std::filesystem::path& registryPath);

// ASCII case-insensitive comparison of file extensions, "" when there is none (".rb" form).
std::string LowerExtension(const std::filesystem::path& path);

// A portable plain file name given in UTF-8 (IsPortableFileName on its UTF-16 form).
bool IsPortableUtf8Name(std::string_view name);

}  // namespace kel
