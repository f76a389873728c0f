// The system cookie store: scope by host and default path, order, deletion
// and the size-query convention.
#include "platform/cookie_store.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace textrill {
namespace {

// What GetCookie gives for `url`, with the size query first; "" for none.
std::string Get(const std::string& url) {
  CookieStore& store = SystemCookieStore();
  std::uint32_t size = 0;
  if (store.GetCookie(url.c_str(), "", nullptr, &size) || size == 0) return {};
  std::vector<char> buffer(size);
  EXPECT_TRUE(store.GetCookie(url.c_str(), "", buffer.data(), &size));
  EXPECT_EQ(size, buffer.size());
  return std::string(buffer.data());
}

TEST(CookieStore, MatchesHostAndDefaultPathInInsertionOrder) {
  CookieStore& store = SystemCookieStore();
  ASSERT_TRUE(store.SetCookie("http://match.test/a/b/page?x=1", "deep", "1"));
  ASSERT_TRUE(store.SetCookie("http://match.test/index.html", "top", "2"));
  ASSERT_TRUE(store.SetCookie("https://MATCH.test:8443/a/other", "mid", "3"));
  ASSERT_TRUE(store.SetCookie("http://other.test/", "elsewhere", "4"));
  struct Case {
    const char* url;
    const char* expected;
  };
  const Case cases[] = {
      {"http://match.test/a/b/page", "deep=1; top=2; mid=3"},
      {"http://match.test/a/b", "deep=1; top=2; mid=3"},
      {"http://match.test:1234/a/x", "top=2; mid=3"},
      {"http://match.test/ab", "top=2"},  // "/a" does not cover "/ab"
      {"http://match.test", "top=2"},
      {"http://sub.match.test/a/b/c", ""},
      {"http://other.test/any/where", "elsewhere=4"},
      {"http://nothing.test/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(Get(c.url), c.expected);
  }
}

TEST(CookieStore, ReplacesInPlaceAndEmptyDataDeletes) {
  CookieStore& store = SystemCookieStore();
  ASSERT_TRUE(store.SetCookie("http://replace.test/", "a", "1"));
  ASSERT_TRUE(store.SetCookie("http://replace.test/", "b", "2"));
  ASSERT_TRUE(store.SetCookie("http://replace.test/", "a", "one"));
  EXPECT_EQ(Get("http://replace.test/"), "a=one; b=2");
  ASSERT_TRUE(store.SetCookie("http://replace.test/", "a", ""));
  EXPECT_EQ(Get("http://replace.test/"), "b=2");
  ASSERT_TRUE(store.SetCookie("http://replace.test/x", "b", nullptr));
  EXPECT_EQ(Get("http://replace.test/"), "");
}

TEST(CookieStore, SizeQueryAndBadArguments) {
  CookieStore& store = SystemCookieStore();
  ASSERT_TRUE(store.SetCookie("http://size.test/", "n", "value"));
  std::uint32_t size = 0;
  EXPECT_FALSE(store.GetCookie("http://size.test/", "", nullptr, &size));
  EXPECT_EQ(size, 8u);  // "n=value" and the terminator
  char small[4];
  size = sizeof small;
  EXPECT_FALSE(store.GetCookie("http://size.test/", "", small, &size));
  EXPECT_EQ(size, 8u);
  size = 99;
  EXPECT_FALSE(store.GetCookie("http://empty.test/", "", nullptr, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(store.GetCookie("http://size.test/", "", nullptr, nullptr));
  EXPECT_FALSE(store.SetCookie("no scheme", "n", "v"));
  EXPECT_FALSE(store.SetCookie("http:///path", "n", "v"));
  EXPECT_FALSE(store.SetCookie("http://h/", "", "v"));
  EXPECT_FALSE(store.SetCookie(nullptr, "n", "v"));
}

TEST(CookieStore, ThreadsSetAndGetAtOnce) {
  CookieStore& store = SystemCookieStore();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      std::string url = "http://threads" + std::to_string(t) + ".test/";
      for (int i = 0; i < 200; ++i) {
        store.SetCookie(url.c_str(), ("c" + std::to_string(i % 10)).c_str(), "v");
        Get(url);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Get("http://threads0.test/"),
            "c0=v; c1=v; c2=v; c3=v; c4=v; c5=v; c6=v; c7=v; c8=v; c9=v");
}

}  // namespace
}  // namespace textrill
