#pragma once

// The path forms the physical proofs compare and open: the comparison form of a path and of an
// open handle, the split into parent and leaf, the extended-length forms and the portable-name
// rule.

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace kel {

// Comparison form of an absolute path (long names, backslashes, no trailing backslash except
// on a drive root, lower case); empty when the path is not absolute or cannot be expanded.
std::wstring CanonicalPath(const std::filesystem::path& path);

// Final path of an open handle in the form of CanonicalPath; empty on failure.
std::wstring NormalizedFinalPath(HANDLE handle);

// Splits CanonicalPath(path) into its parent and its last component (a SafeComponent).
bool SplitParentAndName(const std::filesystem::path& path, std::wstring& parent,
                        std::wstring& name);

// Not empty, not "." or "..", no "\", "/" or NUL.
bool SafeComponent(std::wstring_view name);

// parent + "\" + name, without doubling a backslash the parent already ends in.
std::wstring JoinChild(const std::wstring& parent, std::wstring_view name);

// The full path as the caller spelled it when it differs from comparison (its CanonicalPath)
// only in case (same length, so every component sits where it sits there); else comparison.
std::wstring SpelledLike(const std::filesystem::path& path, const std::wstring& comparison);

// Always the "\\?\" (or "\\?\UNC\") form of the full path.
std::wstring ToExtendedPath(const std::filesystem::path& path);
// The full path, prefixed only from 230 characters on.
std::wstring ToExtendedPathIfLong(const std::filesystem::path& path);

// A bare, portable single file or directory name (no reserved device name, no forbidden
// character, no trailing dot or blank).
bool IsPortableFileName(std::wstring_view name);

}  // namespace kel
