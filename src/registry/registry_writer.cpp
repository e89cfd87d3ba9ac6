#include "registry/registry_document.h"

// The written form of the registry, produced straight from the model: the same bytes as the
// JSON library's dump with an indent of 2 (members in its sorted order, UTF-8 unescaped),
// without building the library's tree first.

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "registry/registry_fields.h"

namespace kel {
namespace {

using namespace registry_fields;

bool IsWellFormedUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Indented JSON text, written member by member.
class JsonText {
 public:
  explicit JsonText(std::string& out) : out_(out) {}

  void Open(char bracket) {
    out_ += bracket;
    ++depth_;
    empty_ = true;
  }
  void Close(char bracket) {
    --depth_;
    if (!empty_) Newline();
    out_ += bracket;
    empty_ = false;
  }
  void Key(std::string_view key) {
    Element();
    String(key);
    out_ += ": ";
  }
  void Element() {
    if (!empty_) out_ += ',';
    empty_ = false;
    Newline();
  }
  void Bool(bool value) { out_ += value ? "true" : "false"; }
  void Unsigned(std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out_.append(digits, end);
  }
  void String(std::string_view text) {
    // Text the library would refuse is handed to it, so that it fails the same way.
    if (!IsWellFormedUtf8(text)) (void)nlohmann::json(std::string(text)).dump();
    out_ += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out_.append(text.data() + run, i - run);
      run = i + 1;
      Escape(c);
    }
    out_.append(text.data() + run, text.size() - run);
    out_ += '"';
  }
  void Strings(const std::vector<std::string>& values) {
    Open('[');
    for (const std::string& value : values) {
      Element();
      String(value);
    }
    Close(']');
  }

 private:
  void Newline() {
    out_ += '\n';
    out_.append(2 * static_cast<std::size_t>(depth_), ' ');
  }
  void Escape(unsigned char c) {
    switch (c) {
      case '"': out_ += "\\\""; return;
      case '\\': out_ += "\\\\"; return;
      case '\b': out_ += "\\b"; return;
      case '\f': out_ += "\\f"; return;
      case '\n': out_ += "\\n"; return;
      case '\r': out_ += "\\r"; return;
      case '\t': out_ += "\\t"; return;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out_.append(escaped, sizeof(escaped));
      }
    }
  }

  std::string& out_;
  int depth_ = 0;
  bool empty_ = true;
};

// One member of a record in the written form: skipped when `present` says so.
template <typename Record>
struct Member {
  std::string_view key;
  void (*write)(JsonText&, const Record&, std::size_t);
  std::size_t index = 0;
  bool (*present)(const Record&, std::size_t) = nullptr;
};

template <typename Record, const auto& kTable>
void AddTexts(std::vector<Member<Record>>& members) {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    members.push_back({kTable[i].key,
                       [](JsonText& w, const Record& r, std::size_t k) {
                         w.String(r.*kTable[k].member);
                       },
                       i,
                       [](const Record& r, std::size_t k) {
                         return kTable[k].write_empty || !(r.*kTable[k].member).empty();
                       }});
  }
}

template <typename Record, const auto& kTable>
void AddCounts(std::vector<Member<Record>>& members) {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    members.push_back({kTable[i].key, [](JsonText& w, const Record& r, std::size_t k) {
                         w.Unsigned(r.*kTable[k].member);
                       }, i});
  }
}

// The library writes members in the order of its sorted map.
template <typename Record>
std::vector<Member<Record>> Sorted(std::vector<Member<Record>> members) {
  std::sort(members.begin(), members.end(),
            [](const Member<Record>& a, const Member<Record>& b) { return a.key < b.key; });
  return members;
}

template <typename Record>
void WriteRecord(JsonText& w, const std::vector<Member<Record>>& members, const Record& record) {
  w.Open('{');
  for (const Member<Record>& member : members) {
    if (member.present != nullptr && !member.present(record, member.index)) continue;
    w.Key(member.key);
    member.write(w, record, member.index);
  }
  w.Close('}');
}

const std::vector<Member<ExternalCommandScope>>& ScopeMembers() {
  // Never destroyed: a detached worker may still write a registry while the process ends.
  static const auto& members = *new auto([] {
    std::vector<Member<ExternalCommandScope>> m;
    AddTexts<ExternalCommandScope, kScopeText>(m);
    m.push_back({"exactToolbars", [](JsonText& w, const ExternalCommandScope& s, std::size_t) {
                   w.Strings(s.exact_toolbars);
                 }});
    return Sorted(std::move(m));
  }());
  return members;
}

const std::vector<Member<RegistryCommand>>& CommandMembers() {
  // Never destroyed: a detached worker may still write a registry while the process ends.
  static const auto& members = *new auto([] {
    std::vector<Member<RegistryCommand>> m;
    AddTexts<RegistryCommand, kCommandText>(m);
    AddCounts<RegistryCommand, kCommandCounts>(m);
    m.push_back({"menuSegments", [](JsonText& w, const RegistryCommand& c, std::size_t) {
                   w.Strings(c.menu_segments);
                 }});
    return Sorted(std::move(m));
  }());
  return members;
}

const std::vector<Member<PluginRecord>>& PluginMembers() {
  using P = PluginRecord;
  // Never destroyed: a detached worker may still write a registry while the process ends.
  static const auto& members = *new auto([] {
    std::vector<Member<P>> m;
    AddTexts<P, kPluginText>(m);
    m.push_back({"showToolbar", [](JsonText& w, const P& p, std::size_t) { w.Bool(p.show_toolbar); }});
    m.push_back({"catalogVisible",
                 [](JsonText& w, const P& p, std::size_t) { w.Bool(p.catalog_visible); }});
    m.push_back({"loadPolicy", [](JsonText& w, const P& p, std::size_t) {
                   w.String(LoadPolicyText(p.load_policy));
                 }});
    m.push_back({"toolbars", [](JsonText& w, const P& p, std::size_t) { w.Strings(p.toolbars); }});
    m.push_back({"externalCommandScopes", [](JsonText& w, const P& p, std::size_t) {
                   w.Open('[');
                   for (const auto& scope : p.external_command_scopes) {
                     w.Element();
                     WriteRecord(w, ScopeMembers(), scope);
                   }
                   w.Close(']');
                 }});
    m.push_back({"commandIndexVersion",
                 [](JsonText& w, const P& p, std::size_t) { w.Unsigned(p.command_index_version); }});
    m.push_back({"indexState", [](JsonText& w, const P& p, std::size_t) {
                   w.String(IndexStateText(p.index_state));
                 }});
    m.push_back({"indexedGeneration",
                 [](JsonText& w, const P& p, std::size_t) { w.String(p.indexed_generation); }});
    m.push_back({"indexedAt", [](JsonText& w, const P& p, std::size_t) { w.Unsigned(p.indexed_at); }});
    m.push_back({"commands", [](JsonText& w, const P& p, std::size_t) {
                   w.Open('[');
                   for (const auto& entry : p.commands) {
                     w.Element();
                     WriteRecord(w, CommandMembers(), entry.second);
                   }
                   w.Close(']');
                 }});
    m.push_back({"commandAliases", [](JsonText& w, const P& p, std::size_t) {
                   w.Open('{');
                   for (const auto& [alias, target] : p.command_aliases) {
                     w.Key(alias);
                     w.String(target);
                   }
                   w.Close('}');
                 }});
    m.push_back({"unresolvedCommandAliases", [](JsonText& w, const P& p, std::size_t) {
                   w.Strings(p.unresolved_command_aliases);
                 }});
    return Sorted(std::move(m));
  }());
  return members;
}

const std::vector<Member<PluginRegistry>>& RegistryMembers() {
  using R = PluginRegistry;
  // Never destroyed: a detached worker may still write a registry while the process ends.
  static const auto& members = *new auto([] {
    std::vector<Member<R>> m;
    AddTexts<R, kOwnerText>(m);
    m.push_back({"schemaVersion",
                 [](JsonText& w, const R&, std::size_t) { w.Unsigned(kRegistrySchemaVersion); }});
    m.push_back({"generation", [](JsonText& w, const R& r, std::size_t) { w.Unsigned(r.generation); }});
    m.push_back({"updatedAt", [](JsonText& w, const R& r, std::size_t) { w.Unsigned(r.updated_at); }});
    m.push_back({"plugins", [](JsonText& w, const R& r, std::size_t) {
                   w.Open('{');
                   for (const auto& [id, plugin] : r.plugins) {
                     w.Key(id);
                     WriteRecord(w, PluginMembers(), plugin);
                   }
                   w.Close('}');
                 }});
    return Sorted(std::move(m));
  }());
  return members;
}

}  // namespace

std::string RegistryDocumentText(const PluginRegistry& registry) {
  std::string text;
  JsonText writer(text);
  WriteRecord(writer, RegistryMembers(), registry);
  return text;
}

}  // namespace kel
