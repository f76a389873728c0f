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
  // default path of `url` (its path up to the last "/"). Empty data deletes
  // the cookie. False for a URL without host or a missing name.
  virtual bool SetCookie(const char* url, const char* name, const char* data) = 0;

  // InternetGetCookieA with an empty name: the cookies whose host equals the
  // URL's host and whose path is a prefix of the URL's path, as
  // "n1=v1; n2=v2" in insertion order, zero-terminated. With a buffer too small
  // (or *size 0) it fails and sets *size to the bytes needed (terminator
  // included); with no matching cookie it fails and sets *size to 0.
  virtual bool GetCookie(const char* url, const char* name, char* data, std::uint32_t* size) = 0;
};

// The process's cookie store.
CookieStore& SystemCookieStore();

}  // namespace textrill
