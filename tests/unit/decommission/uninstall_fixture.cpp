#include "uninstall_fixture.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "support/sandbox.h"

namespace kel::test {

namespace fs = std::filesystem;

void ManagedRootBuilder::Put(const fs::path& registry, const FixturePlugin& plugin) {
  std::vector<FixturePlugin>& list = records_[registry];
  list.push_back(plugin);
  fixture_.WriteRegistry(registry, list);
}

FixturePlugin& ManagedRootBuilder::Record(const fs::path& registry, const std::string& id) {
  for (FixturePlugin& plugin : records_.at(registry)) {
    if (plugin.id == id) return plugin;
  }
  throw std::out_of_range(id);
}

void ManagedRootBuilder::Rewrite(const fs::path& registry) {
  fixture_.WriteRegistry(registry, records_.at(registry));
}

bool ManagedRootBuilder::Has(const fs::path& registry, const std::string& id) const {
  const nlohmann::json document = fixture_.ReadRegistryJson(registry);
  return document.is_object() && document.contains("plugins") &&
         document["plugins"].contains(id);
}

void ManagedRootBuilder::AddTakeover(const fs::path& registry, const std::string& id,
                                     const std::string& loadFile, const std::string& original,
                                     const std::string& companion,
                                     const std::string& installSource) {
  FixturePlugin plugin;
  plugin.id = id;
  plugin.loadFile = loadFile;
  plugin.companionName = companion;
  plugin.installSource = installSource;
  plugin.activeGeneration = Sha256Hex(original);
  plugin.packageHash = "sha256:" + plugin.activeGeneration;
  fixture_.WritePayload(registry, id, plugin.activeGeneration, loadFile, original);
  fixture_.WriteGate(plugin);
  if (!companion.empty()) fixture_.WriteCompanion(companion);
  Put(registry, plugin);
}

void ManagedRootBuilder::AddMarketplace(const fs::path& registry, const std::string& id,
                                        const std::string& loadFile, const std::string& companion,
                                        const std::string& installSource) {
  FixturePlugin plugin;
  plugin.id = id;
  plugin.loadFile = loadFile;
  plugin.companionName = companion;
  plugin.installSource = installSource;
  fixture_.Populate(registry, plugin);
  Put(registry, plugin);
}

void ManagedRootBuilder::AddReceipt(const fs::path& registry, const std::string& id,
                                    const std::string& entryName) {
  const nlohmann::json receipt = {{"pluginId", id}, {"entryName", entryName}};
  WriteFileBytes(registry.parent_path() / L"install_receipts" / (Utf8ToWide(id) + L".json"),
                 receipt.dump());
}

Holder::Holder(const std::vector<std::wstring>& args) {
  static std::atomic<int> counter{0};
  const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" +
                           std::to_wstring(++counter);
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  ready_file_ = fs::path(temp) / (L"holder_ready_" + tag);
  release_file_ = fs::path(temp) / (L"holder_release_" + tag);
  std::wstring command = L"\"" + (ProgramDir() / L"decommission_uninstall_holder.exe").native() +
                         L"\" \"" + ready_file_.native() + L"\" \"" + release_file_.native() +
                         L"\"";
  for (const std::wstring& arg : args) command += L" \"" + arg + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    ADD_FAILURE() << "holder could not be started: " << GetLastError();
    return;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(ready_file_)) {
      ready_ = true;
      break;
    }
    if (WaitForSingleObject(process_, 10) == WAIT_OBJECT_0) break;
  }
  EXPECT_TRUE(ready_) << "holder did not get hold of everything";
}

void Holder::Release() {
  if (process_ == nullptr) return;
  WriteFileBytes(release_file_, "x");
  WaitForSingleObject(process_, 20000);
  CloseHandle(process_);
  process_ = nullptr;
  std::error_code ec;
  fs::remove(ready_file_, ec);
  fs::remove(release_file_, ec);
}

Holder::~Holder() { Release(); }

}  // namespace kel::test
