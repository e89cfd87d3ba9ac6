#include "decommission/managed_paths.h"

#include <gtest/gtest.h>

#include "safefs/physical_path.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

TEST(ManagedNames, PluginIds) {
  for (const char* id : {"a", "acme_tool", "Acme-1.2", "com1", "com1.tool", "lpt9.x", "console",
                         "nul_tool", "_", "a..b"}) {
    EXPECT_TRUE(IsValidPluginId(id)) << id;
  }
  for (const char* id : {"", ".", "..", "nul", "NUL.tool", "Con", "aux.x", "prn", "a b", "a.",
                         "a/b", "a\\b", "é", "a:b"}) {
    EXPECT_FALSE(IsValidPluginId(id)) << id;
  }
  EXPECT_TRUE(IsValidPluginId(std::string(128, 'a')));
  EXPECT_FALSE(IsValidPluginId(std::string(129, 'a')));
}

TEST(ManagedNames, PortableNamesAndIconRefs) {
  EXPECT_FALSE(IsPortableUtf8Name("com1.rb"));
  EXPECT_TRUE(IsPortableUtf8Name("com10.rb"));
  EXPECT_FALSE(IsPortableUtf8Name(std::string("a\0b.rb", 6)));
  EXPECT_FALSE(IsPortableUtf8Name("tab\tname"));
  EXPECT_FALSE(IsPortableUtf8Name("\xff.rb"));

  const std::string hex(64, 'a');
  EXPECT_TRUE(IsValidCachedIconRef("cache/icons/" + hex + ".png"));
  EXPECT_TRUE(IsValidCachedIconRef("cache/icons/" + std::string(64, 'F') + ".JPEG"));
  for (const char* ext : {".bmp", ".gif", ".ico", ".jpeg", ".jpg", ".svg"}) {
    EXPECT_TRUE(IsValidCachedIconRef("cache/icons/" + hex + ext)) << ext;
  }
  EXPECT_FALSE(IsValidCachedIconRef("cache/icons/" + hex + ".webp"));
  EXPECT_FALSE(IsValidCachedIconRef("cache/icons/" + std::string(63, 'a') + ".png"));
  EXPECT_FALSE(IsValidCachedIconRef("cache/icons/" + std::string(63, 'a') + "g.png"));
  EXPECT_FALSE(IsValidCachedIconRef("cache/icons/" + hex));
  EXPECT_FALSE(IsValidCachedIconRef("cache/icons/../" + hex + ".png"));
  EXPECT_FALSE(IsValidCachedIconRef("cache/icons/x/" + hex + ".png"));
  EXPECT_FALSE(IsValidCachedIconRef("Cache/icons/" + hex + ".png"));
  EXPECT_FALSE(IsValidCachedIconRef("cache\\icons\\" + hex + ".png"));
}

TEST(ManagedPaths, WithinComparesWholeComponentsCaseInsensitively) {
  EXPECT_TRUE(IsWithin(L"C:\\P\\Plugins", L"C:\\p\\plugins\\x.rb"));
  EXPECT_TRUE(IsWithin(L"C:\\P\\Plugins", L"C:\\P\\Plugins"));
  EXPECT_TRUE(IsWithin(L"C:\\P\\Plugins\\", L"C:\\P\\Plugins\\a"));
  EXPECT_FALSE(IsWithin(L"C:\\P\\Plugins", L"C:\\P\\Plugins2\\a"));
  EXPECT_FALSE(IsWithin(L"C:\\P\\Plugins", L"C:\\P\\Plugins\\..\\escape.rb"));
  EXPECT_FALSE(IsWithin(L"C:\\P\\Plugins\\a", L"C:\\P\\Plugins"));
  EXPECT_FALSE(IsWithin(L"", L"C:\\P"));
  EXPECT_TRUE(IsSamePath(L"C:\\P\\Plugins", L"c:\\p\\PLUGINS\\."));
  EXPECT_FALSE(IsSamePath(L"C:\\P\\Plugins", L"C:\\P\\Plugins\\a"));
}

TEST(ManagedPaths, LinksCountAsReparsePoints) {
  if (!test::RunningUnderWine()) GTEST_SKIP() << "Unix links need Wine";
  test::Sandbox sandbox;
  fs::create_directories(sandbox.root() / L"real");
  std::string reason;
  ASSERT_TRUE(test::MakeUnixSymlink(sandbox.root() / L"real", sandbox.root() / L"link", reason));
  EXPECT_TRUE(IsReparsePointOrUnreadable(sandbox.root() / L"link"));
  EXPECT_FALSE(IsPlainDirectory(sandbox.root() / L"link"));
  EXPECT_TRUE(IsPlainDirectory(sandbox.root() / L"real"));
  EXPECT_TRUE(IsReparsePointOrUnreadable(sandbox.root() / L"missing"));
  EXPECT_EQ(QueryPathState(sandbox.root() / L"missing"), PathState::kMissing);
  EXPECT_EQ(QueryPathState(sandbox.root() / L"missing" / L"deeper"), PathState::kMissing);
  EXPECT_TRUE(IsSameFileObject(sandbox.root() / L"real", sandbox.root() / L"REAL"));
}

TEST(ManagedPaths, PluginsRootOfRegistryLayouts) {
  EXPECT_EQ(PluginsRootOfRegistry(
                L"C:\\S\\Plugins\\kel_plugin_center\\managed_plugins\\users\\u\\plugin_registry.json"),
            fs::path(L"C:\\S\\Plugins"));
  EXPECT_EQ(PluginsRootOfRegistry(
                L"C:\\S\\Plugins\\kel_plugin_center\\managed_plugins\\plugin_registry.json"),
            fs::path(L"C:\\S\\Plugins"));
  EXPECT_TRUE(PluginsRootOfRegistry(L"C:\\S\\Plugins\\other\\managed_plugins\\plugin_registry.json")
                  .empty());
  EXPECT_TRUE(PluginsRootOfRegistry(L"").empty());
}

}  // namespace
}  // namespace kel
