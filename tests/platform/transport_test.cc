// The libcurl transport against real servers on 127.0.0.1: what goes on the
// wire, what the header queries give, body streaming, and the error numbers.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/http_transport.h"
#include "tests/platform/test_servers.h"
#include "tests/platform/transport_client.h"

namespace textrill {
namespace {

namespace wh = winhttp;
using testing::Client;
using testing::LocalServer;
using testing::RawServer;
using testing::ReadRequest;
using testing::SendAll;
using testing::Wide;

// A raw server that records each request and answers with `reply`.
struct RecordingServer {
  explicit RecordingServer(std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
      : reply_(std::move(reply)), raw([this](int fd) {
          for (;;) {
            std::string request = ReadRequest(fd, 2000);
            if (request.empty()) return;
            {
              std::lock_guard lock(mutex);
              requests.push_back(request);
            }
            SendAll(fd, reply_);
          }
        }) {}
  std::string Last() {
    std::lock_guard lock(mutex);
    return requests.empty() ? std::string() : requests.back();
  }
  std::string reply_;
  std::mutex mutex;
  std::vector<std::string> requests;
  RawServer raw;
};

std::string HostLine(int port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

TEST(TransportWire, GetAndPostCarryOnlyTheCallersAndWinHttpsHeaders) {
  RecordingServer server;
  const int port = server.raw.port();
  Client client(u"Agent/1.0");
  ASSERT_TRUE(client.Open(port, u"GET", u"/path/x?q=1&r=%20"));
  ASSERT_TRUE(client.AddHeaders("Accept:*/*\r\nX-One:1", wh::kAddReqFlagAdd));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  EXPECT_EQ(client.Body(), "ok");
  EXPECT_EQ(server.Last(), "GET /path/x?q=1&r=%20 HTTP/1.1\r\n" + HostLine(port) +
                               "User-Agent: Agent/1.0\r\n"
                               "Accept: */*\r\n"
                               "X-One: 1\r\n"
                               "Connection: Keep-Alive\r\n\r\n");

  std::string body("a=1&b=\0x", 8);  // a zero byte is sent like any other
  ASSERT_TRUE(client.Open(port, u"POST", u"/form"));
  ASSERT_TRUE(
      client.AddHeaders("Content-Type:application/x-www-form-urlencoded", wh::kAddReqFlagAdd));
  ASSERT_TRUE(client.Send(body));
  EXPECT_EQ(server.Last(), "POST /form HTTP/1.1\r\n" + HostLine(port) +
                               "User-Agent: Agent/1.0\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\n"
                               "Connection: Keep-Alive\r\n"
                               "Content-Length: 8\r\n\r\n" +
                               body);

  // An empty POST still says how long its body is; a caller's User-Agent wins.
  ASSERT_TRUE(client.Open(port, u"POST", u"/empty"));
  ASSERT_TRUE(client.AddHeaders("User-Agent:Mine", wh::kAddReqFlagAdd));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(server.Last(), "POST /empty HTTP/1.1\r\n" + HostLine(port) +
                               "User-Agent: Mine\r\n"
                               "Connection: Keep-Alive\r\n"
                               "Content-Length: 0\r\n\r\n");

  // A large body goes without "Expect: 100-continue"; other verbs send a body too.
  std::string big(2 << 20, 'z');
  ASSERT_TRUE(client.Open(port, u"PUT", u"/big"));
  ASSERT_TRUE(client.Send(big));
  std::string last = server.Last();
  EXPECT_EQ(last.find("Expect"), std::string::npos);
  EXPECT_NE(last.find("PUT /big HTTP/1.1\r\n"), std::string::npos);
  EXPECT_NE(last.find("Content-Length: 2097152\r\n"), std::string::npos);
  EXPECT_EQ(last.size() - last.find("\r\n\r\n") - 4, big.size());
}

TEST(TransportWire, HeaderModifiers) {
  RecordingServer server;
  const int port = server.raw.port();
  Client client;
  ASSERT_TRUE(client.Open(port, u"GET", u"/"));
  // Several lines in one call are separate headers.
  ASSERT_TRUE(client.AddHeaders("A:1\r\nB:2\r\nC:3\r\nD:4", wh::kAddReqFlagAdd));
  // Add-if-new leaves an existing header alone (and says so).
  EXPECT_FALSE(client.AddHeaders("a:changed", wh::kAddReqFlagAddIfNew));
  EXPECT_EQ(client.t.LastError(), wh::kErrorHeaderAlreadyExists);
  EXPECT_TRUE(client.AddHeaders("E:5", wh::kAddReqFlagAddIfNew));
  // Replace changes the value; with an empty value it removes the header.
  EXPECT_TRUE(client.AddHeaders("B:two", wh::kAddReqFlagReplace));
  EXPECT_TRUE(client.AddHeaders("C:", wh::kAddReqFlagReplace));
  // Add|replace adds or replaces; with an empty value it sends the bare name.
  EXPECT_TRUE(client.AddHeaders("D:four", wh::kAddReqFlagAdd | wh::kAddReqFlagReplace));
  EXPECT_TRUE(client.AddHeaders("F:", wh::kAddReqFlagAdd | wh::kAddReqFlagReplace));
  // Removing a header sent by default keeps it off the wire.
  EXPECT_TRUE(client.AddHeaders("User-Agent:", wh::kAddReqFlagReplace));
  EXPECT_TRUE(client.AddHeaders("Connection:", wh::kAddReqFlagReplace));
  // Replacing or removing a header that is not there fails; Host stays.
  EXPECT_FALSE(client.AddHeaders("G:7", wh::kAddReqFlagReplace));
  EXPECT_EQ(client.t.LastError(), wh::kErrorHeaderNotFound);
  EXPECT_FALSE(client.AddHeaders("Host:", wh::kAddReqFlagReplace));
  EXPECT_EQ(client.t.LastError(), wh::kErrorHeaderNotFound);
  // Malformed lines change nothing.
  EXPECT_FALSE(client.AddHeaders("no colon", wh::kAddReqFlagAdd));
  EXPECT_FALSE(client.AddHeaders("Bad Name:1", wh::kAddReqFlagAdd));
  EXPECT_FALSE(client.AddHeaders("H:1\rI:2", wh::kAddReqFlagAdd));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(server.Last(), "GET / HTTP/1.1\r\n" + HostLine(port) +
                               "A: 1\r\nB: two\r\nD: four\r\nE: 5\r\nF:\r\n\r\n");
}

TEST(TransportHeaders, RawBlockStatusAndReasonOfTheFinalResponse) {
  RawServer server([](int fd) {
    ReadRequest(fd);
    SendAll(fd,
            "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
            "HTTP/1.1 299 Fine Thank  You\r\nX-A: 1\r\nX-B:two\r\nSet-Cookie: c=1; Path=/\r\n"
            "Content-Length: 4\r\n\r\nbody");
  });
  Client client;
  ASSERT_TRUE(client.Open(server.port(), u"GET", u"/"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Query(wh::kQueryRawHeadersCrlf),
            "HTTP/1.1 299 Fine Thank  You\r\nX-A: 1\r\nX-B:two\r\nSet-Cookie: c=1; Path=/\r\n"
            "Content-Length: 4\r\n\r\n");
  EXPECT_EQ(client.Query(wh::kQueryStatusCode), "299");
  EXPECT_EQ(client.Query(wh::kQueryStatusText), "Fine Thank  You");

  // The size query: bytes needed with the terminator, then the text fits.
  std::uint32_t size = 0;
  EXPECT_EQ(
      client.t.QueryHeaders(client.request, wh::kQueryStatusCode, nullptr, nullptr, &size, nullptr),
      0);
  EXPECT_EQ(client.t.LastError(), wh::kErrorInsufficientBuffer);
  EXPECT_EQ(size, 8u);
  char16_t small[3];
  size = sizeof small;
  EXPECT_EQ(
      client.t.QueryHeaders(client.request, wh::kQueryStatusCode, nullptr, small, &size, nullptr),
      0);
  EXPECT_EQ(size, 8u);
  char16_t fits[4];
  size = sizeof fits;
  ASSERT_EQ(
      client.t.QueryHeaders(client.request, wh::kQueryStatusCode, nullptr, fits, &size, nullptr),
      1);
  EXPECT_EQ(std::u16string(fits), u"299");
  EXPECT_EQ(size, 6u);
  // A header by name, and the status as a number.
  char16_t value[16];
  size = sizeof value;
  ASSERT_TRUE(
      client.t.QueryHeaders(client.request, wh::kQueryCustom, u"x-b", value, &size, nullptr));
  EXPECT_EQ(std::u16string(value), u"two");
  std::uint32_t number = 0;
  size = sizeof number;
  ASSERT_TRUE(client.t.QueryHeaders(client.request, wh::kQueryStatusCode | wh::kQueryFlagNumber,
                                    nullptr, &number, &size, nullptr));
  EXPECT_EQ(number, 299u);
  EXPECT_EQ(client.Body(), "body");
}

TEST(TransportHeaders, QueriesBeforeAResponseFail) {
  Client client;
  ASSERT_TRUE(client.Open(testing::UnusedPort(), u"GET", u"/"));
  std::uint32_t size = 123;
  EXPECT_EQ(client.t.QueryHeaders(client.request, wh::kQueryRawHeadersCrlf, nullptr, nullptr, &size,
                                  nullptr),
            0);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(client.t.ReceiveResponse(client.request, nullptr), 0);
  std::uint32_t available = 0;
  EXPECT_EQ(client.t.QueryDataAvailable(client.request, &available), 0);
}

TEST(TransportBody, ChunkedAndContentLengthBodies) {
  LocalServer<> server;
  std::string pattern;
  for (int i = 0; i < 300000; ++i) pattern += static_cast<char>('a' + i % 26);
  server.server.Get("/length", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(pattern, "application/octet-stream");
  });
  server.server.Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider(
        "text/plain", [&](std::size_t offset, httplib::DataSink& sink) {
          if (offset >= pattern.size()) {
            sink.done();
            return true;
          }
          sink.write(pattern.data() + offset, std::min<std::size_t>(7777, pattern.size() - offset));
          return true;
        });
  });
  server.server.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("", "text/plain");
  });
  server.Start();
  Client client;
  for (std::u16string path : {u"/length", u"/chunked"}) {
    ASSERT_TRUE(client.Open(server.port, u"GET", path));
    ASSERT_TRUE(client.Send());
    EXPECT_EQ(client.Status(), 200);
    bool ok = false;
    EXPECT_EQ(client.Body(&ok), pattern);
    EXPECT_TRUE(ok);
  }
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/empty"));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Body(), "");
  // HEAD gets the headers and no body.
  ASSERT_TRUE(client.Open(server.port, u"HEAD", u"/length"));
  ASSERT_TRUE(client.Send());
  EXPECT_NE(client.Query(wh::kQueryRawHeadersCrlf).find("Content-Length: 300000"),
            std::string::npos);
  EXPECT_EQ(client.Body(), "");
}

TEST(TransportBody, SendingAgainStartsAFreshExchange) {
  LocalServer<> server;
  std::atomic<int> count{0};
  server.server.Post("/n", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.body + std::to_string(++count), "text/plain");
  });
  server.Start();
  Client client;
  ASSERT_TRUE(client.Open(server.port, u"POST", u"/n"));
  ASSERT_TRUE(client.Send("x"));
  EXPECT_EQ(client.Body(), "x1");
  ASSERT_TRUE(client.Send("y"));  // after the body was read
  EXPECT_EQ(client.Body(), "y2");
  ASSERT_TRUE(client.Send("z"));  // before the body is read
  ASSERT_TRUE(client.Send("w"));
  EXPECT_EQ(client.Body(), "w4");
}

// Reads a value of /proc/self/status ("VmRSS", "VmHWM") in KiB.
long ProcStatusKiB(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return 0;
}

TEST(TransportBody, LargeBodyIsStreamedWithBoundedMemory) {
  constexpr std::size_t kBody = 64u << 20;
  LocalServer<> server;
  std::string block(64 * 1024, 'b');
  server.server.Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(kBody, "application/octet-stream",
                             [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               sink.write(block.data(), std::min(length, block.size()));
                               (void)offset;
                               return true;
                             });
  });
  server.Start();
  Client client;
  ASSERT_TRUE(client.Open(server.port, u"GET", u"/big"));
  ASSERT_TRUE(client.Send());
  std::vector<char> chunk(1 << 20);
  std::size_t total = 0;
  long baseline = ProcStatusKiB("VmRSS");
  long peak = baseline;
  for (;;) {
    std::uint32_t available = 0;
    ASSERT_EQ(client.t.QueryDataAvailable(client.request, &available), 1);
    // The transport never holds more than its bounded buffer plus one chunk.
    ASSERT_LE(available, (1u << 20) + (256u << 10));
    if (available == 0) break;
    std::uint32_t read = 0;
    ASSERT_TRUE(client.t.ReadData(client.request, chunk.data(), 1 << 20, &read));
    total += read;
    if (total % (8u << 20) < read) peak = std::max(peak, ProcStatusKiB("VmRSS"));
  }
  EXPECT_EQ(total, kBody);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Resident memory does not grow with the body (64 MiB went through).
  EXPECT_LT(peak - baseline, 16 * 1024) << "KiB";
#endif
}

TEST(TransportErrors, RefusedPortGivesCannotConnect) {
  Client client;
  ASSERT_TRUE(client.Open(testing::UnusedPort(), u"GET", u"/"));
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(client.error, wh::kErrorCannotConnect);
}

TEST(TransportErrors, UnknownHostGivesNameNotResolved) {
  Client client;
  HttpHandle connection = client.t.Connect(client.session, u"no-such-host.invalid", 80, 0);
  ASSERT_NE(connection, 0u);
  client.connection = connection;
  client.request = client.t.OpenRequest(connection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
  EXPECT_FALSE(client.Send());
  EXPECT_EQ(client.error, wh::kErrorNameNotResolved);
}

TEST(TransportErrors, ServerClosingMidBodyBreaksTheConnection) {
  RawServer server([](int fd) {
    ReadRequest(fd);
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'x'));
  });
  Client client;
  ASSERT_TRUE(client.Open(server.port(), u"GET", u"/"));
  ASSERT_TRUE(client.Send());
  bool ok = true;
  EXPECT_EQ(client.Body(&ok).size(), 1000u);  // what came is kept
  EXPECT_FALSE(ok);
  EXPECT_EQ(client.error, wh::kErrorConnectionError);
}

TEST(TransportErrors, SilentServerTimesOutWithinTheReceiveTimeout) {
  RawServer server([](int fd) {
    ReadRequest(fd);
    char byte;
    ::recv(fd, &byte, 1, 0);  // until the client goes away or the server stops
  });
  Client client;
  ASSERT_TRUE(client.t.SetTimeouts(client.session, 1000, 1000, 1000, 300));
  ASSERT_TRUE(client.Open(server.port(), u"GET", u"/"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Send());
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(client.error, wh::kErrorTimeout);
  EXPECT_LT(elapsed, std::chrono::seconds(5));  // a hang guard, not a speed test

  // A body that stops coming times out the same way.
  RawServer stalling([](int fd) {
    ReadRequest(fd);
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    char byte;
    ::recv(fd, &byte, 1, 0);
  });
  ASSERT_TRUE(client.Open(stalling.port(), u"GET", u"/"));
  ASSERT_TRUE(client.Send());
  bool ok = true;
  EXPECT_EQ(client.Body(&ok), "abc");
  EXPECT_FALSE(ok);
  EXPECT_EQ(client.error, wh::kErrorTimeout);
}

TEST(TransportErrors, MisbehavingServersGiveAnErrorOrAShortBody) {
  // `error` is what the send fails with; 0 when the send succeeds and the body
  // is short, cut (`body_error`) or empty.
  struct Case {
    const char* name;
    std::string reply;
    std::uint32_t error;
    std::uint32_t body_error;
  };
  const Case cases[] = {
      {"garbage", "this is not HTTP at all\r\n\r\n", wh::kErrorInvalidServerResponse, 0},
      {"binary", std::string("\x00\x01\x02\xff\xfe", 5), wh::kErrorInvalidServerResponse, 0},
      {"nothing", "", wh::kErrorConnectionError, 0},
      {"status only", "HTTP/1.1 200 OK\r\n", wh::kErrorInvalidServerResponse, 0},
      {"huge header line", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'h') + "\r\n\r\n",
       wh::kErrorInvalidServerResponse, 0},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabc",
       wh::kErrorInvalidServerResponse, 0},
      {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nabc", 0,
       0},
      {"bad chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n", 0,
       wh::kErrorConnectionError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer server([&](int fd) {
      ReadRequest(fd);
      SendAll(fd, c.reply);
    });
    Client client;
    ASSERT_TRUE(client.t.SetTimeouts(client.session, 2000, 2000, 2000, 2000));
    ASSERT_TRUE(client.Open(server.port(), u"GET", u"/"));
    bool sent = client.Send();
    EXPECT_EQ(sent, c.error == 0);
    if (!sent) {
      EXPECT_EQ(client.error, c.error);
      continue;
    }
    bool ok = true;
    std::string body = client.Body(&ok);
    EXPECT_LE(body.size(), 3u);
    EXPECT_EQ(ok, c.body_error == 0);
    if (!ok) {
      EXPECT_EQ(client.error, c.body_error);
    }
  }
}

TEST(TransportConnections, TwoRequestsToOneHostShareOneConnection) {
  LocalServer<> server;
  std::mutex mutex;
  std::set<int> remote_ports;
  server.server.Get("/", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mutex);
    remote_ports.insert(req.remote_port);
    res.set_content("x", "text/plain");
  });
  server.Start();
  Client client;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.Open(server.port, u"GET", u"/"));
    ASSERT_TRUE(client.Send());
    EXPECT_EQ(client.Body(), "x");
  }
  std::lock_guard lock(mutex);
  EXPECT_EQ(remote_ports.size(), 1u);
}

TEST(TransportHandles, BadHandlesAndArgumentsFail) {
  HttpTransport& t = DefaultHttpTransport();
  EXPECT_EQ(t.CloseHandle(0), 0);
  EXPECT_EQ(t.LastError(), wh::kErrorInvalidHandle);
  EXPECT_EQ(t.Connect(0, u"127.0.0.1", 80, 0), 0u);
  EXPECT_EQ(t.SendRequest(12345678, nullptr, 0, nullptr, 0, 0, 0), 0);
  Client client;
  EXPECT_EQ(client.t.Connect(client.session, u"", 80, 0), 0u);
  EXPECT_EQ(client.t.Connect(client.session, u"bad host", 80, 0), 0u);
  EXPECT_EQ(client.t.Connect(client.session, u"a/b", 80, 0), 0u);
  // A request handle where a session is needed, and the other way round.
  ASSERT_TRUE(client.Open(testing::UnusedPort(), u"GET", u"/"));
  EXPECT_EQ(client.t.Connect(client.request, u"127.0.0.1", 80, 0), 0u);
  EXPECT_EQ(client.t.LastError(), wh::kErrorIncorrectHandleType);
  std::uint32_t value = wh::kDisableCookies;
  EXPECT_EQ(client.t.SetOption(client.session, wh::kOptionDisableFeature, &value, 4), 0);
  EXPECT_EQ(client.t.LastError(), wh::kErrorIncorrectHandleType);
  // Unknown options, wrong sizes, unknown credentials schemes.
  EXPECT_EQ(client.t.SetOption(client.session, 77, &value, 4), 0);
  EXPECT_EQ(client.t.LastError(), wh::kErrorInvalidOption);
  EXPECT_EQ(client.t.SetOption(client.request, wh::kOptionSecurityFlags, &value, 2), 0);
  EXPECT_EQ(client.t.SetCredentials(client.request, wh::kAuthTargetServer, wh::kAuthSchemePassport,
                                    u"u", u"p", nullptr),
            0);
  EXPECT_EQ(client.t.SetCredentials(client.request, 7, wh::kAuthSchemeBasic, u"u", u"p", nullptr),
            0);
  EXPECT_EQ(
      client.t.OpenRequest(client.connection, u"BAD VERB", u"/", nullptr, nullptr, nullptr, 0), 0u);
  // A body whose total length differs from what is given.
  EXPECT_EQ(client.t.SendRequest(client.request, nullptr, 0, "ab", 2, 5, 0), 0);
  EXPECT_EQ(client.t.LastError(), wh::kErrorInvalidParameter);
}

TEST(TransportHandles, ClosingTheSessionFirstIsSafe) {
  HttpTransport& t = DefaultHttpTransport();
  HttpHandle session = t.Open(u"x", wh::kAccessTypeNoProxy, nullptr, nullptr, 0);
  HttpHandle connection = t.Connect(session, u"127.0.0.1", 9, 0);
  HttpHandle request = t.OpenRequest(connection, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
  ASSERT_NE(request, 0u);
  EXPECT_EQ(t.CloseHandle(session), 1);
  EXPECT_EQ(t.SendRequest(request, nullptr, 0, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(t.LastError(), wh::kErrorIncorrectHandleState);
  EXPECT_EQ(t.CloseHandle(connection), 1);
  EXPECT_EQ(t.CloseHandle(request), 1);
  EXPECT_EQ(t.CloseHandle(request), 0);
}

}  // namespace
}  // namespace textrill
