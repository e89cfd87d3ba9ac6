#include "common/file_tree.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "safefs/physical_path.h"

namespace kel {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kClearableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool IsMissingCode(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::wstring FinalPathOf(const std::filesystem::path& path, DWORD flags) {
  unique_file handle(CreateFileW(ToExtendedPathIfLong(path).c_str(), FILE_READ_ATTRIBUTES,
                                 kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!handle) return {};
  return NormalizedFinalPath(handle.get());
}

std::wstring ParentFinalPath(const std::filesystem::path& path) {
  return FinalPathOf(path.parent_path(), FILE_FLAG_BACKUP_SEMANTICS);
}

// Where an item opened through `path` must end up if nothing on the way was a link: its
// parent's final path and its own name. A short (8.3) name is expanded first.
std::wstring ExpectedFinalPath(const std::filesystem::path& path,
                               const std::wstring& parent_final) {
  std::wstring name = path.filename().wstring();
  if (name.find(L'~') != std::wstring::npos) {
    const std::wstring canonical = CanonicalPath(path);
    const size_t separator = canonical.find_last_of(L'\\');
    if (separator != std::wstring::npos) name = canonical.substr(separator + 1);
  }
  std::wstring expected = parent_final;
  if (expected.empty() || expected.back() != L'\\') expected += L'\\';
  return expected + FoldCase(name);
}

// A handle that reached something other than the entry `path` names (Wine's Unix links
// open their destination). Undecided (false) when a final path cannot be read.
bool OpenedElsewhere(HANDLE handle, const std::filesystem::path& path,
                     const std::wstring& parent_final) {
  const std::wstring parent = parent_final.empty() ? ParentFinalPath(path) : parent_final;
  const std::wstring own = NormalizedFinalPath(handle);
  return !parent.empty() && !own.empty() && own != ExpectedFinalPath(path, parent);
}

DWORD LastErrorOr(DWORD fallback) {
  const DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : fallback;
}

// A rename onto a link replaces the link itself, where deleting "the link" through a handle
// that followed it would reach its destination (Wine's Unix links behave so). So a file link
// is first swapped for an empty file of our own, which is then deleted.
DWORD RemoveFileLinkItself(const std::filesystem::path& path) {
  static std::atomic<std::uint64_t> counter{0};
  const std::wstring temporary = path.wstring() + L".tmp." +
                                 std::to_wstring(GetCurrentProcessId()) + L"." +
                                 std::to_wstring(++counter);
  const std::wstring temporary_ext = ToExtendedPathIfLong(temporary);
  {
    unique_file created(CreateFileW(temporary_ext.c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!created) return LastErrorOr(ERROR_ACCESS_DENIED);
  }
  const std::wstring link = ToExtendedPathIfLong(path);
  if (!MoveFileExW(temporary_ext.c_str(), link.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD code = LastErrorOr(ERROR_ACCESS_DENIED);
    DeleteFileW(temporary_ext.c_str());
    return code;
  }
  return DeleteFileW(link.c_str()) ? ERROR_SUCCESS : LastErrorOr(ERROR_ACCESS_DENIED);
}

// A directory link is deleted through a handle on the link itself. Where the system opens the
// destination instead (Wine does for its Unix links), nothing is deleted.
DWORD RemoveDirectoryLinkItself(const std::filesystem::path& path) {
  unique_file handle(CreateFileW(ToExtendedPathIfLong(path).c_str(),
                                 DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                 nullptr));
  if (!handle) return LastErrorOr(ERROR_ACCESS_DENIED);
  const std::wstring parent = ParentFinalPath(path);
  if (parent.empty() || NormalizedFinalPath(handle.get()) != ExpectedFinalPath(path, parent))
    return ERROR_ACCESS_DENIED;
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition))
             ? ERROR_SUCCESS
             : LastErrorOr(ERROR_ACCESS_DENIED);
}

std::vector<std::wstring> ListNames(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

struct KeptFiles {
  std::mutex mutex;
  std::vector<std::pair<DWORD, std::uint64_t>> ids;  // volume serial, file index
};

// Never destroyed: a detached worker may still remove a tree while the process ends.
KeptFiles& Kept() {
  static KeptFiles& kept = *new KeptFiles;
  return kept;
}

bool FileIdOf(HANDLE file, std::pair<DWORD, std::uint64_t>& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  id = {info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool IsKeptFile(HANDLE file) {
  {
    std::lock_guard lock(Kept().mutex);
    if (Kept().ids.empty()) return false;
  }
  // The index first: the full id asks for the volume serial, a volume query per file.
  std::uint64_t index = 0;
  if (FileIndexOf(file, index)) {
    std::lock_guard lock(Kept().mutex);
    bool candidate = false;
    for (const auto& kept : Kept().ids) candidate = candidate || kept.second == index;
    if (!candidate) return false;
  }
  std::pair<DWORD, std::uint64_t> id;
  if (!FileIdOf(file, id)) return false;
  std::lock_guard lock(Kept().mutex);
  for (const auto& kept : Kept().ids) {
    if (kept == id) return true;
  }
  return false;
}

class TreeRemover {
 public:
  explicit TreeRemover(std::vector<TreeRemovalFailure>* failures) : failures_(failures) {}

  // `parent_final` is the parent's final path when the caller already has it.
  bool Remove(const std::filesystem::path& path, const std::wstring& parent_final) {
    const std::wstring extended = ToExtendedPathIfLong(path);
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = GetLastError();
      return IsMissingCode(code) || Fail(path, code);
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      const DWORD code = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                             ? RemoveDirectoryLinkItself(path)
                             : RemoveFileLinkItself(path);
      return code == ERROR_SUCCESS || Fail(path, code);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return RemoveFolder(path, extended);
    return RemoveRegularFile(path, extended, attributes, parent_final);
  }

 private:
  bool Fail(const std::filesystem::path& path, DWORD code) {
    if (failures_ != nullptr) failures_->push_back({path, code});
    return false;
  }

  bool RemoveFolder(const std::filesystem::path& path, const std::wstring& extended) {
    // Names first: changing a folder while it is enumerated may skip entries.
    const std::vector<std::wstring> names = ListNames(extended);
    // One look at this folder's own final path serves the link test of every file in it.
    const std::wstring own_final = FinalPathOf(path, FILE_FLAG_BACKUP_SEMANTICS);
    bool all_removed = true;
    const std::size_t kept_before = kept_;
    for (const std::wstring& name : names) {
      if (!Remove(path / name, own_final)) all_removed = false;
    }
    SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!RemoveDirectoryW(extended.c_str())) {
      const DWORD code = GetLastError();
      // The folder of a kept file stays for it.
      if (code == ERROR_DIR_NOT_EMPTY && kept_ != kept_before) return all_removed;
      return IsMissingCode(code) ? all_removed : Fail(path, code);
    }
    return all_removed;
  }

  // Deleted through the very handle whose final path was checked: a file link that hides as
  // a plain file (it opens its destination) is never deleted through.
  bool RemoveRegularFile(const std::filesystem::path& path, const std::wstring& extended,
                  DWORD attributes, const std::wstring& parent_final) {
    unique_file file(CreateFileW(extended.c_str(),
                                 DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
      const DWORD code = GetLastError();
      return IsMissingCode(code) || Fail(path, code);
    }
    if (OpenedElsewhere(file.get(), path, parent_final)) {
      file.reset();
      const DWORD code = RemoveFileLinkItself(path);
      return code == ERROR_SUCCESS || Fail(path, code);
    }
    if (IsKeptFile(file.get())) {
      ++kept_;
      return true;
    }
    if ((attributes & kClearableAttributes) != 0) {
      FILE_BASIC_INFO basic{};
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                   sizeof(disposition))) {
      return true;
    }
    return Fail(path, LastErrorOr(ERROR_ACCESS_DENIED));
  }

  std::vector<TreeRemovalFailure>* failures_;
  std::size_t kept_ = 0;  // kept files met so far
};

}  // namespace

PathKind QueryPathKind(const std::filesystem::path& path, unsigned long* error) {
  if (error != nullptr) *error = ERROR_SUCCESS;
  const std::wstring extended = ToExtendedPathIfLong(path);
  const DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (IsMissingCode(code)) return PathKind::kMissing;
    if (error != nullptr) *error = code;
    return PathKind::kError;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kDirectory;
  unique_file file(CreateFileW(extended.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  // Attributes readable but no handle: nothing shows it to be a link.
  if (file && OpenedElsewhere(file.get(), path, {})) return PathKind::kLink;
  return PathKind::kFile;
}

bool RemoveTreeNoFollow(const std::filesystem::path& path,
                        std::vector<TreeRemovalFailure>* failures) {
  return TreeRemover(failures).Remove(path, {});
}

void KeepThroughTreeRemovals(void* file_handle) {
  std::pair<DWORD, std::uint64_t> id;
  if (!FileIdOf(static_cast<HANDLE>(file_handle), id)) return;
  std::lock_guard lock(Kept().mutex);
  Kept().ids.push_back(id);
}

std::vector<std::wstring> ListDirectoryNames(const std::filesystem::path& directory) {
  return ListNames(ToExtendedPathIfLong(directory));
}

}  // namespace kel
