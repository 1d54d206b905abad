// HTTP transport with WinINet, the platform's own HTTP API: InternetOpenA
// with the caller's user agent and the preconfigured access settings,
// InternetConnectA for the host and port, HttpOpenRequestA with the verb, the
// protocol version, the referrer and the accept type, HttpSendRequestA,
// HttpQueryInfoA for the status code, the Content-Length and the raw header
// lines (a header by name), InternetReadFile for the body. The request's own
// header lines go with HttpSendRequestA. WinINet follows redirections itself. Every request carries
// INTERNET_FLAG_NO_CACHE_WRITE, so downloads never pile up in the cache. With
// INTERNET_FLAG_RELOAD (every request of the update component) WinINet
// neither answers from its cache nor revalidates an entry of its own: a
// conditional request of the caller's (If-None-Match) goes to the server and
// its 304 comes back as the status, without a body taken from the cache.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {
namespace {

// Closes an internet handle when it goes out of scope.
class InternetHandle {
 public:
  InternetHandle() = default;
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() { Reset(nullptr); }
  void Reset(HINTERNET handle) {
    if (handle_ != nullptr) {
      ::InternetCloseHandle(handle_);
    }
    handle_ = handle;
  }
  [[nodiscard]] HINTERNET Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_ = nullptr;
};

// Room for the Content-Length text, as the query is made.
constexpr DWORD kQueryBufferSize = 1024;
// Upper bound of one wait for the server; the limits are checked after it.
constexpr std::chrono::milliseconds kLongestWait{std::chrono::minutes(10)};

std::string SystemError(const char* call, DWORD code = ::GetLastError()) {
  return std::string(call) + " failed (error " + std::to_string(code) + ")";
}

class WinInetResponse final : public HttpResponse {
 public:
  explicit WinInetResponse(const HttpRequest& request) : watch_(request.limits) { Start(request); }
  WinInetResponse(const WinInetResponse&) = delete;
  WinInetResponse& operator=(const WinInetResponse&) = delete;
  ~WinInetResponse() override {
    // Request, connection, internet handle, in this order.
    request_.Reset(nullptr);
    connection_.Reset(nullptr);
    internet_.Reset(nullptr);
  }

  [[nodiscard]] int StatusCode() const override { return status_; }
  [[nodiscard]] std::optional<std::string> ContentLength() const override { return contentLength_; }
  [[nodiscard]] std::optional<std::string> Header(std::string_view name) const override {
    return headers_.Find(name);
  }
  [[nodiscard]] std::string Error() const override { return error_; }
  [[nodiscard]] bool LimitPassed() const override { return limitPassed_; }
  [[nodiscard]] std::string Proxy() const override { return ProxySetting(); }

  // Waits (in the system, without using the processor) until some of the
  // body is there, then reads no more than that, so that the limits are
  // checked between reads however slowly the server sends.
  size_t Read(std::span<uint8_t> block) override {
    if (!request_ || block.empty() || finished_) {
      return 0;
    }
    const DWORD available = WaitForData();
    DWORD read = 0;
    const auto size = static_cast<DWORD>(std::min<size_t>(block.size(), available));
    if (available == 0 || ::InternetReadFile(request_.Get(), block.data(), size, &read) == 0) {
      if (available != 0) {
        error_ = SystemError("InternetReadFile");
      }
      finished_ = true;
      return 0;
    }
    received_ += read;
    finished_ = read == 0;
    return read;
  }

 private:
  void Start(const HttpRequest& request) {
    if (!UsableHostName(request.hostName) || !UsablePath(request.path) || request.port < 0 ||
        request.port > 65535) {
      error_ = "invalid address";
      return;
    }
    if (!Connect(request) || !OpenRequest(request)) {
      return;
    }
    SetWait(watch_.WaitLimit(kLongestWait));
    std::string lines;
    for (const std::string& line : request.headers) {
      if (UsableHeaderLine(line)) {
        lines += line + "\r\n";
      }
    }
    if (::HttpSendRequestA(request_.Get(), lines.empty() ? nullptr : lines.c_str(),
                           static_cast<DWORD>(lines.size()), nullptr, 0) == 0) {
      // No response: what the handle might still report does not count.
      error_ = SystemError("HttpSendRequest");
      finished_ = true;
      if (std::string why = watch_.Check(received_); !why.empty()) {
        GiveUp(std::move(why));
      }
      return;
    }
    ReadResponseHeaders();
  }

  // The internet handle with the request's user agent, and the connection
  // to the host and port; false with the error when either fails.
  bool Connect(const HttpRequest& request) {
    const INTERNET_PORT port =
        request.port != 0 ? static_cast<INTERNET_PORT>(request.port)
                          : static_cast<INTERNET_PORT>(request.secure ? INTERNET_DEFAULT_HTTPS_PORT
                                                                      : INTERNET_DEFAULT_HTTP_PORT);
    internet_.Reset(::InternetOpenA(request.userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                                    nullptr, nullptr, 0));
    if (!internet_) {
      error_ = SystemError("InternetOpen");
      return false;
    }
    if (request.limits.connect.count() > 0) {
      SetTimeout(internet_.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, request.limits.connect);
    }
    // User name and password go as (possibly empty) texts, never as absent values.
    connection_.Reset(::InternetConnectA(internet_.Get(), request.hostName.c_str(), port,
                                         request.userName.c_str(), request.password.c_str(),
                                         INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection_) {
      error_ = SystemError("InternetConnect");
      return false;
    }
    return true;
  }

  // The GET request with its version, referrer, accept type and flags; false
  // with the error when it cannot be made.
  bool OpenRequest(const HttpRequest& request) {
    const std::array<const char*, 2> acceptTypes{request.accept.c_str(), nullptr};
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE;
    if (request.reload) {
      flags |= INTERNET_FLAG_RELOAD;
    }
    if (request.secure) {
      flags |= INTERNET_FLAG_SECURE;
    }
    auto* accept = const_cast<const char**>(acceptTypes.data());  // NOLINT: the API's type
    request_.Reset(::HttpOpenRequestA(connection_.Get(), "GET", request.path.c_str(),
                                      request.http10 ? "HTTP/1.0" : "HTTP/1.1",
                                      request.referrer.c_str(), accept, flags, 0));
    if (!request_) {
      error_ = SystemError("HttpOpenRequest");
      return false;
    }
    return true;
  }

  // The final response's status code and Content-Length text.
  void ReadResponseHeaders() {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (::HttpQueryInfoA(request_.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                         &size, nullptr) != 0) {
      status_ = static_cast<int>(status);
    }
    std::array<char, kQueryBufferSize> buffer{};
    DWORD length = kQueryBufferSize;
    DWORD index = 0;
    if (::HttpQueryInfoA(request_.Get(), HTTP_QUERY_CONTENT_LENGTH, buffer.data(), &length,
                         &index) != 0) {
      contentLength_ = std::string(buffer.data(), std::min<DWORD>(length, kQueryBufferSize));
    }
    ReadHeaderLines();
  }

  // Every header line of the final response, for Header.
  void ReadHeaderLines() {
    DWORD size = 0;
    DWORD index = 0;
    if (::HttpQueryInfoA(request_.Get(), HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, &index) !=
            0 ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
      return;
    }
    std::vector<char> raw(size + 1, '\0');
    index = 0;
    if (::HttpQueryInfoA(request_.Get(), HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &size, &index) ==
        0) {
      return;
    }
    const std::string_view text(raw.data(), std::min<size_t>(size, raw.size()));
    for (size_t start = 0; start < text.size();) {
      const size_t end = std::min(text.find('\n', start), text.size());
      headers_.Add(text.substr(start, end - start));
      start = end + 1;
    }
  }

  // The count of body bytes that can be read without waiting; 0 at the end
  // of the body, on a failure, or when a limit passed.
  DWORD WaitForData() {
    for (;;) {
      if (std::string why = watch_.Check(received_); !why.empty()) {
        return static_cast<DWORD>(GiveUp(std::move(why)));
      }
      SetWait(watch_.WaitLimit(kLongestWait));
      DWORD available = 0;
      const bool answered = ::InternetQueryDataAvailable(request_.Get(), &available, 0, 0) != 0;
      if (answered && available > 0) {
        return available;
      }
      // The end of the body, a failure, or a wait that ended at a limit
      // (reported as a time-out, an error of its own or as no data, depending
      // on the system's version).
      const DWORD code = answered ? ERROR_SUCCESS : ::GetLastError();
      if (std::string why = watch_.Check(received_); !why.empty()) {
        return static_cast<DWORD>(GiveUp(std::move(why)));
      }
      if (code != ERROR_INTERNET_TIMEOUT) {
        error_ = answered ? std::string() : SystemError("InternetQueryDataAvailable", code);
        return 0;
      }
    }
  }

  // A limit passed: the response (when one arrived) stays, its body ends.
  size_t GiveUp(std::string why) {
    error_ = std::move(why);
    limitPassed_ = true;
    finished_ = true;
    return 0;
  }

  // The preconfigured proxy setting WinINet applies (the user's Internet
  // settings; a PAC file or WPAD chooses per address and answers 407s with
  // the logged-on user's NTLM or Negotiate credentials): its proxy list, or
  // "direct".
  [[nodiscard]] std::string ProxySetting() const {
    if (!internet_) {
      return {};
    }
    DWORD size = 0;
    ::InternetQueryOptionA(internet_.Get(), INTERNET_OPTION_PROXY, nullptr, &size);
    std::string buffer(std::max<DWORD>(size, sizeof(INTERNET_PROXY_INFO)), '\0');
    if (::InternetQueryOptionA(internet_.Get(), INTERNET_OPTION_PROXY, buffer.data(), &size) == 0) {
      return {};
    }
    INTERNET_PROXY_INFO info{};
    std::memcpy(&info, buffer.data(), sizeof(info));
    if (info.dwAccessType != INTERNET_OPEN_TYPE_PROXY || info.lpszProxy == nullptr) {
      return "direct";
    }
    return WithoutCredentials(info.lpszProxy);
  }

  // The longest the next blocking call may wait for the server.
  void SetWait(std::chrono::milliseconds wait) {
    SetTimeout(request_.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, wait);
    SetTimeout(request_.Get(), INTERNET_OPTION_SEND_TIMEOUT, wait);
  }

  static void SetTimeout(HINTERNET handle, DWORD option, std::chrono::milliseconds wait) {
    DWORD value = static_cast<DWORD>(std::max<int64_t>(wait.count(), 1));
    ::InternetSetOptionA(handle, option, &value, sizeof(value));
  }

  InternetHandle internet_;
  InternetHandle connection_;
  InternetHandle request_;
  TransferWatch watch_;
  uint64_t received_ = 0;  // body bytes so far
  bool limitPassed_ = false;
  int status_ = 0;
  std::optional<std::string> contentLength_;
  ResponseHeaders headers_;  // of the final response
  std::string error_;
  bool finished_ = false;
};

class WinInetTransport final : public HttpTransport {
 public:
  std::unique_ptr<HttpResponse> Get(const HttpRequest& request) override {
    return std::make_unique<WinInetResponse>(request);
  }
};

}  // namespace

std::unique_ptr<HttpTransport> CreateHttpTransport() {
  return std::make_unique<WinInetTransport>();
}

}  // namespace lumivora::platform
