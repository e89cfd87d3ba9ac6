#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kel::test {

// A fresh folder under C:\kel_test\ for one test, with the profile variables (APPDATA,
// LOCALAPPDATA, ProgramFiles, ProgramW6432, ProgramFiles(x86), TEMP, TMP) pointed into it.
// Removed again (and the variables restored) when the object goes away.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path roaming() const { return root_ / L"Roaming"; }
  std::filesystem::path local() const { return root_ / L"Local"; }
  std::filesystem::path temp() const { return root_ / L"Temp"; }
  std::filesystem::path program_files() const { return root_ / L"Program Files"; }
  std::filesystem::path program_files_x86() const { return root_ / L"Program Files (x86)"; }

 private:
  std::filesystem::path root_;
  struct Saved;
  Saved* saved_;
};

// Whole-file helpers for fixtures (binary, no text conversion).
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);
std::string ReadFileBytes(const std::filesystem::path& path);

// Deletes a file or tree; links (Wine's Unix links included) are removed, never followed.
void RemoveTree(const std::filesystem::path& path);

// The folder holding the running test executable (and the test programs built beside it).
std::filesystem::path ProgramDir();

// True when running under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();

// Makes a Unix symbolic link from the Linux side: Wine's CreateSymbolicLinkW creates
// nothing. `link` and `target` are Windows paths inside the prefix. Returns false with a
// reason when it cannot be made (for example on real Windows).
bool MakeUnixSymlink(const std::filesystem::path& target, const std::filesystem::path& link,
                     std::string& reason);

}  // namespace kel::test
