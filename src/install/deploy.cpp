#include "install/deploy.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/file_tree.h"
#include "common/handles.h"
#include "common/text.h"
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
  if (QueryPathKind(target) == PathKind::kLink && !RemoveTreeNoFollow(target)) {
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
  if (QueryPathKind(target) == PathKind::kFile) {
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
