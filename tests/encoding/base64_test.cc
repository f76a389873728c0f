#include "encoding/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace textrill {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// An independent decoder, written from RFC 4648, to check the encoder with.
std::vector<std::uint8_t> DecodeBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<std::uint8_t> out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = value(c);
    if (v < 0) ADD_FAILURE() << "not a base64 character: " << int(c);
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return out;
}

TEST(Base64Encode, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"\x89PNG", "iVBORw=="}, {"\xFB\xFF", "+/8="},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(Base64Encode(Bytes(input)), expected);
}

TEST(Base64Encode, RandomInputsRoundTripWithoutLineBreaks) {
  std::mt19937 random(12345);
  for (std::size_t length = 0; length <= 1000; ++length) {
    std::vector<std::uint8_t> input(length);
    for (auto& b : input) b = static_cast<std::uint8_t>(random());
    const std::string encoded = Base64Encode(input);
    ASSERT_EQ(encoded.size(), (length + 2) / 3 * 4) << length;
    ASSERT_EQ(encoded.find_first_of("\r\n"), std::string::npos) << length;
    ASSERT_EQ(DecodeBase64(encoded), input) << length;
  }
}

TEST(Base64Encode, LargestPictureIsOneLine) {
  std::vector<std::uint8_t> input(4194303, 0xA5);
  const std::string encoded = Base64Encode(input);
  EXPECT_EQ(encoded.size(), 5592404u);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
}  // namespace textrill
