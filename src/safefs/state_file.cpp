#include "safefs/state_file.h"

#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

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

NtStatus SetInformation(HANDLE handle, void* information, ULONG length, ULONG information_class) {
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
  // Layout of the rename record: flags (or the replace boolean) at 0, the root directory
  // handle at 8, the name's byte length at 16, the name at 20.
  std::vector<unsigned char> record(24 + name_bytes, 0);
  const ULONG replace_if_exists = 1;
  std::memcpy(record.data(), &replace_if_exists, sizeof(replace_if_exists));
  std::memcpy(record.data() + 8, &directory, sizeof(directory));
  const ULONG length = static_cast<ULONG>(name_bytes);
  std::memcpy(record.data() + 16, &length, sizeof(length));
  std::memcpy(record.data() + 20, name.data(), name_bytes);

  NtStatus status = SetInformation(file, record.data(), static_cast<ULONG>(record.size()),
                                   kFileRenameInformationEx);
  if (status >= 0) return true;
  if (!IsRenameClassUnsupported(status)) {
    SetErrorIfEmpty(error, FormatNativeFailure("atomic rename", status));
    return false;
  }
  std::fill(record.begin(), record.begin() + 8, 0);
  record[0] = 1;  // ReplaceIfExists
  status = SetInformation(file, record.data(), static_cast<ULONG>(record.size()),
                          kFileRenameInformation);
  if (status >= 0) return true;
  SetErrorIfEmpty(error, FormatNativeFailure("atomic rename legacy", status));
  return false;
}

}  // namespace

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
  if (!VerifyChild(handle.get(), parent_identity, name, true, identity)) {
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
  std::string content(static_cast<size_t>(size.QuadPart), '\0');
  size_t offset = 0;
  while (offset < content.size()) {
    const DWORD want = static_cast<DWORD>(std::min(kPiece, content.size() - offset));
    DWORD got = 0;
    if (!ReadFile(handle.get(), content.data() + offset, want, &got, nullptr) || got != want) {
      SetErrorIfEmpty(error, "state file could not be read");
      return false;
    }
    offset += want;
  }
  content_out = std::move(content);
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
  DirectoryChain chain;
  if (OpenChain(chain, parent, true, error) != ChainOpen::kOpen || !VerifyChain(chain)) {
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
    created = OpenInChain(chain, temporary_name, kTemporaryAccess, 0, native_open::kFileCreate,
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
  bool staged = FlushFileBuffers(temporary.get()) && ReadBack(temporary.get(), content);
  if (!staged) {
    SetErrorIfEmpty(error, "state file temporary could not be written");
  } else if (!VerifyChain(chain)) {
    staged = false;
    SetErrorIfEmpty(error, "state file directory handle is unsafe");
  } else {
    staged = RenameByHandle(temporary.get(), chain.last_handle(), name, error);
  }
  if (!staged) {
    MarkForDeletion(temporary.get());
    return false;
  }

  // The handle now names the target: prove it and read it back once more.
  PhysicalIdentity target_identity;
  if (!VerifyChild(temporary.get(), chain.identities.back(), name, false, target_identity) ||
      !FlushFileBuffers(temporary.get()) || !ReadBack(temporary.get(), content)) {
    SetErrorIfEmpty(error, "state file atomic replacement verification failed");
    return false;
  }
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
