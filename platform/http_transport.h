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
inline constexpr std::uint32_t kOptionRedirectPolicy = 88;        // 4 bytes, session or request
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
inline constexpr std::uint32_t kQueryCustom = 65535;          // the header named by `name`
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

  // WinHttpOpen. A new session handle, or 0.
  virtual HttpHandle Open(const char16_t* agent, std::uint32_t access_type, const char16_t* proxy,
                          const char16_t* proxy_bypass, std::uint32_t flags) = 0;
  // WinHttpCloseHandle. Closing 0 or an unknown handle fails.
  virtual int CloseHandle(HttpHandle handle) = 0;
  // WinHttpSetTimeouts on a session, in milliseconds (0 or negative: none).
  virtual int SetTimeouts(HttpHandle session, int resolve_timeout, int connect_timeout,
                          int send_timeout, int receive_timeout) = 0;
  // WinHttpCrackUrl. Fails on a bad URL: no or an unknown scheme
  // (kErrorUnrecognizedScheme), nothing after "//", no "//", a port above
  // 65535 (kErrorInvalidUrl).
  virtual int CrackUrl(const char16_t* url, std::uint32_t url_length, std::uint32_t flags,
                       UrlComponents* components) = 0;
  // WinHttpConnect. A connection handle recording host and port, or 0.
  virtual HttpHandle Connect(HttpHandle session, const char16_t* server_name, std::uint16_t port,
                             std::uint32_t reserved) = 0;
  // WinHttpOpenRequest. `verb` nullptr means "GET"; `version`, `referrer` and
  // `accept_types` may be nullptr. A request handle, or 0.
  virtual HttpHandle OpenRequest(HttpHandle connection, const char16_t* verb,
                                 const char16_t* object_name, const char16_t* version,
                                 const char16_t* referrer, const char16_t* const* accept_types,
                                 std::uint32_t flags) = 0;
  // WinHttpAddRequestHeaders: one or more "Name:value" lines joined by CRLF,
  // with the add / add-if-new / replace modifiers.
  virtual int AddRequestHeaders(HttpHandle request, const char16_t* headers,
                                std::uint32_t headers_length, std::uint32_t modifiers) = 0;
  // WinHttpSetOption.
  virtual int SetOption(HttpHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t buffer_length) = 0;
  // WinHttpSetCredentials.
  virtual int SetCredentials(HttpHandle request, std::uint32_t auth_targets,
                             std::uint32_t auth_scheme, const char16_t* user_name,
                             const char16_t* password, void* auth_params) = 0;
  // WinHttpSendRequest: sends the request with `optional` as its body
  // (`optional_length` bytes; nullptr and 0 for none).
  virtual int SendRequest(HttpHandle request, const char16_t* headers,
                          std::uint32_t headers_length, const void* optional,
                          std::uint32_t optional_length, std::uint32_t total_length,
                          std::uintptr_t context) = 0;
  // WinHttpReceiveResponse: exactly 1 once the final response's status line
  // and headers are in.
  virtual int ReceiveResponse(HttpHandle request, void* reserved) = 0;
  // WinHttpQueryHeaders for kQueryStatusCode, kQueryStatusText and
  // kQueryRawHeadersCrlf, as UTF-16 text. With a buffer too small (length 0
  // included) it fails with kErrorInsufficientBuffer and sets *buffer_length to
  // the bytes needed, terminator included.
  virtual int QueryHeaders(HttpHandle request, std::uint32_t info_level, const char16_t* name,
                           void* buffer, std::uint32_t* buffer_length, std::uint32_t* index) = 0;
  // WinHttpQueryDataAvailable: exactly 1 on success; *bytes_available 0 at the
  // end of the body.
  virtual int QueryDataAvailable(HttpHandle request, std::uint32_t* bytes_available) = 0;
  // WinHttpReadData: up to `bytes_to_read` body bytes; *bytes_read 0 at the end.
  virtual int ReadData(HttpHandle request, void* buffer, std::uint32_t bytes_to_read,
                       std::uint32_t* bytes_read) = 0;
  // GetLastError after a failed call of this thread.
  virtual std::uint32_t LastError() const = 0;
  // Aborts the exchange in flight on `session` (any thread): the call blocked
  // in SendRequest, ReceiveResponse, QueryDataAvailable or ReadData returns
  // promptly with kErrorOperationCancelled. Later requests work again.
  virtual void Cancel(HttpHandle session) = 0;
};

// The process's libcurl transport. curl_global_init must have run (main does
// it before any thread starts; tests do it in their main).
HttpTransport& DefaultHttpTransport();

}  // namespace textrill
