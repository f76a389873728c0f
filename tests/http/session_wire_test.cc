// HttpSession over the process's libcurl transport against loopback servers:
// what goes on the wire, its own redirect following, the cookie jar and the
// system cookie store with real Set-Cookie responses, certificates, hostile
// responses, and cancelling from a second thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/http_session.h"
#include "platform/cookie_store.h"
#include "tests/platform/test_servers.h"

namespace textrill {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::LocalServer;
using ::testing::Not;
using testing::RawServer;
using testing::ReadRequest;
using testing::SendAll;

std::string Base(int port) { return "http://127.0.0.1:" + std::to_string(port); }

// A server that answers each request, on kept-alive connections, with the
// next scripted response (the last one again when the script runs out) and
// records the requests it read.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<std::string> script)
      : script_(std::move(script)), raw_([this](int fd) { Serve(fd); }) {}

  int port() const { return raw_.port(); }
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Serve(int fd) {
    for (;;) {
      const std::string request = ReadRequest(fd);
      if (request.empty()) return;
      std::string response;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        response = script_[std::min(next_, script_.size() - 1)];
        ++next_;
      }
      SendAll(fd, response);
    }
  }

  std::mutex mutex_;
  std::vector<std::string> script_;
  std::size_t next_ = 0;
  std::vector<std::string> requests_;
  RawServer raw_;
};

// The header lines of a recorded request, in the order sent, without the
// request line.
std::vector<std::string> HeaderLines(const std::string& request) {
  std::vector<std::string> lines;
  std::size_t start = request.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    const std::size_t end = request.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    lines.push_back(request.substr(start, end - start));
    start = end;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const char kAgentLine[] = "User-Agent: Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.2)";

TEST(SessionWire, DefaultRequestsOnTheWire) {
  ScriptedServer server({kOk});
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());
  HttpSession session;
  ASSERT_TRUE(session.Open("GET", Base(server.port()) + "/pic?x=1"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "ok");
  ASSERT_TRUE(session.Open("post", Base(server.port()) + "/aidemo"));
  ASSERT_TRUE(session.SendText("type=webimage&image_url="));
  EXPECT_EQ(session.StatusCode(), 200);
  EXPECT_EQ(session.StatusText(), "OK");
  ASSERT_TRUE(session.Open("POST", Base(server.port()) + "/empty"));
  ASSERT_TRUE(session.SendText(""));

  const std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /pic?x=1 HTTP/1.1");
  EXPECT_THAT(HeaderLines(requests[0]),
              ElementsAre("Accept-Language: zh-cn", "Accept: */*", "Cache-Control: no-cache",
                          "Connection: Keep-Alive", host, kAgentLine));
  EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "POST /aidemo HTTP/1.1");
  EXPECT_THAT(HeaderLines(requests[1]),
              ElementsAre("Accept-Language: zh-cn", "Accept: */*", "Cache-Control: no-cache",
                          "Connection: Keep-Alive", "Content-Length: 24",
                          "Content-Type: application/x-www-form-urlencoded", host, kAgentLine));
  EXPECT_THAT(requests[1], ::testing::EndsWith("\r\n\r\ntype=webimage&image_url="));
  EXPECT_THAT(HeaderLines(requests[2]),
              ElementsAre("Accept-Language: zh-cn", "Accept: */*", "Cache-Control: no-cache",
                          "Connection: Keep-Alive", "Content-Length: 0",
                          "Content-Type: application/x-www-form-urlencoded", host, kAgentLine));
}

TEST(SessionWire, OwnRedirectChainEndsAfterTwentyHops) {
  std::atomic<int> hits{0};
  LocalServer<> server;
  auto self = [&](const httplib::Request&, httplib::Response& res) {
    ++hits;
    res.set_redirect("/self", 302);
  };
  server.server.Get("/self", self);
  server.server.Post("/self", self);
  server.Start();
  HttpSession session;
  session.SetCookieMode(1);
  ASSERT_TRUE(session.Open("POST", Base(server.port) + "/self"));
  EXPECT_TRUE(session.SendText("a=1"));
  EXPECT_EQ(hits.load(), 21);  // the request and 20 hops
  EXPECT_EQ(session.redirect_count, 0);
  EXPECT_EQ(session.StatusCode(), 302);
  EXPECT_EQ(session.RedirectLocation(), "/self");
  // The next chain counts from 0 again.
  hits = 0;
  ASSERT_TRUE(session.Open("GET", Base(server.port) + "/self"));
  EXPECT_TRUE(session.SendText());
  EXPECT_EQ(hits.load(), 21);
}

TEST(SessionWire, LocationsMadeAbsolute) {
  struct Case {
    const char* path;
    const char* line;
    std::string absolute;
    const char* relative;
  };
  // Filled in with the server's port below.
  std::vector<Case> cases = {
      {"/a/b.html", "Location: /c?x=1", "/c?x=1", "/c?x=1"},
      {"/a/b.html", "location:   d.html", "/a/d.html", "d.html"},
      {"/a/b.html", "Location: HTTPS://k/e", "HTTPS://k/e", "HTTPS://k/e"},
      {"/a/b.html", "Location:", "", ""},
      {"", "Location: d.html", "/d.html", "d.html"},
  };
  std::vector<std::string> script;
  for (const Case& c : cases) {
    script.push_back(std::string("HTTP/1.1 302 Found\r\n") + c.line +
                     "\r\nContent-Length: 0\r\n\r\n");
  }
  ScriptedServer server(script);
  HttpSession session;
  session.SetRedirectsAllowed(0);  // nobody follows: the 302 is the response
  for (Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(session.Open("GET", Base(server.port()) + c.path));
    ASSERT_TRUE(session.SendText());
    EXPECT_EQ(session.StatusCode(), 302);
    std::string expected = c.absolute;
    if (expected == "/c?x=1") {
      expected = "http://127.0.0.1:" + std::to_string(server.port()) + expected;
    } else if (!expected.empty() && expected[0] == '/') {
      expected = Base(server.port()) + expected;
    }
    EXPECT_EQ(session.RedirectLocation(1), expected);
    EXPECT_EQ(session.RedirectLocation(), c.relative);
  }
}

TEST(SessionWire, CookieJarWorkedExample) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
  ScriptedServer server({
      head + "Set-Cookie: sid=abc; path=/\r\nSet-Cookie: lang=zh; expires=Wed, 09 Jun 2027 "
             "10:18:14 GMT\r\n\r\n",                      // 1
      head + "\r\n",                                      // 2
      head + "Set-Cookie: sid=xyz; path=/\r\n\r\n",       // 3
      head + "Set-Cookie: lang=deleted; path=/\r\n\r\n",  // 5 (kept)
      head + "Set-Cookie: lang=deleted; path=/\r\n\r\n",  // 4
      head + "Set-Cookie: sid=; path=/\r\n\r\n",          // 7 (kept)
      head + "Set-Cookie: sid=; path=/\r\n\r\n",          // 6
  });
  HttpSession session;
  session.SetCookieMode(1);
  auto exchange = [&](int keep) {
    ASSERT_TRUE(session.Open("GET", Base(server.port()) + "/jar"));
    ASSERT_TRUE(session.SendText(std::nullopt, keep));
  };
  exchange(0);
  EXPECT_EQ(session.cookie_jar, "; sid=abc; lang=zh; ");
  EXPECT_EQ(session.cookie_jar_length, 20);
  exchange(0);
  EXPECT_THAT(server.requests()[1], HasSubstr("\r\nCookie: sid=abc; lang=zh\r\n"));
  EXPECT_THAT(server.requests()[0], HasSubstr("\r\nCookie:\r\n"));  // the empty jar
  exchange(0);
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; lang=zh; ");
  EXPECT_EQ(session.cookie_jar_length, 20);
  exchange(1);
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; lang=zh; ");
  exchange(0);
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; ");
  EXPECT_EQ(session.cookie_jar_length, 11);
  exchange(1);
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; ");
  exchange(0);
  EXPECT_EQ(session.cookie_jar, "; sid=; ");
  EXPECT_EQ(session.cookie_jar_length, 8);
  EXPECT_TRUE(session.AddJarCookies("a=1; sid=q"));
  EXPECT_EQ(session.cookie_jar, "; sid=q; a=1; ");
  EXPECT_EQ(session.cookie_jar_length, 14);
  EXPECT_EQ(session.JarCookie("sid"), "q");
  EXPECT_EQ(session.JarCookie("sid", 1), "sid=q");
  EXPECT_TRUE(session.RemoveJarCookies("sid"));
  EXPECT_EQ(session.cookie_jar, "; a=1; ");
  EXPECT_EQ(session.cookie_jar_length, 7);
  EXPECT_EQ(session.CookieJar("k=v; x=y"), "k=v; x=y");
  EXPECT_EQ(session.cookie_jar_length, 12);
  EXPECT_EQ(session.CookieJar(), "k=v; x=y");
  EXPECT_EQ(session.cookie_jar, "; k=v; x=y; ");
}

TEST(SessionWire, SystemStoreModeStoresAndSends) {
  LocalServer<> server;
  server.server.Get("/wire-store/set", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "k=v; path=/");
    res.set_content("set", "text/plain");
  });
  server.server.Post("/wire-store/form", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "before=1; path=/");
    res.set_redirect("/wire-store/after", 302);
  });
  server.server.Get("/wire-store/after", [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Set-Cookie", "hop=2; path=/");
    res.set_content(req.get_header_value("Cookie"), "text/plain");
  });
  server.server.Get("/wire-store/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("Cookie"), "text/plain");
  });
  server.Start();
  HttpSession session;
  session.SetCookieMode(2);
  const std::string base = Base(server.port) + "/wire-store/";
  ASSERT_TRUE(session.Open("GET", base + "set"));
  ASSERT_TRUE(session.SendText());
  char text[256] = {};
  std::uint32_t size = sizeof text;
  ASSERT_TRUE(SystemCookieStore().GetCookie((base + "echo").c_str(), "", text, &size));
  EXPECT_STREQ(text, "k=v");
  ASSERT_TRUE(session.Open("GET", base + "echo"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "k=v");
  // A POST answered by a redirect: the hop is a GET, and the Set-Cookie of
  // both responses reach the store.
  ASSERT_TRUE(session.Open("POST", base + "form"));
  ASSERT_TRUE(session.SendText("x=1"));
  EXPECT_EQ(session.StatusCode(), 200);
  EXPECT_EQ(session.ResponseText(), "k=v; before=1");
  ASSERT_TRUE(session.Open("GET", base + "echo"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "k=v; before=1; hop=2");
  EXPECT_TRUE(session.SetSystemCookies("k=; before=; hop="));  // clean up
}

TEST(SessionWire, PostRedirectContinuesAsGetWithTheContentType) {
  ScriptedServer server({
      "HTTP/1.1 302 Found\r\nLocation: /next\r\nSet-Cookie: hop=1; path=/\r\n"
      "Content-Length: 0\r\n\r\n",
      kOk,
  });
  HttpSession session;
  session.SetCookieMode(1);
  ASSERT_TRUE(session.Open("POST", Base(server.port()) + "/form"));
  ASSERT_TRUE(session.SendText("a=1"));
  EXPECT_EQ(session.ResponseText(), "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].substr(0, requests[1].find("\r\n")), "GET /next HTTP/1.1");
  EXPECT_THAT(HeaderLines(requests[1]),
              ::testing::Contains("Content-Type: application/x-www-form-urlencoded"));
  EXPECT_THAT(HeaderLines(requests[1]), ::testing::Contains("Cookie: hop=1"));
  EXPECT_THAT(HeaderLines(requests[1]), Not(::testing::Contains(HasSubstr("Content-Length"))));
  EXPECT_EQ(session.JarCookie("hop"), "1");
}

TEST(SessionWire, BodiesWithAndWithoutLength) {
  std::string body(3000000, '\0');
  for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<char>(k * 131 + (k >> 9));
  LocalServer<> server;
  server.server.Get("/length", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(body, "application/octet-stream");
  });
  server.server.Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider(
        "application/octet-stream", [&](std::size_t offset, httplib::DataSink& sink) {
          const std::size_t n = std::min<std::size_t>(70000, body.size() - offset);
          sink.write(body.data() + offset, n);
          if (offset + n == body.size()) sink.done();
          return true;
        });
  });
  server.server.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("", "text/plain");
  });
  server.Start();
  HttpSession session;
  for (const char* path : {"/length", "/chunked"}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(session.Open("GET", Base(server.port) + path));
    ASSERT_TRUE(session.SendText());
    const std::vector<std::uint8_t> got = session.ResponseBody();
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(std::string(got.begin(), got.end()) == body);
    EXPECT_EQ(session.ResponseBody(), got);
  }
  EXPECT_EQ(session.content_length, -1);
  ASSERT_TRUE(session.Open("GET", Base(server.port) + "/empty"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.content_length, 0);
  EXPECT_TRUE(session.ResponseBody().empty());
}

TEST(SessionWire, ConnectionRefusedIsRetried) {
  HttpSession session;
  const int port = testing::UnusedPort();
  ASSERT_TRUE(session.Open("GET", Base(port) + "/"));
  EXPECT_FALSE(session.SendText(std::nullopt, std::nullopt, 2));
  EXPECT_EQ(session.StatusCode(), 0);
  EXPECT_TRUE(session.ResponseBody().empty());
}

// A self-signed certificate for 127.0.0.1, made with the openssl tool.
class SessionTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testing::MakeCertificateFolder();
    ASSERT_FALSE(dir_.empty());
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
  static inline std::string dir_;
};

TEST_F(SessionTls, CertificatesAreCheckedUnlessTheOverrideIsArmed) {
  LocalServer<httplib::SSLServer> server((dir_ + "/cert.pem").c_str(), (dir_ + "/key.pem").c_str());
  server.server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("secure", "text/plain");
  });
  server.Start();
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port) + "/";
  HttpSession session;
  // The first request of a new session is checked like every other.
  ASSERT_TRUE(session.Open("GET", url));
  EXPECT_FALSE(session.SendText());
  EXPECT_EQ(session.StatusCode(), 0);
  // Armed: the next request goes through, the one after is checked again.
  session.SetIgnoreCertErrorsOnce();
  ASSERT_TRUE(session.Open("GET", url));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "secure");
  ASSERT_TRUE(session.Open("GET", url));
  EXPECT_FALSE(session.SendText());
  session.Reinitialize();
  ASSERT_TRUE(session.Open("GET", url));
  EXPECT_FALSE(session.SendText());
}

TEST(SessionWire, HostileResponsesLeaveTheSessionUsable) {
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int k = 0; k < 3000; ++k) many += "Set-Cookie: c" + std::to_string(k) + "=v\r\n";
  many += "Content-Length: 0\r\n\r\n";
  const std::string hostile[] = {
      "HTTP/1.1 200 OK\r\n\r\n",  // no headers, no length: the body runs to the close
      "HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'x') + "\r\nContent-Length: 0\r\n\r\n",
      many,
      "HTTP/1.1 302 Found\r\nLocation: /" + std::string(100000, 'a') +
          "\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 302 Found\r\nLocation:\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nSet-Cookie: nosemicolon\r\nContent-Length: 0\r\n\r\n",
      "garbage\r\n\r\n",
      "HTTP/1.1 abc\r\n\r\n",
      "",
  };
  ScriptedServer good({kOk});
  for (const std::string& response : hostile) {
    SCOPED_TRACE(response.substr(0, 40));
    // One response per connection, then the server closes it.
    RawServer server([&](int fd) {
      ReadRequest(fd);
      SendAll(fd, response);
    });
    for (int mode : {0, 1}) {
      HttpSession session;
      session.SetCookieMode(mode);
      session.SetTimeouts(5000, 5000, 5000, 5000);
      ASSERT_TRUE(session.Open("GET", Base(server.port()) + "/h"));
      session.SendText();
      session.StatusCode();
      session.StatusText();
      session.ResponseBody();
      session.ResponseCookies();
      session.ResponseCookie("c1");
      session.RedirectLocation(1);
      ASSERT_TRUE(session.Open("GET", Base(good.port()) + "/"));
      ASSERT_TRUE(session.SendText());
      EXPECT_EQ(session.StatusCode(), 200);
      EXPECT_EQ(session.ResponseText(), "ok");
    }
  }
}

// Cancel from a second thread ends a send that waits for a silent server; the
// session works again afterwards. Runs under the thread sanitizer too.
TEST(SessionCancel, CancelEndsABlockedSend) {
  std::atomic<bool> done{false};
  RawServer silent([&](int fd) {
    ReadRequest(fd);
    for (int k = 0; k < 500 && !done; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  ScriptedServer good({kOk});
  HttpSession session;
  ASSERT_TRUE(session.Open("GET", Base(silent.port()) + "/"));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    session.Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(session.SendText());
  const auto waited = std::chrono::steady_clock::now() - start;
  canceller.join();
  done = true;
  EXPECT_LT(waited, std::chrono::seconds(4));
  ASSERT_TRUE(session.Open("GET", Base(good.port()) + "/"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "ok");

  // A cancel with nothing in flight ends at most the next exchange.
  session.Cancel();
  ASSERT_TRUE(session.Open("GET", Base(good.port()) + "/"));
  session.SendText();
  ASSERT_TRUE(session.Open("GET", Base(good.port()) + "/"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "ok");
}

}  // namespace
}  // namespace textrill
