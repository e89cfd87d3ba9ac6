#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "registry/registry_document.h"
#include "registry_fixtures.h"

namespace kel {
namespace {

using json = nlohmann::json;

bool IsKnownMessage(const std::string& error) {
  const auto& known = test::KnownRegistryMessages();
  return std::find(known.begin(), known.end(), error) != known.end() ||
         error.rfind("semantic field ", 0) == 0 || error.rfind("provider tag ", 0) == 0;
}

void CollectPointers(const json& value, const json::json_pointer& at, std::vector<json::json_pointer>& out) {
  out.push_back(at);
  if (value.is_object()) {
    for (const auto& [key, child] : value.items()) CollectPointers(child, at / key, out);
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) CollectPointers(value[i], at / i, out);
  }
}

json OddValue(std::mt19937& random) {
  switch (random() % 18) {
    case 0: return nullptr;
    case 1: return true;
    case 2: return -1;
    case 3: return 0;
    case 4: return 1;
    case 5: return 4294967296ULL;
    case 6: return 1.5;
    case 7: return 1e300;
    case 8: return std::numeric_limits<double>::quiet_NaN();
    case 9: return std::numeric_limits<std::uint64_t>::max();
    case 10: return "";
    case 11: return std::string(300 + random() % 3000, 'x');
    case 12: return std::string("a\0b", 3);
    case 13: return "ready";
    case 14: return json::array({"x", 1});
    case 15: return json::object({{"k", "v"}});
    case 16: return "cc2.managed." + std::string(64, 'a');
    default: return std::string(1 + random() % 200, "ab.-_ "[random() % 6]);
  }
}

void Mutate(json& document, std::mt19937& random) {
  std::vector<json::json_pointer> pointers;
  CollectPointers(document, json::json_pointer(), pointers);
  const json::json_pointer target = pointers[random() % pointers.size()];
  switch (random() % 5) {
    case 0:
    case 1:
      document[target] = OddValue(random);
      break;
    case 2:
      if (!target.empty()) {
        json& parent = document[target.parent_pointer()];
        if (parent.is_object()) parent.erase(target.back());
        else if (parent.is_array()) parent.erase(std::stoul(target.back()));
      }
      break;
    case 3: {
      json& value = document[target];
      if (value.is_array() && !value.empty()) value.push_back(value[random() % value.size()]);
      else if (value.is_object()) value["extra" + std::to_string(random() % 4)] = OddValue(random);
      else if (value.is_string() && !value.get<std::string>().empty()) {
        std::string text = value.get<std::string>();
        text[random() % text.size()] ^= static_cast<char>(1 + random() % 0x7F);
        value = text;
      }
      break;
    }
    default: {
      // Swap the type of a value for the "same" value in another type.
      json& value = document[target];
      if (value.is_number()) value = value.dump();
      else if (value.is_string()) value = json::array({value});
      else if (value.is_boolean()) value = value.get<bool>() ? 1 : 0;
      else value = nullptr;
    }
  }
}

// Whatever a document holds, a read ends in a model or in one of the known messages, and a
// model once read is written and read back unchanged.
TEST(RegistryMutation, EveryReadEndsInSuccessOrAKnownMessage) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<json> bases;
  for (int schema : {3, 4, 5, 6, 7, 8}) {
    json document = test::RichDocument();
    document["schemaVersion"] = schema;
    bases.push_back(document);
  }
  int accepted = 0;
  constexpr int kIterations = 6000;
  for (int i = 0; i < kIterations; ++i) {
    json document = bases[random() % bases.size()];
    const int mutations = 1 + static_cast<int>(random() % 3);
    for (int m = 0; m < mutations; ++m) Mutate(document, random);
    // Documents reach the reader as text: go through it, as the store does.
    document = json::parse(document.dump(-1, ' ', false, json::error_handler_t::replace));
    PluginRegistry registry;
    std::string error;
    if (!ParsePluginRegistry(document, registry, error)) {
      ASSERT_TRUE(IsKnownMessage(error)) << error << "\n" << document.dump().substr(0, 2000);
      continue;
    }
    ++accepted;
    PluginRegistry again;
    ASSERT_TRUE(ParsePluginRegistry(json::parse(RegistryDocumentText(registry)), again, error))
        << error << "\n" << document.dump().substr(0, 2000);
    ASSERT_EQ(again, registry) << document.dump().substr(0, 2000);
  }
  // Both sides must be exercised for the run to mean anything.
  EXPECT_GT(accepted, kIterations / 20);
  EXPECT_LT(accepted, kIterations - kIterations / 20);
}

}  // namespace
}  // namespace kel
