#include "decommission/companion.h"

#include <gtest/gtest.h>

#include "support/plugins_fixture.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

struct CompanionCase {
  const char* what;
  std::string entry_name;
  std::string source;
  std::vector<std::string> directories;
  bool ok;
  std::string companion;  // or the error when !ok
};

TEST(FindCompanion, RealisticEntries) {
  const CompanionCase cases[] = {
      {"registration with a plain path", "acme.rb",
       "require 'sketchup.rb'\nrequire 'extensions.rb'\n"
       "ext = SketchupExtension.new('Acme', 'Acme_Tool/main')\n"
       "Sketchup.register_extension(ext, true)\n",
       {"acme_tool", "other"}, true, "acme_tool"},
      {"registration with File.join(__dir__, ...)", "acme.rb",
       "ext = SketchupExtension.new('Acme', File.join(__dir__, 'vendor_pack', 'main'))\n",
       {"vendor_pack", "acme"}, true, "vendor_pack"},
      {"weak token containing the stem", "acme.rb", "require_relative 'acme_core/loader'\n",
       {"acme_core", "zzz"}, true, "acme_core"},
      {"weak token naming no directory falls to the name match", "acme.rb",
       "require 'shared_lib/x'\n", {"acme", "beta"}, true, "acme"},
      {"weak token unrelated to the stem is still a mention", "acme.rb",
       "require 'shared_lib/x'\n", {"shared_lib", "acme"}, true, "shared_lib"},
      {"library require only: name match", "acme.rb", "require 'json'\n", {"acme", "beta"}, true,
       "acme"},
      {"text mention as a path start", "acme.rb",
       "ICON = File.join(__dir__, \"toolkit_x\") + '/icons'\npath = 'toolkit_x/icons/a.png'\n",
       {"toolkit_x", "acme_data"}, true, "toolkit_x"},
      {"mentions of never-chosen directories do not count", "acme.rb",
       "x = 'su_helpers/a'\ny = 'kel_plugin_center/b'\n", {"su_helpers", "kel_plugin_center"},
       true, ""},
      {"versioned folders and a version array", "acme.rb", "module Acme\n  VERSION = [1, 3]\nend\n",
       {"acme_v1.2", "acme_v1.3"}, true, "acme_v1.3"},
      {"versioned folder named in the source", "acme.rb", "DIR = 'acme_v1.2'\n",
       {"acme_v1.2", "acme_v1.3"}, true, "acme_v1.2"},
      {"ambiguous _data and _lib", "acme.rb", "puts 'hi'\n", {"acme_data", "acme_lib"}, false,
       "root entry has ambiguous companion directories"},
      {"ambiguity settled by a name in the source", "acme.rb", "# uses acme_lib\n",
       {"acme_data", "acme_lib"}, true, "acme_lib"},
      {"no companion at all", "lonely.rb", "puts 1\n", {"unrelated"}, true, ""},
      {"a call in a comment still counts", "acme.rb", "# require 'acme_old/x'\n",
       {"acme_old", "acme_new"}, true, "acme_old"},
  };
  for (const CompanionCase& c : cases) {
    SCOPED_TRACE(c.what);
    test::Sandbox sandbox;
    const fs::path root = sandbox.root() / L"Plugins";
    fs::create_directories(root);
    for (const std::string& dir : c.directories) fs::create_directories(root / dir);
    test::WriteFileBytes(root / c.entry_name, c.source);
    std::string name = "stale";
    std::string error;
    EXPECT_EQ(FindCompanion(root, root / c.entry_name, name, error), c.ok);
    EXPECT_EQ(c.ok ? name : error, c.companion);
  }
}

TEST(FindCompanion, UnreadableEntryNeedsTheSourceOnlyForDisambiguation) {
  test::Sandbox sandbox;
  const fs::path root = sandbox.root() / L"Plugins";
  fs::create_directories(root / L"acme");
  std::string name, error;
  EXPECT_TRUE(FindCompanion(root, root / L"acme.rb", name, error));
  EXPECT_EQ(name, "acme");
  fs::create_directories(root / L"acme_ext");
  EXPECT_FALSE(FindCompanion(root, root / L"acme.rb", name, error));
  EXPECT_EQ(error, "root entry source could not be inspected");
  error.clear();
  EXPECT_FALSE(FindCompanion(sandbox.root() / L"missing", root / L"acme.rb", name, error));
  EXPECT_EQ(error, "companion enumeration failed");
}

TEST(FindCompanion, LinkedDirectoriesAreNoCandidates) {
  if (!test::RunningUnderWine()) GTEST_SKIP() << "Unix links need Wine";
  test::Sandbox sandbox;
  const fs::path root = sandbox.root() / L"Plugins";
  fs::create_directories(root);
  fs::create_directories(sandbox.root() / L"elsewhere");
  std::string reason;
  ASSERT_TRUE(test::MakeUnixSymlink(sandbox.root() / L"elsewhere", root / L"acme", reason))
      << reason;
  test::WriteFileBytes(root / L"acme.rb", "SketchupExtension.new('A', 'acme/main')\n");
  std::string name = "stale", error;
  EXPECT_TRUE(FindCompanion(root, root / L"acme.rb", name, error)) << error;
  EXPECT_EQ(name, "");
}

}  // namespace
}  // namespace kel
