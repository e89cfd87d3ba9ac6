#include "decommission/no_loss_proof.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "decommission/root_registries.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

const std::string kOriginal = "sha256:" + std::string(64, 'a');
const std::string kOther = "sha256:" + std::string(64, 'b');

Finding Busy(const char* what) { return Finding::Unknown(Doubt::kBusy, what); }
Finding Damaged(const char* what) { return Finding::Unknown(Doubt::kDamaged, what); }

// Each fact unknown in turn, and the answers around it: unknown never reads as safe, and
// never as lost either.
TEST(NoLossProof, EveryFactUnknownInTurnStopsTheStep) {
  const UserBytes original{"payloads\\tool.rb", "tool.rb", Finding::Yes(), kOriginal};
  const KeptCopy same_in_root{"tool.rb", "tool.rb", Finding::Yes(), kOriginal, true};
  const KeptCopy gate_in_root{"tool.rb", "tool.rb", Finding::Yes(), kOther, false};
  const KeptCopy users_newer{"tool.rb", "TOOL.RB", Finding::Yes(), kOther, true};
  const KeptCopy held{"tool.rb", "tool.rb", Busy("tool.rb"), {}, true};
  const KeptCopy other_name{"x.rb", "x.rb", Finding::Yes(), kOther, true};
  struct Row {
    const char* name;
    std::vector<UserBytes> destroyed;
    std::vector<KeptCopy> staying;
    Fact fact;
    Doubt doubt;
    std::string what;
  };
  const std::vector<Row> rows = {
      {"nothing of the user's goes", {}, {}, Fact::kYes, Doubt::kNone, ""},
      {"no user bytes behind it", {{"g", "g.rb", Finding::No(), {}}}, {}, Fact::kYes,
       Doubt::kNone, ""},
      {"copy in the root by digest", {original}, {gate_in_root, same_in_root}, Fact::kYes,
       Doubt::kNone, ""},
      {"user's own newer file of that name", {original}, {users_newer}, Fact::kYes, Doubt::kNone,
       ""},
      {"only the gate stays", {original}, {gate_in_root}, Fact::kNo, Doubt::kNone,
       "payloads\\tool.rb"},
      {"a user file of another name", {original}, {other_name}, Fact::kNo, Doubt::kNone,
       "payloads\\tool.rb"},
      {"the destroyed copy cannot be read", {{"p", "tool.rb", Busy("p"), {}}}, {same_in_root},
       Fact::kUnknown, Doubt::kBusy, "p"},
      {"the destroyed copy is damaged", {{"p", "tool.rb", Damaged("p"), {}}}, {same_in_root},
       Fact::kUnknown, Doubt::kDamaged, "p"},
      {"present but no digest", {{"p", "tool.rb", Finding::Yes(), {}}}, {same_in_root},
       Fact::kUnknown, Doubt::kDamaged, "p"},
      {"the place that stays is held", {original}, {gate_in_root, held}, Fact::kUnknown,
       Doubt::kBusy, "tool.rb"},
      {"a held place never hides a proven copy", {original}, {held, same_in_root}, Fact::kYes,
       Doubt::kNone, ""},
      {"second sequence unknown after a proven first",
       {original, {"q", "q.rb", Busy("q"), {}}}, {same_in_root}, Fact::kUnknown, Doubt::kBusy,
       "q"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Finding proof = ProveNoLoss(row.destroyed, row.staying);
    EXPECT_EQ(proof.fact, row.fact);
    EXPECT_EQ(proof.doubt, row.doubt);
    EXPECT_EQ(proof.what, row.what);
  }
}

// The three values a read gives, and how a registry's own failure is told apart: a holder
// that shares nothing may let go; an empty or oversized file never mends itself.
TEST(NoLossProof, ReadsTellBusyFromDamagedFromMissing) {
  test::Sandbox sandbox;
  const fs::path dir = sandbox.root() / L"facts";
  const fs::path file = dir / L"plugin_registry.json";
  test::WriteFileBytes(file, "{}");
  EXPECT_EQ(ReadFileFacts(file, 16).state, ReadState::kRead);
  EXPECT_EQ(ReadFileFacts(file, 16).content, "{}");
  EXPECT_EQ(ReadFileFacts(file, 1).state, ReadState::kDamaged);
  EXPECT_EQ(ReadFileFacts(dir / L"none.json", 16).state, ReadState::kMissing);
  EXPECT_EQ(ReadFileFacts(dir, 16).state, ReadState::kDamaged);
  {
    unique_file holder(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(ReadFileFacts(file, 16).state, ReadState::kBusy);
    PluginRegistry registry;
    std::string error;
    EXPECT_EQ(ReadRootRegistry(file, registry, error, false), RegistryReadState::kBusy);
  }
  test::WriteFileBytes(file, "");
  EXPECT_EQ(ReadFileFacts(file, 16).state, ReadState::kDamaged);
  PluginRegistry registry;
  std::string error;
  EXPECT_EQ(ReadRootRegistry(file, registry, error, false), RegistryReadState::kDamaged);
}

}  // namespace
}  // namespace kel
