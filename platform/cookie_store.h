// CookieStore: the system cookie store, the stand-in for WinINet's
// InternetSetCookieA and InternetGetCookieA. Process-wide, in memory,
// thread-safe; cookies are kept per host and path of the URL they were set
// for, and nothing is saved between runs.
#pragma once

#include <cstdint>

namespace textrill {

class CookieStore {
 public:
  virtual ~CookieStore() = default;

  // InternetSetCookieA: stores name=data for the host of `url` and the
  // default path of `url` (its path up to, not including, the last "/"; "/"
  // when that leaves nothing). Setting a cookie that exists replaces its data
  // and keeps its place in the order. Empty or null data deletes the cookie.
  // False for a URL without "://" or host, or an empty name.
  virtual bool SetCookie(const char* url, const char* name, const char* data) = 0;

  // InternetGetCookieA with an empty name (`name` is not looked at): the
  // cookies whose host equals the URL's host (ASCII case ignored, port not
  // looked at) and whose path is a prefix of the URL's path ending at a "/"
  // boundary ("/a" covers "/a" and "/a/b", not "/ab"), as "n1=v1; n2=v2" in
  // insertion order, zero-terminated. With a buffer too small (or *size 0) it
  // fails and sets *size to the bytes needed (terminator included); with no
  // matching cookie it fails and sets *size to 0. Any thread may call both.
  virtual bool GetCookie(const char* url, const char* name, char* data, std::uint32_t* size) = 0;
};

// The process's cookie store.
CookieStore& SystemCookieStore();

}  // namespace textrill
