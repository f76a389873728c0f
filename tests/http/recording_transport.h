// A transport that records every call with its arguments as one line of text
// and answers from a script: responses (status, reason, header block, body
// chunks) and the errors of the next sends and receives. Also a cookie store
// that records its calls and answers from a fixed text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "encoding/code_page.h"
#include "platform/cookie_store.h"
#include "platform/http_transport.h"

namespace textrill::testing {

// UTF-16 (zero-terminated) to code page 936 text, for the records.
inline std::string Narrow(const char16_t* text, std::size_t length = std::string::npos) {
  if (text == nullptr) return "<null>";
  if (length == std::string::npos) length = std::char_traits<char16_t>::length(text);
  std::vector<std::uint8_t> bytes(length * 2);
  for (std::size_t k = 0; k < length; ++k) {
    bytes[2 * k] = static_cast<std::uint8_t>(text[k] & 0xFF);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(text[k] >> 8);
  }
  return WideToAnsi(bytes);
}

inline std::u16string Widen(const std::string& text) {
  const std::vector<std::uint8_t> bytes = AnsiToWide(text);
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t k = 0; k < units.size(); ++k) {
    units[k] = static_cast<char16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
  }
  if (!units.empty()) units.pop_back();  // the terminator
  return units;
}

inline std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

struct FakeResponse {
  std::string status_code = "200";
  std::string status_text = "OK";
  // The raw block; when empty, a status line and a Content-Length of the
  // chunks' total are made.
  std::string headers;
  std::vector<std::string> chunks;
  // QueryHeaders for the raw block fails (size 0).
  bool no_headers = false;
};

class RecordingTransport : public HttpTransport {
 public:
  std::vector<std::string> calls;
  std::deque<FakeResponse> responses;     // one per received response
  std::deque<std::uint32_t> send_errors;  // per SendRequest: 0 succeeds
  std::deque<std::uint32_t> receive_errors;
  bool fail_open = false;
  bool fail_connect = false;
  bool fail_open_request = false;
  bool fail_set_option = false;
  // For each ReadData: bytes delivered so far + bytes asked for, which is the
  // session's buffer capacity when it asks for all its free room.
  std::vector<std::size_t> read_capacities;

  // The calls whose record starts with `prefix`.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& call : calls) {
      if (call.rfind(prefix, 0) == 0) found.push_back(call);
    }
    return found;
  }
  int Count(const std::string& prefix) const {
    return static_cast<int>(CallsStartingWith(prefix).size());
  }

  HttpHandle Open(const char16_t* agent, std::uint32_t access_type, const char16_t* proxy,
                  const char16_t* bypass, std::uint32_t flags) override {
    calls.push_back("Open(\"" + Narrow(agent) + "\"," + std::to_string(access_type) + "," +
                    (proxy ? "proxy" : "null") + "," + (bypass ? "bypass" : "null") + "," +
                    std::to_string(flags) + ")");
    return fail_open ? 0 : NewHandle();
  }
  int CloseHandle(HttpHandle handle) override {
    calls.push_back("CloseHandle(" + std::to_string(handle) + ")");
    return live_.erase(handle) ? 1 : 0;
  }
  int SetTimeouts(HttpHandle session, int a, int b, int c, int d) override {
    calls.push_back("SetTimeouts(" + std::to_string(session) + "," + std::to_string(a) + "," +
                    std::to_string(b) + "," + std::to_string(c) + "," + std::to_string(d) + ")");
    return session != 0 && live_.count(session) ? 1 : 0;
  }
  int CrackUrl(const char16_t* url, std::uint32_t length, std::uint32_t flags,
               UrlComponents* parts) override {
    calls.push_back("CrackUrl(\"" + Narrow(url, length) + "\"," + std::to_string(length) + "," +
                    std::to_string(flags) + ")");
    return Crack(url, length, parts) ? 1 : 0;
  }
  HttpHandle Connect(HttpHandle session, const char16_t* server, std::uint16_t port,
                     std::uint32_t) override {
    calls.push_back("Connect(" + std::to_string(session) + ",\"" + Narrow(server) + "\"," +
                    std::to_string(port) + ")");
    return fail_connect ? 0 : NewHandle();
  }
  HttpHandle OpenRequest(HttpHandle connection, const char16_t* verb, const char16_t* object,
                         const char16_t*, const char16_t*, const char16_t* const*,
                         std::uint32_t flags) override {
    calls.push_back("OpenRequest(" + std::to_string(connection) + ",\"" + Narrow(verb) + "\",\"" +
                    Narrow(object) + "\"," + Hex(flags) + ")");
    return fail_open_request ? 0 : NewHandle();
  }
  int AddRequestHeaders(HttpHandle request, const char16_t* headers, std::uint32_t length,
                        std::uint32_t modifiers) override {
    calls.push_back("AddRequestHeaders(" + std::to_string(request) + ",\"" +
                    Narrow(headers, length) + "\"," + std::to_string(length) + "," +
                    Hex(modifiers) + ")");
    return request != 0 ? 1 : 0;
  }
  int SetOption(HttpHandle handle, std::uint32_t option, const void* buffer,
                std::uint32_t length) override {
    std::string value;
    if (option == winhttp::kOptionProxy) {
      const auto* info = static_cast<const ProxyInfo*>(buffer);
      value = std::to_string(info->access_type) + ",\"" + Narrow(info->proxy) + "\",\"" +
              Narrow(info->proxy_bypass) + "\"";
    } else if (option == winhttp::kOptionProxyUsername || option == winhttp::kOptionProxyPassword) {
      value = "\"" + Narrow(static_cast<const char16_t*>(buffer)) + "\"";
    } else if (length == 4) {
      std::uint32_t v;
      std::memcpy(&v, buffer, 4);
      value = Hex(v);
    } else {
      value = "?";
    }
    calls.push_back("SetOption(" + std::to_string(handle) + "," + std::to_string(option) + "," +
                    value + "," + std::to_string(length) + ")");
    return handle != 0 && !fail_set_option ? 1 : 0;
  }
  int SetCredentials(HttpHandle request, std::uint32_t target, std::uint32_t scheme,
                     const char16_t* user, const char16_t* password, void*) override {
    calls.push_back("SetCredentials(" + std::to_string(request) + "," + std::to_string(target) +
                    "," + std::to_string(scheme) + ",\"" + Narrow(user) + "\",\"" +
                    Narrow(password) + "\")");
    return 1;
  }
  int SendRequest(HttpHandle request, const char16_t*, std::uint32_t, const void* body,
                  std::uint32_t body_length, std::uint32_t total, std::uintptr_t) override {
    std::string text = body ? std::string(static_cast<const char*>(body), body_length) : "<null>";
    calls.push_back("SendRequest(" + std::to_string(request) + ",\"" + text + "\"," +
                    std::to_string(body_length) + "," + std::to_string(total) + ")");
    if (!send_errors.empty()) {
      const std::uint32_t error = send_errors.front();
      send_errors.pop_front();
      if (error != 0) {
        last_error_ = error;
        return 0;
      }
    }
    return 1;
  }
  int ReceiveResponse(HttpHandle request, void*) override {
    calls.push_back("ReceiveResponse(" + std::to_string(request) + ")");
    if (!receive_errors.empty()) {
      const std::uint32_t error = receive_errors.front();
      receive_errors.pop_front();
      if (error != 0) {
        last_error_ = error;
        return 0;
      }
    }
    FakeResponse response;
    if (!responses.empty()) {
      response = responses.front();
      responses.pop_front();
    }
    if (response.headers.empty() && !response.no_headers) {
      std::size_t total = 0;
      for (const auto& chunk : response.chunks) total += chunk.size();
      response.headers = "HTTP/1.1 " + response.status_code + " " + response.status_text +
                         "\r\nContent-Length:" + std::to_string(total) + "\r\n\r\n";
    }
    exchanges_[request] = Exchange{response, 0, 0, 0};
    return 1;
  }
  int QueryHeaders(HttpHandle request, std::uint32_t level, const char16_t*, void* buffer,
                   std::uint32_t* length, std::uint32_t*) override {
    calls.push_back("QueryHeaders(" + std::to_string(request) + "," + std::to_string(level) + "," +
                    std::to_string(*length) + ")");
    auto found = exchanges_.find(request);
    if (found == exchanges_.end()) {
      *length = 0;
      last_error_ = winhttp::kErrorIncorrectHandleState;
      return 0;
    }
    const FakeResponse& response = found->second.response;
    std::string text;
    if (level == winhttp::kQueryRawHeadersCrlf) {
      if (response.no_headers) {
        *length = 0;
        last_error_ = winhttp::kErrorHeaderNotFound;
        return 0;
      }
      text = response.headers;
    } else if (level == winhttp::kQueryStatusCode) {
      text = response.status_code;
    } else if (level == winhttp::kQueryStatusText) {
      text = response.status_text;
    }
    const std::u16string wide = Widen(text);
    const std::uint32_t needed = static_cast<std::uint32_t>((wide.size() + 1) * 2);
    if (buffer == nullptr || *length < needed) {
      *length = needed;
      last_error_ = winhttp::kErrorInsufficientBuffer;
      return 0;
    }
    std::memcpy(buffer, wide.c_str(), needed);
    *length = needed - 2;
    return 1;
  }
  int QueryDataAvailable(HttpHandle request, std::uint32_t* available) override {
    calls.push_back("QueryDataAvailable(" + std::to_string(request) + ")");
    auto found = exchanges_.find(request);
    if (found == exchanges_.end()) return 0;
    Exchange& e = found->second;
    *available = e.chunk < e.response.chunks.size()
                     ? static_cast<std::uint32_t>(e.response.chunks[e.chunk].size() - e.offset)
                     : 0;
    return 1;
  }
  int ReadData(HttpHandle request, void* buffer, std::uint32_t to_read,
               std::uint32_t* read) override {
    calls.push_back("ReadData(" + std::to_string(request) + "," + std::to_string(to_read) + ")");
    auto found = exchanges_.find(request);
    if (found == exchanges_.end()) return 0;
    Exchange& e = found->second;
    read_capacities.push_back(e.delivered + to_read);
    *read = 0;
    if (e.chunk >= e.response.chunks.size()) return 1;
    const std::string& chunk = e.response.chunks[e.chunk];
    const std::size_t n = std::min<std::size_t>(to_read, chunk.size() - e.offset);
    std::memcpy(buffer, chunk.data() + e.offset, n);
    e.offset += n;
    e.delivered += n;
    if (e.offset == chunk.size()) {
      ++e.chunk;
      e.offset = 0;
    }
    *read = static_cast<std::uint32_t>(n);
    return 1;
  }
  std::uint32_t LastError() const override { return last_error_; }
  void Cancel(HttpHandle session) override {
    calls.push_back("Cancel(" + std::to_string(session) + ")");
  }

  bool IsLive(HttpHandle handle) const { return live_.count(handle) > 0; }

 private:
  struct Exchange {
    FakeResponse response;
    std::size_t chunk;
    std::size_t offset;
    std::size_t delivered;
  };

  HttpHandle NewHandle() {
    const HttpHandle handle = next_++;
    live_[handle] = true;
    return handle;
  }

  static bool Crack(const char16_t* url, std::uint32_t length, UrlComponents* parts) {
    const std::u16string_view text(url, length);
    const std::size_t colon = text.find(u"://");
    if (colon == std::u16string_view::npos) return false;
    std::string scheme;
    for (char16_t c : text.substr(0, colon)) scheme += static_cast<char>(std::tolower(c & 0x7F));
    if (scheme == "http") {
      parts->scheme = winhttp::kSchemeHttp;
      parts->port = 80;
    } else if (scheme == "https") {
      parts->scheme = winhttp::kSchemeHttps;
      parts->port = 443;
    } else {
      return false;
    }
    const std::size_t host_start = colon + 3;
    std::size_t host_end = text.find_first_of(u":/?#", host_start);
    if (host_end == std::u16string_view::npos) host_end = text.size();
    if (host_end == host_start) return false;
    parts->host_name = url + host_start;
    parts->host_name_length = static_cast<int>(host_end - host_start);
    std::size_t rest = host_end;
    if (rest < text.size() && text[rest] == u':') {
      std::size_t end = text.find_first_of(u"/?#", rest + 1);
      if (end == std::u16string_view::npos) end = text.size();
      long port = 0;
      for (std::size_t k = rest + 1; k < end; ++k) {
        if (text[k] < u'0' || text[k] > u'9') return false;
        port = port * 10 + (text[k] - u'0');
        if (port > 65535) return false;
      }
      parts->port = static_cast<std::uint16_t>(port);
      rest = end;
    }
    std::size_t extra = text.find_first_of(u"?#", rest);
    if (extra == std::u16string_view::npos) extra = text.size();
    parts->url_path = url + rest;
    parts->url_path_length = static_cast<int>(extra - rest);
    parts->extra_info = url + extra;
    parts->extra_info_length = static_cast<int>(text.size() - extra);
    return true;
  }

  HttpHandle next_ = 1;
  std::map<HttpHandle, bool> live_;
  std::map<HttpHandle, Exchange> exchanges_;
  std::uint32_t last_error_ = 0;
};

// Records SetCookie calls; GetCookie answers `stored` for every URL.
class RecordingCookieStore : public CookieStore {
 public:
  std::vector<std::string> calls;
  std::string stored;

  bool SetCookie(const char* url, const char* name, const char* data) override {
    calls.push_back(std::string("Set(") + url + "," + name + "," + data + ")");
    return true;
  }
  bool GetCookie(const char* url, const char*, char* data, std::uint32_t* size) override {
    calls.push_back(std::string("Get(") + url + "," + std::to_string(*size) + ")");
    if (stored.empty()) {
      *size = 0;
      return false;
    }
    const auto needed = static_cast<std::uint32_t>(stored.size() + 1);
    if (data == nullptr || *size < needed) {
      *size = needed;
      return false;
    }
    std::memcpy(data, stored.c_str(), needed);
    *size = needed;
    return true;
  }
};

}  // namespace textrill::testing
