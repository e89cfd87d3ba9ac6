#include "safefs/physical_path.h"

#include <winternl.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "common/text.h"
#include "common/win_error.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

std::atomic<bool> g_api_hidden{false};

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

std::wstring JoinChild(const std::wstring& parent, std::wstring_view name) {
  std::wstring out = parent;
  if (out.empty() || out.back() != L'\\') out.push_back(L'\\');
  out.append(name);
  return out;
}

bool SameIdentityFields(const PhysicalIdentity& a, const PhysicalIdentity& b) {
  return a.volume_serial == b.volume_serial && a.file_id == b.file_id;
}

// The full path as the caller spelled it when it differs from the comparison form only in
// case (same length, so every component sits where it sits there); else that form.
std::wstring SpelledLike(const std::filesystem::path& path, const std::wstring& comparison) {
  std::wstring full = FullPathName(WithoutExtendedPrefix(path.native()));
  for (wchar_t& c : full) {
    if (c == L'/') c = L'\\';
  }
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full.size() == comparison.size() && FoldCase(full) == comparison ? full : comparison;
}

// A drive's type does not change while the process runs, and asking is slow under Wine (about
// a millisecond a call): each root is asked once. The root handle is still proven every time.
UINT DriveTypeOf(const std::wstring& root) {
  static std::mutex mutex;
  static std::map<std::wstring, UINT> known;
  const std::wstring key = FoldCase(root);
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto found = known.find(key); found != known.end()) return found->second;
  }
  const UINT type = GetDriveTypeW(root.c_str());
  std::lock_guard<std::mutex> lock(mutex);
  known.emplace(key, type);
  return type;
}

}  // namespace

bool SameIdentity(const PhysicalIdentity& a, const PhysicalIdentity& b) {
  return SameIdentityFields(a, b) && a.final_path == b.final_path;
}

void DirectoryChain::Reset() {
  // Leaf first, so no directory is closed while a child below it is still open.
  while (!handles.empty()) handles.pop_back();
  identities.clear();
  names.clear();
}

const NativeFileApi& GetNativeFileApi() {
  static const NativeFileApi api = [] {
    NativeFileApi found;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return found;
    auto lookup = [ntdll](const char* name) {
      return reinterpret_cast<void*>(GetProcAddress(ntdll, name));
    };
    found.NtCreateFile = reinterpret_cast<NativeFileApi::NtCreateFileFn>(lookup("NtCreateFile"));
    found.NtSetInformationFile = reinterpret_cast<NativeFileApi::NtSetInformationFileFn>(
        lookup("NtSetInformationFile"));
    found.RtlNtStatusToDosError = reinterpret_cast<NativeFileApi::RtlNtStatusToDosErrorFn>(
        lookup("RtlNtStatusToDosError"));
    return found;
  }();
  static const NativeFileApi none;
  return g_api_hidden.load(std::memory_order_acquire) ? none : api;
}

void SetNativeFileApiHiddenForTesting(bool hidden) {
  g_api_hidden.store(hidden, std::memory_order_release);
}

ULONG StatusToDosError(NtStatus status) {
  const NativeFileApi& api = GetNativeFileApi();
  if (!api.available()) return ERROR_CALL_NOT_IMPLEMENTED;
  return api.RtlNtStatusToDosError(status);
}

std::string FormatNativeFailure(std::string_view label, NtStatus status) {
  std::string text = "state file ";
  text.append(label);
  text.append(" failed: ");
  text.append(std::to_string(StatusToDosError(status)));
  return text;
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
    if (length == 0) return {};
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

bool QueryPhysicalIdentity(HANDLE handle, bool expect_directory, PhysicalIdentity& identity_out) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
    return false;
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  const bool is_directory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (is_directory != expect_directory) return false;
  FILE_ID_INFO id{};
  if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id))) return false;
  std::wstring final_path = NormalizedFinalPath(handle);
  if (final_path.empty()) return false;
  PhysicalIdentity identity;
  identity.volume_serial = id.VolumeSerialNumber;
  static_assert(sizeof(id.FileId.Identifier) == 16);
  std::memcpy(identity.file_id.data(), id.FileId.Identifier, 16);
  identity.final_path = std::move(final_path);
  identity.is_directory = is_directory;
  identity_out = std::move(identity);
  return true;
}

bool OpenRelative(HANDLE parent_handle, std::wstring_view name, ACCESS_MASK access, ULONG share,
                  ULONG disposition, ULONG options, unique_handle& handle_out,
                  NtStatus& status_out) {
  const NativeFileApi& api = GetNativeFileApi();
  if (!api.available() || parent_handle == nullptr || parent_handle == INVALID_HANDLE_VALUE ||
      !SafeComponent(name) || name.size() > 0x7FFF) {
    status_out = kStatusInvalidParameter;
    return false;
  }
  UNICODE_STRING object_name;
  object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  object_name.Buffer = const_cast<wchar_t*>(name.data());
  OBJECT_ATTRIBUTES attributes;
  static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);
  attributes.Length = sizeof(OBJECT_ATTRIBUTES);
  attributes.RootDirectory = parent_handle;
  attributes.ObjectName = &object_name;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = nullptr;
  attributes.SecurityQualityOfService = nullptr;
  IO_STATUS_BLOCK io{};
  HANDLE opened = nullptr;
  const NtStatus status = api.NtCreateFile(&opened, access, &attributes, &io, nullptr,
                                           FILE_ATTRIBUTE_NORMAL, share, disposition, options,
                                           nullptr, 0);
  status_out = status;
  if (status < 0 || opened == nullptr || opened == INVALID_HANDLE_VALUE) return false;
  handle_out.reset(opened);
  return true;
}

bool VerifyChild(HANDLE handle, const PhysicalIdentity& parent_identity, std::wstring_view name,
                 bool expect_directory, PhysicalIdentity& identity_out) {
  PhysicalIdentity child;
  if (!QueryPhysicalIdentity(handle, expect_directory, child)) return false;
  if (child.volume_serial != parent_identity.volume_serial) return false;
  if (!SafeComponent(name) || parent_identity.final_path.empty()) return false;
  if (child.final_path != JoinChild(parent_identity.final_path, name)) return false;
  identity_out = std::move(child);
  return true;
}

bool VerifyChain(const DirectoryChain& chain) {
  if (chain.handles.empty() || chain.identities.size() != chain.handles.size() ||
      chain.names.size() + 1 != chain.handles.size()) {
    return false;
  }
  for (size_t i = 1; i < chain.identities.size(); ++i) {
    if (chain.identities[i].final_path !=
        JoinChild(chain.identities[i - 1].final_path, chain.names[i - 1])) {
      return false;
    }
  }
  for (size_t i = 0; i < chain.handles.size(); ++i) {
    PhysicalIdentity now;
    if (!QueryPhysicalIdentity(chain.handles[i].get(), true, now)) return false;
    if (!SameIdentity(now, chain.identities[i])) return false;
  }
  return true;
}

ChainOpen OpenChain(DirectoryChain& chain, const std::filesystem::path& path,
                    bool create_missing, std::string& error) {
  chain.Reset();
  const std::wstring p = CanonicalPath(path);
  if (p.empty()) return ChainOpen::kFailed;
  // Directories are created as the caller spelled them; the walk compares in lower case.
  const std::wstring spelled = create_missing ? SpelledLike(path, p) : p;
  size_t root_end = std::filesystem::path(p).root_name().native().size();
  if (root_end == 0) return ChainOpen::kFailed;
  while (root_end < p.size() && p[root_end] == L'\\') ++root_end;
  const std::wstring root = p.substr(0, root_end);

  auto fail = [&chain](ChainOpen result) {
    chain.Reset();
    return result;
  };

  if (DriveTypeOf(root) != DRIVE_FIXED) return fail(ChainOpen::kFailed);
  HANDLE raw_root = CreateFileW(root.c_str(), native_open::kWalkDirectoryAccess,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
  if (raw_root == INVALID_HANDLE_VALUE) return fail(ChainOpen::kFailed);
  unique_handle root_handle(raw_root);
  PhysicalIdentity root_identity;
  if (!QueryPhysicalIdentity(root_handle.get(), true, root_identity) ||
      root_identity.final_path != CanonicalPath(root)) {
    return fail(ChainOpen::kFailed);
  }
  chain.handles.push_back(std::move(root_handle));
  chain.identities.push_back(std::move(root_identity));

  size_t pos = root_end;
  while (pos < p.size()) {
    const size_t start = pos;
    size_t end = p.find(L'\\', pos);
    if (end == std::wstring::npos) end = p.size();
    const std::wstring component = p.substr(start, end - start);
    pos = end + 1;
    if (component.empty()) continue;
    if (!SafeComponent(component)) return fail(ChainOpen::kFailed);

    unique_handle handle;
    PhysicalIdentity identity;
    NtStatus status = 0;
    if (OpenRelative(chain.last_handle(), component, native_open::kWalkDirectoryAccess,
                     native_open::kShareReadWrite, native_open::kFileOpen,
                     native_open::kDirectoryOptions, handle, status)) {
      if (!VerifyChild(handle.get(), chain.identities.back(), component, true, identity)) {
        SetErrorIfEmpty(error, "state file directory handle is unsafe");
        return fail(ChainOpen::kFailed);
      }
    } else {
      const ULONG dos = StatusToDosError(status);
      if (dos != ERROR_FILE_NOT_FOUND && dos != ERROR_PATH_NOT_FOUND) {
        SetErrorIfEmpty(error, FormatNativeFailure("open directory", status));
        return fail(ChainOpen::kFailed);
      }
      if (!create_missing) return fail(ChainOpen::kMissing);
      if (!CreateChildDirectory(chain, std::wstring_view(spelled).substr(start, end - start),
                                handle, identity, error)) {
        return fail(ChainOpen::kFailed);
      }
    }
    chain.handles.push_back(std::move(handle));
    chain.identities.push_back(std::move(identity));
    chain.names.push_back(component);
  }
  return ChainOpen::kOpen;
}

bool OpenInChain(const DirectoryChain& chain, std::wstring_view name, ACCESS_MASK access,
                 ULONG share, ULONG disposition, ULONG options, std::string_view label,
                 unique_handle& handle_out, PhysicalIdentity& identity_out, std::string& error,
                 ULONG* dos_error_out) {
  if (dos_error_out != nullptr) *dos_error_out = 0;
  if (chain.identities.empty() || !VerifyChain(chain)) {
    SetErrorIfEmpty(error, "state file directory handle is unsafe");
    return false;
  }
  unique_handle handle;
  NtStatus status = 0;
  if (!OpenRelative(chain.last_handle(), name, access, share, disposition, options, handle,
                    status)) {
    if (dos_error_out != nullptr) *dos_error_out = StatusToDosError(status);
    SetErrorIfEmpty(error, FormatNativeFailure(label, status));
    return false;
  }
  PhysicalIdentity identity;
  if (!VerifyChild(handle.get(), chain.identities.back(), name, false, identity)) {
    handle.reset();
    std::string text = "state file ";
    text.append(label);
    text.append(" handle is unsafe");
    SetErrorIfEmpty(error, text);
    return false;
  }
  handle_out = std::move(handle);
  identity_out = std::move(identity);
  return true;
}

bool ProvePhysicalPath(const std::filesystem::path& path, bool expect_directory,
                       PhysicalIdentity& identity_out, std::string& error) {
  if (!GetNativeFileApi().available()) {
    SetErrorIfEmpty(error, "physical path proof is unavailable");
    return false;
  }
  DirectoryChain chain;
  if (expect_directory) {
    if (OpenChain(chain, path, false, error) != ChainOpen::kOpen || !VerifyChain(chain)) {
      SetErrorIfEmpty(error, "physical directory path is unsafe");
      return false;
    }
    identity_out = chain.identities.back();
    identity_out.is_directory = true;
    return true;
  }
  std::wstring parent;
  std::wstring name;
  if (!SplitParentAndName(path, parent, name)) {
    SetErrorIfEmpty(error, "physical file path is unsafe");
    return false;
  }
  if (OpenChain(chain, parent, false, error) != ChainOpen::kOpen || !VerifyChain(chain)) {
    SetErrorIfEmpty(error, "physical file parent path is unsafe");
    return false;
  }
  unique_handle handle;
  PhysicalIdentity identity;
  if (!OpenInChain(chain, name, native_open::kProofTargetAccess, native_open::kShareAll,
                   native_open::kFileOpen, native_open::kNonDirectoryOptions,
                   "open physical proof target", handle, identity, error) ||
      !VerifyChain(chain)) {
    SetErrorIfEmpty(error, "physical file path is unsafe");
    return false;
  }
  handle.reset();
  identity.is_directory = false;
  identity_out = std::move(identity);
  return true;
}

bool IsPhysicalFile(const std::filesystem::path& path) {
  PhysicalIdentity identity;
  std::string error;
  return ProvePhysicalPath(path, false, identity, error);
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
