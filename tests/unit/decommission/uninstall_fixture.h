#pragma once

// Registries that grow one record at a time over the shared Plugins-root fixture, and a
// helper process that holds several files and mutexes at once (the same program the end to
// end tests use, which signal through marker files).

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/plugins_fixture.h"

namespace kel::test {

class ManagedRootBuilder {
 public:
  explicit ManagedRootBuilder(std::filesystem::path root) : fixture_(std::move(root)) {}

  const PluginsFixture& fixture() const { return fixture_; }
  const std::filesystem::path& root() const { return fixture_.root(); }
  std::filesystem::path managedRoot() const { return fixture_.managed(); }
  std::filesystem::path sharedRegistry() const { return fixture_.shared_registry(); }
  std::filesystem::path userRegistry(std::string_view user) const {
    return fixture_.user_registry(user);
  }

  // A user-installed plugin under management: gate in the root, the original entry kept as a
  // payload generation beside the registry, companion left in the root.
  void AddTakeover(const std::filesystem::path& registry, const std::string& id,
                   const std::string& loadFile, const std::string& original,
                   const std::string& companion,
                   const std::string& installSource = "local_takeover");
  // A marketplace plugin with everything the plugin center keeps for it.
  void AddMarketplace(const std::filesystem::path& registry, const std::string& id,
                      const std::string& loadFile, const std::string& companion,
                      const std::string& installSource = "marketplace");
  void AddReceipt(const std::filesystem::path& registry, const std::string& id,
                  const std::string& entryName);

  FixturePlugin& Record(const std::filesystem::path& registry, const std::string& id);
  // Writes the registry document again after a record was changed.
  void Rewrite(const std::filesystem::path& registry);
  bool Has(const std::filesystem::path& registry, const std::string& id) const;

 private:
  void Put(const std::filesystem::path& registry, const FixturePlugin& plugin);

  PluginsFixture fixture_;
  std::map<std::filesystem::path, std::vector<FixturePlugin>> records_;
};

// Another process holding files and mutexes until released (or destroyed).
class Holder {
 public:
  // Options as decommission_uninstall_holder.exe takes them after its two marker files.
  explicit Holder(const std::vector<std::wstring>& args);
  ~Holder();
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  bool ready() const { return ready_; }
  void Release();

 private:
  std::filesystem::path ready_file_;
  std::filesystem::path release_file_;
  void* process_ = nullptr;
  bool ready_ = false;
};

}  // namespace kel::test
