// HttpTransport: the synchronous HTTP transport under HttpSession, with the
// calls, handles, flags, options and error numbers of Windows' WinHTTP in
// synchronous mode. The process's transport runs on libcurl
// (DefaultHttpTransport); tests give HttpSession a recording one.
//
// Handles. A handle is a non-zero number; 0 is failure. A session handle
// (Open) carries the user agent, proxy setting, timeouts, a connection cache
// shared by its requests, its built-in cookies and its cancel state. A
// connection handle (Connect) records host and port and makes no traffic. A
// request handle (OpenRequest) carries the verb, object name, secure flag, its
// header list and options, and its exchange. CloseHandle releases what a
// handle owns; closing a session or connection while requests are open is
// safe: the requests stay valid handles until closed, and calls that need the
// closed parent fail.
//
// Strings are zero-terminated UTF-16 (char16_t, the bytes that AnsiToWide
// makes); a string length counts code units without the terminator, and
// kZeroTerminated means "up to the terminator". Option buffers and header
// query buffers are measured in bytes.
//
// Results follow WinHTTP: int results are non-zero on success, except
// ReceiveResponse and QueryDataAvailable, whose callers require exactly 1.
// After a failed call LastError() gives the error number for the calling
// thread.
//
// Threads: one session handle and everything opened under it are used by one
// thread at a time. Cancel may be called from any thread at any time.
#pragma once

#include <cstdint>

namespace textrill {

using HttpHandle = std::uintptr_t;

namespace winhttp {

inline constexpr std::uint32_t kZeroTerminated = 0xFFFFFFFFu;

// Open: access types.
inline constexpr std::uint32_t kAccessTypeNoProxy = 1;
inline constexpr std::uint32_t kAccessTypeNamedProxy = 3;

// OpenRequest: flags.
inline constexpr std::uint32_t kFlagSecure = 0x00800000;

// CrackUrl: scheme numbers.
inline constexpr int kSchemeHttp = 1;
inline constexpr int kSchemeHttps = 2;

// AddRequestHeaders: modifiers.
inline constexpr std::uint32_t kAddReqFlagAddIfNew = 0x10000000;
inline constexpr std::uint32_t kAddReqFlagAdd = 0x20000000;
inline constexpr std::uint32_t kAddReqFlagReplace = 0x80000000;
inline constexpr std::uint32_t kAddReqFlagCoalesceWithComma = 0x40000000;
inline constexpr std::uint32_t kAddReqFlagCoalesceWithSemicolon = 0x01000000;

// SetOption: options and values.
inline constexpr std::uint32_t kOptionResolveTimeout = 2;  // 4 bytes, ms, session or request
inline constexpr std::uint32_t kOptionConnectTimeout = 3;  // 4 bytes, ms, session or request
inline constexpr std::uint32_t kOptionSendTimeout = 5;     // 4 bytes, ms, session or request
inline constexpr std::uint32_t kOptionReceiveTimeout = 6;  // 4 bytes, ms, session or request
inline constexpr std::uint32_t kOptionSecurityFlags = 31;
inline constexpr std::uint32_t kOptionProxy = 38;
inline constexpr std::uint32_t kOptionDisableFeature = 63;
inline constexpr std::uint32_t kOptionRedirectPolicy = 88;         // 4 bytes, session or request
inline constexpr std::uint32_t kOptionMaxAutomaticRedirects = 89;  // 4 bytes, session or request
inline constexpr std::uint32_t kOptionProxyUsername = 4098;
inline constexpr std::uint32_t kOptionProxyPassword = 4099;
inline constexpr std::uint32_t kDisableCookies = 1;
inline constexpr std::uint32_t kDisableRedirects = 2;
inline constexpr std::uint32_t kDisableKeepAlive = 8;
inline constexpr std::uint32_t kRedirectPolicyNever = 0;
inline constexpr std::uint32_t kRedirectPolicyDisallowHttpsToHttp = 1;  // the default
inline constexpr std::uint32_t kRedirectPolicyAlways = 2;
inline constexpr std::uint32_t kSecurityFlagIgnoreUnknownCa = 0x00000100;
inline constexpr std::uint32_t kSecurityFlagIgnoreCertWrongUsage = 0x00000200;
inline constexpr std::uint32_t kSecurityFlagIgnoreCertCnInvalid = 0x00001000;
inline constexpr std::uint32_t kSecurityFlagIgnoreCertDateInvalid = 0x00002000;
inline constexpr std::uint32_t kSecurityFlagsIgnoreAll = 0x00003300;

// SetCredentials: targets and schemes.
inline constexpr std::uint32_t kAuthTargetServer = 0;
inline constexpr std::uint32_t kAuthTargetProxy = 1;
inline constexpr std::uint32_t kAuthSchemeBasic = 0x1;
inline constexpr std::uint32_t kAuthSchemeNtlm = 0x2;
inline constexpr std::uint32_t kAuthSchemePassport = 0x4;
inline constexpr std::uint32_t kAuthSchemeDigest = 0x8;
inline constexpr std::uint32_t kAuthSchemeNegotiate = 0x10;

// QueryHeaders: info levels.
inline constexpr std::uint32_t kQueryStatusCode = 19;
inline constexpr std::uint32_t kQueryStatusText = 20;
inline constexpr std::uint32_t kQueryRawHeadersCrlf = 22;
inline constexpr std::uint32_t kQueryCustom = 65535;           // the header named by `name`
inline constexpr std::uint32_t kQueryFlagNumber = 0x20000000;  // with 19: a 4-byte number

// Error numbers (LastError).
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorTimeout = 12002;
inline constexpr std::uint32_t kErrorInternalError = 12004;
inline constexpr std::uint32_t kErrorInvalidUrl = 12005;
inline constexpr std::uint32_t kErrorUnrecognizedScheme = 12006;
inline constexpr std::uint32_t kErrorNameNotResolved = 12007;
inline constexpr std::uint32_t kErrorInvalidOption = 12009;
inline constexpr std::uint32_t kErrorOperationCancelled = 12017;
inline constexpr std::uint32_t kErrorIncorrectHandleType = 12018;
inline constexpr std::uint32_t kErrorIncorrectHandleState = 12019;
inline constexpr std::uint32_t kErrorCannotConnect = 12029;
inline constexpr std::uint32_t kErrorConnectionError = 12030;
inline constexpr std::uint32_t kErrorHeaderNotFound = 12150;
inline constexpr std::uint32_t kErrorInvalidServerResponse = 12152;
inline constexpr std::uint32_t kErrorHeaderAlreadyExists = 12155;
inline constexpr std::uint32_t kErrorRedirectFailed = 12156;
inline constexpr std::uint32_t kErrorSecureFailure = 12175;

}  // namespace winhttp

// URL_COMPONENTS: what CrackUrl splits a URL into. For scheme text, host
// name, user name, password, URL path and extra information, a caller asks for
// a component by setting its pointer to nullptr and its length to -1; CrackUrl
// then points it into the caller's URL and sets the length in code units. A
// component asked for with length 0 is not returned.
struct UrlComponents {
  std::uint32_t struct_size = sizeof(UrlComponents);
  const char16_t* scheme_text = nullptr;
  int scheme_text_length = 0;
  int scheme = 0;  // winhttp::kSchemeHttp or kSchemeHttps
  const char16_t* host_name = nullptr;
  int host_name_length = 0;
  std::uint16_t port = 0;  // explicit port, else 80 (http) or 443 (https)
  const char16_t* user_name = nullptr;
  int user_name_length = 0;
  const char16_t* password = nullptr;
  int password_length = 0;
  const char16_t* url_path = nullptr;
  int url_path_length = 0;
  const char16_t* extra_info = nullptr;  // from the first "?" (or "#") on
  int extra_info_length = 0;
};

// WINHTTP_PROXY_INFO: the value of option kOptionProxy on a session.
// `proxy` is "host:port" (UTF-16, zero-terminated) for kAccessTypeNamedProxy.
struct ProxyInfo {
  std::uint32_t access_type = winhttp::kAccessTypeNoProxy;
  const char16_t* proxy = nullptr;
  const char16_t* proxy_bypass = nullptr;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // WinHttpOpen. A new session handle, or 0. Access type kAccessTypeNamedProxy
  // takes `proxy` as for kOptionProxy; any other access type means no proxy.
  // The environment's proxy variables are never used. Timeouts start at
  // WinHTTP's defaults (resolve none, connect 60 s, send 30 s, receive 30 s).
  virtual HttpHandle Open(const char16_t* agent, std::uint32_t access_type, const char16_t* proxy,
                          const char16_t* proxy_bypass, std::uint32_t flags) = 0;
  // WinHttpCloseHandle. Closing 0 or an unknown handle fails
  // (kErrorInvalidHandle). Closing a request ends its exchange.
  virtual int CloseHandle(HttpHandle handle) = 0;
  // WinHttpSetTimeouts on a session (for the requests opened afterwards) or a
  // request, in milliseconds; 0 or negative: no limit. Resolve and connect
  // together bound reaching the server (TLS handshake included); send bounds
  // a pause while the body goes out, receive a pause while waiting for or
  // reading the response (kErrorTimeout).
  virtual int SetTimeouts(HttpHandle session, int resolve_timeout, int connect_timeout,
                          int send_timeout, int receive_timeout) = 0;
  // WinHttpCrackUrl. `url_length` 0 or kZeroTerminated: up to the terminator.
  // Fails on a bad URL: no or an unknown scheme (kErrorUnrecognizedScheme),
  // nothing after "//", no "//", an empty host, a port that is not a number or
  // above 65535 (kErrorInvalidUrl); kErrorInvalidParameter for a null URL or
  // components, or a wrong struct_size. The split is as written: no decoding.
  // Components point into `url`; an IPv6 host comes without its brackets.
  virtual int CrackUrl(const char16_t* url, std::uint32_t url_length, std::uint32_t flags,
                       UrlComponents* components) = 0;
  // WinHttpConnect. A connection handle recording host and port (0: the
  // scheme's default when the request is opened), or 0 for an empty host or
  // one with characters no host name has (kErrorInvalidUrl).
  virtual HttpHandle Connect(HttpHandle session, const char16_t* server_name, std::uint16_t port,
                             std::uint32_t reserved) = 0;
  // WinHttpOpenRequest. `verb` nullptr or empty means "GET"; a verb that is
  // not an HTTP token fails. The object name goes on the request line as
  // given ("/" when empty), with controls, spaces and non-ASCII characters
  // percent-encoded (UTF-8). `version` is ignored: always HTTP/1.1.
  // `referrer` adds a Referer header, `accept_types` an Accept header. A
  // request handle, or 0.
  virtual HttpHandle OpenRequest(HttpHandle connection, const char16_t* verb,
                                 const char16_t* object_name, const char16_t* version,
                                 const char16_t* referrer, const char16_t* const* accept_types,
                                 std::uint32_t flags) = 0;
  // WinHttpAddRequestHeaders: one or more "Name:value" lines joined by CRLF.
  // Names compare without ASCII case. Modifiers:
  //   none or kAddReqFlagAdd: adds the line (a second one of a name too);
  //   kAddReqFlagAddIfNew: adds it unless the name is there (then fails with
  //     kErrorHeaderAlreadyExists and leaves it alone);
  //   kAddReqFlagReplace: replaces the value; an empty value removes every
  //     header of the name, also the User-Agent or Connection header sent by
  //     default; fails with kErrorHeaderNotFound when there is nothing to
  //     replace or remove;
  //   kAddReqFlagAdd | kAddReqFlagReplace: replaces, or adds when absent; an
  //     empty value is sent as the bare name and colon;
  //   kAddReqFlagCoalesceWithComma / WithSemicolon: appends to an existing one.
  // A line without a colon, a name that is not a token, or a CR inside a line
  // fails with kErrorInvalidParameter and adds nothing. Headers are sent as
  // "Name: value" in UTF-8.
  virtual int AddRequestHeaders(HttpHandle request, const char16_t* headers,
                                std::uint32_t headers_length, std::uint32_t modifiers) = 0;
  // WinHttpSetOption. Understood options:
  //   kOptionDisableFeature (request, 4 bytes): kDisableCookies,
  //     kDisableRedirects, kDisableKeepAlive;
  //   kOptionSecurityFlags (request, 4 bytes): kSecurityFlagIgnoreUnknownCa
  //     accepts a certificate that does not verify (unknown authority, bad
  //     date or usage), kSecurityFlagIgnoreCertCnInvalid one for another name;
  //     the other bits are taken and do nothing alone;
  //   kOptionProxy (session, a ProxyInfo): as for Open;
  //   kOptionProxyUsername / kOptionProxyPassword (request, UTF-16 text, read
  //     up to its terminator or the buffer's end): answer the proxy's challenge;
  //   kOptionResolveTimeout, kOptionConnectTimeout, kOptionSendTimeout,
  //     kOptionReceiveTimeout (session or request, 4 bytes, ms);
  //   kOptionRedirectPolicy, kOptionMaxAutomaticRedirects (session or request,
  //     4 bytes; a request takes the session's values when opened).
  // Any other option fails with kErrorInvalidOption; a known option on the
  // wrong kind of handle with kErrorIncorrectHandleType; a wrong size or value
  // with kErrorInvalidParameter.
  virtual int SetOption(HttpHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t buffer_length) = 0;
  // WinHttpSetCredentials for kAuthTargetServer or kAuthTargetProxy. Schemes
  // Basic, Digest, NTLM and Negotiate (as libcurl offers them) are taken;
  // Passport or an unknown scheme or target fails with kErrorInvalidParameter.
  // Basic is sent with the first request; the others answer a challenge.
  // Server credentials are not sent to another host a redirect leads to.
  virtual int SetCredentials(HttpHandle request, std::uint32_t auth_targets,
                             std::uint32_t auth_scheme, const char16_t* user_name,
                             const char16_t* password, void* auth_params) = 0;
  // WinHttpSendRequest: sends the request with `optional` as its body
  // (`optional_length` bytes, copied; nullptr and 0 for none). `total_length`
  // must equal `optional_length` (there is no WriteData). `headers` are added
  // first as with kAddReqFlagAdd | kAddReqFlagReplace. Each call starts a new
  // exchange on the handle, also after an earlier one. The exchange runs up
  // to the final response's status line and headers: connecting, TLS, the
  // proxy's tunnel, interim 1xx responses, authentication rounds and, unless
  // disabled, redirects (301, 302, 303, 307, 308; at most 10 hops, then
  // kErrorRedirectFailed; 303 makes any verb but HEAD a GET, 301 and 302 make
  // a POST a GET, those drop the body; never from https to http unless the
  // redirect policy says always). A failure of any of these fails this call.
  // On the wire: the caller's headers, Host, the session's User-Agent (unless
  // the caller sets one), Content-Length with a body and always for POST,
  // "Connection: Keep-Alive"; nothing else (no Accept, Expect or Content-Type
  // of libcurl's). Built-in cookies of the session are sent and stored unless
  // disabled on the request.
  virtual int SendRequest(HttpHandle request, const char16_t* headers, std::uint32_t headers_length,
                          const void* optional, std::uint32_t optional_length,
                          std::uint32_t total_length, std::uintptr_t context) = 0;
  // WinHttpReceiveResponse: exactly 1 once the final response's status line
  // and headers are in (SendRequest has waited for them); on a failed exchange
  // its error, and kErrorIncorrectHandleState when nothing was sent.
  virtual int ReceiveResponse(HttpHandle request, void* reserved) = 0;
  // WinHttpQueryHeaders for kQueryStatusCode (optionally with
  // kQueryFlagNumber: a 4-byte number), kQueryStatusText, kQueryRawHeadersCrlf
  // and kQueryCustom (the value of the `name` header, the *index-th one when
  // `index` is given, which then moves on), as UTF-16 text of the final
  // response: bytes from the wire are read as UTF-8 where they form it, any
  // other byte as the character of the same number. The raw block is the
  // status line and each header line as received, CRLF after each, and one
  // more CRLF. With a buffer too small (length 0 or a null buffer included) it
  // fails with kErrorInsufficientBuffer and sets *buffer_length to the bytes
  // needed, terminator included; on success *buffer_length is the bytes
  // written without the terminator. Before a response, or for another level,
  // it fails and sets *buffer_length to 0.
  virtual int QueryHeaders(HttpHandle request, std::uint32_t info_level, const char16_t* name,
                           void* buffer, std::uint32_t* buffer_length, std::uint32_t* index) = 0;
  // WinHttpQueryDataAvailable: waits until body bytes are buffered or the
  // body has ended; exactly 1 on success with the buffered count (at most
  // about 1 MiB: the transfer pauses while the buffer is full), 0 at the end
  // of the body. A body cut short fails with its error (kErrorConnectionError)
  // once the bytes that came are read.
  virtual int QueryDataAvailable(HttpHandle request, std::uint32_t* bytes_available) = 0;
  // WinHttpReadData: up to `bytes_to_read` body bytes, waiting as
  // QueryDataAvailable does; *bytes_read 0 at the end.
  virtual int ReadData(HttpHandle request, void* buffer, std::uint32_t bytes_to_read,
                       std::uint32_t* bytes_read) = 0;
  // GetLastError: the error of the calling thread's last failed call.
  virtual std::uint32_t LastError() const = 0;
  // Aborts the exchange on `session` (a connection or request handle names
  // its session) from any thread: the call blocked in SendRequest,
  // QueryDataAvailable or ReadData returns promptly with
  // kErrorOperationCancelled, and the exchange stays failed. When no call is
  // blocked, the next call of the session that has to wait for the network
  // fails that way instead. Later exchanges work again.
  virtual void Cancel(HttpHandle session) = 0;
};

// The process's libcurl transport. curl_global_init must have run (main does
// it before any thread starts; tests do it in their main).
HttpTransport& DefaultHttpTransport();

}  // namespace textrill
