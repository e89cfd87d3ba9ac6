#pragma once

// What one Plugins root holds, read once per scan into facts that are yes, no or unknown with
// the reason: busy (a lock held, a file in use: a later run may read it) or damaged (refused by
// validation, empty, unreadable for good). Decisions are taken from these facts; a read that
// failed is never taken for "not there".

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_document.h"

namespace kel {

enum class Fact { kNo, kYes, kUnknown };
enum class Doubt { kNone, kBusy, kDamaged };

struct Finding {
  Fact fact = Fact::kNo;
  Doubt doubt = Doubt::kNone;
  std::string what;  // names what could not be told, for the user's message

  static Finding Yes() { return {Fact::kYes, Doubt::kNone, {}}; }
  static Finding No() { return {Fact::kNo, Doubt::kNone, {}}; }
  static Finding Unknown(Doubt doubt, std::string what) {
    return {Fact::kUnknown, doubt, std::move(what)};
  }
  bool yes() const { return fact == Fact::kYes; }
  bool no() const { return fact == Fact::kNo; }
  bool unknown() const { return fact == Fact::kUnknown; }
};

// Plugin ids compare without regard to ASCII case everywhere in an uninstall.
struct IdLess {
  bool operator()(std::string_view a, std::string_view b) const;
  using is_transparent = void;
};
using IdSet = std::set<std::string, IdLess>;

// One read of a file: its bytes, not there, in use now, or unreadable for good (empty, over
// the limit, access denied, not a plain file).
enum class ReadState { kRead, kMissing, kBusy, kDamaged };
struct FileFacts {
  ReadState state = ReadState::kMissing;
  std::string content;
};
FileFacts ReadFileFacts(const std::filesystem::path& path, std::size_t limit);

struct RegistryFacts {
  std::filesystem::path path;
  ReadState state = ReadState::kMissing;  // kRead: registry holds the document
  PluginRegistry registry;
  std::string error;
};

// Every registry of the root (shared first, then per user), each read once. allowRepair lets
// LoadRegistry rewrite a document that needs it; readers that only ask pass false.
std::vector<RegistryFacts> ReadRootRegistries(const std::filesystem::path& pluginsRoot,
                                              bool allowRepair);

// The one answer to "does a registry claim this id": yes when a readable registry other than
// `except` holds a record of the id (any case) that `counts` accepts (all records when empty);
// unknown when none does but one could not be read; a registry damaged for good claims
// nothing unless `damagedClaims` says it may.
using RecordFilter = std::function<bool(const std::filesystem::path& registryPath,
                                        const std::string& id, const PluginRecord& record)>;
using DamagedFilter = std::function<bool(const std::filesystem::path& registryPath)>;
Finding RegistryClaim(const std::vector<RegistryFacts>& registries, std::string_view id,
                      const std::filesystem::path& except = {}, const RecordFilter& counts = {},
                      const DamagedFilter& damagedClaims = {});

// A plugin's own entry file kept in a payload store: a generation directory named by the
// SHA-256 of the file it holds, never itself a gate. found: yes with the bytes, no when no
// store holds a verified copy, unknown when a copy that could be it cannot be read now.
struct SavedEntry {
  Finding found;
  std::string content;
  std::string digest;  // "sha256:" + hex of content
  std::filesystem::path where;
};
// preferredStore (a payloads directory) is searched first; then managerRoot\payloads and every
// users\<dir>\payloads.
SavedEntry FindSavedRootEntry(const std::filesystem::path& managerRoot, const std::string& pluginId,
                              const std::wstring& fileName,
                              const std::filesystem::path& preferredStore = {});

// A .rb file directly in the root, not an official one.
struct RootEntryFacts {
  std::filesystem::path path;
  ReadState state = ReadState::kMissing;
  std::string content;
  std::string gateId;  // ParseGatePluginId of the content
  std::string digest;  // "sha256:" + hex, when read
};

struct TombstoneFacts {
  std::filesystem::path path;
  std::filesystem::path registryPath;
  std::string pluginId;  // the id the tombstone holds; empty when it holds none it may
  ReadState state = ReadState::kMissing;  // kDamaged: it can never be used
  std::string loadFile;
  std::string companionName;
};

struct JournalFacts {
  std::filesystem::path path;
  std::filesystem::path registryPath;
  ReadState state = ReadState::kMissing;
  std::string content;
};

struct RootInventory {
  std::filesystem::path pluginsRoot;
  std::filesystem::path managerRoot;  // R\kel_plugin_center\managed_plugins
  std::vector<RegistryFacts> registries;
  bool entriesListed = false;  // false: the root could not be enumerated
  std::vector<RootEntryFacts> entries;
  std::vector<TombstoneFacts> tombstones;  // beside readable registries
  std::vector<JournalFacts> journals;      // beside readable registries

  const RootEntryFacts* EntryAt(const std::filesystem::path& path) const;
};

RootInventory ReadRootInventory(const std::filesystem::path& pluginsRoot, bool allowRepair);

// The facts of one root entry path: from the inventory when listed, else read now.
RootEntryFacts EntryFacts(const RootInventory& inventory, const std::filesystem::path& path);

std::string DigestOf(std::string_view bytes);

}  // namespace kel
