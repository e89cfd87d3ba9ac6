#include "net/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "net/origin.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr DWORD kChunkSize = 65536;
constexpr DWORD kEndOfStream = ERROR_HANDLE_EOF;  // 38: the body ended before Content-Length

struct AlignedDelete {
  void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t(32)); }
};

bool Fail(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

bool FailWin(std::string& error, std::string_view text) {
  return Fail(error, WinErrorText(text, GetLastError()));
}

// A missing or unreadable header means the total is unknown (0).
std::uint64_t ContentLength(HINTERNET request) {
  wchar_t text[64] = {};
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  const std::size_t length = std::min<std::size_t>(size / sizeof(wchar_t), 63);
  if (length == 0) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const wchar_t c = text[i];
    if (c < L'0' || c > L'9') return 0;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (UINT64_MAX - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

// "scheme://" with a well-formed scheme other than http(s): the URL names a protocol, just
// not ours. A broken http URL keeps the parse message.
bool HasOtherScheme(std::string_view url) {
  const std::size_t end = url.find("://");
  if (end == std::string_view::npos || end == 0) return false;
  const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!alpha(url[0])) return false;
  std::string scheme;
  for (char c : url.substr(0, end)) {
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    scheme.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return scheme != "http" && scheme != "https";
}

HINTERNET OpenSession(bool direct) {
  if (direct) {
    return WinHttpOpen(L"KelSetup/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
  }
  HINTERNET session = WinHttpOpen(L"KelSetup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  // Systems older than Windows 8.1 reject the automatic setting; the default one is closest.
  if (session == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    session = WinHttpOpen(L"KelSetup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  return session;
}

}  // namespace

bool CrackHttpUrl(const std::string& url, UrlParts& parts, std::string& error) {
  if (url.empty()) return Fail(error, "请求地址为空");
  const std::wstring wide = Utf8ToWide(url);
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  components.dwSchemeLength = static_cast<DWORD>(-1);
  components.dwHostNameLength = static_cast<DWORD>(-1);
  components.dwUrlPathLength = static_cast<DWORD>(-1);
  components.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (wide.empty() ||
      !WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &components)) {
    // The parser itself refuses schemes it does not know (ftp among them).
    if (!wide.empty() && HasOtherScheme(url)) {
      return Fail(error, "仅支持 HTTP/HTTPS 协议");
    }
    return Fail(error, "URL 解析失败: " + url);
  }
  if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS) {
    return Fail(error, "仅支持 HTTP/HTTPS 协议");
  }
  std::wstring host(components.lpszHostName ? components.lpszHostName : L"",
                    components.dwHostNameLength);
  // WinHttpConnect takes an IPv6 literal only in its brackets, as the URL writes it.
  if (host.find(L':') != std::wstring::npos && host.front() != L'[') host = L"[" + host + L"]";
  std::wstring path(components.lpszUrlPath ? components.lpszUrlPath : L"",
                    components.dwUrlPathLength);
  if (path.empty()) path = L"/";
  if (components.lpszExtraInfo != nullptr) {
    path.append(components.lpszExtraInfo, components.dwExtraInfoLength);
  }
  parts.host = std::move(host);
  parts.port = static_cast<std::uint16_t>(components.nPort);
  parts.pathAndQuery = std::move(path);
  parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

bool HttpGet(const std::string& url, std::string* body, const std::filesystem::path* destination,
             std::string& error, const ProgressCallback& progress) {
  UrlParts parts;
  if (!CrackHttpUrl(url, parts, error)) return false;

  // Loopback and private hosts never go through a proxy: a corporate proxy cannot reach them.
  std::wstring_view bare = parts.host;
  if (bare.size() >= 2 && bare.front() == L'[' && bare.back() == L']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  unique_hinternet session(OpenSession(IsLocalOrPrivateHost(bare)));
  if (!session) return FailWin(error, "WinHttp 初始化失败");
  WinHttpSetTimeouts(session.get(), 5000, 10000, 30000, 180000);

  unique_hinternet connection(WinHttpConnect(session.get(), parts.host.c_str(), parts.port, 0));
  if (!connection) return FailWin(error, "连接服务器失败");

  unique_hinternet request(WinHttpOpenRequest(
      connection.get(), L"GET", parts.pathAndQuery.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, parts.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return FailWin(error, "创建 HTTP 请求失败");

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return FailWin(error, "请求服务器失败，请检查网络连接");
  }

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                      WINHTTP_NO_HEADER_INDEX);
  // Tested before the file is opened, so an error page never truncates an existing file.
  if (status < 200 || status > 299) {
    return Fail(error, "服务器返回异常状态码 HTTP " + std::to_string(status));
  }
  const std::uint64_t total = ContentLength(request.get());

  unique_file file;
  if (destination != nullptr) {
    if (destination->has_parent_path()) {
      std::string directoryError;
      if (!EnsureStateDirectory(destination->parent_path(), directoryError)) {
        return Fail(error, "创建下载目录失败: " + directoryError);
      }
    }
    file.reset(CreateFileW(destination->c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Fail(error, "无法写入下载文件: " + WideToUtf8(destination->wstring()));
  }

  std::unique_ptr<unsigned char[], AlignedDelete> buffer(
      new (std::align_val_t(32)) unsigned char[kChunkSize]());
  std::uint64_t received = 0;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available)) {
      return FailWin(error, "读取 HTTP 响应数据失败");
    }
    if (available == 0) break;
    while (available > 0) {
      DWORD read = 0;
      if (!WinHttpReadData(request.get(), buffer.get(), std::min(available, kChunkSize), &read)) {
        return FailWin(error, "下载流中断");
      }
      if (read == 0) break;
      available -= std::min(available, read);
      if (file) {
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.get(), read, &written, nullptr) || written != read) {
          return Fail(error, "写入本地文件失败，可能磁盘空间不足");
        }
      } else if (body != nullptr) {
        body->append(reinterpret_cast<const char*>(buffer.get()), read);
      }
      received += read;
      if (progress && total != 0) {
        const int percent = static_cast<int>(std::min<std::uint64_t>(received * 100 / total, 99));
        progress(percent, "正在下载文件 (" + std::to_string(received / 1024) + " / " +
                              std::to_string(total / 1024) + " KB)...");
      }
    }
  }
  // A connection closed early looks like a normal end; only the announced length tells.
  if (total != 0 && received < total) return Fail(error, WinErrorText("下载流中断", kEndOfStream));
  // A write the system deferred can still fail here: the same text as any failed write.
  if (file && !CloseHandle(file.release())) {
    return Fail(error, "写入本地文件失败，可能磁盘空间不足");
  }
  return true;
}

}  // namespace kel
