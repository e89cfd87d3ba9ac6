#include "decommission/pending_cleanup.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "common/text.h"
#include "decommission/managed_paths.h"
#include "decommission/receipts.h"
#include "decommission/root_registries.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

constexpr std::wstring_view kMarker = L".pending_delete_";

// Deleted now, or already gone.
bool DeletePending(const fs::path& path) {
  if (QueryPathState(path) == PathState::kMissing) return true;
  if (!IsPlainFile(path)) return false;
  std::string error;
  return RemoveStateFile(path, error);
}

// Rewrites one ledger without the entries whose file is gone; returns the files still held.
void ClearLedger(const fs::path& ledgerPath, const fs::path& pluginsRoot,
                 std::vector<fs::path>& left) {
  if (!IsPlainFile(ledgerPath)) return;
  bool existed = false;
  std::string text;
  std::string error;
  if (!ReadStateFile(ledgerPath, kReceiptFileLimit, true, existed, text, error) || !existed) return;
  nlohmann::json ledger = nlohmann::json::parse(text, nullptr, false);
  if (!ledger.is_object()) return;
  const auto files = ledger.find("pendingFiles");
  if (files == ledger.end() || !files->is_array()) return;
  nlohmann::json kept = nlohmann::json::array();
  for (const nlohmann::json& entry : *files) {
    const auto temp = entry.is_object() ? entry.find("tempPath") : entry.end();
    if (temp == entry.end() || !temp->is_string()) {
      kept.push_back(entry);
      continue;
    }
    const fs::path path = Utf8ToWide(temp->get<std::string>());
    // Only what this root's uninstall may delete: its own moved-aside files.
    if (path.empty() || !IsPendingDeleteName(path.filename().native()) ||
        !IsWithin(pluginsRoot, path)) {
      kept.push_back(entry);
      continue;
    }
    if (!DeletePending(path)) {
      left.push_back(path);
      kept.push_back(entry);
    }
  }
  if (kept.size() == files->size()) return;
  ledger["pendingFiles"] = std::move(kept);
  ledger["updatedAt"] = RegistryNow();
  WriteStateFileAtomic(ledgerPath, ledger.dump(2), kReceiptFileLimit, error);
}

}  // namespace

bool IsPendingDeleteName(std::wstring_view fileName) {
  const std::size_t at = fileName.rfind(kMarker);
  if (at == std::wstring_view::npos || at == 0) return false;
  std::wstring_view rest = fileName.substr(at + kMarker.size());
  for (int number = 0; number < 3; ++number) {
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= L'0' && rest[digits] <= L'9') ++digits;
    if (digits == 0) return false;
    rest.remove_prefix(digits);
    if (number < 2) {
      if (rest.empty() || rest.front() != L'_') return false;
      rest.remove_prefix(1);
    }
  }
  return rest.empty();
}

std::vector<fs::path> ClearPendingDeletes(const fs::path& pluginsRoot) {
  std::vector<fs::path> left;
  for (const fs::path& registry : RegistriesOfRoot(pluginsRoot)) {
    ClearLedger(registry.parent_path() / L"pending_cleanup.json", pluginsRoot, left);
  }
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(pluginsRoot, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    entries.push_back(it->path());
  }
  for (const fs::path& path : entries) {
    if (!IsPendingDeleteName(path.filename().native())) continue;
    if (!DeletePending(path)) {
      bool listed = false;
      for (const fs::path& known : left) listed = listed || NamesSameObject(known, path);
      if (!listed) left.push_back(path);
    }
  }
  return left;
}

}  // namespace kel
