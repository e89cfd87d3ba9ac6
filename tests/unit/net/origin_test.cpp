#include "net/origin.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>

#include "common/text.h"
#include "support/sandbox.h"

namespace kel {
namespace {

using test::Sandbox;
using test::WriteFileBytes;

class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    static wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length > 0 && length < 32768) saved_ = std::wstring(buffer, length);
    Set(std::move(value));
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_, saved_ ? saved_->c_str() : nullptr); }
  void Set(std::optional<std::wstring> value) {
    SetEnvironmentVariableW(name_, value ? value->c_str() : nullptr);
  }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> saved_;
};

TEST(NormalizeOrigin, TrimsBlanksAndEveryTrailingSlash) {
  EXPECT_EQ(NormalizeOrigin("  http://10.0.0.5:18080/ \t\r\n"), "http://10.0.0.5:18080");
  EXPECT_EQ(NormalizeOrigin("http://h//\\/"), "http://h");
  EXPECT_EQ(NormalizeOrigin("\v\f "), "");
  EXPECT_EQ(NormalizeOrigin("/"), "");
  EXPECT_EQ(NormalizeOrigin("h t/x"), "h t/x");  // nothing else is touched
}

TEST(JoinOriginPath, ExactlyOneSlashBetween) {
  EXPECT_EQ(JoinOriginPath("http://h:1/", "v3/installer/latest"), "http://h:1/v3/installer/latest");
  EXPECT_EQ(JoinOriginPath("http://h:1", "/v3/installer/latest"), "http://h:1/v3/installer/latest");
  EXPECT_EQ(JoinOriginPath(" http://h:1// ", ""), "http://h:1");
  EXPECT_EQ(JoinOriginPath("http://h", "//x"), "http://h//x");
  EXPECT_EQ(JoinOriginPath("http://h", "http://other/x"), "http://h/http://other/x");
}

TEST(IsLocalOrPrivateHost, Table) {
  for (const wchar_t* host : {L"localhost", L"LOCALHOST", L"127.0.0.1", L"::1", L"10.1.2.3",
                              L"10.", L"192.168.0.1", L"172.16.0.1", L"172.19.255.1"}) {
    EXPECT_TRUE(IsLocalOrPrivateHost(host)) << WideToUtf8(host);
  }
  for (const wchar_t* host : {L"172.20.0.1", L"172.31.0.1", L"127.0.0.2", L"localhost.example",
                              L"8.8.8.8", L"example.com", L"", L"0:0:0:0:0:0:0:1",
                              L"100.64.0.1", L"1.10.0.0"}) {
    EXPECT_FALSE(IsLocalOrPrivateHost(host)) << WideToUtf8(host);
  }
}

class ResolveOrigin : public ::testing::Test {
 protected:
  void Properties(std::string_view bytes) {
    WriteFileBytes(sandbox_.local() / L"KelPlatformV3" / L"agent.properties", bytes);
  }
  Sandbox sandbox_;
  ScopedEnv cloud_{L"KEL_CLOUD_ORIGIN", std::nullopt};
  ScopedEnv backend_{L"KEL_BACKEND_ORIGIN", std::nullopt};
};

TEST_F(ResolveOrigin, DefaultWhenNothingIsConfigured) {
  EXPECT_EQ(ResolveBackendOrigin(""), kDefaultBackendOrigin);
  EXPECT_EQ(ResolveBackendOrigin("  / "), kDefaultBackendOrigin);
  EXPECT_NE(std::string(kDefaultBackendOrigin).find(":18080"), std::string::npos);
}

TEST_F(ResolveOrigin, CommandLineWinsEvenWith18081) {
  cloud_.Set(L"http://env:1");
  EXPECT_EQ(ResolveBackendOrigin("  http://cli:2/ "), "http://cli:2");
  EXPECT_EQ(ResolveBackendOrigin("http://cli:18081"), "http://cli:18081");
}

TEST_F(ResolveOrigin, EnvironmentOrderAnd18081Rule) {
  Properties("cloudOrigin=http://file:3\n");
  cloud_.Set(L"http://10.0.0.1:18081/");
  backend_.Set(L"http://backend:4/");
  EXPECT_EQ(ResolveBackendOrigin(""), "http://backend:4");
  cloud_.Set(L" \t ");
  EXPECT_EQ(ResolveBackendOrigin(""), "http://backend:4");
  cloud_.Set(L"http://cloud:5");
  EXPECT_EQ(ResolveBackendOrigin(""), "http://cloud:5");
  cloud_.Set(L"ab");  // short values skip the search
  EXPECT_EQ(ResolveBackendOrigin(""), "ab");
  cloud_.Set(L"http://h/18081x");  // anywhere, not only the port
  backend_.Set(std::nullopt);
  EXPECT_EQ(ResolveBackendOrigin(""), "http://file:3");
}

TEST_F(ResolveOrigin, EnvironmentValueMustFitItsBuffer) {
  std::wstring value = L"http://h/";
  value.resize(2047, L'a');
  cloud_.Set(value);
  EXPECT_EQ(ResolveBackendOrigin(""), WideToUtf8(value));
  value.push_back(L'a');
  cloud_.Set(value);
  EXPECT_EQ(ResolveBackendOrigin(""), kDefaultBackendOrigin);
}

TEST_F(ResolveOrigin, AgentPropertiesWithBomCrlfAndRejectedLines) {
  Properties(
      "\xEF\xBB\xBF# platform settings\r\n"
      "no equals sign here\r\n"
      "cloudOrigin=\r\n"
      "origin=http://not-this-key\r\n"
      "  CLOUD_ORIGIN = http://172.16.0.9:18081/ \r\n"
      " Cloud_Origin = https://backend.kel.example/ \r\n"
      "cloudorigin=http://later-line\r\n");
  EXPECT_EQ(ResolveBackendOrigin(""), "https://backend.kel.example");
}

TEST_F(ResolveOrigin, AgentPropertiesValueKeepsLaterEqualsSigns) {
  Properties("cloudorigin = http://h:7/?a=b\n");
  EXPECT_EQ(ResolveBackendOrigin(""), "http://h:7/?a=b");
}

TEST_F(ResolveOrigin, RefusedAgentPropertiesCountsAsAbsent) {
  Properties("cloudOrigin=http://h:8\n" + std::string(65536, '#'));  // over 64 KiB
  EXPECT_EQ(ResolveBackendOrigin(""), kDefaultBackendOrigin);
  Properties("cloudOrigin=http://h:8\n");
  EXPECT_EQ(ResolveBackendOrigin(""), "http://h:8");
  ScopedEnv local(L"LOCALAPPDATA", (sandbox_.root() / L"nowhere").wstring());
  EXPECT_EQ(ResolveBackendOrigin(""), kDefaultBackendOrigin);
}

}  // namespace
}  // namespace kel
