// The libcurl HttpTransport: WinHTTP's synchronous calls over one curl multi
// handle per session (its connection cache) and one easy handle per request.
//
// An exchange (SendRequest up to the end of the body) is driven by the calling
// thread with curl_multi_perform / curl_multi_poll. The header callback
// collects the header block of every response libcurl sees and starts afresh
// at each status line, so only the final response's block is kept; interim 1xx
// responses, redirect hops and authentication rounds are dropped. The body goes
// through a bounded buffer: when it is full the write callback pauses the
// transfer, and reading from the buffer lets it go on.
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/curl_handles.h"
#include "platform/http_transport.h"

namespace textrill {
namespace {

namespace wh = winhttp;
using platform::CurlEasy;
using platform::CurlMulti;
using platform::CurlShare;
using platform::CurlSlist;
using platform::CurlString;
using platform::CurlUrl;
using Clock = std::chrono::steady_clock;

// The body bytes kept for the caller at most (one more chunk of libcurl's may
// arrive into an empty buffer).
constexpr std::size_t kBodyBufferLimit = 1 << 20;
// libcurl's receive buffer per transfer.
constexpr long kCurlBufferSize = 128 * 1024;
// Longest wait in one curl_multi_poll, so that timers are looked at regularly.
constexpr int kMaxPollMs = 1000;

thread_local std::uint32_t t_last_error = 0;

int Fail(std::uint32_t error) {
  t_last_error = error;
  return 0;
}

// ---------------------------------------------------------------------------
// Text helpers.

std::u16string_view WideView(const char16_t* text, std::uint32_t length) {
  if (text == nullptr) return {};
  if (length == wh::kZeroTerminated) return std::u16string_view(text);
  return std::u16string_view(text, length);
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// Bytes from the wire to UTF-16: valid UTF-8 sequences are decoded, any other
// byte stands for itself (as in ISO 8859-1), so nothing is lost or replaced.
std::u16string WireToWide(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
  while (i < in.size()) {
    unsigned char b = byte(i);
    char32_t c = 0;
    std::size_t n = 0;
    if (b < 0x80) {
      c = b, n = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      c = b & 0x1F, n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0F, n = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07, n = 4;
    }
    bool valid = n > 0 && i + n <= in.size();
    for (std::size_t k = 1; valid && k < n; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (valid && ((n == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
                  (n == 4 && (c < 0x10000 || c > 0x10FFFF)))) {
      valid = false;
    }
    if (!valid) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += n;
  }
  return out;
}

char AsciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

// An HTTP token (header name, method): visible ASCII without separators.
bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || std::strchr("()<>@,;:\\\"/[]?={}", c) != nullptr) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Object names go on the request line as written, except for bytes that may
// not appear there (controls, space, non-ASCII), which are percent-encoded.
std::string EscapeObjectName(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : utf8) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
        c == '`' || c == '{' || c == '|' || c == '}') {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  if (out.empty() || (out[0] != '/' && out != "*")) out.insert(out.begin(), '/');
  return out;
}

// ---------------------------------------------------------------------------
// Error numbers.

std::uint32_t MapCurlError(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return wh::kErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return wh::kErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return wh::kErrorTimeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
      return wh::kErrorSecureFailure;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_PROXY:
      return wh::kErrorConnectionError;
    // An exchange only gets "unsupported protocol" from a reply that is not
    // HTTP at all (HTTP/0.9 is refused): the server's answer is invalid.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_FILESIZE_EXCEEDED:
      return wh::kErrorInvalidServerResponse;
    case CURLE_OUT_OF_MEMORY:
      return wh::kErrorNotEnoughMemory;
    case CURLE_ABORTED_BY_CALLBACK:
      return wh::kErrorOperationCancelled;
    case CURLE_TOO_MANY_REDIRECTS:
      return wh::kErrorRedirectFailed;
    case CURLE_URL_MALFORMAT:
      return wh::kErrorInvalidUrl;
    default:
      return wh::kErrorInternalError;
  }
}

// The error number of a transfer that ended with `code`. libcurl reports a
// response header line above its size limit (100 KiB) as running out of
// memory; when that happens while a response's headers come in, the server's
// reply is at fault.
std::uint32_t MapTransferError(CURLcode code, bool receiving_headers) {
  if (code == CURLE_OUT_OF_MEMORY && receiving_headers) return wh::kErrorInvalidServerResponse;
  return MapCurlError(code);
}

// ---------------------------------------------------------------------------
// Handle state.

struct Timeouts {
  // WinHTTP's defaults; 0 or negative: no limit.
  int resolve = 0;
  int connect = 60000;
  int send = 30000;
  int receive = 30000;
};

struct SessionState {
  SessionState() {
    multi.reset(curl_multi_init());
    share.reset(curl_share_init());
  }

  std::string agent;
  std::string proxy;     // "http://host:port", or "" for no proxy
  std::string no_proxy;  // libcurl's list of hosts reached directly
  Timeouts timeouts;
  std::uint32_t redirect_policy = wh::kRedirectPolicyDisallowHttpsToHttp;
  std::uint32_t max_redirects = 10;

  std::atomic<bool> cancel_requested{false};
  std::atomic<bool> closed{false};

  // The session's built-in cookie jar, shared by its requests' easy handles.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> share_locks;
  CurlShare share;
  CurlMulti multi;  // declared last: destroyed first, after every request is gone
};

struct ConnectionState {
  std::shared_ptr<SessionState> session;
  std::string host;  // UTF-8, without IPv6 brackets
  std::uint16_t port = 0;
  bool closed = false;
};

struct Header {
  std::string name;   // UTF-8
  std::string value;  // UTF-8, may be empty
};

enum class Phase { kIdle, kRunning, kFailed };

// One exchange: a send, its redirect hops and authentication rounds, and the
// final response's headers and body.
struct Exchange {
  Phase phase = Phase::kIdle;
  std::uint32_t error = 0;  // set when phase is kFailed

  std::vector<char> body_to_send;
  bool send_body = false;
  std::string url;
  std::string verb;
  int hops = 0;
  bool same_origin = true;  // still on the first hop's scheme, host and port

  bool in_multi = false;
  bool paused = false;
  bool transfer_done = false;
  CURLcode result = CURLE_OK;
  std::uint32_t fatal_error = 0;  // set by a callback, acted on by the driver

  // Headers of the response being received.
  std::string status_line;
  std::vector<std::string> lines;
  int status = 0;
  // The last complete header block that is not interim.
  bool have_block = false;
  bool tentative = false;  // an authentication challenge libcurl may answer
  bool final_headers = false;
  bool redirect_pending = false;
  std::string redirect_url;
  std::string block_status_line;
  std::vector<std::string> block_lines;
  int block_status = 0;

  // Body.
  bool discard_body = false;
  std::vector<char> buffer;
  std::size_t read_pos = 0;

  // Inactivity timer.
  Clock::time_point last_activity = Clock::now();
  curl_off_t last_ul = -1;
  curl_off_t last_dl = -1;
  curl_off_t ul_now = 0;
  bool connected = false;

  std::size_t Held() const { return buffer.size() - read_pos; }
};

struct RequestState {
  std::shared_ptr<SessionState> session;
  std::shared_ptr<ConnectionState> connection;

  std::string verb;
  std::string object;  // escaped, starts with "/"
  bool secure = false;
  std::vector<Header> headers;
  std::vector<std::string> removed;  // built-in headers the caller removed

  bool disable_cookies = false;
  bool disable_redirects = false;
  bool disable_keep_alive = false;
  std::uint32_t security_flags = 0;
  std::string proxy_user;
  std::string proxy_password;
  bool proxy_credentials = false;
  long proxy_auth = CURLAUTH_ANY;
  std::string server_user;
  std::string server_password;
  long server_auth = 0;  // 0: no server credentials
  Timeouts timeouts;
  std::uint32_t redirect_policy = wh::kRedirectPolicyDisallowHttpsToHttp;
  std::uint32_t max_redirects = 10;

  Exchange x;
  CurlSlist header_list;
  CurlEasy easy;  // declared after the session: removed from its multi first

  ~RequestState() { Detach(); }

  void Detach() {
    if (x.in_multi && easy) curl_multi_remove_handle(session->multi.get(), easy.get());
    x.in_multi = false;
    x.paused = false;
  }
};

using Object = std::variant<std::shared_ptr<SessionState>, std::shared_ptr<ConnectionState>,
                            std::shared_ptr<RequestState>>;

// ---------------------------------------------------------------------------
// libcurl callbacks. They run on the thread that drives the session.

void ShareLock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<SessionState*>(user)->share_locks[data].lock();
}

void ShareUnlock(CURL*, curl_lock_data data, void* user) {
  static_cast<SessionState*>(user)->share_locks[data].unlock();
}

std::string ResolveLocation(const std::string& base, const std::string& location) {
  CurlUrl url(curl_url());
  if (!url) return {};
  if (curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return {};
  if (curl_url_set(url.get(), CURLUPART_URL, location.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE) != CURLUE_OK) {
    return {};
  }
  char* text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return {};
  CurlString owned(text);
  return owned.get();
}

std::string SchemeOf(std::string_view url) {
  std::size_t colon = url.find(':');
  std::string scheme(url.substr(0, colon == std::string_view::npos ? 0 : colon));
  for (char& c : scheme) c = AsciiLowerChar(c);
  return scheme;
}

std::string OriginOf(const std::string& url) {
  CurlUrl handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  std::string origin;
  for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
    char* text = nullptr;
    if (curl_url_get(handle.get(), part, &text, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      CurlString owned(text);
      origin += owned.get();
    }
    origin += '|';
  }
  return origin;
}

// Reason phrases for a proxy's refusal of a tunnel.
std::string ProxyReason(int status) {
  switch (status) {
    case 403:
      return "Forbidden";
    case 407:
      return "Proxy Authentication Required";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Proxy Error";
  }
}

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A complete header block (at its blank line) decides what happens next.
void OnHeaderBlockEnd(RequestState& r) {
  Exchange& x = r.x;
  if (x.status >= 100 && x.status < 200 && x.status != 101) {
    x.status_line.clear();
    x.lines.clear();
    return;  // interim response
  }
  x.have_block = true;
  x.block_status_line = std::move(x.status_line);
  x.block_lines = std::move(x.lines);
  x.block_status = x.status;
  x.status_line.clear();
  x.lines.clear();
  x.tentative = false;
  x.discard_body = false;

  if (IsRedirectStatus(x.block_status) && !r.disable_redirects &&
      r.redirect_policy != wh::kRedirectPolicyNever) {
    std::string location;
    for (const std::string& line : x.block_lines) {
      if (StartsWithNoCase(line, "location:")) {
        location = std::string(TrimBlanks(std::string_view(line).substr(9)));
        break;
      }
    }
    if (!location.empty()) {
      std::string target = ResolveLocation(x.url, location);
      std::string scheme = SchemeOf(target);
      bool followable = scheme == "http" || scheme == "https";
      if (followable && SchemeOf(x.url) == "https" && scheme == "http" &&
          r.redirect_policy != wh::kRedirectPolicyAlways) {
        followable = false;  // never downgrade from https, as WinHTTP does by default
      }
      if (followable) {
        if (x.hops >= static_cast<int>(r.max_redirects)) {
          x.fatal_error = wh::kErrorRedirectFailed;
          x.discard_body = true;
          return;
        }
        x.redirect_pending = true;
        x.redirect_url = std::move(target);
        x.discard_body = true;
        return;
      }
    }
  }
  // A challenge that libcurl answers by itself is followed by another
  // response; it counts as final only if its body arrives or the transfer ends.
  if ((x.block_status == 401 && r.server_auth != 0 && x.same_origin) ||
      (x.block_status == 407 && r.proxy_credentials && !r.session->proxy.empty())) {
    x.tentative = true;
    return;
  }
  x.final_headers = true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<RequestState*>(user);
  Exchange& x = r.x;
  const std::size_t n = size * count;
  x.last_activity = Clock::now();
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);

  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    // A new response begins: whatever came before is not the final one.
    x.status_line.assign(line);
    x.lines.clear();
    x.status = 0;
    std::size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      std::string_view rest = line.substr(space + 1);
      int status = 0;
      std::size_t digits = 0;
      while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9') {
        status = status * 10 + (rest[digits] - '0');
        ++digits;
      }
      x.status = digits == 3 ? status : 0;
    }
    x.tentative = false;
    x.final_headers = false;
    x.redirect_pending = false;
    x.have_block = false;
    return n;
  }
  if (x.status_line.empty()) return n;  // trailers after the body, or nothing to attach to
  if (line.empty()) {
    OnHeaderBlockEnd(r);
    return n;
  }
  x.lines.emplace_back(line);
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<RequestState*>(user);
  Exchange& x = r.x;
  const std::size_t n = size * count;
  x.last_activity = Clock::now();
  if (x.discard_body) return n;
  if (x.have_block && x.tentative) {
    x.tentative = false;
    x.final_headers = true;
  }
  std::size_t held = x.Held();
  if (held > 0 && held + n > kBodyBufferLimit) {
    x.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (x.read_pos > 0) {
    x.buffer.erase(x.buffer.begin(), x.buffer.begin() + static_cast<std::ptrdiff_t>(x.read_pos));
    x.read_pos = 0;
  }
  x.buffer.insert(x.buffer.end(), data, data + n);
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto& r = *static_cast<RequestState*>(user);
  Exchange& x = r.x;
  if (ulnow != x.last_ul || dlnow != x.last_dl) {
    x.last_ul = ulnow;
    x.last_dl = dlnow;
    x.last_activity = Clock::now();
  }
  x.ul_now = ulnow;
  return 0;
}

// ---------------------------------------------------------------------------
// The transport.

class CurlTransport final : public HttpTransport {
 public:
  HttpHandle Open(const char16_t* agent, std::uint32_t access_type, const char16_t* proxy,
                  const char16_t* proxy_bypass, std::uint32_t /*flags*/) override {
    auto session = std::make_shared<SessionState>();
    if (!session->multi || !session->share) return Fail(wh::kErrorNotEnoughMemory);
    CURLSH* share = session->share.get();
    if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, ShareLock) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, ShareUnlock) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_USERDATA, session.get()) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK) {
      return Fail(wh::kErrorInternalError);
    }
    session->agent = ToUtf8(WideView(agent, wh::kZeroTerminated));
    if (!ApplyProxy(*session, access_type, proxy, proxy_bypass)) return 0;
    return Insert(std::move(session));
  }

  int CloseHandle(HttpHandle handle) override {
    Object object;
    {
      std::lock_guard lock(mutex_);
      auto it = objects_.find(handle);
      if (it == objects_.end()) return Fail(wh::kErrorInvalidHandle);
      object = std::move(it->second);
      objects_.erase(it);
    }
    if (auto* session = std::get_if<std::shared_ptr<SessionState>>(&object)) {
      (*session)->closed = true;
    } else if (auto* connection = std::get_if<std::shared_ptr<ConnectionState>>(&object)) {
      (*connection)->closed = true;
    }
    // A request is released here, with its transfer, unless it is still in
    // use by a call on another thread (which the contract does not allow).
    return 1;
  }

  int SetTimeouts(HttpHandle handle, int resolve_timeout, int connect_timeout, int send_timeout,
                  int receive_timeout) override {
    Timeouts timeouts{resolve_timeout, connect_timeout, send_timeout, receive_timeout};
    Object object;
    if (!Find(handle, &object)) return 0;
    if (auto* session = std::get_if<std::shared_ptr<SessionState>>(&object)) {
      (*session)->timeouts = timeouts;
      return 1;
    }
    if (auto* request = std::get_if<std::shared_ptr<RequestState>>(&object)) {
      (*request)->timeouts = timeouts;
      return 1;
    }
    return Fail(wh::kErrorIncorrectHandleType);
  }

  int CrackUrl(const char16_t* url, std::uint32_t url_length, std::uint32_t flags,
               UrlComponents* components) override;

  HttpHandle Connect(HttpHandle session_handle, const char16_t* server_name, std::uint16_t port,
                     std::uint32_t /*reserved*/) override {
    auto session = FindAs<SessionState>(session_handle);
    if (!session) return 0;
    if (session->closed) return Fail(wh::kErrorIncorrectHandleState);
    std::string host = ToUtf8(WideView(server_name, wh::kZeroTerminated));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) return Fail(wh::kErrorInvalidParameter);
    for (char c : host) {
      auto u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u == 0x7F || std::strchr("/?#@\\[]%\"<>", c) != nullptr) {
        return Fail(wh::kErrorInvalidUrl);
      }
    }
    auto connection = std::make_shared<ConnectionState>();
    connection->session = std::move(session);
    connection->host = std::move(host);
    connection->port = port;
    return Insert(std::move(connection));
  }

  HttpHandle OpenRequest(HttpHandle connection_handle, const char16_t* verb,
                         const char16_t* object_name, const char16_t* /*version*/,
                         const char16_t* referrer, const char16_t* const* accept_types,
                         std::uint32_t flags) override {
    auto connection = FindAs<ConnectionState>(connection_handle);
    if (!connection) return 0;
    if (connection->closed || connection->session->closed) {
      return Fail(wh::kErrorIncorrectHandleState);
    }
    auto request = std::make_shared<RequestState>();
    request->verb = verb == nullptr ? "GET" : ToUtf8(WideView(verb, wh::kZeroTerminated));
    if (request->verb.empty()) request->verb = "GET";
    if (!IsToken(request->verb)) return Fail(wh::kErrorInvalidParameter);
    request->object = EscapeObjectName(ToUtf8(WideView(object_name, wh::kZeroTerminated)));
    request->secure = (flags & wh::kFlagSecure) != 0;
    request->session = connection->session;
    request->connection = connection;
    request->timeouts = connection->session->timeouts;
    request->redirect_policy = connection->session->redirect_policy;
    request->max_redirects = connection->session->max_redirects;
    if (referrer != nullptr && *referrer != 0) {
      std::string value = ToUtf8(WideView(referrer, wh::kZeroTerminated));
      if (value.find_first_of("\r\n") != std::string::npos) {
        return Fail(wh::kErrorInvalidParameter);
      }
      request->headers.push_back({"Referer", value});
    }
    if (accept_types != nullptr) {
      std::string accept;
      for (const char16_t* const* type = accept_types; *type != nullptr; ++type) {
        std::string value = ToUtf8(WideView(*type, wh::kZeroTerminated));
        if (value.find_first_of("\r\n") != std::string::npos) {
          return Fail(wh::kErrorInvalidParameter);
        }
        if (!accept.empty()) accept += ", ";
        accept += value;
      }
      if (!accept.empty()) request->headers.push_back({"Accept", accept});
    }
    return Insert(std::move(request));
  }

  int AddRequestHeaders(HttpHandle request_handle, const char16_t* headers,
                        std::uint32_t headers_length, std::uint32_t modifiers) override {
    auto request = FindAs<RequestState>(request_handle);
    if (!request) return 0;
    if (headers == nullptr || headers_length == 0) return Fail(wh::kErrorInvalidParameter);
    return AddHeaders(*request, ToUtf8(WideView(headers, headers_length)), modifiers);
  }

  int SetOption(HttpHandle handle, std::uint32_t option, const void* buffer,
                std::uint32_t buffer_length) override;

  int SetCredentials(HttpHandle request_handle, std::uint32_t auth_targets,
                     std::uint32_t auth_scheme, const char16_t* user_name, const char16_t* password,
                     void* /*auth_params*/) override {
    auto request = FindAs<RequestState>(request_handle);
    if (!request) return 0;
    if (user_name == nullptr) return Fail(wh::kErrorInvalidParameter);
    long curl_auth = 0;
    if (auth_scheme & wh::kAuthSchemeBasic) curl_auth |= CURLAUTH_BASIC;
    if (auth_scheme & wh::kAuthSchemeDigest) curl_auth |= CURLAUTH_DIGEST;
    if (auth_scheme & wh::kAuthSchemeNtlm) curl_auth |= CURLAUTH_NTLM;
    if (auth_scheme & wh::kAuthSchemeNegotiate) curl_auth |= CURLAUTH_NEGOTIATE;
    constexpr std::uint32_t kKnownSchemes = wh::kAuthSchemeBasic | wh::kAuthSchemeDigest |
                                            wh::kAuthSchemeNtlm | wh::kAuthSchemeNegotiate;
    if (curl_auth == 0 || (auth_scheme & ~kKnownSchemes) != 0) {
      return Fail(wh::kErrorInvalidParameter);  // Passport and unknown schemes
    }
    std::string user = ToUtf8(WideView(user_name, wh::kZeroTerminated));
    std::string pass = ToUtf8(WideView(password, wh::kZeroTerminated));
    if (auth_targets == wh::kAuthTargetServer) {
      request->server_user = std::move(user);
      request->server_password = std::move(pass);
      request->server_auth = curl_auth;
    } else if (auth_targets == wh::kAuthTargetProxy) {
      request->proxy_user = std::move(user);
      request->proxy_password = std::move(pass);
      request->proxy_auth = curl_auth;
      request->proxy_credentials = true;
    } else {
      return Fail(wh::kErrorInvalidParameter);
    }
    return 1;
  }

  int SendRequest(HttpHandle request_handle, const char16_t* headers, std::uint32_t headers_length,
                  const void* optional, std::uint32_t optional_length, std::uint32_t total_length,
                  std::uintptr_t /*context*/) override;

  int ReceiveResponse(HttpHandle request_handle, void* /*reserved*/) override {
    auto request = FindAs<RequestState>(request_handle);
    if (!request) return 0;
    Exchange& x = request->x;
    if (x.phase == Phase::kFailed) return Fail(x.error);
    if (x.phase != Phase::kRunning || !x.final_headers) {
      return Fail(wh::kErrorIncorrectHandleState);
    }
    return 1;
  }

  int QueryHeaders(HttpHandle request_handle, std::uint32_t info_level, const char16_t* name,
                   void* buffer, std::uint32_t* buffer_length, std::uint32_t* index) override;

  int QueryDataAvailable(HttpHandle request_handle, std::uint32_t* bytes_available) override {
    auto request = FindAs<RequestState>(request_handle);
    if (!request) return 0;
    if (bytes_available == nullptr) return Fail(wh::kErrorInvalidParameter);
    if (!WaitForBody(*request)) return 0;
    *bytes_available =
        static_cast<std::uint32_t>(std::min<std::size_t>(request->x.Held(), 0xFFFFFFFFu));
    return 1;
  }

  int ReadData(HttpHandle request_handle, void* buffer, std::uint32_t bytes_to_read,
               std::uint32_t* bytes_read) override {
    auto request = FindAs<RequestState>(request_handle);
    if (!request) return 0;
    if (bytes_read == nullptr || (buffer == nullptr && bytes_to_read > 0)) {
      return Fail(wh::kErrorInvalidParameter);
    }
    *bytes_read = 0;
    if (bytes_to_read == 0) return 1;
    if (!WaitForBody(*request)) return 0;
    Exchange& x = request->x;
    std::size_t n = std::min<std::size_t>(x.Held(), bytes_to_read);
    if (n > 0) std::memcpy(buffer, x.buffer.data() + x.read_pos, n);
    x.read_pos += n;
    if (x.read_pos == x.buffer.size()) {
      x.buffer.clear();
      x.read_pos = 0;
    }
    *bytes_read = static_cast<std::uint32_t>(n);
    return 1;
  }

  std::uint32_t LastError() const override { return t_last_error; }

  void Cancel(HttpHandle handle) override {
    std::shared_ptr<SessionState> session;
    {
      std::lock_guard lock(mutex_);
      auto it = objects_.find(handle);
      if (it == objects_.end()) return;
      if (auto* s = std::get_if<std::shared_ptr<SessionState>>(&it->second)) {
        session = *s;
      } else if (auto* r = std::get_if<std::shared_ptr<RequestState>>(&it->second)) {
        session = (*r)->session;
      } else if (auto* c = std::get_if<std::shared_ptr<ConnectionState>>(&it->second)) {
        session = (*c)->session;
      }
    }
    if (!session) return;
    session->cancel_requested = true;
    curl_multi_wakeup(session->multi.get());
  }

 private:
  HttpHandle Insert(Object object) {
    std::lock_guard lock(mutex_);
    HttpHandle handle = next_handle_++;
    objects_.emplace(handle, std::move(object));
    return handle;
  }

  bool Find(HttpHandle handle, Object* object) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return Fail(wh::kErrorInvalidHandle);
    *object = it->second;
    return true;
  }

  template <typename T>
  std::shared_ptr<T> FindAs(HttpHandle handle) {
    Object object;
    if (!Find(handle, &object)) return nullptr;
    if (auto* typed = std::get_if<std::shared_ptr<T>>(&object)) return *typed;
    Fail(wh::kErrorIncorrectHandleType);
    return nullptr;
  }

  static bool ApplyProxy(SessionState& session, std::uint32_t access_type, const char16_t* proxy,
                         const char16_t* bypass);
  static int AddHeaders(RequestState& request, const std::string& text, std::uint32_t modifiers);
  static bool StartTransfer(RequestState& request);
  static bool Drive(RequestState& request, bool (*ready)(const Exchange&));
  static bool WaitForBody(RequestState& request);
  static void Abort(RequestState& request, std::uint32_t error);

  std::mutex mutex_;
  std::unordered_map<HttpHandle, Object> objects_;
  HttpHandle next_handle_ = 0x1000;
};

// ---------------------------------------------------------------------------
// CrackUrl.

int CurlTransport::CrackUrl(const char16_t* url, std::uint32_t url_length, std::uint32_t,
                            UrlComponents* components) {
  if (url == nullptr || components == nullptr || components->struct_size != sizeof(UrlComponents)) {
    return Fail(wh::kErrorInvalidParameter);
  }
  std::u16string_view text = url_length == 0 ? std::u16string_view(url) : WideView(url, url_length);
  const auto is_alpha = [](char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };

  // Scheme: letters, digits, "+", "-", "." before the first ":".
  std::size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos || colon == 0 || !is_alpha(text[0])) {
    return Fail(wh::kErrorUnrecognizedScheme);
  }
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) {
    char16_t c = text[i];
    if (!is_alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
      return Fail(wh::kErrorUnrecognizedScheme);
    }
    scheme += AsciiLowerChar(static_cast<char>(c));
  }
  int scheme_number = 0;
  std::uint16_t default_port = 0;
  if (scheme == "http") {
    scheme_number = wh::kSchemeHttp, default_port = 80;
  } else if (scheme == "https") {
    scheme_number = wh::kSchemeHttps, default_port = 443;
  } else {
    return Fail(wh::kErrorUnrecognizedScheme);
  }
  if (text.substr(colon + 1, 2) != u"//") return Fail(wh::kErrorInvalidUrl);

  const std::size_t authority_begin = colon + 3;
  std::size_t authority_end = text.find_first_of(u"/?#", authority_begin);
  if (authority_end == std::u16string_view::npos) authority_end = text.size();
  std::u16string_view authority = text.substr(authority_begin, authority_end - authority_begin);
  if (authority.empty()) return Fail(wh::kErrorInvalidUrl);

  // user[:password]@host[:port]
  std::size_t host_begin = authority_begin;
  std::size_t user_begin = 0, user_length = 0, password_begin = 0, password_length = 0;
  std::size_t at = authority.rfind(u'@');
  if (at != std::u16string_view::npos) {
    std::u16string_view userinfo = authority.substr(0, at);
    std::size_t split = userinfo.find(u':');
    user_begin = authority_begin;
    user_length = split == std::u16string_view::npos ? userinfo.size() : split;
    if (split != std::u16string_view::npos) {
      password_begin = authority_begin + split + 1;
      password_length = userinfo.size() - split - 1;
    }
    host_begin = authority_begin + at + 1;
  }
  std::u16string_view hostport = text.substr(host_begin, authority_end - host_begin);
  std::size_t host_length = 0;
  std::size_t host_offset = host_begin;
  std::u16string_view port_text;
  bool has_port = false;
  if (!hostport.empty() && hostport[0] == u'[') {
    std::size_t close = hostport.find(u']');
    if (close == std::u16string_view::npos) return Fail(wh::kErrorInvalidUrl);
    host_offset = host_begin + 1;
    host_length = close - 1;
    std::u16string_view after = hostport.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != u':') return Fail(wh::kErrorInvalidUrl);
      port_text = after.substr(1);
      has_port = true;
    }
  } else {
    std::size_t port_colon = hostport.rfind(u':');
    host_length = port_colon == std::u16string_view::npos ? hostport.size() : port_colon;
    if (port_colon != std::u16string_view::npos) {
      port_text = hostport.substr(port_colon + 1);
      has_port = true;
    }
  }
  if (host_length == 0) return Fail(wh::kErrorInvalidUrl);
  std::uint32_t port = default_port;
  if (has_port && !port_text.empty()) {
    if (port_text.size() > 5) return Fail(wh::kErrorInvalidUrl);
    port = 0;
    for (char16_t c : port_text) {
      if (c < '0' || c > '9') return Fail(wh::kErrorInvalidUrl);
      port = port * 10 + (c - '0');
    }
    if (port > 65535) return Fail(wh::kErrorInvalidUrl);
  }

  // Path up to the first "?"; the extra information from there on (from a
  // "#" when there is no "?").
  std::size_t extra_begin = text.find(u'?', authority_end);
  if (extra_begin == std::u16string_view::npos) extra_begin = text.find(u'#', authority_end);
  if (extra_begin == std::u16string_view::npos) extra_begin = text.size();

  const auto set = [&](const char16_t** pointer, int* length, std::size_t begin, std::size_t size) {
    if (*length == 0) return;  // not asked for
    *pointer = text.data() + begin;
    *length = static_cast<int>(size);
  };
  set(&components->scheme_text, &components->scheme_text_length, 0, colon);
  set(&components->host_name, &components->host_name_length, host_offset, host_length);
  set(&components->user_name, &components->user_name_length, user_begin, user_length);
  set(&components->password, &components->password_length, password_begin, password_length);
  set(&components->url_path, &components->url_path_length, authority_end,
      extra_begin - authority_end);
  set(&components->extra_info, &components->extra_info_length, extra_begin,
      text.size() - extra_begin);
  components->scheme = scheme_number;
  components->port = static_cast<std::uint16_t>(port);
  return 1;
}

// ---------------------------------------------------------------------------
// Proxy and options.

bool CurlTransport::ApplyProxy(SessionState& session, std::uint32_t access_type,
                               const char16_t* proxy, const char16_t* bypass) {
  if (access_type != wh::kAccessTypeNamedProxy) {
    // No proxy; the machine's and the environment's settings are never taken.
    session.proxy.clear();
    session.no_proxy.clear();
    return true;
  }
  std::string list = ToUtf8(WideView(proxy, wh::kZeroTerminated));
  // The list holds entries like "host:port", "http=host:port" or
  // "http://host:port", separated by ";" or blanks; the first one for plain
  // HTTP is taken.
  std::string chosen;
  std::size_t pos = 0;
  while (pos < list.size() && chosen.empty()) {
    std::size_t end = list.find_first_of("; \t", pos);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    std::size_t equals = entry.find('=');
    if (equals != std::string::npos) {
      if (!SameName(entry.substr(0, equals), "http")) continue;
      entry = entry.substr(equals + 1);
    }
    if (StartsWithNoCase(entry, "http://")) entry = entry.substr(7);
    chosen = entry;
  }
  if (chosen.empty()) return Fail(wh::kErrorInvalidParameter);
  for (char c : chosen) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '/' || c == '@' || c == '?' || c == '#') {
      return Fail(wh::kErrorInvalidParameter);
    }
  }
  session.proxy = "http://" + chosen;
  session.no_proxy.clear();
  std::string bypass_list = ToUtf8(WideView(bypass, wh::kZeroTerminated));
  pos = 0;
  while (pos < bypass_list.size()) {
    std::size_t end = bypass_list.find_first_of("; \t", pos);
    if (end == std::string::npos) end = bypass_list.size();
    std::string entry = bypass_list.substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty() || entry == "<local>") continue;  // not expressible for libcurl
    if (entry.rfind("*.", 0) == 0) entry = entry.substr(1);
    if (!session.no_proxy.empty()) session.no_proxy += ',';
    session.no_proxy += entry;
  }
  return true;
}

int CurlTransport::SetOption(HttpHandle handle, std::uint32_t option, const void* buffer,
                             std::uint32_t buffer_length) {
  Object object;
  if (!Find(handle, &object)) return 0;
  if (buffer == nullptr) return Fail(wh::kErrorInvalidParameter);
  auto* session_ptr = std::get_if<std::shared_ptr<SessionState>>(&object);
  auto* request_ptr = std::get_if<std::shared_ptr<RequestState>>(&object);
  SessionState* session = session_ptr ? session_ptr->get() : nullptr;
  RequestState* request = request_ptr ? request_ptr->get() : nullptr;

  const auto read_u32 = [&](std::uint32_t* value) {
    if (buffer_length != sizeof(std::uint32_t)) return false;
    std::memcpy(value, buffer, sizeof(std::uint32_t));
    return true;
  };
  std::uint32_t value = 0;

  switch (option) {
    case wh::kOptionDisableFeature: {
      if (!request) return Fail(wh::kErrorIncorrectHandleType);
      if (!read_u32(&value)) return Fail(wh::kErrorInvalidParameter);
      constexpr std::uint32_t kKnown =
          wh::kDisableCookies | wh::kDisableRedirects | wh::kDisableKeepAlive;
      if (value == 0 || (value & ~kKnown) != 0) return Fail(wh::kErrorInvalidParameter);
      if (value & wh::kDisableCookies) request->disable_cookies = true;
      if (value & wh::kDisableRedirects) request->disable_redirects = true;
      if (value & wh::kDisableKeepAlive) request->disable_keep_alive = true;
      return 1;
    }
    case wh::kOptionSecurityFlags:
      if (!request) return Fail(wh::kErrorIncorrectHandleType);
      if (!read_u32(&value)) return Fail(wh::kErrorInvalidParameter);
      request->security_flags = value;
      return 1;
    case wh::kOptionProxy: {
      if (!session) return Fail(wh::kErrorIncorrectHandleType);
      if (buffer_length < sizeof(ProxyInfo)) return Fail(wh::kErrorInvalidParameter);
      ProxyInfo info;
      std::memcpy(&info, buffer, sizeof(ProxyInfo));
      return ApplyProxy(*session, info.access_type, info.proxy, info.proxy_bypass) ? 1 : 0;
    }
    case wh::kOptionProxyUsername:
    case wh::kOptionProxyPassword: {
      if (!request) return Fail(wh::kErrorIncorrectHandleType);
      // UTF-16 text, read up to its terminator or the end of the buffer.
      std::u16string text;
      const auto* bytes = static_cast<const unsigned char*>(buffer);
      for (std::uint32_t i = 0; i + 1 < buffer_length; i += 2) {
        char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0) break;
        text += c;
      }
      (option == wh::kOptionProxyUsername ? request->proxy_user : request->proxy_password) =
          ToUtf8(text);
      request->proxy_credentials = true;
      return 1;
    }
    case wh::kOptionResolveTimeout:
    case wh::kOptionConnectTimeout:
    case wh::kOptionSendTimeout:
    case wh::kOptionReceiveTimeout: {
      Timeouts* timeouts = session ? &session->timeouts : request ? &request->timeouts : nullptr;
      if (!timeouts) return Fail(wh::kErrorIncorrectHandleType);
      if (!read_u32(&value)) return Fail(wh::kErrorInvalidParameter);
      int ms = static_cast<int>(value);
      if (option == wh::kOptionResolveTimeout) timeouts->resolve = ms;
      if (option == wh::kOptionConnectTimeout) timeouts->connect = ms;
      if (option == wh::kOptionSendTimeout) timeouts->send = ms;
      if (option == wh::kOptionReceiveTimeout) timeouts->receive = ms;
      return 1;
    }
    case wh::kOptionRedirectPolicy:
    case wh::kOptionMaxAutomaticRedirects: {
      if (!session && !request) return Fail(wh::kErrorIncorrectHandleType);
      if (!read_u32(&value)) return Fail(wh::kErrorInvalidParameter);
      if (option == wh::kOptionRedirectPolicy) {
        if (value > wh::kRedirectPolicyAlways) return Fail(wh::kErrorInvalidParameter);
        (session ? session->redirect_policy : request->redirect_policy) = value;
      } else {
        (session ? session->max_redirects : request->max_redirects) = value;
      }
      return 1;
    }
    default:
      return Fail(wh::kErrorInvalidOption);
  }
}

// ---------------------------------------------------------------------------
// Request headers.

int CurlTransport::AddHeaders(RequestState& request, const std::string& text,
                              std::uint32_t modifiers) {
  // Parse every line first, so that a bad line changes nothing.
  std::vector<Header> parsed;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail(wh::kErrorInvalidParameter);
    std::string_view name = TrimBlanks(line.substr(0, colon));
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!IsToken(name) || value.find_first_of(std::string_view("\r\0", 2)) != std::string::npos) {
      return Fail(wh::kErrorInvalidParameter);
    }
    parsed.push_back({std::string(name), std::string(value)});
  }
  if (parsed.empty()) return Fail(wh::kErrorInvalidParameter);

  auto& headers = request.headers;
  const auto find = [&](const std::string& name) {
    return std::find_if(headers.begin(), headers.end(),
                        [&](const Header& h) { return SameName(h.name, name); });
  };
  const auto unremove = [&](const std::string& name) {
    std::erase_if(request.removed, [&](const std::string& n) { return SameName(n, name); });
  };
  // The default headers a caller may remove; Host and Content-Length stay.
  const auto sent_by_default = [](const std::string& name) {
    return SameName(name, "User-Agent") || SameName(name, "Connection");
  };
  const bool replace = (modifiers & wh::kAddReqFlagReplace) != 0;
  const bool add = (modifiers & wh::kAddReqFlagAdd) != 0;
  const bool add_if_new = (modifiers & wh::kAddReqFlagAddIfNew) != 0;
  const bool comma = (modifiers & wh::kAddReqFlagCoalesceWithComma) != 0;
  const bool semicolon = (modifiers & wh::kAddReqFlagCoalesceWithSemicolon) != 0;

  bool all_done = true;
  for (Header& header : parsed) {
    auto it = find(header.name);
    if (replace) {
      if (it == headers.end()) {
        if (add) {
          unremove(header.name);
          headers.push_back(std::move(header));
        } else if (header.value.empty() && sent_by_default(header.name)) {
          // Removing a header the caller never added but that would be sent
          // by default: keep it off the wire.
          unremove(header.name);
          request.removed.push_back(header.name);
        } else {
          all_done = false;
          t_last_error = wh::kErrorHeaderNotFound;
        }
      } else if (header.value.empty() && !add) {
        std::erase_if(headers, [&](const Header& h) { return SameName(h.name, header.name); });
        if (sent_by_default(header.name)) request.removed.push_back(header.name);
      } else {
        it->value = std::move(header.value);
      }
    } else if (add_if_new) {
      if (it != headers.end()) {
        all_done = false;
        t_last_error = wh::kErrorHeaderAlreadyExists;
      } else {
        unremove(header.name);
        headers.push_back(std::move(header));
      }
    } else if ((comma || semicolon) && it != headers.end()) {
      it->value += comma ? ", " : "; ";
      it->value += header.value;
    } else {
      unremove(header.name);
      headers.push_back(std::move(header));
    }
  }
  return all_done ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Sending and driving.

// Sets every option of the easy handle for the exchange's current hop and adds
// it to the session's multi handle.
bool CurlTransport::StartTransfer(RequestState& r) {
  Exchange& x = r.x;
  SessionState& s = *r.session;
  // A fresh easy handle per hop: nothing of the previous transfer's settings
  // is left over, and the connection cache lives in the multi handle anyway.
  r.easy.reset(curl_easy_init());
  CURL* easy = r.easy.get();
  if (easy == nullptr) return false;

  // Request headers: the caller's, then what suppresses libcurl's own.
  curl_slist* list = nullptr;
  bool ok = true;
  const auto append = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (next == nullptr) {
      ok = false;
      return;
    }
    list = next;
  };
  const auto has = [&](std::string_view name) {
    return std::any_of(r.headers.begin(), r.headers.end(),
                       [&](const Header& h) { return SameName(h.name, name); });
  };
  for (const Header& h : r.headers) {
    if (!x.same_origin && SameName(h.name, "Authorization")) continue;
    append(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
  }
  for (const std::string& name : r.removed) append(name + ":");
  if (!has("Accept")) append("Accept:");
  if (!has("Expect")) append("Expect:");
  if (!has("Content-Type")) append("Content-Type:");
  const bool connection_removed =
      std::any_of(r.removed.begin(), r.removed.end(),
                  [](const std::string& name) { return SameName(name, "Connection"); });
  if (!has("Connection") && !connection_removed) {
    append(r.disable_keep_alive ? "Connection: close" : "Connection: Keep-Alive");
  }
  r.header_list.reset(list);
  if (!ok) return false;

  const bool via_proxy = !s.proxy.empty();
  long connect_ms = 0;
  if (r.timeouts.connect > 0) connect_ms = r.timeouts.connect + std::max(r.timeouts.resolve, 0);

  bool set = true;
  const auto opt = [&](CURLoption option, auto value) {
    if (curl_easy_setopt(easy, option, value) != CURLE_OK) set = false;
  };
  opt(CURLOPT_URL, x.url.c_str());
  opt(CURLOPT_PRIVATE, static_cast<void*>(&r));
  opt(CURLOPT_NOSIGNAL, 1L);
  opt(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  opt(CURLOPT_PROTOCOLS_STR, "http,https");
  opt(CURLOPT_PATH_AS_IS, 1L);
  opt(CURLOPT_HEADERFUNCTION, OnHeader);
  opt(CURLOPT_HEADERDATA, static_cast<void*>(&r));
  opt(CURLOPT_WRITEFUNCTION, OnBody);
  opt(CURLOPT_WRITEDATA, static_cast<void*>(&r));
  opt(CURLOPT_XFERINFOFUNCTION, OnProgress);
  opt(CURLOPT_XFERINFODATA, static_cast<void*>(&r));
  opt(CURLOPT_NOPROGRESS, 0L);
  opt(CURLOPT_BUFFERSIZE, kCurlBufferSize);
  opt(CURLOPT_HTTPHEADER, r.header_list.get());
  opt(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  opt(CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  // Always set, so that the environment's proxy variables are never used.
  opt(CURLOPT_PROXY, s.proxy.c_str());
  if (via_proxy) {
    if (!s.no_proxy.empty()) opt(CURLOPT_NOPROXY, s.no_proxy.c_str());
    if (r.proxy_credentials) {
      opt(CURLOPT_PROXYUSERNAME, r.proxy_user.c_str());
      opt(CURLOPT_PROXYPASSWORD, r.proxy_password.c_str());
      opt(CURLOPT_PROXYAUTH, r.proxy_auth);
    }
  }
  // Server credentials go only to the origin they were set for.
  if (r.server_auth != 0 && x.same_origin) {
    opt(CURLOPT_USERNAME, r.server_user.c_str());
    opt(CURLOPT_PASSWORD, r.server_password.c_str());
    opt(CURLOPT_HTTPAUTH, r.server_auth);
  }
  if (!s.agent.empty() && !has("User-Agent")) opt(CURLOPT_USERAGENT, s.agent.c_str());
  // Certificate checks: an unknown authority (with a wrong usage or date) is
  // accepted only with its flag, a name mismatch only with its own.
  opt(CURLOPT_SSL_VERIFYPEER, (r.security_flags & wh::kSecurityFlagIgnoreUnknownCa) ? 0L : 1L);
  opt(CURLOPT_SSL_VERIFYHOST, (r.security_flags & wh::kSecurityFlagIgnoreCertCnInvalid) ? 0L : 2L);
  if (!r.disable_cookies) {
    opt(CURLOPT_SHARE, s.share.get());
    opt(CURLOPT_COOKIEFILE, "");
  }
  if (r.disable_keep_alive) opt(CURLOPT_FORBID_REUSE, 1L);

  // Verb and body.
  const char* body = x.body_to_send.empty() ? "" : x.body_to_send.data();
  const auto body_size = static_cast<curl_off_t>(x.body_to_send.size());
  if (x.verb == "HEAD") {
    opt(CURLOPT_NOBODY, 1L);
  } else if (x.verb == "POST") {
    opt(CURLOPT_POST, 1L);
    opt(CURLOPT_POSTFIELDSIZE_LARGE, x.send_body ? body_size : curl_off_t{0});
    opt(CURLOPT_POSTFIELDS, x.send_body ? body : "");
  } else if (x.send_body) {
    opt(CURLOPT_CUSTOMREQUEST, x.verb.c_str());
    opt(CURLOPT_POSTFIELDSIZE_LARGE, body_size);
    opt(CURLOPT_POSTFIELDS, body);
  } else if (x.verb == "GET") {
    opt(CURLOPT_HTTPGET, 1L);
  } else {
    opt(CURLOPT_CUSTOMREQUEST, x.verb.c_str());
  }
  if (!set) return false;

  // Fresh per-hop state.
  x.status_line.clear();
  x.lines.clear();
  x.have_block = x.tentative = x.final_headers = x.redirect_pending = false;
  x.discard_body = false;
  x.transfer_done = false;
  x.result = CURLE_OK;
  x.paused = false;
  x.connected = false;
  x.last_ul = x.last_dl = -1;
  x.ul_now = 0;
  x.buffer.clear();
  x.read_pos = 0;
  if (curl_multi_add_handle(s.multi.get(), easy) != CURLM_OK) return false;
  x.in_multi = true;
  return true;
}

void CurlTransport::Abort(RequestState& r, std::uint32_t error) {
  r.Detach();
  r.x.phase = Phase::kFailed;
  r.x.error = error;
  t_last_error = error;
}

// Drives the session's transfers until `ready` holds for the request's
// exchange or its transfer has ended. Redirect hops are started here. False
// (with the error set and the exchange failed) on cancel, timeout or a failure
// of libcurl's multi interface.
bool CurlTransport::Drive(RequestState& r, bool (*ready)(const Exchange&)) {
  Exchange& x = r.x;
  SessionState& s = *r.session;
  x.last_activity = Clock::now();
  for (;;) {
    if (x.phase == Phase::kFailed) return Fail(x.error);
    if (s.cancel_requested.exchange(false)) {
      Abort(r, wh::kErrorOperationCancelled);
      return false;
    }
    if (x.fatal_error != 0) {
      Abort(r, x.fatal_error);
      return false;
    }
    if (ready(x)) return true;
    if (x.transfer_done) {
      if (!x.redirect_pending || x.result != CURLE_OK) return true;
      // Follow the redirect: 303 makes any verb but HEAD a GET, 301 and 302
      // make a POST a GET; the body goes only with 307 and 308.
      int status = x.block_status;
      if ((status == 303 && x.verb != "HEAD") ||
          ((status == 301 || status == 302) && x.verb == "POST")) {
        x.verb = "GET";
        x.send_body = false;
      }
      if (OriginOf(x.redirect_url) != OriginOf(x.url)) x.same_origin = false;
      x.url = std::move(x.redirect_url);
      x.redirect_url.clear();
      ++x.hops;
      if (!StartTransfer(r)) {
        Abort(r, wh::kErrorInternalError);
        return false;
      }
      continue;
    }
    if (x.paused) {
      x.paused = false;
      curl_easy_pause(r.easy.get(), CURLPAUSE_CONT);
      continue;
    }
    int running = 0;
    if (curl_multi_perform(s.multi.get(), &running) != CURLM_OK) {
      Abort(r, wh::kErrorInternalError);
      return false;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(s.multi.get(), &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      void* owner = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
      auto* done = static_cast<RequestState*>(owner);
      if (done == nullptr) continue;
      done->x.transfer_done = true;
      done->x.result = msg->data.result;
      curl_multi_remove_handle(s.multi.get(), msg->easy_handle);
      done->x.in_multi = false;
      done->x.paused = false;
    }
    if (x.transfer_done || x.fatal_error != 0 || ready(x)) continue;

    // Inactivity: the send timeout while the body goes out, then the receive
    // timeout, counted from the moment the connection is ready.
    const Clock::time_point now = Clock::now();
    if (!x.connected) {
      curl_off_t pretransfer = 0;
      if (curl_easy_getinfo(r.easy.get(), CURLINFO_PRETRANSFER_TIME_T, &pretransfer) == CURLE_OK &&
          pretransfer > 0) {
        x.connected = true;
        x.last_activity = now;
      }
    }
    int wait_ms = kMaxPollMs;
    if (x.connected) {
      const bool sending = x.send_body && x.ul_now < static_cast<curl_off_t>(x.body_to_send.size());
      const int limit = sending ? r.timeouts.send : r.timeouts.receive;
      if (limit > 0) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - x.last_activity);
        if (idle.count() >= limit) {
          Abort(r, wh::kErrorTimeout);
          return false;
        }
        wait_ms = std::min<int>(wait_ms, static_cast<int>(limit - idle.count()));
      }
    } else {
      wait_ms = std::min(wait_ms, 50);  // look for the connection's readiness soon
    }
    curl_multi_poll(s.multi.get(), nullptr, 0, std::max(wait_ms, 1), nullptr);
  }
}

int CurlTransport::SendRequest(HttpHandle request_handle, const char16_t* headers,
                               std::uint32_t headers_length, const void* optional,
                               std::uint32_t optional_length, std::uint32_t total_length,
                               std::uintptr_t) {
  auto request = FindAs<RequestState>(request_handle);
  if (!request) return 0;
  RequestState& r = *request;
  if (r.session->closed || r.connection->closed) return Fail(wh::kErrorIncorrectHandleState);
  if ((optional == nullptr && optional_length > 0) || total_length != optional_length) {
    return Fail(wh::kErrorInvalidParameter);  // no later WriteData: the body comes whole
  }
  if (headers != nullptr && headers_length != 0) {
    if (!AddHeaders(r, ToUtf8(WideView(headers, headers_length)),
                    wh::kAddReqFlagAdd | wh::kAddReqFlagReplace)) {
      return 0;
    }
  }

  // A fresh exchange, also when the handle was sent before.
  r.Detach();
  r.x = Exchange{};
  Exchange& x = r.x;
  x.phase = Phase::kRunning;
  x.verb = r.verb;
  x.send_body = optional_length > 0;
  if (x.send_body) {
    const auto* bytes = static_cast<const char*>(optional);
    x.body_to_send.assign(bytes, bytes + optional_length);
  }
  const ConnectionState& c = *r.connection;
  std::uint16_t port = c.port != 0 ? c.port : (r.secure ? 443 : 80);
  std::string host = c.host.find(':') != std::string::npos ? "[" + c.host + "]" : c.host;
  x.url = (r.secure ? "https://" : "http://") + host + ":" + std::to_string(port) + r.object;

  if (!StartTransfer(r)) {
    Abort(r, wh::kErrorInternalError);
    return 0;
  }
  if (!Drive(r, [](const Exchange& e) { return e.final_headers; })) return 0;
  if (!x.final_headers) {
    // The transfer ended before a final response was seen.
    long connect_code = 0;
    if (x.result != CURLE_OK && r.easy &&
        curl_easy_getinfo(r.easy.get(), CURLINFO_HTTP_CONNECTCODE, &connect_code) == CURLE_OK &&
        connect_code >= 300 && connect_code <= 999) {
      // The proxy refused the tunnel (for https): its answer is the response,
      // as with a plain http request through the proxy. libcurl keeps only
      // the status of that answer, so the block holds the status line alone.
      x.block_status = static_cast<int>(connect_code);
      x.block_status_line =
          "HTTP/1.1 " + std::to_string(connect_code) + " " + ProxyReason(x.block_status);
      x.block_lines.clear();
      x.have_block = x.final_headers = true;
      x.result = CURLE_OK;  // the body is empty, not broken
      return 1;
    }
    if (x.result != CURLE_OK) {
      Abort(r, MapTransferError(x.result, !x.status_line.empty()));
      return 0;
    }
    if (x.have_block) {
      x.final_headers = true;  // a challenge libcurl did not answer
    } else {
      Abort(r, wh::kErrorInvalidServerResponse);
      return 0;
    }
  }
  return 1;
}

// Waits until body bytes are buffered or the body has ended. False with the
// error set when the exchange failed (a body cut short included).
bool CurlTransport::WaitForBody(RequestState& r) {
  Exchange& x = r.x;
  if (x.phase == Phase::kFailed) return Fail(x.error);
  if (x.phase != Phase::kRunning || !x.final_headers) {
    return Fail(wh::kErrorIncorrectHandleState);
  }
  if (x.Held() > 0) return true;
  if (!x.transfer_done &&
      !Drive(r, [](const Exchange& e) { return e.Held() > 0 || e.transfer_done; })) {
    return false;
  }
  if (x.Held() > 0) return true;
  if (x.result != CURLE_OK) {
    Abort(r, MapTransferError(x.result, !x.status_line.empty()));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// QueryHeaders.

int CurlTransport::QueryHeaders(HttpHandle request_handle, std::uint32_t info_level,
                                const char16_t* name, void* buffer, std::uint32_t* buffer_length,
                                std::uint32_t* index) {
  auto request = FindAs<RequestState>(request_handle);
  if (!request) return 0;
  if (buffer_length == nullptr) return Fail(wh::kErrorInvalidParameter);
  const Exchange& x = request->x;
  if (x.phase == Phase::kIdle || !x.final_headers || !x.have_block) {
    *buffer_length = 0;
    return Fail(wh::kErrorIncorrectHandleState);
  }
  const std::uint32_t level = info_level & 0xFFFF;
  const bool as_number = (info_level & wh::kQueryFlagNumber) != 0;

  std::string value;
  std::string_view status_line = x.block_status_line;
  std::size_t first_space = status_line.find(' ');
  std::string_view after_version = first_space == std::string_view::npos
                                       ? std::string_view()
                                       : status_line.substr(first_space + 1);
  switch (level) {
    case wh::kQueryStatusCode:
      value = std::to_string(x.block_status);
      break;
    case wh::kQueryStatusText: {
      std::size_t space = after_version.find(' ');
      value = space == std::string_view::npos ? std::string()
                                              : std::string(after_version.substr(space + 1));
      break;
    }
    case wh::kQueryRawHeadersCrlf:
      value = x.block_status_line + "\r\n";
      for (const std::string& line : x.block_lines) value += line + "\r\n";
      value += "\r\n";
      break;
    case wh::kQueryCustom: {
      std::string wanted = ToUtf8(WideView(name, wh::kZeroTerminated));
      std::uint32_t skip = index != nullptr ? *index : 0;
      bool found = false;
      std::uint32_t seen = 0;
      for (const std::string& line : x.block_lines) {
        std::size_t colon = line.find(':');
        if (colon == std::string::npos ||
            !SameName(TrimBlanks(std::string_view(line).substr(0, colon)), wanted)) {
          continue;
        }
        if (seen++ == skip) {
          value = std::string(TrimBlanks(std::string_view(line).substr(colon + 1)));
          found = true;
          break;
        }
      }
      if (wanted.empty() || !found) {
        *buffer_length = 0;
        return Fail(wh::kErrorHeaderNotFound);
      }
      if (index != nullptr && buffer != nullptr) {
        // *index moves on only when the value is delivered (below).
      }
      break;
    }
    default:
      *buffer_length = 0;
      return Fail(wh::kErrorHeaderNotFound);
  }

  if (as_number) {
    if (level != wh::kQueryStatusCode) {
      *buffer_length = 0;
      return Fail(wh::kErrorHeaderNotFound);
    }
    if (buffer == nullptr || *buffer_length < sizeof(std::uint32_t)) {
      *buffer_length = sizeof(std::uint32_t);
      return Fail(wh::kErrorInsufficientBuffer);
    }
    auto number = static_cast<std::uint32_t>(x.block_status);
    std::memcpy(buffer, &number, sizeof number);
    *buffer_length = sizeof number;
    return 1;
  }
  std::u16string wide = WireToWide(value);
  const std::uint64_t needed = (static_cast<std::uint64_t>(wide.size()) + 1) * sizeof(char16_t);
  if (buffer == nullptr || *buffer_length < needed) {
    *buffer_length = static_cast<std::uint32_t>(std::min<std::uint64_t>(needed, 0xFFFFFFFFu));
    return Fail(wh::kErrorInsufficientBuffer);
  }
  std::memcpy(buffer, wide.c_str(), static_cast<std::size_t>(needed));
  *buffer_length = static_cast<std::uint32_t>(needed - sizeof(char16_t));
  if (level == wh::kQueryCustom && index != nullptr) ++*index;
  return 1;
}

}  // namespace

HttpTransport& DefaultHttpTransport() {
  // Never destroyed: handles may still be closed by other static objects'
  // destructors at exit.
  static CurlTransport* transport = new CurlTransport();
  return *transport;
}

}  // namespace textrill
