#include "tests/webupdate/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "tests/support/process.h"

extern char** environ;

namespace lumivora::webupdate::testing {
namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// A listening TCP socket on 127.0.0.1 with a port chosen by the system.
int ListenOnLoopback(int& port, bool closeOnExec) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | (closeOnExec ? SOCK_CLOEXEC : 0), 0);
  if (fd < 0) {
    throw SystemError("socket");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw SystemError("bind");
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool SameTextNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& stderrPath) {
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
    throw SystemError("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  std::vector<std::string> environment(env);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> args(argv);
  std::vector<char*> argp;
  for (std::string& arg : args) {
    argp.push_back(arg.data());
  }
  argp.push_back(nullptr);
  const int error = ::posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  stdinFd_ = toChild[1];
  stdoutFd_ = fromChild[0];
  if (error != 0) {
    pid_ = -1;
    errno = error;
    throw SystemError("cannot start " + argv[0]);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (stdinFd_ >= 0) {
    ::close(stdinFd_);
  }
  if (stdoutFd_ >= 0) {
    ::close(stdoutFd_);
  }
}

std::string Child::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw std::runtime_error("no line from the child process in time");
    }
    pollfd entry{stdoutFd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    char buffer[256];
    const ssize_t count = ::read(stdoutFd_, buffer, sizeof buffer);
    if (count <= 0) {
      throw std::runtime_error("the child process ended before its line");
    }
    pending_.append(buffer, static_cast<size_t>(count));
  }
}

bool Child::WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) {
      return true;
    }
    // Waits on the child's output: it only becomes readable (end of file)
    // when the child has ended.
    pollfd entry{stdoutFd_, POLLIN, 0};
    if (::poll(&entry, 1, 10) > 0) {
      return false;
    }
  }
  return false;
}

namespace {

int ConnectToLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the server on PORT answers GET PATH with a body holding TOKEN:
// it is our server, not another one that took the port first.
bool AnswersWith(int port, const std::string& path, const std::string& token) {
  const int fd = ConnectToLoopback(port);
  if (fd < 0) {
    return false;
  }
  const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  std::string response;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char buffer[512];
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 2000) > 0) {
      const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
      if (count <= 0) {
        break;
      }
      response.append(buffer, static_cast<size_t>(count));
    }
  }
  ::close(fd);
  return response.find(token) != std::string::npos;
}

bool Accepts(int port) {
  const int fd = ConnectToLoopback(port);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
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
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"},
        std::vector<std::string>{}, d + "/stderr.log");
    // Ready once it serves our token (and the TLS port accepts); nginx
    // ending first or the deadline passing means another attempt.
    const int port = port_;
    const int tlsPort = tlsPort_;
    if (child_->WaitUntil(
            [&] { return AnswersWith(port, "/.ready", token) && (!tls || Accepts(tlsPort)); },
            std::chrono::seconds(20))) {
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
    if (SameTextNoCase(key, name)) {
      return value;
    }
  }
  return {};
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (SameTextNoCase(header.first, name)) {
      return true;
    }
  }
  return false;
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
  child_ = std::make_unique<Child>(
      std::vector<std::string>{PythonInterpreter(), script, "--root", dir_.Path() + "/root",
                               "--log", dir_.Path() + "/requests.log", "--lifetime", "240"},
      std::vector<std::string>{}, dir_.Path() + "/stderr.log");
  const std::string line = child_->ReadLine(std::chrono::seconds(20));
  if (line.rfind("READY ", 0) != 0) {
    throw std::runtime_error("fault server: unexpected first line " + line);
  }
  port_ = std::stoi(line.substr(6));
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

int ClosedPort() {
  int port = 0;
  ::close(ListenOnLoopback(port, true));
  return port;
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
