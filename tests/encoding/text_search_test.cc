#include "encoding/text_search.h"

#include <gtest/gtest.h>

#include <string>

namespace textrill {
namespace {

struct FindCase {
  std::string text;
  std::string needle;
  int start;
  bool ignore_case;
  int expected;
};

TEST(FindText, Table) {
  // 0xB0 0x5C is one character whose second byte is a backslash; 0xD6 0x41
  // one whose second byte is "A".
  const FindCase cases[] = {
      {"hello", "l", 1, false, 3},
      {"hello", "l", 4, false, 4},
      {"hello", "l", 5, false, -1},
      {"hello", "h", -3, false, 1},           // below 1 counts as 1
      {"hello", "o", 5, false, 5},
      {"hello", "o", 6, false, -1},           // beyond the end
      {"hello", "", 3, false, 1},             // empty needle: position 1
      {"hello", "", 6, false, -1},            // nothing left to search
      {"", "", 1, false, -1},
      {"hello", "hello!", 1, false, -1},
      {"\xB0\\\\n", "\\", 1, false, 3},       // not inside the character
      {"\xB0\\", "\\", 1, false, -1},
      {"\xD6" "AA", "A", 1, false, 3},
      {"\xD6" "AA", "a", 1, true, 3},
      {"xERRNO", "errno", 1, true, 2},
      {"xERRNO", "errno", 1, false, -1},
      {"\xC1\xE1", "\xE1\xE1", 1, true, -1},  // bytes of 0x80 and above are not folded
      {"ab\xC1\xE1", "\xC1\xE1", 1, false, 3},
      {"\x81\x40\x40", "\x40", 1, false, 3},  // second byte 0x40 is no match
      {"aaaa", "aa", 2, false, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindText(c.text, c.needle, c.start, c.ignore_case), c.expected)
        << "'" << c.text << "' / '" << c.needle << "' from " << c.start;
  }
}

TEST(FindText, BoundariesAcrossLongAsciiRuns) {
  // The boundary walk skips ASCII in words of eight: a lead byte after a long
  // run must still be seen.
  std::string text(1000, 'x');
  text += "\xB0" "A";
  text += std::string(17, 'y');
  text += "A";
  EXPECT_EQ(FindText(text, "A"), static_cast<int>(text.size()));
  EXPECT_EQ(FindText(text, "xA"), -1);
}

TEST(TrimText, Table) {
  const std::pair<std::string, std::string> cases[] = {
      {"  a b  ", "a b"},
      {"\xA1\xA1 a\xA1\xA1", "a"},
      {"\ta\r\n", "\ta\r\n"},                 // tabs, CR and LF stay
      {"\xB0\xA1\xA1", "\xB0\xA1\xA1"},       // A1 A1 not on a boundary stays
      {"    ", ""},
      {"", ""},
      {"\xD6\xD0 ", "\xD6\xD0"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(TrimText(input), expected) << input;
  EXPECT_EQ(TrimText("  a  ", true, false), "a  ");
  EXPECT_EQ(TrimText("  a  ", false, true), "  a");
}

TEST(AsciiCase, LeavesDoubleByteCharactersAlone) {
  EXPECT_EQ(AsciiUpper("post\xD6" "a"), "POST\xD6" "a");
  EXPECT_EQ(AsciiLower("Content-TYPE\xB0" "A"), "content-type\xB0" "A");
  EXPECT_TRUE(EqualsIgnoringCase("Cookie", "cOOKIE"));
  EXPECT_FALSE(EqualsIgnoringCase("Cookie", "Cookies"));
  EXPECT_FALSE(EqualsIgnoringCase("\xC1", "\xE1"));
}

}  // namespace
}  // namespace textrill
