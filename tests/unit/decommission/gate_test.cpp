#include "decommission/gate.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace kel {
namespace {

constexpr std::string_view kDemoGate =
    "# frozen_string_literal: true\n"
    "# kel_plugin_center_gate: 1\n"
    "KelPluginCenter::API.dispatch_entry('demo_tool') if defined?(KelPluginCenter::API)\n";

std::string ToCrLfWithBom(std::string_view text) {
  std::string out = "\xEF\xBB\xBF";
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

TEST(GateText, DemoToolGateIsExactly141Bytes) {
  const std::string gate = GateText("demo_tool");
  EXPECT_EQ(gate, kDemoGate);
  EXPECT_EQ(gate.size(), 141u);
  EXPECT_EQ(GateText("").size(), 95u + 37u);
  EXPECT_EQ(gate.substr(0, kGateHeader.size()), kGateHeader);
  EXPECT_EQ(kGateHeader.size(), 58u);
}

TEST(GateText, NormalizeDropsLeadingBomAndEveryCarriageReturn) {
  EXPECT_EQ(NormalizeGateText(ToCrLfWithBom(kDemoGate)), kDemoGate);
  // Only a leading mark goes; one in the middle is content.
  EXPECT_EQ(NormalizeGateText("a\xEF\xBB\xBF" "b"), "a\xEF\xBB\xBF" "b");
  EXPECT_EQ(NormalizeGateText("\xEF\xBB\xBF"), "");
  EXPECT_EQ(NormalizeGateText("\xEF\xBB"), "\xEF\xBB");
  EXPECT_EQ(NormalizeGateText("a\rb\r\r"), "ab");
}

TEST(GateText, ParsePluginIdTable) {
  struct Case {
    std::string text;
    std::string id;
  };
  const std::string marker = "# kel_plugin_center_gate: 1\n";
  const Case cases[] = {
      {std::string(kDemoGate), "demo_tool"},
      {ToCrLfWithBom(kDemoGate), "demo_tool"},
      {marker + "dispatch_entry('')", ""},
      {marker + "dispatch_entry('a') ; dispatch_entry('b')", "a"},
      // Any layout counts, as long as the marker word and a call are there.
      {"x = 1 # kel_plugin_center_gate\nFoo.dispatch_entry('moved.id')", "moved.id"},
      // No marker word: a user file that merely calls dispatch_entry.
      {"# frozen_string_literal: true\nKelPluginCenter::API.dispatch_entry('demo_tool')", ""},
      {marker + "dispatch_entry('unterminated", ""},
      {marker + "dispatch_entry(", ""},
      {marker + "dispatch_entry('x", ""},  // fewer than two bytes after the marker
      {marker + "dispatch_entry('x')", "x"},
      {"kel_plugin_center_gate", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseGatePluginId(c.text), c.id) << c.text;
  }
}

TEST(GateText, HeaderAndPluginMatchOnText) {
  EXPECT_TRUE(IsGateHeaderText(kDemoGate));
  EXPECT_TRUE(IsGateHeaderText(ToCrLfWithBom(kDemoGate)));
  EXPECT_TRUE(IsGateHeaderText(kGateHeader));
  EXPECT_FALSE(IsGateHeaderText("# frozen_string_literal: true\n"));
  EXPECT_FALSE(IsGateHeaderText(kGateHeader.substr(0, 57)));
  EXPECT_FALSE(IsGateHeaderText(" " + std::string(kDemoGate)));

  EXPECT_TRUE(IsGateTextForPlugin(GateText("abc"), "abc"));
  EXPECT_FALSE(IsGateTextForPlugin(GateText("abc"), "ab"));
  EXPECT_FALSE(IsGateTextForPlugin(GateText("ab"), "abc"));
  EXPECT_TRUE(IsGateTextForPlugin(ToCrLfWithBom(GateText("abc")), "abc"));
  // A user's own file that only mentions the id is not the gate.
  EXPECT_FALSE(IsGateTextForPlugin("require 'abc/main' # dispatch_entry('abc')", "abc"));
}

TEST(GateFile, FileTestsReadThroughSafeReader) {
  test::Sandbox sandbox;
  const auto lf = sandbox.root() / L"demo_tool.rb";
  const auto crlf = sandbox.root() / L"crlf_tool.rb";
  const auto header_only = sandbox.root() / L"half.rb";
  const auto user = sandbox.root() / L"user.rb";
  test::WriteFileBytes(lf, kDemoGate);
  test::WriteFileBytes(crlf, ToCrLfWithBom(kDemoGate));
  test::WriteFileBytes(header_only, "# frozen_string_literal: true\n");
  test::WriteFileBytes(user, "require 'demo_tool/main'\n");

  EXPECT_TRUE(IsGateFile(lf));
  EXPECT_TRUE(IsGateFile(crlf));
  EXPECT_FALSE(IsGateFile(header_only));
  EXPECT_FALSE(IsGateFile(user));
  EXPECT_FALSE(IsGateFile(sandbox.root() / L"missing.rb"));
  EXPECT_FALSE(IsGateFile(sandbox.root()));

  EXPECT_TRUE(IsGateForPlugin(lf, "demo_tool"));
  EXPECT_TRUE(IsGateForPlugin(crlf, "demo_tool"));
  EXPECT_FALSE(IsGateForPlugin(lf, "demo_too"));
  EXPECT_FALSE(IsGateForPlugin(user, "demo_tool"));
  EXPECT_FALSE(IsGateForPlugin(sandbox.root() / L"missing.rb", "demo_tool"));

  // An empty file cannot be read as a state file and so is no gate either.
  const auto empty = sandbox.root() / L"empty.rb";
  test::WriteFileBytes(empty, "");
  EXPECT_FALSE(IsGateFile(empty));
}

TEST(GateNames, OfficialNamesAreMatchedOnLastComponentInAnyCase) {
  EXPECT_TRUE(IsOfficialRootFile(L"C:\\P\\KEL_PLUGIN_CENTER.RB"));
  EXPECT_TRUE(IsOfficialRootFile(L"!Kel-Plugin-Gate.rb"));
  EXPECT_TRUE(IsOfficialRootFile(L"C:\\P\\kel2cad_v2.rb"));
  EXPECT_TRUE(IsOfficialRootFile(L"kel_shortcut_tool.rb"));
  EXPECT_TRUE(IsOfficialRootFile(L"kel_clipboard_tool.RB"));
  EXPECT_FALSE(IsOfficialRootFile(L"C:\\P\\kel_plugin_center.rb.bak"));
  EXPECT_FALSE(IsOfficialRootFile(L"kel_plugin_center"));
  EXPECT_FALSE(IsOfficialRootFile(L"C:\\kel_plugin_center.rb\\other.rb"));
  EXPECT_FALSE(IsOfficialRootFile(L""));

  EXPECT_TRUE(IsOfficialCompanionName(L"C:\\P\\Kel_Plugin_Center"));
  EXPECT_TRUE(IsOfficialCompanionName(L"KEL2CAD_V2"));
  EXPECT_FALSE(IsOfficialCompanionName(L"kel_plugin_center.rb"));
  EXPECT_FALSE(IsOfficialCompanionName(L"kel_plugin_center_data"));
  // Only ASCII letters fold: a Turkish dotless i or a full-width letter is another name.
  EXPECT_FALSE(IsOfficialCompanionName(L"kel_plug\u0131n_center"));
}

}  // namespace
}  // namespace kel
