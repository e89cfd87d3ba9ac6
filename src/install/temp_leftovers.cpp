#include "install/temp_leftovers.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "install/deploy.h"
#include "install/package_paths.h"

namespace kel {

void RemoveStaleInstallerTemp(const std::filesystem::path& temp) {
  std::vector<std::wstring> stale;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((temp / L"kel_*").c_str(), &data));
  if (!find) return;
  do {
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const auto owner = ParseTemporaryName(data.cFileName, directory);
    if (owner && !OwnerMayBeRunning(*owner)) stale.push_back(data.cFileName);
  } while (FindNextFileW(find.get(), &data));
  find.reset();
  for (const std::wstring& name : stale) {
    std::vector<std::string> ignored;
    RemoveTreeOrScheduleAtReboot(temp / name, ignored);
  }
}

}  // namespace kel
