#include "net/http_client.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdlib>
#include <optional>

#include "common/text.h"
#include "install/sha256.h"
#include "net/origin.h"
#include "net/progress_throttle.h"
#include "net/release.h"
#include "support/sandbox.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::Sandbox;
using test::WriteFileBytes;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// ctest starts a sample backend around this executable (run_with_backend.py).
#define REQUIRE_BACKEND()                                                                 \
  const std::string origin = Env("KEL_TEST_BACKEND_ORIGIN");                              \
  if (origin.empty()) GTEST_SKIP() << "no sample backend: run through ctest (unit.net)"

std::string Pattern(std::size_t count) {
  std::string out(count, '\0');
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

std::size_t LoggedRequests() {
  const std::string log = Env("KEL_TEST_BACKEND_LOG");
  if (log.empty()) return 0;
  const std::string text = ReadFileBytes(Utf8ToWide(log));
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The backend's log entries from `first` on, as "path" or "path|range".
std::vector<std::string> LoggedSince(std::size_t first) {
  std::vector<std::string> out;
  const std::string log = Env("KEL_TEST_BACKEND_LOG");
  const std::string text = log.empty() ? "" : ReadFileBytes(Utf8ToWide(log));
  std::size_t line = 0;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1, ++line) {
    if (line < first) continue;
    const auto entry = nlohmann::json::parse(text.substr(start, end - start));
    out.push_back(entry["path"].get<std::string>() +
                  (entry.contains("range") ? "|" + entry["range"].get<std::string>() : ""));
  }
  return out;
}

// Retry pauses are recorded, not slept.
struct Pauses {
  std::vector<std::uint32_t> slept;
  HttpOptions options(std::uint32_t receiveTimeoutMs = 180000) {
    HttpOptions o;
    o.sleep = [this](std::uint32_t ms) { slept.push_back(ms); };
    o.receiveTimeoutMs = receiveTimeoutMs;
    return o;
  }
};

struct Progress {
  std::vector<std::pair<int, std::string>> calls;
  ProgressCallback callback() {
    return [this](int percent, const std::string& text) { calls.emplace_back(percent, text); };
  }
};

TEST(CrackHttpUrl, PartsAndRefusals) {
  UrlParts parts;
  std::string error;
  ASSERT_TRUE(CrackHttpUrl("http://Example.com", parts, error)) << error;
  EXPECT_EQ(parts.host, L"Example.com");
  EXPECT_EQ(parts.port, 80);
  EXPECT_EQ(parts.pathAndQuery, L"/");
  EXPECT_FALSE(parts.secure);
  ASSERT_TRUE(CrackHttpUrl("https://h:8443/a/b%20c?x=1&y=%E4#frag", parts, error)) << error;
  EXPECT_EQ(parts.port, 8443);
  EXPECT_TRUE(parts.secure);
  EXPECT_EQ(parts.pathAndQuery.rfind(L"/a/b%20c?x=1&y=%E4", 0), 0u);

  auto failure = [](const std::string& url) {
    UrlParts ignored;
    std::string text;
    EXPECT_FALSE(CrackHttpUrl(url, ignored, text)) << url;
    return text;
  };
  EXPECT_EQ(failure(""), "请求地址为空");
  EXPECT_EQ(failure("ftp://127.0.0.1/file"), "仅支持 HTTP/HTTPS 协议");
  EXPECT_EQ(failure("file:///C:/x"), "仅支持 HTTP/HTTPS 协议");
  EXPECT_EQ(failure("no url at all"), "URL 解析失败: no url at all");
  EXPECT_EQ(failure("http//h/x"), "URL 解析失败: http//h/x");
  EXPECT_EQ(failure("HTTP://h:99999/"), "URL 解析失败: HTTP://h:99999/");
  EXPECT_EQ(failure("http://h/\xFF\xFE"), "URL 解析失败: http://h/\xFF\xFE");
}

// WinHttpConnect refuses a bare IPv6 address; the brackets come off only for the proxy rule.
TEST(CrackHttpUrl, Ipv6LiteralKeepsItsBrackets) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine's WinHttpCrackUrl cuts IPv6 hosts at ':'";
  UrlParts parts;
  std::string error;
  ASSERT_TRUE(CrackHttpUrl("http://[::1]:18080/v3/installer/latest", parts, error)) << error;
  EXPECT_EQ(parts.host, L"[::1]");
  EXPECT_EQ(parts.port, 18080);
  EXPECT_EQ(parts.pathAndQuery, L"/v3/installer/latest");
}

TEST(HttpGet, FtpIsRefusedBeforeAnyRequest) {
  REQUIRE_BACKEND();
  const std::size_t before = LoggedRequests();
  Sandbox sandbox;
  const fs::path file = sandbox.root() / L"never" / L"f.bin";
  std::string error;
  EXPECT_FALSE(HttpGet("ftp" + origin.substr(4) + "/_test/bytes/10", nullptr, &file, error, {}));
  EXPECT_EQ(error, "仅支持 HTTP/HTTPS 协议");
  EXPECT_FALSE(fs::exists(file.parent_path()));
  EXPECT_EQ(LoggedRequests(), before);
}

TEST(HttpGet, FileDownloadWithLengthReportsProgressBelow100) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  const fs::path file = sandbox.root() / L"new" / L"deeper" / L"下载.bin";  // folders made
  Progress progress;
  std::string error;
  ASSERT_TRUE(HttpGet(origin + "/_test/bytes/200000", nullptr, &file, error, progress.callback()))
      << error;
  EXPECT_EQ(ReadFileBytes(file), Pattern(200000));
  ASSERT_FALSE(progress.calls.empty());
  int last = -1;
  for (const auto& [percent, text] : progress.calls) {
    EXPECT_GE(percent, last);
    EXPECT_LE(percent, 99);
    last = percent;
  }
  EXPECT_EQ(progress.calls.back(), std::make_pair(99, std::string("正在下载文件 (195 / 195 KB)...")));
}

TEST(HttpGet, SmallTotalReportsWholeKibibytes) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  Progress progress;
  std::string error;
  const fs::path file = sandbox.root() / L"small.bin";
  ASSERT_TRUE(HttpGet(origin + "/_test/bytes/1000", nullptr, &file, error, progress.callback()));
  ASSERT_FALSE(progress.calls.empty());
  for (const auto& [percent, text] : progress.calls) {
    EXPECT_LE(percent, 99);
    EXPECT_EQ(text, "正在下载文件 (0 / 0 KB)...");
  }
  EXPECT_EQ(progress.calls.back().first, 99);
}

TEST(HttpGet, UnknownLengthDownloadsWithoutProgress) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  Progress progress;
  std::string error;
  const fs::path file = sandbox.root() / L"nolength.bin";
  ASSERT_TRUE(HttpGet(origin + "/_test/nolength/150001", nullptr, &file, error,
                      progress.callback()))
      << error;
  EXPECT_EQ(ReadFileBytes(file), Pattern(150001));
  EXPECT_TRUE(progress.calls.empty());
}

TEST(HttpGet, EmptyBodyTruncatesToAnEmptyFile) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  const fs::path file = sandbox.root() / L"empty.bin";
  WriteFileBytes(file, "old content");
  std::string error;
  ASSERT_TRUE(HttpGet(origin + "/_test/empty", nullptr, &file, error, {})) << error;
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);
}

TEST(HttpGet, ErrorStatusLeavesFilesAlone) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  const fs::path existing = sandbox.root() / L"existing.bin";
  WriteFileBytes(existing, "keep me");
  std::string error;
  EXPECT_FALSE(HttpGet(origin + "/_test/status/404", nullptr, &existing, error, {}));
  EXPECT_EQ(error, "服务器返回异常状态码 HTTP 404");
  EXPECT_EQ(ReadFileBytes(existing), "keep me");
  const fs::path fresh = sandbox.root() / L"absent" / L"f.bin";
  std::string body;
  EXPECT_FALSE(HttpGet(origin + "/_test/status/500", &body, &fresh, error, {}));
  EXPECT_EQ(error, "服务器返回异常状态码 HTTP 500");
  EXPECT_FALSE(fs::exists(fresh.parent_path()));
  EXPECT_TRUE(body.empty());
}

TEST(HttpGet, BodyCutShortIsAFailure) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  const fs::path file = sandbox.root() / L"cut.bin";
  std::string error;
  EXPECT_FALSE(HttpGet(origin + "/_test/cut/100000/5000", nullptr, &file, error, {}));
  EXPECT_EQ(error, "下载流中断 (38)");
  std::string body;
  error.clear();
  EXPECT_FALSE(HttpGet(origin + "/_test/cut/100/0", &body, nullptr, error, {}));
  EXPECT_EQ(error, "下载流中断 (38)");
}

// A transfer that breaks off goes on from the bytes on disk when the server honours the range,
// starts over when it does not, and gives up after three further attempts with today's text.
TEST(HttpGet, BrokenDownloadsResumeRestartOrGiveUp) {
  REQUIRE_BACKEND();
  struct Row {
    std::string path;
    std::uint32_t timeoutMs;
    std::vector<std::string> requests;  // "|range" appended where one was sent
    std::string error;                  // empty: succeeds with the whole pattern
  };
  const std::vector<Row> rows = {
      {"/_test/once/11/200000/70000", 180000,
       {"/_test/once/11/200000/70000", "/_test/once/11/200000/70000|bytes=70000-"}, ""},
      {"/_test/once/12/200000/70000?range=ignore", 180000,
       {"/_test/once/12/200000/70000?range=ignore",
        "/_test/once/12/200000/70000?range=ignore|bytes=70000-"}, ""},
      // A 206 from the wrong offset is never spliced in: the next attempt asks for everything.
      {"/_test/once/13/200000/70000?range=shifted", 180000,
       {"/_test/once/13/200000/70000?range=shifted",
        "/_test/once/13/200000/70000?range=shifted|bytes=70000-",
        "/_test/once/13/200000/70000?range=shifted"}, ""},
      // Time-out mid-body: the server holds the connection after 70000 bytes.
      {"/_test/once/14/200000/70000?stall=3000", 800,
       {"/_test/once/14/200000/70000?stall=3000",
        "/_test/once/14/200000/70000?stall=3000|bytes=70000-"}, ""},
      {"/_test/cut/100000/5000", 180000,
       {"/_test/cut/100000/5000", "/_test/cut/100000/5000|bytes=5000-",
        "/_test/cut/100000/5000|bytes=5000-", "/_test/cut/100000/5000|bytes=5000-"},
       "下载流中断 (38)"},
      {"/_test/status/404", 180000, {"/_test/status/404"}, "服务器返回异常状态码 HTTP 404"},
      {"/_test/status/503", 180000, std::vector<std::string>(4, "/_test/status/503"),
       "服务器返回异常状态码 HTTP 503"},
  };
  Sandbox sandbox;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const fs::path file = sandbox.root() / L"resume.bin";
    const std::size_t before = LoggedRequests();
    Pauses pauses;
    Progress progress;
    std::string error;
    const bool ok = HttpGet(origin + row.path, nullptr, &file, error, progress.callback(),
                            pauses.options(row.timeoutMs));
    EXPECT_EQ(LoggedSince(before), row.requests);
    const std::vector<std::uint32_t> expected_pauses = {250, 500, 1000};
    EXPECT_EQ(pauses.slept, std::vector<std::uint32_t>(expected_pauses.begin(),
                                                       expected_pauses.begin() +
                                                           (row.requests.size() - 1)));
    if (!row.error.empty()) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error, row.error);
      continue;
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(ReadFileBytes(file), Pattern(200000));
    int last = -1;
    for (const auto& [percent, text] : progress.calls) {
      EXPECT_GE(percent, last);  // a restart from zero never moves the bar back
      last = percent;
    }
    EXPECT_EQ(progress.calls.back(), std::make_pair(99, std::string("正在下载文件 (195 / 195 KB)...")));
  }
}

// The release query: one more attempt after a time-out or a 5xx, none after a 4xx; a body
// past the cap fails without being kept, announced or not.
TEST(HttpGet, InMemoryBodiesRetryOnceAndStayUnderTheirCap) {
  REQUIRE_BACKEND();
  struct Row {
    std::string path;
    std::uint32_t timeoutMs;
    std::size_t requests;
    std::string error;  // empty: succeeds
  };
  const std::string cap = std::to_string(kMaxReleaseDocumentBytes);
  const std::string past = std::to_string(kMaxReleaseDocumentBytes + 1);
  const std::vector<Row> rows = {
      {"/_test/status/500", 180000, 2, "服务器返回异常状态码 HTTP 500"},
      {"/_test/status/404", 180000, 1, "服务器返回异常状态码 HTTP 404"},
      {"/_test/once/21/300/100?stall=3000", 800, 2, ""},
      {"/_test/once/22/300/100", 180000, 2, ""},
      {"/_test/cut/300/100", 180000, 2, "下载流中断 (38)"},
      {"/_test/bytes/" + cap, 180000, 1, ""},
      {"/_test/bytes/" + past, 180000, 1, "服务器响应数据过大"},
      {"/_test/nolength/" + past, 180000, 1, "服务器响应数据过大"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::size_t before = LoggedRequests();
    Pauses pauses;
    HttpOptions options = pauses.options(row.timeoutMs);
    options.maxBodyBytes = kMaxReleaseDocumentBytes;
    std::string body = "kept:";
    std::string error;
    const bool ok = HttpGet(origin + row.path, &body, nullptr, error, {}, options);
    EXPECT_EQ(LoggedRequests() - before, row.requests);
    EXPECT_EQ(pauses.slept.size(), row.requests - 1);
    if (row.error.empty()) {
      ASSERT_TRUE(ok) << error;
      const std::size_t size = std::stoul(row.path.substr(row.path.find('/', 8) + 1));
      EXPECT_EQ(body.size(), 5 + (row.path.find("once") != std::string::npos ? 300 : size));
      EXPECT_EQ(body.compare(0, 5, "kept:"), 0);
      EXPECT_EQ(body.compare(5, 300, Pattern(300)), 0);  // the retry did not append twice
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error, row.error);
    }
  }
}

TEST(ProgressThrottle, NewPercentagesPassTextOnlyAfterTheIntervalAndTheEndAlways) {
  ProgressThrottle throttle(250);
  struct Step {
    int percent;
    const char* text;
    std::uint64_t now;
    bool finished;
    bool due;
  };
  const Step steps[] = {
      {0, "a", 1000, false, true},    {0, "a", 1001, false, false},  // nothing new
      {0, "b", 1100, false, false},   {0, "c", 1250, false, true},   // text: once per 250 ms
      {1, "d", 1251, false, true},    {1, "d", 9000, false, false},  // percent: at once
      {1, "e", 1300, true, true},     {1, "e", 1301, true, false},   // the end, once
  };
  for (const Step& step : steps) {
    EXPECT_EQ(throttle.Due(step.percent, step.text, step.now, step.finished), step.due)
        << step.percent << " " << step.text << " " << step.now;
  }
  EXPECT_EQ(DownloadPercent(0, 0), 0);
  EXPECT_EQ(DownloadPercent(1000, 1000), 99);
  EXPECT_EQ(DownloadPercent(UINT64_C(1) << 40, UINT64_MAX), 0);
}

// Endless data: a file download never keeps a byte past the size the release gives, whether
// the answer announces more or just keeps sending; such an answer is not asked for again.
TEST(HttpGet, FileDownloadsStopAtTheirCap) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  struct Row {
    std::string path;
    std::uint64_t cap;
    bool ok;
    bool untouched;  // refused on its announced length: the old file stays as it was
  };
  const std::vector<Row> rows = {
      {"/_test/bytes/1000", 1000, true, false},
      {"/_test/bytes/1001", 1000, false, true},
      {"/_test/nolength/300000", 100000, false, false},
      {"/_test/nolength/100000", 100000, true, false},
  };
  const std::string message = "下载文件大于版本元数据给出的大小 (";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const fs::path file = sandbox.root() / L"capped.bin";
    WriteFileBytes(file, "old");
    Pauses pauses;
    HttpOptions options = pauses.options();
    options.maxBodyBytes = row.cap;
    std::string error;
    const std::size_t before = LoggedRequests();
    EXPECT_EQ(HttpGet(origin + row.path, nullptr, &file, error, {}, options), row.ok) << error;
    EXPECT_EQ(LoggedRequests() - before, 1u);
    const std::string got = ReadFileBytes(file);
    if (row.ok) {
      EXPECT_EQ(got, Pattern(row.cap));
      continue;
    }
    EXPECT_EQ(error, message + std::to_string(row.cap) + " 字节)");
    if (row.untouched) {
      EXPECT_EQ(got, "old");
    } else {
      EXPECT_LE(got.size(), row.cap);
      EXPECT_EQ(got, Pattern(got.size()));
    }
  }

  // A job's own cap, among jobs without one.
  std::vector<DownloadJob> jobs = {
      {origin + "/_test/bytes/5000", sandbox.root() / L"a.bin"},
      {origin + "/_test/nolength/5000", sandbox.root() / L"b.bin", 4999},
  };
  std::string error;
  EXPECT_FALSE(HttpDownloadFiles(jobs, 2, error, {}));
  EXPECT_EQ(error, message + "4999 字节)");
  jobs[1].maxBytes = 5000;
  EXPECT_TRUE(HttpDownloadFiles(jobs, 2, error, {})) << error;
}

TEST(HttpDownloadFiles, ManyFilesOverFewConnections) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  std::vector<DownloadJob> jobs;
  std::size_t total = 0;
  for (int i = 0; i < 12; ++i) {
    const std::size_t size = 20000 + 7919 * static_cast<std::size_t>(i);
    total += size;
    // One of them breaks off once and is resumed like a single download.
    const std::string path = i == 5 ? "/_test/once/31/" + std::to_string(size) + "/9000"
                                    : "/_test/bytes/" + std::to_string(size);
    jobs.push_back({origin + path, sandbox.root() / L"many" / (std::to_wstring(i) + L".bin")});
  }
  const DWORD caller = GetCurrentThreadId();
  std::vector<DWORD> threads;
  Progress progress;
  const ProgressCallback callback = [&](int percent, const std::string& text) {
    threads.push_back(GetCurrentThreadId());
    progress.calls.emplace_back(percent, text);
  };
  Pauses pauses;
  std::string error;
  const std::size_t before = LoggedRequests();
  ASSERT_TRUE(HttpDownloadFiles(jobs, 4, error, callback, pauses.options())) << error;
  EXPECT_EQ(LoggedRequests() - before, 13u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(ReadFileBytes(jobs[i].destination), Pattern(20000 + 7919 * i)) << i;
  }
  EXPECT_EQ(threads, std::vector<DWORD>(threads.size(), caller));
  int last = 0;
  for (const auto& [percent, text] : progress.calls) {
    EXPECT_GE(percent, last);
    last = percent;
  }
  ASSERT_FALSE(progress.calls.empty());
  EXPECT_EQ(progress.calls.back(), std::make_pair(99, DownloadProgressText(total, total)));

  // Nothing to do, and a connection count out of range, are no failures.
  EXPECT_TRUE(HttpDownloadFiles({}, 4, error, callback));
  EXPECT_TRUE(HttpDownloadFiles({jobs[0]}, 0, error, {}));
}

TEST(HttpDownloadFiles, TheFirstFailureEndsTheOthersAtOnceAndNamesItsText) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  std::vector<DownloadJob> jobs;
  // Job 0 stalls after its first piece for a minute; job 1 is refused once job 0 is under way.
  for (int i = 0; i < 40; ++i) {
    const std::string path = i == 0   ? "/_test/slow/200000/60000"
                             : i == 1 ? "/_test/status/404"
                                      : "/_test/slow/70000/20";
    jobs.push_back({origin + path, sandbox.root() / L"fail" / (std::to_wstring(i) + L".bin")});
  }
  std::string error;
  const std::size_t before = LoggedRequests();
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(HttpDownloadFiles(jobs, 4, error, {}));
  // Neither the stalled transfer's receive time-out nor its retries are waited for.
  EXPECT_LT(GetTickCount64() - start, 20000u);
  EXPECT_EQ(error, "服务器返回异常状态码 HTTP 404");
  EXPECT_LE(LoggedRequests() - before, 8u);  // no job starts or retries after the failure
}

TEST(HttpGet, RedirectsStayWithinTheOrigin) {
  REQUIRE_BACKEND();
  UrlParts parts;
  std::string error;
  ASSERT_TRUE(CrackHttpUrl(origin, parts, error));
  const std::string host = WideToUtf8(parts.host), port = std::to_string(parts.port);
  const auto redirect = [&](const std::string& to) {
    std::string escaped;
    for (char c : to) {
      static const char* hex = "0123456789ABCDEF";
      const unsigned char u = static_cast<unsigned char>(c);
      if (std::isalnum(u) || c == '/' || c == '-' || c == '_' || c == '.') {
        escaped += c;
      } else {
        escaped += '%';
        escaped += hex[u >> 4];
        escaped += hex[u & 15];
      }
    }
    return origin + "/_test/redirect?to=" + escaped;
  };
  struct Case {
    std::string url;
    bool followed;
  };
  const std::vector<Case> cases = {
      {redirect("/_test/bytes/1000"), true},
      {redirect("bytes/1000"), true},  // relative to /_test/
      {redirect("http://" + host + ":" + port + "/_test/bytes/1000"), true},
      {redirect("//" + host + ":" + port + "/_test/bytes/1000"), true},
      {redirect("http://" + host + ":" + std::to_string(parts.port + 1) + "/_test/bytes/1000"),
       false},
      {redirect("https://" + host + ":" + port + "/_test/bytes/1000"), false},
      {redirect("http://localhost.invalid:" + port + "/_test/bytes/1000"), false},
      {redirect("file:///c:/windows/win.ini"), false},
      {origin + "/_test/redirect?to=/_test/redirect%3Fto%3D/_test/bytes/1000&status=307", true},
  };
  Sandbox sandbox;
  for (const Case& c : cases) {
    std::string body, failure;
    const bool ok = HttpGet(c.url, &body, nullptr, failure, {});
    EXPECT_EQ(ok, c.followed) << c.url << " " << failure;
    if (c.followed) {
      EXPECT_EQ(body, Pattern(1000)) << c.url;
    } else {
      EXPECT_TRUE(failure.starts_with("服务器重定向到其他地址，已拒绝: ")) << failure;
      EXPECT_TRUE(body.empty());
    }
  }
  // A loop ends after a few hops; a refused redirect leaves an existing file alone.
  std::string failure;
  EXPECT_FALSE(HttpGet(origin + "/_test/loop", nullptr, nullptr, failure,
                       {}));
  EXPECT_EQ(failure, "服务器重定向次数过多");
  const fs::path file = sandbox.root() / L"kept.bin";
  WriteFileBytes(file, "old");
  EXPECT_FALSE(HttpGet(redirect("http://" + host + ":1/x"), nullptr, &file, failure, {}));
  EXPECT_EQ(ReadFileBytes(file), "old");
}

TEST(HttpGet, QueryAndUserAgentAreSentAndBodyIsAppended) {
  REQUIRE_BACKEND();
  std::string body = "prefix:";
  std::string error;
  ASSERT_TRUE(HttpGet(origin + "/_test/echo?a=1&b=two%20words", &body, nullptr, error, {}))
      << error;
  ASSERT_EQ(body.rfind("prefix:", 0), 0u);
  const auto echo = nlohmann::json::parse(body.substr(7));
  EXPECT_EQ(echo["path"], "/_test/echo?a=1&b=two%20words");
  EXPECT_EQ(echo["userAgent"], "KelSetup/1.0");
  // With neither a body nor a file the answer is read and dropped.
  EXPECT_TRUE(HttpGet(origin + "/_test/bytes/70000", nullptr, nullptr, error, {}));
}

TEST(HttpGet, SlowBodyCompletes) {
  REQUIRE_BACKEND();
  std::string body;
  std::string error;
  ASSERT_TRUE(HttpGet(origin + "/_test/slow/200000/30", &body, nullptr, error, {})) << error;
  EXPECT_EQ(body, Pattern(200000));
}

TEST(HttpGet, ClosedPortFailsToConnect) {
  const std::string port = Env("KEL_TEST_CLOSED_PORT");
  if (port.empty()) GTEST_SKIP() << "no closed port given: run through ctest (unit.net)";
  std::string error;
  std::string body;
  EXPECT_FALSE(HttpGet("http://127.0.0.1:" + port + "/v3/installer/latest", &body, nullptr,
                       error, {}));
  EXPECT_EQ(error, "请求服务器失败，请检查网络连接 (12029)");
}

TEST(HttpGet, SelfSignedCertificateIsRefused) {
  const std::string tls = Env("KEL_TEST_TLS_ORIGIN");
  if (tls.empty()) GTEST_SKIP() << "no TLS backend: " << Env("KEL_TEST_TLS_SKIP");
  std::string body;
  std::string error;
  EXPECT_FALSE(HttpGet(tls + "/_test/bytes/10", &body, nullptr, error, {}));
  EXPECT_EQ(error.rfind("请求服务器失败，请检查网络连接 (", 0), 0u) << error;
  EXPECT_TRUE(body.empty());
}

TEST(Release, FetchAndDownloadPackageAndBlobs) {
  REQUIRE_BACKEND();
  InstallerRelease release;
  std::string error;
  ASSERT_TRUE(FetchLatestRelease(origin + "/", release, error)) << error;
  EXPECT_EQ(release.versionCode, "1.4.2");
  ASSERT_EQ(release.files.size(), 4u);
  ASSERT_EQ(release.zipSha256.size(), 64u);

  Sandbox sandbox;
  const fs::path package = sandbox.root() / L"pkg" / L"package.zip";
  std::string upper = release.zipSha256;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Progress progress;
  ASSERT_TRUE(DownloadAndVerify(JoinOriginPath(origin, release.downloadZipUrl), package, upper,
                                error, progress.callback()))
      << error;
  EXPECT_EQ(fs::file_size(package), release.fileSizeBytes);
  EXPECT_FALSE(progress.calls.empty());
  for (std::size_t i = 0; i < release.files.size(); ++i) {
    const ReleaseFile& file = release.files[i];
    const fs::path blob = sandbox.root() / L"blobs" / (std::to_wstring(i) + L".blob");
    ASSERT_TRUE(DownloadAndVerify(
        JoinOriginPath(origin, release.blobDownloadUrlPrefix + file.sha256), blob, file.sha256,
        error, {}))
        << file.relativePath << ": " << error;
    EXPECT_EQ(fs::file_size(blob), file.size);
  }
}

TEST(Release, MismatchAndFailuresRemoveTheFile) {
  REQUIRE_BACKEND();
  Sandbox sandbox;
  const fs::path file = sandbox.root() / L"d.bin";
  const std::string expected = std::string(64, 'A');
  std::string error;
  EXPECT_FALSE(DownloadAndVerify(origin + "/_test/bytes/1000", file, expected, error, {}));
  EXPECT_EQ(error, "下载文件 SHA-256 校验失败 (期望 " + expected +
                       ", 实际 4e4c294b331f7a2099a379bec34b9f9fc03dc46ab465d998f4d683da53487e6d)");
  EXPECT_FALSE(fs::exists(file));

  WriteFileBytes(file, "stale");
  EXPECT_FALSE(DownloadAndVerify(origin + "/_test/cut/1000/10", file, "", error, {}));
  EXPECT_EQ(error, "下载流中断 (38)");
  EXPECT_FALSE(fs::exists(file));

  // No expected digest: taken as it comes.
  EXPECT_TRUE(DownloadAndVerify(origin + "/_test/bytes/1000", file, "", error, {}));
  EXPECT_EQ(ReadFileBytes(file), Pattern(1000));
}

TEST(Release, FetchFailuresKeepTheHttpText) {
  const std::string port = Env("KEL_TEST_CLOSED_PORT");
  if (port.empty()) GTEST_SKIP() << "no closed port given: run through ctest (unit.net)";
  InstallerRelease release;
  std::string error;
  EXPECT_FALSE(FetchLatestRelease("http://127.0.0.1:" + port, release, error));
  EXPECT_EQ(error, "请求服务器失败，请检查网络连接 (12029)");
  EXPECT_FALSE(FetchLatestRelease("ftp://127.0.0.1:" + port, release, error));
  EXPECT_EQ(error, "仅支持 HTTP/HTTPS 协议");
}

}  // namespace
}  // namespace kel
