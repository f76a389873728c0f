#include "http/http_session.h"

#include <climits>
#include <cstring>
#include <limits>

#include "encoding/code_page.h"
#include "encoding/text_search.h"

namespace textrill {
namespace {

constexpr std::size_t kInitialBufferSize = 10240;
constexpr std::size_t kUnknownLengthStep = 10240;
constexpr std::size_t kKnownLengthStep = 1048576;
constexpr int kRedirectLimit = 20;
constexpr std::uint32_t kAddOrReplace = winhttp::kAddReqFlagAdd | winhttp::kAddReqFlagReplace;

// A zero-terminated UTF-16 string made by AnsiToWide, with its length in code
// units (without the terminator). "" gives an empty string of length 0.
struct Wide {
  std::u16string text;
  std::uint32_t length() const { return static_cast<std::uint32_t>(text.size()); }
  const char16_t* c_str() const { return text.c_str(); }
  // Buffer size in bytes, terminator included (the proxy credential options).
  std::uint32_t byte_size() const { return static_cast<std::uint32_t>((text.size() + 1) * 2); }
};

std::u16string BytesToUnits(const std::vector<std::uint8_t>& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t k = 0; k < units.size(); ++k) {
    units[k] = static_cast<char16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
  }
  // Drop the terminator and anything after a zero code unit.
  const std::size_t zero = units.find(u'\0');
  if (zero != std::u16string::npos) units.resize(zero);
  return units;
}

Wide ToWide(const std::string& text) { return Wide{BytesToUnits(AnsiToWide(text))}; }

std::string FromWide(const char16_t* units, std::size_t length) {
  std::vector<std::uint8_t> bytes(length * 2);
  for (std::size_t k = 0; k < length; ++k) {
    bytes[2 * k] = static_cast<std::uint8_t>(units[k] & 0xFF);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(units[k] >> 8);
  }
  return WideToAnsi(bytes);
}

// 0-based index of the first match of `needle` at or after 0-based `from`,
// under the shared text rules; npos when none.
std::size_t Find(std::string_view text, std::string_view needle, std::size_t from = 0,
                 bool ignore_case = false) {
  if (from >= text.size() || from > static_cast<std::size_t>(INT_MAX - 1)) {
    return std::string::npos;
  }
  const int pos = FindText(text, needle, static_cast<int>(from) + 1, ignore_case);
  return pos < 0 ? std::string::npos : static_cast<std::size_t>(pos - 1);
}

// C's atoi on a header value: white space skipped, an optional sign, then the
// digits up to the first other character; no digits give 0. nullopt when the
// number does not fit a signed 32-bit integer.
std::optional<int> ParseDecimal(std::string_view text) {
  std::size_t k = 0;
  while (k < text.size() && (text[k] == ' ' || (text[k] >= '\t' && text[k] <= '\r'))) ++k;
  bool negative = false;
  if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
  long long value = 0;
  for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k) {
    value = value * 10 + (text[k] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return std::nullopt;
  return static_cast<int>(value);
}

// A Set-Cookie pair "name=value;" whose value is one of the deletion markers.
bool IsDeletion(std::string_view pair) {
  if (pair.size() < 9) return false;
  const std::string_view tail = pair.substr(pair.size() - 9);
  return tail == "=deleted;" || tail == "=DELETED;" || tail == "=Deleted;";
}

// Splits a Cookie-header-like text at every ";", each piece with its leading
// spaces trimmed.
std::vector<std::string_view> SplitPieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t semi = Find(text, ";", start);
    const std::size_t end = semi == std::string::npos ? text.size() : semi;
    pieces.push_back(TrimText(text.substr(start, end - start), true, false));
    if (semi == std::string::npos) break;
    start = semi + 1;
    if (start >= text.size()) {
      pieces.push_back({});
      break;
    }
  }
  return pieces;
}

// The text as a zero-terminated text would hold it: up to its first zero byte.
std::string_view UpToZero(const std::string& text) {
  return std::string_view(text.data(), std::strlen(text.c_str()));
}

}  // namespace

HttpSession::HttpSession(HttpTransport& transport, CookieStore& cookies)
    : transport_(transport), cookies_(cookies), heap_(platform::GetProcessHeap()) {
  OpenSession();
  ResetDefaults();
}

HttpSession::HttpSession(const HttpSession& source, bool /*share*/)
    : session_handle(source.session_handle),
      connect_handle(source.connect_handle),
      request_handle(source.request_handle),
      host(source.host),
      port(source.port),
      url(source.url),
      scheme(source.scheme),
      is_post(source.is_post),
      receive_buffer(source.receive_buffer),
      body_length(source.body_length),
      content_length(source.content_length),
      response_headers(source.response_headers),
      default_headers_enabled(source.default_headers_enabled),
      cookie_mode(source.cookie_mode),
      cookie_jar(source.cookie_jar),
      cookie_jar_length(source.cookie_jar_length),
      redirects_disabled(source.redirects_disabled),
      redirect_count(source.redirect_count),
      proxy_credentials_pending(source.proxy_credentials_pending),
      proxy_user(source.proxy_user),
      proxy_password(source.proxy_password),
      ignore_cert_errors_once(source.ignore_cert_errors_once),
      transport_(source.transport_),
      cookies_(source.cookies_),
      heap_(source.heap_),
      receive_buffer_size_(source.receive_buffer_size_),
      borrowed_session_(source.session_handle != 0),
      borrowed_connect_(source.connect_handle != 0),
      borrowed_request_(source.request_handle != 0),
      borrowed_buffer_(source.receive_buffer != nullptr),
      cancel_session_(source.session_handle) {}

HttpSession::~HttpSession() { HttpSession::Destroy(); }

// ---- Lifecycle ----

void HttpSession::Release(HttpHandle& handle, bool& borrowed) {
  if (handle != 0 && !borrowed) transport_.CloseHandle(handle);
  handle = 0;
  borrowed = false;
}

void HttpSession::FreeBuffer() {
  if (receive_buffer != nullptr && !borrowed_buffer_) {
    platform::HeapFree(heap_, 0, receive_buffer);
  }
  receive_buffer = nullptr;
  receive_buffer_size_ = 0;
  borrowed_buffer_ = false;
}

void HttpSession::SetSessionHandle(HttpHandle handle) {
  session_handle = handle;
  cancel_session_.store(handle);
}

void HttpSession::Destroy() {
  CloseSession();
  host.clear();
  url.clear();
  response_headers.clear();
  cookie_jar.clear();
  proxy_user.clear();
  proxy_password.clear();
}

std::unique_ptr<HttpSession> HttpSession::Copy() {
  return std::unique_ptr<HttpSession>(new HttpSession(*this, true));
}

void HttpSession::OpenSession(const std::optional<std::string>& user_agent) {
  // Replacing a live session or buffer must not leak them.
  if (session_handle != 0) {
    Release(session_handle, borrowed_session_);
    SetSessionHandle(0);
  }
  FreeBuffer();
  const Wide agent = ToWide(user_agent ? *user_agent : std::string(kDefaultUserAgent));
  SetSessionHandle(
      transport_.Open(agent.c_str(), winhttp::kAccessTypeNoProxy, nullptr, nullptr, 0));
  borrowed_session_ = false;
  receive_buffer = static_cast<std::uint8_t*>(platform::HeapAlloc(heap_, 0, kInitialBufferSize));
  receive_buffer_size_ = receive_buffer ? kInitialBufferSize : 0;
}

void HttpSession::CloseSession() {
  Release(request_handle, borrowed_request_);
  Release(connect_handle, borrowed_connect_);
  Release(session_handle, borrowed_session_);
  SetSessionHandle(0);
  FreeBuffer();
  body_length = 0;
  content_length = 0;
  port = 0;
  redirects_disabled = 0;
  proxy_credentials_pending = 0;
  response_headers.clear();
  proxy_user.clear();
  proxy_password.clear();
  host.clear();
  url.clear();
}

void HttpSession::ResetDefaults() {
  default_headers_enabled = 1;
  cookie_mode = 0;
  // Certificates are verified on every request unless a caller arms the
  // override with SetIgnoreCertErrorsOnce.
  ignore_cert_errors_once = 0;
  cookie_jar = "; ";
  cookie_jar_length = 2;
  transport_.SetTimeouts(session_handle, 10000, 15000, 120000, 300000);
}

// ---- Cookies ----

template <typename Visit>
void HttpSession::ForEachResponseCookie(Visit visit) const {
  const std::string_view headers = response_headers;
  std::size_t match = Find(headers, "Set-Cookie:", 0, true);
  while (match != std::string::npos) {
    const std::size_t value_start = match + 11;
    const std::size_t semi = Find(headers, ";", value_start);
    if (semi == std::string::npos) return;
    visit(TrimText(headers.substr(value_start, semi + 1 - value_start), true, false));
    match = Find(headers, "Set-Cookie:", semi + 1, true);
  }
}

void HttpSession::MergeResponseCookies(int keep_existing_cookies) {
  bool changed = false;
  ForEachResponseCookie([&](std::string_view pair) {
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return;
    const bool deletion = IsDeletion(pair);
    const bool empty_value = eq + 2 == pair.size();
    std::string key = "; ";
    key.append(pair.substr(0, eq + 1));
    const std::size_t entry = Find(cookie_jar, key);
    if (entry == std::string::npos) {
      if (deletion) return;
      cookie_jar.append(pair);
      cookie_jar.push_back(' ');
      changed = true;
      return;
    }
    if (keep_existing_cookies == 1 && empty_value) return;
    const std::size_t name_start = entry + 2;
    const std::size_t after_eq = entry + key.size();
    const std::size_t end = Find(cookie_jar, "; ", after_eq);
    if (end == std::string::npos) return;
    if (deletion) {
      if (keep_existing_cookies == 1) return;
      // From the space before the name through the ";" after the value, so
      // the "; " framing of the neighbours stays.
      cookie_jar.erase(entry + 1, end + 1 - (entry + 1));
    } else {
      cookie_jar.replace(name_start, end + 1 - name_start, pair);
    }
    changed = true;
  });
  if (changed) cookie_jar_length = static_cast<int>(cookie_jar.size());
}

void HttpSession::StoreResponseCookies(int keep_existing_cookies) {
  const std::string target = url;
  ForEachResponseCookie([&](std::string_view pair) {
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return;
    const std::string name(pair.substr(0, eq));
    const std::string value(pair.substr(eq + 1, pair.size() - 1 - (eq + 1)));
    if (IsDeletion(pair)) {
      if (keep_existing_cookies == 1) return;
      cookies_.SetCookie(target.c_str(), name.c_str(), "");
      return;
    }
    if (keep_existing_cookies == 1 && TrimText(value, true, false).empty()) return;
    cookies_.SetCookie(target.c_str(), name.c_str(), value.c_str());
  });
}

bool HttpSession::SetSystemCookies(const std::string& cookies) {
  const std::string_view text = UpToZero(cookies);
  if (text.empty()) return false;
  bool handed = false;
  for (std::string_view piece : SplitPieces(text)) {
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string name(piece.substr(0, eq));
    const std::string value(piece.substr(eq + 1));
    cookies_.SetCookie(url.c_str(), name.c_str(), value.c_str());
    handed = true;
  }
  return handed;
}

bool HttpSession::AddJarCookieHeader() {
  std::string line = "Cookie:";
  const std::size_t length =
      std::min(cookie_jar.size(), static_cast<std::size_t>(std::max(cookie_jar_length, 0)));
  if (length > 4) line.append(cookie_jar, 2, length - 4);
  return AddHeaderLine(line, kAddOrReplace) != 0;
}

bool HttpSession::AddSystemCookieHeader() {
  std::uint32_t size = 0;
  cookies_.GetCookie(url.c_str(), "", nullptr, &size);
  if (size == 0) return false;
  std::string text(size, '\0');
  cookies_.GetCookie(url.c_str(), "", text.data(), &size);
  text.resize(std::strlen(text.c_str()));
  return AddHeaderLine("Cookie:" + text, kAddOrReplace) != 0;
}

// ---- Pre-send ----

void HttpSession::AddDefaultHeaders(int has_body) {
  constexpr std::uint32_t kIfNew = winhttp::kAddReqFlagAddIfNew;
  transport_.AddRequestHeaders(request_handle, u"Accept:*/*", 10, kIfNew);
  transport_.AddRequestHeaders(request_handle, u"Accept-Language:zh-cn", 21, kIfNew);
  transport_.AddRequestHeaders(request_handle, u"Cache-Control:no-cache", 22, kIfNew);
  if (is_post == 1 || has_body == 1) {
    transport_.AddRequestHeaders(request_handle, u"Content-Type:application/x-www-form-urlencoded",
                                 46, kIfNew);
  }
}

void HttpSession::ApplyPendingOptions() {
  if (proxy_credentials_pending == 1) {
    const Wide user = ToWide(proxy_user);
    const Wide password = ToWide(proxy_password);
    transport_.SetOption(request_handle, winhttp::kOptionProxyUsername, user.c_str(),
                         user.byte_size());
    transport_.SetOption(request_handle, winhttp::kOptionProxyPassword, password.c_str(),
                         password.byte_size());
    proxy_credentials_pending = 0;
    proxy_user.clear();
    proxy_password.clear();
  }
  const bool own_cookies = cookie_mode == 1 || cookie_mode == 2;
  if (redirects_disabled == 1 || own_cookies) SetDisableFeature(winhttp::kDisableRedirects);
  if (ignore_cert_errors_once == 1) {
    const std::uint32_t flags = winhttp::kSecurityFlagsIgnoreAll;
    transport_.SetOption(request_handle, winhttp::kOptionSecurityFlags, &flags, sizeof flags);
    ignore_cert_errors_once = 0;
  }
  if (own_cookies) {
    SetDisableFeature(winhttp::kDisableCookies);
    if (cookie_mode == 1) {
      AddJarCookieHeader();
    } else {
      AddSystemCookieHeader();
    }
  }
}

// ---- Response headers and redirects ----

bool HttpSession::CaptureResponseHeaders(int keep_existing_cookies) {
  std::uint32_t size = 0;
  std::uint32_t index = 0;
  transport_.QueryHeaders(request_handle, winhttp::kQueryRawHeadersCrlf, nullptr, nullptr, &size,
                          &index);
  if (size < 1) {
    content_length = -1;
    return false;
  }
  std::vector<std::uint8_t> buffer(size, 0);
  index = 0;
  if (!transport_.QueryHeaders(request_handle, winhttp::kQueryRawHeadersCrlf, nullptr,
                               buffer.data(), &size, &index)) {
    content_length = -1;
    return false;
  }
  response_headers = WideToAnsi(buffer);

  const std::string_view headers = response_headers;
  const std::size_t match = Find(headers, "Content-Length:", 0, true);
  if (match == std::string::npos) {
    content_length = -1;
  } else {
    const std::size_t value_start = match + 15;
    const std::size_t end = Find(headers, "\r\n", value_start);
    const std::string_view value = end == std::string::npos
                                       ? headers.substr(value_start)
                                       : headers.substr(value_start, end - value_start);
    // A length that does not fit 32 bits is taken as unknown, so the body is
    // read to its end and nothing wraps.
    content_length = ParseDecimal(value).value_or(-1);
  }

  if (cookie_mode == 1) {
    MergeResponseCookies(keep_existing_cookies);
  } else if (cookie_mode == 2) {
    StoreResponseCookies(keep_existing_cookies);
  }
  return true;
}

void HttpSession::FollowRedirect(int keep_existing_cookies, int retries) {
  if (cookie_mode == 0 || redirects_disabled == 1) return;
  const std::string location = RedirectLocation(1);
  if (location.empty()) {
    redirect_count = 0;
    return;
  }
  ++redirect_count;
  if (redirect_count > kRedirectLimit) {
    redirect_count = 0;
    return;
  }
  Open(std::nullopt, location);
  SendText(std::nullopt, keep_existing_cookies, retries);
}

// ---- Handles and switches ----

HttpHandle HttpSession::SessionHandle(std::optional<HttpHandle> handle) {
  if (handle) {
    SetSessionHandle(*handle);
    borrowed_session_ = false;
  }
  return session_handle;
}

HttpHandle HttpSession::ConnectHandle(std::optional<HttpHandle> handle) {
  if (handle) {
    connect_handle = *handle;
    borrowed_connect_ = false;
  }
  return connect_handle;
}

HttpHandle HttpSession::RequestHandle(std::optional<HttpHandle> handle) {
  if (handle) {
    request_handle = *handle;
    borrowed_request_ = false;
  }
  return request_handle;
}

void HttpSession::SetDefaultHeadersEnabled(std::optional<int> flag) {
  default_headers_enabled = flag.value_or(1);
}

void HttpSession::SetCookieMode(std::optional<int> mode) {
  const int value = mode.value_or(1);
  cookie_mode = (value < 0 || value > 2) ? 0 : value;
}

void HttpSession::Reinitialize(const std::optional<std::string>& user_agent) {
  CloseSession();
  OpenSession(user_agent);
  ResetDefaults();
}

// ---- Opening a request ----

bool HttpSession::Open(const std::optional<std::string>& verb, const std::string& url_text) {
  if (session_handle == 0) return false;

  url = std::string(UpToZero(url_text));
  bool has_scheme = false;
  if (url.size() >= 8) {
    const std::string head = AsciiLower(std::string_view(url).substr(0, 8));
    has_scheme = head == "https://" || head.compare(0, 7, "http://") == 0;
  }
  if (!has_scheme) url.insert(0, "http://");

  const Wide wide_url = ToWide(url);
  UrlComponents parts;
  parts.scheme_text_length = -1;
  parts.host_name_length = -1;
  parts.url_path_length = -1;
  parts.extra_info_length = -1;
  parts.user_name_length = 0;
  parts.password_length = 0;
  if (!transport_.CrackUrl(wide_url.c_str(), wide_url.length(), 0, &parts)) return false;

  body_length = 0;
  content_length = 0;
  response_headers.clear();
  Release(request_handle, borrowed_request_);

  const std::u16string wide_host =
      parts.host_name && parts.host_name_length > 0
          ? std::u16string(parts.host_name, static_cast<std::size_t>(parts.host_name_length))
          : std::u16string();
  const std::string ansi_host = FromWide(wide_host.data(), wide_host.size());
  const int split_port = parts.port;

  if (connect_handle == 0 || ansi_host != host || split_port != port) {
    Release(connect_handle, borrowed_connect_);
    connect_handle = transport_.Connect(session_handle, wide_host.c_str(), parts.port, 0);
    if (connect_handle == 0) {
      request_handle = 0;
      return false;
    }
    host = ansi_host;
    port = split_port;
  }

  Wide wide_verb{u"GET"};
  if (verb && !UpToZero(*verb).empty()) {
    const std::string upper = AsciiUpper(UpToZero(*verb));
    if (default_headers_enabled == 1) is_post = upper == "POST" ? 1 : 0;
    wide_verb = ToWide(upper);
  }

  std::u16string object_name;
  if (parts.url_path == nullptr || parts.url_path_length <= 0) {
    object_name = u"/";
  } else {
    object_name.assign(parts.url_path, static_cast<std::size_t>(parts.url_path_length));
    if (parts.extra_info && parts.extra_info_length > 0) {
      object_name.append(parts.extra_info, static_cast<std::size_t>(parts.extra_info_length));
    }
  }

  const std::uint32_t flags = parts.scheme == winhttp::kSchemeHttps ? winhttp::kFlagSecure : 0;
  scheme = parts.scheme;
  request_handle = transport_.OpenRequest(connect_handle, wide_verb.c_str(), object_name.c_str(),
                                          nullptr, nullptr, nullptr, flags);
  return request_handle != 0;
}

// ---- Sending ----

bool HttpSession::Send(const void* body, std::size_t body_size,
                       std::optional<int> keep_existing_cookies, std::optional<int> retries) {
  if (request_handle == 0) return false;
  const int retry_count = retries.value_or(0);
  const int keep = keep_existing_cookies.value_or(0);
  ApplyPendingOptions();
  if (body_size > std::numeric_limits<std::uint32_t>::max() - 1) return false;
  const auto length = static_cast<std::uint32_t>(body_size);
  if (default_headers_enabled == 1) AddDefaultHeaders(length > 0 ? 1 : 0);

  bool received = false;
  const long long attempts = static_cast<long long>(retry_count) + 1;
  for (long long attempt = 0; attempt < attempts; ++attempt) {
    if (transport_.SendRequest(request_handle, nullptr, 0, length > 0 ? body : nullptr, length,
                               length, 0)) {
      if (transport_.ReceiveResponse(request_handle, nullptr) == 1) {
        received = true;
        break;
      }
    }
    const std::uint32_t error = transport_.LastError();
    if (error != winhttp::kErrorCannotConnect && error != winhttp::kErrorConnectionError) {
      return false;
    }
  }
  if (!received) return false;

  CaptureResponseHeaders(keep);
  FollowRedirect(keep, retry_count);
  return true;
}

bool HttpSession::SendText(const std::optional<std::string>& body,
                           std::optional<int> keep_existing_cookies, std::optional<int> retries) {
  if (!body) return Send(nullptr, 0, keep_existing_cookies, retries);
  const std::string_view text = UpToZero(*body);
  return Send(text.data(), text.size(), keep_existing_cookies, retries);
}

bool HttpSession::SendBytes(const std::optional<std::vector<std::uint8_t>>& body,
                            std::optional<int> keep_existing_cookies, std::optional<int> retries) {
  if (!body) return Send(nullptr, 0, keep_existing_cookies, retries);
  return Send(body->data(), body->size(), keep_existing_cookies, retries);
}

// ---- Reading the response ----

std::vector<std::uint8_t> HttpSession::ResponseBody() {
  if (request_handle == 0 || content_length == 0) return {};
  if (body_length == 0) {
    // A length below -1 cannot be allocated: no body.
    if (content_length < -1) return {};
    const bool unknown = content_length == -1;
    const std::size_t announced = unknown ? 0 : static_cast<std::size_t>(content_length);
    std::size_t capacity = unknown ? kInitialBufferSize : std::min(announced, kKnownLengthStep);

    // The first size is set on the session's buffer; a copy that shares its
    // source's buffer takes one of its own instead of moving the shared one.
    void* resized = nullptr;
    if (borrowed_buffer_) {
      resized = platform::HeapAlloc(heap_, 0, capacity);
    } else if (receive_buffer != nullptr) {
      resized = platform::HeapReAlloc(heap_, 0, receive_buffer, capacity);
    }
    if (resized == nullptr) return {};
    receive_buffer = static_cast<std::uint8_t*>(resized);
    receive_buffer_size_ = capacity;
    borrowed_buffer_ = false;

    std::size_t total = 0;
    while (true) {
      std::uint32_t available = 0;
      if (transport_.QueryDataAvailable(request_handle, &available) != 1 || available < 1) break;
      const std::size_t needed = total + available;
      if (needed > capacity) {
        std::size_t grown;
        if (unknown || needed > announced) {
          grown = needed + kUnknownLengthStep;
        } else if (announced - needed > kKnownLengthStep) {
          grown = needed + kKnownLengthStep;
        } else {
          grown = announced;
        }
        // body_length is a 32-bit count: a body beyond that keeps what fits.
        if (grown > static_cast<std::size_t>(INT_MAX)) break;
        void* larger = platform::HeapReAlloc(heap_, 0, receive_buffer, grown);
        if (larger == nullptr) break;
        receive_buffer = static_cast<std::uint8_t*>(larger);
        receive_buffer_size_ = capacity = grown;
      }
      const std::size_t room = capacity - total;
      const auto to_read = static_cast<std::uint32_t>(
          std::min<std::size_t>(room, std::numeric_limits<std::uint32_t>::max()));
      std::uint32_t read = 0;
      if (!transport_.ReadData(request_handle, receive_buffer + total, to_read, &read)) break;
      total += std::min<std::size_t>(read, room);
    }
    body_length = static_cast<int>(total);
  }
  return std::vector<std::uint8_t>(receive_buffer, receive_buffer + body_length);
}

std::string HttpSession::ResponseText() {
  const std::vector<std::uint8_t> body = ResponseBody();
  std::string text(body.begin(), body.end());
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string HttpSession::ResponseTextUtf8() { return Utf8ToAnsi(ResponseBody()); }

namespace {

// The status line value asked for with `level`, as text; nullopt on failure.
std::optional<std::string> QueryStatus(HttpTransport& transport, HttpHandle request,
                                       std::uint32_t level) {
  std::uint32_t size = 0;
  std::uint32_t index = 0;
  transport.QueryHeaders(request, level, nullptr, nullptr, &size, &index);
  std::vector<std::uint8_t> buffer(size, 0);
  index = 0;
  if (!transport.QueryHeaders(request, level, nullptr, buffer.empty() ? nullptr : buffer.data(),
                              &size, &index)) {
    return std::nullopt;
  }
  return WideToAnsi(buffer);
}

}  // namespace

int HttpSession::StatusCode() {
  if (request_handle == 0) return 0;
  const std::optional<std::string> text =
      QueryStatus(transport_, request_handle, winhttp::kQueryStatusCode);
  if (!text) return 0;
  long long value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return 0;
  }
  return static_cast<int>(value);
}

std::string HttpSession::StatusText() {
  if (request_handle == 0) return "";
  return QueryStatus(transport_, request_handle, winhttp::kQueryStatusText).value_or("");
}

std::string HttpSession::ResponseHeaders() { return response_headers; }

std::string HttpSession::ResponseHeader(const std::string& name) {
  if (response_headers.empty()) return "";
  const std::string_view headers = response_headers;
  const std::string key = "\r\n" + name + ":";
  const std::size_t match = Find(headers, key, 0, true);
  if (match == std::string::npos) return "";
  const std::size_t value_start = match + key.size();
  const std::size_t end = Find(headers, "\r\n", value_start);
  if (end == std::string::npos) return "";
  return std::string(TrimText(headers.substr(value_start, end - value_start), true, false));
}

std::string HttpSession::ResponseCookies() {
  if (response_headers.empty()) return "";
  std::string result;
  ForEachResponseCookie([&](std::string_view pair) {
    if (IsDeletion(pair)) return;
    result.append(pair);
    result.push_back(' ');
  });
  if (!result.empty()) result.resize(result.size() >= 2 ? result.size() - 2 : 0);
  return result;
}

std::string HttpSession::ResponseCookie(const std::string& name) {
  if (response_headers.empty()) return "";
  const std::string_view headers = response_headers;
  for (const char* prefix : {"Set-Cookie: ", "Set-Cookie:"}) {
    const std::string key = prefix + name + "=";
    const std::size_t match = Find(headers, key, 0, true);
    if (match == std::string::npos) continue;
    const std::size_t value_start = match + key.size();
    const std::size_t semi = Find(headers, ";", value_start);
    if (semi == std::string::npos) continue;
    return std::string(headers.substr(value_start, semi - value_start));
  }
  return "";
}

std::string HttpSession::RedirectLocation(std::optional<int> absolute) {
  if (response_headers.empty()) return "";
  const std::string_view headers = response_headers;
  const std::size_t match = Find(headers, "Location:", 0, true);
  if (match == std::string::npos) return "";
  const std::size_t value_start = match + 9;
  const std::size_t end = Find(headers, "\r\n", value_start);
  if (end == std::string::npos) return "";
  const std::string value(TrimText(headers.substr(value_start, end - value_start)));
  if (value.empty()) return "";
  if (absolute != 1) return value;

  if (value[0] == '/') {
    return (scheme == winhttp::kSchemeHttps ? "https://" : "http://") + host + ":" +
           std::to_string(port) + value;
  }
  const std::string lower = AsciiLower(value);
  if (lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0) return value;
  const std::size_t slashes = Find(url, "//");
  const std::size_t path_from = slashes == std::string::npos ? 0 : slashes + 2;
  const std::size_t last = url.rfind('/');
  if (last == std::string::npos || last < path_from) return url + "/" + value;
  return url.substr(0, last + 1) + value;
}

// ---- Request options and headers ----

bool HttpSession::SetTimeouts(std::optional<int> resolve_timeout,
                              std::optional<int> connect_timeout, std::optional<int> send_timeout,
                              std::optional<int> receive_timeout) {
  if (session_handle == 0) return false;
  return transport_.SetTimeouts(session_handle, resolve_timeout.value_or(10000),
                                connect_timeout.value_or(15000), send_timeout.value_or(120000),
                                receive_timeout.value_or(300000)) != 0;
}

bool HttpSession::SetProxy(const std::optional<std::string>& proxy,
                           const std::optional<std::string>& user,
                           const std::optional<std::string>& password) {
  if (session_handle == 0) return false;
  const std::string proxy_text(UpToZero(proxy.value_or("")));
  ProxyInfo info;
  const std::u16string empty;
  Wide wide_proxy;
  if (proxy_text.empty()) {
    info.access_type = winhttp::kAccessTypeNoProxy;
    info.proxy = empty.c_str();
    info.proxy_bypass = empty.c_str();
  } else {
    const std::string user_text = user.value_or("");
    const std::string password_text = password.value_or("");
    if (request_handle != 0) {
      const Wide wide_user = ToWide(user_text);
      const Wide wide_password = ToWide(password_text);
      transport_.SetOption(request_handle, winhttp::kOptionProxyUsername, wide_user.c_str(),
                           wide_user.byte_size());
      transport_.SetOption(request_handle, winhttp::kOptionProxyPassword, wide_password.c_str(),
                           wide_password.byte_size());
    } else {
      proxy_credentials_pending = 1;
      proxy_user = user_text;
      proxy_password = password_text;
    }
    wide_proxy = ToWide(proxy_text);
    info.access_type = winhttp::kAccessTypeNamedProxy;
    info.proxy = wide_proxy.c_str();
    info.proxy_bypass = empty.c_str();
  }
  return transport_.SetOption(session_handle, winhttp::kOptionProxy, &info, sizeof info) != 0;
}

bool HttpSession::SetCredentials(const std::string& user, const std::string& password,
                                 std::optional<std::uint32_t> auth_target,
                                 std::optional<std::uint32_t> auth_scheme) {
  if (request_handle == 0) return false;
  const Wide wide_user = ToWide(user);
  const Wide wide_password = ToWide(password);
  return transport_.SetCredentials(request_handle, auth_target.value_or(winhttp::kAuthTargetServer),
                                   auth_scheme.value_or(winhttp::kAuthSchemeBasic),
                                   wide_user.c_str(), wide_password.c_str(), nullptr) != 0;
}

bool HttpSession::SetOption(std::optional<int> handle_selector, std::uint32_t option,
                            std::int32_t value, std::uint32_t length) {
  HttpHandle handle = session_handle;
  if (handle_selector == 1) {
    handle = connect_handle;
  } else if (handle_selector == 2) {
    handle = request_handle;
  }
  if (handle == 0) return false;
  // The value is 4 bytes: a longer length would let the transport read past it.
  if (length > sizeof value) return false;
  return transport_.SetOption(handle, option, &value, length) != 0;
}

void HttpSession::SetRedirectsAllowed(std::optional<int> flag) {
  redirects_disabled = (!flag || *flag == 1) ? 0 : 1;
}

int HttpSession::AddHeaderLine(const std::string& line, std::uint32_t modifiers) {
  const Wide wide = ToWide(line);
  return transport_.AddRequestHeaders(request_handle, wide.c_str(), wide.length(), modifiers);
}

bool HttpSession::SetDisableFeature(std::uint32_t feature) {
  return transport_.SetOption(request_handle, winhttp::kOptionDisableFeature, &feature,
                              sizeof feature) != 0;
}

bool HttpSession::SetRequestHeader(const std::string& name, const std::string& value,
                                   std::optional<std::uint32_t> modifiers) {
  if (request_handle == 0 || UpToZero(name).empty()) return false;
  if (cookie_mode == 0 && AsciiLower(UpToZero(name)) == "cookie") {
    SetDisableFeature(winhttp::kDisableCookies);
  }
  return AddHeaderLine(std::string(UpToZero(name)) + ":" + std::string(UpToZero(value)),
                       modifiers.value_or(kAddOrReplace)) != 0;
}

bool HttpSession::RemoveRequestHeader(const std::string& name) {
  if (request_handle == 0 || UpToZero(name).empty()) return false;
  if (cookie_mode == 0 && AsciiLower(UpToZero(name)) == "cookie") {
    SetDisableFeature(winhttp::kDisableCookies);
  }
  return AddHeaderLine(std::string(UpToZero(name)) + ":", winhttp::kAddReqFlagReplace) != 0;
}

bool HttpSession::SetRequestCookies(const std::string& cookies) {
  if (cookie_mode == 1) return AddJarCookies(cookies);
  if (cookie_mode == 2) return SetSystemCookies(cookies);
  if (request_handle == 0) return false;
  SetDisableFeature(winhttp::kDisableCookies);
  return SetRequestHeader("Cookie", cookies);
}

bool HttpSession::SetUserAgent(const std::optional<std::string>& value) {
  return SetRequestHeader("User-Agent", value.value_or(kDefaultUserAgent));
}

bool HttpSession::SetReferer(const std::optional<std::string>& value) {
  return SetRequestHeader("Referer", value.value_or(url));
}

bool HttpSession::SetAccept(const std::optional<std::string>& value) {
  return SetRequestHeader("Accept", value.value_or("*/*"));
}

bool HttpSession::SetAcceptLanguage(const std::optional<std::string>& value) {
  return SetRequestHeader("Accept-Language", value.value_or("zh-cn"));
}

bool HttpSession::SetContentType(const std::optional<std::string>& value) {
  return SetRequestHeader("Content-Type", value.value_or("application/x-www-form-urlencoded"));
}

bool HttpSession::SetXRequestedWith() {
  return SetRequestHeader("x-requested-with", "XMLHttpRequest");
}

bool HttpSession::SetForwardedFor(const std::string& address) {
  if (request_handle == 0) return false;
  const std::string a(UpToZero(address));
  const std::string lines =
      "X-Forwarded-For:" + a + "\r\nCLIENT_IP:" + a + "\r\nVIA:" + a + "\r\nREMOTE_ADDR:" + a;
  return AddHeaderLine(lines, kAddOrReplace) != 0;
}

// ---- The cookie jar ----

std::string HttpSession::CookieJar(const std::optional<std::string>& jar) {
  if (!jar) {
    const std::size_t length =
        std::min(cookie_jar.size(), static_cast<std::size_t>(std::max(cookie_jar_length, 0)));
    if (length <= 4) return "";
    return cookie_jar.substr(2, length - 4);
  }
  std::string text(UpToZero(*jar));
  const std::string given = text;
  if (text.rfind("; ", 0) != 0) text.insert(0, "; ");
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "; ") != 0) {
    // A last ";" gets its space; anything else, a space included, gets "; ",
    // so every entry is followed by "; " as the jar's searches expect.
    text.append(text.back() == ';' ? " " : "; ");
  }
  cookie_jar = text;
  cookie_jar_length = static_cast<int>(cookie_jar.size());
  return given;
}

std::string HttpSession::JarCookie(const std::string& name, std::optional<int> include_name) {
  const std::string_view key_name = UpToZero(name);
  if (key_name.empty()) return "";
  const std::string key = "; " + std::string(key_name) + "=";
  const std::size_t entry = Find(cookie_jar, key);
  if (entry == std::string::npos) return "";
  const std::size_t eq = entry + key.size() - 1;
  const std::size_t semi = Find(cookie_jar, ";", eq);
  if (semi == std::string::npos) return "";
  if (include_name == 1) return cookie_jar.substr(entry + 2, semi - (entry + 2));
  return cookie_jar.substr(eq + 1, semi - (eq + 1));
}

bool HttpSession::AddJarCookies(const std::string& cookies) {
  const std::string_view text = UpToZero(cookies);
  if (text.empty()) return false;
  bool changed = false;
  for (std::string_view piece : SplitPieces(text)) {
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key = "; " + std::string(piece.substr(0, eq + 1));
    const std::size_t entry = Find(cookie_jar, key);
    if (entry == std::string::npos) {
      cookie_jar.append(piece);
      cookie_jar.append("; ");
      changed = true;
      continue;
    }
    const std::size_t end = Find(cookie_jar, "; ", entry + key.size());
    if (end == std::string::npos) continue;
    cookie_jar.replace(entry + 2, end - (entry + 2), piece);
    changed = true;
  }
  if (changed) cookie_jar_length = static_cast<int>(cookie_jar.size());
  return changed;
}

bool HttpSession::RemoveJarCookies(const std::string& names) {
  const std::string_view text = UpToZero(names);
  if (text.empty()) return false;
  bool changed = false;
  for (std::string_view piece : SplitPieces(text)) {
    const std::size_t eq = piece.find('=');
    const std::string key = "; " + std::string(piece.substr(0, eq)) + "=";
    const std::size_t entry = Find(cookie_jar, key);
    if (entry == std::string::npos) continue;
    const std::size_t end = Find(cookie_jar, "; ", entry + key.size());
    if (end == std::string::npos) continue;
    cookie_jar.erase(entry, end - entry);
    changed = true;
  }
  if (changed) cookie_jar_length = static_cast<int>(cookie_jar.size());
  return changed;
}

void HttpSession::SetIgnoreCertErrorsOnce(std::optional<int> flag) {
  ignore_cert_errors_once = (!flag || *flag == 1) ? 1 : 0;
}

void HttpSession::Cancel() {
  const HttpHandle session = cancel_session_.load();
  if (session != 0) transport_.Cancel(session);
}

}  // namespace textrill
