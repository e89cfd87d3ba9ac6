#include "install/deploy.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/file_tree.h"
#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "install/sha256.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"
#include "sketchup/discovery.h"

namespace kel {
namespace {

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
  for (const std::wstring& name : candidates) {
    if (name.size() <= prefix.size() || FoldCase(name.substr(0, prefix.size())) != prefix) continue;
    if (name.find_first_not_of(L"0123456789", prefix.size()) != std::wstring::npos) continue;
    const std::filesystem::path aside = target.parent_path() / name;
    // Never a link that merely carries such a name.
    if (QueryPathKind(aside) == PathKind::kFile) RemoveTreeNoFollow(aside);
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

bool ProvenDirectories::Ensure(const std::filesystem::path& directory, std::string& error,
                               std::vector<std::filesystem::path>* created) {
  std::wstring key = FoldCase(directory.lexically_normal().wstring());
  if (proven_.count(key) != 0) return true;
  if (created) {
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path level = directory;
         level.has_relative_path() && QueryPathKind(level) == PathKind::kMissing;
         level = level.parent_path()) {
      missing.push_back(level);
    }
    // Listed even when the creation fails halfway: the levels it made are empty and go too.
    created->insert(created->end(), missing.rbegin(), missing.rend());
  }
  if (!EnsureStateDirectory(directory, error)) return false;
  proven_.insert(std::move(key));
  return true;
}

namespace {

std::string RefusedText(const std::filesystem::path& target) {
  return "写入文件被占用或拒绝访问: " + WideToUtf8(target.wstring());
}

// A name no file has yet: two replacements within one tick must not meet.
std::filesystem::path FreeAsideName(const std::filesystem::path& target) {
  for (ULONGLONG ticks = GetTickCount64();; ++ticks) {
    std::filesystem::path aside = target.wstring() + L".old." + std::to_wstring(ticks);
    // A name that cannot be checked is tried as it is: the move never replaces anything.
    const PathKind kind = QueryPathKind(aside);
    if (kind == PathKind::kMissing || kind == PathKind::kError) return aside;
  }
}

}  // namespace

Deployment::~Deployment() {
  if (!open_) return;
  std::vector<std::string> ignored;
  RollBack(ignored);
}

bool Deployment::Replace(const std::filesystem::path& source, const std::filesystem::path& target,
                         PathKind kind, std::string& error) {
  std::string directory_error;
  const bool directory_ready =
      proven_.Ensure(target.parent_path(), directory_error, &created_directories_);
  if (!directory_ready) {
    error = "创建目标目录失败: " + directory_error;
    return false;
  }
  const std::wstring target_path = ToExtendedPathIfLong(target);
  const std::wstring source_path = ToExtendedPathIfLong(source);
  if (kind == PathKind::kDirectory) {
    error = RefusedText(target);
    return false;
  }
  // A link is removed as itself, never renamed: Wine renames what a Unix link points at, which
  // would carry the destination into this folder. Nothing is lost with it: its destination,
  // the only content, is never touched.
  if (kind == PathKind::kLink && !RemoveTreeNoFollow(target)) {
    error = RefusedText(target);
    return false;
  }
  const bool existed = kind != PathKind::kMissing && kind != PathKind::kLink;
  if (existed) {
    // The old file keeps its bytes and attributes under the aside name until the whole
    // deployment has succeeded. Renaming is refused while another process holds the file
    // without delete sharing: then nothing has changed.
    const std::filesystem::path aside = FreeAsideName(target);
    if (!MoveFileExW(target_path.c_str(), ToExtendedPathIfLong(aside).c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
      error = RefusedText(target);
      return false;
    }
    written_.push_back({target, aside});
  }
  if (!CopyFileW(source_path.c_str(), target_path.c_str(), TRUE)) {
    error = RefusedText(target);
    return false;
  }
  if (!existed) written_.push_back({target, {}});
  return true;
}

bool Deployment::Deploy(const std::filesystem::path& source, const std::filesystem::path& target,
                        bool& written, bool& unchanged, std::string& error) {
  written = false;
  unchanged = false;
  std::string source_digest;
  if (!Sha256OfFile(source, source_digest, error)) return false;
  kept_.push_back(target);
  const PathKind kind = QueryPathKind(target);
  if (kind == PathKind::kFile) {
    std::string target_digest, ignored;
    if (Sha256OfFile(target, target_digest, ignored) && target_digest == source_digest) {
      unchanged = true;
      return true;
    }
  }
  if (!Replace(source, target, kind, error)) return false;
  written = true;
  return true;
}

bool Deployment::CheckReplaceable(const std::filesystem::path& target, std::string& error) {
  const PathKind kind = QueryPathKind(target);
  if (kind == PathKind::kMissing) return true;
  if (kind == PathKind::kDirectory) {
    error = RefusedText(target);
    return false;
  }
  // Asks for what the rename will need, sharing everything: only a holder that refused
  // delete sharing, or rights we lack, make this fail.
  unique_file probe(CreateFileW(ToExtendedPathIfLong(target).c_str(), DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (probe) return true;
  error = RefusedText(target);
  return false;
}

void Deployment::Keep(const std::filesystem::path& target) { kept_.push_back(target); }

void Deployment::Commit() {
  open_ = false;
  for (const Written& file : written_) {
    if (file.aside.empty()) continue;
    // Our own rename of a proven regular file (links are never moved aside). One still open
    // with delete sharing is deleted once its holder closes it.
    const std::wstring aside_path = ToExtendedPathIfLong(file.aside);
    SetFileAttributesW(aside_path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(aside_path.c_str())) ScheduleDeleteAtRestart(file.aside);
  }
  // Aside files of earlier runs (one that was killed, or whose holder kept its file open).
  for (const std::filesystem::path& target : kept_)
    RemoveAsideFiles(target, proven_.AsideCandidates(target.parent_path()));
  written_.clear();
  created_directories_.clear();
  kept_.clear();
}

bool Deployment::RollBack(std::vector<std::string>& warnings) {
  open_ = false;
  bool whole = true;
  for (auto file = written_.rbegin(); file != written_.rend(); ++file) {
    const std::wstring target_path = ToExtendedPathIfLong(file->target);
    SetFileAttributesW(target_path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (file->aside.empty()) {
      if (!DeleteFileW(target_path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        warnings.push_back(WinErrorText("无法删除本次写入的新文件", GetLastError()) + ": " +
                           WideToUtf8(file->target.wstring()));
        whole = false;
      }
      continue;
    }
    if (!MoveFileExW(ToExtendedPathIfLong(file->aside).c_str(), target_path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      // The old bytes stay where they are; nothing may delete them.
      warnings.push_back(WinErrorText("无法还原文件", GetLastError()) + ": " +
                         WideToUtf8(file->target.wstring()) + "，原内容保留在: " +
                         WideToUtf8(file->aside.wstring()));
      whole = false;
    }
  }
  // Only folders that are empty again: anything another party put there stays.
  for (auto directory = created_directories_.rbegin(); directory != created_directories_.rend();
       ++directory) {
    RemoveDirectoryW(ToExtendedPathIfLong(*directory).c_str());
  }
  written_.clear();
  created_directories_.clear();
  kept_.clear();
  return whole;
}

std::string Deployment::RollBackAfter(const std::string& error) {
  std::vector<std::string> warnings;
  RollBack(warnings);
  std::string message = error;
  for (const std::string& warning : warnings) message += "\n" + warning;
  return message;
}

bool DeployFile(const std::filesystem::path& source, const std::filesystem::path& target,
                bool& written, bool& unchanged, std::string& error) {
  Deployment deployment;
  if (deployment.Deploy(source, target, written, unchanged, error)) {
    deployment.Commit();
    return true;
  }
  error = deployment.RollBackAfter(error);
  return false;
}

bool RemoveTreeOrScheduleAtReboot(const std::filesystem::path& path,
                                  std::vector<std::string>& warnings) {
  std::vector<TreeRemovalFailure> failures;
  if (RemoveTreeNoFollow(path, &failures)) return true;
  for (const TreeRemovalFailure& failure : failures) {
    const DWORD attributes = GetFileAttributesW(ToExtendedPathIfLong(failure.path).c_str());
    const bool directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    ScheduleDeleteAtRestart(failure.path);
    warnings.push_back((directory ? "目录占用已安排重启清理: " : "文件占用已安排重启清理: ") +
                       WideToUtf8(failure.path.wstring()));
  }
  return false;
}

}  // namespace kel
