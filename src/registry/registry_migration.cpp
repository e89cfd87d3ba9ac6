#include "registry/registry_migration.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/file_tree.h"
#include "common/handles.h"
#include "common/text.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// Deeper documents are not ours; the serialiser recurses and must not be fed them.
constexpr std::size_t kMaxMigratedDepth = 64;
// An entry being copied is named so until it is complete.
constexpr wchar_t kPartialCopySuffix[] = L".kel_partial_copy";

// Entries of the older layout that belong to one user, in the order they are moved.
constexpr std::array<const wchar_t*, 13> kPerUserEntries = {
    L"payloads",         L"journals",
    L"staging",          L"uninstall_journals",
    L"uninstall_staging", L"install_receipts",
    L"cache",            L"category_mappings.json",
    L"presentation_preferences.json", L"roaming_host_preferences.json",
    L"suite_members.json", L"command_catalog.json",
    L"pending_cleanup.json"};

bool Exists(const fs::path& path) { return QueryPathKind(path) != PathKind::kMissing; }

bool IsPlainDirectory(const fs::path& path) { return QueryPathKind(path) == PathKind::kDirectory; }

bool IsPlainFile(const fs::path& path) { return QueryPathKind(path) == PathKind::kFile; }

// A copy that refuses links rather than copying what they point at.
bool CopyTreeNoFollow(const fs::path& source, const fs::path& target) {
  const PathKind kind = QueryPathKind(source);
  if (kind != PathKind::kFile && kind != PathKind::kDirectory) return false;
  const std::wstring native_target = ToExtendedPathIfLong(target);
  if (kind == PathKind::kFile) {
    return CopyFileW(ToExtendedPathIfLong(source).c_str(), native_target.c_str(), FALSE) != 0;
  }
  if (!CreateDirectoryW(native_target.c_str(), nullptr) && !IsPlainDirectory(target)) return false;
  WIN32_FIND_DATAW data;
  unique_find find(FindFirstFileW((ToExtendedPathIfLong(source) + L"\\*").c_str(), &data));
  if (!find) return false;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!CopyTreeNoFollow(source / name, target / name)) return false;
  } while (FindNextFileW(find.get(), &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

// The target does not exist yet. A copy is made under a name of its own beside the target
// and renamed into place only when complete: a copy cut short (by a failure or a killed run)
// never takes the target's name, and the next run clears it and copies anew.
bool MoveEntry(const fs::path& source, const fs::path& target) {
  const fs::path partial = target.native() + kPartialCopySuffix;
  if (!RemoveTreeNoFollow(partial)) return false;
  if (MoveFileExW(ToExtendedPathIfLong(source).c_str(), ToExtendedPathIfLong(target).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (!CopyTreeNoFollow(source, partial) ||
      !MoveFileExW(ToExtendedPathIfLong(partial).c_str(), ToExtendedPathIfLong(target).c_str(),
                   MOVEFILE_WRITE_THROUGH)) {
    RemoveTreeNoFollow(partial);
    return false;
  }
  RemoveTreeNoFollow(source);
  return true;
}

bool SameDirectory(const fs::path& a, const fs::path& b) {
  const std::wstring ca = CanonicalPath(a);
  return !ca.empty() && ca == CanonicalPath(b);
}

void MergeOlderUserDirectory(const fs::path& older, const fs::path& user_dir) {
  if (!IsPlainDirectory(older) || SameDirectory(older, user_dir)) return;
  bool all_moved = true;
  for (const auto& name : ListDirectoryNames(older)) {
    if (!Exists(user_dir / name)) all_moved = MoveEntry(older / name, user_dir / name) && all_moved;
  }
  // What is left had a namesake in the user directory, which always wins. An entry that could
  // be neither moved nor copied keeps the folder alive for the next run.
  if (all_moved) RemoveTreeNoFollow(older);
}

bool WriteFreshRegistry(const fs::path& registry, const std::string& owner_id, const std::string& owner_name) {
  PluginRegistry fresh;
  fresh.generation = 1;
  fresh.updated_at = RegistryNow();
  fresh.owner_user_id = owner_id;
  fresh.owner_username = owner_name;
  std::string error;
  return WriteStateFileAtomic(registry, RegistryDocumentText(fresh), kRegistryFileLimit, error);
}

void MigrateSharedRegistry(const fs::path& managed_root, const fs::path& registry, const std::string& user_key,
                           const std::string& owner_id, const std::string& owner_name) {
  const fs::path shared = managed_root / kRegistryFileName;
  if (!IsPlainFile(shared) || Exists(registry)) return;
  bool existed = false;
  std::string text;
  std::string error;
  if (!ReadStateFile(shared, kRegistryFileLimit, false, existed, text, error)) return;
  std::size_t depth = 0;
  const json::parser_callback_t track_depth = [&depth](int level, json::parse_event_t, json&) {
    depth = std::max<std::size_t>(depth, static_cast<std::size_t>(level));
    return true;
  };
  json document = json::parse(text, track_depth, false);
  if (document.is_discarded() || !document.is_object() || depth > kMaxMigratedDepth) return;
  const auto owner = document.find("ownerUsername");
  const std::string current_owner =
      (owner != document.end() && owner->is_string()) ? owner->get<std::string>() : std::string();
  if (!current_owner.empty() && current_owner != owner_name && current_owner != user_key) return;
  if (!owner_id.empty()) document["ownerUserId"] = owner_id;
  if (!owner_name.empty()) document["ownerUsername"] = owner_name;
  if (WriteStateFileAtomic(registry, document.dump(2), kRegistryFileLimit, error)) {
    RemoveStateFile(shared, error);
  }
}

}  // namespace

void PrepareUserDirectory(const fs::path& managed_root, const std::string& user_key,
                          const std::string& owner_user_id, const std::string& owner_user_name) {
  if (user_key.empty()) return;
  const fs::path user_dir = managed_root / L"users" / Utf8ToWide(user_key);
  std::string error;
  if (!EnsureStateDirectory(user_dir, error)) return;
  const fs::path registry = user_dir / kRegistryFileName;

  // The plugin manager may prepare the same directory at the same moment; without the mutex
  // one side could write a fresh registry over the other's migrated one.
  RegistryLock lock;
  if (!lock.owned()) return;

  if (user_key == kUnauthenticatedUserKey) {
    if (!Exists(registry)) WriteFreshRegistry(registry, owner_user_id, owner_user_name);
    return;
  }
  if (!owner_user_id.empty()) {
    // The id comes from a token: only a plain single name may address a folder.
    const std::wstring older_name = Utf8ToWide(user_key + "_" + owner_user_id);
    if (!older_name.empty() && IsPortableFileName(older_name)) {
      MergeOlderUserDirectory(managed_root / L"users" / older_name, user_dir);
    }
  }
  MigrateSharedRegistry(managed_root, registry, user_key, owner_user_id, owner_user_name);
  for (const wchar_t* entry : kPerUserEntries) {
    const fs::path source = managed_root / entry;
    const fs::path target = user_dir / entry;
    if (Exists(source) && !Exists(target)) MoveEntry(source, target);
  }
  if (!Exists(registry)) WriteFreshRegistry(registry, owner_user_id, owner_user_name);
}

}  // namespace kel
