#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kel {

// Folders already proven physical (EnsureStateDirectory) by one caller: a deployment of many
// files into the same few folders proves each folder once instead of once per file, which is
// most of the cost of a fresh install. Owned by one caller on one thread, for one operation.
class ProvenDirectories {
 public:
  bool Ensure(const std::filesystem::path& directory, std::string& error);
  // Files of `directory` that may be aside files of earlier runs, listed once per folder.
  const std::vector<std::wstring>& AsideCandidates(const std::filesystem::path& directory);

 private:
  std::set<std::wstring> proven_;
  std::map<std::wstring, std::vector<std::wstring>> aside_;
};

// Puts `source`'s content at `target` unless the target already holds the same bytes
// (then `unchanged` is set and the target is not touched). A target held open by SketchUp is
// moved aside and deleted at the next restart; files moved aside from it by earlier runs are
// deleted once nothing holds them. On failure neither flag is set.
bool DeployFile(const std::filesystem::path& source, const std::filesystem::path& target,
                bool& written, bool& unchanged, std::string& error,
                ProvenDirectories* proven = nullptr);

// Overwrites `target` with `source`; a locked target is renamed to target + ".old." + ticks.
bool ReplaceFileContent(const std::filesystem::path& source, const std::filesystem::path& target,
                        std::string& error, ProvenDirectories* proven = nullptr);

// Removes a file or tree (links themselves, never their destinations). What cannot be removed
// now is scheduled for deletion at restart and gets one line in `warnings`. True only when
// everything is gone now.
bool RemoveTreeOrScheduleAtReboot(const std::filesystem::path& path,
                                  std::vector<std::string>& warnings);

}  // namespace kel
