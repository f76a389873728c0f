#include "encoding/code_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace textrill {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::vector<std::uint8_t> Utf16(std::u16string_view units) {
  std::vector<std::uint8_t> out;
  for (char16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return out;
}

const std::string kChinese = "\xD6\xD0\xCE\xC4";  // 中文 in code page 936
const std::string kChineseUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";

TEST(AnsiToWide, KnownAnswers) {
  int length = 99;
  EXPECT_EQ(AnsiToWide("GET", std::nullopt, &length), Utf16(std::u16string(u"GET\0", 4)));
  EXPECT_EQ(length, 3);

  EXPECT_EQ(AnsiToWide("\xD6\xD0", std::nullopt, &length), Utf16(std::u16string(u"\u4E2D\0", 2)));
  EXPECT_EQ(length, 1);

  EXPECT_EQ(AnsiToWide("\x80", std::nullopt, &length), Utf16(std::u16string(u"\u20AC\0", 2)));
  EXPECT_EQ(length, 1);  // 0x80 is the euro sign in Windows' code page 936

  EXPECT_EQ(AnsiToWide("h\xE9", 1252, &length), Utf16(std::u16string(u"h\u00E9\0", 3)));
  EXPECT_EQ(length, 2);
}

TEST(AnsiToWide, EmptyAndFailure) {
  int length = 42;
  EXPECT_TRUE(AnsiToWide("", std::nullopt, &length).empty());
  EXPECT_EQ(length, 42);  // untouched
  EXPECT_TRUE(AnsiToWide("abc", 99999, &length).empty());
  EXPECT_EQ(length, -1);  // a code page the system does not know
  EXPECT_TRUE(AnsiToWide("abc", 99999).empty());
}

TEST(AnsiToWide, InvalidBytesBecomeQuestionMarks) {
  int length = 0;
  // A lead byte at the end has no second byte; 0xFF is no character at all.
  EXPECT_EQ(AnsiToWide("a\xFF" "b\x81", std::nullopt, &length),
            Utf16(std::u16string(u"a?b?\0", 5)));
  EXPECT_EQ(length, 4);
}

TEST(WideToAnsi, KnownAnswers) {
  EXPECT_EQ(WideToAnsi({}), "");
  EXPECT_EQ(WideToAnsi({'a'}), "");                                  // half a unit
  EXPECT_EQ(WideToAnsi({'a', 0, 'b', 0, 'c', 0, 'd'}), "abc");        // odd byte ignored
  EXPECT_EQ(WideToAnsi(Utf16(std::u16string(u"abc\0def", 7))), "abc");  // cut at zero
  EXPECT_EQ(WideToAnsi(Utf16(u"\u4E2D\u6587")), kChinese);
  EXPECT_EQ(WideToAnsi(Utf16(u"x\u00E9")), "x\xA8\xA6");              // é exists in 936
  EXPECT_EQ(WideToAnsi(Utf16(u"\u0E01!")), "?!");                     // Thai does not
  EXPECT_EQ(WideToAnsi(Utf16(u"\xD83D\xDE00.")), "?.");               // one ? per character
  EXPECT_EQ(WideToAnsi(Utf16(u"a\xDC00" "b\xD800")), "a?b?");         // lone surrogates
  EXPECT_EQ(WideToAnsi(Utf16(u"abc"), 99999), "");
}

TEST(Utf8ToAnsi, KnownAnswers) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain ascii {\"errno\":0}", "plain ascii {\"errno\":0}"},
      {kChineseUtf8, kChinese},
      {"\xEF\xBB\xBF" "a", "?a"},               // a byte-order mark is a character
      {"\xF0\x9F\x98\x80x", "?x"},              // outside code page 936
      {"a\xC3(b", "a?(b"},                      // invalid sequences become ?
      {"\xFF\xFE", "??"},
      {"\xE4\xB8", "?"},                        // truncated at the end
      {"\xED\xA0\x80z", "???z"},                // an encoded surrogate: three bad bytes
      {std::string("a\0b", 3), "a"},            // the text ends at a zero
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Utf8ToAnsi(Bytes(input)), expected) << input;
  }
  EXPECT_EQ(Utf8ToAnsi(Bytes("abc"), 99999), "");
}

TEST(CodePage936, EveryDoubleByteCharacterRoundTrips) {
  int round_trips = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const std::string character{static_cast<char>(lead), static_cast<char>(trail)};
      int length = 0;
      const std::vector<std::uint8_t> wide = AnsiToWide(character, std::nullopt, &length);
      ASSERT_EQ(wide.size(), static_cast<std::size_t>(length + 1) * 2);
      if (length != 1 || (wide[0] == '?' && wide[1] == 0)) continue;  // unassigned
      ASSERT_EQ(WideToAnsi(wide), character) << std::hex << lead << " " << trail;
      ++round_trips;
    }
  }
  EXPECT_GE(round_trips, 21791);  // the characters of Windows' code page 936
}

TEST(CodePage936, Utf8OfEveryCharacterConvertsBack) {
  // The GB2312 characters through UTF-8, as a reply body brings them, in one
  // text, so that a conversion that loses step shows here.
  std::string all;
  std::string utf8;
  for (int lead = 0xB0; lead <= 0xF7; ++lead) {
    for (int trail = 0xA1; trail <= 0xFE; ++trail) {
      const std::string character{static_cast<char>(lead), static_cast<char>(trail)};
      int length = 0;
      const std::vector<std::uint8_t> wide = AnsiToWide(character, std::nullopt, &length);
      const char16_t u = static_cast<char16_t>(wide[0] | (wide[1] << 8));
      if (length != 1 || u < 0x800) continue;  // unassigned
      all += character;
      utf8 += static_cast<char>(0xE0 | (u >> 12));
      utf8 += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  EXPECT_GT(all.size(), 13000u);
  EXPECT_EQ(Utf8ToAnsi(Bytes(utf8)), all);
}

}  // namespace
}  // namespace textrill

namespace textrill {
namespace {

// Arbitrary bytes through every conversion: each gives a value of the
// promised shape, and the asan build shows no access out of bounds.
TEST(CodePageConversions, ArbitraryBytesGiveWellFormedValues) {
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes(random() % 64);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::string text(bytes.begin(), bytes.end());

    int length = -7;
    const std::vector<std::uint8_t> wide = AnsiToWide(text, std::nullopt, &length);
    const std::size_t before_zero = std::strlen(text.c_str());
    if (before_zero == 0) {
      EXPECT_TRUE(wide.empty());
      EXPECT_EQ(length, -7);
    } else {
      ASSERT_EQ(wide.size(), static_cast<std::size_t>(length + 1) * 2);
      EXPECT_EQ(wide[wide.size() - 1], 0);
      EXPECT_EQ(wide[wide.size() - 2], 0);
      EXPECT_LE(static_cast<std::size_t>(length), before_zero);
    }
    for (const std::string& out : {WideToAnsi(bytes), Utf8ToAnsi(bytes), WideToAnsi(wide)}) {
      EXPECT_EQ(out.find('\0'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace textrill
