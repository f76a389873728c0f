// The in-memory system cookie store. Cookies are kept in one list in the
// order they were first set; a cookie is named by its host, path and name.
#include "platform/cookie_store.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace textrill {
namespace {

struct UrlParts {
  std::string host;  // lower case, without port
  std::string path;  // starts with "/"
};

// Splits "scheme://[user@]host[:port]/path?query#fragment". False when the URL
// has no "://" or no host.
bool SplitUrl(std::string_view url, UrlParts* parts) {
  std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return false;
  std::string_view rest = url.substr(scheme_end + 3);
  std::size_t authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority = authority.substr(at + 1);
  std::string_view host = authority;
  if (!host.empty() && host.front() == '[') {
    std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    host = host.substr(0, close + 1);
  } else {
    std::size_t colon = host.find(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
  }
  if (host.empty()) return false;
  parts->host.assign(host);
  for (char& c : parts->host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  std::string_view path;
  if (authority_end != std::string_view::npos && rest[authority_end] == '/') {
    path = rest.substr(authority_end);
    path = path.substr(0, path.find_first_of("?#"));
  }
  parts->path = path.empty() ? "/" : std::string(path);
  return true;
}

// The default path of a URL path: up to, not including, its last "/"; "/"
// when that leaves nothing.
std::string DefaultPath(const std::string& path) {
  std::size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0) return "/";
  return path.substr(0, last);
}

// A cookie's path matches a request path that equals it or continues it at a
// "/" boundary (so "/a" matches "/a", "/a/" and "/a/b", but not "/ab").
bool PathMatches(const std::string& cookie_path, const std::string& request_path) {
  if (request_path.compare(0, cookie_path.size(), cookie_path) != 0) return false;
  return request_path.size() == cookie_path.size() || cookie_path.back() == '/' ||
         request_path[cookie_path.size()] == '/';
}

struct Cookie {
  std::string host;
  std::string path;
  std::string name;
  std::string value;
};

class MemoryCookieStore final : public CookieStore {
 public:
  bool SetCookie(const char* url, const char* name, const char* data) override {
    UrlParts parts;
    if (url == nullptr || name == nullptr || *name == '\0' || !SplitUrl(url, &parts)) {
      return false;
    }
    std::string path = DefaultPath(parts.path);
    std::string value = data == nullptr ? "" : data;
    std::lock_guard lock(mutex_);
    for (auto it = cookies_.begin(); it != cookies_.end(); ++it) {
      if (it->host == parts.host && it->path == path && it->name == name) {
        if (value.empty()) {
          cookies_.erase(it);
        } else {
          it->value = std::move(value);  // keeps its place in the order
        }
        return true;
      }
    }
    if (!value.empty()) cookies_.push_back({parts.host, path, name, std::move(value)});
    return true;
  }

  bool GetCookie(const char* url, const char* /*name*/, char* data, std::uint32_t* size) override {
    UrlParts parts;
    if (size == nullptr) return false;
    if (url == nullptr || !SplitUrl(url, &parts)) {
      *size = 0;
      return false;
    }
    std::string text;
    {
      std::lock_guard lock(mutex_);
      for (const Cookie& cookie : cookies_) {
        if (cookie.host != parts.host || !PathMatches(cookie.path, parts.path)) continue;
        if (!text.empty()) text += "; ";
        text += cookie.name + "=" + cookie.value;
      }
    }
    if (text.empty()) {
      *size = 0;
      return false;
    }
    const std::size_t needed = text.size() + 1;
    if (data == nullptr || *size < needed) {
      *size = static_cast<std::uint32_t>(needed);
      return false;
    }
    std::memcpy(data, text.c_str(), needed);
    *size = static_cast<std::uint32_t>(needed);
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<Cookie> cookies_;
};

}  // namespace

CookieStore& SystemCookieStore() {
  static MemoryCookieStore store;
  return store;
}

}  // namespace textrill
