#include "encoding/url_encoding.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace textrill {
namespace {

// Each byte's encoding, padded to four bytes, and its length: the byte
// itself (letters, digits), "+" (space), or "%XY".
struct Encoding {
  std::array<char, 4> text;
  int length;
};

constexpr std::array<Encoding, 256> MakeEncodings() {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::array<Encoding, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum) {
      table[c] = {{static_cast<char>(c), 0, 0, 0}, 1};
    } else if (c == ' ') {
      table[c] = {{'+', 0, 0, 0}, 1};
    } else {
      table[c] = {{'%', kHexDigits[c >> 4], kHexDigits[c & 0x0F], 0}, 3};
    }
  }
  return table;
}

constexpr std::array<Encoding, 256> kEncodings = MakeEncodings();

}  // namespace

int UrlEncodeBytes(const char* source, int length, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || length <= 0 || capacity <= 0) return 0;
  const auto* in = reinterpret_cast<const unsigned char*>(source);

  // When even an escape for every byte fits with a position to spare, no
  // limit can be reached: store four bytes per input byte without tests and
  // advance by the encoding's length. The last store ends at most at
  // 3 * length <= capacity, inside the capacity + 1 bytes the caller gives.
  if (3 * static_cast<std::int64_t>(length) + 1 <= capacity) {
    std::size_t i = 0;
    for (int k = 0; k < length; ++k) {
      const Encoding& e = kEncodings[in[k]];
      std::memcpy(destination + i, e.text.data(), 4);
      i += static_cast<std::size_t>(e.length);
    }
    destination[i] = '\0';
    return static_cast<int>(i);
  }

  int i = 0;
  for (int k = 0; k < length; ++k) {
    if (i >= capacity) break;  // a plain byte may use the last position
    const Encoding& e = kEncodings[in[k]];
    if (e.length == 3 && i + 3 >= capacity) {
      return 0;  // an escape that leaves no position free abandons the call
    }
    std::memcpy(destination + i, e.text.data(), static_cast<std::size_t>(e.length));
    i += e.length;
  }
  destination[i] = '\0';
  return i;
}

std::string FormUrlEncode(const std::string& text) {
  const std::size_t n = std::strlen(text.c_str());
  if (n < 1) return "";
  // The worst case, every byte escaped, needs 3n bytes plus the zero byte;
  // UrlEncodeBytes takes int sizes, so a longer text gives "".
  if (n > static_cast<std::size_t>((INT32_MAX - 2) / 3)) return "";
  // The scratch buffer is left unfilled: only what is written is touched, and
  // the output is copied out once.
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[3 * n + 2]);
  if (!scratch) return "";
  const int written =
      UrlEncodeBytes(text.data(), static_cast<int>(n), scratch.get(), static_cast<int>(3 * n + 1));
  return std::string(scratch.get(), static_cast<std::size_t>(written));
}

}  // namespace textrill
