// The request body, the reading of JSON strings out of the reply, their
// unescaping, and how a reply is reported in the caption, the list and
// AllResultsText.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/recognition_job.h"
#include "encoding/base64.h"
#include "encoding/url_encoding.h"
#include "fake_controls.h"
#include "test_support.h"

namespace textrill {
namespace {

using testing::FakeControls;
using testing::Gbk;
using testing::MaskMilliseconds;
using testing::Reply;
using Rows = std::vector<std::array<std::string, 3>>;

TEST(RequestBody, FourBytePngGivesTheDocumentedBody) {
  const std::string encoded = FormUrlEncode(Base64Encode({0x89, 0x50, 0x4E, 0x47}));
  EXPECT_EQ(encoded, "iVBORw%3D%3D");
  EXPECT_EQ(BuildRequestBody("png", encoded),
            "type=webimage&image=data%3Aimage%2Fpng%3Bbase64%2CiVBORw%3D%3D&image_url=");
}

TEST(RequestBody, JoinsTheFivePiecesInOrder) {
  EXPECT_EQ(BuildRequestBody("jpeg", "QUJD"),
            "type=webimage&image=data%3Aimage%2Fjpeg%3Bbase64%2CQUJD&image_url=");
  EXPECT_EQ(BuildRequestBody("", ""), "type=webimage&image=data%3Aimage%2F%3Bbase64%2C&image_url=");
}

TEST(JsonStrings, EndAtTheFirstUnescapedQuote) {
  struct Case {
    std::string text;
    std::vector<std::string> expected;
  };
  const std::string m = "words\":\"";
  const std::vector<Case> cases = {
      {"{\"words\":\"a\",\"words\":\"b c\"}", {"a", "b c"}},
      {"\"words\":\"\"", {""}},
      {"\"words\":\"say \\\"hi\\\" now\",", {"say \\\"hi\\\" now"}},
      {"\"words\":\"ends in \\\\\",\"words\":\"next\"", {"ends in \\\\", "next"}},
      {"\"words\":\"a\\/b\"", {"a\\/b"}},
      // The second byte of this double-byte character is 0x5C, a backslash
      // byte: it escapes nothing.
      {"\"words\":\"\x95\x5C\",\"words\":\"x\"", {"\x95\x5C", "x"}},
      {"\"words\":\"first\",\"words\":\"no closing quote", {"first"}},
      {"\"words\":\"unterminated \\\"", {}},
      {"no marker at all", {}},
      // A marker that would start on the second byte of a double-byte
      // character is not one.
      {"\xB0words\":\"hidden\"", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> found = {"stale"};
    EXPECT_EQ(TakeAllJsonStrings(c.text, m, &found), static_cast<int>(c.expected.size())) << c.text;
    EXPECT_EQ(found, c.expected) << c.text;
    EXPECT_EQ(TakeJsonString(c.text, m), c.expected.empty() ? "" : c.expected[0]) << c.text;
  }
  EXPECT_EQ(TakeAllJsonStrings("\"words\":\"a\"", m, nullptr), 1);
}

TEST(JsonStrings, UnescapeToCodePage936) {
  struct Case {
    std::string escaped;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"plain text", "plain text"},
      {"a\\/b", "a/b"},
      {"\\\"quoted\\\" and \\\\", "\"quoted\" and \\"},
      {"\\\\/", "\\/"},
      {"\\b\\f\\n\\r\\t", "\b\f\n\r\t"},
      {"\\u4e2d\\u6587", Gbk("中文")},
      {"\\u4E2D!", Gbk("中!")},
      {"caf\\u00e9", Gbk("café")},
      {"\\u0041\\u0042", "AB"},
      // A character outside the code page, written as a surrogate pair: one "?".
      {"<\\ud83d\\ude00>", "<?>"},
      {"<\\ud83d>", "<?>"},
      {"<\\u0000>", "<?>"},
      // Not JSON escapes: left as they stand.
      {"\\x41", "\\x41"},
      {"\\u12", "\\u12"},
      {"\\u12g4", "\\u12g4"},
      {"trailing \\", "trailing \\"},
      // Double-byte characters pass whole; 0x5C as a second byte is no escape.
      {"\x95\x5C/\x95\x5C\\/", "\x95\x5C/\x95\x5C/"},
      {Gbk("中文") + "\\n", Gbk("中文") + "\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(UnescapeJsonText(c.escaped), c.expected) << c.escaped;
}

std::string Found(const std::string& count) {
  return std::string(status::kFound) + count + status::kFoundLines + status::kElapsed + "Nms]" +
         status::kWithTransfer;
}

std::string Failed(const std::string& number, const std::string& message) {
  return std::string(status::kRecognitionError) + number + "(" + message + ")] " +
         status::kElapsed + "Nms]";
}

TEST(ShowReply, CaptionRowsAndCopiedText) {
  struct Case {
    const char* name;
    std::string reply;
    std::string caption;
    Rows rows;
    std::string all_text;
  };
  const std::string no_text =
      std::string(status::kNoText) + status::kElapsed + "Nms]" + status::kWithTransfer;
  const std::vector<Case> cases = {
      {"two lines",
       Reply({Gbk("第一行"), "second"}, {"0.97", "0.5"}),
       Found("2"),
       {{"1", "0.97", Gbk("第一行")}, {"2", "0.5", "second"}},
       Gbk("第一行") + "\r\nsecond\r\n"},
      {"service error",
       "{\"errno\":110,\"msg\":\"Access token invalid\"}",
       Failed("110", "Access token invalid"),
       {},
       ""},
      {"service error message is unescaped",
       "{\"errno\":216201,\"msg\":\"bad \\\"image\\\" \\u4e2d\\/x\"}",
       Failed("216201", Gbk("bad \"image\" 中/x")),
       {},
       ""},
      {"no errno marker", "{\"error\":\"gateway\"}", Failed("", ""), {}, ""},
      {"errno 0 without lines",
       "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":0,\"words_result\":[]}}",
       no_text,
       {},
       ""},
      {"escapes in lines",
       Reply({"a\\/b", "say \\\"hi\\\"", "\\u4e2d\\u6587", "back\\\\slash"},
             {"0.9", "0.8", "0.7", "0.6"}),
       Found("4"),
       {{"1", "0.9", "a/b"},
        {"2", "0.8", "say \"hi\""},
        {"3", "0.7", Gbk("中文")},
        {"4", "0.6", "back\\slash"}},
       "a/b\r\nsay \"hi\"\r\n" + Gbk("中文") + "\r\nback\\slash\r\n"},
      {"fewer confidences than lines",
       Reply({"one", "two", "three"}, {"0.9"}),
       Found("3"),
       {{"1", "0.9", "one"}, {"2", "", "two"}, {"3", "", "three"}},
       "one\r\ntwo\r\nthree\r\n"},
      {"line count without a comma after it",
       "{\"errno\":0,\"data\":{\"words_result\":[{\"words\":\"x\"}],\"words_result_num\":1}}",
       Found(""),
       {{"1", "", "x"}},
       "x\r\n"},
  };
  for (const Case& c : cases) {
    FakeControls controls;
    AllResultsText.Set("");
    ShowRecognitionReply(controls, c.reply, MonotonicMilliseconds());
    EXPECT_EQ(MaskMilliseconds(controls.Caption()), c.caption) << c.name;
    EXPECT_EQ(controls.Rows(), c.rows) << c.name;
    EXPECT_EQ(AllResultsText.Get(), c.all_text) << c.name;
  }
}

TEST(ShowReply, RowsTheListRefusesAreSkipped) {
  FakeControls controls;
  controls.RefuseRows(true);
  AllResultsText.Set("");
  ShowRecognitionReply(controls, Reply({"a", "b"}, {"0.1", "0.2"}), MonotonicMilliseconds());
  EXPECT_EQ(MaskMilliseconds(controls.Caption()), Found("2"));
  EXPECT_TRUE(controls.Rows().empty());
  EXPECT_EQ(AllResultsText.Get(), "");
}

TEST(ShowReply, ElapsedTimeCountsFromTheStart) {
  FakeControls controls;
  ShowRecognitionReply(controls, "{\"errno\":1,\"msg\":\"x\"}", MonotonicMilliseconds() - 1234);
  const std::string caption = controls.Caption();
  const std::string prefix = Failed("1", "x").substr(0, Failed("1", "x").find('N'));
  ASSERT_EQ(caption.compare(0, prefix.size(), prefix), 0);
  const long long ms = std::stoll(caption.substr(prefix.size()));
  EXPECT_GE(ms, 1234);
  EXPECT_LT(ms, 60000);
}

}  // namespace
}  // namespace textrill
