// The service program itself, started on a free loopback port: recognition of
// rendered pictures, every failure's errno, requests at once, and a soak run.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "service/request.h"
#include "tests/service/service_harness.h"

namespace textrill::service_test {
namespace {

constexpr const char* kLatinFont = "DejaVu-Sans";
constexpr const char* kChineseFont = "Noto-Sans-CJK-SC";
constexpr const char* kEnglish =
    "The quick brown fox jumps over the lazy dog.\n"
    "Pack my box with five dozen liquor jugs: 1234567890";
constexpr const char* kChinese =
    "\xe4\xbb\x8a\xe5\xa4\xa9\xe5\xa4\xa9\xe6\xb0\x94\xe5\xbe\x88\xe5\xa5\xbd\xef\xbc\x8c"
    "\xe6\x88\x91\xe4\xbb\xac\xe4\xb8\x80\xe8\xb5\xb7\xe5\x8e\xbb\xe5\x85\xac\xe5\x9b\xad"
    "\xe6\x95\xa3\xe6\xad\xa5\xe3\x80\x82\n"  // 今天天气很好，我们一起去公园散步。
    "\xe6\x96\x87\xe5\xad\x97\xe8\xaf\x86\xe5\x88\xab\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x9c\xa8"
    "\xe6\x9c\xac\xe6\x9c\xba\xe8\xbf\x90\xe8\xa1\x8c\xef\xbc\x8c\xe4\xb8\x8d\xe9\x9c\x80"
    "\xe8\xa6\x81\xe7\xbd\x91\xe7\xbb\x9c\xe3\x80\x82";  // 文字识别服务在本机运行，不需要网络。

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

std::string FormatWord(const std::string& extension) {
  return extension == "jpg" ? "jpeg" : extension;
}

// One service for the suite: starting it loads the models.
class ServiceTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = ServiceProcess::Start({"--threads", "2"}).release();
    pictures_ = new TempDir;
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
    delete pictures_;
    pictures_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(service_, nullptr) << "the service did not start"; }

  static std::vector<std::uint8_t> Render(const std::string& name, const std::string& text,
                                          const std::string& font, int pixels) {
    const auto file = pictures_->path() / name;
    if (!RenderText(text, font, pixels, file)) return {};
    return ReadBytes(file);
  }

  static Answer Recognise(const std::vector<std::uint8_t>& picture, const std::string& format) {
    return Post(service_->port(), ToolRequestBody(picture, format));
  }

  static ServiceProcess* service_;
  static TempDir* pictures_;
};
ServiceProcess* ServiceTest::service_ = nullptr;
TempDir* ServiceTest::pictures_ = nullptr;

TEST_F(ServiceTest, ReadsRenderedLinesInEveryFormatAndSize) {
  struct Sample {
    const char* language;
    const char* text;
    const char* font;
    int pixels;
    const char* extension;
  } samples[] = {
      {"en", kEnglish, kLatinFont, 16, "png"},   {"en", kEnglish, kLatinFont, 24, "png"},
      {"en", kEnglish, kLatinFont, 32, "bmp"},   {"en", kEnglish, kLatinFont, 48, "jpg"},
      {"zh", kChinese, kChineseFont, 16, "png"}, {"zh", kChinese, kChineseFont, 24, "jpg"},
      {"zh", kChinese, kChineseFont, 32, "png"}, {"zh", kChinese, kChineseFont, 48, "bmp"},
  };
  for (const Sample& s : samples) {
    const std::string name = std::string(s.language) + std::to_string(s.pixels) + "." + s.extension;
    const auto picture = Render(name, s.text, s.font, s.pixels);
    ASSERT_FALSE(picture.empty()) << name;
    const Answer answer = Recognise(picture, FormatWord(s.extension));
    ASSERT_EQ(answer.status, 200) << name;
    const Reading reading = ReadReply(answer.body);
    ASSERT_EQ(reading.error, 0) << name << ": " << answer.body;
    const double rate = CharacterErrorRate(s.text, Joined(reading.lines));
    std::printf("character error rate %s %2d px %-4s %5.1f%%\n", s.language, s.pixels, s.extension,
                rate * 100);
    if (s.pixels >= 24) {
      EXPECT_LT(rate, 0.05) << name << " read as:\n" << Joined(reading.lines);
    } else {
      EXPECT_LT(rate, 0.15) << name << " read as:\n" << Joined(reading.lines);
    }
    EXPECT_EQ(reading.lines.size(), 2u) << name;
  }
}

TEST_F(ServiceTest, KeepsChineseCharactersTogetherButKeepsRealGaps) {
  // 你好世界 without gaps, then 你好 and 世界 a full-width space apart.
  const auto together = Render("together.png",
                               "\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c"
                               "\xe6\x96\x87\xe5\xad\x97",
                               kChineseFont, 32);
  const auto apart =
      Render("apart.png", "\xe4\xbd\xa0\xe5\xa5\xbd\xe3\x80\x80\xe4\xb8\x96\xe7\x95\x8c",
             kChineseFont, 32);
  Reading reading = ReadReply(Recognise(together, "png").body);
  ASSERT_EQ(reading.lines.size(), 1u);
  EXPECT_EQ(reading.lines[0],
            "\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c\xe6\x96\x87\xe5\xad\x97");
  reading = ReadReply(Recognise(apart, "png").body);
  ASSERT_EQ(reading.lines.size(), 1u);
  EXPECT_EQ(reading.lines[0], "\xe4\xbd\xa0\xe5\xa5\xbd \xe4\xb8\x96\xe7\x95\x8c");
}

TEST_F(ServiceTest, APictureWithoutTextHasNoLines) {
  ASSERT_TRUE(RunProgram(
      {"convert", "-size", "300x120", "xc:white", (pictures_->path() / "blank.png").string()}));
  const Answer answer = Recognise(ReadBytes(pictures_->path() / "blank.png"), "png");
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(
      answer.body,
      "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":0,\"words_result\":[]}}");
}

TEST_F(ServiceTest, ReadsLightTextOnDarkAndTransparentPictures) {
  const auto file = pictures_->path() / "dark.png";
  ASSERT_TRUE(RunProgram({"convert", "-font", kLatinFont, "-pointsize", "32", "-background",
                          "#202020", "-fill", "#f0f0f0", "-bordercolor", "#202020", "-border", "20",
                          "label:Dark mode screenshot", file.string()}));
  Reading reading = ReadReply(Recognise(ReadBytes(file), "png").body);
  EXPECT_EQ(Joined(reading.lines), "Dark mode screenshot");
  const auto clear = pictures_->path() / "clear.png";
  ASSERT_TRUE(RunProgram({"convert", "-font", kLatinFont, "-pointsize", "32", "-background", "none",
                          "-fill", "black", "-bordercolor", "none", "-border", "20",
                          "label:Transparent background", clear.string()}));
  reading = ReadReply(Recognise(ReadBytes(clear), "png").body);
  EXPECT_EQ(Joined(reading.lines), "Transparent background");
}

// A PNG whose header claims `width` x `height` pixels, with no picture data.
std::vector<std::uint8_t> PngHeaderOnly(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<std::uint8_t> chunk = {'I', 'H', 'D', 'R'};
  for (std::uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(std::uint8_t(v >> shift));
  }
  chunk.insert(chunk.end(), {1, 0, 0, 0, 0});  // 1 bit grey, no interlace
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t byte : chunk) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  crc ^= 0xFFFFFFFF;
  png.insert(png.end(), {0, 0, 0, 13});  // the header chunk's length
  png.insert(png.end(), chunk.begin(), chunk.end());
  for (int shift = 24; shift >= 0; shift -= 8) png.push_back(std::uint8_t(crc >> shift));
  // An empty IEND chunk closes the file.
  png.insert(png.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
  return png;
}

TEST_F(ServiceTest, EveryFailureAnswersWithItsErrno) {
  using service::ServiceError;
  const auto real = Render("small.png", "errno", kLatinFont, 24);
  ASSERT_FALSE(real.empty());
  const std::vector<std::uint8_t> cut(real.begin(), real.begin() + long(real.size() / 2));
  std::vector<std::uint8_t> too_big(service::kMaxPictureBytes + 1, 0x42);
  std::vector<std::uint8_t> at_limit(service::kMaxPictureBytes, 0x42);
  const std::string form = "application/x-www-form-urlencoded";
  struct Case {
    const char* what;
    std::string body;
    std::string content_type;
    ServiceError error;
  } cases[] = {
      {"not a form", "hello world", form, ServiceError::kNotAForm},
      {"broken escape", "type=webimage&image=%zz&image_url=", form, ServiceError::kNotAForm},
      {"json body", "{\"image\":\"x\"}", "application/json", ServiceError::kNotAForm},
      {"empty body", "", form, ServiceError::kNotAForm},
      {"no image field", "type=webimage&image_url=", form, ServiceError::kMissingImage},
      {"not a data URL", "type=webimage&image=abc&image_url=", form, ServiceError::kBadDataUrl},
      {"gif", "image=data%3Aimage%2Fgif%3Bbase64%2CR0lGODlh", form, ServiceError::kUnsupportedType},
      {"bad base64", "image=data%3Aimage%2Fpng%3Bbase64%2C%2A%2A%2A%2A", form,
       ServiceError::kBadBase64},
      {"picture over the limit", ToolRequestBody(too_big, "png"), form,
       ServiceError::kImageTooLarge},
      {"not a picture, at the limit", ToolRequestBody(at_limit, "png"), form,
       ServiceError::kUndecodable},
      {"half a PNG", ToolRequestBody(cut, "png"), form, ServiceError::kUndecodable},
      {"image_url given", ToolRequestBody(real, "png") + "http%3A%2F%2F127.0.0.1%2Fa.png", form,
       ServiceError::kImageUrlRefused},
      {"huge dimensions", ToolRequestBody(PngHeaderOnly(20000, 20000), "png"), form,
       ServiceError::kPictureTooLarge},
      {"body over 24 MiB", "image=" + std::string(service::kMaxBodyBytes, 'A'), form,
       ServiceError::kBodyTooLarge},
  };
  for (const Case& c : cases) {
    const Answer answer = Post(service_->port(), c.body, "/aidemo", c.content_type);
    EXPECT_EQ(answer.status, 200) << c.what;
    const Reading reading = ReadReply(answer.body);
    EXPECT_EQ(reading.error, static_cast<int>(c.error)) << c.what << ": " << answer.body;
    EXPECT_EQ(reading.message, service::ServiceErrorMessage(c.error)) << c.what;
  }
  // And it still reads pictures afterwards.
  EXPECT_EQ(ReadReply(Recognise(real, "png").body).lines, std::vector<std::string>{"errno"});
}

TEST_F(ServiceTest, OtherPathsAndVerbsAreRefused) {
  httplib::Client client("127.0.0.1", service_->port());
  client.set_read_timeout(30);
  auto get = client.Get("/aidemo");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 405);
  EXPECT_EQ(get->get_header_value("Allow"), "POST");
  auto head = client.Head("/aidemo");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 405);
  auto put = client.Put("/aidemo", "image=x", "application/x-www-form-urlencoded");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 405);
  auto root = client.Get("/");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->status, 404);
  auto other = client.Post("/other", ToolRequestBody(std::vector<std::uint8_t>(20000, 1), "png"),
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
}

TEST_F(ServiceTest, LogsOneLinePerRequest) {
  const auto picture = Render("logged.png", "Logged", kLatinFont, 32);
  const std::string before = service_->Log();
  ASSERT_EQ(Recognise(picture, "png").status, 200);
  ASSERT_EQ(Post(service_->port(), "x=1").status, 200);
  std::string log = service_->Log();
  // The logger writes after the reply: wait for it, bounded.
  for (int i = 0; i < 100 && std::count(log.begin() + long(before.size()), log.end(), '\n') < 2;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = service_->Log();
  }
  const std::string added = log.substr(before.size());
  EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 2) << added;
  EXPECT_NE(
      added.find(" POST /aidemo 200 bytes=" +
                 std::to_string(ToolRequestBody(picture, "png").size()) + " errno=0 lines=1 ms="),
      std::string::npos)
      << added;
  EXPECT_NE(added.find(" POST /aidemo 200 bytes=3 errno=3 lines=0 ms="), std::string::npos)
      << added;
}

TEST(ServiceConcurrency, RequestsAtOnceAreAllAnswered) {
  TempDir dir;
  ASSERT_TRUE(RenderText("Two requests at once", kLatinFont, 32, dir.path() / "en.png"));
  ASSERT_TRUE(RenderText("\xe5\x90\x8c\xe6\x97\xb6\xe8\xaf\x86\xe5\x88\xab", kChineseFont, 32,
                         dir.path() / "zh.png"));  // 同时识别
  const std::vector<std::pair<std::string, std::string>> jobs = {
      {ToolRequestBody(ReadBytes(dir.path() / "en.png"), "png"), "Two requests at once"},
      {ToolRequestBody(ReadBytes(dir.path() / "zh.png"), "png"),
       "\xe5\x90\x8c\xe6\x97\xb6\xe8\xaf\x86\xe5\x88\xab"},
  };
  // Two engines for two requests, then one engine for three: the third waits
  // its turn and the port stays open.
  for (const char* engines : {"2", "1"}) {
    auto service = ServiceProcess::Start({"--threads", engines});
    ASSERT_NE(service, nullptr);
    const std::size_t count = std::string(engines) == "2" ? 2 : 3;
    std::vector<Answer> answers(count);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < count; ++i) {
      clients.emplace_back([&, i] { answers[i] = Post(service->port(), jobs[i % 2].first); });
    }
    for (auto& client : clients) client.join();
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(answers[i].status, 200) << engines << " engines, request " << i;
      EXPECT_EQ(Joined(ReadReply(answers[i].body).lines), jobs[i % 2].second)
          << engines << " engines, request " << i;
    }
    const int status = service->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
  }
}

TEST(ServiceSoak, KeepsAnsweringWithFlatMemory) {
  constexpr int kRequests = 2000;
  constexpr int kWarmUp = 200;
  TempDir dir;
  ASSERT_TRUE(RenderText("Soak 42", kLatinFont, 24, dir.path() / "soak.png"));
  const std::string body = ToolRequestBody(ReadBytes(dir.path() / "soak.png"), "png");
  auto service = ServiceProcess::Start({"--threads", "2"});
  ASSERT_NE(service, nullptr);
  std::atomic<int> next{0};
  std::atomic<int> good{0};
  std::atomic<int> warmed{0};
  long warm_kib = -1;
  std::vector<std::thread> clients;
  for (int c = 0; c < 2; ++c) {
    clients.emplace_back([&] {
      httplib::Client client("127.0.0.1", service->port());
      client.set_keep_alive(true);
      client.set_read_timeout(120);
      for (int i = next++; i < kRequests; i = next++) {
        auto result = client.Post("/aidemo", body, "application/x-www-form-urlencoded");
        if (result && result->status == 200 &&
            ReadReply(result->body).lines == std::vector<std::string>{"Soak 42"}) {
          ++good;
        }
        if (++warmed == kWarmUp) warm_kib = service->ResidentKib();
      }
    });
  }
  for (auto& client : clients) client.join();
  const long end_kib = service->ResidentKib();
  std::printf("soak: %d of %d answered right; resident memory %ld KiB after %d, %ld KiB after %d\n",
              good.load(), kRequests, warm_kib, kWarmUp, end_kib, kRequests);
  EXPECT_EQ(good.load(), kRequests);
  ASSERT_GT(warm_kib, 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "memory figures under a sanitizer are the sanitizer's";
#else
  // Flat: at most 10% or 16 MiB more than after the warm-up.
  EXPECT_LT(end_kib - warm_kib, std::max(16L * 1024, warm_kib / 10));
#endif
}

}  // namespace
}  // namespace textrill::service_test
