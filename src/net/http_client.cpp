#include "net/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/win_error.h"
#include "net/http_response.h"
#include "net/origin.h"
#include "net/progress_throttle.h"
#include "safefs/state_file.h"

namespace kel {
namespace {

constexpr DWORD kChunkSize = 65536;
constexpr DWORD kEndOfStream = ERROR_HANDLE_EOF;  // 38: the body ended before Content-Length
constexpr int kFileRetries = 3;
constexpr int kMemoryRetries = 1;
constexpr int kMaxConnections = 16;
// How long the other transfers of a list get to end after the first failure closed them.
constexpr std::uint64_t kAbandonAfterFailureMs = 2000;

// A failure worth another attempt (the network or the server's moment), or not (the request
// or the local disk).
enum class Outcome { kDone, kFailed, kTransient, kRedirect };

using ByteSink = std::function<void(std::uint64_t received, std::uint64_t total)>;

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

// The requests of one download list in flight. The first failure closes them all: a blocked
// send, receive or read on another thread then returns at once instead of waiting out its
// time-out, and no further attempt starts.
class RequestSet {
 public:
  RequestSet() : wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  // False once cancelled: the request is not to be used.
  bool Add(HINTERNET request) {
    std::lock_guard<std::mutex> guard(lock_);
    if (cancelled_) return false;
    active_.push_back(request);
    return true;
  }
  // True when Cancel closed the request already: its owner must not close it again.
  bool Remove(HINTERNET request) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = std::find(active_.begin(), active_.end(), request);
    if (found != active_.end()) {
      active_.erase(found);
      return false;
    }
    return cancelled_;
  }
  void Cancel() {
    std::lock_guard<std::mutex> guard(lock_);
    if (cancelled_) return;
    cancelled_ = true;
    for (HINTERNET request : active_) WinHttpCloseHandle(request);
    active_.clear();
    if (wake_) SetEvent(wake_.get());
  }
  bool Cancelled() {
    std::lock_guard<std::mutex> guard(lock_);
    return cancelled_;
  }
  // A retry pause that ends early when the list is cancelled.
  void Pause(std::uint32_t ms) {
    if (wake_) {
      WaitForSingleObject(wake_.get(), ms);
    } else {
      Sleep(ms);
    }
  }

 private:
  std::mutex lock_;
  std::vector<HINTERNET> active_;
  bool cancelled_ = false;
  unique_handle wake_;
};

// Takes a request out of its set when the attempt ends, whichever way.
class RequestMembership {
 public:
  RequestMembership(RequestSet* set, unique_hinternet& request) : set_(set), request_(request) {}
  RequestMembership(const RequestMembership&) = delete;
  RequestMembership& operator=(const RequestMembership&) = delete;
  ~RequestMembership() {
    if (set_ != nullptr && set_->Remove(request_.get())) request_.release();
  }

 private:
  RequestSet* set_;
  unique_hinternet& request_;
};

constexpr int kMaxRedirects = 5;

// One request's state across its attempts: where the bytes go and how many are there.
struct Transfer {
  std::string* body = nullptr;
  std::size_t bodyStart = 0;  // the caller's own prefix of `body`
  const std::filesystem::path* destination = nullptr;
  unique_file file;
  std::uint64_t received = 0;
  const ByteSink* sink = nullptr;
  RequestSet* requests = nullptr;  // the download list this request belongs to, if any
  std::optional<UrlParts> redirect;  // set with Outcome::kRedirect
  std::wstring refusedLocation;      // a redirect that would leave the origin
};

bool Truncate(HANDLE file) {
  LARGE_INTEGER zero{};
  return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Drops what earlier attempts delivered, so the next bytes start the body anew.
bool StartOver(Transfer& transfer, std::string& error) {
  transfer.received = 0;
  if (transfer.body != nullptr) transfer.body->resize(transfer.bodyStart);
  if (transfer.file && !Truncate(transfer.file.get())) {
    return Fail(error, "写入本地文件失败，可能磁盘空间不足");
  }
  return true;
}

Outcome Transient(std::string& error, std::string text) {
  error = std::move(text);
  return Outcome::kTransient;
}

Outcome Failed(std::string& error, std::string text) {
  error = std::move(text);
  return Outcome::kFailed;
}

std::string TooLargeText(const Transfer& transfer, std::uint64_t cap) {
  if (transfer.destination == nullptr) return "服务器响应数据过大";
  return "下载文件大于版本元数据给出的大小 (" + std::to_string(cap) + " 字节)";
}

Outcome Attempt(const UrlParts& parts, HINTERNET session, const HttpOptions& options,
                Transfer& transfer, std::string& error) {
  unique_hinternet connection(WinHttpConnect(session, parts.host.c_str(), parts.port, 0));
  if (!connection) return Failed(error, WinErrorText("连接服务器失败", GetLastError()));

  unique_hinternet request(WinHttpOpenRequest(
      connection.get(), L"GET", parts.pathAndQuery.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, parts.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return Failed(error, WinErrorText("创建 HTTP 请求失败", GetLastError()));
  RequestMembership membership(transfer.requests, request);
  if (transfer.requests != nullptr && !transfer.requests->Add(request.get())) {
    return Failed(error, WinErrorText("请求服务器失败，请检查网络连接",
                                      ERROR_WINHTTP_OPERATION_CANCELLED));
  }
  // Redirects are followed here, one by one, so that each target can be checked first.
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy))) {
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable,
                          sizeof(disable))) {
      return Failed(error, WinErrorText("创建 HTTP 请求失败", GetLastError()));
    }
  }

  // Only a file keeps what earlier attempts wrote; a body in memory is fetched whole again.
  const bool resuming = transfer.file && transfer.received > 0;
  const std::wstring range =
      resuming ? L"Range: bytes=" + std::to_wstring(transfer.received) + L"-" : std::wstring();
  if (!WinHttpSendRequest(request.get(), resuming ? range.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                          resuming ? static_cast<DWORD>(-1L) : 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                          0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    const DWORD code = GetLastError();
    std::string text = WinErrorText("请求服务器失败，请检查网络连接", code);
    // A certificate the system refuses stays refused: asking again only delays the message.
    const bool certificate = code == ERROR_WINHTTP_SECURE_FAILURE ||
                             code == ERROR_WINHTTP_SECURE_INVALID_CA ||
                             code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID ||
                             code == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID;
    return certificate ? Failed(error, std::move(text)) : Transient(error, std::move(text));
  }

  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                      WINHTTP_NO_HEADER_INDEX);
  if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
    const std::wstring location = LocationHeader(request.get());
    transfer.redirect = RedirectWithinOrigin(parts, location);
    if (!transfer.redirect) {
      return Failed(error, "服务器重定向到其他地址，已拒绝: " + WideToUtf8(location));
    }
    return Outcome::kRedirect;
  }
  // Tested before the file is opened, so an error page never truncates an existing file.
  if (status < 200 || status > 299) {
    std::string text = "服务器返回异常状态码 HTTP " + std::to_string(status);
    return status >= 500 && status <= 599 ? Transient(error, std::move(text))
                                          : Failed(error, std::move(text));
  }
  std::uint64_t total = ContentLength(request.get());
  if (resuming && status == 206) {
    const auto range_answer = ParseContentRange(HeaderText(request.get(),
                                                           WINHTTP_QUERY_CONTENT_RANGE));
    if (!range_answer || range_answer->first != transfer.received) {
      // Bytes from elsewhere in the file would corrupt it: the next attempt asks for all.
      if (!StartOver(transfer, error)) return Outcome::kFailed;
      return Transient(error, "服务器返回异常状态码 HTTP 206");
    }
    if (range_answer->size != 0) {
      total = range_answer->size;
    } else if (total != 0) {
      total += transfer.received;
    }
  } else if (!StartOver(transfer, error)) {
    return Outcome::kFailed;
  }
  // Tested before the file is opened: an answer that announces too much truncates nothing.
  if (options.maxBodyBytes != 0 && total > options.maxBodyBytes) {
    return Failed(error, TooLargeText(transfer, options.maxBodyBytes));
  }

  if (transfer.destination != nullptr && !transfer.file) {
    const std::filesystem::path& destination = *transfer.destination;
    if (destination.has_parent_path()) {
      std::string directoryError;
      if (!EnsureStateDirectory(destination.parent_path(), directoryError)) {
        return Failed(error, "创建下载目录失败: " + directoryError);
      }
    }
    transfer.file.reset(CreateFileW(destination.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!transfer.file) {
      return Failed(error, "无法写入下载文件: " + WideToUtf8(destination.wstring()));
    }
  }

  std::unique_ptr<unsigned char[], AlignedDelete> buffer(
      new (std::align_val_t(32)) unsigned char[kChunkSize]());
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available)) {
      return Transient(error, WinErrorText("读取 HTTP 响应数据失败", GetLastError()));
    }
    if (available == 0) break;
    while (available > 0) {
      DWORD read = 0;
      if (!WinHttpReadData(request.get(), buffer.get(), std::min(available, kChunkSize), &read)) {
        return Transient(error, WinErrorText("下载流中断", GetLastError()));
      }
      if (read == 0) break;
      available -= std::min(available, read);
      // Endless data: the first byte past the cap ends the transfer before it is kept.
      if (options.maxBodyBytes != 0 && read > options.maxBodyBytes - transfer.received) {
        return Failed(error, TooLargeText(transfer, options.maxBodyBytes));
      }
      if (transfer.file) {
        DWORD written = 0;
        if (!WriteFile(transfer.file.get(), buffer.get(), read, &written, nullptr) ||
            written != read) {
          return Failed(error, "写入本地文件失败，可能磁盘空间不足");
        }
      } else if (transfer.body != nullptr) {
        transfer.body->append(reinterpret_cast<const char*>(buffer.get()), read);
      }
      transfer.received += read;
      if (transfer.sink && *transfer.sink && total != 0) (*transfer.sink)(transfer.received, total);
    }
  }
  // A connection closed early looks like a normal end; only the announced length tells.
  if (total != 0 && transfer.received < total) {
    return Transient(error, WinErrorText("下载流中断", kEndOfStream));
  }
  return Outcome::kDone;
}

// HttpGet with the byte counts instead of the formatted progress.
bool Get(const std::string& url, std::string* body, const std::filesystem::path* destination,
         std::string& error, const ByteSink& sink, const HttpOptions& options,
         RequestSet* requests = nullptr) {
  UrlParts parts;
  if (!CrackHttpUrl(url, parts, error)) return false;

  // Loopback and private hosts never go through a proxy: a corporate proxy cannot reach them.
  std::wstring_view bare = parts.host;
  if (bare.size() >= 2 && bare.front() == L'[' && bare.back() == L']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  unique_hinternet session(OpenSession(IsLocalOrPrivateHost(bare)));
  if (!session) return FailWin(error, "WinHttp 初始化失败");
  WinHttpSetTimeouts(session.get(), 5000, 10000, 30000,
                     static_cast<int>(std::min<std::uint32_t>(options.receiveTimeoutMs, INT_MAX)));

  Transfer transfer;
  transfer.body = destination == nullptr ? body : nullptr;
  transfer.bodyStart = transfer.body != nullptr ? transfer.body->size() : 0;
  transfer.destination = destination;
  transfer.sink = &sink;
  transfer.requests = requests;
  const int retries = std::max(0, options.retries.value_or(destination ? kFileRetries
                                                                       : kMemoryRetries));
  std::uint32_t pause = options.firstPauseMs;
  UrlParts current = parts;
  int redirects = 0;
  for (int attempt = 0;;) {
    const Outcome outcome = Attempt(current, session.get(), options, transfer, error);
    if (outcome == Outcome::kDone) break;
    if (outcome == Outcome::kRedirect) {
      if (++redirects > kMaxRedirects) return Fail(error, "服务器重定向次数过多");
      current = *transfer.redirect;
      continue;
    }
    if (outcome == Outcome::kFailed || attempt++ >= retries) return false;
    if (transfer.requests != nullptr && transfer.requests->Cancelled()) return false;
    if (options.sleep) {
      options.sleep(pause);
    } else if (transfer.requests != nullptr) {
      transfer.requests->Pause(pause);
    } else {
      Sleep(pause);
    }
    if (transfer.requests != nullptr && transfer.requests->Cancelled()) return false;
    pause = pause > UINT32_MAX / 2 ? UINT32_MAX : pause * 2;
  }
  // A write the system deferred can still fail here: the same text as any failed write.
  if (transfer.file && !CloseHandle(transfer.file.release())) {
    return Fail(error, "写入本地文件失败，可能磁盘空间不足");
  }
  return true;
}

std::uint64_t Ticks() { return GetTickCount64(); }

// Shared by the workers of one HttpDownloadFiles call.
struct FetchAll {
  // Own copies: a worker the caller stopped waiting for may still use them.
  std::vector<DownloadJob> jobList;
  HttpOptions optionCopy;
  const std::vector<DownloadJob>* jobs = &jobList;
  const HttpOptions* options = &optionCopy;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::unique_ptr<std::atomic<std::uint64_t>[]> received;
  std::unique_ptr<std::atomic<std::uint64_t>[]> totals;
  std::unique_ptr<std::atomic<bool>[]> done;
  std::mutex lock;
  RequestSet requests;
  std::string error;  // the first failure's: the others are the cancelled transfers
  std::exception_ptr exception;

  void Run() {
    for (;;) {
      if (failed.load()) return;
      const std::size_t index = next.fetch_add(1);
      if (index >= jobs->size()) return;
      const DownloadJob& job = (*jobs)[index];
      const ByteSink sink = [this, index](std::uint64_t bytes, std::uint64_t total) {
        received[index].store(bytes);
        totals[index].store(total);
      };
      std::string jobError;
      bool ok = false;
      try {
        HttpOptions jobOptions = *options;
        if (job.maxBytes != 0) jobOptions.maxBodyBytes = job.maxBytes;
        ok = Get(job.url, nullptr, &job.destination, jobError, sink, jobOptions, &requests);
      } catch (...) {
        {
          std::lock_guard<std::mutex> guard(lock);
          if (!exception) exception = std::current_exception();
          failed.store(true);
        }
        requests.Cancel();
        return;
      }
      if (ok) {
        done[index].store(true);
        continue;
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        if (!failed.exchange(true)) error = std::move(jobError);
      }
      requests.Cancel();
    }
  }

  // `self` is a heap copy of a shared_ptr: each worker keeps the state alive until it ends.
  static DWORD WINAPI Thread(void* self) {
    std::unique_ptr<std::shared_ptr<FetchAll>> owner(static_cast<std::shared_ptr<FetchAll>*>(self));
    (*owner)->Run();
    return 0;
  }

  // Each job weighs the same: sizes are known only once its answer arrives.
  void Report(const ProgressCallback& progress, ProgressThrottle& throttle, int& last,
              bool finished) {
    if (!progress) return;
    const std::size_t n = jobs->size();
    std::uint64_t bytes = 0, known = 0, permille_sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t got = received[i].load();
      const std::uint64_t total = totals[i].load();
      bytes += got;
      known += total;
      if (done[i].load()) {
        permille_sum += 1000;
      } else if (total != 0) {
        permille_sum += std::min<std::uint64_t>(got * 1000 / total, 1000);
      }
    }
    const int percent = std::max(
        last, static_cast<int>(std::min<std::uint64_t>(permille_sum / 10 / n, 99)));
    last = percent;
    const std::string text = DownloadProgressText(bytes, known);
    if (throttle.Due(percent, text, Ticks(), finished)) progress(percent, text);
  }
};

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
             std::string& error, const ProgressCallback& progress, const HttpOptions& options) {
  ProgressThrottle throttle;
  int shown = 0;
  const ByteSink sink = [&](std::uint64_t received, std::uint64_t total) {
    if (!progress) return;
    // A download that starts over keeps its bar where it was until it passes it again.
    const int percent = shown = std::max(shown, DownloadPercent(received, total));
    const std::string text = DownloadProgressText(received, total);
    if (throttle.Due(percent, text, Ticks(), received >= total)) progress(percent, text);
  };
  return Get(url, body, destination, error, sink, options);
}

bool HttpDownloadFiles(const std::vector<DownloadJob>& jobs, int connections,
                       std::string& error, const ProgressCallback& progress,
                       const HttpOptions& options) {
  if (jobs.empty()) return true;
  const auto state = std::make_shared<FetchAll>();
  FetchAll& shared = *state;
  shared.jobList = jobs;
  shared.optionCopy = options;
  shared.received.reset(new std::atomic<std::uint64_t>[jobs.size()]());
  shared.totals.reset(new std::atomic<std::uint64_t>[jobs.size()]());
  shared.done.reset(new std::atomic<bool>[jobs.size()]());

  const std::size_t wanted = std::min<std::size_t>(
      jobs.size(), static_cast<std::size_t>(std::clamp(connections, 1, kMaxConnections)));
  std::vector<unique_handle> threads;
  // Native threads: a detached or late-joined std::thread can hang process exit under Wine.
  for (std::size_t i = 0; i < wanted; ++i) {
    auto* owner = new std::shared_ptr<FetchAll>(state);
    unique_handle thread(CreateThread(nullptr, 0, &FetchAll::Thread, owner, 0, nullptr));
    if (!thread) {
      delete owner;
      break;  // fewer connections, same work
    }
    threads.push_back(std::move(thread));
  }
  ProgressThrottle throttle;
  int last = 0;
  if (threads.empty()) {
    shared.Run();
  } else {
    std::vector<HANDLE> handles;
    for (const unique_handle& thread : threads) handles.push_back(thread.get());
    std::uint64_t failedAt = 0;
    while (WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                                  100) == WAIT_TIMEOUT) {
      if (shared.failed.load()) {
        // Closing a request ends its blocked call on Windows; where a platform lets a receive
        // block on regardless (Wine), that worker is left to end alone: the failure is
        // reported now, not when the stalled transfer times out.
        if (failedAt == 0) failedAt = Ticks();
        if (Ticks() - failedAt >= kAbandonAfterFailureMs) break;
        continue;
      }
      shared.Report(progress, throttle, last, false);
    }
  }
  std::lock_guard<std::mutex> guard(shared.lock);
  if (shared.exception) std::rethrow_exception(shared.exception);
  if (shared.failed.load()) {
    error = shared.error;
    return false;
  }
  shared.Report(progress, throttle, last, true);
  return true;
}

}  // namespace kel
