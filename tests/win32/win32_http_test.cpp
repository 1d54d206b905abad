// The WinINet transport and the update component's HttpGet over it, against
// the test's own HTTP server (loopback_server.h) on a free port of 127.0.0.1.
#include "tests/win32/loopback_server.h"
// After the server's <winsock2.h>, which must come first.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "tests/support/files.h"
#include "tests/win32/win32_support.h"
#include "webupdate/web_update.h"

namespace lumivora::platform {
namespace {

using namespace lumivora::testing;

std::string Body(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  }
  return body;
}

HttpRequest Request(int port, const std::string& path) {
  HttpRequest request;
  request.hostName = "127.0.0.1";
  request.port = port;
  request.path = path;
  request.userAgent = "TWebUpdate";
  request.referrer = "I am a FReferer";
  request.accept = "Accept: */*";
  return request;
}

std::string ReadAll(HttpResponse& response, size_t blockSize, size_t& blocks) {
  std::string body;
  std::vector<uint8_t> block(blockSize);
  blocks = 0;
  for (;;) {
    const size_t n = response.Read(block);
    if (n == 0) {
      return body;
    }
    EXPECT_LE(n, blockSize);
    ++blocks;
    body.append(reinterpret_cast<const char*>(block.data()), n);
  }
}

TEST(WinInetTransport, SendsTheFixedRequestAndReadsTheBody) {
  const std::string big = Body(100000);
  LoopbackServer server(
      {{"/lumivora/update.ini", Ok("[Setup]\r\nVersion=1.3\r\n")},
       {"/big", Ok(big)},
       {"/moved", "HTTP/1.0 302 Found\r\nLocation: /big\r\nContent-Length: 0\r\n\r\n"},
       {"/nolength", "HTTP/1.0 200 OK\r\n\r\nno length here"}});
  ASSERT_NE(server.Port(), 0);
  const auto transport = CreateHttpTransport();

  auto response = transport->Get(Request(server.Port(), "/lumivora/update.ini"));
  EXPECT_EQ(response->StatusCode(), 200);
  EXPECT_EQ(response->ContentLength(), "22");
  size_t blocks = 0;
  EXPECT_EQ(ReadAll(*response, 1025, blocks), "[Setup]\r\nVersion=1.3\r\n");
  ASSERT_EQ(server.Requests().size(), 1U);
  const std::string head = server.Requests().front();
  EXPECT_EQ(head.rfind("GET /lumivora/update.ini HTTP/1.0\r\n", 0), 0U) << head;
  EXPECT_NE(head.find("\r\nUser-Agent: TWebUpdate\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nReferer: I am a FReferer\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("*/*"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port())), std::string::npos)
      << head;

  // A body larger than 64 KiB in blocks of at most 1025 bytes.
  response = transport->Get(Request(server.Port(), "/big"));
  EXPECT_EQ(response->ContentLength(), "100000");
  EXPECT_EQ(ReadAll(*response, 1025, blocks), big);
  EXPECT_GE(blocks, 98U);

  // Redirections are followed by WinINet itself.
  response = transport->Get(Request(server.Port(), "/moved"));
  EXPECT_EQ(response->StatusCode(), 200);
  EXPECT_EQ(ReadAll(*response, 1025, blocks), big);

  // No Content-Length: none reported, the body is still readable.
  response = transport->Get(Request(server.Port(), "/nolength"));
  EXPECT_EQ(response->ContentLength(), std::nullopt);
  EXPECT_EQ(ReadAll(*response, 1025, blocks), "no length here");

  // An error status is reported with its body.
  response = transport->Get(Request(server.Port(), "/none"));
  EXPECT_EQ(response->StatusCode(), 404);
}

TEST(WinInetTransport, NoServerAndBadAddressesGiveStatusZero) {
  // A port that was free a moment ago and is closed now.
  int closedPort = 0;
  {
    const LoopbackServer server({});
    closedPort = server.Port();
  }
  const auto transport = CreateHttpTransport();
  struct Row {
    std::string host;
    int port;
    std::string path;
  };
  const Row rows[] = {
      {"127.0.0.1", closedPort, "/x.ini"}, {"", 80, "/x.ini"},
      {"127.0.0.1", 70000, "/x.ini"},      {"127.0.0.1", closedPort, "x.ini"},
      {"bad host", 80, "/x.ini"},
  };
  for (const Row& row : rows) {
    HttpRequest request = Request(row.port, row.path);
    request.hostName = row.host;
    const auto response = transport->Get(request);
    EXPECT_EQ(response->StatusCode(), 0) << row.host << ":" << row.port << row.path;
    EXPECT_FALSE(response->Error().empty());
    std::array<uint8_t, 16> block{};
    EXPECT_EQ(response->Read(block), 0U);
  }
}

// The user's proxy setting in the registry's Internet Settings while it lives.
struct ProxySetting {
  static constexpr const char* kKey =
      R"(Software\Microsoft\Windows\CurrentVersion\Internet Settings)";
  explicit ProxySetting(const std::string& server) {
    ::RegSetKeyValueA(HKEY_CURRENT_USER, kKey, "ProxyServer", REG_SZ, server.c_str(),
                      static_cast<DWORD>(server.size() + 1));
    Enable(1);
  }
  ~ProxySetting() { Enable(0); }
  static void Enable(DWORD on) {
    ::RegSetKeyValueA(HKEY_CURRENT_USER, kKey, "ProxyEnable", REG_DWORD, &on, sizeof(on));
  }
};

// WinINet's preconfigured settings: the request goes to the user's proxy as
// an absolute address, and a 407 that nobody gave credentials for ends the
// transfer after one request.
TEST(WinInetTransport, TheUsersProxyCarriesTheRequest) {
  LoopbackServer proxy({{"http://update.test:8080/info.ini", Ok("[Setup]\r\nVersion=1.3\r\n")},
                        {"http://update.test:8080/locked.ini",
                         "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                         "realm=\"proxy\"\r\nContent-Length: 0\r\n\r\n"}});
  ASSERT_NE(proxy.Port(), 0);
  const std::string server = "127.0.0.1:" + std::to_string(proxy.Port());
  const ProxySetting setting(server);
  const auto transport = CreateHttpTransport();
  HttpRequest request = Request(8080, "/info.ini");
  request.hostName = "update.test";
  auto response = transport->Get(request);
  EXPECT_EQ(response->StatusCode(), 200) << response->Error();
  size_t blocks = 0;
  EXPECT_EQ(ReadAll(*response, 1025, blocks), "[Setup]\r\nVersion=1.3\r\n");
  EXPECT_NE(response->Proxy().find(server), std::string::npos) << response->Proxy();
  request.path = "/locked.ini";
  const auto start = std::chrono::steady_clock::now();
  response = transport->Get(request);
  EXPECT_EQ(response->StatusCode(), 407);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(proxy.RequestLines(),
            (std::vector<std::string>{"GET http://update.test:8080/info.ini",
                                      "GET http://update.test:8080/locked.ini"}));
}

// The update component over WinINet: the information text in memory, a
// download to a file, and error pages that must never count as content.
TEST(WinInetTransport, UpdateComponentHttpGet) {
  const std::string pack = Body(70000);
  LoopbackServer server({{"/update.ini", Ok("[Setup]\r\nVersion=1.3\r\nURL=x\r\n")},
                         {"/pack", Ok(pack)},
                         {"/gone", "HTTP/1.0 410 Gone\r\nContent-Length: 4\r\n\r\ngone"},
                         {"/held.ini", Ok("[Setup]\r\nVersion=1.3\r\n")},
                         {"/held", Ok(pack)}});
  ASSERT_NE(server.Port(), 0);
  const TempDir dir;
  const auto transport = CreateHttpTransport();
  const auto system = CreateSystemServices();
  const auto ui = CreateDesktopInterface();
  webupdate::TWebUpdate update(*ui, *system, *transport);
  int errors = 0;
  update.OnDownloadError = [&](webupdate::TWebUpdate&) { ++errors; };
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());

  update.HttpGet(webupdate::TransferRequest::Fetch(base + "/update.ini"));
  EXPECT_TRUE(update.Succeeded());
  EXPECT_EQ(webupdate::ReadUpdateInfo(update.InfoText().Text()).version, "1.3");

  update.HttpGet(webupdate::TransferRequest::Download(base + "/pack", dir / "Lumivorapack.new"));
  EXPECT_TRUE(update.Succeeded());
  EXPECT_EQ(update.TotalSize(), 70000);
  EXPECT_EQ(update.DownloadedSize(), 70000U);
  EXPECT_EQ(ReadFile(dir / "Lumivorapack.new"), pack);
  EXPECT_EQ(errors, 0);

  update.HttpGet(webupdate::TransferRequest::Download(base + "/gone", dir / "gone"));
  EXPECT_FALSE(update.Succeeded());
  update.HttpGet(webupdate::TransferRequest::Fetch(base + "/gone"));
  EXPECT_FALSE(update.Succeeded());
  EXPECT_EQ(errors, 2);
  EXPECT_NE(ReadFile(dir / "gone"), "gone");

  // A server that stops sending: the information file is given up at its
  // time limit, a download at its low-speed limit, both with an error event.
  server.Hold("/held.ini", 45);
  server.Hold("/held", 4000);
  auto info = webupdate::TransferRequest::Fetch(base + "/held.ini");
  info.limits = webupdate::DefaultTransferLimits(info.mode);
  info.limits->overall = std::chrono::seconds(2);
  auto file = webupdate::TransferRequest::Download(base + "/held", dir / "held");
  file.limits = webupdate::DefaultTransferLimits(file.mode);
  file.limits->lowSpeedTime = std::chrono::seconds(2);
  for (const auto* request : {&info, &file}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(update.HttpGet(*request).status, webupdate::TransferStatus::kFailed)
        << update.LastTransfer().reason;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    server.Release(request == &info ? "/held.ini" : "/held");
  }
  EXPECT_EQ(errors, 4);
}

}  // namespace
}  // namespace lumivora::platform
