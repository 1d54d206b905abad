// A small HTTP server of the Windows tests on 127.0.0.1 (Winsock, one thread,
// one connection at a time, stopped by its destructor). It answers canned
// responses by path, keeps every request's head, and can hold a response
// after a given number of bytes until the test releases it: a transfer that
// stands still at a known point, without any timing. A request with a Range
// header gets the response of "PATH RANGE" ("/p bytes=100-") when there is
// one.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
// After <winsock2.h>, which must come first.
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace lumivora::testing {

class LoopbackServer {
 public:
  // Listens on PORT of 127.0.0.1 (0: a free port); Port() is 0 when that failed.
  explicit LoopbackServer(std::map<std::string, std::string> responses, int port = 0)
      : responses_(std::move(responses)) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    address.sin_port = ::htons(static_cast<u_short>(port));
    int length = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ::ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackServer() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    released_changed_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
    ::closesocket(listener_);
    ::WSACleanup();
  }

  [[nodiscard]] int Port() const { return port_; }

  // The heads of the requests received so far.
  std::vector<std::string> Requests() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // The request lines so far, without the protocol ("GET /path").
  std::vector<std::string> RequestLines() {
    std::vector<std::string> lines;
    for (const std::string& head : Requests()) {
      const std::string line = head.substr(0, head.find("\r\n"));
      lines.push_back(line.substr(0, line.rfind(' ')));
    }
    return lines;
  }

  // The response to PATH stops after BYTES bytes (head included) until
  // Release(PATH).
  void Hold(const std::string& path, size_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    holds_[path] = bytes;
  }
  void Release(const std::string& path) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      released_.insert(path);
    }
    released_changed_.notify_all();
  }

  // True while a held response waits for its release.
  bool Holding() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return holding_;
  }

 private:
  void Serve() {
    for (;;) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) {
          return;
        }
      }
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(listener_, &ready);
      timeval wait{0, 50000};
      if (::select(0, &ready, nullptr, nullptr, &wait) <= 0) {
        continue;
      }
      const SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) {
        continue;
      }
      Answer(client);
      ::shutdown(client, SD_SEND);
      ::closesocket(client);
    }
  }

  static bool Send(SOCKET client, const std::string& data, size_t from, size_t to) {
    while (from < to) {
      const int n = ::send(client, data.data() + from, static_cast<int>(to - from), 0);
      if (n <= 0) {
        return false;
      }
      from += static_cast<size_t>(n);
    }
    return true;
  }

  void Answer(SOCKET client) {
    std::string head;
    std::array<char, 4096> buffer{};
    while (head.find("\r\n\r\n") == std::string::npos) {
      const int n = ::recv(client, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n <= 0) {
        return;
      }
      head.append(buffer.data(), static_cast<size_t>(n));
    }
    const size_t pathStart = head.find(' ') + 1;
    const std::string path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);
    const size_t range = head.find("\r\nRange: ");
    auto found = responses_.end();
    if (range != std::string::npos) {
      found = responses_.find(path + " " +
                              head.substr(range + 9, head.find("\r\n", range + 2) - range - 9));
    }
    found = found != responses_.end() ? found : responses_.find(path);
    const std::string response =
        found != responses_.end() ? found->second
                                  : "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
    size_t holdAt = response.size();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
      const auto hold = holds_.find(path);
      if (hold != holds_.end() && released_.count(path) == 0) {
        holdAt = std::min(hold->second, response.size());
      }
    }
    if (!Send(client, response, 0, holdAt)) {
      return;
    }
    if (holdAt < response.size()) {
      std::unique_lock<std::mutex> lock(mutex_);
      holding_ = true;
      released_changed_.wait(lock, [&] { return stop_ || released_.count(path) != 0; });
      holding_ = false;
      if (stop_) {
        return;
      }
    }
    Send(client, response, holdAt, response.size());
  }

  std::map<std::string, std::string> responses_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_changed_;
  bool stop_ = false;
  bool holding_ = false;
  std::map<std::string, size_t> holds_;
  std::set<std::string> released_;
  std::vector<std::string> requests_;
};

// A whole response of status 200 with its Content-Length.
inline std::string Ok(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace lumivora::testing
