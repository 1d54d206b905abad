// HTTP transport of the platform: one GET request per transfer, its response
// headers and its body read in caller-sized blocks on the calling thread.
// The update component drives the transfer (progress, cancel, message
// processing between blocks); the transport only moves bytes. Redirections
// are followed by the transport itself, as the platform's HTTP API does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumivora::platform {

// When a transfer is given up. Each limit that is passed fails the transfer
// with a reason in HttpResponse::Error(); a zero duration switches it off.
struct TransferLimits {
  // The connection must be made within this time.
  std::chrono::milliseconds connect{std::chrono::seconds(60)};
  // The whole transfer, headers and body, must end within this time.
  std::chrono::milliseconds overall{0};
  // At least lowSpeedBytesPerSecond * lowSpeedTime bytes must arrive in every
  // lowSpeedTime, counted from the request or from the last time the amount
  // was reached: a server that stops sending or only trickles is dropped.
  uint32_t lowSpeedBytesPerSecond = 1;
  std::chrono::milliseconds lowSpeedTime{std::chrono::seconds(60)};
};

// Every value that goes on the wire for one GET request.
struct HttpRequest {
  bool secure = false;  // https (TLS, certificate and host name verified)
  std::string hostName;
  int port = 80;         // 0 selects the scheme's default port
  std::string path;      // object name from the first '/', query text included
  std::string userName;  // Basic credentials, sent when the user name is not empty
  std::string password;
  std::string userAgent;
  std::string referrer;
  std::string accept;  // the whole Accept header line, e.g. "Accept: */*"
  bool http10 = true;  // protocol version HTTP/1.0 rather than HTTP/1.1
  bool reload = true;  // bypass caches: "Pragma: no-cache", "Cache-Control: no-cache"
  int maxRedirections = 10;
  TransferLimits limits;
  // Further header lines, each whole without its line end ("Range: bytes=10-",
  // "If-Range: \"abc\"", "If-None-Match: ..."); sent again after a
  // redirection. A line with a control character is not sent.
  std::vector<std::string> headers;
};

// A header line of the request's own (no line break, a name and a colon).
bool UsableHeaderLine(std::string_view line);

// The header lines of one response in the order they arrived, as name and
// value with the blanks around the value removed; Find is case-insensitive
// and returns the first one of NAME.
class ResponseHeaders {
 public:
  // Takes one raw line ("Name: value", its line end allowed); other lines
  // (the status line, continuation lines) are ignored.
  void Add(std::string_view line);
  void Clear() { fields_.clear(); }
  [[nodiscard]] std::optional<std::string> Find(std::string_view name) const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// The address rules of both transports. A host name goes into a URL or to
// the platform's connect call, so it must not carry syntax of its own: no
// user information, path, query, fragment, port, IPv6 brackets, zone index,
// blanks or control characters. A path begins with '/' and holds no blank or
// control character.
bool UsableHostName(std::string_view host);
bool UsablePath(std::string_view path);
// URL without the user information of its authority ("user:password@"), for
// logs: credentials never leave the request.
std::string WithoutCredentials(std::string_view url);

// Applies TransferLimits (all but connect) to one running transfer: told how
// many body bytes arrived so far, it says when a limit is passed.
class TransferWatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TransferWatch(const TransferLimits& limits, Clock::time_point start = Clock::now());
  // Why the transfer must end now, or the empty text. RECEIVED counts the
  // body bytes received since the start.
  std::string Check(uint64_t received, Clock::time_point now = Clock::now());
  // How long the transfer may wait for data before Check must run again; at
  // most LONGEST, never negative.
  [[nodiscard]] std::chrono::milliseconds WaitLimit(std::chrono::milliseconds longest,
                                                    Clock::time_point now = Clock::now()) const;

 private:
  TransferLimits limits_;
  Clock::time_point start_;
  Clock::time_point markTime_;  // the low-speed period runs from here
  uint64_t markBytes_ = 0;
};

// The response of one request. The headers are those of the final response,
// after the transport followed any redirections.
class HttpResponse {
 public:
  HttpResponse() = default;
  HttpResponse(const HttpResponse&) = delete;
  HttpResponse& operator=(const HttpResponse&) = delete;
  virtual ~HttpResponse() = default;

  // Status code of the final response; 0 when no response arrived (no
  // connection, bad address, TLS failure, too many redirections...).
  [[nodiscard]] virtual int StatusCode() const = 0;
  // The raw text of the Content-Length header, nullopt when absent.
  [[nodiscard]] virtual std::optional<std::string> ContentLength() const = 0;
  // The value of the final response's first header NAME (case-insensitive:
  // "ETag", "Last-Modified", "Content-Range"...), nullopt when absent.
  [[nodiscard]] virtual std::optional<std::string> Header(std::string_view name) const = 0;
  // Reads up to block.size() bytes of the body into BLOCK, waiting for data
  // as needed. Returns the count; 0 at the end of the body or when the
  // connection failed (a failure is reported only by the short body).
  virtual size_t Read(std::span<uint8_t> block) = 0;
  // Why no response or only part of it arrived, for diagnostics; empty when
  // nothing went wrong.
  [[nodiscard]] virtual std::string Error() const = 0;
  // True when the transfer was given up because a limit of the request's
  // TransferLimits passed: the body read is not all of it, whatever the
  // Content-Length says. Error() says which limit.
  [[nodiscard]] virtual bool LimitPassed() const { return false; }
  // How the response came, for the diagnostic log: the proxy that carried
  // the request ("direct" without one; never its credentials) and the
  // redirections followed (-1 when the backend cannot tell; libcurl counts
  // the second request of a proxy authentication among them).
  [[nodiscard]] virtual std::string Proxy() const { return {}; }
  [[nodiscard]] virtual int Redirections() const { return -1; }
};

class HttpTransport {
 public:
  HttpTransport() = default;
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;
  virtual ~HttpTransport() = default;

  // Sends REQUEST and waits for the final response's headers. Never throws
  // for network failures: they show as status 0 and an empty body.
  virtual std::unique_ptr<HttpResponse> Get(const HttpRequest& request) = 0;
};

// The backend's transport (libcurl on POSIX, WinINet on Windows).
std::unique_ptr<HttpTransport> CreateHttpTransport();

}  // namespace lumivora::platform
