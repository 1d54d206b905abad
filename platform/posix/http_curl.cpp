// HTTP transport with libcurl's multi interface. The transfer runs on the
// caller's thread: Get drives it until the final response's headers (and the
// first body bytes) are in, Read drives it until a block of body is buffered.
// The write callback pauses the transfer once a bounded buffer is full, so a
// download never holds more than a few blocks in memory however fast the
// server is and however slowly the caller reads.
// libcurl itself is loaded with the first transfer (curl_library.h).
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/http.h"
#include "platform/posix/curl_library.h"
#include "platform/posix/system_proxy.h"
#include "platform/text.h"

namespace lumivora::platform {
namespace {

using posix::Curl;
using posix::CurlLibrary;
using posix::kCurlLibrary;

// Body bytes held before the transfer is paused (curl delivers at most
// CURL_MAX_WRITE_SIZE per callback on top of this).
constexpr size_t kMaxBuffered = size_t{64} * 1024;
// Upper bound of one wait for socket activity; the loop re-checks after it.
constexpr std::chrono::milliseconds kLongestPoll{1000};

struct EasyDeleter {
  void operator()(CURL* easy) const { Curl()->easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { Curl()->multi_cleanup(multi); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { Curl()->slist_free_all(list); }
};

class CurlResponse final : public HttpResponse {
 public:
  explicit CurlResponse(const HttpRequest& request) : watch_(request.limits) { Start(request); }

  ~CurlResponse() override {
    if (multi_ && easy_ && added_) {
      curl_->multi_remove_handle(multi_.get(), easy_.get());
    }
  }

  CurlResponse(const CurlResponse&) = delete;
  CurlResponse& operator=(const CurlResponse&) = delete;

  [[nodiscard]] int StatusCode() const override { return status_; }
  [[nodiscard]] std::optional<std::string> ContentLength() const override { return contentLength_; }
  [[nodiscard]] std::optional<std::string> Header(std::string_view name) const override {
    return headers_.Find(name);
  }
  [[nodiscard]] std::string Error() const override { return error_; }
  [[nodiscard]] bool LimitPassed() const override { return limitPassed_; }
  [[nodiscard]] std::string Proxy() const override { return proxy_; }
  [[nodiscard]] int Redirections() const override {
    long count = -1;
    if (easy_ && curl_->easy_getinfo(easy_.get(), CURLINFO_REDIRECT_COUNT, &count) != CURLE_OK) {
      count = -1;
    }
    return static_cast<int>(count);
  }

  size_t Read(std::span<uint8_t> block) override {
    if (block.empty()) {
      return 0;
    }
    while (Buffered() == 0 && !done_) {
      Resume();
      Step();
    }
    const size_t count = std::min(block.size(), Buffered());
    if (count == 0) {
      return 0;
    }
    std::memcpy(block.data(), buffer_.data() + readPosition_, count);
    readPosition_ += count;
    if (readPosition_ == buffer_.size()) {
      buffer_.clear();
      readPosition_ = 0;
    }
    return count;
  }

 private:
  void Start(const HttpRequest& request) {
    if (!UsableHostName(request.hostName) || !UsablePath(request.path) || request.port < 0 ||
        request.port > 65535) {
      Fail("invalid address");
      return;
    }
    curl_ = Curl();
    if (curl_ == nullptr) {
      Fail(std::string(kCurlLibrary) + " cannot be loaded");
      return;
    }
    easy_.reset(curl_->easy_init());
    multi_.reset(curl_->multi_init());
    if (!easy_ || !multi_) {
      Fail("out of memory");
      return;
    }
    const std::string url = UrlOf(request);
    SetHeaders(request);
    if (!SetOptions(request, url) || !SetProxy(url) || requestHeaders_ == nullptr) {
      Fail("cannot set up the request");
      return;
    }
    if (curl_->multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
      Fail("cannot start the request");
      return;
    }
    added_ = true;
    // The headers are final once body bytes arrive or the transfer ends.
    while (!bodyStarted_ && !done_) {
      Step();
    }
  }

  static std::string UrlOf(const HttpRequest& request) {
    std::string url = request.secure ? "https://" : "http://";
    url += request.hostName;
    if (request.port != 0) {
      url += ':';
      url += std::to_string(request.port);
    }
    url += request.path;
    return url;
  }

  // The accept type, for a reload the headers that bypass caches, then the
  // request's own lines; none when a list cannot be made.
  void SetHeaders(const HttpRequest& request) {
    requestHeaders_.reset(curl_->slist_append(nullptr, request.accept.c_str()));
    if (request.reload) {
      AppendHeader("Pragma: no-cache");
      AppendHeader("Cache-Control: no-cache");
    }
    for (const std::string& line : request.headers) {
      if (UsableHeaderLine(line)) {
        AppendHeader(line.c_str());
      }
    }
  }

  // HTTP and HTTPS only (redirections too), the path as given, verified
  // certificates, the request's version, texts, limits and credentials.
  bool SetOptions(const HttpRequest& request, const std::string& url) {
    bool ok =
        Set(CURLOPT_URL, url.c_str()) && Set(CURLOPT_PATH_AS_IS, 1L) &&
        Set(CURLOPT_PROTOCOLS_STR, "http,https") &&
        Set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https") && Set(CURLOPT_NOSIGNAL, 1L) &&
        Set(CURLOPT_FOLLOWLOCATION, 1L) &&
        Set(CURLOPT_MAXREDIRS, static_cast<long>(request.maxRedirections)) &&
        Set(CURLOPT_HTTP_VERSION, request.http10 ? static_cast<long>(CURL_HTTP_VERSION_1_0)
                                                 : static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
        Set(CURLOPT_USERAGENT, request.userAgent.c_str()) &&
        Set(CURLOPT_REFERER, request.referrer.c_str()) &&
        Set(CURLOPT_HTTPHEADER, requestHeaders_.get()) && Set(CURLOPT_SSL_VERIFYPEER, 1L) &&
        Set(CURLOPT_SSL_VERIFYHOST, 2L) && Set(CURLOPT_HEADERFUNCTION, &HeaderCallback) &&
        Set(CURLOPT_HEADERDATA, this) && Set(CURLOPT_WRITEFUNCTION, &WriteCallback) &&
        Set(CURLOPT_WRITEDATA, this) && Set(CURLOPT_ERRORBUFFER, errorBuffer_);
    if (ok && request.limits.connect.count() > 0) {
      ok = Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.limits.connect.count()));
    }
    if (ok && !request.userName.empty()) {
      ok = Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) &&
           Set(CURLOPT_USERNAME, request.userName.c_str()) &&
           Set(CURLOPT_PASSWORD, request.password.c_str());
    }
    return ok;
  }

  // The proxy the desktop and the environment name for URL (libproxy), else
  // libcurl's reading of the environment; any proxy authentication libcurl
  // knows, with the credentials of the proxy's address. A 407 that the
  // credentials cannot answer is the final response: no second attempt.
  bool SetProxy(const std::string& url) {
    const std::optional<std::string> proxy = posix::SystemProxyFor(url);
    if (proxy) {
      proxy_ = proxy->empty() ? "direct" : WithoutCredentials(*proxy);
    } else {
      proxy_ = "as the environment says (" + std::string(posix::kProxyLibrary) + " is missing)";
    }
    return Set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY)) &&
           (!proxy || Set(CURLOPT_PROXY, proxy->c_str()));
  }

  template <typename T>
  bool Set(CURLoption option, T value) {
    return curl_->easy_setopt(easy_.get(), option, value) == CURLE_OK;
  }

  void AppendHeader(const char* line) {
    if (requestHeaders_ == nullptr) {
      return;
    }
    curl_slist* extended = curl_->slist_append(requestHeaders_.get(), line);
    if (extended == nullptr) {
      requestHeaders_.reset();
      return;
    }
    static_cast<void>(requestHeaders_.release());
    requestHeaders_.reset(extended);
  }

  void Fail(const std::string& why) {
    done_ = true;
    status_ = 0;
    error_ = why;
  }

  // A limit passed: the response (when one arrived) stays, its body ends.
  void GiveUp(std::string why) {
    done_ = true;
    limitPassed_ = true;
    error_ = std::move(why);
    if (!bodyStarted_) {
      status_ = 0;
      contentLength_.reset();
      headers_.Clear();
    }
  }

  [[nodiscard]] size_t Buffered() const { return buffer_.size() - readPosition_; }

  void Resume() {
    if (paused_ && !done_) {
      paused_ = false;
      curl_->easy_pause(easy_.get(), CURLPAUSE_CONT);
    }
  }

  // One round of the transfer: move what can be moved, then, when nothing
  // arrived, sleep until the socket has something or a limit is due.
  void Step() {
    const uint64_t before = received_;
    int running = 0;
    if (curl_->multi_perform(multi_.get(), &running) != CURLM_OK) {
      Fail("transfer failed");
      return;
    }
    CheckDone();
    if (done_) {
      return;
    }
    if (std::string why = watch_.Check(received_); !why.empty()) {
      GiveUp(std::move(why));
      return;
    }
    if (received_ != before || paused_) {
      return;
    }
    const auto wait = watch_.WaitLimit(kLongestPoll);
    int ready = 0;
    if (curl_->multi_poll(multi_.get(), nullptr, 0, static_cast<int>(wait.count()), &ready) !=
        CURLM_OK) {
      Fail("transfer failed");
    }
  }

  void CheckDone() {
    int queued = 0;
    while (CURLMsg* message = curl_->multi_info_read(multi_.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) {
        continue;
      }
      done_ = true;
      const CURLcode result = message->data.result;
      if (result != CURLE_OK) {
        error_ = errorBuffer_[0] != '\0' ? errorBuffer_ : curl_->easy_strerror(result);
      }
      if (!bodyStarted_ && result != CURLE_OK) {
        // No final response arrived: what the headers said does not count.
        status_ = 0;
        contentLength_.reset();
        headers_.Clear();
      }
    }
  }

  static size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlResponse*>(user);
    const size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
      line.remove_suffix(1);
    }
    if (line.starts_with("HTTP/")) {
      // A new response begins (after a redirection or an interim response).
      self->contentLength_.reset();
      self->headers_.Clear();
      const size_t blank = line.find(' ');
      int status = 0;
      if (blank != std::string_view::npos) {
        for (size_t i = blank + 1; i < line.size() && i < blank + 4; ++i) {
          if (std::isdigit(static_cast<unsigned char>(line[i])) == 0) {
            status = 0;
            break;
          }
          status = status * 10 + (line[i] - '0');
        }
      }
      self->status_ = status;
      return length;
    }
    self->headers_.Add(line);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        EqualsIgnoreCase(line.substr(0, colon), "Content-Length")) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      if (!self->contentLength_) {
        self->contentLength_ = std::string(value);
      }
    }
    return length;
  }

  static size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlResponse*>(user);
    const size_t length = size * count;
    if (self->Buffered() >= kMaxBuffered) {
      self->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (self->readPosition_ > 0) {
      self->buffer_.erase(0, self->readPosition_);
      self->readPosition_ = 0;
    }
    self->buffer_.append(data, length);
    self->received_ += length;
    self->bodyStarted_ = true;
    return length;
  }

  const CurlLibrary* curl_ = nullptr;
  std::unique_ptr<CURL, EasyDeleter> easy_;
  std::unique_ptr<CURLM, MultiDeleter> multi_;
  std::unique_ptr<curl_slist, SlistDeleter> requestHeaders_;
  bool added_ = false;
  bool done_ = false;
  bool paused_ = false;
  bool bodyStarted_ = false;
  bool limitPassed_ = false;
  TransferWatch watch_;
  uint64_t received_ = 0;  // body bytes so far
  int status_ = 0;
  std::optional<std::string> contentLength_;
  ResponseHeaders headers_;  // of the final response
  std::string buffer_;
  size_t readPosition_ = 0;
  std::string error_;
  std::string proxy_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

class CurlTransport final : public HttpTransport {
 public:
  std::unique_ptr<HttpResponse> Get(const HttpRequest& request) override {
    return std::make_unique<CurlResponse>(request);
  }
};

}  // namespace

std::unique_ptr<HttpTransport> CreateHttpTransport() {
  return std::make_unique<CurlTransport>();
}

}  // namespace lumivora::platform
