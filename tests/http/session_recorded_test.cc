// HttpSession against the recording transport: the exact transport calls, in
// order, with their arguments, and the fields they leave behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_session.h"
#include "tests/http/recording_transport.h"

namespace textrill {
namespace {

using ::testing::ElementsAre;
using testing::FakeResponse;
using ::testing::IsEmpty;
using testing::RecordingCookieStore;
using testing::RecordingTransport;

constexpr const char* kAgent = "Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.2)";

class RecordedSession : public ::testing::Test {
 protected:
  // Opens `url` and forgets the calls made so far.
  void OpenFresh(const std::optional<std::string>& verb, const std::string& url) {
    ASSERT_TRUE(session.Open(verb, url));
    transport.calls.clear();
  }

  FakeResponse Response(const std::string& headers, std::vector<std::string> chunks = {}) {
    FakeResponse response;
    response.headers = headers;
    response.chunks = std::move(chunks);
    return response;
  }

  RecordingTransport transport;
  RecordingCookieStore store;
  HttpSession session{transport, store};
};

// ---- Lifecycle ----

TEST_F(RecordedSession, FreshObjectHasDefaultsAndTimeouts) {
  EXPECT_THAT(transport.calls, ElementsAre(std::string("Open(\"") + kAgent + "\",1,null,null,0)",
                                           "SetTimeouts(1,10000,15000,120000,300000)"));
  EXPECT_EQ(session.session_handle, 1u);
  EXPECT_EQ(session.connect_handle, 0u);
  EXPECT_EQ(session.request_handle, 0u);
  EXPECT_NE(session.receive_buffer, nullptr);
  EXPECT_EQ(session.receive_buffer_size(), 10240u);
  EXPECT_EQ(session.default_headers_enabled, 1);
  EXPECT_EQ(session.cookie_mode, 0);
  EXPECT_EQ(session.cookie_jar, "; ");
  EXPECT_EQ(session.cookie_jar_length, 2);
  EXPECT_EQ(session.redirects_disabled, 0);
  EXPECT_EQ(session.ignore_cert_errors_once, 0);  // certificates are checked
  EXPECT_EQ(session.content_length, 0);
  EXPECT_EQ(session.url, "");
  EXPECT_EQ(session.StatusCode(), 0);
  EXPECT_EQ(session.StatusText(), "");
  EXPECT_TRUE(session.ResponseBody().empty());
}

TEST_F(RecordedSession, CloseSessionTwiceClosesOnce) {
  OpenFresh("GET", "http://h/a");
  session.SetCookieMode(1);
  session.AddJarCookies("a=1");
  session.CloseSession();
  EXPECT_THAT(transport.calls, ElementsAre("CloseHandle(3)", "CloseHandle(2)", "CloseHandle(1)"));
  EXPECT_EQ(session.session_handle, 0u);
  EXPECT_EQ(session.receive_buffer, nullptr);
  EXPECT_EQ(session.url, "");
  EXPECT_EQ(session.host, "");
  EXPECT_EQ(session.scheme, 1);  // kept
  transport.calls.clear();
  session.CloseSession();
  EXPECT_THAT(transport.calls, IsEmpty());
  // Settings survive; Open fails and leaves url alone.
  EXPECT_EQ(session.cookie_mode, 1);
  EXPECT_EQ(session.cookie_jar, "; a=1; ");
  EXPECT_FALSE(session.Open("GET", "http://h/b"));
  EXPECT_EQ(session.url, "");
  EXPECT_FALSE(session.SetTimeouts());
  EXPECT_THAT(transport.calls, IsEmpty());
}

TEST_F(RecordedSession, ReinitializeReopensAndResets) {
  ASSERT_TRUE(session.Open("POST", "https://h/a"));
  session.SetCookieMode(2);
  session.AddJarCookies("a=1");
  session.CloseSession();
  transport.calls.clear();
  session.Reinitialize("agent");
  EXPECT_THAT(transport.calls, ElementsAre("Open(\"agent\",1,null,null,0)",
                                           "SetTimeouts(4,10000,15000,120000,300000)"));
  EXPECT_EQ(session.session_handle, 4u);
  EXPECT_EQ(session.cookie_mode, 0);
  EXPECT_EQ(session.cookie_jar, "; ");
  EXPECT_EQ(session.cookie_jar_length, 2);
  EXPECT_EQ(session.scheme, 2);
  EXPECT_EQ(session.is_post, 1);
  EXPECT_EQ(session.receive_buffer_size(), 10240u);
  EXPECT_TRUE(session.Open(std::nullopt, "h/x"));
  // An empty agent is an empty agent, not the default one.
  transport.calls.clear();
  session.Reinitialize("");
  EXPECT_EQ(transport.calls[3], "Open(\"\",1,null,null,0)");
}

TEST_F(RecordedSession, SwitchesTakeOmittedAndOutOfRangeValues) {
  struct Case {
    std::optional<int> given;
    int mode;
  };
  for (const Case& c : {Case{std::nullopt, 1}, Case{3, 0}, Case{-1, 0}, Case{2, 2}, Case{0, 0}}) {
    session.SetCookieMode(c.given);
    EXPECT_EQ(session.cookie_mode, c.mode);
  }
  session.SetDefaultHeadersEnabled(0);
  EXPECT_EQ(session.default_headers_enabled, 0);
  session.SetDefaultHeadersEnabled();
  EXPECT_EQ(session.default_headers_enabled, 1);
  session.SetRedirectsAllowed(0);
  EXPECT_EQ(session.redirects_disabled, 1);
  session.SetRedirectsAllowed();
  EXPECT_EQ(session.redirects_disabled, 0);
  session.SetRedirectsAllowed(0);
  session.SetRedirectsAllowed(1);
  EXPECT_EQ(session.redirects_disabled, 0);
  EXPECT_EQ(session.RequestHandle(), 0u);
  EXPECT_EQ(session.RequestHandle(77), 77u);
  EXPECT_EQ(session.RequestHandle(), 77u);
  session.RequestHandle(0);
  session.SetIgnoreCertErrorsOnce();
  EXPECT_EQ(session.ignore_cert_errors_once, 1);
  session.SetIgnoreCertErrorsOnce(0);
  EXPECT_EQ(session.ignore_cert_errors_once, 0);
}

TEST_F(RecordedSession, CopySharesHandlesAndNeverClosesThem) {
  OpenFresh("GET", "http://h/a");
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\nContent-Length:3\r\n\r\n", {"abc"}));
  ASSERT_TRUE(session.SendText());
  ASSERT_EQ(session.ResponseBody().size(), 3u);
  transport.calls.clear();
  {
    std::unique_ptr<HttpSession> copy = session.Copy();
    EXPECT_EQ(copy->session_handle, session.session_handle);
    EXPECT_EQ(copy->request_handle, session.request_handle);
    EXPECT_EQ(copy->receive_buffer, session.receive_buffer);
    EXPECT_EQ(copy->url, "http://h/a");
    EXPECT_EQ(copy->response_headers, session.response_headers);
    EXPECT_EQ(copy->ResponseBody(), session.ResponseBody());
  }
  EXPECT_THAT(transport.CallsStartingWith("CloseHandle"), IsEmpty());
  EXPECT_EQ(session.StatusCode(), 200);
  EXPECT_EQ(session.ResponseText(), "abc");

  // A copy that opens its own request leaves the shared one open, and owns
  // (and closes) only what it made itself.
  transport.calls.clear();
  {
    std::unique_ptr<HttpSession> copy = session.Copy();
    ASSERT_TRUE(copy->Open("GET", "http://other/"));
    transport.responses.push_back(Response("HTTP/1.1 200 OK\r\n\r\n", {"0123456789"}));
    ASSERT_TRUE(copy->SendText());
    EXPECT_EQ(copy->ResponseText(), "0123456789");
    EXPECT_NE(copy->receive_buffer, session.receive_buffer);
  }
  EXPECT_THAT(transport.CallsStartingWith("CloseHandle"),
              ElementsAre("CloseHandle(5)", "CloseHandle(4)"));
  EXPECT_TRUE(transport.IsLive(session.request_handle));
  EXPECT_EQ(session.ResponseText(), "abc");
}

// ---- Opening a request ----

TEST_F(RecordedSession, OpenNormalisesTheUrl) {
  struct Case {
    const char* given;
    const char* stored;
    const char* object_name;
  };
  const Case cases[] = {
      {"h/a", "http://h/a", "/a"},
      {"HTTP://h/a", "HTTP://h/a", "/a"},
      {"hTTpS://h/a", "hTTpS://h/a", "/a"},
      {"http://", "http://http://", "//"},  // 7 bytes: always prefixed
      {"h", "http://h", "/"},
      {"http://h/p/q?x=1#f", "http://h/p/q?x=1#f", "/p/q?x=1#f"},
      {"http://h?x=1", "http://h?x=1", "/"},  // no path: the query is not sent
      {"ftp://h/a", "http://ftp://h/a", "//h/a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    session.Reinitialize();
    transport.calls.clear();
    session.Open(std::nullopt, c.given);
    EXPECT_EQ(session.url, c.stored);
    ASSERT_GE(transport.calls.size(), 1u);
    EXPECT_EQ(transport.calls[0], std::string("CrackUrl(\"") + c.stored + "\"," +
                                      std::to_string(std::string(c.stored).size()) + ",0)");
    const auto opens = transport.CallsStartingWith("OpenRequest");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].find(std::string("\"") + c.object_name + "\""), std::string::npos)
        << opens[0];
  }
}

TEST_F(RecordedSession, OpenKeepsTheConnectionForTheSameHostAndPort) {
  ASSERT_TRUE(session.Open("get", "http://h/a"));
  ASSERT_TRUE(session.Open(std::nullopt, "http://h:80/b"));
  ASSERT_TRUE(session.Open("GET", "http://H/c"));        // other letter case
  ASSERT_TRUE(session.Open("GET", "https://H:8443/d"));  // other port, secure
  EXPECT_THAT(transport.calls,
              ElementsAre(::testing::_, ::testing::_,  // constructor
                          "CrackUrl(\"http://h/a\",10,0)", "Connect(1,\"h\",80)",
                          "OpenRequest(2,\"GET\",\"/a\",0x0)", "CrackUrl(\"http://h:80/b\",13,0)",
                          "CloseHandle(3)", "OpenRequest(2,\"GET\",\"/b\",0x0)",
                          "CrackUrl(\"http://H/c\",10,0)", "CloseHandle(4)", "CloseHandle(2)",
                          "Connect(1,\"H\",80)", "OpenRequest(5,\"GET\",\"/c\",0x0)",
                          "CrackUrl(\"https://H:8443/d\",16,0)", "CloseHandle(6)", "CloseHandle(5)",
                          "Connect(1,\"H\",8443)", "OpenRequest(7,\"GET\",\"/d\",0x800000)"));
  EXPECT_EQ(session.host, "H");
  EXPECT_EQ(session.port, 8443);
  EXPECT_EQ(session.scheme, 2);
}

TEST_F(RecordedSession, OpenSetsIsPostOnlyWithAVerbAndDefaultHeaders) {
  ASSERT_TRUE(session.Open("post", "http://h/"));
  EXPECT_EQ(transport.CallsStartingWith("OpenRequest").back(), "OpenRequest(2,\"POST\",\"/\",0x0)");
  EXPECT_EQ(session.is_post, 1);
  ASSERT_TRUE(session.Open(std::nullopt, "http://h/"));  // a redirect hop's open
  EXPECT_EQ(session.is_post, 1);
  ASSERT_TRUE(session.Open("", "http://h/"));
  EXPECT_EQ(session.is_post, 1);
  EXPECT_EQ(transport.CallsStartingWith("OpenRequest").back(), "OpenRequest(2,\"GET\",\"/\",0x0)");
  ASSERT_TRUE(session.Open("put", "http://h/"));
  EXPECT_EQ(session.is_post, 0);
  session.SetDefaultHeadersEnabled(0);
  ASSERT_TRUE(session.Open("POST", "http://h/"));
  EXPECT_EQ(session.is_post, 0);
  // Only ASCII letters are upper-cased; a double-byte verb passes unchanged.
  ASSERT_TRUE(session.Open("p\xD6\xD0st", "http://h/"));
  EXPECT_EQ(transport.CallsStartingWith("OpenRequest").back(),
            "OpenRequest(2,\"P\xD6\xD0ST\",\"/\",0x0)");
}

TEST_F(RecordedSession, OpenFailures) {
  // A URL that cannot be split: only url changes, the old request stays.
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\nContent-Length:2\r\n\r\n", {"ok"}));
  ASSERT_TRUE(session.Open("GET", "http://h/a"));
  ASSERT_TRUE(session.SendText());
  ASSERT_EQ(session.ResponseText(), "ok");
  transport.calls.clear();
  EXPECT_FALSE(session.Open("GET", "http://:99999/"));
  EXPECT_EQ(session.url, "http://:99999/");
  EXPECT_EQ(session.request_handle, 3u);
  EXPECT_EQ(session.ResponseText(), "ok");
  EXPECT_EQ(session.StatusCode(), 200);
  EXPECT_EQ(transport.Count("CloseHandle"), 0);

  // A connection that fails: no request; the status reads give 0 and "".
  transport.fail_connect = true;
  EXPECT_FALSE(session.Open("GET", "http://other/"));
  EXPECT_EQ(session.request_handle, 0u);
  EXPECT_EQ(session.connect_handle, 0u);
  EXPECT_EQ(session.host, "h");
  EXPECT_EQ(session.StatusCode(), 0);
  EXPECT_EQ(session.StatusText(), "");
  EXPECT_FALSE(session.SendText());
  transport.fail_connect = false;

  // A request that cannot be opened.
  transport.fail_open_request = true;
  EXPECT_FALSE(session.Open("GET", "http://other/"));
  EXPECT_EQ(session.request_handle, 0u);
  EXPECT_EQ(session.host, "other");
}

// ---- Sending ----

TEST_F(RecordedSession, PostSendsTheDefaultHeadersThenCapturesTheResponse) {
  OpenFresh("POST", "http://h/aidemo");
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", {"{}"}));
  EXPECT_TRUE(session.SendText("a=1"));
  EXPECT_THAT(
      transport.calls,
      ElementsAre("AddRequestHeaders(3,\"Accept:*/*\",10,0x10000000)",
                  "AddRequestHeaders(3,\"Accept-Language:zh-cn\",21,0x10000000)",
                  "AddRequestHeaders(3,\"Cache-Control:no-cache\",22,0x10000000)",
                  "AddRequestHeaders(3,\"Content-Type:application/x-www-form-urlencoded\",46,"
                  "0x10000000)",
                  "SendRequest(3,\"a=1\",3,3)", "ReceiveResponse(3)", "QueryHeaders(3,22,0)",
                  "QueryHeaders(3,22,78)"));
  EXPECT_EQ(session.content_length, 2);
  EXPECT_EQ(session.response_headers, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n");

  transport.calls.clear();
  EXPECT_EQ(session.StatusCode(), 200);
  EXPECT_EQ(session.StatusText(), "OK");
  EXPECT_THAT(transport.calls, ElementsAre("QueryHeaders(3,19,0)", "QueryHeaders(3,19,8)",
                                           "QueryHeaders(3,20,0)", "QueryHeaders(3,20,6)"));
}

TEST_F(RecordedSession, DefaultHeadersByVerbAndBody) {
  struct Case {
    const char* verb;
    std::optional<std::string> body;
    int headers;
  };
  const Case cases[] = {{"GET", std::nullopt, 3}, {"POST", std::nullopt, 4},
                        {"POST", "", 4},          {"PUT", "x", 4},
                        {"GET", "", 3},           {"GET", "x", 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + c.body.value_or("<none>"));
    OpenFresh(c.verb, "http://h/");
    session.SendText(c.body);
    EXPECT_EQ(transport.Count("AddRequestHeaders"), c.headers);
  }
  session.SetDefaultHeadersEnabled(2);
  OpenFresh("POST", "http://h/");
  session.SendText("x");
  EXPECT_EQ(transport.Count("AddRequestHeaders"), 0);
}

TEST_F(RecordedSession, SendBodies) {
  OpenFresh("POST", "http://h/");
  session.SendText(std::string("ab\0cd", 5));  // a text ends at its zero byte
  EXPECT_EQ(transport.CallsStartingWith("SendRequest")[0], "SendRequest(3,\"ab\",2,2)");
  OpenFresh("POST", "http://h/");
  session.SendBytes(std::vector<std::uint8_t>{'a', 0, 'b'});
  EXPECT_EQ(transport.CallsStartingWith("SendRequest")[0],
            std::string("SendRequest(4,\"a\0b\",3,3)", 24));
  OpenFresh("GET", "http://h/");
  session.SendText();
  EXPECT_EQ(transport.CallsStartingWith("SendRequest")[0], "SendRequest(5,\"<null>\",0,0)");
}

TEST_F(RecordedSession, RetriesOnlyConnectionErrors) {
  struct Case {
    std::optional<int> retries;
    std::vector<std::uint32_t> send_errors;
    std::vector<std::uint32_t> receive_errors;
    bool result;
    int sends;
  };
  const Case cases[] = {
      {std::nullopt, {12029}, {}, false, 1},
      {2, {12029, 12029, 12029}, {}, false, 3},
      {2, {12029, 12030}, {}, true, 3},
      {2, {0, 12029}, {12030}, true, 3},  // a failed receive is retried too
      {5, {12002}, {}, false, 1},         // timeout: no retry
      {5, {12007}, {}, false, 1},         // name not resolved: no retry
      {5, {0}, {12152}, false, 1},
      {-1, {}, {}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Hex(c.send_errors.empty() ? 0 : c.send_errors[0]));
    OpenFresh("GET", "http://h/");
    transport.send_errors.assign(c.send_errors.begin(), c.send_errors.end());
    transport.receive_errors.assign(c.receive_errors.begin(), c.receive_errors.end());
    EXPECT_EQ(session.SendText(std::nullopt, std::nullopt, c.retries), c.result);
    EXPECT_EQ(transport.Count("SendRequest"), c.sends);
    // The headers go on once, however many attempts there are.
    EXPECT_EQ(transport.Count("AddRequestHeaders"), 3);
    EXPECT_EQ(transport.Count("QueryHeaders"), c.result ? 2 : 0);
  }
}

TEST_F(RecordedSession, ApplyPendingOptionsOrder) {
  RecordedSession::store.stored = "s=1";
  session.SetProxy("127.0.0.1:3128", "user", "pw");  // no request: pending
  session.SetCookieMode(2);
  session.SetIgnoreCertErrorsOnce();
  OpenFresh("GET", "http://h/");
  session.SendText();
  EXPECT_THAT(
      transport.calls,
      ElementsAre("SetOption(3,4098,\"user\",10)", "SetOption(3,4099,\"pw\",6)",
                  "SetOption(3,63,0x2,4)", "SetOption(3,31,0x3300,4)", "SetOption(3,63,0x1,4)",
                  "AddRequestHeaders(3,\"Cookie:s=1\",10,0xa0000000)",
                  ::testing::StartsWith("AddRequestHeaders(3,\"Accept:"), ::testing::_,
                  ::testing::_, "SendRequest(3,\"<null>\",0,0)", "ReceiveResponse(3)", ::testing::_,
                  ::testing::_));
  EXPECT_EQ(session.proxy_credentials_pending, 0);
  EXPECT_EQ(session.proxy_user, "");
  EXPECT_EQ(session.ignore_cert_errors_once, 0);
  // The second send: no credentials, no certificate override.
  OpenFresh("GET", "http://h/");
  session.SendText();
  EXPECT_THAT(transport.CallsStartingWith("SetOption"),
              ElementsAre("SetOption(4,63,0x2,4)", "SetOption(4,63,0x1,4)"));
}

TEST_F(RecordedSession, OptionsByModeAndSwitches) {
  struct Case {
    int cookie_mode;
    int redirects_disabled;
    std::vector<std::string> options;
    const char* cookie_header;
  };
  const Case cases[] = {
      {0, 0, {}, nullptr},
      {0, 1, {"63,0x2,4)"}, nullptr},
      {1, 0, {"63,0x2,4)", "63,0x1,4)"}, "\"Cookie:\",7,0xa0000000)"},
      {1, 1, {"63,0x2,4)", "63,0x1,4)"}, "\"Cookie:\",7,0xa0000000)"},
  };
  for (const Case& c : cases) {
    session.Reinitialize();
    session.SetCookieMode(c.cookie_mode);
    session.redirects_disabled = c.redirects_disabled;
    OpenFresh("GET", "http://h/");
    const std::string request = std::to_string(session.request_handle);
    session.SendText();
    std::vector<std::string> expected;
    for (const auto& option : c.options) expected.push_back("SetOption(" + request + "," + option);
    EXPECT_EQ(transport.CallsStartingWith("SetOption"), expected);
    // Mode 1 sends the jar's list, also when the jar is empty.
    const auto cookie = transport.CallsStartingWith("AddRequestHeaders(" + request + ",\"Cookie:");
    if (c.cookie_header) {
      EXPECT_THAT(cookie, ElementsAre("AddRequestHeaders(" + request + "," + c.cookie_header));
    } else {
      EXPECT_THAT(cookie, IsEmpty());
    }
  }
}

TEST_F(RecordedSession, CertificateOverrideOnlyWhenArmedAndOnlyOnce) {
  // Not armed: no request gets it, the first included.
  OpenFresh("GET", "https://h/");
  session.SendText();
  EXPECT_EQ(transport.Count("SetOption(3,31"), 0);
  // Armed: the next send gets it, the one after does not.
  session.SetIgnoreCertErrorsOnce();
  OpenFresh("GET", "https://h/");
  session.SendText();
  EXPECT_EQ(transport.Count("SetOption(4,31,0x3300,4)"), 1);
  OpenFresh("GET", "https://h/");
  session.SendText();
  EXPECT_EQ(transport.Count("SetOption(5,31"), 0);
  // Reinitialize does not arm it.
  session.Reinitialize();
  EXPECT_EQ(session.ignore_cert_errors_once, 0);
}

// ---- Reading the body ----

TEST_F(RecordedSession, KnownLengthBodyGrowsInMebibyteStepsToTheExactLength) {
  constexpr std::size_t kSize = 3000000;
  std::vector<std::string> chunks;
  std::string all;
  for (std::size_t done = 0; done < kSize; done += 65536) {
    std::string chunk(std::min<std::size_t>(65536, kSize - done), '\0');
    for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<char>((done + k) * 7);
    all += chunk;
    chunks.push_back(std::move(chunk));
  }
  OpenFresh("GET", "http://h/big");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nContent-Length: 3000000\r\n\r\n", chunks));
  ASSERT_TRUE(session.SendText());
  const std::vector<std::uint8_t> body = session.ResponseBody();
  ASSERT_EQ(body.size(), kSize);
  EXPECT_TRUE(std::string(body.begin(), body.end()) == all);
  std::vector<std::size_t> capacities = transport.read_capacities;
  capacities.erase(std::unique(capacities.begin(), capacities.end()), capacities.end());
  EXPECT_THAT(capacities, ElementsAre(1048576u, 2162688u, 3000000u));
  EXPECT_EQ(session.receive_buffer_size(), 3000000u);
  // Each read asks for all the free room.
  EXPECT_EQ(transport.CallsStartingWith("ReadData")[0], "ReadData(3,1048576)");
}

TEST_F(RecordedSession, UnknownLengthStartsAt10240AndGrowsByNeedPlus10240) {
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
               {std::string(8000, 'a'), std::string(8000, 'b'), std::string(30000, 'c')}));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.content_length, -1);
  EXPECT_EQ(session.ResponseBody().size(), 46000u);
  EXPECT_THAT(transport.read_capacities, ElementsAre(10240u, 26240u, 56240u));
}

TEST_F(RecordedSession, MoreBytesThanAnnouncedAreAllKept) {
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", {"abcd", "efghij"}));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "abcdefghij");
  EXPECT_EQ(transport.read_capacities[0], 4u);
  EXPECT_EQ(transport.read_capacities.back(), 10u + 10240u);
}

TEST_F(RecordedSession, BodyIsReadOnceAndServedFromTheBuffer) {
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", {std::string("a\0b\xE4\xB8", 5)}));
  ASSERT_TRUE(session.SendText());
  const auto first = session.ResponseBody();
  const int reads = transport.Count("ReadData");
  EXPECT_EQ(session.ResponseBody(), first);
  EXPECT_EQ(transport.Count("ReadData"), reads);
  EXPECT_EQ(first.size(), 5u);
  EXPECT_EQ(session.ResponseText(), "a");
  // Sending the same request again leaves the read body in place.
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", {"other"}));
  session.SendText();
  EXPECT_EQ(session.ResponseBody(), first);
}

TEST_F(RecordedSession, EmptyBodies) {
  // Content-Length 0: nothing is read.
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(Response("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"));
  ASSERT_TRUE(session.SendText());
  EXPECT_TRUE(session.ResponseBody().empty());
  EXPECT_EQ(transport.Count("QueryDataAvailable"), 0);
  // A failed send: content_length stays 0, nothing is read.
  OpenFresh("GET", "http://h/");
  transport.send_errors.push_back(12002);
  EXPECT_FALSE(session.SendText());
  EXPECT_TRUE(session.ResponseBody().empty());
  EXPECT_EQ(transport.Count("QueryDataAvailable"), 0);
  // A negative announced length cannot be allocated.
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", {"x"}));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.content_length, -5);
  EXPECT_TRUE(session.ResponseBody().empty());
}

TEST_F(RecordedSession, Utf8BodyBecomesCodePage936) {
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\n\r\n", {"\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80"}));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseTextUtf8(), "\xD6\xD0\xCE\xC4 ?");
}

// ---- Response headers ----

TEST_F(RecordedSession, ContentLengthValues) {
  struct Case {
    const char* headers;
    int content_length;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\ncontent-length:   42\r\n\r\n", 42},
      {"HTTP/1.1 200 OK\r\nContent-Length: 7x\r\n\r\n", 7},
      {"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n", 0},
      {"HTTP/1.1 200 OK\r\nX-Content-Length: 9\r\nContent-Length: 3\r\n\r\n", 9},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n", 2147483647},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4294967298\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12", 12},  // no line end: the rest
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    OpenFresh("GET", "http://h/");
    transport.responses.push_back(Response(c.headers));
    ASSERT_TRUE(session.SendText());
    EXPECT_EQ(session.content_length, c.content_length);
  }
  // No header block at all: -1, and the session reads the body to its end.
  OpenFresh("GET", "http://h/");
  FakeResponse none;
  none.no_headers = true;
  none.chunks = {"abc"};
  transport.responses.push_back(none);
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.content_length, -1);
  EXPECT_EQ(session.response_headers, "");
  EXPECT_EQ(session.ResponseText(), "abc");
}

TEST_F(RecordedSession, ResponseHeaderLookups) {
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nContent-Type:  text/html \r\nX-A: 1\r\nx-a: 2\r\n"
               "X-Empty:\r\nX-Gbk: \xA1\xA1\xD6\xD0\r\n\r\n"));
  ASSERT_TRUE(session.SendText());
  struct Case {
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"content-type", "text/html "}, {"X-A", "1"},   {"HTTP/1.1", ""}, {"", ""}, {"X-Empty", ""},
      {"X-Gbk", "\xD6\xD0"},          {"Missing", ""}};
  for (const Case& c : cases) EXPECT_EQ(session.ResponseHeader(c.name), c.value) << c.name;
  EXPECT_EQ(session.ResponseHeaders(), session.response_headers);
}

TEST_F(RecordedSession, RedirectLocationTable) {
  struct Case {
    const char* url;
    const char* line;
    const char* absolute;
    const char* relative;
  };
  const Case cases[] = {
      {"http://h/a/b.html", "Location: /c?x=1", "http://h:80/c?x=1", "/c?x=1"},
      {"http://h/a/b.html", "location:   d.html", "http://h/a/d.html", "d.html"},
      {"http://h/a/b.html", "Location: HTTPS://k/e", "HTTPS://k/e", "HTTPS://k/e"},
      {"http://h/a/b.html", "Location:", "", ""},
      {"http://h/a/b.html", "Location:   ", "", ""},
      {"http://h", "Location: d.html", "http://h/d.html", "d.html"},
      {"https://h:8443/x", "Location: /y", "https://h:8443/y", "/y"},
      {"http://h/", "X-Location: /z ", "http://h:80/z", "/z"},  // not tied to a line start
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    OpenFresh("GET", c.url);
    transport.responses.push_back(
        Response(std::string("HTTP/1.1 302 Found\r\n") + c.line + "\r\n\r\n"));
    ASSERT_TRUE(session.SendText());
    EXPECT_EQ(session.RedirectLocation(1), c.absolute);
    EXPECT_EQ(session.RedirectLocation(), c.relative);
    EXPECT_EQ(session.RedirectLocation(2), c.relative);
  }
}

// ---- Redirects ----

TEST_F(RecordedSession, RedirectChainStopsAfterTwentyHops) {
  session.SetCookieMode(1);
  for (int k = 0; k < 30; ++k) {
    transport.responses.push_back(
        Response("HTTP/1.1 302 Found\r\nLocation: /self\r\nContent-Length: 0\r\n\r\n"));
  }
  OpenFresh("POST", "http://h/self");
  EXPECT_TRUE(session.SendText("a=1"));
  EXPECT_EQ(transport.Count("SendRequest"), 21);
  EXPECT_EQ(transport.Count("OpenRequest(2,\"GET\",\"/self\""), 20);
  EXPECT_EQ(session.redirect_count, 0);
  EXPECT_EQ(session.RedirectLocation(), "/self");
  EXPECT_EQ(transport.responses.size(), 9u);
  // Every hop is a GET without body that still carries the form Content-Type.
  EXPECT_EQ(transport.Count("AddRequestHeaders(2,\"Content-Type:"), 0);
  EXPECT_EQ(transport.Count("SendRequest"), 21);
  int content_types = 0;
  for (const auto& call : transport.CallsStartingWith("AddRequestHeaders")) {
    content_types +=
        call.find("Content-Type:application/x-www-form-urlencoded") != std::string::npos;
  }
  EXPECT_EQ(content_types, 21);
}

TEST_F(RecordedSession, NoOwnRedirectsInMode0OrWhenDisabled) {
  for (int mode : {0, 1, 2}) {
    session.SetCookieMode(mode);
    session.SetRedirectsAllowed(mode == 0 ? 1 : 0);
    session.redirect_count = 5;
    transport.responses.push_back(Response("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"));
    OpenFresh("GET", "http://h/");
    ASSERT_TRUE(session.SendText());
    EXPECT_EQ(transport.Count("SendRequest"), 1);
    EXPECT_EQ(session.redirect_count, 5);
  }
}

TEST_F(RecordedSession, FailedHopKeepsTheCount) {
  session.SetCookieMode(1);
  transport.responses.push_back(Response("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"));
  transport.responses.push_back(Response("HTTP/1.1 302 Found\r\nLocation: /y\r\n\r\n"));
  transport.send_errors = {0, 0, 12002};
  OpenFresh("GET", "http://h/");
  EXPECT_TRUE(session.SendText());
  EXPECT_EQ(session.redirect_count, 2);
  // A chain ending at a response without Location resets it.
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\n\r\n"));
  OpenFresh("GET", "http://h/");
  EXPECT_TRUE(session.SendText());
  EXPECT_EQ(session.redirect_count, 0);
}

// ---- Request headers and options ----

TEST_F(RecordedSession, HeaderPresets) {
  OpenFresh("GET", "h/page");
  struct Case {
    bool (HttpSession::*preset)(const std::optional<std::string>&);
    std::optional<std::string> value;
    const char* line;
  };
  const Case cases[] = {
      {&HttpSession::SetUserAgent, std::nullopt,
       "User-Agent:Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.2)"},
      {&HttpSession::SetUserAgent, "", "User-Agent:"},
      {&HttpSession::SetReferer, std::nullopt, "Referer:http://h/page"},
      {&HttpSession::SetReferer, "r", "Referer:r"},
      {&HttpSession::SetAccept, std::nullopt, "Accept:*/*"},
      {&HttpSession::SetAccept, "text/html", "Accept:text/html"},
      {&HttpSession::SetAcceptLanguage, std::nullopt, "Accept-Language:zh-cn"},
      {&HttpSession::SetContentType, std::nullopt,
       "Content-Type:application/x-www-form-urlencoded"},
  };
  for (const Case& c : cases) {
    transport.calls.clear();
    EXPECT_TRUE((session.*c.preset)(c.value));
    const std::string line = c.line;
    EXPECT_THAT(transport.calls, ElementsAre("AddRequestHeaders(3,\"" + line + "\"," +
                                             std::to_string(line.size()) + ",0xa0000000)"));
  }
  transport.calls.clear();
  EXPECT_TRUE(session.SetXRequestedWith());
  EXPECT_THAT(
      transport.calls,
      ElementsAre("AddRequestHeaders(3,\"x-requested-with:XMLHttpRequest\",31,0xa0000000)"));
  transport.calls.clear();
  EXPECT_TRUE(session.SetForwardedFor("1.2.3.4"));
  EXPECT_THAT(transport.calls,
              ElementsAre("AddRequestHeaders(3,\"X-Forwarded-For:1.2.3.4\r\nCLIENT_IP:1.2.3.4\r\n"
                          "VIA:1.2.3.4\r\nREMOTE_ADDR:1.2.3.4\",76,0xa0000000)"));
  // A header set by the caller keeps its value: the default is add-if-new.
  transport.calls.clear();
  session.SetAccept("text/plain");
  session.SendText();
  EXPECT_EQ(transport.CallsStartingWith("AddRequestHeaders")[1],
            "AddRequestHeaders(3,\"Accept:*/*\",10,0x10000000)");
}

TEST_F(RecordedSession, RequestHeaderRules) {
  // No request, or no name: nothing happens.
  EXPECT_FALSE(session.SetRequestHeader("A", "1"));
  EXPECT_FALSE(session.RemoveRequestHeader("A"));
  EXPECT_FALSE(session.SetForwardedFor("x"));
  EXPECT_FALSE(session.SetAccept());
  EXPECT_FALSE(session.SetCredentials("u", "p"));
  EXPECT_FALSE(session.SetRequestCookies("a=1"));
  EXPECT_EQ(transport.calls.size(), 2u);  // the constructor's
  OpenFresh("GET", "http://h/");
  EXPECT_FALSE(session.SetRequestHeader("", "1"));
  EXPECT_TRUE(transport.calls.empty());

  EXPECT_TRUE(session.SetRequestHeader("CooKie", "a=1"));
  EXPECT_TRUE(session.RemoveRequestHeader("Accept"));
  EXPECT_TRUE(session.SetRequestHeader("X", "1", winhttp::kAddReqFlagAdd));
  EXPECT_TRUE(session.SetRequestCookies("b=2"));
  EXPECT_THAT(
      transport.calls,
      ElementsAre("SetOption(3,63,0x1,4)", "AddRequestHeaders(3,\"CooKie:a=1\",10,0xa0000000)",
                  "AddRequestHeaders(3,\"Accept:\",7,0x80000000)",
                  "AddRequestHeaders(3,\"X:1\",3,0x20000000)", "SetOption(3,63,0x1,4)",
                  "SetOption(3,63,0x1,4)", "AddRequestHeaders(3,\"Cookie:b=2\",10,0xa0000000)"));
  // With a cookie mode on, the cookie header is only added.
  session.SetCookieMode(1);
  transport.calls.clear();
  EXPECT_TRUE(session.SetRequestHeader("cookie", "a=1"));
  EXPECT_THAT(transport.calls, ElementsAre("AddRequestHeaders(3,\"cookie:a=1\",10,0xa0000000)"));
}

TEST_F(RecordedSession, SetProxyPaths) {
  // Empty proxy: no proxy, credentials neither applied nor stored.
  EXPECT_TRUE(session.SetProxy("", "u", "p"));
  EXPECT_EQ(session.proxy_credentials_pending, 0);
  EXPECT_EQ(session.proxy_user, "");
  // No request: credentials pending.
  EXPECT_TRUE(session.SetProxy("127.0.0.1:8888", "u", ""));
  EXPECT_EQ(session.proxy_credentials_pending, 1);
  EXPECT_EQ(session.proxy_user, "u");
  EXPECT_EQ(session.proxy_password, "");
  // A request open: applied to it at once; a pending pair stays pending.
  ASSERT_TRUE(session.Open("GET", "http://h/"));
  EXPECT_TRUE(session.SetProxy("p:1", "u2", "p2"));
  EXPECT_EQ(session.proxy_credentials_pending, 1);
  EXPECT_EQ(session.proxy_user, "u");
  EXPECT_THAT(
      transport.CallsStartingWith("SetOption"),
      ElementsAre("SetOption(1,38,1,\"\",\"\",24)", "SetOption(1,38,3,\"127.0.0.1:8888\",\"\",24)",
                  "SetOption(3,4098,\"u2\",6)", "SetOption(3,4099,\"p2\",6)",
                  "SetOption(1,38,3,\"p:1\",\"\",24)"));
  transport.fail_set_option = true;
  EXPECT_FALSE(session.SetProxy("q:2"));
  transport.fail_set_option = false;
  session.CloseSession();
  EXPECT_FALSE(session.SetProxy("p:1", "u", "p"));
  EXPECT_EQ(session.proxy_credentials_pending, 0);
}

TEST_F(RecordedSession, SetOptionSelectorsTimeoutsAndCredentials) {
  EXPECT_FALSE(session.SetOption(1, 99, 5, 4));  // no connection
  EXPECT_FALSE(session.SetOption(2, 99, 5, 4));  // no request
  EXPECT_TRUE(session.SetOption(std::nullopt, 99, 5, 4));
  EXPECT_TRUE(session.SetOption(3, 99, 6, 4));
  ASSERT_TRUE(session.Open("GET", "http://h/"));
  transport.calls.clear();
  EXPECT_TRUE(session.SetOption(1, 99, 7, 4));
  EXPECT_TRUE(session.SetOption(2, 99, 8, 4));
  EXPECT_FALSE(session.SetOption(2, 99, 8, 8));  // longer than the value
  EXPECT_TRUE(session.SetTimeouts(500));
  EXPECT_TRUE(session.SetCredentials("u", "p"));
  EXPECT_TRUE(session.SetCredentials("u", "p", 1, 8));
  EXPECT_THAT(transport.calls, ElementsAre("SetOption(2,99,0x7,4)", "SetOption(3,99,0x8,4)",
                                           "SetTimeouts(1,500,15000,120000,300000)",
                                           "SetCredentials(3,0,1,\"u\",\"p\")",
                                           "SetCredentials(3,1,8,\"u\",\"p\")"));
}

// ---- Cookies ----

TEST_F(RecordedSession, JarFollowsTheWorkedExample) {
  session.SetCookieMode(1);
  auto respond = [&](const std::string& lines, int keep = 0) {
    OpenFresh("GET", "http://h/");
    transport.responses.push_back(Response("HTTP/1.1 200 OK\r\n" + lines + "\r\n"));
    ASSERT_TRUE(session.SendText(std::nullopt, keep));
  };
  respond("Set-Cookie: sid=abc; path=/\r\nSet-Cookie: lang=zh; expires=Wed, 09 Jun 2027\r\n");
  EXPECT_EQ(session.cookie_jar, "; sid=abc; lang=zh; ");
  EXPECT_EQ(session.cookie_jar_length, 20);
  respond("");
  EXPECT_EQ(transport.CallsStartingWith("AddRequestHeaders(")[0],
            "AddRequestHeaders(" + std::to_string(session.request_handle) +
                ",\"Cookie:sid=abc; lang=zh\",23,0xa0000000)");
  respond("Set-Cookie: sid=xyz; path=/\r\n");
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; lang=zh; ");
  const std::string step3 = session.cookie_jar;
  respond("Set-Cookie: lang=deleted; path=/\r\n", 1);
  EXPECT_EQ(session.cookie_jar, step3);
  respond("Set-Cookie: lang=deleted; path=/\r\n");
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; ");
  EXPECT_EQ(session.cookie_jar_length, 11);
  respond("Set-Cookie: sid=; path=/\r\n", 1);
  EXPECT_EQ(session.cookie_jar, "; sid=xyz; ");
  respond("Set-Cookie: sid=; path=/\r\n");
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
  EXPECT_EQ(session.cookie_jar, "; k=v; x=y; ");
  EXPECT_EQ(session.cookie_jar_length, 12);
  EXPECT_EQ(session.CookieJar(), "k=v; x=y");
  EXPECT_EQ(session.cookie_jar_length, 12);
}

TEST_F(RecordedSession, JarMergeEdgeCases) {
  session.SetCookieMode(1);
  auto respond = [&](const std::string& lines, int keep = 0) {
    OpenFresh("GET", "http://h/");
    transport.responses.push_back(Response("HTTP/1.1 200 OK\r\n" + lines + "\r\n"));
    ASSERT_TRUE(session.SendText(std::nullopt, keep));
  };
  respond("Set-Cookie: novalue; path=/\r\n");
  EXPECT_EQ(session.cookie_jar, "; ");
  EXPECT_EQ(session.ResponseCookies(), "novalue");
  respond("Set-Cookie: a=1; p\r\nSet-Cookie: a=2; p\r\nSet-Cookie: SID=x; p\r\n");
  EXPECT_EQ(session.cookie_jar, "; a=2; SID=x; ");
  respond("Set-Cookie: sid=y; p\r\nSet-Cookie: gone=deleted; p\r\nSet-Cookie: c=deLeted; p\r\n");
  EXPECT_EQ(session.cookie_jar, "; a=2; SID=x; sid=y; c=deLeted; ");
  respond("Set-Cookie: new=; p\r\n", 1);
  EXPECT_EQ(session.cookie_jar, "; a=2; SID=x; sid=y; c=deLeted; new=; ");
  // A Set-Cookie without ";" takes its pair up to the next line's ";".
  respond("Set-Cookie: x=1\r\nSet-Cookie: y=2; p\r\n");
  EXPECT_EQ(session.JarCookie("x"), "1\r\nSet-Cookie: y=2");
  EXPECT_EQ(session.JarCookie("sid2"), "");
  EXPECT_EQ(session.JarCookie(""), "");
}

TEST_F(RecordedSession, JarOperations) {
  EXPECT_FALSE(session.AddJarCookies(""));
  EXPECT_FALSE(session.RemoveJarCookies(""));
  EXPECT_FALSE(session.RemoveJarCookies("none"));
  EXPECT_TRUE(session.AddJarCookies("a=1;b=;  c=3 ;noeq"));
  EXPECT_EQ(session.cookie_jar, "; a=1; b=; c=3 ; ");
  EXPECT_TRUE(session.RemoveJarCookies("b=9; c"));
  EXPECT_EQ(session.cookie_jar, "; a=1; ");
  EXPECT_EQ(session.cookie_jar_length, 7);
  struct Case {
    const char* given;
    const char* jar;
  };
  const Case cases[] = {{"", "; "},
                        {"; a=1; ", "; a=1; "},
                        {"a=1;", "; a=1; "},
                        {"a=1", "; a=1; "},
                        {"a=1 ", "; a=1 ; "}};
  for (const Case& c : cases) {
    EXPECT_EQ(session.CookieJar(c.given), c.given);
    EXPECT_EQ(session.cookie_jar, c.jar) << c.given;
    EXPECT_EQ(session.cookie_jar_length, static_cast<int>(std::string(c.jar).size()));
  }
  EXPECT_EQ(session.CookieJar(), "a=1 ");
}

TEST_F(RecordedSession, ResponseCookieReaders) {
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=deleted; path=/\r\n"
               "Set-Cookie:sid=abc; path=/\r\n\r\n"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseCookies(), "a=1; sid=abc");
  EXPECT_EQ(session.ResponseCookie("SID"), "abc");
  EXPECT_EQ(session.ResponseCookie("a"), "1");
  EXPECT_EQ(session.ResponseCookie("zzz"), "");
  OpenFresh("GET", "http://h/");
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\n\r\n"));
  ASSERT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseCookies(), "");
}

TEST_F(RecordedSession, SystemStoreMode) {
  session.SetCookieMode(2);
  OpenFresh("POST", "http://h/p/x");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nSet-Cookie: a=1; p\r\nSet-Cookie: b=deleted; p\r\n"
               "Set-Cookie: c=  ; p\r\nSet-Cookie: noeq; p\r\n\r\n"));
  ASSERT_TRUE(session.SendText());
  EXPECT_THAT(store.calls, ElementsAre("Get(http://h/p/x,0)", "Set(http://h/p/x,a,1)",
                                       "Set(http://h/p/x,b,)", "Set(http://h/p/x,c,  )"));
  // Nothing in the store: no cookie header.
  EXPECT_EQ(transport.Count("AddRequestHeaders(3,\"Cookie"), 0);
  store.calls.clear();
  OpenFresh("GET", "http://h/p/x");
  transport.responses.push_back(
      Response("HTTP/1.1 200 OK\r\nSet-Cookie: b=deleted; p\r\nSet-Cookie: c=  ; p\r\n"
               "Set-Cookie: d=; p\r\nSet-Cookie: e=5; p\r\n\r\n"));
  ASSERT_TRUE(session.SendText(std::nullopt, 1));
  EXPECT_THAT(store.calls, ElementsAre("Get(http://h/p/x,0)", "Set(http://h/p/x,e,5)"));
  store.calls.clear();
  EXPECT_FALSE(session.SetSystemCookies(""));
  EXPECT_FALSE(session.SetSystemCookies("noeq"));
  EXPECT_TRUE(session.SetSystemCookies("x=1;  y=2 ;z"));
  EXPECT_TRUE(session.SetRequestCookies("w=0"));
  EXPECT_THAT(store.calls, ElementsAre("Set(http://h/p/x,x,1)", "Set(http://h/p/x,y,2 )",
                                       "Set(http://h/p/x,w,0)"));
  // The store's cookies go out as the Cookie header.
  store.stored = "x=1; y=2 ";
  OpenFresh("GET", "http://h/p/x");
  session.SendText();
  EXPECT_EQ(transport.CallsStartingWith("AddRequestHeaders")[0],
            "AddRequestHeaders(5,\"Cookie:x=1; y=2 \",16,0xa0000000)");
}

// ---- Bad responses ----

TEST_F(RecordedSession, HostileResponsesLeaveTheSessionUsable) {
  session.SetCookieMode(1);
  std::string many_cookies = "HTTP/1.1 200 OK\r\n";
  for (int k = 0; k < 5000; ++k) many_cookies += "Set-Cookie: c" + std::to_string(k) + "=v; p\r\n";
  many_cookies += "\r\n";
  const std::string responses[] = {
      "garbage",
      "HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'x') + "\r\n\r\n",
      "HTTP/1.1 302 Found\r\nLocation: " + std::string(100000, 'a') + "\r\n\r\n",
      "HTTP/1.1 302 Found\r\nLocation: \r\n\r\n",
      "HTTP/1.1 200 OK\r\nSet-Cookie: nosemicolon\r\n\r\n",
      "HTTP/1.1 200 OK\r\nSet-Cookie:",
      "HTTP/1.1 200 OK\r\nLocation:",
      "HTTP/1.1 200 OK\r\nContent-Length:",
      many_cookies,
  };
  for (const std::string& headers : responses) {
    SCOPED_TRACE(headers.substr(0, 40));
    OpenFresh("GET", "http://h/");
    transport.responses.push_back(Response(headers, {"body"}));
    EXPECT_TRUE(session.SendText());
    session.ResponseBody();
    session.ResponseCookies();
    session.ResponseCookie("c1");
    session.ResponseHeader("X-Big");
    session.RedirectLocation(1);
  }
  EXPECT_EQ(session.JarCookie("c4999"), "v");
  transport.responses.clear();
  OpenFresh("GET", "http://h/next");
  transport.responses.push_back(Response("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", {"ok"}));
  EXPECT_TRUE(session.SendText());
  EXPECT_EQ(session.ResponseText(), "ok");
  EXPECT_EQ(session.StatusCode(), 200);
}

TEST_F(RecordedSession, StatusCodeReadsLeadingDigits) {
  struct Case {
    const char* code;
    int value;
  };
  for (const Case& c :
       {Case{"404", 404}, Case{"", 0}, Case{"abc", 0}, Case{"20x", 20}, Case{"99999999999", 0}}) {
    OpenFresh("GET", "http://h/");
    FakeResponse response;
    response.status_code = c.code;
    response.headers = "HTTP/1.1 x\r\n\r\n";
    transport.responses.push_back(response);
    ASSERT_TRUE(session.SendText());
    EXPECT_EQ(session.StatusCode(), c.value) << c.code;
  }
}

TEST_F(RecordedSession, CancelGoesToTheSessionHandle) {
  session.Cancel();
  EXPECT_EQ(transport.calls.back(), "Cancel(1)");
  session.CloseSession();
  transport.calls.clear();
  session.Cancel();
  EXPECT_TRUE(transport.calls.empty());
}

}  // namespace
}  // namespace textrill
