#include "safefs/path_forms.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "common/text.h"

namespace kel {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// A drive letter, a colon and a separator.
bool IsDriveAbsolute(std::wstring_view p) {
  return p.size() >= 3 && ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) &&
         p[1] == L':' && IsSeparator(p[2]);
}

// Two separators followed by a root name (a server name, "?" or ".").
bool StartsWithRootName(std::wstring_view p) {
  return p.size() >= 3 && IsSeparator(p[0]) && IsSeparator(p[1]) && !IsSeparator(p[2]);
}

// A "." or ".." segment or an empty one (doubled separator) after the first two characters.
bool NeedsPathParsing(std::wstring_view p) {
  size_t start = 2;
  while (start <= p.size()) {
    size_t end = start;
    while (end < p.size() && !IsSeparator(p[end])) ++end;
    const std::wstring_view segment = p.substr(start, end - start);
    if (segment == L"." || segment == L".." ||
        (segment.empty() && end < p.size() && start > 3)) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

std::wstring FullPathName(const std::wstring& path) {
  if (path.empty()) return {};
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring buffer(needed, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  buffer.resize(length);
  return buffer;
}

// The extended forms name the same object; compare them as the final path does.
std::wstring WithoutExtendedPrefix(std::wstring input) {
  if (StartsWith(input, L"\\\\?\\UNC\\")) {
    input = L"\\\\" + input.substr(8);
  } else if (StartsWith(input, L"\\\\?\\") && IsDriveAbsolute(std::wstring_view(input).substr(4))) {
    input.erase(0, 4);
  }
  return input;
}

// GetLongPathNameW; false when the path (or part of it) cannot be expanded.
bool LongPathName(const std::wstring& path, std::wstring& out) {
  // Every generated 8.3 name carries a "~"; without one the expansion could only change the
  // case, which the comparison form drops anyway, and it costs a directory scan per level.
  if (path.find(L'~') == std::wstring::npos) {
    out = path;
    return true;
  }
  DWORD size = MAX_PATH;
  for (int round = 0; round < 4; ++round) {
    std::wstring buffer(size, L'\0');
    DWORD length = GetLongPathNameW(path.c_str(), buffer.data(), size);
    if (length == 0) return false;
    if (length < size) {
      buffer.resize(length);
      out = std::move(buffer);
      return true;
    }
    size = length;
  }
  return false;
}

// Steps shared by the canonical and the final-path form: backslashes, no trailing backslash
// beyond a drive root, lower case.
std::wstring FinishComparisonForm(std::wstring p) {
  for (wchar_t& c : p) {
    if (c == L'/') c = L'\\';
  }
  while (p.size() > 3 && p.back() == L'\\') p.pop_back();
  // A path differing from the disk only in the case of a non-ASCII letter still names (and
  // proves) the same object.
  return FoldCase(p);
}

// GetFinalPathNameByHandleW of Wine reads the name into a MAX_PATH buffer and reports
// ERROR_MORE_DATA past it, whatever buffer it is given. The object name it is made from has
// no such limit there and, for a path on a drive letter, is that path behind "\??\"; it
// becomes the "\\?\" form the call would have given. Windows names file objects by their
// device ("\Device\HarddiskVolume3\..."), which is refused here: there the call itself
// answers at any length.
bool DosDeviceObjectName(HANDLE handle, std::wstring& name_out) {
  using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const QueryObject query = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  if (query == nullptr) return false;
  struct ObjectName {
    USHORT length;
    USHORT maximum_length;
    wchar_t* buffer;
  };
  // A UNICODE_STRING counts bytes in 16 bits: no name is longer than this.
  std::vector<unsigned char> block(sizeof(ObjectName) + 0x10000);
  ULONG returned = 0;
  constexpr int kObjectNameInformation = 1;
  if (query(handle, kObjectNameInformation, block.data(), static_cast<ULONG>(block.size()),
            &returned) < 0) {
    return false;
  }
  ObjectName header;
  std::memcpy(&header, block.data(), sizeof(header));
  if (header.buffer == nullptr) return false;
  std::wstring_view name(header.buffer, header.length / sizeof(wchar_t));
  if (name.size() < 7 || !StartsWith(name, L"\\??\\") || !IsDriveAbsolute(name.substr(4))) {
    return false;
  }
  name_out.assign(L"\\\\?\\");
  name_out.append(name.substr(4));
  return true;
}

}  // namespace

std::wstring JoinChild(const std::wstring& parent, std::wstring_view name) {
  std::wstring out = parent;
  if (out.empty() || out.back() != L'\\') out.push_back(L'\\');
  out.append(name);
  return out;
}

std::wstring SpelledLike(const std::filesystem::path& path, const std::wstring& comparison) {
  std::wstring full = FullPathName(WithoutExtendedPrefix(path.native()));
  for (wchar_t& c : full) {
    if (c == L'/') c = L'\\';
  }
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full.size() == comparison.size() && FoldCase(full) == comparison ? full : comparison;
}

std::wstring CanonicalPath(const std::filesystem::path& path) {
  // The Win32 calls below would stop at an embedded NUL and name another object.
  if (path.native().find(L'\0') != std::wstring::npos) return {};
  const std::wstring input = WithoutExtendedPrefix(path.native());
  if (input.empty() || !(IsDriveAbsolute(input) || StartsWithRootName(input))) return {};
  std::wstring full = FullPathName(input);
  if (full.empty()) return {};

  // Expand short names as far as the path exists; the rest is appended as written.
  std::wstring expanded;
  std::wstring probe = full;
  while (probe.size() > 3 && IsSeparator(probe.back())) probe.pop_back();
  std::wstring tail;
  bool found = false;
  for (;;) {
    if (LongPathName(probe, expanded)) {
      found = true;
      break;
    }
    const size_t sep = probe.find_last_of(L"\\/");
    if (sep == std::wstring::npos || sep < 2 || sep + 1 == probe.size()) break;
    const std::wstring name = probe.substr(sep + 1);
    tail = tail.empty() ? name : name + L"\\" + tail;
    probe.resize(sep == 2 && probe[1] == L':' ? 3 : sep);
  }
  std::wstring result;
  if (!found) {
    result = full;
  } else if (tail.empty()) {
    result = expanded;
  } else {
    result = JoinChild(expanded, tail);
  }
  return FinishComparisonForm(std::move(result));
}

std::wstring NormalizedFinalPath(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
  DWORD size = MAX_PATH;
  std::wstring buffer;
  for (int round = 0; round < 4; ++round) {
    buffer.assign(size, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), size, 0);
    if (length == 0) {
      if (GetLastError() != ERROR_MORE_DATA || !DosDeviceObjectName(handle, buffer)) return {};
      break;
    }
    if (length < size) {
      buffer.resize(length);
      break;
    }
    size = length + 1;
    if (round == 3) return {};
  }
  if (StartsWith(buffer, L"\\\\?\\UNC\\")) {
    buffer = L"\\\\" + buffer.substr(8);
  } else if (StartsWith(buffer, L"\\\\?\\")) {
    buffer.erase(0, 4);
  }
  std::wstring expanded;
  if (LongPathName(buffer, expanded)) buffer = std::move(expanded);
  return FinishComparisonForm(std::move(buffer));
}

bool SafeComponent(std::wstring_view name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    // ":" would name a stream of the file before it, not a file of its own.
    if (c == L'\\' || c == L'/' || c == L'\0' || c == L':') return false;
  }
  return true;
}

bool SplitParentAndName(const std::filesystem::path& path, std::wstring& parent,
                        std::wstring& name) {
  const std::wstring canonical = CanonicalPath(path);
  if (canonical.empty()) return false;
  const size_t sep = canonical.find_last_of(L'\\');
  if (sep == std::wstring::npos) return false;
  std::wstring leaf = canonical.substr(sep + 1);
  if (!SafeComponent(leaf)) return false;
  std::wstring head = canonical.substr(0, sep);
  // A drive root keeps its backslash: "c:" alone would name the drive's current directory.
  if (head.size() == 2 && head[1] == L':') head.push_back(L'\\');
  while (head.size() > 3 && head.back() == L'\\') head.pop_back();
  if (head.empty()) return false;
  parent = std::move(head);
  name = std::move(leaf);
  return true;
}

std::wstring ToExtendedPath(const std::filesystem::path& path) {
  std::wstring p = path.native();
  if (StartsWith(p, L"\\\\?\\")) return p;
  const bool absolute = IsDriveAbsolute(p) || StartsWithRootName(p);
  // The prefixed form turns off all parsing, so "." and ".." segments and doubled separators
  // of an absolute path are resolved first; otherwise it stays as written, which keeps names
  // with a trailing dot or blank (that the full-path function would cut) addressable.
  std::wstring full(MAX_PATH, L'\0');
  bool completed = false;
  for (int round = 0; round < 4 && !completed && (!absolute || NeedsPathParsing(p)); ++round) {
    const DWORD length =
        GetFullPathNameW(p.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) break;
    if (length < full.size()) {
      full.resize(length);
      completed = true;
    } else {
      full.assign(length, L'\0');
    }
  }
  if (completed) {
    p = std::move(full);
    if (StartsWith(p, L"\\\\?\\")) return p;
  } else if (!absolute) {
    return p;
  }
  for (wchar_t& c : p) {
    if (c == L'/') c = L'\\';
  }
  if (StartsWith(p, L"\\\\")) return L"\\\\?\\UNC\\" + p.substr(2);
  return L"\\\\?\\" + p;
}

std::wstring ToExtendedPathIfLong(const std::filesystem::path& path) {
  const std::wstring& p = path.native();
  if (p.empty() || StartsWith(p, L"\\\\?\\") || StartsWith(p, L"\\\\.\\")) return p;
  std::wstring full = FullPathName(p);
  if (full.empty()) return p;
  if (full.size() < 230) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 2 && full[1] == L':') return L"\\\\?\\" + full;
  return full;
}

bool IsPortableFileName(std::wstring_view name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  if (name.back() == L'.' || name.back() == L' ') return false;
  for (wchar_t c : name) {
    // Control characters cannot appear in a Windows file name either.
    if (c < 0x20) return false;
    if (std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) return false;
  }
  std::wstring_view stem = name.substr(0, name.find(L'.'));
  // Windows still takes "nul .txt" for the device: blanks before the dot do not count.
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  // It also reads the superscript digits one to three as port numbers.
  static constexpr std::wstring_view kReserved[] = {
      L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2", L"COM3", L"COM4",
      L"COM5", L"COM6", L"COM7", L"COM8", L"COM9", L"LPT1", L"LPT2", L"LPT3",
      L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9", L"COM\u00B9", L"COM\u00B2",
      L"COM\u00B3", L"LPT\u00B9", L"LPT\u00B2", L"LPT\u00B3"};
  for (std::wstring_view reserved : kReserved) {
    if (EqualsIgnoreCase(stem, reserved)) return false;
  }
  return true;
}

}  // namespace kel
