#include "decommission/receipts.h"

#include <windows.h>

#include <atomic>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "common/ascii.h"
#include "decommission/managed_paths.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

std::atomic<std::uint64_t> g_pending_delete_counter{0};

// A whole evidence or ledger document as a JSON object; anything else reads as nothing.
bool ReadJsonObject(const std::filesystem::path& path, nlohmann::json& object) {
  bool existed = false;
  std::string content;
  std::string error;
  if (!ReadStateFile(path, kReceiptFileLimit, true, existed, content, error) || !existed ||
      content.empty()) {
    return false;
  }
  object = nlohmann::json::parse(content, nullptr, false);
  return object.is_object();
}

std::string StringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

// The last component of a path written with either separator.
std::string_view LastComponent(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string LowerStem(std::string_view file_name) {
  std::string_view name = LastComponent(file_name);
  const std::size_t dot = name.rfind('.');
  // A leading dot is part of the name, as std::filesystem::path::stem treats it.
  if (dot != std::string_view::npos && dot != 0) name = name.substr(0, dot);
  return AsciiLower(name);
}

// A member name or value matches when it names the id or the stem; empty never matches.
bool MatchesIdOrStem(std::string_view value, const std::string& id, const std::string& stem) {
  if (value.empty()) return false;
  const std::string lower = AsciiLower(value);
  return lower == id || (!stem.empty() && lower == stem);
}

// The writer's own last error, or what the file itself shows: the writer reports native
// failures only as text, so the target is asked directly whether it can be replaced now (a
// holder that denied delete sharing, or a read-only file).
bool IsLockedFailure(DWORD last_error, const std::filesystem::path& path) {
  if (last_error == 0 || last_error == ERROR_ACCESS_DENIED ||
      last_error == ERROR_SHARING_VIOLATION) {
    return true;
  }
  const std::wstring physical = ToExtendedPathIfLong(path);
  const DWORD attributes = GetFileAttributesW(physical.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return true;
  }
  unique_file probe(CreateFileW(physical.c_str(), DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
  if (probe) return false;
  const DWORD code = GetLastError();
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

}  // namespace

bool HasInstallReceipt(const std::filesystem::path& registryPath, std::string_view pluginId,
                       const PluginRecord& record) {
  const std::filesystem::path receipts = registryPath.parent_path() / L"install_receipts";
  if (!IsPlainDirectory(receipts)) return false;
  const std::string load_name(LastComponent(record.load_file));
  std::error_code ec;
  std::filesystem::directory_iterator it(receipts, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::filesystem::path entry = it->path();
    if (!IsPlainFile(entry)) continue;
    nlohmann::json receipt;
    if (!ReadJsonObject(entry, receipt)) continue;
    if (receipt.contains("pluginId") && receipt["pluginId"].is_string() &&
        receipt["pluginId"].get<std::string>() == pluginId) {
      return true;
    }
    const std::string entry_name = StringMember(receipt, "entryName");
    if (!entry_name.empty() && !load_name.empty() &&
        AsciiEqualsIgnoreCase(LastComponent(entry_name), load_name)) {
      return true;
    }
  }
  return false;
}

bool IsGroupSharedInstall(const std::filesystem::path& registryPath, std::string_view pluginId,
                          const PluginRecord& record) {
  const std::filesystem::path file = registryPath.parent_path() / L"group_shared_installs.json";
  if (!IsPlainFile(file)) return false;
  nlohmann::json document;
  if (!ReadJsonObject(file, document)) return false;
  const std::string stem = LowerStem(record.load_file);
  const std::string id = AsciiLower(pluginId);
  for (const auto& [key, value] : document.items()) {
    if (MatchesIdOrStem(key, id, stem)) return true;
    if (value.is_object() && (MatchesIdOrStem(StringMember(value, "featureCode"), id, stem) ||
                              MatchesIdOrStem(StringMember(value, "pluginId"), id, stem))) {
      return true;
    }
  }
  return false;
}

bool HasModeThreeRelay(const std::filesystem::path& pluginsRoot, const PluginRecord& record) {
  if (record.companion_name.empty() || !IsPortableUtf8Name(record.companion_name)) return false;
  const std::filesystem::path companion = pluginsRoot / Utf8ToWide(record.companion_name);
  if (!IsPlainDirectory(companion)) return false;
  if (IsPlainFile(companion / L"KelMode3Relay.dll") ||
      IsPlainFile(companion / L"kel_mode3_client.dll")) {
    return true;
  }
  const std::filesystem::path payload = companion / L"payload";
  if (!IsPlainDirectory(payload)) return false;
  std::error_code ec;
  std::filesystem::directory_iterator it(payload, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (LowerExtension(it->path()) == ".so") return true;
  }
  return false;
}

std::filesystem::path NextPendingDeletePath(const std::filesystem::path& path) {
  const std::uint64_t counter = ++g_pending_delete_counter;
  std::wstring name = path.native();
  name += L".pending_delete_" + std::to_wstring(RegistryNow()) + L"_" +
          std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter);
  return name;
}

bool WriteFileMovingLockedAside(const std::filesystem::path& path, std::string_view content,
                                std::string& error,
                                const std::filesystem::path& ledgerRegistryPath) {
  std::string write_error;
  if (WriteStateFileAtomic(path, content, kReceiptFileLimit, write_error)) return true;
  const DWORD last_error = GetLastError();
  const PathState state = QueryPathState(path);
  const bool present = state == PathState::kFile || state == PathState::kDirectory;
  if (!present || !IsLockedFailure(last_error, path)) {
    SetErrorIfEmpty(error, write_error);
    return false;
  }

  const std::filesystem::path aside = NextPendingDeletePath(path);
  const std::wstring target = ToExtendedPathIfLong(path);
  const std::wstring moved = ToExtendedPathIfLong(aside);
  constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExW(target.c_str(), moved.c_str(), kMoveFlags)) {
    SetErrorIfEmpty(error, write_error);
    return false;
  }

  std::string second_error;
  if (!WriteStateFileAtomic(path, content, kReceiptFileLimit, second_error)) {
    MoveFileExW(moved.c_str(), target.c_str(), kMoveFlags);
    SetErrorIfEmpty(error, second_error);
    return false;
  }
  RegisterPendingCleanup(ledgerRegistryPath, path, aside);
  return true;
}

bool RegisterPendingCleanup(const std::filesystem::path& registryPath,
                            const std::filesystem::path& originalPath,
                            const std::filesystem::path& tempPath) {
  const std::filesystem::path registry = registryPath.empty() ? RegistryPath() : registryPath;
  if (registry.empty() || registry.parent_path().empty()) return false;
  const std::filesystem::path ledger_path = registry.parent_path() / L"pending_cleanup.json";

  nlohmann::json ledger;
  if (!ReadJsonObject(ledger_path, ledger)) ledger = nlohmann::json::object();
  const std::uint64_t now = RegistryNow();
  ledger["schemaVersion"] = 1;
  ledger["updatedAt"] = now;
  if (!ledger.contains("pendingFiles") || !ledger["pendingFiles"].is_array()) {
    ledger["pendingFiles"] = nlohmann::json::array();
  }
  const std::string temp = WideToUtf8(tempPath.native());
  bool listed = false;
  for (const auto& element : ledger["pendingFiles"]) {
    if (element.is_object() && StringMember(element, "tempPath") == temp &&
        element.contains("tempPath")) {
      listed = true;
      break;
    }
  }
  if (!listed) {
    ledger["pendingFiles"].push_back({{"originalPath", WideToUtf8(originalPath.native())},
                                      {"tempPath", temp},
                                      {"registeredAt", now}});
  }
  std::string error;
  return WriteStateFileAtomic(ledger_path, ledger.dump(2), kReceiptFileLimit, error);
}

}  // namespace kel
