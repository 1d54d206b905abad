#include "tests/webupdate/servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/text.h"

namespace lumivora::webupdate::testing {
namespace {

// True when URL answers with a body holding TOKEN: the server is ours, not
// another one that took the port first (curl; -k: whatever its certificate).
bool Answers(const std::string& url, const std::string& token) {
  return ::lumivora::testing::RunProcess({"curl", "-s", "-k", "--max-time", "2", url}, {})
             .out.find(token) != std::string::npos;
}

}  // namespace

Nginx::Nginx(bool tls) {
  const std::string root = dir_.Path() + "/www";
  std::filesystem::create_directory(root);
  const std::string d = dir_.Path();
  if (tls) {
    const ::lumivora::testing::ProcessResult made = ::lumivora::testing::RunProcess(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", d + "/key.pem", "-out", d + "/cert.pem"},
        {});
    if (made.exitCode != 0) {
      throw std::runtime_error("openssl could not make a certificate: " + made.err);
    }
  }
  const std::string token = "ready-" + std::to_string(::getpid()) + "-" + d.substr(d.size() - 6);
  dir_.Write("www/.ready", token);
  // A port found free may be taken by another process before nginx binds
  // it; then nginx ends (or someone else answers) and new ports are tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = ClosedPort();
    std::string tlsServer;
    if (tls) {
      tlsPort_ = ClosedPort();
      tlsServer = "  server {\n    listen 127.0.0.1:" + std::to_string(tlsPort_) + " ssl;\n" +
                  "    ssl_certificate " + d + "/cert.pem;\n    ssl_certificate_key " + d +
                  "/key.pem;\n    root " + root + ";\n  }\n";
    }
    std::ostringstream conf;
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n  access_log off;\n  default_type application/octet-stream;\n"
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << root << ";\n"
         << "    location /moved/ { return 302 /; }\n"
         << "  }\n"
         << tlsServer << "}\n";
    dir_.Write("nginx.conf", conf.str());
    child_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"},
        ::lumivora::testing::Environment({}), false, d + "/stderr.log");
    // Ready once it serves our token (and the TLS port accepts); nginx
    // ending first or the deadline passing means another attempt.
    const auto ready = [&] {
      return Answers(Url("/.ready"), token) &&
             (!tls || Answers("https://127.0.0.1:" + std::to_string(tlsPort_) + "/.ready", token));
    };
    if (::lumivora::testing::PollUntil([&] { return child_->Ended() || ready(); },
                                       std::chrono::seconds(20)) &&
        !child_->Ended()) {
      return;
    }
    child_.reset();
  }
  throw std::runtime_error("nginx did not start: " + ReadFile(d + "/error.log"));
}

Nginx::~Nginx() = default;

std::string Nginx::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string Nginx::DocumentRoot() const {
  return dir_.Path() + "/www";
}

std::string Nginx::Put(const std::string& name, const std::string& content) const {
  return dir_.Write("www/" + name, content);
}

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (platform::EqualsIgnoreCase(key, name)) {
      return value;
    }
  }
  return {};
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& header) {
    return platform::EqualsIgnoreCase(header.first, name);
  });
}

namespace {

// Debian's interpreter when it is there: wrappers found earlier in PATH
// (version managers) can take seconds to start.
std::string PythonInterpreter() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

}  // namespace

FaultServer::FaultServer() {
  std::filesystem::create_directory(dir_.Path() + "/root");
  const std::string script = std::string(LUMIVORA_SOURCE_DIR) + "/tests/webupdate/fault_server.py";
  child_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{PythonInterpreter(), script, "--root", dir_.Path() + "/root",
                               "--log", dir_.Path() + "/requests.log", "--lifetime", "240"},
      ::lumivora::testing::Environment({}), false, dir_.Path() + "/stderr.log");
  if (!child_->WaitForOutput("\n", std::chrono::seconds(20)) ||
      child_->Output().rfind("READY ", 0) != 0) {
    throw std::runtime_error("fault server did not start: " + child_->Output());
  }
  port_ = std::stoi(child_->Output().substr(6));
}

FaultServer::~FaultServer() = default;

std::string FaultServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string FaultServer::Put(const std::string& name, const std::string& content) const {
  return dir_.Write("root/" + name, content);
}

std::vector<RecordedRequest> FaultServer::Requests() const {
  std::vector<RecordedRequest> requests;
  std::istringstream log(ReadFile(dir_.Path() + "/requests.log"));
  std::string line;
  RecordedRequest current;
  bool open = false;
  while (std::getline(log, line)) {
    if (!open) {
      current = RecordedRequest{line, {}};
      open = true;
    } else if (line.empty()) {
      requests.push_back(current);
      open = false;
    } else {
      const size_t colon = line.find(": ");
      current.headers.emplace_back(line.substr(0, colon),
                                   colon == std::string::npos ? "" : line.substr(colon + 2));
    }
  }
  return requests;
}

uint64_t FaultServer::BytesSent() const {
  std::istringstream log(ReadFile(dir_.Path() + "/requests.log.sent"));
  std::string path;
  uint64_t count = 0;
  uint64_t total = 0;
  while (log >> path >> count) {
    total += count;
  }
  return total;
}

Tinyproxy::Tinyproxy(const std::string& user, const std::string& password) {
  const std::string d = dir_.Path();
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = ClosedPort();
    dir_.Write("tinyproxy.conf",
               "Port " + std::to_string(port_) +
                   "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                   "Allow 127.0.0.1\nLogLevel Info\nLogFile \"" +
                   d + "/tinyproxy.log\"\n" +
                   (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n"));
    std::filesystem::remove(d + "/tinyproxy.log");
    child_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"tinyproxy", "-d", "-c", d + "/tinyproxy.conf"},
        ::lumivora::testing::Environment({}), false, d + "/stderr.log");
    // Ready once it accepts connections; ending first means the port was taken.
    if (::lumivora::testing::PollUntil(
            [&] {
              return child_->Ended() ||
                     ReadFile(d + "/tinyproxy.log").find("Accepting connections") !=
                         std::string::npos;
            },
            std::chrono::seconds(20)) &&
        !child_->Ended()) {
      return;
    }
    child_.reset();
  }
  throw std::runtime_error("tinyproxy did not start: " + ReadFile(d + "/stderr.log"));
}

Tinyproxy::~Tinyproxy() = default;

std::string Tinyproxy::Url(const std::string& credentials) const {
  return "http://" + (credentials.empty() ? "" : credentials + "@") +
         "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> Tinyproxy::Requests() const {
  std::vector<std::string> requests;
  std::istringstream log(ReadFile(dir_.Path() + "/tinyproxy.log"));
  std::string line;
  while (std::getline(log, line)) {
    const size_t start = line.find("]: Request (file descriptor ");
    if (start != std::string::npos) {
      requests.push_back(line.substr(line.find("): ", start) + 3));
    }
  }
  return requests;
}

int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};  // 127.0.0.1, a port the system picks
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error(std::string("no free loopback port: ") + std::strerror(errno));
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string PatternContent(size_t size) {
  std::string content(size, '\0');
  uint32_t state = 0x12345678U;
  for (char& c : content) {
    state = state * 1664525U + 1013904223U;
    c = static_cast<char>(state >> 24);
  }
  return content;
}

}  // namespace lumivora::webupdate::testing
