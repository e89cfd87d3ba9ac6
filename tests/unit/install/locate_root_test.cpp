#include <gtest/gtest.h>

#include "install/install.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

TEST(LocatePluginCenterRootTest, OnlyAnUnambiguousSingleFolderIsEntered) {
  test::Sandbox box;
  const fs::path stage = box.root() / L"stage";
  fs::create_directories(stage);
  EXPECT_EQ(LocatePluginCenterRoot(stage), stage);  // empty

  // One real folder beside the archive tools' litter, holding the loader only.
  test::WriteFileBytes(stage / L"release-2.0" / L"kel_plugin_center.rb", "x");
  fs::create_directories(stage / L"__MACOSX" / L"release-2.0");
  fs::create_directories(stage / L".GIT");
  EXPECT_EQ(LocatePluginCenterRoot(stage), stage / L"release-2.0");

  // A second candidate makes it ambiguous: the stage itself is used.
  fs::create_directories(stage / L"docs");
  EXPECT_EQ(LocatePluginCenterRoot(stage), stage);

  // A single folder matching neither form is not entered.
  const fs::path other = box.root() / L"other";
  fs::create_directories(other / L"top" / L"Plugins" / L"something_else");
  EXPECT_EQ(LocatePluginCenterRoot(other), other);
  fs::create_directories(other / L"top" / L"Plugins" / L"kel_plugin_center");
  EXPECT_EQ(LocatePluginCenterRoot(other), other / L"top" / L"Plugins");

  // The plugin center at the top wins over everything below.
  fs::create_directories(other / L"kel_plugin_center");
  EXPECT_EQ(LocatePluginCenterRoot(other), other);
}

}  // namespace
}  // namespace kel
