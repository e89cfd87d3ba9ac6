#include "decommission/companion.h"

#include <system_error>
#include <vector>

#include "common/text.h"
#include "common/win_error.h"
#include "common/ascii.h"
#include "decommission/gate.h"
#include "decommission/managed_paths.h"
#include "decommission/root_registries.h"
#include "registry/registry_store.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

struct Candidate {
  std::wstring name;   // as on disk
  std::string lower;   // UTF-8, ASCII lower-cased
};

bool ReadEntrySource(const std::filesystem::path& entry, std::string& source) {
  bool existed = false;
  std::string error;
  return ReadStateFile(entry, kRubyEntryReadLimit, false, existed, source, error) && existed &&
         !source.empty();
}

bool NeverChosenByMention(const std::string& lower) {
  return lower == "kel_plugin_center" || lower.rfind("su_", 0) == 0 || lower == "rgloader" ||
         lower == "fgloader";
}

// "acme_v1.2.3" with stem "acme" gives "1.2.3"; empty when the name is no versioned form.
std::string VersionSuffix(const std::string& lower, const std::string& stem) {
  const std::string prefix = stem + "_v";
  if (lower.size() <= prefix.size() || lower.compare(0, prefix.size(), prefix) != 0) return {};
  const std::string version = lower.substr(prefix.size());
  for (char c : version) {
    if (!((c >= '0' && c <= '9') || c == '.')) return {};
  }
  return version;
}

std::string WithoutWhiteSpace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') {
      out.push_back(c);
    }
  }
  return out;
}

bool MentionedAsPathStart(const std::string& lower_source, const std::string& name) {
  for (const char quote : {'\'', '"'}) {
    for (const char separator : {'/', '\\'}) {
      std::string needle;
      needle.push_back(quote);
      needle.append(name);
      needle.push_back(separator);
      if (lower_source.find(needle) != std::string::npos) return true;
    }
  }
  return false;
}

// A record other than skipId names the plan's companion (case-insensitively or as the same
// object), through an install root inside the Plugins root. Each install root is checked once.
bool RecordsClaimCompanion(const PluginRegistry& registry, const std::string& skipId,
                           const UninstallPlan& plan) {
  const std::filesystem::path& root = plan.pluginsRoot;
  const std::wstring companion_name = plan.companionPath.filename().native();
  const bool plan_in_root =
      EqualsIgnoreCase(plan.companionPath.parent_path().native(), root.native()) &&
      !MayAlias(companion_name);
  std::map<std::string, bool> usable_roots;
  for (const auto& [otherId, other] : registry.plugins) {
    if ((!skipId.empty() && otherId == skipId) || other.companion_name.empty()) continue;
    const std::filesystem::path other_root = ResolveStoredPluginsRoot(other.install_root, root);
    const auto [known, fresh] = usable_roots.try_emplace(other.install_root, false);
    if (fresh) {
      known->second = !other_root.empty() && !IsReparsePointOrUnreadable(other_root) &&
                      IsWithin(root, other_root);
    }
    if (!known->second) continue;
    const std::filesystem::path other_companion =
        other_root / Utf8ToWide(other.companion_name);
    const std::wstring other_name = other_companion.filename().native();
    if (plan_in_root && !MayAlias(other_name) &&
        EqualsIgnoreCase(other_root.native(), root.native()) &&
        other_companion.parent_path() == other_root) {
      // Plain names side by side: the same directory only when the names are equal.
      if (!EqualsIgnoreCase(other_name, companion_name)) continue;
      if (IsReparsePointOrUnreadable(other_companion)) continue;
      return true;
    }
    if (IsReparsePointOrUnreadable(other_companion) || !IsWithin(root, other_companion)) continue;
    if (NamesSameObject(other_companion, plan.companionPath)) return true;
  }
  return false;
}

// The directories of the root that can be a companion: plain directories, as listed now.
bool ListCompanionCandidates(const std::filesystem::path& pluginsRoot,
                             std::vector<Candidate>& candidates, std::string& error) {
  std::error_code ec;
  std::filesystem::directory_iterator it(pluginsRoot, ec);
  if (ec) {
    SetErrorIfEmpty(error, "companion enumeration failed");
    return false;
  }
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::uint32_t attributes = 0;
    const PathState state = QueryPathState(it->path(), &attributes);
    if (state == PathState::kUnreadable) {
      SetErrorIfEmpty(error, "companion directory metadata is unavailable");
      return false;
    }
    // Gone since the listing (or a dangling link): nothing there to load code from.
    if (state != PathState::kDirectory || (attributes & kReparsePointAttribute) != 0) continue;
    const std::wstring name = it->path().filename().native();
    const std::string utf8 = WideToUtf8(name);
    if (!utf8.empty()) candidates.push_back({name, AsciiLower(utf8)});
  }
  if (ec) {
    SetErrorIfEmpty(error, "companion enumeration failed");
    return false;
  }
  return true;
}

// The companion among the candidates for an entry whose source was read (source_read) or not.
bool ChooseCompanion(const std::vector<Candidate>& candidates,
                     const std::filesystem::path& entryPath, std::string source, bool source_read,
                     std::string& companionName, std::string& error) {
  companionName.clear();
  const std::string stem = AsciiLower(WideToUtf8(entryPath.stem().native()));
  std::string lower_source = source_read ? AsciiLower(source) : std::string();

  if (source_read) {
    std::string token;
    bool strong = false;
    if (ScanRubyEntry(source, token, strong)) {
      const std::string lower_token = AsciiLower(token);
      for (const Candidate& candidate : candidates) {
        if (candidate.lower != lower_token) continue;
        if (strong || (!stem.empty() && (lower_token.find(stem) != std::string::npos ||
                                         stem.find(lower_token) != std::string::npos))) {
          companionName = WideToUtf8(candidate.name);
          return true;
        }
      }
    }
    const Candidate* mentioned = nullptr;
    int mentions = 0;
    for (const Candidate& candidate : candidates) {
      if (NeverChosenByMention(candidate.lower)) continue;
      if (MentionedAsPathStart(lower_source, candidate.lower)) {
        mentioned = &candidate;
        ++mentions;
      }
    }
    if (mentions == 1) {
      companionName = WideToUtf8(mentioned->name);
      return true;
    }
  }

  std::vector<const Candidate*> named;
  for (const Candidate& candidate : candidates) {
    const std::string& n = candidate.lower;
    if (n == stem || n.rfind(stem + "_v", 0) == 0 || n == stem + "_data" || n == stem + "_ext" ||
        n == stem + "_lib") {
      named.push_back(&candidate);
    }
  }
  if (named.size() >= 2) {
    if (!source_read) {
      if (!ReadEntrySource(entryPath, source)) {
        SetErrorIfEmpty(error, "root entry source could not be inspected");
        return false;
      }
      lower_source = AsciiLower(source);
    }
    const std::string compact = WithoutWhiteSpace(lower_source);
    std::vector<const Candidate*> kept;
    for (const Candidate* candidate : named) {
      bool keep = lower_source.find(candidate->lower) != std::string::npos;
      const std::string version = VersionSuffix(candidate->lower, stem);
      if (!keep && !version.empty()) {
        std::string array = "[" + version + "]";
        for (char& c : array) {
          if (c == '.') c = ',';
        }
        keep = compact.find(array) != std::string::npos;
      }
      if (keep) kept.push_back(candidate);
    }
    if (kept.size() != 1) {
      SetErrorIfEmpty(error, "root entry has ambiguous companion directories");
      return false;
    }
    named = kept;
  }
  if (named.size() == 1) companionName = WideToUtf8(named.front()->name);
  return true;
}

}  // namespace

bool FindCompanion(const std::filesystem::path& pluginsRoot, const std::filesystem::path& entryPath,
                   std::string& companionName, std::string& error) {
  companionName.clear();
  std::vector<Candidate> candidates;
  if (!ListCompanionCandidates(pluginsRoot, candidates, error)) return false;
  std::string source;
  const bool source_read = ReadEntrySource(entryPath, source);
  return ChooseCompanion(candidates, entryPath, std::move(source), source_read, companionName,
                         error);
}

CompanionClaims CompanionClaims::Compute(const std::filesystem::path& pluginsRoot) {
  CompanionClaims claims;
  std::vector<Candidate> candidates;
  std::string error;
  if (!ListCompanionCandidates(pluginsRoot, candidates, error)) {
    claims.all_ = true;
    return claims;
  }
  std::error_code ec;
  std::filesystem::directory_iterator it(pluginsRoot, ec);
  if (ec) {
    claims.all_ = true;
    return claims;
  }
  std::vector<std::filesystem::path> entries;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) entries.push_back(it->path());
  if (ec) claims.all_ = true;
  for (const std::filesystem::path& entry : entries) {
    if (!IsPlainFile(entry) || LowerExtension(entry) != ".rb" || IsOfficialRootFile(entry)) {
      continue;
    }
    std::string source;
    const bool source_read = ReadEntrySource(entry, source);
    // A gate loads nothing of its own.
    if (source_read && !ParseGatePluginId(source).empty()) continue;
    std::string name;
    std::string choose_error;
    if (!ChooseCompanion(candidates, entry, source, source_read, name, choose_error)) {
      // Which directory it loads cannot be told: none may go on its account.
      claims.all_ = true;
      continue;
    }
    if (!name.empty()) claims.by_dir_[AsciiLower(name)].push_back(entry);
    if (!source_read) continue;
    const std::string lower_source = AsciiLower(source);
    for (const Candidate& candidate : candidates) {
      if (candidate.lower != AsciiLower(name) &&
          lower_source.find(candidate.lower) != std::string::npos) {
        claims.by_dir_[candidate.lower].push_back(entry);
      }
    }
  }
  return claims;
}

bool CompanionClaims::Claimed(const std::filesystem::path& companionPath,
                              const std::filesystem::path& except) const {
  if (all_) return true;
  const auto found = by_dir_.find(AsciiLower(WideToUtf8(companionPath.filename().native())));
  if (found == by_dir_.end()) return false;
  for (const std::filesystem::path& entry : found->second) {
    if (!EqualsIgnoreCase(entry.native(), except.native())) return true;
  }
  return false;
}

bool IsCompanionShared(const UninstallPlan& plan, const PluginRegistry& registry,
                       const std::filesystem::path& registryPath, bool* undecided,
                       const CompanionClaims* claims) {
  if (undecided != nullptr) *undecided = false;
  if (plan.companionPath.empty()) return false;
  const std::filesystem::path& root = plan.pluginsRoot;

  if (RecordsClaimCompanion(registry, plan.pluginId, plan)) return true;
  // Every other registry of the root can claim it too (another user's, the unauthenticated
  // one), whether or not its plugin's entry is still a gate.
  for (const std::filesystem::path& other_path : RegistriesOfRoot(root)) {
    if (IsSamePath(other_path, registryPath)) continue;
    PluginRegistry other;
    std::string error;
    switch (ReadRootRegistry(other_path, other, error, false)) {
      case RegistryReadState::kRead:
        if (RecordsClaimCompanion(other, std::string(), plan)) return true;
        break;
      case RegistryReadState::kBusy:
        // Cannot tell now: keep the companion, and let the caller try again later.
        if (undecided != nullptr) *undecided = true;
        return true;
      case RegistryReadState::kDamaged:
        break;  // claims nothing any more; its gates are recovered by the orphan sweep
    }
  }

  if (claims != nullptr) return claims->Claimed(plan.companionPath, plan.gatePath);
  std::error_code ec;
  std::filesystem::directory_iterator it(root, ec);
  if (ec) return true;  // cannot tell: keep the companion
  const std::string lower_name = AsciiLower(WideToUtf8(plan.companionPath.filename().native()));
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::filesystem::path entry = it->path();
    if (NamesSameObject(entry, plan.gatePath) || !IsPlainFile(entry) ||
        LowerExtension(entry) != ".rb" || IsOfficialRootFile(entry) || IsGateFile(entry)) {
      continue;
    }
    std::string name;
    std::string error;
    if (!FindCompanion(root, entry, name, error)) return true;
    if (!name.empty() && NamesSameObject(root / Utf8ToWide(name), plan.companionPath)) {
      return true;
    }
    std::string source;
    if (ReadEntrySource(entry, source) &&
        AsciiLower(source).find(lower_name) != std::string::npos) {
      return true;
    }
  }
  return ec ? true : false;
}

}  // namespace kel
