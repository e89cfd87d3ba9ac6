#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/file_tree.h"

namespace kel {

// Folders already proven physical (EnsureStateDirectory) by one caller: a deployment of many
// files into the same few folders proves each folder once instead of once per file, which is
// most of the cost of a fresh install. Owned by one caller on one thread, for one operation.
class ProvenDirectories {
 public:
  // `created` (optional) receives the levels that did not exist before, outermost first.
  bool Ensure(const std::filesystem::path& directory, std::string& error,
              std::vector<std::filesystem::path>* created = nullptr);
  // Files of `directory` that may be aside files of earlier runs, listed once per folder.
  const std::vector<std::wstring>& AsideCandidates(const std::filesystem::path& directory);

 private:
  std::set<std::wstring> proven_;
  std::map<std::wstring, std::vector<std::wstring>> aside_;
};

// The files one install writes into a Plugins folder, all or none: every replaced file is
// first moved aside (target + ".old." + ticks) and stays there until Commit, so a failure at
// any file can put the folder back as it was. A target held open with delete sharing (SketchUp
// reading it) can still be moved aside; the holder keeps reading the old bytes there.
class Deployment {
 public:
  Deployment() = default;
  Deployment(const Deployment&) = delete;
  Deployment& operator=(const Deployment&) = delete;
  // Whatever was neither committed nor rolled back is taken back (an exception unwinding).
  ~Deployment();

  // Puts `source`'s content at `target` unless the target already holds the same bytes (then
  // `unchanged` is set and the target is not touched). On failure neither flag is set and the
  // caller rolls back.
  bool Deploy(const std::filesystem::path& source, const std::filesystem::path& target,
              bool& written, bool& unchanged, std::string& error);
  // Fails, before anything is written, for an existing target that cannot be moved aside:
  // held open without delete sharing, or not ours to rename.
  bool CheckReplaceable(const std::filesystem::path& target, std::string& error);
  // A target already current: its aside files of earlier runs go at Commit.
  void Keep(const std::filesystem::path& target);

  // The new files stay and the aside copies go: one still open with delete sharing when its
  // holder closes it; one that cannot be deleted at all at a later run or at restart.
  void Commit();
  // Puts every written file back, removes new files and emptied new folders. False, with one
  // line per file in `warnings`, when something could not be put back; an old copy that
  // could not be restored stays under its aside name and is never deleted.
  bool RollBack(std::vector<std::string>& warnings);
  // RollBack after a failure: `error`, then one line per file that could not be put back.
  std::string RollBackAfter(const std::string& error);

 private:
  bool Replace(const std::filesystem::path& source, const std::filesystem::path& target,
               PathKind kind, std::string& error);

  struct Written {
    std::filesystem::path target;
    std::filesystem::path aside;  // empty: the target did not exist before
  };
  std::vector<Written> written_;
  std::vector<std::filesystem::path> created_directories_;
  std::vector<std::filesystem::path> kept_;
  ProvenDirectories proven_;
  bool open_ = true;
};

// One file deployed on its own (a Deployment of one file): the target ends up either new or
// exactly as before.
bool DeployFile(const std::filesystem::path& source, const std::filesystem::path& target,
                bool& written, bool& unchanged, std::string& error);

// Removes a file or tree (links themselves, never their destinations). What cannot be removed
// now is scheduled for deletion at restart and gets one line in `warnings`. True only when
// everything is gone now.
bool RemoveTreeOrScheduleAtReboot(const std::filesystem::path& path,
                                  std::vector<std::string>& warnings);

}  // namespace kel
