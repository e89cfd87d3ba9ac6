#include "common/text.h"
#include "common/win_error.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

TEST(TextConversion, RoundTripsChineseAndAstralText) {
  const std::wstring wide = L"Kel 插件中心 \U0001F600";
  const std::string utf8 = WideToUtf8(wide);
  EXPECT_EQ(utf8, "Kel \xE6\x8F\x92\xE4\xBB\xB6\xE4\xB8\xAD\xE5\xBF\x83 \xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide(utf8), wide);
}

TEST(TextConversion, IllFormedInputGivesEmptyString) {
  EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "");             // lone high surrogate
  EXPECT_EQ(WideToUtf8(std::wstring(L"a") + wchar_t(0xDC00) + L"b"), "");  // lone low surrogate
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"");                                 // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"");                             // encoded surrogate
  EXPECT_EQ(Utf8ToWide("abc\xE6\x8F"), L"");                              // truncated sequence
  EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), L"");                         // above U+10FFFF
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(TextConversion, EmbeddedNulIsKept) {
  const std::string utf8("a\0b", 3);
  EXPECT_EQ(Utf8ToWide(utf8), std::wstring(L"a\0b", 3));
}

TEST(WinError, FormatsFixedTextAndDecimalCode) {
  EXPECT_EQ(WinErrorText("\xE8\xBF\x9E\xE6\x8E\xA5\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99\xA8\xE5\xA4\xB1\xE8\xB4\xA5", 12029),
            "\xE8\xBF\x9E\xE6\x8E\xA5\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99\xA8\xE5\xA4\xB1\xE8\xB4\xA5 (12029)");
  EXPECT_EQ(WinErrorText("x", 4294967295u), "x (4294967295)");
}

TEST(WinError, GenericTextOnlyIntoEmptyError) {
  std::string error;
  SetErrorIfEmpty(error, "generic");
  EXPECT_EQ(error, "generic");
  SetErrorIfEmpty(error, "other");
  EXPECT_EQ(error, "generic");
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

TEST(FoldCase, FoldsEveryScriptNotOnlyAscii) {
  EXPECT_EQ(FoldCase(L"C:\\Users\\ÄÖÜ\\ΣΑΣ\\ПЛАГИНЫ\\File.RB"),
            L"c:\\users\\äöü\\σασ\\плагины\\file.rb");
  EXPECT_EQ(FoldCase(L"插件中心"), L"插件中心");
  EXPECT_EQ(FoldCase(L""), L"");
  // Length never changes, so folded paths can be compared position by position.
  const std::wstring mixed = L"İstanbul ẞ ǅ";
  EXPECT_EQ(FoldCase(mixed).size(), mixed.size());
}

}  // namespace
}  // namespace kel
