#include "app/markers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace textrill {
namespace {

struct BetweenCase {
  std::string text, left, right;
  std::optional<int> start, include, whole, ignore_case;
  std::string expected;
};

TEST(TakeBetween, Table) {
  const std::optional<int> none;
  const BetweenCase cases[] = {
      {"id=7,n=3", "id=", ",", none, none, none, none, "7"},
      {"id=7,n=3", "n=", ",", none, none, none, none, ""},      // no comma after n=3
      {",a[x", "[", ",", none, none, none, none, ""},           // right marker only before
      {",a[x", "[", ",", none, none, 1, none, ",a[x"},
      {",a[x", "[", ",", none, none, 2, none, ""},              // only 1 counts as true
      {"x[ab]y", "[", "]", none, 1, none, none, "[ab]"},
      {"x[ab]y", "[", "]", none, none, none, none, "ab"},
      {"x[]y", "[", "]", none, none, none, none, ""},
      {"x[]y", "[", "]", none, 1, none, none, "[]"},
      {"[a][b]", "[", "]", 2, none, none, none, "b"},
      {"[a][b]", "[", "]", 99, none, 1, none, "[a][b]"},       // start beyond the end
      {"[a][b]", "[", "]", -5, none, none, none, "a"},
      {"x[ab]y", "[", "", none, none, 1, none, "x[ab]y"},       // empty right marker fails
      {"{\"ERRNO\":0,", "errno\":", ",", none, none, none, 1, "0"},
      {"{\"ERRNO\":0,", "errno\":", ",", none, none, none, none, ""},
      // The left marker's first byte is the second byte of 0xB0 0x5B.
      {"\xB0[no][yes]", "[", "]", none, none, none, none, "yes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TakeBetween(c.text, c.left, c.right, c.start, c.include, c.whole, c.ignore_case),
              c.expected)
        << c.text << " " << c.left << " " << c.right;
  }
}

TEST(TakeAllBetween, Table) {
  struct Case {
    std::string text, left, right;
    std::optional<std::string> exclude;
    std::optional<int> ignore_case;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"[a][][c]", "[", "]", {}, {}, {"a", "", "c"}},
      {"[a][b", "[", "]", {}, {}, {"a"}},
      {"[a][xb][c]", "[", "]", "x", {}, {"a", "c"}},
      {"[a][Xb][c]", "[", "]", "x", 1, {"a", "c"}},
      {"[a][Xb][c]", "[", "]", "x", {}, {"a", "Xb", "c"}},
      {"|a|x|b|", "|", "|", "x", {}, {"a", "b"}},       // the skipped piece's right marker
      {"[[x]]", "[", "]", "x", {}, {}},                 // restart inside the skipped piece
      {"", "[", "]", {}, {}, {}},
      {"[a]", "", "]", {}, {}, {}},                     // empty markers collect nothing
      {"[a]", "[", "", {}, {}, {}},
      // "words":" markers around texts with 0xB0 0x22-like second bytes.
      {"\"w\":\"\xD6\xD0\",\"w\":\"\xB0\\\"", "\"w\":\"", "\"", {}, {},
       {"\xD6\xD0", "\xB0\\"}},
      {"x\x81" "a[y]z", "[", "]", {}, {}, {"y"}},
      {"\x81[y][z]", "[", "]", {}, {}, {"z"}},          // first "[" is a second byte
  };
  for (const auto& c : cases) {
    std::vector<std::string> results{"old", "elements"};
    EXPECT_EQ(TakeAllBetween(c.text, c.left, c.right, &results, c.exclude, c.ignore_case),
              static_cast<int>(c.expected.size()))
        << c.text;
    EXPECT_EQ(results, c.expected) << c.text;
  }
  EXPECT_EQ(TakeAllBetween("[a][b]", "[", "]"), 2);  // without results it only counts
}

TEST(TakeAllBetween, ManyLinesInOrder) {
  std::string reply;
  for (int k = 0; k < 20000; ++k) reply += "{\"words\":\"\xD6\xD0" + std::to_string(k) + "\"},";
  std::vector<std::string> lines;
  ASSERT_EQ(TakeAllBetween(reply, "\"words\":\"", "\"", &lines), 20000);
  EXPECT_EQ(lines.front(), "\xD6\xD0" "0");
  EXPECT_EQ(lines.back(), "\xD6\xD0" "19999");
}

}  // namespace
}  // namespace textrill
