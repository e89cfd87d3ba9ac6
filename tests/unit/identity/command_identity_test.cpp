#include "identity/command_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kel {
namespace {

using namespace std::string_literals;

// Vectors computed outside the code under test (Python struct + hashlib).
constexpr char kManagedHex[] =
    "4b454c2d434f4d4d414e442d4944454e544954590002000100076d616e61676564000100000006706c75672e6100"
    "02000000106d616e616765645f63616c6c6261636b0003000000046b657931";
constexpr char kManagedDigest[] = "678242e51578221b19b0d6a07be2724ad5f954a9109d08b9d6539970a74e86da";

std::string CheckText(const std::string& text) {
  std::string error;
  return CheckIdentityText(text, error) ? "ok" : error;
}

std::string Normalize(const std::string& path) {
  std::string out;
  std::string error;
  return NormalizeIdentityPath(path, out, error) ? out : "error: " + error;
}

std::string BuildError(const std::string& provider, const std::vector<SemanticField>& fields) {
  CommandIdentity identity;
  std::string error = "stale";
  return BuildCanonicalIdentity(provider, fields, identity, error) ? "ok" : error;
}

std::string ParseError(const std::string& id, const std::string& hex) {
  std::string provider = "x";
  std::vector<SemanticField> fields{{9, "x"}};
  std::string error;
  if (ParseCanonicalIdentity(id, hex, provider, fields, error)) return "ok";
  EXPECT_TRUE(provider.empty());
  EXPECT_TRUE(fields.empty());
  return error;
}

TEST(Sha256Hex, MatchesKnownDigests) {
  std::string digest, error;
  ASSERT_TRUE(Sha256Hex("abc", digest, error));
  EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_TRUE(Sha256Hex("", digest, error));
  EXPECT_EQ(digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(BuildCanonicalIdentity, LayoutAndDigestMatchIndependentEncoding) {
  CommandIdentity identity;
  std::string error;
  ASSERT_TRUE(BuildCanonicalIdentity(
      "managed", {{3, "key1"}, {1, "plug.a"}, {2, "managed_callback"}}, identity, error));
  EXPECT_EQ(ToLowerHex(identity.canonical_bytes), kManagedHex);
  EXPECT_EQ(identity.digest, kManagedDigest);
  EXPECT_EQ(identity.identity_id, "cc2.managed."s + kManagedDigest);
  EXPECT_EQ(identity.identity_id.size(), 76u);
}

TEST(BuildCanonicalIdentity, OrderIndependentAndEmptyValues) {
  CommandIdentity forward, backward;
  std::string error;
  ASSERT_TRUE(BuildCanonicalIdentity("t", {{1, "a"}, {3, "b"}}, forward, error));
  ASSERT_TRUE(BuildCanonicalIdentity("t", {{3, "b"}, {1, "a"}}, backward, error));
  EXPECT_EQ(forward.canonical_bytes, backward.canonical_bytes);
  EXPECT_EQ(forward.identity_id, backward.identity_id);
  EXPECT_EQ(forward.digest, "f12b836d291f05fbdbe2c3648ab78aca16295058a83c95e42deafcc981af799b");

  CommandIdentity empty;
  ASSERT_TRUE(BuildCanonicalIdentity("t", {{7, ""}}, empty, error));
  // Header (26 + 1), then id 7 and a length of 0: nothing after.
  EXPECT_EQ(empty.canonical_bytes.size(), 33u);
  EXPECT_EQ(empty.canonical_bytes.substr(27), "\x00\x07\x00\x00\x00\x00"s);
}

TEST(BuildCanonicalIdentity, RefusesBadInputWithItsMessage) {
  EXPECT_EQ(BuildError("", {{1, "a"}}), "provider tag is invalid");
  EXPECT_EQ(BuildError(std::string(1025, 'p'), {{1, "a"}}), "provider tag is invalid");
  EXPECT_EQ(BuildError(std::string(1024, 'p'), {{1, "a"}}), "ok");
  EXPECT_EQ(BuildError("a\tb", {{1, "a"}}), "provider tag text contains a control character");
  EXPECT_EQ(BuildError("\xC0\x80", {{1, "a"}}), "provider tag text is not valid UTF-8");
  EXPECT_EQ(BuildError("t", {}), "at least one semantic field is required");
  EXPECT_EQ(BuildError("t", {{0, "a"}}), "semantic field is invalid");
  EXPECT_EQ(BuildError("t", {{1, std::string(1048577, 'a')}}), "semantic field is invalid");
  EXPECT_EQ(BuildError("t", {{1, std::string(1048576, 'a')}}), "ok");
  EXPECT_EQ(BuildError("t", {{2, "a"}, {1, "b"}, {2, "c"}}), "semantic field ids must be unique");
  EXPECT_EQ(BuildError("t", {{65535, "x\x7Fy"}}), "semantic field 65535 text contains a control character");
  EXPECT_EQ(BuildError("t", {{12, "\xED\xA0\x80"}}), "semantic field 12 text is not valid UTF-8");
}

TEST(CheckIdentityText, StrictUtf8AndControlCharacters) {
  EXPECT_EQ(CheckText(""), "ok");
  EXPECT_EQ(CheckText("plain \xC2\xA0 nbsp, \xE4\xB8\xAD, \xF0\x9F\x98\x80, \xF4\x8F\xBF\xBF"), "ok");
  const std::string invalid = "text is not valid UTF-8";
  const std::string control = "text contains a control character";
  for (const std::string& bad : {"\xC0\xAF"s, "\xC1\xBF"s,                  // over-long two bytes
                                "\xE0\x80\xAF"s, "\xE0\x9F\xBF"s,          // over-long three bytes
                                "\xF0\x80\x80\xAF"s, "\xF0\x8F\xBF\xBF"s,  // over-long four bytes
                                "\xED\xA0\x80"s, "\xED\xBF\xBF"s,          // surrogates
                                "\xF4\x90\x80\x80"s, "\xF5\x80\x80\x80"s,  // above U+10FFFF
                                "\xE4\xB8"s, "a\xF0\x9F\x98"s, "\xC3"s,   // truncated
                                "\x80"s, "\xBF"s, "\xFF"s, "\xC3\x28"s}) {
    EXPECT_EQ(CheckText(bad), invalid) << ToLowerHex(bad);
  }
  for (const std::string& bad : {"a\tb"s, "\x00"s, "\x1F"s, "\x7F"s, "\xC2\x80"s, "\xC2\x9F"s}) {
    EXPECT_EQ(CheckText(bad), control) << ToLowerHex(bad);
  }
  // The first fault decides.
  EXPECT_EQ(CheckText("\t\xFF"), control);
  EXPECT_EQ(CheckText("\xFF\t"), invalid);
}

TEST(ParseCanonicalIdentity, RoundTripAndRefusals) {
  const std::string id = "cc2.managed."s + kManagedDigest;
  std::string provider, error;
  std::vector<SemanticField> fields;
  ASSERT_TRUE(ParseCanonicalIdentity(id, kManagedHex, provider, fields, error)) << error;
  EXPECT_EQ(provider, "managed");
  EXPECT_EQ(fields, (std::vector<SemanticField>{{1, "plug.a"}, {2, "managed_callback"}, {3, "key1"}}));

  std::string upper = kManagedHex;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_EQ(ParseError(id, upper), "canonical identity hex is invalid");
  EXPECT_EQ(ParseError(id, ""), "canonical identity hex is invalid");
  EXPECT_EQ(ParseError(id, std::string(kManagedHex) + "0"), "canonical identity hex is invalid");
  EXPECT_EQ(ParseError(id, std::string(16386, '0')), "canonical identity hex is invalid");
  EXPECT_EQ(ParseError(id, "zz"), "canonical identity hex is invalid");
  EXPECT_EQ(ParseError(id, std::string(kManagedHex).substr(0, 50)), "canonical identity domain is invalid");
  EXPECT_EQ(ParseError(id, "00" + std::string(kManagedHex).substr(2)), "canonical identity domain is invalid");

  const std::string header = ToLowerHex("KEL-COMMAND-IDENTITY");
  EXPECT_EQ(ParseError(id, header + "000200020001" + "61"), "canonical identity header is invalid");
  EXPECT_EQ(ParseError(id, header + "000200010000" + "61"), "canonical identity header is invalid");
  EXPECT_EQ(ParseError(id, header + "000200010002" + "61"), "canonical identity header is invalid");
  EXPECT_EQ(ParseError(id, header + "000200010001" + "61" + "0001000000"),
            "canonical identity field framing is invalid");
  EXPECT_EQ(ParseError(id, header + "000200010001" + "61" + "000100000002" + "62"),
            "canonical identity field framing is invalid");
  // Framing is fine but the rebuild refuses the content: its message passes through.
  EXPECT_EQ(ParseError(id, header + "000200010001" + "61"), "at least one semantic field is required");
  EXPECT_EQ(ParseError(id, header + "000200010001" + "61" + "000000000000"), "semantic field is invalid");
  EXPECT_EQ(ParseError(id, header + "000200010001" + "61" + "000100000001" + "09"),
            "semantic field 1 text contains a control character");

  // Fields 1 and 2 swapped: well framed, but not canonical.
  const std::string swapped = header + "00020001" + "0007" + ToLowerHex("managed") + "0002" + "00000010" +
                              ToLowerHex("managed_callback") + "0001" + "00000006" + ToLowerHex("plug.a") +
                              "0003" + "00000004" + ToLowerHex("key1");
  EXPECT_EQ(ParseError(id, swapped), "command identity digest does not match canonical bytes");
  EXPECT_EQ(ParseError(id, header + "000200010001" + "61" + "000100000000" + "000100000000"),
            "semantic field ids must be unique");
  EXPECT_EQ(ParseError("cc2.managed." + std::string(64, '0'), kManagedHex),
            "command identity digest does not match canonical bytes");
}

TEST(VerifyCanonicalIdentity, ProviderMustMatchExactly) {
  const std::string id = "cc2.managed."s + kManagedDigest;
  std::string error;
  EXPECT_TRUE(VerifyCanonicalIdentity(id, "managed", kManagedHex, error)) << error;
  EXPECT_FALSE(VerifyCanonicalIdentity(id, "Managed", kManagedHex, error));
  EXPECT_EQ(error, "canonical identity provider is invalid");
}

TEST(ParseCanonicalIdentity, AcceptsTheLongestHexText) {
  // 26 + 1 + 6 + L bytes = 8,192 bytes exactly.
  const std::string value(8192 - 33, 'v');
  CommandIdentity identity;
  std::string error;
  ASSERT_TRUE(BuildCanonicalIdentity("t", {{1, value}}, identity, error));
  const std::string hex = ToLowerHex(identity.canonical_bytes);
  ASSERT_EQ(hex.size(), 16384u);
  EXPECT_EQ(ParseError(identity.identity_id, hex), "ok");
}

TEST(NormalizeIdentityPath, RuleTable) {
  EXPECT_EQ(Normalize("Plugins\\Foo\\.\\Main.RB"), "plugins/foo/main.rb");
  EXPECT_EQ(Normalize("a//b/./C/"), "a/b/c");
  EXPECT_EQ(Normalize("\xC3\x84rger/X"), "\xC3\x84rger/x");  // non-ASCII kept as is
  EXPECT_EQ(Normalize("a/../b"), "error: path must not contain ..");
  EXPECT_EQ(Normalize("a/..b/c"), "a/..b/c");
  EXPECT_EQ(Normalize("C:/x"), "error: path must be relative");
  EXPECT_EQ(Normalize("a/b:c"), "error: path must be relative");
  EXPECT_EQ(Normalize("//a//b/"), "error: path must be relative");
  EXPECT_EQ(Normalize("\\a"), "error: path must be relative");
  EXPECT_EQ(Normalize(""), "error: path must be relative");
  EXPECT_EQ(Normalize("./."), "error: path is empty after normalization");
  EXPECT_EQ(Normalize("a\tb"), "error: path text contains a control character");
  EXPECT_EQ(Normalize("a\xFF"), "error: path text is not valid UTF-8");
}

}  // namespace
}  // namespace kel
