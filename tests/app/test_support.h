// Helpers shared by the app tests: code page 936 texts written as UTF-8
// literals, and captions with their elapsed milliseconds masked.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/status_texts.h"
#include "platform/code_page_service.h"

namespace textrill::testing {

// `utf8` as code page 936 bytes.
inline std::string Gbk(std::string_view utf8) {
  std::optional<std::u16string> units = platform::DecodeCodePage(platform::kCodePageUtf8, utf8);
  std::optional<std::string> text =
      units ? platform::EncodeCodePage(platform::kCodePageGbk, *units) : std::nullopt;
  return text.value_or("<conversion failed>");
}

// A reply as the service writes it, in its key order, with the given raw
// (already escaped) line texts and confidences; a line without a confidence
// has no probability.
inline std::string Reply(const std::vector<std::string>& lines,
                         const std::vector<std::string>& averages) {
  std::string reply = "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":" +
                      std::to_string(lines.size()) + ",\"words_result\":[";
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (k > 0) reply += ",";
    reply += "{\"words\":\"" + lines[k] + "\"";
    if (k < averages.size()) {
      reply += ",\"probability\":{\"average\":" + averages[k] + ",\"min\":0.5,\"variance\":0}";
    }
    reply += ",\"location\":{\"left\":1,\"top\":2,\"width\":3,\"height\":4}}";
  }
  return reply + "]}}";
}

// `caption` with the digits of its "耗时[...ms]" replaced by "N", so that
// captions compare exactly apart from the time; "<no time>" when the caption
// has no such part or the part is not a decimal number.
inline std::string MaskMilliseconds(const std::string& caption) {
  const std::string marker = status::kElapsed;
  const std::size_t at = caption.find(marker);
  if (at == std::string::npos) return "<no time>";
  const std::size_t digits = at + marker.size();
  std::size_t end = digits;
  while (end < caption.size() && caption[end] >= '0' && caption[end] <= '9') ++end;
  if (end == digits || caption.compare(end, 3, "ms]") != 0) return "<no time>";
  return caption.substr(0, digits) + "N" + caption.substr(end);
}

// A port on 127.0.0.1 that nothing listens on (taken by a socket that is
// closed again without listening).
inline int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace textrill::testing
