// Cost of the registry's locked load + validation + write at its largest (4,096 plugins and as
// many verified commands as the 16 MiB limit allows) against parsing and dumping the same
// JSON with the bare library:
//   registry_bench [DIRECTORY]   (default: a fresh folder in the temporary directory)
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "registry/command_verification.h"
#include "registry/registry_store.h"
#include "safefs/volume_cache.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

double MillisecondsOf(int rounds, const std::function<bool()>& call) {
  if (!call()) return -1;
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (!call()) return -1;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

kel::PluginRecord MakePlugin(const std::string& id, int commands) {
  kel::PluginRecord plugin;
  plugin.name = "Plugin " + id;
  plugin.version = "1.0.0";
  plugin.install_root = "<plugins>";
  plugin.load_file = id + ".rb";
  plugin.active_generation = "gen-1";
  plugin.indexed_generation = "gen-1";
  plugin.index_state = kel::IndexState::ready;
  plugin.load_policy = kel::LoadPolicy::startup;
  plugin.toolbars = {"Main"};
  for (int c = 0; c < commands; ++c) {
    kel::RegistryCommand command;
    command.owner_plugin_id = id;
    command.label = "Command " + std::to_string(c);
    command.toolbar = "Main";
    command.group_id = "tools";
    command.group_label = "Tools";
    command.origin = "verified_source";
    command.source_path = id + "/main.rb";
    command.menu_segments = {"Extensions", plugin.name};
    command.stable_key = "menu/" + std::to_string(c);
    std::string error;
    if (!kel::BuildManagedCommandIdentity(id, command, error)) std::printf("build failed: %s\n", error.c_str());
    plugin.commands.emplace(command.id, command);
  }
  return plugin;
}

std::string PluginId(int i) { return "plugin." + std::to_string(100000 + i); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  kel::VolumeCacheScope operation;  // the whole benchmark is one operation, as a run is
  namespace fs = std::filesystem;
  const fs::path dir = argc > 1 ? fs::path(argv[1])
                                : fs::temp_directory_path() / ("kel_registry_bench_" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir);
  const fs::path path = dir / L"users" / L"bench" / L"plugin_registry.json";

  // Size one plugin with 1 and 2 commands to find how many commands fit in 16 MiB.
  const auto plugin_size = [](int commands) {
    kel::PluginRegistry one;
    one.plugins.emplace(PluginId(0), MakePlugin(PluginId(0), commands));
    return kel::RegistryDocumentText(one).size();
  };
  const std::size_t per_command = plugin_size(2) - plugin_size(1);
  const std::size_t per_plugin = plugin_size(1) - per_command;
  int commands = static_cast<int>((kel::kRegistryFileLimit / 4096 - per_plugin) / per_command) + 1;
  kel::PluginRegistry registry;
  std::string text;
  for (;; --commands) {
    registry = kel::PluginRegistry{};
    registry.generation = 1;
    for (int i = 0; i < 4096; ++i) registry.plugins.emplace(PluginId(i), MakePlugin(PluginId(i), commands));
    text = kel::RegistryDocumentText(registry);
    if (text.size() <= kel::kRegistryFileLimit) break;
  }
  std::printf("registry: 4096 plugins, %d commands each (%d in all), %zu bytes\n", commands, commands * 4096,
              text.size());

  std::string error;
  const int rounds = 3;
  const double write_ms = MillisecondsOf(rounds, [&] { return kel::WriteRegistry(path, registry, error); });
  const double load_ms = MillisecondsOf(rounds, [&] {
    kel::PluginRegistry loaded;
    return kel::LoadRegistry(path, loaded, error);
  });
  const json parsed = json::parse(text);
  const double validate_ms = MillisecondsOf(rounds, [&] {
    kel::PluginRegistry validated;
    return kel::ParsePluginRegistry(parsed, validated, error);
  });
  const double serialise_ms = MillisecondsOf(rounds, [&] { return !kel::RegistryDocumentText(registry).empty(); });
  const double bare_parse_ms = MillisecondsOf(rounds, [&] { return !json::parse(text).is_discarded(); });
  const double bare_dump_ms = MillisecondsOf(rounds, [&] { return !parsed.dump(2).empty(); });
  if (!error.empty()) std::printf("error: %s\n", error.c_str());

  std::printf("%-44s %10.1f ms\n", "LoadRegistry (lock, safe read, parse, validate)", load_ms);
  std::printf("%-44s %10.1f ms\n", "  of which ParsePluginRegistry (validate)", validate_ms);
  std::printf("%-44s %10.1f ms\n", "WriteRegistry (lock, serialise, safe write)", write_ms);
  std::printf("%-44s %10.1f ms\n", "  of which serialise to text", serialise_ms);
  std::printf("%-44s %10.1f ms\n", "bare json::parse of the same text", bare_parse_ms);
  std::printf("%-44s %10.1f ms\n", "bare dump(2) of the same document", bare_dump_ms);
  std::printf("%-44s %10.2f\n", "load + write against bare parse + dump",
              (load_ms + write_ms) / (bare_parse_ms + bare_dump_ms));
  if (argc <= 1) std::filesystem::remove_all(dir);
  return 0;
}
