#include "encoding/url_encoding.h"

#include <array>
#include <cstring>

namespace textrill {
namespace {

// What each byte becomes: kKeep for letters and digits, kPlus for the space,
// kEscape for everything else.
enum ByteClass : unsigned char { kEscape, kKeep, kPlus };

constexpr std::array<ByteClass, 256> MakeClasses() {
  std::array<ByteClass, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    classes[c] = alnum ? kKeep : (c == ' ' ? kPlus : kEscape);
  }
  return classes;
}

constexpr std::array<ByteClass, 256> kClasses = MakeClasses();
constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

int UrlEncodeBytes(const char* source, int length, char* destination, int capacity) {
  if (source == nullptr || destination == nullptr || length <= 0 || capacity <= 0) return 0;
  const auto* in = reinterpret_cast<const unsigned char*>(source);
  int i = 0;
  for (int k = 0; k < length; ++k) {
    if (i >= capacity) break;
    const unsigned char byte = in[k];
    switch (kClasses[byte]) {
      case kKeep:
        destination[i++] = static_cast<char>(byte);
        break;
      case kPlus:
        destination[i++] = '+';
        break;
      case kEscape:
        // An escape must leave one position below the capacity free; one that
        // does not fit abandons the call.
        if (i + 3 >= capacity) return 0;
        destination[i] = '%';
        destination[i + 1] = kHexDigits[byte >> 4];
        destination[i + 2] = kHexDigits[byte & 0x0F];
        i += 3;
        break;
    }
  }
  destination[i] = '\0';
  return i;
}

std::string FormUrlEncode(const std::string& text) {
  const std::size_t n = std::strlen(text.c_str());
  if (n < 1) return "";
  // The worst case, every byte escaped, needs 3n bytes plus the zero byte;
  // UrlEncodeBytes takes int sizes, so a text beyond that range gives "".
  if (n > static_cast<std::size_t>((INT32_MAX - 2) / 3)) return "";
  std::string out(3 * n + 1, '\0');
  int written = UrlEncodeBytes(text.data(), static_cast<int>(n), out.data(),
                               static_cast<int>(3 * n + 1));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace textrill
