#include "safefs/volume_cache.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string_view>

#include "common/text.h"

namespace kel {
namespace {

struct DriveEntry {
  bool fixed = false;
  SharedRootHandle root;
};

struct Cache {
  std::mutex mutex;
  std::size_t scopes = 0;
  std::map<std::wstring, DriveEntry> drives;   // by volume key ("c:")
  std::map<std::wstring, VolumeFacts> volumes;  // by volume key
  std::size_t drive_type_queries = 0;
};

// Never destroyed: a detached worker may still prove a path while the process ends.
Cache& TheCache() {
  static Cache& cache = *new Cache;
  return cache;
}

std::atomic<UINT (*)(const wchar_t*)> g_drive_type_probe{nullptr};

// The volume part of a path, folded: "c:", "\\server\share" or "\\?\volume{...}".
std::wstring VolumeKey(std::wstring_view path) {
  if (path.size() >= 2 && path[1] == L':') return FoldCase(path.substr(0, 2));
  size_t skip = 0;
  if (path.rfind(L"\\\\", 0) == 0) {
    const size_t server_end = path.find(L'\\', 2);
    if (server_end == std::wstring_view::npos) return FoldCase(path);
    skip = server_end + 1;
  }
  return FoldCase(path.substr(0, path.find(L'\\', skip)));
}

}  // namespace

VolumeCacheScope::VolumeCacheScope() {
  Cache& cache = TheCache();
  std::lock_guard lock(cache.mutex);
  ++cache.scopes;
}

VolumeCacheScope::~VolumeCacheScope() {
  Cache& cache = TheCache();
  std::map<std::wstring, DriveEntry> released;
  {
    std::lock_guard lock(cache.mutex);
    if (--cache.scopes != 0) return;
    released.swap(cache.drives);
    cache.volumes.clear();
  }
  // Root handles close here, outside the lock, unless a chain still holds one.
}

bool VolumeFactsOf(HANDLE handle, const std::wstring& final_path, VolumeFacts& facts_out) {
  Cache& cache = TheCache();
  const std::wstring key = VolumeKey(final_path);
  {
    std::lock_guard lock(cache.mutex);
    if (const auto found = cache.volumes.find(key); found != cache.volumes.end()) {
      facts_out = found->second;
      return true;
    }
  }
  FILE_ID_INFO id{};
  if (!GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id))) return false;
  VolumeFacts facts;
  facts.serial = id.VolumeSerialNumber;
  wchar_t file_system[MAX_PATH + 1] = {};
  if (GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, file_system,
                                    MAX_PATH + 1)) {
    static constexpr std::wstring_view k64BitIds[] = {L"NTFS", L"FAT", L"FAT32", L"exFAT"};
    for (std::wstring_view name : k64BitIds) {
      if (EqualsIgnoreCase(file_system, name)) facts.whole_id_in_64_bits = true;
    }
  }
  facts_out = facts;
  std::lock_guard lock(cache.mutex);
  if (cache.scopes != 0) cache.volumes.emplace(key, facts);
  return true;
}

UINT DriveTypeOf(const std::wstring& root) {
  Cache& cache = TheCache();
  const std::wstring key = VolumeKey(root);
  {
    std::lock_guard lock(cache.mutex);
    if (const auto found = cache.drives.find(key);
        found != cache.drives.end() && found->second.fixed) {
      return DRIVE_FIXED;
    }
    ++cache.drive_type_queries;
  }
  UINT (*probe)(const wchar_t*) = g_drive_type_probe.load();
  const UINT type = probe != nullptr ? probe(root.c_str()) : GetDriveTypeW(root.c_str());
  if (type == DRIVE_FIXED) {
    std::lock_guard lock(cache.mutex);
    if (cache.scopes != 0) cache.drives[key].fixed = true;
  }
  return type;
}

SharedRootHandle KeptDriveRoot(const std::wstring& root) {
  Cache& cache = TheCache();
  std::lock_guard lock(cache.mutex);
  const auto found = cache.drives.find(VolumeKey(root));
  return found == cache.drives.end() ? nullptr : found->second.root;
}

void KeepDriveRoot(const std::wstring& root, SharedRootHandle handle) {
  Cache& cache = TheCache();
  SharedRootHandle replaced;
  std::lock_guard lock(cache.mutex);
  if (cache.scopes == 0) return;
  replaced = std::move(cache.drives[VolumeKey(root)].root);
  cache.drives[VolumeKey(root)].root = std::move(handle);
}

SharedRootHandle OpenDriveRoot(const std::wstring& root) {
  // Read and write sharing only, as for every directory of a chain; the handle lives no longer
  // than the operation.
  const HANDLE handle = CreateFileW(root.c_str(), 0x1000A0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
  return SharedRootHandle(handle, [](void* h) { CloseHandle(static_cast<HANDLE>(h)); });
}

void ForgetVolumeOf(const std::wstring& path) {
  Cache& cache = TheCache();
  const std::wstring key = VolumeKey(path);
  DriveEntry released;
  std::lock_guard lock(cache.mutex);
  if (const auto found = cache.drives.find(key); found != cache.drives.end()) {
    released = std::move(found->second);
    cache.drives.erase(found);
  }
  cache.volumes.erase(key);
}

VolumeCacheCounts VolumeCacheCountsForTesting() {
  Cache& cache = TheCache();
  std::lock_guard lock(cache.mutex);
  VolumeCacheCounts counts;
  counts.drive_type_queries = cache.drive_type_queries;
  for (const auto& [key, entry] : cache.drives) {
    if (entry.root) ++counts.kept_roots;
  }
  return counts;
}

void SetDriveTypeProbeForTesting(UINT (*probe)(const wchar_t* root)) {
  g_drive_type_probe.store(probe);
}

}  // namespace kel
