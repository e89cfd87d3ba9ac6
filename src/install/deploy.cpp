#include "install/deploy.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cwctype>
#include <system_error>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "install/sha256.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"
#include "sketchup/discovery.h"

namespace kel {
namespace {

std::wstring FinalPathOfHandle(HANDLE handle) {
  std::wstring buffer(1024, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(),
                                           static_cast<DWORD>(buffer.size()), 0);
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
  }
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return FoldCase(buffer);
}

std::wstring FinalPathOf(const std::wstring& path, DWORD flags) {
  unique_file handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, flags, nullptr));
  if (!handle) return {};
  return FinalPathOfHandle(handle.get());
}

std::wstring JoinLower(std::wstring parent, const std::filesystem::path& name) {
  const std::wstring lower = FoldCase(name.wstring());
  if (parent.empty() || parent.back() != L'\\') parent += L'\\';
  return parent + lower;
}

// A link the attributes do not reveal: a Unix link inside a Wine prefix opens its destination
// and shows no reparse bit, so only the final path of the opened file gives it away. Writing
// "over" such a target would write into whatever it points at.
// `parent_final` may carry the parent's final path when the caller already has it.
bool FinalPathLeavesItsName(const std::filesystem::path& target,
                            std::wstring parent_final = {}) {
  const std::wstring file = FinalPathOf(ToExtendedPathIfLong(target), FILE_ATTRIBUTE_NORMAL);
  if (file.empty()) return false;
  const std::wstring parent =
      parent_final.empty()
          ? FinalPathOf(ToExtendedPathIfLong(target.parent_path()), FILE_FLAG_BACKUP_SEMANTICS)
          : std::move(parent_final);
  if (parent.empty()) return false;
  return file != JoinLower(parent, target.filename());
}

bool IsAnyLink(const std::filesystem::path& path) {
  return IsLinkOrReparsePoint(path) || FinalPathLeavesItsName(path);
}

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// A rename onto a link replaces the link itself, where deleting "the link" through a handle
// that followed it would reach its destination (Wine's Unix links behave so). So a file link
// is first swapped for an empty file of our own, which is then deleted.
bool RemoveFileLinkItself(const std::filesystem::path& path) {
  static std::atomic<std::uint64_t> counter{0};
  const std::wstring temporary = path.wstring() + L".tmp." + std::to_wstring(GetCurrentProcessId()) +
                                 L"." + std::to_wstring(++counter);
  const std::wstring temporary_ext = ToExtendedPathIfLong(temporary);
  {
    unique_file created(CreateFileW(temporary_ext.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!created) return false;
  }
  const std::wstring link = ToExtendedPathIfLong(path);
  if (!MoveFileExW(temporary_ext.c_str(), link.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temporary_ext.c_str());
    return false;
  }
  return DeleteFileW(link.c_str()) != 0;
}

// A directory link is deleted through a handle on the link itself. Where the system opens the
// destination instead (the final path names something else), nothing is deleted.
bool RemoveDirectoryLinkItself(const std::filesystem::path& path) {
  const std::wstring link = ToExtendedPathIfLong(path);
  unique_file handle(CreateFileW(link.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return false;
  const std::wstring parent =
      FinalPathOf(ToExtendedPathIfLong(path.parent_path()), FILE_FLAG_BACKUP_SEMANTICS);
  if (parent.empty() || FinalPathOfHandle(handle.get()) != JoinLower(parent, path.filename()))
    return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != 0;
}

bool RemoveLinkItself(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(ToExtendedPathIfLong(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return RemoveDirectoryLinkItself(path);
  return RemoveFileLinkItself(path);
}

// Whether the item a link points at exists (status following links).
bool LinkDestinationExists(const std::wstring& path) {
  unique_file handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle) return true;
  const DWORD code = GetLastError();
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

// Files in a folder (or of one name, for a pattern naming it) that may have been moved aside.
std::vector<std::wstring> AsideCandidates(const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                    nullptr, 0));
  if (!find) return names;
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
      names.push_back(data.cFileName);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

// Deletes the files an earlier deployment moved aside from `target` (target + ".old." +
// digits, our own names only) that nothing holds any more; a held one stays for a later run.
void RemoveAsideFiles(const std::filesystem::path& target,
                      const std::vector<std::wstring>& candidates) {
  const std::wstring prefix = FoldCase(target.filename().wstring() + L".old.");
  std::vector<std::wstring> names;
  for (const std::wstring& name : candidates) {
    if (name.size() <= prefix.size() || FoldCase(name.substr(0, prefix.size())) != prefix) continue;
    if (name.find_first_not_of(L"0123456789", prefix.size()) != std::wstring::npos) continue;
    names.push_back(name);
  }
  if (names.empty()) return;
  const std::wstring parent =
      FinalPathOf(ToExtendedPathIfLong(target.parent_path()), FILE_FLAG_BACKUP_SEMANTICS);
  if (parent.empty()) return;
  for (const std::wstring& name : names) {
    const std::filesystem::path aside = target.parent_path() / name;
    unique_file file(CreateFileW(ToExtendedPathIfLong(aside).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // Deleted only through the handle whose final path shows it is that very file.
    if (!file || FinalPathOfHandle(file.get()) != JoinLower(parent, name)) continue;
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition));
  }
}

void ScheduleDeleteAtRestart(const std::filesystem::path& path) {
  // Refused for ordinary users on many machines; the warning is what the user gets then.
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

const std::vector<std::wstring>& ProvenDirectories::AsideCandidates(
    const std::filesystem::path& directory) {
  std::wstring key = FoldCase(directory.lexically_normal().wstring());
  const auto found = aside_.find(key);
  if (found != aside_.end()) return found->second;
  return aside_[std::move(key)] =
             kel::AsideCandidates(ToExtendedPathIfLong(directory / L"*.old.*"));
}

bool ProvenDirectories::Ensure(const std::filesystem::path& directory, std::string& error) {
  std::wstring key = FoldCase(directory.lexically_normal().wstring());
  if (proven_.count(key) != 0) return true;
  if (!EnsureStateDirectory(directory, error)) return false;
  proven_.insert(std::move(key));
  return true;
}

bool ReplaceFileContent(const std::filesystem::path& source, const std::filesystem::path& target,
                        std::string& error, ProvenDirectories* proven) {
  std::string directory_error;
  const bool directory_ready = proven ? proven->Ensure(target.parent_path(), directory_error)
                                      : EnsureStateDirectory(target.parent_path(), directory_error);
  if (!directory_ready) {
    error = "创建目标目录失败: " + directory_error;
    return false;
  }
  const std::wstring target_path = ToExtendedPathIfLong(target);
  const std::wstring source_path = ToExtendedPathIfLong(source);
  // A link that cannot be removed without reaching its destination is never written through.
  if (IsAnyLink(target) && !RemoveLinkItself(target)) {
    error = "写入文件被占用或拒绝访问: " + WideToUtf8(target.wstring());
    return false;
  }
  SetFileAttributesW(target_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (CopyFileW(source_path.c_str(), target_path.c_str(), FALSE)) return true;

  // Typically SketchUp holds the file open. If it allowed delete sharing the old file can be
  // renamed away; the holder keeps reading it under the aside name until it closes it.
  const std::wstring aside = target.wstring() + L".old." + std::to_wstring(GetTickCount64());
  if (MoveFileExW(target_path.c_str(), ToExtendedPathIfLong(aside).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ScheduleDeleteAtRestart(aside);
    if (CopyFileW(source_path.c_str(), target_path.c_str(), FALSE)) return true;
  }
  error = "写入文件被占用或拒绝访问: " + WideToUtf8(target.wstring());
  return false;
}

bool DeployFile(const std::filesystem::path& source, const std::filesystem::path& target,
                bool& written, bool& unchanged, std::string& error, ProvenDirectories* proven) {
  written = false;
  unchanged = false;
  std::string source_digest;
  if (!Sha256OfFile(source, source_digest, error)) return false;
  if (proven) {
    RemoveAsideFiles(target, proven->AsideCandidates(target.parent_path()));
  } else {
    RemoveAsideFiles(target, AsideCandidates(ToExtendedPathIfLong(target.wstring() + L".old.*")));
  }
  if (IsRegularFile(target) && !IsAnyLink(target)) {
    std::string target_digest, ignored;
    if (Sha256OfFile(target, target_digest, ignored) && target_digest == source_digest) {
      unchanged = true;
      return true;
    }
  }
  if (!ReplaceFileContent(source, target, error, proven)) return false;
  written = true;
  return true;
}

namespace {

bool RemoveTree(const std::filesystem::path& path, std::vector<std::string>& warnings,
                const std::wstring& parent_final) {
  const std::wstring extended = ToExtendedPathIfLong(path);
  const DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;

  // With the attributes read, their reparse bit is the whole link test.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A dangling link counts as nothing there; a live one goes, its destination stays.
    if (!LinkDestinationExists(extended)) return true;
    return RemoveLinkItself(path);
  }

  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((extended + L"\\*").c_str(), &data));
    if (find) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
      } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    // One look at this folder's own final path serves the link test of every file in it.
    const std::wstring own_final = FinalPathOf(extended, FILE_FLAG_BACKUP_SEMANTICS);
    bool all_removed = true;
    for (const std::wstring& name : names) {
      if (!RemoveTree(path / name, warnings, own_final)) all_removed = false;
    }
    SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!RemoveDirectoryW(extended.c_str())) {
      ScheduleDeleteAtRestart(path);
      warnings.push_back("目录占用已安排重启清理: " + WideToUtf8(path.wstring()));
      return false;
    }
    return all_removed;
  }

  // The file is deleted through the very handle whose final path was checked: a file link
  // that hides as a plain file (it opens its destination) is never deleted through.
  unique_file file(CreateFileW(extended.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file) {
    const std::wstring parent =
        parent_final.empty()
            ? FinalPathOf(ToExtendedPathIfLong(path.parent_path()), FILE_FLAG_BACKUP_SEMANTICS)
            : parent_final;
    const std::wstring own = FinalPathOfHandle(file.get());
    if (!parent.empty() && !own.empty() && own != JoinLower(parent, path.filename())) {
      file.reset();
      return RemoveFileLinkItself(path);
    }
    if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
      FILE_BASIC_INFO basic{};
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                   sizeof(disposition)))
      return true;
  }
  ScheduleDeleteAtRestart(path);
  warnings.push_back("文件占用已安排重启清理: " + WideToUtf8(path.wstring()));
  return false;
}

}  // namespace

bool RemoveTreeOrScheduleAtReboot(const std::filesystem::path& path,
                                  std::vector<std::string>& warnings) {
  return RemoveTree(path, warnings, {});
}

}  // namespace kel
