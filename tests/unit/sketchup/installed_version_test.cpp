#include "sketchup/installed_version.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::Sandbox;
using test::WriteFileBytes;

class InstalledVersion : public ::testing::Test {
 protected:
  fs::path plugins() const { return sandbox_.root() / L"Plugins"; }
  void Version(std::string_view bytes) {
    WriteFileBytes(plugins() / L"kel_plugin_center" / L"VERSION", bytes);
  }
  void Loader(std::string_view bytes) { WriteFileBytes(plugins() / L"kel_plugin_center.rb", bytes); }
  std::string Read() const { return ReadInstalledVersion(plugins()); }

  Sandbox sandbox_;
};

TEST_F(InstalledVersion, VersionFileWithBomAndCrlf) {
  Version("\xEF\xBB\xBF" "1.4.2\r\n");
  EXPECT_EQ(Read(), "1.4.2");
}

TEST_F(InstalledVersion, VersionFileWinsOverLoader) {
  Version(" \t2.0.0-beta \n");
  Loader("extension.version = '1.0.0'");
  EXPECT_EQ(Read(), "2.0.0-beta");
}

TEST_F(InstalledVersion, UnusableVersionFileFallsBackToLoader) {
  Loader("ext = SketchupExtension.new('Kel', 'kel_plugin_center/main')\n"
         "extension.version = '1.3.0'\n");
  Version("");
  EXPECT_EQ(Read(), "1.3.0");
  Version(std::string(2000, '1'));  // over the 1,024-byte limit
  EXPECT_EQ(Read(), "1.3.0");
  Version(std::string(1024, ' '));  // at the limit, but only white space
  EXPECT_EQ(Read(), "1.3.0");
  Version("\xEF\xBB\xBF");
  EXPECT_EQ(Read(), "1.3.0");
  Version(std::string(1023, ' ') + "7");  // exactly at the limit
  EXPECT_EQ(Read(), "7");
  test::RemoveTree(plugins() / L"kel_plugin_center");
  fs::create_directories(plugins() / L"kel_plugin_center" / L"VERSION");  // not a file
  EXPECT_EQ(Read(), "1.3.0");
}

TEST_F(InstalledVersion, LoaderTakesTheFirstQuoteAfterTheKey) {
  Loader("extension.version = KelPluginCenter::VERSION\n"
         "extension.description = \"  Kel plugin center  \"\n");
  EXPECT_EQ(Read(), "Kel plugin center");
  Loader("extension.version = \"\"\nextension.creator = 'Kel'\n");
  EXPECT_EQ(Read(), "");
  Loader("extension.version = '1.2.3");  // never closed
  EXPECT_EQ(Read(), "");
  Loader("Extension.Version = '1.2.3'");  // the key is case-sensitive
  EXPECT_EQ(Read(), "");
}

TEST_F(InstalledVersion, LoaderLimitAndNothingAtAll) {
  EXPECT_EQ(Read(), "");
  fs::create_directories(plugins());
  EXPECT_EQ(Read(), "");
  const std::string tail = "extension.version = '5.0'";
  Loader(std::string(65536 - tail.size(), '#') + tail);
  EXPECT_EQ(Read(), "5.0");
  Loader(std::string(65537 - tail.size(), '#') + tail);
  EXPECT_EQ(Read(), "");
}

TEST(ParseVersion, PiecesAndSeparators) {
  using V = std::vector<std::uint64_t>;
  EXPECT_EQ(ParseVersion(""), V{});
  EXPECT_EQ(ParseVersion("1.2."), (V{1, 2}));
  EXPECT_EQ(ParseVersion("1..2"), (V{1, 0, 2}));
  EXPECT_EQ(ParseVersion("."), (V{0}));
  EXPECT_EQ(ParseVersion("v1.2-rc2"), (V{1, 2, 2}));
  EXPECT_EQ(ParseVersion("1a2.b"), (V{12, 0}));
  EXPECT_EQ(ParseVersion("18446744073709551615.18446744073709551616.99999999999999999999999"),
            (V{UINT64_MAX, UINT64_MAX, UINT64_MAX}));
}

TEST(CompareVersions, Ordering) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"1.10.0", "1.9.9", 1},   {"1.9.9", "1.10.0", -1},   {"2.0.0-beta", "2.0.0.0", 0},
      {"1.2", "1.2.0", 0},      {"1.2.0.0", "1.2", 0},     {"v1.4.2", "1.4.2", 0},
      {"", "0.0", 0},           {"", "0.0.1", -1},         {"1.0.0", "", 1},
      {"1.2.3", "1.2.4", -1},   {"3", "2.99.99", 1},       {"1.0.0", "1.0.0-1", -1},
      {"18446744073709551615", "99999999999999999999", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
  }
}

}  // namespace
}  // namespace kel
