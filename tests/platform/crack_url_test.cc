// CrackUrl: how a URL is split, and which URLs are refused with which error.
#include <gtest/gtest.h>

#include <string>

#include "platform/http_transport.h"
#include "tests/platform/transport_client.h"

namespace textrill {
namespace {

namespace wh = winhttp;
using testing::Narrow;
using testing::Wide;

struct Split {
  int scheme = 0;
  std::string host, path, extra;
  int port = 0;
};

bool Crack(const std::string& url, Split* split, std::uint32_t* error) {
  std::u16string wide = Wide(url);
  UrlComponents parts;
  parts.scheme_text_length = -1;
  parts.host_name_length = -1;
  parts.url_path_length = -1;
  parts.extra_info_length = -1;
  HttpTransport& t = DefaultHttpTransport();
  if (!t.CrackUrl(wide.c_str(), static_cast<std::uint32_t>(wide.size()), 0, &parts)) {
    *error = t.LastError();
    return false;
  }
  // Every component points into the caller's text.
  EXPECT_GE(parts.host_name, wide.c_str());
  EXPECT_LE(parts.extra_info + parts.extra_info_length, wide.c_str() + wide.size());
  split->scheme = parts.scheme;
  split->host = Narrow({parts.host_name, static_cast<std::size_t>(parts.host_name_length)});
  split->path = Narrow({parts.url_path, static_cast<std::size_t>(parts.url_path_length)});
  split->extra = Narrow({parts.extra_info, static_cast<std::size_t>(parts.extra_info_length)});
  split->port = parts.port;
  return true;
}

TEST(CrackUrl, SplitsGoodUrls) {
  struct Case {
    std::string url;
    int scheme;
    std::string host;
    int port;
    std::string path, extra;
  };
  const Case cases[] = {
      {"http://example.com/a/b?x=1#f", wh::kSchemeHttp, "example.com", 80, "/a/b", "?x=1#f"},
      {"HTTPS://Example.com", wh::kSchemeHttps, "Example.com", 443, "", ""},
      {"https://h:8443/p", wh::kSchemeHttps, "h", 8443, "/p", ""},
      {"http://h:65535/", wh::kSchemeHttp, "h", 65535, "/", ""},
      {"http://user:pw@h:81/p", wh::kSchemeHttp, "h", 81, "/p", ""},
      {"http://h/p#frag", wh::kSchemeHttp, "h", 80, "/p", "#frag"},
      {"http://h/p#frag?q", wh::kSchemeHttp, "h", 80, "/p#frag", "?q"},
      {"http://h?q=/x", wh::kSchemeHttp, "h", 80, "", "?q=/x"},
      {"http://[::1]:8080/v6", wh::kSchemeHttp, "::1", 8080, "/v6", ""},
      {"http://h:/p", wh::kSchemeHttp, "h", 80, "/p", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Split split;
    std::uint32_t error = 0;
    ASSERT_TRUE(Crack(c.url, &split, &error)) << error;
    EXPECT_EQ(split.scheme, c.scheme);
    EXPECT_EQ(split.host, c.host);
    EXPECT_EQ(split.port, c.port);
    EXPECT_EQ(split.path, c.path);
    EXPECT_EQ(split.extra, c.extra);
  }
}

TEST(CrackUrl, RefusesBadUrls) {
  struct Case {
    std::string url;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"", wh::kErrorUnrecognizedScheme},
      {"example.com/a", wh::kErrorUnrecognizedScheme},
      {"ftp://example.com/", wh::kErrorUnrecognizedScheme},
      {"1http://h/", wh::kErrorUnrecognizedScheme},
      {"://h/", wh::kErrorUnrecognizedScheme},
      {"http://", wh::kErrorInvalidUrl},
      {"http:///path", wh::kErrorInvalidUrl},
      {"http:/h/p", wh::kErrorInvalidUrl},
      {"http:h", wh::kErrorInvalidUrl},
      {"http://h:65536/", wh::kErrorInvalidUrl},
      {"http://h:99999999999/", wh::kErrorInvalidUrl},
      {"http://h:8x/", wh::kErrorInvalidUrl},
      {"http://user@/", wh::kErrorInvalidUrl},
      {"http://[::1/", wh::kErrorInvalidUrl},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Split split;
    std::uint32_t error = 0;
    EXPECT_FALSE(Crack(c.url, &split, &error));
    EXPECT_EQ(error, c.error);
  }
  HttpTransport& t = DefaultHttpTransport();
  UrlComponents parts;
  EXPECT_FALSE(t.CrackUrl(nullptr, 0, 0, &parts));
  EXPECT_FALSE(t.CrackUrl(u"http://h/", wh::kZeroTerminated, 0, nullptr));
}

TEST(CrackUrl, LengthLimitsTheText) {
  std::u16string url = u"http://host/path?q=1 and more";
  UrlComponents parts;
  parts.host_name_length = parts.url_path_length = parts.extra_info_length = -1;
  ASSERT_TRUE(DefaultHttpTransport().CrackUrl(url.c_str(), 20, 0, &parts));
  EXPECT_EQ(std::u16string(parts.extra_info, parts.extra_info_length), u"?q=1");
  // A component asked for with length 0 is left alone.
  UrlComponents only_host;
  only_host.host_name_length = -1;
  ASSERT_TRUE(DefaultHttpTransport().CrackUrl(url.c_str(), wh::kZeroTerminated, 0, &only_host));
  EXPECT_EQ(only_host.url_path, nullptr);
  EXPECT_EQ(only_host.url_path_length, 0);
}

}  // namespace
}  // namespace textrill
