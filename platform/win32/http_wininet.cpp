// HTTP transport with WinINet, the platform's own HTTP API: InternetOpenA
// with the caller's user agent and the preconfigured access settings,
// InternetConnectA for the host and port, HttpOpenRequestA with the verb, the
// protocol version, the referrer and the accept type, HttpSendRequestA,
// HttpQueryInfoA for the status code and the Content-Length, InternetReadFile
// for the body. WinINet follows redirections itself. Every request carries
// INTERNET_FLAG_NO_CACHE_WRITE, so downloads never pile up in the cache.
#include <algorithm>
#include <array>
#include <string>

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

bool UsableHostName(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '/' && c != '\\' && c != '@' && c != '?' && c != '#';
  });
}

bool UsablePath(const std::string& path) {
  return !path.empty() && path.front() == '/' && std::none_of(path.begin(), path.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7f;
  });
}

std::string SystemError(const char* call) {
  return std::string(call) + " failed (error " + std::to_string(::GetLastError()) + ")";
}

class WinInetResponse final : public HttpResponse {
 public:
  explicit WinInetResponse(const HttpRequest& request) { Start(request); }
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
  [[nodiscard]] std::string Error() const override { return error_; }

  size_t Read(std::span<uint8_t> block) override {
    if (!request_ || block.empty() || finished_) {
      return 0;
    }
    DWORD read = 0;
    const auto size = static_cast<DWORD>(std::min<size_t>(block.size(), 0x7FFFFFFF));
    if (::InternetReadFile(request_.Get(), block.data(), size, &read) == 0) {
      error_ = SystemError("InternetReadFile");
      finished_ = true;
      return 0;
    }
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
    const INTERNET_PORT port =
        request.port != 0 ? static_cast<INTERNET_PORT>(request.port)
                          : static_cast<INTERNET_PORT>(request.secure ? INTERNET_DEFAULT_HTTPS_PORT
                                                                      : INTERNET_DEFAULT_HTTP_PORT);
    internet_.Reset(::InternetOpenA(request.userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                                    nullptr, nullptr, 0));
    if (!internet_) {
      error_ = SystemError("InternetOpen");
      return;
    }
    // User name and password go as (possibly empty) texts, never as absent values.
    connection_.Reset(::InternetConnectA(internet_.Get(), request.hostName.c_str(), port,
                                         request.userName.c_str(), request.password.c_str(),
                                         INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection_) {
      error_ = SystemError("InternetConnect");
      return;
    }
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
      return;
    }
    if (::HttpSendRequestA(request_.Get(), nullptr, 0, nullptr, 0) == 0) {
      // No response: what the handle might still report does not count.
      error_ = SystemError("HttpSendRequest");
      finished_ = true;
      return;
    }
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
  }

  InternetHandle internet_;
  InternetHandle connection_;
  InternetHandle request_;
  int status_ = 0;
  std::optional<std::string> contentLength_;
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
