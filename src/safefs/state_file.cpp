#include "safefs/state_file.h"

#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"

namespace kel {
namespace {

constexpr size_t kPiece = 1048576;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileRenameInformationEx = 65;
constexpr ACCESS_MASK kReadTargetAccess = 0x100081;  // SYNCHRONIZE|READ_ATTRIBUTES|READ_DATA
constexpr ACCESS_MASK kTemporaryAccess = 0x110083;   // ... plus DELETE, WRITE_DATA
constexpr ACCESS_MASK kRemoveTargetAccess = 0x110080;
constexpr ULONG kTemporaryOptions = 0x200062;  // non-directory options plus WRITE_THROUGH
constexpr int kTemporaryAttempts = 32;

std::atomic<std::uint64_t> g_temporary_counter{0};
std::atomic<StateFileFaultHook> g_fault_hook{nullptr};

// The status a test asked this step to fail with; 0 when none.
NtStatus InjectedFault(std::string_view step) {
  const StateFileFaultHook hook = g_fault_hook.load(std::memory_order_acquire);
  return hook == nullptr ? 0 : hook(step);
}

// The rename record as the native call reads it: the flags (in the older form, the first
// byte is the replace boolean), the root directory handle, the name's length in bytes, and
// the name without terminator.
struct RenameRecord {
  ULONG flags;
  HANDLE root_directory;
  ULONG name_length;
  WCHAR name[1];
};
static_assert(offsetof(RenameRecord, flags) == 0);
static_assert(offsetof(RenameRecord, root_directory) == 8);
static_assert(offsetof(RenameRecord, name_length) == 16);
static_assert(offsetof(RenameRecord, name) == 20);
static_assert(sizeof(RenameRecord) == 24);

// File systems without the extended rename class answer one of these; the older class is
// the fallback. Wine 8 answers STATUS_NOT_IMPLEMENTED.
bool IsRenameClassUnsupported(NtStatus status) {
  switch (static_cast<ULONG>(status)) {
    case 0xC0000002UL:  // STATUS_NOT_IMPLEMENTED
    case 0xC0000003UL:  // STATUS_INVALID_INFO_CLASS
    case 0xC0000010UL:  // STATUS_INVALID_DEVICE_REQUEST
    case 0xC00000BBUL:  // STATUS_NOT_SUPPORTED
      return true;
    default:
      return false;
  }
}

NtStatus SetInformation(HANDLE handle, void* information, ULONG length, ULONG information_class,
                        std::string_view step = {}) {
  if (!step.empty()) {
    if (const NtStatus injected = InjectedFault(step); injected != 0) return injected;
  }
  const NativeFileApi& api = GetNativeFileApi();
  if (!api.available()) return kStatusInvalidParameter;
  IO_STATUS_BLOCK io{};
  return api.NtSetInformationFile(handle, &io, information, length, information_class);
}

// Deleted when the last handle closes; its own failure is not reported.
void MarkForDeletion(HANDLE handle) {
  unsigned char delete_file = 1;
  SetInformation(handle, &delete_file, sizeof(delete_file), kFileDispositionInformation);
}

struct AlignedFree {
  void operator()(char* p) const { ::operator delete[](p, std::align_val_t(32)); }
};

// The whole file, from its start, equals content byte for byte.
bool ReadBack(HANDLE handle, std::string_view content) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size) || static_cast<std::uint64_t>(size.QuadPart) != content.size()) {
    return false;
  }
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN)) return false;
  const size_t buffer_size = std::min(kPiece, content.size());
  std::unique_ptr<char[], AlignedFree> buffer(
      static_cast<char*>(::operator new[](buffer_size, std::align_val_t(32))));
  size_t offset = 0;
  while (offset < content.size()) {
    const DWORD want = static_cast<DWORD>(std::min(buffer_size, content.size() - offset));
    DWORD got = 0;
    if (!ReadFile(handle, buffer.get(), want, &got, nullptr) || got != want) return false;
    if (std::memcmp(buffer.get(), content.data() + offset, want) != 0) return false;
    offset += want;
  }
  return true;
}

bool WriteAll(HANDLE handle, std::string_view content) {
  size_t offset = 0;
  while (offset < content.size()) {
    const DWORD want = static_cast<DWORD>(std::min(kPiece, content.size() - offset));
    DWORD written = 0;
    if (!WriteFile(handle, content.data() + offset, want, &written, nullptr) || written != want) {
      return false;
    }
    offset += want;
  }
  return true;
}

// Renames the open file to name inside directory, replacing what is there.
bool RenameByHandle(HANDLE file, HANDLE directory, std::wstring_view name, std::string& error) {
  if (!SafeComponent(name) || name.size() > 0x7FFFFFF3u) {
    SetErrorIfEmpty(error, "state file rename destination is unsafe");
    return false;
  }
  const size_t name_bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> record(sizeof(RenameRecord) + name_bytes, 0);
  const ULONG replace_if_exists = 1;
  std::memcpy(record.data() + offsetof(RenameRecord, flags), &replace_if_exists,
              sizeof(replace_if_exists));
  std::memcpy(record.data() + offsetof(RenameRecord, root_directory), &directory,
              sizeof(directory));
  const ULONG length = static_cast<ULONG>(name_bytes);
  std::memcpy(record.data() + offsetof(RenameRecord, name_length), &length, sizeof(length));
  std::memcpy(record.data() + offsetof(RenameRecord, name), name.data(), name_bytes);

  NtStatus status = SetInformation(file, record.data(), static_cast<ULONG>(record.size()),
                                   kFileRenameInformationEx, "atomic rename");
  if (status >= 0) return true;
  if (!IsRenameClassUnsupported(status)) {
    SetErrorIfEmpty(error, FormatNativeFailure("atomic rename", status));
    return false;
  }
  std::fill(record.begin(), record.begin() + offsetof(RenameRecord, root_directory), 0);
  record[0] = 1;  // ReplaceIfExists
  status = SetInformation(file, record.data(), static_cast<ULONG>(record.size()),
                          kFileRenameInformation, "atomic rename legacy");
  if (status >= 0) return true;
  SetErrorIfEmpty(error, FormatNativeFailure("atomic rename legacy", status));
  return false;
}

// The file name as the caller spelled it when it differs from the comparison form only in
// case, so that "VERSION" is created as "VERSION"; else the comparison form.
std::wstring LeafAsSpelled(const std::filesystem::path& path, const std::wstring& name) {
  std::wstring_view leaf = path.native();
  while (!leaf.empty() && (leaf.back() == L'\\' || leaf.back() == L'/')) leaf.remove_suffix(1);
  const size_t separator = leaf.find_last_of(L"\\/");
  if (separator != std::wstring_view::npos) leaf.remove_prefix(separator + 1);
  return leaf.size() == name.size() && FoldCase(leaf) == name ? std::wstring(leaf) : name;
}

bool AllDigits(std::wstring_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// The writer's process id in "<name>.tmp.<pid>.<counter>" (all lower case); 0 when candidate
// is no temporary of name.
DWORD TemporaryOwner(std::wstring_view candidate, std::wstring_view name) {
  constexpr std::wstring_view kMarker = L".tmp.";
  if (candidate.substr(0, name.size()) != name ||
      candidate.substr(name.size(), kMarker.size()) != kMarker) {
    return 0;
  }
  const std::wstring_view rest = candidate.substr(name.size() + kMarker.size());
  const size_t dot = rest.find(L'.');
  if (dot == std::wstring_view::npos || dot > 10 || !AllDigits(rest.substr(0, dot)) ||
      !AllDigits(rest.substr(dot + 1))) {
    return 0;
  }
  std::uint64_t pid = 0;
  for (wchar_t c : rest.substr(0, dot)) pid = pid * 10 + static_cast<std::uint64_t>(c - L'0');
  return pid <= 0xFFFFFFFFu ? static_cast<DWORD>(pid) : 0;
}

// No running process has this id. A process that cannot be opened for want of rights is
// running; one that ended but is still held open by someone is not.
bool NoProcessRuns(DWORD pid) {
  if (pid == GetCurrentProcessId()) return false;
  unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
  return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// Temporaries of this target left by writers that died before their rename. A live writer's
// temporary is never touched: its process runs, and it holds the file without sharing.
void ClearDeadWritersTemporaries(const DirectoryChain& chain, const std::wstring& parent,
                                 const std::wstring& name) {
  std::wstring pattern = parent;
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  pattern += name + L".tmp.*";
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileExW(ToExtendedPathIfLong(pattern).c_str(), FindExInfoBasic, &data,
                                    FindExSearchNameMatch, nullptr, 0));
  if (!find) return;
  do {
    names.push_back(FoldCase(data.cFileName));
  } while (FindNextFileW(find.get(), &data));
  find.reset();
  for (const std::wstring& candidate : names) {
    const DWORD owner = TemporaryOwner(candidate, name);
    if (owner == 0 || !NoProcessRuns(owner)) continue;
    unique_handle handle;
    PhysicalIdentity identity;
    std::string ignored;
    if (OpenInChain(chain, candidate, kRemoveTargetAccess, 0, native_open::kFileOpen,
                    native_open::kNonDirectoryOptions, "open dead temporary", handle, identity,
                    ignored)) {
      MarkForDeletion(handle.get());
    }
  }
}

}  // namespace

void SetStateFileFaultHookForTesting(StateFileFaultHook hook) {
  g_fault_hook.store(hook, std::memory_order_release);
}

bool CreateChildDirectory(DirectoryChain& chain, std::wstring_view name,
                          unique_handle& handle_out, PhysicalIdentity& identity_out,
                          std::string& error) {
  if (chain.empty() || !VerifyChain(chain)) {
    SetErrorIfEmpty(error, "state file directory creation parent is unsafe");
    return false;
  }
  const size_t count = chain.handles.size();
  const PhysicalIdentity& parent_identity = chain.identities.back();
  HANDLE parent = chain.last_handle();
  unique_handle reopened;
  if (count > 1) {
    NtStatus status = 0;
    PhysicalIdentity again;
    const bool opened = OpenRelative(chain.handles[count - 2].get(), chain.names[count - 2],
                                     native_open::kCreateInDirectoryAccess,
                                     native_open::kShareReadWrite, native_open::kFileOpen,
                                     native_open::kDirectoryOptions, reopened, status);
    if (!opened ||
        !VerifyChild(reopened.get(), chain.identities[count - 2], chain.names[count - 2], true,
                     again) ||
        again.volume_serial != parent_identity.volume_serial ||
        again.file_id != parent_identity.file_id) {
      SetErrorIfEmpty(error, FormatNativeFailure("reopen directory creation parent", status));
      return false;
    }
    parent = reopened.get();
  }

  unique_handle handle;
  NtStatus status = 0;
  if (!OpenRelative(parent, name, native_open::kWalkDirectoryAccess, native_open::kShareReadWrite,
                    native_open::kFileCreate, native_open::kDirectoryOptions, handle, status)) {
    // Another process may have created it since the walk looked: NtCreateFile reports
    // STATUS_OBJECT_NAME_COLLISION, which maps to ERROR_ALREADY_EXISTS, not ERROR_FILE_EXISTS.
    const ULONG dos = StatusToDosError(status);
    if (dos != ERROR_FILE_EXISTS && dos != ERROR_ALREADY_EXISTS) {
      SetErrorIfEmpty(error, FormatNativeFailure("create directory", status));
      return false;
    }
    if (!OpenRelative(parent, name, native_open::kWalkDirectoryAccess,
                      native_open::kShareReadWrite, native_open::kFileOpen,
                      native_open::kDirectoryOptions, handle, status)) {
      SetErrorIfEmpty(error, FormatNativeFailure("reopen created directory", status));
      return false;
    }
  }
  PhysicalIdentity identity;
  if (!VerifyChild(handle.get(), parent_identity, FoldCase(name), true, identity)) {
    SetErrorIfEmpty(error, "state file created directory is unsafe");
    return false;
  }
  handle_out = std::move(handle);
  identity_out = std::move(identity);
  return true;
}

bool EnsureStateDirectory(const std::filesystem::path& path, std::string& error) {
  DirectoryChain chain;
  if (OpenChain(chain, path, true, error) != ChainOpen::kOpen || !VerifyChain(chain)) {
    SetErrorIfEmpty(error, "state directory could not be created safely");
    return false;
  }
  return true;
}

bool ReadStateFile(const std::filesystem::path& path, std::size_t max_size, bool missing_ok,
                   bool& existed_out, std::string& content_out, std::string& error) {
  existed_out = false;
  content_out.clear();
  std::wstring parent;
  std::wstring name;
  if (max_size == 0 || !SplitParentAndName(path, parent, name) ||
      !GetNativeFileApi().available()) {
    SetErrorIfEmpty(error, "state file path is unsafe");
    return false;
  }
  const std::string error_before = error;
  DirectoryChain chain;
  switch (OpenChain(chain, parent, false, error)) {
    case ChainOpen::kOpen:
      break;
    case ChainOpen::kMissing:
      if (missing_ok) return true;
      [[fallthrough]];
    case ChainOpen::kFailed:
      SetErrorIfEmpty(error, "state file directory is unsafe");
      return false;
  }
  unique_handle handle;
  PhysicalIdentity identity;
  ULONG dos = 0;
  if (!OpenInChain(chain, name, kReadTargetAccess, native_open::kShareRead,
                   native_open::kFileOpen, native_open::kNonDirectoryOptions, "open read target",
                   handle, identity, error, &dos)) {
    if (missing_ok && (dos == ERROR_FILE_NOT_FOUND || dos == ERROR_PATH_NOT_FOUND)) {
      error = error_before;
      return true;
    }
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle.get(), &size) || size.QuadPart <= 0 ||
      static_cast<std::uint64_t>(size.QuadPart) > max_size) {
    SetErrorIfEmpty(error, "state file size is invalid");
    return false;
  }
  // Into the caller's buffer: a caller reading the same file again reuses its memory.
  content_out.resize(static_cast<size_t>(size.QuadPart));
  size_t offset = 0;
  while (offset < content_out.size()) {
    const DWORD want = static_cast<DWORD>(std::min(kPiece, content_out.size() - offset));
    DWORD got = 0;
    if (!ReadFile(handle.get(), content_out.data() + offset, want, &got, nullptr) ||
        got != want) {
      content_out.clear();
      SetErrorIfEmpty(error, "state file could not be read");
      return false;
    }
    offset += want;
  }
  existed_out = true;
  return true;
}

bool WriteStateFileAtomic(const std::filesystem::path& path, std::string_view content,
                          std::size_t max_size, std::string& error) {
  std::wstring parent;
  std::wstring name;
  if (content.empty() || content.size() > max_size || !SplitParentAndName(path, parent, name) ||
      !GetNativeFileApi().available()) {
    SetErrorIfEmpty(error, "state file path or payload is invalid");
    return false;
  }
  // Folders the write creates take the caller's spelling.
  std::filesystem::path folders = path;
  while (!folders.has_filename() && folders.has_relative_path()) folders = folders.parent_path();
  folders = folders.parent_path();
  if (CanonicalPath(folders) != parent) folders = parent;
  DirectoryChain chain;
  if (OpenChain(chain, folders, true, error) != ChainOpen::kOpen || !VerifyChain(chain)) {
    SetErrorIfEmpty(error, "state file directory could not be created safely");
    return false;
  }

  unique_handle temporary;
  PhysicalIdentity temporary_identity;
  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  bool created = false;
  for (int attempt = 0; attempt < kTemporaryAttempts && !created; ++attempt) {
    const std::uint64_t counter = g_temporary_counter.fetch_add(1) + 1;
    const std::wstring temporary_name = name + L".tmp." + pid + L"." + std::to_wstring(counter);
    std::string attempt_error;
    created = InjectedFault("create temporary") == 0 &&
              OpenInChain(chain, temporary_name, kTemporaryAccess, 0, native_open::kFileCreate,
                          kTemporaryOptions, "create temporary", temporary, temporary_identity,
                          attempt_error);
  }
  if (!created) {
    SetErrorIfEmpty(error, "state file temporary could not be opened");
    return false;
  }

  if (!WriteAll(temporary.get(), content)) {
    MarkForDeletion(temporary.get());
    SetErrorIfEmpty(error, "state file temporary could not be written");
    return false;
  }
  bool staged = FlushFileBuffers(temporary.get()) && InjectedFault("read back") == 0 &&
                ReadBack(temporary.get(), content);
  if (!staged) {
    SetErrorIfEmpty(error, "state file temporary could not be written");
  } else if (InjectedFault("verify chain") != 0 || !VerifyChain(chain)) {
    staged = false;
    SetErrorIfEmpty(error, "state file directory handle is unsafe");
  } else {
    staged = RenameByHandle(temporary.get(), chain.last_handle(), LeafAsSpelled(path, name), error);
  }
  if (!staged) {
    MarkForDeletion(temporary.get());
    return false;
  }

  // The handle now names the target: prove it and read it back once more.
  PhysicalIdentity target_identity;
  if (InjectedFault("verify replacement") != 0 ||
      !VerifyChild(temporary.get(), chain.identities.back(), name, false, target_identity) ||
      !FlushFileBuffers(temporary.get()) || !ReadBack(temporary.get(), content)) {
    SetErrorIfEmpty(error, "state file atomic replacement verification failed");
    return false;
  }
  temporary.reset();
  ClearDeadWritersTemporaries(chain, parent, name);
  return true;
}

bool RemoveStateFile(const std::filesystem::path& path, std::string& error) {
  std::wstring parent;
  std::wstring name;
  if (!SplitParentAndName(path, parent, name) || !GetNativeFileApi().available()) {
    SetErrorIfEmpty(error, "state file removal target is unsafe");
    return false;
  }
  DirectoryChain chain;
  if (OpenChain(chain, parent, false, error) != ChainOpen::kOpen) {
    SetErrorIfEmpty(error, "state file removal target is unsafe");
    return false;
  }
  unique_handle handle;
  PhysicalIdentity identity;
  if (!OpenInChain(chain, name, kRemoveTargetAccess, native_open::kShareReadWrite,
                   native_open::kFileOpen, native_open::kNonDirectoryOptions,
                   "open remove target", handle, identity, error)) {
    return false;
  }
  unsigned char delete_file = 1;
  const NtStatus status = SetInformation(handle.get(), &delete_file, sizeof(delete_file),
                                         kFileDispositionInformation);
  if (status < 0) {
    SetErrorIfEmpty(error, FormatNativeFailure("remove target", status));
    return false;
  }
  return true;
}

}  // namespace kel
