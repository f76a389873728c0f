#include "service/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/markers.h"
#include "encoding/code_page.h"
#include "service/recognizer.h"

namespace textrill::service {
namespace {

// The reply as textrill reads it: converted from UTF-8 to code page 936 and
// picked apart with its markers.
struct ToolView {
  std::string error;
  std::string message;
  std::vector<std::string> lines;
  std::vector<std::string> confidences;
  std::string count;
};

ToolView ReadAsTheTool(const std::string& reply) {
  const std::string text = Utf8ToAnsi(std::vector<std::uint8_t>(reply.begin(), reply.end()));
  ToolView view;
  view.error = TakeBetween(text, "errno\":", ",");
  view.message = TakeBetween(text, "msg\":\"", "\"");
  TakeAllBetween(text, "words\":\"", "\"", &view.lines);
  TakeAllBetween(text, "average\":", ",", &view.confidences);
  view.count = TakeBetween(text, "words_result_num\":", ",");
  return view;
}

TEST(SuccessReply, HasTheFixedLayout) {
  RecognizedLine line{"Hello", 0.97, 0.91, 0.001, 1, 2, 30, 40};
  EXPECT_EQ(
      SuccessReply({line}),
      "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":1,\"words_result\":["
      "{\"words\":\"Hello\",\"probability\":{\"average\":0.97,\"min\":0.91,\"variance\":0.001},"
      "\"location\":{\"left\":1,\"top\":2,\"width\":30,\"height\":40}}]}}");
  EXPECT_EQ(
      SuccessReply({}),
      "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":0,\"words_result\":[]}}");
}

TEST(SuccessReply, IsReadByTheToolsMarkers) {
  std::vector<RecognizedLine> lines = {
      {"\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c", 0.9612, 0.9, 0.0003, 0, 0, 10,
       10},  // 你好世界
      {"a/b c\\d", 1.0, 1.0, 0.0, 0, 20, 10, 10},
      {"x", 0.5, 0.5, 0.0, 0, 40, 10, 10},
  };
  const ToolView view = ReadAsTheTool(SuccessReply(lines));
  EXPECT_EQ(view.error, "0");
  EXPECT_EQ(view.message, "success");
  EXPECT_EQ(view.count, "3");
  ASSERT_EQ(view.lines.size(), 3u);
  EXPECT_EQ(view.lines[0], "\xc4\xe3\xba\xc3\xca\xc0\xbd\xe7");  // 你好世界 in code page 936
  EXPECT_EQ(view.lines[1], "a/b c\\\\d");                        // the tool unescapes "\\" itself
  EXPECT_EQ(view.confidences, (std::vector<std::string>{"0.9612", "1.0", "0.5"}));
}

TEST(ErrorReply, CarriesTheNumberAndTheMessage) {
  EXPECT_EQ(ErrorReply(ServiceError::kBadBase64),
            "{\"errno\":6,\"msg\":\"image data is not base64\"}");
  const ToolView view = ReadAsTheTool(ErrorReply(ServiceError::kImageTooLarge));
  EXPECT_EQ(view.error, "7");
  EXPECT_EQ(view.message, "image too large");
}

TEST(SuccessReply, EscapesQuotesAndBackslashesAsJsonDoes) {
  RecognizedLine line{"say \"hi\" \\ 1/2", 1, 1, 0, 0, 0, 1, 1};
  const std::string reply = SuccessReply({line});
  EXPECT_NE(reply.find("\"words\":\"say \\\"hi\\\" \\\\ 1/2\""), std::string::npos) << reply;
}

TEST(SuccessReply, ReplacesBrokenUtf8InsteadOfFailing) {
  RecognizedLine line{"ok\xff", 1, 1, 0, 0, 0, 1, 1};
  EXPECT_NE(SuccessReply({line}).find("ok\xef\xbf\xbd"), std::string::npos);
}

TEST(JoinWords, NoSpaceBetweenCjkCharactersWithoutARealGap) {
  // Line height 40: a gap of 20 or more between ideographs is a real one, of
  // 10 or more next to a Latin word.
  struct Case {
    std::vector<WordBox> words;
    const char* line;
  } cases[] = {
      {{{"Hello", 0}, {"world", 2}}, "Hello world"},                             // Latin: always
      {{{"\xe4\xbd\xa0", 0}, {"\xe5\xa5\xbd", 6}}, "\xe4\xbd\xa0\xe5\xa5\xbd"},  // 你 好
      {{{"\xe4\xbd\xa0", 0}, {"\xe5\xa5\xbd", 21}}, "\xe4\xbd\xa0 \xe5\xa5\xbd"},
      {{{"\xe4\xbd\xa0", 0}, {"\xe5\xa5\xbd", 19}}, "\xe4\xbd\xa0\xe5\xa5\xbd"},
      {{{"\xe4\xbd\xa0", 0},
        {"\xef\xbc\x8c", 30},
        {"\xe5\xa5\xbd", 30}},  // 你，好 (full-width comma)
       "\xe4\xbd\xa0\xef\xbc\x8c\xe5\xa5\xbd"},
      {{{"\xe4\xbd\xbf\xe7\x94\xa8", 0}, {"Tesseract", 12}}, "\xe4\xbd\xbf\xe7\x94\xa8 Tesseract"},
      {{{"\xe4\xbd\xbf\xe7\x94\xa8", 0}, {"Tesseract", 3}}, "\xe4\xbd\xbf\xe7\x94\xa8Tesseract"},
      {{{"\xe2\x80\x9c", 0}, {"\xe4\xbd\xa0", 15}}, "\xe2\x80\x9c\xe4\xbd\xa0"},  // “你
      {{{"\xe2\x80\x9c"
         "Hi",
         0},
        {"there\xe2\x80\x9d", 1}},
       "\xe2\x80\x9cHi there\xe2\x80\x9d"},
      {{{"a", 0}, {"", 30}, {"b", 30}}, "a b"},  // empty words vanish
      {{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(JoinWords(c.words, 40), c.line) << c.line;
}

}  // namespace
}  // namespace textrill::service
