#include "encoding/url_encoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace textrill {
namespace {

struct FormCase {
  std::string input;
  std::string expected;
};

TEST(FormUrlEncode, KnownAnswers) {
  const FormCase cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"a b", "a+b"},
      {"a+b/c=", "a%2Bb%2Fc%3D"},
      {"-._~", "%2D%2E%5F%7E"},
      {"*", "%2A"},
      {"\xD6\xD0", "%D6%D0"},
      {"AZaz09", "AZaz09"},
      {"\r\n\t", "%0D%0A%09"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormUrlEncode(c.input), c.expected) << c.input;
}

TEST(FormUrlEncode, EveryByteValue) {
  for (int value = 1; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    std::string expected;
    if (std::isalnum(value) && value < 128) {
      expected = std::string(1, byte);
    } else if (value == ' ') {
      expected = "+";
    } else {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", value);
      expected = buffer;
    }
    EXPECT_EQ(FormUrlEncode(std::string(1, byte)), expected) << value;
  }
  // Byte 0 ends the text.
  EXPECT_EQ(FormUrlEncode(std::string("a\0b", 3)), "a");
}

TEST(FormUrlEncode, AllBytesAtOnce) {
  std::string all;
  for (int value = 1; value < 256; ++value) all.push_back(static_cast<char>(value));
  const std::string encoded = FormUrlEncode(all);
  // 62 letters and digits and the space take one byte, the other 192 three.
  EXPECT_EQ(encoded.size(), 63u + 3u * 192u);
}

struct BoundedCase {
  std::string input;
  int capacity;
  int expected_result;
  std::string expected_output;  // bytes written, as far as the output goes
  bool zero_written;
};

TEST(UrlEncodeBytes, CapacityLimits) {
  const BoundedCase cases[] = {
      {"abc", 2, 2, "ab", true},   // a plain byte may use the last position
      {"a%", 3, 0, "a", false},    // the escape at position 1 needs capacity 5
      {"a%", 4, 0, "a", false},
      {"a%", 5, 4, "a%25", true},
      {"abc", 3, 3, "abc", true},
      {"a b", 10, 3, "a+b", true},
      {"%", 4, 3, "%25", true},
      {"%", 3, 0, "", false},
  };
  for (const auto& c : cases) {
    std::string out(static_cast<std::size_t>(c.capacity) + 1, '#');
    const int result = UrlEncodeBytes(c.input.data(), static_cast<int>(c.input.size()),
                                      out.data(), c.capacity);
    EXPECT_EQ(result, c.expected_result) << c.input << " / " << c.capacity;
    EXPECT_EQ(out.substr(0, c.expected_output.size()), c.expected_output);
    const char after = out[c.expected_output.size()];
    EXPECT_EQ(after == '\0', c.zero_written) << c.input << " / " << c.capacity;
  }
}

TEST(UrlEncodeBytes, TightCapacityGivesTheSameOutputAsAmpleCapacity) {
  // With room for every byte escaped the encoder takes its untested fast
  // path; with exactly the room the output needs plus one, it checks every
  // byte. Both must write the same text.
  std::string text;
  for (int k = 0; k < 3000; ++k) text.push_back(static_cast<char>((k * 37) % 255 + 1));
  const std::string expected = FormUrlEncode(text);
  std::string out(expected.size() + 2, '#');
  EXPECT_EQ(UrlEncodeBytes(text.data(), static_cast<int>(text.size()), out.data(),
                           static_cast<int>(expected.size() + 1)),
            static_cast<int>(expected.size()));
  EXPECT_EQ(out.substr(0, expected.size()), expected);
  EXPECT_EQ(out[expected.size()], '\0');
}

TEST(UrlEncodeBytes, BadArgumentsWriteNothing) {
  char out[8];
  std::memset(out, '#', sizeof out);
  const char* source = "abc";
  EXPECT_EQ(UrlEncodeBytes(nullptr, 3, out, 7), 0);
  EXPECT_EQ(UrlEncodeBytes(source, 3, nullptr, 7), 0);
  EXPECT_EQ(UrlEncodeBytes(source, 0, out, 7), 0);
  EXPECT_EQ(UrlEncodeBytes(source, -1, out, 7), 0);
  EXPECT_EQ(UrlEncodeBytes(source, 3, out, 0), 0);
  EXPECT_EQ(UrlEncodeBytes(source, 3, out, -5), 0);
  for (char c : out) EXPECT_EQ(c, '#');
}

}  // namespace
}  // namespace textrill
