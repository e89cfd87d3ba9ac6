#include "decommission/receipts.h"

#include <windows.h>

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

}  // namespace kel
