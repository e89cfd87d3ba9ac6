#include "decommission/ruby_entry_scan.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

struct ScanCase {
  const char* what;
  std::string source;
  bool found;
  std::string token;
  bool strong;
};

void ExpectScan(const ScanCase& c) {
  std::string token = "stale";
  bool strong = true;
  const bool found = ScanRubyEntry(c.source, token, strong);
  EXPECT_EQ(found, c.found) << c.what;
  EXPECT_EQ(token, c.token) << c.what;
  EXPECT_EQ(strong, c.strong) << c.what;
}

TEST(RubyEntryScan, RegistrationCalls) {
  const ScanCase cases[] = {
      {"plain path",
       "require 'sketchup.rb'\n"
       "require 'extensions.rb'\n"
       "module Acme\n"
       "  ext = SketchupExtension.new('Acme Tool', 'acme_tool/main')\n"
       "  ext.version = '1.0'\n"
       "  Sketchup.register_extension(ext, true)\n"
       "end\n",
       true, "acme_tool", true},
      {"File.join with __dir__",
       "ext = SketchupExtension.new 'Tool', File.join(__dir__, 'acme_tool', 'main')\n", true,
       "acme_tool", true},
      {"File.join with a nested call and '.'",
       "ext = SketchupExtension.new(\"Tool\", File.join(File.dirname(__FILE__), '.', \"Acme_Tool\", 'main'))\n",
       true, "Acme_Tool", true},
      {"comments between the arguments",
       "e = SketchupExtension.new('T' # title\n , # path follows\n 'acme/loader.rb')", true,
       "acme", true},
      {"backslashes and ./ prefixes",
       "e = SketchupExtension.new('T', \".\\\\./acme\\\\main\")", true, "acme", true},
      {"path without a slash is its own token",
       "e = SketchupExtension.new('T', 'acme_loader')", true, "acme_loader", true},
      {"a root .rb file is no directory; the loading pass still runs",
       "e = SketchupExtension.new('T', 'acme.rb')\nrequire 'acme_dir/core'\n", true, "acme_dir",
       false},
      {"an empty title is skipped, the next registration counts",
       "a = SketchupExtension.new('', 'first/x')\nb = SketchupExtension.new('B', 'second/x')", true,
       "second", true},
      {"an unterminated string is no string",
       "SketchupExtension.new('T', 'acme/main", false, "", false},
      {"a short token is never a .rb name",
       "SketchupExtension.new('T', '.rb/x')", true, ".rb", true},
  };
  for (const ScanCase& c : cases) ExpectScan(c);
}

TEST(RubyEntryScan, LoadingCalls) {
  const ScanCase cases[] = {
      {"require_relative", "require_relative 'acme/core'\n", true, "acme", false},
      {"Sketchup::require", "Sketchup::require('acme_lib/core')\n", true, "acme_lib", false},
      {"Sketchup.require", "Sketchup.require \"acme2/core\"\n", true, "acme2", false},
      {"rg_load", "rg_load 'acme_enc/main.rbe'\n", true, "acme_enc", false},
      {"fg_load", "fg_load('acme_fg/main')\n", true, "acme_fg", false},
      {"require", "require 'acme_req/core'\n", true, "acme_req", false},
      {"load", "load 'acme_load/core.rb'\n", true, "acme_load", false},
      {"File.join with one directory argument", "load File.join(__dir__, 'acme_dir')\n", true,
       "acme_dir", false},
      {"library require has no slash", "require 'json'\nrequire 'sketchup.rb'\n", false, "",
       false},
      {"require_relative of a sibling file", "require_relative 'helper.rb'\n", false, "", false},
      {"parent directories are not companions", "require_relative '../shared/x'\n", false, "",
       false},
      {"a call inside a comment is still found", "# require 'commented/out'\n", true,
       "commented", false},
      {"search order puts require_relative first",
       "require 'second/x'\nrequire_relative 'first/x'\n", true, "first", false},
      {"whole words only", "my_require 'nope/x'\nreload 'nope2/x'\npreload('nope3/y')\n", false,
       "", false},
      {"a .rb token is refused, the next call is taken",
       "require 'tool.rb/x'\nrequire 'tooldir/x'\n", true, "tooldir", false},
  };
  for (const ScanCase& c : cases) ExpectScan(c);
}

TEST(RubyEntryScan, HostileInputNeverReadsPastTheEnd) {
  const std::string inputs[] = {
      "", "SketchupExtension.new", "SketchupExtension.new(", "SketchupExtension.new('x'",
      "SketchupExtension.new('x',", "SketchupExtension.new('x', File.join(",
      "SketchupExtension.new('x', File.join(__dir__", "require", "require (", "require '\\",
      "load File.join((((", "#", "require ('a/b", std::string("require '\0/b'", 13),
  };
  for (const std::string& input : inputs) {
    std::string token;
    bool strong = false;
    ScanRubyEntry(input, token, strong);
    SUCCEED();
  }
  // Unclosed calls, each rescanned from its own start, once made a 512 KiB entry take minutes.
  std::string unclosed;
  while (unclosed.size() < 512 * 1024) unclosed += "require File.join((";
  std::string late_registration = unclosed + "\nSketchupExtension.new('A', 'acme/main')\n";
  for (const std::string* input : {&unclosed, &late_registration}) {
    std::string token;
    bool strong = false;
    const bool found = ScanRubyEntry(*input, token, strong);
    EXPECT_EQ(found, input == &late_registration);
    EXPECT_EQ(token, found ? "acme" : "");
    EXPECT_EQ(strong, found);
  }
  // A NUL inside the path stays part of the token (bytes, not C strings).
  std::string token;
  bool strong = false;
  ASSERT_TRUE(ScanRubyEntry(std::string("require 'a\0b/c'", 15), token, strong));
  EXPECT_EQ(token, std::string("a\0b", 3));
}

}  // namespace
}  // namespace kel
