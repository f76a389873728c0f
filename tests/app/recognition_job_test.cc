// The recognition job against a local fake service: what each kind of reply
// puts in the caption, the list and AllResultsText; a failed Open; a large
// reply; stopping a job whose service does not answer.
#include "app/recognition_job.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/status_texts.h"
#include "app_fixture.h"
#include "http/http_session.h"
#include "test_support.h"

namespace textrill {
namespace {

using testing::AppTest;
using testing::Gbk;
using testing::MaskMilliseconds;
using testing::Reply;
using Rows = std::vector<std::array<std::string, 3>>;

class RecognitionJobTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ImageFormat = "png";
    EncodedImage = "iVBORw%3D%3D";
  }

  // Runs the job the way AcceptImage does, and waits for its end.
  void RunJob() {
    controls_.SetGoEnabled(false);
    controls_.SetBrowseEnabled(false);
    ASSERT_TRUE(StartRecognition(controls_));
    WaitForRecognition();
    EXPECT_TRUE(controls_.GoEnabled());
    EXPECT_TRUE(controls_.BrowseEnabled());
  }
};

std::string Timed(const std::string& head, const std::string& tail = "") {
  return head + status::kElapsed + "Nms]" + tail;
}

TEST_F(RecognitionJobTest, ReportsEachKindOfReply) {
  struct Case {
    const char* name;
    int status;
    std::string reply;
    std::string caption;
    Rows rows;
    std::string all_text;
  };
  const std::string found = status::kFound;
  const std::string lines = status::kFoundLines;
  const std::string failed = status::kRecognitionError;
  const std::vector<Case> cases = {
      {"two lines",
       200,
       Reply({"第一行 text", "second"}, {"0.97", "0.85"}),
       Timed(found + "2" + lines, status::kWithTransfer),
       {{"1", "0.97", Gbk("第一行 text")}, {"2", "0.85", "second"}},
       Gbk("第一行 text") + "\r\nsecond\r\n"},
      {"service error",
       200,
       "{\"errno\":17,\"msg\":\"Open api daily request limit reached\"}",
       Timed(failed + "17(Open api daily request limit reached)] "),
       {},
       ""},
      {"no lines",
       200,
       "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":0,\"words_result\":[]}}",
       Timed(status::kNoText, status::kWithTransfer),
       {},
       ""},
      {"no errno marker", 200, "<html>maintenance</html>", Timed(failed + "()] "), {}, ""},
      {"server error",
       500,
       "{\"errno\":0}",
       Timed(std::string(status::kRequestError) + "500(Internal Server Error)] "),
       {},
       ""},
      {"escapes",
       200,
       Reply({"say \\\"hi\\\" twice", "a\\/b", "\\u4e2d\\u6587 \\ud83d\\ude00"},
             {"0.9", "0.8", "0.7"}),
       Timed(found + "3" + lines, status::kWithTransfer),
       {{"1", "0.9", "say \"hi\" twice"}, {"2", "0.8", "a/b"}, {"3", "0.7", Gbk("中文 ?")}},
       "say \"hi\" twice\r\na/b\r\n" + Gbk("中文 ?") + "\r\n"},
      {"fewer confidences",
       200,
       Reply({"one", "two"}, {"0.9"}),
       Timed(found + "2" + lines, status::kWithTransfer),
       {{"1", "0.9", "one"}, {"2", "", "two"}},
       "one\r\ntwo\r\n"},
  };
  for (const Case& c : cases) {
    service_.SetReply(c.status, c.reply);
    // What an earlier job left is gone whatever the outcome.
    controls_.AddRow({"9", "0.1", "old"});
    AllResultsText.Set("old\r\n");
    RunJob();
    EXPECT_EQ(MaskMilliseconds(controls_.Caption()), c.caption) << c.name;
    EXPECT_EQ(controls_.Rows(), c.rows) << c.name;
    EXPECT_EQ(AllResultsText.Get(), c.all_text) << c.name;
  }
  const std::vector<std::string> bodies = service_.Bodies();
  ASSERT_EQ(bodies.size(), cases.size());
  for (const std::string& body : bodies) {
    EXPECT_EQ(body, "type=webimage&image=data%3Aimage%2Fpng%3Bbase64%2CiVBORw%3D%3D&image_url=");
  }
}

TEST_F(RecognitionJobTest, NoServerGivesCodeZero) {
  RecognitionUrl = "http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/aidemo";
  RunJob();
  EXPECT_EQ(MaskMilliseconds(controls_.Caption()),
            Timed(std::string(status::kRequestError) + "0()] "));
}

TEST_F(RecognitionJobTest, FailedOpenSendsNothingAndReadsNoOldResponse) {
  service_.SetReply(200, Reply({"from the earlier job"}, {"0.9"}));
  RunJob();
  ASSERT_EQ(controls_.Rows().size(), 1u);

  RecognitionUrl = "";
  RunJob();
  EXPECT_EQ(MaskMilliseconds(controls_.Caption()),
            Timed(std::string(status::kRequestError) + "0()] "));
  EXPECT_TRUE(controls_.Rows().empty());
  EXPECT_EQ(AllResultsText.Get(), "");
  EXPECT_EQ(service_.Bodies().size(), 1u);
}

TEST_F(RecognitionJobTest, LargeReplyFillsEveryRow) {
  constexpr int kLines = 100000;
  std::vector<std::string> lines;
  std::vector<std::string> averages;
  for (int k = 0; k < kLines; ++k) {
    lines.push_back("行 " + std::to_string(k) + " " + std::string(150, 'x') + "\\/");
    averages.push_back("0.9" + std::to_string(k % 10));
  }
  const std::string reply = Reply(lines, averages);
  ASSERT_GT(reply.size(), 20000000u);
  service_.SetReply(200, reply);
  RunJob();
  EXPECT_EQ(
      MaskMilliseconds(controls_.Caption()),
      Timed(std::string(status::kFound) + "100000" + status::kFoundLines, status::kWithTransfer));
  const Rows rows = controls_.Rows();
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(kLines));
  const std::string last = Gbk("行 99999 ") + std::string(150, 'x') + "/";
  EXPECT_EQ(rows.back(), (std::array<std::string, 3>{"100000", "0.99", last}));
  EXPECT_EQ(rows.front()[0], "1");
  std::string expected_all;
  for (int k = 0; k < kLines; ++k) {
    expected_all += Gbk("行 ") + std::to_string(k) + " " + std::string(150, 'x') + "/\r\n";
  }
  EXPECT_TRUE(AllResultsText.Get() == expected_all);
}

// Threading: a job whose service never answers ends promptly when stopped,
// long before the service would have answered.
TEST_F(RecognitionJobTest, StopCancelsTheExchangeAndWaits) {
  service_.Hold();
  controls_.SetGoEnabled(false);
  controls_.SetBrowseEnabled(false);
  ASSERT_TRUE(StartRecognition(controls_));
  ASSERT_TRUE(service_.WaitForPosts(1));
  EXPECT_FALSE(StartRecognition(controls_));
  const auto start = std::chrono::steady_clock::now();
  StopRecognition();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(RecognitionRunning());
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(MaskMilliseconds(controls_.Caption()),
            Timed(std::string(status::kRequestError) + "0()] "));
  EXPECT_TRUE(controls_.GoEnabled());
  StopRecognition();  // nothing runs: returns at once
}

TEST_F(RecognitionJobTest, StopBeforeTheExchangeStillEnds) {
  // Stops at once after starting, wherever the worker happens to be.
  service_.Hold();
  for (int k = 0; k < 20; ++k) {
    ASSERT_TRUE(StartRecognition(controls_));
    StopRecognition();
    EXPECT_FALSE(RecognitionRunning());
  }
}

}  // namespace
}  // namespace textrill
