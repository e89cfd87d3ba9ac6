#include "install/deploy.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/file_tree.h"
#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "install/package_paths.h"
#include "install/sha256.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"
#include "sketchup/discovery.h"
#include "sketchup/installed_version.h"

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

// Deletes aside copies of `target` that a deployment of this product made (target + ".old." +
// pid + "_" + ticks) whose process is gone and that nothing holds any more. A user's own
// "x.rb.old.20240501", and the copies of a run still going, stay.
void RemoveAsideFiles(const std::filesystem::path& target,
                      const std::vector<std::wstring>& candidates) {
  const std::wstring target_name = target.filename().wstring();
  for (const std::wstring& name : candidates) {
    const auto owner = ParseAsideName(name, target_name);
    if (!owner || OwnerMayBeRunning(*owner)) continue;
    const std::filesystem::path aside = target.parent_path() / name;
    // Never a link that merely carries such a name.
    if (QueryPathKind(aside) == PathKind::kFile) RemoveTreeNoFollow(aside);
  }
}

void ScheduleDeleteAtRestart(const std::filesystem::path& path) {
  // Refused for ordinary users on many machines; the warning is what the user gets then.
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// An aside copy of this run, once the release is committed. A refusal of a moment (a scanner
// opening the file) is asked once more; a holder that keeps it open leaves it to the restart.
void DeleteAsideCopy(const std::filesystem::path& aside) {
  const std::wstring aside_path = ToExtendedPathIfLong(aside);
  SetFileAttributesW(aside_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileW(aside_path.c_str())) return;
  Sleep(50);
  SetFileAttributesW(aside_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileW(aside_path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    ScheduleDeleteAtRestart(aside);
  }
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

constexpr DWORD kCopyBlock = 1 << 20;

std::atomic<bool> g_flush_written_files{true};

// Copies `source` into the new file `out`, hashing the bytes on the way, and flushes it: what
// reaches the disk is exactly what was hashed.
bool CopyHashed(const std::filesystem::path& source, HANDLE out, const std::filesystem::path& target,
                const std::string& sha256, std::vector<unsigned char>& buffer, std::string& error) {
  unique_file in(CreateFileW(ToExtendedPathIfLong(source).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) {
    error = "无法读取文件计算校验和: " + WideToUtf8(source.wstring());
    return false;
  }
  if (buffer.size() != kCopyBlock) buffer.resize(kCopyBlock);
  Sha256Stream hash;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buffer.data(), kCopyBlock, &got, nullptr)) {
      error = "无法读取文件计算校验和: " + WideToUtf8(source.wstring());
      return false;
    }
    if (got == 0) break;
    hash.Update(buffer.data(), got);
    DWORD put = 0;
    if (!WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) {
      error = WinErrorText("写入安装文件失败，可能磁盘空间不足", GetLastError()) + ": " +
              WideToUtf8(target.wstring());
      return false;
    }
  }
  if (g_flush_written_files.load(std::memory_order_relaxed) && !FlushFileBuffers(out)) {
    error = WinErrorText("写入安装文件失败，可能磁盘空间不足", GetLastError()) + ": " +
            WideToUtf8(target.wstring());
    return false;
  }
  std::string actual;
  if (!hash.Finish(actual, error)) return false;
  if (actual != sha256) {
    error = "安装文件 SHA-256 校验失败 (期望 " + sha256 + ", 实际 " + actual + "): " +
            WideToUtf8(target.wstring());
    return false;
  }
  return true;
}

std::string RelativeText(const std::filesystem::path& plugins_dir, const std::filesystem::path& path) {
  std::string text = WideToUtf8(path.lexically_relative(plugins_dir).wstring());
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

std::filesystem::path MarkerOf(const std::filesystem::path& plugins_dir) {
  return plugins_dir / L"kel_plugin_center" / kDeploymentMarkerName;
}

}  // namespace

Deployment::Deployment() : stamp_(NewRunStamp()) {}

Deployment::~Deployment() {
  if (!open_) return;
  std::vector<std::string> ignored;
  RollBack(ignored);
}

bool Deployment::Begin(const std::filesystem::path& plugins_dir,
                       const std::vector<PlannedFile>& files,
                       const std::optional<std::string>& version, std::string& error) {
  nlohmann::json record = {{"stamp", WideToUtf8(stamp_)}, {"files", nlohmann::json::array()}};
  if (version) record["version"] = *version;
  std::set<std::wstring> listed;
  std::vector<std::filesystem::path> missing_levels;
  const std::filesystem::path center = plugins_dir / L"kel_plugin_center";
  for (const PlannedFile& file : files) {
    const PathKind kind = QueryPathKind(file.target);
    record["files"].push_back({{"path", RelativeText(plugins_dir, file.target)},
                               {"existed", kind != PathKind::kMissing && kind != PathKind::kLink},
                               {"sha256", file.sha256}});
    for (std::filesystem::path level = file.target.parent_path();
         level != plugins_dir && level.has_relative_path() &&
         QueryPathKind(level) == PathKind::kMissing;
         level = level.parent_path()) {
      if (listed.insert(FoldCase(level.wstring())).second) missing_levels.push_back(level);
    }
  }
  // The record lives in kel_plugin_center: a fresh install makes that folder first.
  const bool center_missing = QueryPathKind(center) == PathKind::kMissing;
  std::string directory_error;
  if (!proven_.Ensure(center, directory_error, &created_directories_)) {
    error = "创建目标目录失败: " + directory_error;
    return false;
  }
  nlohmann::json directories = nlohmann::json::array();
  if (center_missing) directories.push_back(RelativeText(plugins_dir, center));
  for (const std::filesystem::path& level : missing_levels) {
    if (center_missing && FoldCase(level.wstring()) == FoldCase(center.wstring())) continue;
    directories.push_back(RelativeText(plugins_dir, level));
  }
  record["directories"] = std::move(directories);
  std::string write_error;
  if (!WriteStateFileAtomic(MarkerOf(plugins_dir), record.dump(2, ' ', false,
                                                                nlohmann::json::error_handler_t::replace),
                            kStateFileLimit16MiB, write_error)) {
    error = "无法记录安装进度: " + write_error;
    return false;
  }
  marker_ = MarkerOf(plugins_dir);
  return true;
}

bool Deployment::Replace(const std::filesystem::path& source, const std::filesystem::path& target,
                         PathKind kind, const std::string& sha256, std::string& error) {
  std::string directory_error;
  const bool directory_ready =
      proven_.Ensure(target.parent_path(), directory_error, &created_directories_);
  if (!directory_ready) {
    error = "创建目标目录失败: " + directory_error;
    return false;
  }
  const std::wstring target_path = ToExtendedPathIfLong(target);
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
    // without delete sharing: then nothing has changed. The move never replaces anything.
    const std::filesystem::path aside = AsideName(target, stamp_);
    if (!MoveFileExW(target_path.c_str(), ToExtendedPathIfLong(aside).c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
      error = RefusedText(target);
      return false;
    }
    written_.push_back({target, aside});
  }
  unique_file out(CreateFileW(target_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    error = RefusedText(target);
    return false;
  }
  if (!existed) written_.push_back({target, {}});
  return CopyHashed(source, out.get(), target, sha256, copy_buffer_, error);
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
  if (!Replace(source, target, kind, source_digest, error)) return false;
  written = true;
  return true;
}

bool Deployment::Write(const PlannedFile& file, std::string& error) {
  kept_.push_back(file.target);
  return Replace(file.source, file.target, QueryPathKind(file.target), file.sha256, error);
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

bool Deployment::Finish(const std::optional<std::string>& version, std::string& error) {
  if (version && !marker_.empty()) {
    // The commit point: every file is flushed, and VERSION now says so.
    std::string write_error;
    if (!WriteStateFileAtomic(marker_.parent_path() / L"VERSION", *version, kStateFileLimit64KiB,
                              write_error)) {
      error = "写入版本文件失败: " + write_error;
      return false;
    }
  }
  const std::filesystem::path marker = marker_;
  Commit();
  // Past the commit point nothing may be taken back: a record that stays only makes the next
  // run finish what is already finished, but the run must not say it is done.
  std::string remove_error;
  if (!marker.empty() && !RemoveStateFile(marker, remove_error) &&
      !RemoveStateFile(marker, remove_error)) {
    error = "安装文件已全部写入，但无法删除安装进度记录: " + remove_error;
    return false;
  }
  return true;
}

void Deployment::Commit() {
  open_ = false;
  for (const Written& file : written_) {
    if (file.aside.empty()) continue;
    // Our own rename of a proven regular file (links are never moved aside). One still open
    // with delete sharing is deleted once its holder closes it.
    DeleteAsideCopy(file.aside);
  }
  // Aside files of earlier runs whose process is gone (one whose holder kept its file open).
  for (const std::filesystem::path& target : kept_)
    RemoveAsideFiles(target, proven_.AsideCandidates(target.parent_path()));
  written_.clear();
  created_directories_.clear();
  kept_.clear();
  marker_.clear();
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
  // The record goes once the folder is back; one that is not stays for the next run.
  if (whole && !marker_.empty()) {
    std::string ignored;
    RemoveStateFile(marker_, ignored);
  }
  // Only folders that are empty again: anything another party put there stays.
  for (auto directory = created_directories_.rbegin(); directory != created_directories_.rend();
       ++directory) {
    RemoveDirectoryW(ToExtendedPathIfLong(*directory).c_str());
  }
  written_.clear();
  created_directories_.clear();
  kept_.clear();
  marker_.clear();
  return whole;
}

std::string Deployment::RollBackAfter(const std::string& error) {
  std::vector<std::string> warnings;
  RollBack(warnings);
  std::string message = error;
  for (const std::string& warning : warnings) message += "\n" + warning;
  return message;
}

void SetFlushWrittenFiles(bool flush) { g_flush_written_files.store(flush); }

bool RecoverUnfinishedDeployment(const std::filesystem::path& plugins_dir, std::string& error) {
  const std::filesystem::path marker = MarkerOf(plugins_dir);
  bool existed = false;
  std::string content, read_error;
  if (!ReadStateFile(marker, kStateFileLimit16MiB, true, existed, content, read_error)) {
    error = "无法读取上次未完成的安装记录: " + read_error;
    return false;
  }
  if (!existed) return true;
  const auto unreadable = [&] {
    error = "上次未完成的安装记录已损坏: " + WideToUtf8(marker.wstring());
    return false;
  };
  const nlohmann::json record = nlohmann::json::parse(content, nullptr, false);
  if (!record.is_object() || !record.contains("stamp") || !record["stamp"].is_string() ||
      !record.contains("files") || !record["files"].is_array())
    return unreadable();
  const std::wstring stamp = Utf8ToWide(record["stamp"].get<std::string>());
  if (stamp.empty()) return unreadable();
  struct Entry {
    std::filesystem::path target;
    bool existed = false;
    std::string sha256;
  };
  std::vector<Entry> entries;
  for (const nlohmann::json& item : record["files"]) {
    if (!item.is_object() || !item.contains("path") || !item["path"].is_string() ||
        !item.contains("existed") || !item["existed"].is_boolean() || !item.contains("sha256") ||
        !item["sha256"].is_string())
      return unreadable();
    Entry entry;
    std::wstring key;
    // The record sits in the user's folder: it never names anything an install could not
    // write itself.
    if (!ResolveWritablePath(plugins_dir, item["path"].get<std::string>(), entry.target, key))
      return unreadable();
    entry.existed = item["existed"].get<bool>();
    entry.sha256 = item["sha256"].get<std::string>();
    entries.push_back(std::move(entry));
  }
  std::optional<std::string> version;
  if (record.contains("version")) {
    if (!record["version"].is_string()) return unreadable();
    version = record["version"].get<std::string>();
  }

  // Every file already new: the run got past its last file and only its final steps are left.
  const bool complete = std::all_of(entries.begin(), entries.end(), [](const Entry& entry) {
    std::string digest, ignored;
    return QueryPathKind(entry.target) == PathKind::kFile &&
           Sha256OfFile(entry.target, digest, ignored) && digest == entry.sha256;
  });
  if (complete) {
    // The killed run may have died before a file's flush: VERSION goes only over flushed
    // files. One we may not open for writing any more is left to the system's write-back.
    for (const Entry& entry : entries) {
      unique_file file(CreateFileW(ToExtendedPathIfLong(entry.target).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (file && g_flush_written_files.load(std::memory_order_relaxed) &&
          !FlushFileBuffers(file.get())) {
        error = WinErrorText("写入安装文件失败，可能磁盘空间不足", GetLastError()) + ": " +
                WideToUtf8(entry.target.wstring());
        return false;
      }
    }
    if (version && !version->empty()) {
      std::string write_error;
      if (!WriteStateFileAtomic(marker.parent_path() / L"VERSION", *version, kStateFileLimit64KiB,
                                write_error)) {
        error = "写入版本文件失败: " + write_error;
        return false;
      }
    }
    for (const Entry& entry : entries) {
      const std::filesystem::path aside = AsideName(entry.target, stamp);
      if (QueryPathKind(aside) != PathKind::kFile) continue;
      DeleteAsideCopy(aside);
    }
  } else {
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
      const std::filesystem::path aside = AsideName(entry->target, stamp);
      const std::wstring target_path = ToExtendedPathIfLong(entry->target);
      if (entry->existed) {
        // Not moved aside yet: the target is still the old file.
        if (QueryPathKind(aside) != PathKind::kFile) continue;
        if (!MoveFileExW(ToExtendedPathIfLong(aside).c_str(), target_path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
          error = WinErrorText("无法还原上次未完成的安装", GetLastError()) + ": " +
                  WideToUtf8(entry->target.wstring()) + "，原内容保留在: " +
                  WideToUtf8(aside.wstring());
          return false;
        }
        continue;
      }
      const PathKind kind = QueryPathKind(entry->target);
      if (kind != PathKind::kFile) continue;
      SetFileAttributesW(target_path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(target_path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        error = WinErrorText("无法删除上次未完成安装写入的文件", GetLastError()) + ": " +
                WideToUtf8(entry->target.wstring());
        return false;
      }
    }
  }
  std::string remove_error;
  if (!RemoveStateFile(marker, remove_error)) {
    error = "无法删除上次未完成的安装记录: " + remove_error;
    return false;
  }
  if (!complete && record.contains("directories") && record["directories"].is_array()) {
    // Deepest first; only folders that are empty again.
    std::vector<std::filesystem::path> directories;
    for (const nlohmann::json& item : record["directories"]) {
      std::filesystem::path directory;
      std::wstring key;
      if (item.is_string() && ResolveWritablePath(plugins_dir, item.get<std::string>(), directory, key))
        directories.push_back(directory);
    }
    std::sort(directories.begin(), directories.end(),
              [](const auto& a, const auto& b) { return a.wstring().size() > b.wstring().size(); });
    for (const std::filesystem::path& directory : directories)
      RemoveDirectoryW(ToExtendedPathIfLong(directory).c_str());
  }
  return true;
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
