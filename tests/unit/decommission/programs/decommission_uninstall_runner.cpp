// The silent uninstall of every discovered SketchUp version, as KelSetup.exe --silent
// --uninstall runs it, but killed (TerminateProcess on itself, nothing flushed or unwound) at a
// chosen point, so that a test can check what the next run makes of the pieces.
//
//   decommission_uninstall_runner.exe POINT OCCURRENCE
//
// POINT: tombstone | commit | gate | companion | internals (marketplace uninstall),
//        restore-written | restore-commit (restore), center (inside the removal of the plugin
//        center's own directory, after part of it is gone), none.
// Exit code: 0 when the uninstall succeeded, 4 otherwise (as the silent runner).

#include <windows.h>

#include <string>

#include "decommission/root_scan.h"
#include "decommission/uninstall.h"

namespace {

std::wstring g_point;
int g_remaining = 1;

void Reached(const wchar_t* point) {
  if (g_point != point) return;
  if (--g_remaining == 0) TerminateProcess(GetCurrentProcess(), 99);
}

const wchar_t* UninstallPointName(kel::UninstallCheckpoint point) {
  switch (point) {
    case kel::UninstallCheckpoint::kTombstoneWritten: return L"tombstone";
    case kel::UninstallCheckpoint::kRegistryCommitted: return L"commit";
    case kel::UninstallCheckpoint::kGateRemoved: return L"gate";
    case kel::UninstallCheckpoint::kCompanionIsolated: return L"companion";
    case kel::UninstallCheckpoint::kInternalsCleaned: return L"internals";
  }
  return L"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  g_point = argv[1];
  g_remaining = _wtoi(argv[2]);

  kel::RootScanCheckpoints checkpoints;
  checkpoints.uninstall = [](kel::UninstallCheckpoint point) { Reached(UninstallPointName(point)); };
  checkpoints.restore = [](kel::RestoreCheckpoint point) {
    Reached(point == kel::RestoreCheckpoint::kEntryWritten ? L"restore-written"
                                                           : L"restore-commit");
  };

  kel::UninstallSteps steps = kel::ProductionUninstallSteps();
  steps.decommission_root = [checkpoints](const std::filesystem::path& root, nlohmann::json& report,
                                          std::string& error) {
    return kel::DecommissionPluginsRoot(root, report, error, checkpoints);
  };
  const auto remove_tree = steps.remove_tree;
  steps.remove_tree = [remove_tree](const std::filesystem::path& path,
                                     std::vector<std::string>& warnings) {
    if (g_point == L"center" && path.filename() == L"kel_plugin_center") {
      // Half of the center is gone: the registries and payloads first, the rest never.
      std::vector<std::string> ignored;
      remove_tree(path / L"managed_plugins", ignored);
      Reached(L"center");
    }
    return remove_tree(path, warnings);
  };

  std::vector<std::wstring> dirs;
  for (const kel::SketchUpTarget& target : kel::DiscoverSketchUpInstallations()) {
    dirs.push_back(target.pluginsDir.native());
  }
  if (dirs.empty()) return 2;
  return kel::RunUninstall(dirs, false, kel::ProgressCallback(), steps).success ? 0 : 4;
}
