// HttpSession: the program's HTTP client, a stateful layer over a synchronous
// WinHTTP-shaped transport (platform/http_transport.h).
//
// Lifecycle. One object holds one transport session, at most one connection
// (one host and port) and at most one open request, a receive buffer in the
// process heap for the response body, the raw header block of the last
// response and the settings that shape the next request. The constructor opens
// the session (default user agent, no proxy) and applies the default settings
// and timeouts; the destructor closes the request, the connection and the
// session and frees the buffer. A normal exchange is Open, then optionally the
// request-header and option operations, then SendText or SendBytes, then the
// response readers (StatusCode, StatusText, ResponseBody, ResponseHeader...).
// The next Open replaces the request and keeps the connection when host and
// port are unchanged.
//
// Failure is reported only by results: false, 0, an empty array or "". No
// operation throws or shows anything.
//
// Texts are std::string holding code page 936 bytes; a text never set is "".
// An omitted optional argument (std::nullopt) is told apart from a given 0 or
// "", and a flag counts as true only when its value is exactly 1. Every text
// and byte array returned is a new value owned by the caller.
//
// Dispatch. Each operation is a virtual member, declared in the order of the
// operation table, and the operations call one another through the virtual
// table (SendText calls ApplyPendingOptions, AddDefaultHeaders,
// CaptureResponseHeaders and FollowRedirect that way), so a subclass can
// observe or replace any step. The constructor and destructor run this class's
// own versions, as C++ does.
//
// Copy gives an object that shares the transport handles and the receive
// buffer of its source; the copy does not own them: destroying or closing the
// copy never closes a shared handle and never frees the shared buffer. A copy
// that replaces a shared handle (its own Open) or reads a new body gets
// handles and a buffer of its own and owns those. Until then the copy reads
// the source's buffer: use it only while the source lives and has not read
// another body or closed (the source may move or free that buffer).
//
// Threads. The object has no lock: one thread at a time may run an exchange
// on it (Open, send, reads). Only Cancel may be called from any other thread
// at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cookie_store.h"
#include "platform/heap.h"
#include "platform/http_transport.h"

namespace textrill {

class HttpSession {
 public:
  // The default user agent of OpenSession and SetUserAgent.
  static constexpr const char* kDefaultUserAgent =
      "Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.2)";

  // Opens a session on `transport` with no user agent given (so the default
  // agent) and applies ResetDefaults. `transport` and `cookies` must outlive
  // the object. If the transport cannot open a session, session_handle stays
  // 0 and every Open fails until Reinitialize succeeds.
  explicit HttpSession(HttpTransport& transport = DefaultHttpTransport(),
                       CookieStore& cookies = SystemCookieStore());
  // Does Destroy's work: closes the owned handles (request, connection,
  // session) and frees an owned receive buffer.
  virtual ~HttpSession();

  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // ---- Operations, in the order of the operation table ----

  // CloseSession, then releases the texts host, url, response_headers,
  // cookie_jar, proxy_user and proxy_password (they read as "" afterwards).
  virtual void Destroy();
  // A new object with the same field values: the texts are copies, the three
  // handles and the receive buffer are shared and not owned by the copy (see
  // the class comment). Never null.
  virtual std::unique_ptr<HttpSession> Copy();
  // Opens the transport session (agent: `user_agent` when given, "" included;
  // else kDefaultUserAgent; no proxy, synchronous) and a 10240-byte receive
  // buffer. Results are stored untested (0 / null on failure). Meant for a
  // closed object; on an open one it first releases the owned session handle
  // and buffer it replaces, so nothing leaks.
  virtual void OpenSession(const std::optional<std::string>& user_agent = std::nullopt);
  // Closes the request, the connection and the session (each when non-zero
  // and owned), frees the buffer, and clears the per-session state: handles,
  // body_length, content_length, port, redirects_disabled,
  // proxy_credentials_pending to 0; response_headers, proxy_user,
  // proxy_password, host, url to "". Settings, the cookie jar, scheme, is_post
  // and redirect_count stay. Calling it twice closes nothing the second time.
  virtual void CloseSession();
  // default_headers_enabled 1, cookie_mode 0, ignore_cert_errors_once 0
  // (certificates are checked unless a caller arms SetIgnoreCertErrorsOnce),
  // the empty cookie jar "; ", and the session timeouts 10000 / 15000 /
  // 120000 / 300000 ms (a failure there is ignored).
  virtual void ResetDefaults();
  // Merges the Set-Cookie pairs of response_headers into cookie_jar. With
  // keep_existing_cookies 1 an empty value or a deletion never clears a
  // cookie the jar holds.
  virtual void MergeResponseCookies(int keep_existing_cookies);
  // Hands the Set-Cookie pairs of response_headers to the cookie store under
  // url (a deletion as empty data). With keep_existing_cookies 1 empty values
  // and deletions are skipped.
  virtual void StoreResponseCookies(int keep_existing_cookies);
  // Stores each name=value of a Cookie-header-like text in the cookie store
  // under url. True when at least one pair was handed to the store.
  virtual bool SetSystemCookies(const std::string& cookies);
  // Adds "Cookie:" + the jar's cookie list to the request (add or replace).
  // The transport's result.
  virtual bool AddJarCookieHeader();
  // Adds "Cookie:" + the store's cookies for url to the request. False, and
  // nothing added, when the store has nothing for url.
  virtual bool AddSystemCookieHeader();
  // Adds "Accept:*/*", "Accept-Language:zh-cn", "Cache-Control:no-cache" and,
  // when is_post is 1 or has_body is 1, the form Content-Type line, each only
  // if the request has no header of that name yet. Results ignored.
  virtual void AddDefaultHeaders(int has_body);
  // Before a send: pending proxy credentials, the redirect and cookie
  // switches, the armed one-shot certificate override, and the cookie header
  // of cookie_mode 1 or 2. Results ignored.
  virtual void ApplyPendingOptions();
  // Reads the raw header block into response_headers and its first
  // "Content-Length:" into content_length (-1 when absent, unreadable or
  // outside the signed 32-bit range), then merges or stores cookies by
  // cookie_mode. False, with content_length -1, when no headers can be read.
  virtual bool CaptureResponseHeaders(int keep_existing_cookies);
  // With cookie_mode 1 or 2 and redirects allowed, follows the response's
  // Location as a GET, through Open and SendText, for at most 20 hops in a
  // chain (redirect_count).
  virtual void FollowRedirect(int keep_existing_cookies, int retries);
  // Reads, or stores (unchanged, untested, the old one not closed) and reads,
  // the handle fields. A stored handle is owned by this object.
  virtual HttpHandle SessionHandle(std::optional<HttpHandle> handle = std::nullopt);
  virtual HttpHandle ConnectHandle(std::optional<HttpHandle> handle = std::nullopt);
  virtual HttpHandle RequestHandle(std::optional<HttpHandle> handle = std::nullopt);
  // Stores the flag; omitted stores 1.
  virtual void SetDefaultHeadersEnabled(std::optional<int> flag = std::nullopt);
  // Stores the mode; omitted means 1; a mode outside 0..2 stores 0.
  virtual void SetCookieMode(std::optional<int> mode = std::nullopt);
  // CloseSession, OpenSession(user_agent), ResetDefaults.
  virtual void Reinitialize(const std::optional<std::string>& user_agent = std::nullopt);
  // Prepares a request: verb omitted or "" means GET, else upper-cased; a URL
  // that does not begin with http:// or https:// gets "http://" in front. The
  // connection is kept when host and port are unchanged. False when there is
  // no session, the URL cannot be split, or the connection or request cannot
  // be opened. Nothing goes on the wire.
  virtual bool Open(const std::optional<std::string>& verb, const std::string& url);
  // Sends the open request with `body` (its bytes up to the first zero byte;
  // omitted: no body) and waits for the response, re-sending on "cannot
  // connect" (12029) and "connection error" (12030) up to `retries` more times
  // (omitted: 0; negative: nothing is sent). Then captures the headers and
  // follows a redirect when the session does its own. False when there is no
  // request or no response came; true otherwise, even if a later redirect hop
  // fails.
  virtual bool SendText(const std::optional<std::string>& body = std::nullopt,
                        std::optional<int> keep_existing_cookies = std::nullopt,
                        std::optional<int> retries = std::nullopt);
  // SendText with a byte body sent unchanged (zero bytes included).
  virtual bool SendBytes(const std::optional<std::vector<std::uint8_t>>& body = std::nullopt,
                         std::optional<int> keep_existing_cookies = std::nullopt,
                         std::optional<int> retries = std::nullopt);
  // The response body. Read from the transport on the first call after a
  // send, into the receive buffer; later calls return copies of it until the
  // next Open. Empty without a request, for a Content-Length of 0, or when the
  // buffer cannot be sized; a read failing part-way keeps what was read.
  virtual std::vector<std::uint8_t> ResponseBody();
  // The body up to its first zero byte, unconverted.
  virtual std::string ResponseText();
  // The body decoded from UTF-8 into code page 936 ("?" for what 936 lacks).
  virtual std::string ResponseTextUtf8();
  // The status code, 0 when none can be read.
  virtual int StatusCode();
  // The reason phrase, "" when none can be read.
  virtual std::string StatusText();
  // A copy of response_headers.
  virtual std::string ResponseHeaders();
  // The first header `name`'s value (name matched without case at the start
  // of a header line), leading spaces trimmed; "" when absent.
  virtual std::string ResponseHeader(const std::string& name);
  // The response's Set-Cookie pairs (deletions left out) joined by "; ".
  virtual std::string ResponseCookies();
  // The value of the response cookie `name` (matched without case); "".
  virtual std::string ResponseCookie(const std::string& name);
  // The trimmed Location value; with `absolute` 1 made absolute against url,
  // scheme, host and port. "" when there is none.
  virtual std::string RedirectLocation(std::optional<int> absolute = std::nullopt);
  // The session's timeouts in ms; omitted values are 10000, 15000, 120000,
  // 300000. False without a session.
  virtual bool SetTimeouts(std::optional<int> resolve_timeout = std::nullopt,
                           std::optional<int> connect_timeout = std::nullopt,
                           std::optional<int> send_timeout = std::nullopt,
                           std::optional<int> receive_timeout = std::nullopt);
  // A named proxy ("host:port") with its credentials (applied to the open
  // request at once, or kept pending for the next send when there is none),
  // or no proxy when `proxy` is "" or omitted. False without a session or
  // when the transport refuses the proxy.
  virtual bool SetProxy(const std::optional<std::string>& proxy = std::nullopt,
                        const std::optional<std::string>& user = std::nullopt,
                        const std::optional<std::string>& password = std::nullopt);
  // Server (target 0, default) or proxy (1) credentials for the request;
  // scheme default Basic (1). False without a request.
  virtual bool SetCredentials(const std::string& user, const std::string& password,
                              std::optional<std::uint32_t> auth_target = std::nullopt,
                              std::optional<std::uint32_t> auth_scheme = std::nullopt);
  // Sets a 32-bit option on the connection (selector 1), the request (2) or
  // the session (omitted or any other). `length` is the value's length in
  // bytes, at most 4. False when that handle is 0 or length is above 4.
  virtual bool SetOption(std::optional<int> handle_selector, std::uint32_t option,
                         std::int32_t value, std::uint32_t length);
  // Redirects allowed: omitted or 1 stores redirects_disabled 0, any other
  // given value stores 1.
  virtual void SetRedirectsAllowed(std::optional<int> flag = std::nullopt);
  // Adds the line name ":" value with `modifiers` (default add or replace).
  // A "cookie" header in cookie_mode 0 first switches off the transport's own
  // cookies for the request. False without a request or with an empty name.
  virtual bool SetRequestHeader(const std::string& name, const std::string& value,
                                std::optional<std::uint32_t> modifiers = std::nullopt);
  // Removes the request header `name`. False without a request or name.
  virtual bool RemoveRequestHeader(const std::string& name);
  // Cookies for the next send: into the jar (mode 1), the store (mode 2), or
  // as a Cookie header on the open request (mode 0; false without one).
  virtual bool SetRequestCookies(const std::string& cookies);
  // Header presets: SetRequestHeader with the preset's name and the given
  // value, or its default when omitted.
  virtual bool SetUserAgent(const std::optional<std::string>& value = std::nullopt);
  virtual bool SetReferer(const std::optional<std::string>& value = std::nullopt);
  virtual bool SetAccept(const std::optional<std::string>& value = std::nullopt);
  virtual bool SetAcceptLanguage(const std::optional<std::string>& value = std::nullopt);
  virtual bool SetContentType(const std::optional<std::string>& value = std::nullopt);
  virtual bool SetXRequestedWith();
  // X-Forwarded-For, CLIENT_IP, VIA and REMOTE_ADDR set to `address`, in one
  // call. False without a request.
  virtual bool SetForwardedFor(const std::string& address);
  // With `jar` given: normalises it to the "; " framing, stores it as the
  // cookie jar and returns it as given. Omitted: returns the jar's cookie list
  // ("n1=v1; n2=v2"), changing nothing.
  virtual std::string CookieJar(const std::optional<std::string>& jar = std::nullopt);
  // The jar cookie `name`'s value, or name=value with include_name 1; "".
  virtual std::string JarCookie(const std::string& name,
                                std::optional<int> include_name = std::nullopt);
  // Adds or updates the name=value pairs of `cookies` in the jar. True when
  // the jar changed.
  virtual bool AddJarCookies(const std::string& cookies);
  // Removes the named cookies ("a; b" or "a=1; b=2") from the jar. True when
  // the jar changed.
  virtual bool RemoveJarCookies(const std::string& names);

  // Arms (omitted or 1) or disarms (any other value) the one-shot override
  // that sends the next request with certificate errors ignored.
  virtual void SetIgnoreCertErrorsOnce(std::optional<int> flag = std::nullopt);

  // Not one of the table's operations: thread-safe; aborts the exchange in
  // flight (the transport's Cancel on this session's handle) so that a
  // blocked send/receive/read returns promptly; the session stays usable.
  // Safe to call when nothing is in flight: the transport then ends the next
  // call that waits for the network instead, and later exchanges work. Does
  // nothing while there is no session handle.
  void Cancel();

  // ---- Fields (public so that tests and callers can inspect them) ----

  HttpHandle session_handle = 0;
  HttpHandle connect_handle = 0;
  HttpHandle request_handle = 0;
  std::string host;
  int port = 0;
  std::string url;
  int scheme = 0;
  int is_post = 0;
  // A block of the process heap; null when absent.
  std::uint8_t* receive_buffer = nullptr;
  int body_length = 0;
  int content_length = 0;
  std::string response_headers;
  int default_headers_enabled = 0;
  int cookie_mode = 0;
  std::string cookie_jar;
  int cookie_jar_length = 0;
  int redirects_disabled = 0;
  int redirect_count = 0;
  int proxy_credentials_pending = 0;
  std::string proxy_user;
  std::string proxy_password;
  int ignore_cert_errors_once = 0;

  // The current size of receive_buffer in bytes (0 when absent).
  std::size_t receive_buffer_size() const { return receive_buffer_size_; }

 private:
  // The copy of Copy(): fields copied, handles and buffer borrowed.
  explicit HttpSession(const HttpSession& source, bool share);

  bool Send(const void* body, std::size_t body_size, std::optional<int> keep_existing_cookies,
            std::optional<int> retries);
  // Closes `handle` when non-zero and owned; a borrowed one is only dropped.
  void Release(HttpHandle& handle, bool& borrowed);
  void FreeBuffer();
  void SetSessionHandle(HttpHandle handle);
  int AddHeaderLine(const std::string& line, std::uint32_t modifiers);
  bool SetDisableFeature(std::uint32_t feature);
  // Calls `visit` with each Set-Cookie pair of response_headers.
  template <typename Visit>
  void ForEachResponseCookie(Visit visit) const;

  HttpTransport& transport_;
  CookieStore& cookies_;
  platform::HeapHandle heap_ = 0;
  std::size_t receive_buffer_size_ = 0;
  bool borrowed_session_ = false;
  bool borrowed_connect_ = false;
  bool borrowed_request_ = false;
  bool borrowed_buffer_ = false;
  // session_handle as Cancel reads it from other threads.
  std::atomic<HttpHandle> cancel_session_{0};
};

}  // namespace textrill
