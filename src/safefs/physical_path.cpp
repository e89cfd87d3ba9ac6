#include "safefs/physical_path.h"

#include <winternl.h>

#include <atomic>
#include <cstring>

#include "common/text.h"
#include "common/win_error.h"
#include "safefs/state_file.h"
#include "safefs/volume_cache.h"

namespace kel {
namespace {

std::atomic<bool> g_api_hidden{false};

bool SameIdentityFields(const PhysicalIdentity& a, const PhysicalIdentity& b) {
  return a.volume_serial == b.volume_serial && a.file_id == b.file_id;
}

// The 64-bit file index in the low half of a 128-bit id.
bool FileIndexOf(HANDLE handle, std::array<std::uint8_t, 16>& id_out) {
  std::uint64_t index = 0;
  if (!kel::FileIndexOf(handle, index)) return false;
  id_out.fill(0);
  std::memcpy(id_out.data(), &index, sizeof(index));
  return true;
}

// A proven handle to a drive root (only fixed drives are opened). The kept handle of the
// operation is proven on every call; one that fails (the letter now names another volume, or
// the volume went away) is forgotten with everything else known of the drive, the type is asked
// again and a fresh handle replaces it.
bool ProvenDriveRoot(const std::wstring& root, SharedRootHandle& owner_out,
                     PhysicalIdentity& identity_out) {
  const std::wstring expected = CanonicalPath(root);
  auto prove = [&](const SharedRootHandle& handle) {
    PhysicalIdentity identity;
    if (!handle || !QueryPhysicalIdentity(static_cast<HANDLE>(handle.get()), true, identity) ||
        identity.final_path != expected) {
      return false;
    }
    owner_out = handle;
    identity_out = std::move(identity);
    return true;
  };
  if (DriveTypeOf(root) != DRIVE_FIXED) return false;
  if (SharedRootHandle kept = KeptDriveRoot(root)) {
    if (prove(kept)) return true;
    ForgetVolumeOf(root);
    if (DriveTypeOf(root) != DRIVE_FIXED) return false;
  }
  SharedRootHandle fresh = OpenDriveRoot(root);
  if (!prove(fresh)) {
    ForgetVolumeOf(root);
    return false;
  }
  KeepDriveRoot(root, std::move(fresh));
  return true;
}

}  // namespace

bool SameIdentity(const PhysicalIdentity& a, const PhysicalIdentity& b) {
  return SameIdentityFields(a, b) && a.final_path == b.final_path;
}

void DirectoryChain::Reset() {
  // The drive root's handle is shared: root_owner closes it, once nobody else holds it.
  if (root_owner && !handles.empty()) static_cast<void>(handles.front().release());
  // Leaf first, so no directory is closed while a child below it is still open.
  while (!handles.empty()) handles.pop_back();
  root_owner.reset();
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
    found.NtQueryInformationFile = reinterpret_cast<NativeFileApi::NtQueryInformationFileFn>(
        lookup("NtQueryInformationFile"));
    found.RtlNtStatusToDosError = reinterpret_cast<NativeFileApi::RtlNtStatusToDosErrorFn>(
        lookup("RtlNtStatusToDosError"));
    return found;
  }();
  static const NativeFileApi none;
  return g_api_hidden.load(std::memory_order_acquire) ? none : api;
}

bool FileIndexOf(HANDLE handle, std::uint64_t& index_out) {
  const NativeFileApi& api = GetNativeFileApi();
  if (!api.available()) return false;
  constexpr ULONG kFileInternalInformation = 6;
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER index{};
  if (api.NtQueryInformationFile(handle, &io, &index, sizeof(index), kFileInternalInformation) < 0)
    return false;
  index_out = static_cast<std::uint64_t>(index.QuadPart);
  return true;
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

bool QueryPhysicalIdentity(HANDLE handle, bool expect_directory, PhysicalIdentity& identity_out) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
    return false;
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  const bool is_directory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (is_directory != expect_directory) return false;
  std::wstring final_path = NormalizedFinalPath(handle);
  if (final_path.empty()) return false;
  VolumeFacts volume;
  if (!VolumeFactsOf(handle, final_path, volume)) return false;
  PhysicalIdentity identity;
  identity.volume_serial = volume.serial;
  // On these file systems the index, zero-extended, is what the 128-bit query gives.
  if (!volume.whole_id_in_64_bits || !FileIndexOf(handle, identity.file_id)) {
    FILE_ID_INFO id{};
    if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id))) return false;
    static_assert(sizeof(id.FileId.Identifier) == 16);
    std::memcpy(identity.file_id.data(), id.FileId.Identifier, 16);
  }
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

  // A refusal may come from what is remembered of the drive: the next walk asks afresh.
  auto fail = [&chain, &root](ChainOpen result) {
    chain.Reset();
    if (result == ChainOpen::kFailed) ForgetVolumeOf(root);
    return result;
  };

  SharedRootHandle root_owner;
  PhysicalIdentity root_identity;
  if (!ProvenDriveRoot(root, root_owner, root_identity)) return fail(ChainOpen::kFailed);
  chain.handles.emplace_back(static_cast<HANDLE>(root_owner.get()));
  chain.root_owner = std::move(root_owner);
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
    // A file this call created is ours alone: it goes with the handle instead of staying
    // behind under a name only a later writer would clear.
    if (disposition == native_open::kFileCreate && (access & DELETE) != 0) {
      unsigned char delete_file = 1;
      IO_STATUS_BLOCK io{};
      constexpr ULONG kFileDispositionInformation = 13;
      GetNativeFileApi().NtSetInformationFile(handle.get(), &io, &delete_file,
                                              sizeof(delete_file), kFileDispositionInformation);
    }
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
  // A chain that stops proving itself may stand on what is remembered of its drive.
  auto refused = [&chain] {
    if (!chain.identities.empty()) ForgetVolumeOf(chain.identities.front().final_path);
  };
  if (expect_directory) {
    const ChainOpen opened = OpenChain(chain, path, false, error);
    if (opened != ChainOpen::kOpen || !VerifyChain(chain)) {
      if (opened == ChainOpen::kOpen) refused();
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
  const ChainOpen opened = OpenChain(chain, parent, false, error);
  if (opened != ChainOpen::kOpen || !VerifyChain(chain)) {
    if (opened == ChainOpen::kOpen) refused();
    SetErrorIfEmpty(error, "physical file parent path is unsafe");
    return false;
  }
  unique_handle handle;
  PhysicalIdentity identity;
  ULONG open_error = 0;
  if (!OpenInChain(chain, name, native_open::kProofTargetAccess, native_open::kShareAll,
                   native_open::kFileOpen, native_open::kNonDirectoryOptions,
                   "open physical proof target", handle, identity, error, &open_error) ||
      !VerifyChain(chain)) {
    // A file that is simply not there says nothing about the drive.
    if (open_error != ERROR_FILE_NOT_FOUND && open_error != ERROR_PATH_NOT_FOUND) refused();
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

}  // namespace kel
