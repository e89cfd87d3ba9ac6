#include "decommission/root_journal.h"

#include <system_error>
#include <vector>

#include "common/text.h"
#include "common/win_error.h"
#include "common/ascii.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "registry/registry_store.h"
#include "safefs/physical_path.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr std::size_t kJournalReadLimit = 134217728;
constexpr std::string_view kVerificationFailed = "root journal finalization verification failed";
constexpr std::string_view kIdentityUnsafe = "root journal identity is unsafe";
constexpr std::string_view kPathsMismatch =
    "root journal paths do not match the managed transaction";

std::string StringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

bool IsLowerHex64(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool EqualsIgnoreCasePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  return !a.native().empty() && EqualsIgnoreCase(a.native(), b.native());
}

// Every directory from base down to the file's parent is a plain directory.
bool PlainDirectoriesDownTo(const std::filesystem::path& base, const std::filesystem::path& file) {
  if (!IsWithin(base, file) || !IsPlainDirectory(base)) return false;
  std::filesystem::path step = base;
  const std::filesystem::path relative = file.parent_path().lexically_relative(base);
  if (relative.empty()) return false;
  for (const auto& part : relative) {
    if (part.empty() || part == L".") continue;
    if (part == L"..") return false;
    step /= part;
    if (!IsPlainDirectory(step)) return false;
  }
  return true;
}

bool ReadWhole(const std::filesystem::path& path, std::string& content, std::string& error) {
  bool existed = false;
  return ReadStateFile(path, kJournalReadLimit, false, existed, content, error) && existed;
}

}  // namespace

bool ValidateRootJournal(const nlohmann::json& journal, const std::string& pluginId,
                         const PluginRecord& record, const std::filesystem::path& registryPath,
                         const std::filesystem::path& journalPath, std::filesystem::path& rootEntry,
                         std::filesystem::path& stagedPath, std::filesystem::path& payloadPath,
                         std::string& error) {
  const std::filesystem::path manager = registryPath.parent_path();
  const std::filesystem::path plugins_root = PluginsRootOfRegistry(registryPath);
  const std::string digest = StripSha256Prefix(StringMember(journal, "rawDigest"));
  const std::filesystem::path load_file = Utf8ToWide(record.load_file);
  const std::filesystem::path install_root =
      plugins_root.empty() ? std::filesystem::path()
                           : ResolveStoredPluginsRoot(record.install_root, plugins_root);
  const std::filesystem::path expected_journal =
      manager / L"journals" / (Utf8ToWide(pluginId) + L".json");
  // The digest names a directory: only the 64 hex digits of a generation may stand there.
  if (!IsValidPluginId(pluginId) || digest.empty() || !IsLowerHex64(digest) ||
      record.load_file.empty() || load_file.empty() || load_file.has_root_name() ||
      load_file.has_root_directory() || record.load_file.front() == '/' ||
      record.load_file.front() == '\\' || LowerExtension(load_file) != ".rb" ||
      install_root.empty() || !IsSamePath(install_root, plugins_root) ||
      IsReparsePointOrUnreadable(install_root) ||
      !EqualsIgnoreCasePath(journalPath, expected_journal)) {
    SetErrorIfEmpty(error, kIdentityUnsafe);
    return false;
  }

  const std::filesystem::path wide_digest = Utf8ToWide(digest);
  const std::filesystem::path id = Utf8ToWide(pluginId);
  const std::filesystem::path staging = manager / L"staging";
  const std::filesystem::path payloads = manager / L"payloads";
  const std::filesystem::path expected_root = install_root / load_file;
  const std::filesystem::path expected_staged = staging / id / wide_digest / load_file;
  const std::filesystem::path expected_payload = payloads / id / wide_digest / load_file;
  if (!EqualsIgnoreCasePath(Utf8ToWide(StringMember(journal, "rootEntry")), expected_root) ||
      !EqualsIgnoreCasePath(Utf8ToWide(StringMember(journal, "stagedPath")), expected_staged) ||
      !EqualsIgnoreCasePath(Utf8ToWide(StringMember(journal, "payloadPath")), expected_payload) ||
      !PlainDirectoriesDownTo(staging, expected_staged) ||
      !PlainDirectoriesDownTo(payloads, expected_payload)) {
    SetErrorIfEmpty(error, kPathsMismatch);
    return false;
  }
  rootEntry = expected_root;
  stagedPath = expected_staged;
  payloadPath = expected_payload;
  return true;
}

bool FinalizeRootJournals(const std::filesystem::path& registryPath, const PluginRegistry& registry,
                          std::set<std::string>& handledIds, std::string& error) {
  const std::filesystem::path manager = registryPath.parent_path();
  const std::filesystem::path journals = manager / L"journals";
  const std::filesystem::path staging = manager / L"staging";
  std::uint32_t attributes = 0;
  switch (QueryPathState(journals, &attributes)) {
    case PathState::kUnreadable:
      SetErrorIfEmpty(error, "journal cleanup status is unavailable");
      return false;
    case PathState::kMissing:
      return true;
    case PathState::kFile:
      SetErrorIfEmpty(error, "journal cleanup directory is not a physical directory");
      return false;
    case PathState::kDirectory:
      if ((attributes & kReparsePointAttribute) != 0) {
        SetErrorIfEmpty(error, "journal cleanup directory is not a physical directory");
        return false;
      }
      break;
  }

  std::vector<std::filesystem::path> documents;
  std::error_code ec;
  std::filesystem::directory_iterator it(journals, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (!IsPlainFile(it->path())) {
      SetErrorIfEmpty(error, "journal cleanup item is not a physical file");
      return false;
    }
    if (LowerExtension(it->path()) == ".json") documents.push_back(it->path());
  }
  if (ec) {
    SetErrorIfEmpty(error, "journal cleanup enumeration failed");
    return false;
  }

  for (const std::filesystem::path& path : documents) {
    std::string content;
    if (!ReadWhole(path, content, error)) {
      SetErrorIfEmpty(error, "journal cleanup status is unavailable");
      return false;
    }
    const nlohmann::json journal = nlohmann::json::parse(content, nullptr, false);
    const std::string id = journal.is_object() ? StringMember(journal, "pluginId") : std::string();
    if (!IsValidPluginId(id)) {
      SetErrorIfEmpty(error, kVerificationFailed);
      return false;
    }
    if (handledIds.count(id) != 0) continue;
    const auto found = registry.plugins.find(id);
    if (found == registry.plugins.end()) {
      SetErrorIfEmpty(error, "root journal names a plugin that is not in the registry");
      return false;
    }
    std::filesystem::path root_entry, staged, payload;
    if (!ValidateRootJournal(journal, id, found->second, registryPath, path, root_entry, staged,
                             payload, error)) {
      return false;
    }
    const std::filesystem::path load_name = Utf8ToWide(found->second.load_file);
    if (StringMember(journal, "phase") != "published" || !IsWithin(staging, staged) ||
        !IsPhysicalFile(staged) || !IsPhysicalFile(payload) || !IsGateForPlugin(root_entry, id) ||
        !EqualsIgnoreCasePath(root_entry.filename(), load_name.filename())) {
      SetErrorIfEmpty(error, kVerificationFailed);
      return false;
    }
    std::string staged_bytes, payload_bytes, read_error, digest;
    if (!ReadWhole(staged, staged_bytes, read_error) ||
        !ReadWhole(payload, payload_bytes, read_error) ||
        !Sha256Tagged(staged_bytes, digest, read_error) ||
        digest != StringMember(journal, "rawDigest") || staged_bytes != payload_bytes) {
      SetErrorIfEmpty(error, "root journal finalization payload mismatch");
      return false;
    }
    std::string remove_error;
    if (!RemoveStateFile(staged, remove_error)) {
      SetErrorIfEmpty(error, "root journal staging cleanup failed");
      return false;
    }
    if (!RemoveStateFile(path, remove_error)) {
      SetErrorIfEmpty(error, "root journal cleanup failed");
      return false;
    }
    handledIds.insert(id);
  }
  return true;
}

}  // namespace kel
