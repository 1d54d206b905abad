// Loopback HTTP servers for the web update tests: a real nginx with its own
// configuration and document root, and the project's fault-injecting server.
// Both are started by the fixture on a free port and stopped when it ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace lumivora::webupdate::testing {

using ::lumivora::testing::ChildProcess;
using ::lumivora::testing::ReadFile;
using ::lumivora::testing::TempDir;

// nginx serving a fresh document root on a free port of 127.0.0.1, in one
// process without daemon; ready once its port accepts connections.
class Nginx {
 public:
  // With TLS, a second server answers https on TlsPort() with a freshly made
  // self-signed certificate (which no system store trusts).
  explicit Nginx(bool tls = false);
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;
  ~Nginx();
  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] int TlsPort() const { return tlsPort_; }
  [[nodiscard]] std::string Url(const std::string& path) const;
  // Places a file in the document root.
  std::string Put(const std::string& name, const std::string& content) const;
  [[nodiscard]] std::string DocumentRoot() const;

 private:
  TempDir dir_;
  int port_ = 0;
  int tlsPort_ = 0;
  std::unique_ptr<ChildProcess> child_;
};

// One request as the fault server recorded it.
struct RecordedRequest {
  std::string requestLine;
  std::vector<std::pair<std::string, std::string>> headers;
  // Value of the first header NAME (case-insensitive); empty when absent.
  [[nodiscard]] std::string Header(const std::string& name) const;
  [[nodiscard]] bool HasHeader(const std::string& name) const;
};

// The project's fault-injecting server (tests/webupdate/fault_server.py).
class FaultServer {
 public:
  FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;
  ~FaultServer();
  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] std::string Url(const std::string& path) const;
  std::string Put(const std::string& name, const std::string& content) const;
  // Every request recorded so far, oldest first.
  [[nodiscard]] std::vector<RecordedRequest> Requests() const;
  // The body bytes of every response so far, added up.
  [[nodiscard]] uint64_t BytesSent() const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> child_;
};

// Debian's tinyproxy on a free port of 127.0.0.1, in the foreground; with a
// user name, it answers requests without that user's Basic credentials with
// 407.
class Tinyproxy {
 public:
  explicit Tinyproxy(const std::string& user = "", const std::string& password = "");
  Tinyproxy(const Tinyproxy&) = delete;
  Tinyproxy& operator=(const Tinyproxy&) = delete;
  ~Tinyproxy();
  // "http://[CREDENTIALS@]127.0.0.1:port", CREDENTIALS as "user:password".
  [[nodiscard]] std::string Url(const std::string& credentials = "") const;
  // The requests the proxy forwarded or refused ("GET http://... HTTP/1.1").
  [[nodiscard]] std::vector<std::string> Requests() const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> child_;
};

// A port on 127.0.0.1 on which nothing listens (bound, then closed).
int ClosedPort();

// An update information file offering VERSION at URL under CLIENTSIDENAME
// (with a RedirectionURL first when REDIRECTION is not empty).
inline std::string InfoFile(const std::string& version, const std::string& url,
                            const std::string& clientSideName,
                            const std::string& redirection = "") {
  return "[Setup]\r\n" + (redirection.empty() ? "" : "RedirectionURL=" + redirection + "\r\n") +
         "Version=" + version + "\r\nURL=" + url + "\r\nClientSideName=" + clientSideName + "\r\n";
}

// Deterministic content of SIZE bytes.
std::string PatternContent(size_t size);

}  // namespace lumivora::webupdate::testing
