#include "app/options.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

SetupOptions Parse(const wchar_t* arguments) {
  std::wstring line = L"\"C:\\Program Files\\Kel\\KelSetup.exe\" ";
  line += arguments;
  return ParseCommandLineText(line.c_str());
}

TEST(ParseCommandLine, NoArgumentsGiveDefaults) {
  const SetupOptions options = Parse(L"");
  EXPECT_EQ(options.mode, "");
  EXPECT_EQ(options.target, L"");
  EXPECT_EQ(options.package, L"");
  EXPECT_EQ(options.origin, "");
  EXPECT_EQ(options.wait_pid, 0u);
  EXPECT_FALSE(options.silent);
  EXPECT_FALSE(options.purge_global);
  EXPECT_FALSE(options.no_launch);
}

TEST(ParseCommandLine, FlagsAndModes) {
  EXPECT_FALSE(Parse(L"--silent").allow_downgrade);
  SetupOptions options =
      Parse(L"--silent --update --purge-global --no-launch --allow-downgrade");
  EXPECT_EQ(options.mode, "update");
  EXPECT_TRUE(options.silent);
  EXPECT_TRUE(options.purge_global);
  EXPECT_TRUE(options.no_launch);
  EXPECT_TRUE(options.allow_downgrade);

  options = Parse(L"--update --silent");
  EXPECT_EQ(options.mode, "update");
  EXPECT_TRUE(options.silent);

  // The last mode word wins while flags stay set.
  options = Parse(L"--uninstall --install-silent");
  EXPECT_EQ(options.mode, "install-silent");
  EXPECT_TRUE(options.silent);
  options = Parse(L"--install-silent --update");
  EXPECT_EQ(options.mode, "update");
  EXPECT_TRUE(options.silent);
}

TEST(ParseCommandLine, OnlyExactOptionWordsCount) {
  for (const wchar_t* line : {L"--SILENT", L"-silent", L"--Silent", L"silent", L"--silent=1",
                              L"/silent", L"--silentx", L"update", L"--target=C:\\x"}) {
    const SetupOptions options = Parse(line);
    EXPECT_FALSE(options.silent) << line;
    EXPECT_EQ(options.mode, "") << line;
    EXPECT_EQ(options.target, L"") << line;
  }
}

TEST(ParseCommandLine, ValueOptionTakesNextElementVerbatim) {
  SetupOptions options = Parse(L"--target --silent");
  EXPECT_EQ(options.target, L"--silent");
  EXPECT_FALSE(options.silent);

  options = Parse(L"--silent --target \"C:\\Users\\A B\\SketchUp 2025\\Plugins\" --package x.zip");
  EXPECT_EQ(options.target, L"C:\\Users\\A B\\SketchUp 2025\\Plugins");
  EXPECT_EQ(options.package, L"x.zip");
  EXPECT_TRUE(options.silent);

  options = Parse(L"--target a --target b");
  EXPECT_EQ(options.target, L"b");
}

TEST(ParseCommandLine, LogTakesAValueAndEveryHelpSpellingAsksForHelp) {
  SetupOptions options = Parse(L"--log \"C:\\logs dir\\run.log\" --silent");
  EXPECT_EQ(options.log, L"C:\\logs dir\\run.log");
  EXPECT_TRUE(options.silent);
  EXPECT_FALSE(options.help);
  EXPECT_EQ(Parse(L"--log --help").log, L"--help");
  EXPECT_FALSE(Parse(L"--log --help").help);
  for (const wchar_t* line : {L"--help", L"-h", L"/?", L"--silent /?"}) {
    EXPECT_TRUE(Parse(line).help) << line;
  }
  for (const wchar_t* line : {L"--HELP", L"-H", L"/h", L"-?", L"--help=1"}) {
    EXPECT_FALSE(Parse(line).help) << line;
  }
}

TEST(HelpText, NamesEveryOptionAndExitCode) {
  const std::wstring help = HelpText();
  for (const wchar_t* word :
       {L"--silent", L"--install-silent", L"--update", L"--uninstall", L"--target",
        L"--package", L"--origin", L"--wait-pid", L"--purge-global", L"--no-launch", L"--allow-downgrade", L"--log",
        L"--help, -h, /?", L"\n0\t", L"\n2\t", L"\n3\t", L"\n4\t"}) {
    EXPECT_NE(help.find(word), std::wstring::npos) << word;
  }
}

TEST(ParseCommandLine, ValueOptionAsLastElementIsEmpty) {
  SetupOptions options = Parse(L"--package p.zip --silent --target");
  EXPECT_EQ(options.target, L"");
  EXPECT_EQ(options.package, L"p.zip");
  EXPECT_TRUE(options.silent);
  EXPECT_EQ(Parse(L"--wait-pid").wait_pid, 0u);
  EXPECT_EQ(Parse(L"--origin").origin, "");
}

TEST(ParseCommandLine, WaitPidFollowsWcstoul) {
  struct Case {
    const wchar_t* line;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {L"--wait-pid 1234", 1234u},
      {L"--wait-pid abc", 0u},
      {L"--wait-pid 12ab", 12u},
      {L"--wait-pid \"  42\"", 42u},
      {L"--wait-pid +17", 17u},
      {L"--wait-pid -1", 4294967295u},
      {L"--wait-pid 4294967295", 4294967295u},
      {L"--wait-pid 4294967296", 4294967295u},
      {L"--wait-pid 99999999999999999999", 4294967295u},
      {L"--wait-pid \"\"", 0u},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.line).wait_pid, c.expected) << c.line;
}

TEST(ParseCommandLine, OriginIsConvertedStrictly) {
  EXPECT_EQ(Parse(L"--origin http://127.0.0.1:8080/").origin, "http://127.0.0.1:8080/");
  EXPECT_EQ(Parse(L"--origin http://\u670d\u52a1.example").origin,
            "http://\xE6\x9C\x8D\xE5\x8A\xA1.example");
  std::wstring line = L"--origin http://a";
  line += wchar_t(0xD800);  // a lone surrogate is not well-formed UTF-16
  EXPECT_EQ(Parse(line.c_str()).origin, "");
}

}  // namespace
}  // namespace kel
