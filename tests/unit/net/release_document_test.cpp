#include <gtest/gtest.h>

#include "net/release.h"

namespace kel {
namespace {

const std::string kDigestA(64, 'a');
const std::string kDigestB = std::string(63, 'B') + "C";

struct Outcome {
  bool ok;
  std::string error;
  InstallerRelease release;
};

Outcome Parse(std::string_view body) {
  Outcome outcome;
  outcome.release.versionCode = "untouched";
  outcome.ok = ParseReleaseDocument(body, outcome.release, outcome.error);
  return outcome;
}

TEST(ReleaseDocument, MalformedBodies) {
  for (std::string_view body :
       {"", "<html>502</html>", "[1,2]", "\"text\"", "{\"code\":0,", "null",
        "{\"code\":0, /* note */ \"data\":{\"versionCode\":\"1\"}}"}) {
    const Outcome outcome = Parse(body);
    EXPECT_FALSE(outcome.ok) << body;
    EXPECT_EQ(outcome.error, "服务器返回的版本元数据格式无效") << body;
    EXPECT_EQ(outcome.release.versionCode, "untouched");
  }
}

TEST(ReleaseDocument, ServerReportedFailures) {
  EXPECT_EQ(Parse(R"({"code":0})").error, "获取安装器最新版本失败");
  EXPECT_EQ(Parse(R"({"code":0,"msg":"暂无版本"})").error, "暂无版本");
  EXPECT_EQ(Parse(R"({"code":0,"data":[],"msg":"bad data"})").error, "bad data");
  EXPECT_EQ(Parse(R"({"code":0,"data":"x"})").error, "获取安装器最新版本失败");
  EXPECT_EQ(Parse(R"({"code":1,"data":{"versionCode":"1.0"}})").error, "获取安装器最新版本失败");
  EXPECT_EQ(Parse(R"({"data":{"versionCode":"1.0"}})").error, "获取安装器最新版本失败");
  // A message that is not usable text gives the generic one.
  EXPECT_EQ(Parse(R"({"code":7,"msg":""})").error, "获取安装器最新版本失败");
  EXPECT_EQ(Parse(R"({"code":7,"msg":42})").error, "获取安装器最新版本失败");
  EXPECT_FALSE(Parse(R"({"code":1,"data":{"versionCode":"1.0"}})").ok);
  // Codes that only narrowing would turn into 0.
  EXPECT_FALSE(Parse(R"({"code":4294967296,"data":{"versionCode":"1.0"}})").ok);
  EXPECT_FALSE(Parse(R"({"code":0.5,"data":{"versionCode":"1.0"}})").ok);
  EXPECT_TRUE(Parse(R"({"code":-0,"data":{"versionCode":"1.0"}})").ok);
}

TEST(ReleaseDocument, DefaultsFromVersionOnly) {
  const Outcome outcome = Parse(R"({"code":0,"data":{"versionCode":"1.4.2"}})");
  ASSERT_TRUE(outcome.ok) << outcome.error;
  const InstallerRelease& r = outcome.release;
  EXPECT_EQ(r.versionCode, "1.4.2");
  EXPECT_EQ(r.featureCode, "kel_plugin_center");
  EXPECT_EQ(r.pluginName, "Kel 插件中心");
  EXPECT_EQ(r.downloadZipUrl, "/v3/installer/download/zip");
  EXPECT_EQ(r.blobDownloadUrlPrefix, "/v3/installer/download/blob/");
  EXPECT_EQ(r.zipSha256, "");
  EXPECT_EQ(r.fileSizeBytes, 0u);
  EXPECT_TRUE(r.changelog.empty() && r.suVersions.empty() && r.files.empty());
}

TEST(ReleaseDocument, EmptyVersionFailsWithoutText) {
  for (std::string_view body : {R"({"code":0,"data":{}})", R"({"code":0,"data":{"versionCode":""}})"}) {
    const Outcome outcome = Parse(body);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, "");
  }
}

TEST(ReleaseDocument, AllFieldsAndManifestFiltering) {
  const std::string body = R"({"code":0,"msg":"success","data":{
    "featureCode":"f","pluginName":"p","versionCode":"2.0.0","zipSha256":"ABCDEF",
    "fileSizeBytes":18446744073709551615,"changelog":"修复","suVersions":"2024-2026",
    "downloadZipUrl":"/z","blobDownloadUrlPrefix":"/b/","extra":{"ignored":true},
    "files":[
      {"relativePath":"kel_plugin_center/a.rb","sha256":")" + kDigestB + R"(","size":3},
      {"relativePath":"kel_plugin_center/short","sha256":")" + std::string(63, 'a') + R"("},
      {"relativePath":"","sha256":")" + kDigestA + R"("},
      {"sha256":")" + kDigestA + R"("},
      "not an object", 5, null,
      {"relativePath":"kel_plugin_center.rb","sha256":")" + kDigestA + R"("},
      {"relativePath":"kel_plugin_center/a.rb","sha256":")" + kDigestA + R"(","size":9}
    ]}})";
  const Outcome outcome = Parse(body);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  const InstallerRelease& r = outcome.release;
  EXPECT_EQ(r.featureCode, "f");
  EXPECT_EQ(r.pluginName, "p");
  EXPECT_EQ(r.zipSha256, "abcdef");
  EXPECT_EQ(r.fileSizeBytes, UINT64_MAX);
  EXPECT_EQ(r.changelog, "修复");
  EXPECT_EQ(r.suVersions, "2024-2026");
  EXPECT_EQ(r.downloadZipUrl, "/z");
  EXPECT_EQ(r.blobDownloadUrlPrefix, "/b/");
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[0].relativePath, "kel_plugin_center/a.rb");
  EXPECT_EQ(r.files[0].sha256, std::string(63, 'b') + "c");
  EXPECT_EQ(r.files[0].size, 3u);
  EXPECT_EQ(r.files[1].relativePath, "kel_plugin_center.rb");
  EXPECT_EQ(r.files[1].size, 0u);
  EXPECT_EQ(r.files[2].size, 9u);  // duplicates stay as sent
}

TEST(ReleaseDocument, FilesThatAreNotAnArrayGiveAnEmptyManifest) {
  const Outcome outcome = Parse(R"({"code":0,"data":{"versionCode":"1","files":{"a":1}}})");
  ASSERT_TRUE(outcome.ok);
  EXPECT_TRUE(outcome.release.files.empty());
}

// Wrong JSON types are a malformed document: reported, never thrown at the caller.
TEST(ReleaseDocument, WrongTypesAreAFormatError) {
  const std::string file = R"({"relativePath":"a","sha256":")" + kDigestA + R"(","size":"big"})";
  for (const std::string& body : std::vector<std::string>{
           R"({"code":0,"data":{"versionCode":142}})",
           R"({"code":0,"data":{"versionCode":"1","fileSizeBytes":"many"}})",
           R"({"code":0,"data":{"versionCode":"1","zipSha256":null}})",
           R"({"code":0,"data":{"versionCode":"1","files":[)" + file + "]}}",
           R"({"code":0,"data":{"versionCode":"1","files":[{"relativePath":7}]}})",
           R"({"code":"0","data":{"versionCode":"1"}})",
           R"({"code":false,"data":{"versionCode":"1"}})",
           R"({"code":null,"data":{"versionCode":"1"}})",
       }) {
    Outcome outcome;
    EXPECT_NO_THROW(outcome = Parse(body)) << body;
    EXPECT_FALSE(outcome.ok) << body;
    EXPECT_EQ(outcome.error, "服务器返回的版本元数据格式无效") << body;
    EXPECT_EQ(outcome.release.versionCode, "untouched") << body;
  }
}

}  // namespace
}  // namespace kel
