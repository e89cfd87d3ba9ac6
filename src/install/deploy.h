#pragma once

#include <filesystem>
#include <map>
#include <optional>
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

// One file a deployment will write: where from, where to, the bytes it must end up with.
struct PlannedFile {
  std::filesystem::path source;
  std::filesystem::path target;
  std::string sha256;  // 64 lower-case hex characters
};

// The files one install writes into a Plugins folder, all or none, and never half-visible:
// every replaced file is first moved aside (target + ".old." + this deployment's stamp) and
// stays there until Finish. A record beside VERSION ("VERSION.deploying": the stamp and every
// planned file) is written and flushed before the first file and removed last, so a run that
// is killed or loses power is put back, or finished, by the next one (RecoverUnfinished
// Deployment). Every written file is hashed on the way and flushed before VERSION is replaced
// atomically, the last write of all. A target held open with delete sharing (SketchUp reading
// it) can still be moved aside; the holder keeps reading the old bytes there.
class Deployment {
 public:
  Deployment();
  Deployment(const Deployment&) = delete;
  Deployment& operator=(const Deployment&) = delete;
  // Whatever was neither finished nor rolled back is taken back (an exception unwinding).
  ~Deployment();

  const std::wstring& stamp() const { return stamp_; }

  // Writes the record of what is about to change in `plugins_dir` (`version`: the VERSION
  // content Finish will write, if any). Without Begin nothing is recorded (a single file).
  bool Begin(const std::filesystem::path& plugins_dir, const std::vector<PlannedFile>& files,
             const std::optional<std::string>& version, std::string& error);

  // Puts `source`'s content at `target` unless the target already holds the same bytes (then
  // `unchanged` is set and the target is not touched). On failure neither flag is set and the
  // caller rolls back.
  bool Deploy(const std::filesystem::path& source, const std::filesystem::path& target,
              bool& written, bool& unchanged, std::string& error);
  // Writes a file the caller knows to differ from its target. The bytes are hashed while they
  // are copied and must be `sha256`; the new file is flushed before this returns.
  bool Write(const PlannedFile& file, std::string& error);
  // Fails, before anything is written, for an existing target that cannot be moved aside:
  // held open without delete sharing, or not ours to rename.
  bool CheckReplaceable(const std::filesystem::path& target, std::string& error);
  // A target already current: aside copies of earlier runs that are gone go at Commit.
  void Keep(const std::filesystem::path& target);

  // The last steps: VERSION replaced atomically (when `version` is set), the aside copies
  // deleted, the record removed. A VERSION that cannot be written fails it before anything is
  // committed, and the caller rolls back; a record that cannot be removed fails it after the
  // commit (the deployment is then closed and RollBack changes nothing).
  bool Finish(const std::optional<std::string>& version, std::string& error);
  // The new files stay and the aside copies go: one still open with delete sharing when its
  // holder closes it; one that cannot be deleted at all at a later run or at restart.
  void Commit();
  // Puts every written file back, removes new files and emptied new folders, then the
  // record. False, with one line per file in `warnings`, when something could not be put
  // back: the record then stays for the next run, and an old copy that could not be restored
  // stays under its aside name and is never deleted.
  bool RollBack(std::vector<std::string>& warnings);
  // RollBack after a failure: `error`, then one line per file that could not be put back.
  std::string RollBackAfter(const std::string& error);

 private:
  bool Replace(const std::filesystem::path& source, const std::filesystem::path& target,
               PathKind kind, const std::string& sha256, std::string& error);

  struct Written {
    std::filesystem::path target;
    std::filesystem::path aside;  // empty: the target did not exist before
  };
  std::wstring stamp_;
  std::filesystem::path marker_;  // empty: nothing recorded
  std::vector<Written> written_;
  std::vector<std::filesystem::path> created_directories_;
  std::vector<std::filesystem::path> kept_;
  ProvenDirectories proven_;
  // One copy buffer for every file: a fresh large block per file costs more than the copy.
  std::vector<unsigned char> copy_buffer_;
  bool open_ = true;
};

// For the install benchmark only: whether each written file is flushed (default true), so
// that what the flushes cost can be measured against one flush of the whole volume.
void SetFlushWrittenFiles(bool flush);

// What a killed or failed deployment left in `plugins_dir` (its record beside VERSION): when
// every recorded file already holds its new bytes the deployment is finished (VERSION, aside
// copies, record); otherwise every recorded file is put back as it was. Call it before
// anything else changes the folder, holding the folder's lock. False (with the reason) when
// the record cannot be read or a file cannot be put back: then nothing more may be written.
bool RecoverUnfinishedDeployment(const std::filesystem::path& plugins_dir, std::string& error);

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
