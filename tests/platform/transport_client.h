// A small client over HttpTransport for the tests: one session, and a request
// opened on 127.0.0.1 with the calls HttpSession makes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http_transport.h"

namespace textrill::testing {

// ASCII text to and from UTF-16, unit by unit (byte values above 0x7F map to
// the code points of the same value).
inline std::u16string Wide(std::string_view text) {
  std::u16string out;
  for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}
inline std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += static_cast<char>(c);
  return out;
}

class Client {
 public:
  explicit Client(std::u16string agent = u"textrill-test")
      : session(t.Open(agent.c_str(), winhttp::kAccessTypeNoProxy, nullptr, nullptr, 0)) {}
  ~Client() {
    if (request) t.CloseHandle(request);
    if (connection) t.CloseHandle(connection);
    if (session) t.CloseHandle(session);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Opens a request for `path` on 127.0.0.1:`port` (closing the previous one).
  bool Open(int port, std::u16string_view verb, std::u16string_view path, bool secure = false) {
    if (request) t.CloseHandle(request);
    if (connection) t.CloseHandle(connection);
    connection = t.Connect(session, u"127.0.0.1", static_cast<std::uint16_t>(port), 0);
    std::u16string v(verb), p(path);
    request = t.OpenRequest(connection, v.c_str(), p.c_str(), nullptr, nullptr, nullptr,
                            secure ? winhttp::kFlagSecure : 0);
    return request != 0;
  }

  bool AddHeaders(std::string_view lines, std::uint32_t modifiers) {
    std::u16string w = Wide(lines);
    return t.AddRequestHeaders(request, w.c_str(), static_cast<std::uint32_t>(w.size()),
                               modifiers) != 0;
  }

  bool SetOption32(HttpHandle handle, std::uint32_t option, std::uint32_t value) {
    return t.SetOption(handle, option, &value, sizeof value) != 0;
  }

  // SendRequest + ReceiveResponse; the error of the failed call in `error`.
  bool Send(std::string_view body = {}) {
    if (!t.SendRequest(request, nullptr, 0, body.empty() ? nullptr : body.data(),
                       static_cast<std::uint32_t>(body.size()),
                       static_cast<std::uint32_t>(body.size()), 0)) {
      error = t.LastError();
      return false;
    }
    if (t.ReceiveResponse(request, nullptr) != 1) {
      error = t.LastError();
      return false;
    }
    return true;
  }

  // A header query with the size-query convention; "" when it fails.
  std::string Query(std::uint32_t level) {
    std::uint32_t size = 0;
    if (t.QueryHeaders(request, level, nullptr, nullptr, &size, nullptr) ||
        t.LastError() != winhttp::kErrorInsufficientBuffer || size < 2) {
      return {};
    }
    std::vector<char16_t> buffer(size / 2);
    if (!t.QueryHeaders(request, level, nullptr, buffer.data(), &size, nullptr)) return {};
    return Narrow(std::u16string_view(buffer.data(), size / 2));
  }

  int Status() {
    std::string text = Query(winhttp::kQueryStatusCode);
    return text.empty() ? 0 : std::stoi(text);
  }

  // Reads the whole body with QueryDataAvailable and ReadData; `ok` false when
  // a call failed (the error in `error`), with the bytes read until then.
  std::string Body(bool* ok = nullptr) {
    std::string body;
    std::vector<char> chunk(1 << 20);
    bool good = true;
    for (;;) {
      std::uint32_t available = 0;
      if (t.QueryDataAvailable(request, &available) != 1) {
        good = false;
        error = t.LastError();
        break;
      }
      if (available == 0) break;
      std::uint32_t read = 0;
      if (!t.ReadData(request, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &read)) {
        good = false;
        error = t.LastError();
        break;
      }
      body.append(chunk.data(), read);
    }
    if (ok) *ok = good;
    return body;
  }

  HttpTransport& t = DefaultHttpTransport();
  HttpHandle session = 0;
  HttpHandle connection = 0;
  HttpHandle request = 0;
  std::uint32_t error = 0;
};

}  // namespace textrill::testing
