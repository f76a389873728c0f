// The transport's built-in behaviour against real servers: redirects and
// cookies (and option 63 turning them off), TLS with a certificate the test
// makes, a real proxy (tinyproxy) with and without Basic authentication, and
// cancelling a blocked call from a second thread.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/http_transport.h"
#include "tests/platform/test_servers.h"
#include "tests/platform/transport_client.h"

extern char** environ;

namespace textrill {
namespace {

namespace wh = winhttp;
using testing::Client;
using testing::LocalServer;
using testing::RawServer;
using testing::ReadRequest;
using testing::SendAll;
using testing::Wide;

// Routes shared by the redirect, cookie and proxy tests. /echo answers with
// the method, the Cookie header, the body and the Via header it got.
void AddRoutes(httplib::Server& server) {
  server.Get("/start", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "hop=1; Path=/");
    res.set_redirect("/echo", 302);
  });
  const auto echo = [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.method + "|" + req.get_header_value("Cookie") + "|" + req.body + "|" +
                        req.get_header_value("Via"),
                    "text/plain");
  };
  server.Get("/echo", echo);
  server.Post("/echo", echo);
  for (int status : {301, 302, 303, 307, 308}) {
    server.Post("/post" + std::to_string(status),
                [status](const httplib::Request&, httplib::Response& res) {
                  res.set_redirect("/echo", status);
                });
  }
  // /chain/N redirects N times before it answers.
  server.Get(R"(/chain/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    int n = std::stoi(req.matches[1]);
    if (n == 0) {
      res.set_content("end", "text/plain");
    } else {
      res.set_redirect("/chain/" + std::to_string(n - 1), 302);
    }
  });
}

TEST(TransportRedirects, FollowedWithTheVerbRulesAndOnlyTheLastHeaders) {
  LocalServer<> server;
  AddRoutes(server.server);
  server.Start();
  Client client;

  ASSERT_TRUE(client.Open(server.port, u"GET", u"/start"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  EXPECT_EQ(client.Query(wh::kQueryRawHeadersCrlf).find("Location"), std::string::npos);
  EXPECT_EQ(client.Body(), "GET|hop=1||");  // the hop's cookie went with the next request

  struct Case {
    int status;
    const char* expected;
  };
  const Case cases[] = {
      {301, "GET|hop=1||"},      {302, "GET|hop=1||"},      {303, "GET|hop=1||"},
      {307, "POST|hop=1|data|"}, {308, "POST|hop=1|data|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    ASSERT_TRUE(client.Open(server.port, u"POST", Wide("/post" + std::to_string(c.status))));
    ASSERT_TRUE(client.Send("data"));
    EXPECT_EQ(client.Status(), 200);
    EXPECT_EQ(client.Body(), c.expected);
  }

  // Ten hops are followed; the eleventh redirect fails the send.
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/chain/10"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "end");
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/chain/11"));
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(client.error, wh::kErrorRedirectFailed);
}

TEST(TransportRedirects, Option63TurnsRedirectsAndCookiesOff) {
  LocalServer<> server;
  AddRoutes(server.server);
  server.Start();
  Client client;
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/start"));
  ASSERT_TRUE(client.SetOption32(client.request, wh::kOptionDisableFeature, wh::kDisableRedirects));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 302);
  std::string headers = client.Query(wh::kQueryRawHeadersCrlf);
  EXPECT_NE(headers.find("Location: /echo\r\n"), std::string::npos);
  EXPECT_NE(headers.find("Set-Cookie: hop=1; Path=/\r\n"), std::string::npos);
  client.Body();

  // The cookie of the redirect response was kept by the session...
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "GET|hop=1||");
  // ...and is not sent on a request with cookies disabled, nor by another session.
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(client.SetOption32(client.request, wh::kOptionDisableFeature, wh::kDisableCookies));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "GET|||");
  Client other;
  ASSERT_TRUE(other.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(other.Send());
  EXPECT_EQ(other.Body(), "GET|||");

  // A request with cookies disabled stores none either.
  Client fresh;
  ASSERT_TRUE(fresh.Open(server.port, u"GET", u"/start"));
  ASSERT_TRUE(fresh.SetOption32(fresh.request, wh::kOptionDisableFeature, wh::kDisableCookies));
  ASSERT_TRUE(fresh.Send());
  EXPECT_EQ(fresh.Body(), "GET|||");
  ASSERT_TRUE(fresh.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(fresh.Send());
  EXPECT_EQ(fresh.Body(), "GET|||");
}

// A self-signed certificate for 127.0.0.1, made with the openssl tool in a
// temporary folder for the test suite.
class TransportTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testing::MakeCertificateFolder();
    ASSERT_FALSE(dir_.empty());
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
  static std::string Cert() { return dir_ + "/cert.pem"; }
  static std::string Key() { return dir_ + "/key.pem"; }
  static inline std::string dir_;
};

TEST_F(TransportTls, UntrustedCertificateFailsUnlessTheRequestIgnoresIt) {
  LocalServer<httplib::SSLServer> server(Cert().c_str(), Key().c_str());
  LocalServer<> plain;
  AddRoutes(plain.server);
  plain.Start();
  AddRoutes(server.server);
  const int plain_port = plain.port;
  server.server.Get("/down", [plain_port](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("http://127.0.0.1:" + std::to_string(plain_port) + "/echo", 302);
  });
  server.Start();
  Client client;
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo", /*secure=*/true));
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(client.error, wh::kErrorSecureFailure);

  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo", true));
  ASSERT_TRUE(
      client.SetOption32(client.request, wh::kOptionSecurityFlags, wh::kSecurityFlagsIgnoreAll));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  EXPECT_EQ(client.Body(), "GET|||");

  // The flags belong to that request only.
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo", true));
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(client.error, wh::kErrorSecureFailure);

  // A redirect from https to http is not followed: its response is the response.
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/down", true));
  ASSERT_TRUE(
      client.SetOption32(client.request, wh::kOptionSecurityFlags, wh::kSecurityFlagsIgnoreAll));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 302);
}

// tinyproxy on an ephemeral port of 127.0.0.1, optionally with Basic
// authentication; stopped (by its process id) when the object goes.
class Tinyproxy {
 public:
  explicit Tinyproxy(const std::string& basic_auth) {
    char pattern[] = "/tmp/textrill-proxy-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    port = testing::UnusedPort();
    std::ofstream conf(dir_ + "/tinyproxy.conf");
    conf << "Port " << port << "\nListen 127.0.0.1\nBind 127.0.0.1\nTimeout 30\n"
         << "MaxClients 8\nAllow 127.0.0.1\nLogLevel Critical\n"
         << "LogFile \"" << dir_ << "/tinyproxy.log\"\n";
    if (!basic_auth.empty()) conf << "BasicAuth " << basic_auth << "\n";
    conf.close();
    std::string config = dir_ + "/tinyproxy.conf";
    const char* argv[] = {"tinyproxy", "-d", "-c", config.c_str(), nullptr};
    if (posix_spawnp(&pid_, "tinyproxy", nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      pid_ = 0;
      return;
    }
    // Ready when it accepts connections (bounded wait).
    for (int i = 0; i < 500 && !ready; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<std::uint16_t>(port));
      ready = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      ::close(fd);
      if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Tinyproxy() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  int port = 0;
  bool ready = false;

 private:
  pid_t pid_ = 0;
  std::string dir_;
};

void UseProxy(Client& client, int proxy_port) {
  std::u16string name = Wide("127.0.0.1:" + std::to_string(proxy_port));
  ProxyInfo info;
  info.access_type = wh::kAccessTypeNamedProxy;
  info.proxy = name.c_str();
  info.proxy_bypass = u"";
  ASSERT_TRUE(client.t.SetOption(client.session, wh::kOptionProxy, &info, sizeof info));
}

TEST(TransportProxy, RequestsGoThroughANamedProxy) {
  LocalServer<> server;
  AddRoutes(server.server);
  server.Start();
  Tinyproxy proxy("");
  ASSERT_TRUE(proxy.ready);
  Client client;
  UseProxy(client, proxy.port);
  ASSERT_TRUE(client.Open(server.port, u"POST", u"/echo"));
  ASSERT_TRUE(client.Send("through"));
  EXPECT_EQ(client.Status(), 200);
  std::string body = client.Body();
  EXPECT_EQ(body.rfind("POST||through|", 0), 0u) << body;
  EXPECT_NE(body.find("tinyproxy"), std::string::npos) << body;

  // Access type "no proxy" goes direct again.
  ProxyInfo none;
  ASSERT_TRUE(client.t.SetOption(client.session, wh::kOptionProxy, &none, sizeof none));
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "GET|||");
}

TEST(TransportProxy, BasicProxyAuthenticationWithOptionsAndCredentials) {
  LocalServer<> server;
  AddRoutes(server.server);
  server.Start();
  Tinyproxy proxy("tester s3cret");
  ASSERT_TRUE(proxy.ready);
  Client client;
  UseProxy(client, proxy.port);

  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 407);  // the proxy's answer is the response
  client.Body();

  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  const std::u16string user = u"tester", password = u"s3cret";
  ASSERT_TRUE(client.t.SetOption(client.request, wh::kOptionProxyUsername, user.c_str(),
                                 static_cast<std::uint32_t>((user.size() + 1) * 2)));
  ASSERT_TRUE(client.t.SetOption(client.request, wh::kOptionProxyPassword, password.c_str(),
                                 static_cast<std::uint32_t>((password.size() + 1) * 2)));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  EXPECT_NE(client.Body().find("tinyproxy"), std::string::npos);

  ASSERT_TRUE(client.Open(server.port, u"POST", u"/echo"));
  ASSERT_TRUE(client.t.SetCredentials(client.request, wh::kAuthTargetProxy, wh::kAuthSchemeBasic,
                                      u"tester", u"s3cret", nullptr));
  ASSERT_TRUE(client.Send("body"));
  EXPECT_EQ(client.Status(), 200);
  EXPECT_EQ(client.Body().rfind("POST||body|", 0), 0u);

  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  ASSERT_TRUE(client.t.SetCredentials(client.request, wh::kAuthTargetProxy, wh::kAuthSchemeBasic,
                                      u"tester", u"wrong", nullptr));
  ASSERT_TRUE(client.Send());
  // tinyproxy refuses wrong credentials with 401 (and missing ones with 407).
  EXPECT_TRUE(client.Status() == 401 || client.Status() == 407) << client.Status();
}

TEST_F(TransportTls, HttpsThroughAnAuthenticatingProxyTunnel) {
  LocalServer<httplib::SSLServer> server(Cert().c_str(), Key().c_str());
  AddRoutes(server.server);
  server.Start();
  Tinyproxy proxy("tester s3cret");
  ASSERT_TRUE(proxy.ready);
  Client client;
  UseProxy(client, proxy.port);
  // The proxy's refusal of the tunnel is the response.
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo", true));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 407);
  EXPECT_EQ(client.Query(wh::kQueryStatusText), "Proxy Authentication Required");
  EXPECT_EQ(client.Body(), "");
  // With credentials the tunnel's own reply is not part of the response.
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo", true));
  ASSERT_TRUE(
      client.SetOption32(client.request, wh::kOptionSecurityFlags, wh::kSecurityFlagsIgnoreAll));
  ASSERT_TRUE(client.t.SetCredentials(client.request, wh::kAuthTargetProxy, wh::kAuthSchemeBasic,
                                      u"tester", u"s3cret", nullptr));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  std::string headers = client.Query(wh::kQueryRawHeadersCrlf);
  EXPECT_EQ(headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << headers;
  EXPECT_EQ(headers.find("onnection established"), std::string::npos) << headers;
  EXPECT_EQ(client.Body(), "GET|||");
}

TEST(TransportProxy, EnvironmentProxyIsNeverUsed) {
  LocalServer<> server;
  AddRoutes(server.server);
  server.Start();
  const int dead = testing::UnusedPort();
  const std::string bogus = "http://127.0.0.1:" + std::to_string(dead);
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    ::setenv(name, bogus.c_str(), 1);
  }
  Client client;
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/echo"));
  bool sent = client.Send();
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    ::unsetenv(name);
  }
  ASSERT_TRUE(sent) << client.error;
  EXPECT_EQ(client.Body(), "GET|||");
}

TEST(TransportAuth, BasicServerCredentials) {
  LocalServer<> server;
  server.server.Get("/secret", [](const httplib::Request& req, httplib::Response& res) {
    // "user:pass" in base64.
    if (req.get_header_value("Authorization") == "Basic dXNlcjpwYXNz") {
      res.set_content("granted", "text/plain");
    } else {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"t\"");
      res.set_content("denied", "text/plain");
    }
  });
  server.Start();
  Client client;
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/secret"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 401);
  EXPECT_EQ(client.Body(), "denied");
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/secret"));
  ASSERT_TRUE(client.t.SetCredentials(client.request, wh::kAuthTargetServer, wh::kAuthSchemeBasic,
                                      u"user", u"pass", nullptr));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  EXPECT_EQ(client.Body(), "granted");
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/secret"));
  ASSERT_TRUE(client.t.SetCredentials(client.request, wh::kAuthTargetServer, wh::kAuthSchemeBasic,
                                      u"user", u"nope", nullptr));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 401);
  EXPECT_EQ(client.Body(), "denied");
}

TEST(TransportAuth, DigestChallengeIsAnsweredAndNotTheResponse) {
  RawServer server([](int fd) {
    for (;;) {
      std::string request = ReadRequest(fd, 2000);
      if (request.empty()) return;
      if (request.find("\r\nAuthorization: Digest username=\"user\"") != std::string::npos) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\ngranted");
      } else {
        SendAll(fd,
                "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"t\", "
                "nonce=\"abc\", qop=\"auth\"\r\nContent-Length: 6\r\n\r\ndenied");
      }
    }
  });
  Client client;
  ASSERT_TRUE(client.Open(server.port(), u"POST", u"/digest"));
  ASSERT_TRUE(client.t.SetCredentials(client.request, wh::kAuthTargetServer, wh::kAuthSchemeDigest,
                                      u"user", u"pass", nullptr));
  ASSERT_TRUE(client.Send("form=1"));
  EXPECT_EQ(client.Status(), 200);
  EXPECT_EQ(client.Query(wh::kQueryRawHeadersCrlf), "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n");
  EXPECT_EQ(client.Body(), "granted");
}

// A server that answers nothing, or only part of a body, until it is stopped.
void StallAfter(int fd, const std::string& bytes) {
  ReadRequest(fd);
  SendAll(fd, bytes);
  char byte;
  while (::recv(fd, &byte, 1, 0) > 0) {
  }
}

TEST(TransportCancel, FromASecondThreadStopsABlockedCallAndTheSessionGoesOn) {
  RawServer silent([](int fd) { StallAfter(fd, ""); });
  RawServer partial(
      [](int fd) { StallAfter(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nhalf"); });
  LocalServer<> good;
  AddRoutes(good.server);
  good.Start();
  Client client;
  ASSERT_TRUE(client.t.SetTimeouts(client.session, 60000, 60000, 60000, 60000));

  const auto cancel_soon = [&] {
    return std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      client.t.Cancel(client.session);
    });
  };
  // Blocked waiting for the response.
  ASSERT_TRUE(client.Open(silent.port(), u"GET", u"/"));
  auto start = std::chrono::steady_clock::now();
  std::thread canceller = cancel_soon();
  EXPECT_FALSE(client.Send());
  canceller.join();
  EXPECT_EQ(client.error, wh::kErrorOperationCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // hang guard
  // Calls on the cancelled exchange keep failing the same way.
  EXPECT_EQ(client.t.ReceiveResponse(client.request, nullptr), 0);
  EXPECT_EQ(client.t.LastError(), wh::kErrorOperationCancelled);

  // Blocked reading the body.
  ASSERT_TRUE(client.Open(partial.port(), u"GET", u"/"));
  ASSERT_TRUE(client.Send());
  canceller = cancel_soon();
  bool ok = true;
  EXPECT_EQ(client.Body(&ok), "half");
  canceller.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(client.error, wh::kErrorOperationCancelled);

  // The session works again.
  ASSERT_TRUE(client.Open(good.port, u"GET", u"/echo"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "GET|||");

  // A cancel while nothing is in flight stops the next blocking call only.
  client.t.Cancel(client.session);
  ASSERT_TRUE(client.Open(good.port, u"GET", u"/echo"));
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(client.error, wh::kErrorOperationCancelled);
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "GET|||");
}

TEST(TransportThreads, SessionsOnSeveralThreadsAtOnce) {
  LocalServer<> server;
  AddRoutes(server.server);
  server.Start();
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      Client client;
      for (int k = 0; k < 5; ++k) {
        if (client.Open(server.port, u"GET", u"/start") && client.Send() &&
            client.Body() == "GET|hop=1||") {
          ++good;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, 20);
}

}  // namespace
}  // namespace textrill
