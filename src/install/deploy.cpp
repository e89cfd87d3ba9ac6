#include "install/deploy.h"

#include <windows.h>

#include "common/file_tree.h"
#include "common/text.h"
#include "install/sha256.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"
#include "sketchup/discovery.h"

namespace kel {
namespace {

void ScheduleDeleteAtRestart(const std::filesystem::path& path) {
  // Refused for ordinary users on many machines; the warning is what the user gets then.
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

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
