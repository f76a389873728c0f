// The whole product: the real textrill window under Xvfb, built to post to the
// service on a test port. A rendered picture's path is typed into the path
// box, GO is pressed, and the caption and the list must show its lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/service/service_harness.h"

#ifdef TEXTRILL_AT_PROGRAM

namespace textrill::service_test {
namespace {

// Xvfb on a free display number, which it reports itself.
std::unique_ptr<BackgroundProgram> StartXvfb(std::string& display) {
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  auto xvfb = BackgroundProgram::Start(
      {"Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {}, fds[1]);
  close(fds[1]);
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (xvfb && number.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    char buffer[16];
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  if (number.empty() || number.find('\n') == std::string::npos) return nullptr;
  display = ":" + number.substr(0, number.find('\n'));
  return xvfb;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

TEST(EndToEnd, TheWindowShowsTheLinesOfATypedPicture) {
  TempDir dir;
  const auto picture = dir.path() / "end-to-end.png";
  const std::string english = "Textrill reads this line";
  const std::string chinese =
      "\xe6\x9c\xac\xe6\x9c\xba\xe8\xaf\x86\xe5\x88\xab\xe6\x96\x87\xe5\xad\x97";  // 本机识别文字
  ASSERT_TRUE(RenderText(english + "\n" + chinese, "Noto-Sans-CJK-SC", 32, picture));

  auto service = ServiceProcess::Start({"--threads", "1"});
  ASSERT_NE(service, nullptr);
  std::string display;
  auto xvfb = StartXvfb(display);
  ASSERT_NE(xvfb, nullptr) << "Xvfb did not start";
  const std::vector<std::string> x = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"};

  const std::string url = "http://127.0.0.1:" + std::to_string(service->port()) + "/aidemo";
  auto app = BackgroundProgram::Start({TEXTRILL_AT_PROGRAM, url}, x);
  ASSERT_NE(app, nullptr);
  const auto window = RunCapture(
      {"xdotool", "search", "--sync", "--onlyvisible", "--pid", std::to_string(app->pid())}, x, 60);
  ASSERT_TRUE(window) << "no textrill window appeared";
  const std::string id = Trimmed(window->substr(0, window->find('\n')));

  // 图片路径 at (8, 8) 328 x 32, GO at (376, 8) 32 x 32.
  ASSERT_TRUE(
      RunCapture({"xdotool", "mousemove", "--sync", "--window", id, "150", "24", "click", "1"}, x));
  ASSERT_TRUE(RunCapture({"xdotool", "type", "--delay", "10", picture.string()}, x));
  ASSERT_TRUE(
      RunCapture({"xdotool", "mousemove", "--sync", "--window", id, "392", "24", "click", "1"}, x));

  const std::string success = "\xe6\xa3\x80\xe6\xb5\x8b\xe5\x88\xb0[";  // 检测到[
  std::string caption;
  for (int i = 0; i < 600 && caption.rfind(success, 0) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    caption = Trimmed(RunCapture({"xdotool", "getwindowname", id}, x).value_or(""));
  }
  // 检测到[2]条文本信息 耗时[...ms](含图像传输)
  EXPECT_EQ(
      caption.rfind(success + "2]\xe6\x9d\xa1\xe6\x96\x87\xe6\x9c\xac\xe4\xbf\xa1\xe6\x81\xaf "
                              "\xe8\x80\x97\xe6\x97\xb6[",
                    0),
      0u)
      << caption;

  // The list 结果 at (416, 8) 490 x 340: read it off the screen with the
  // service itself.
  const auto shot = dir.path() / "list.png";
  ASSERT_TRUE(
      RunCapture({"import", "-window", id, "-crop", "490x340+416+8", "+repage", shot.string()}, x));
  const Reading reading =
      ReadReply(Post(service->port(), ToolRequestBody(ReadBytes(shot), "png")).body);
  std::string shown;
  for (const auto& line : reading.lines) shown += line + "\n";
  EXPECT_LT(BestMatchErrorRate(english, shown), 0.15) << shown;
  EXPECT_LT(BestMatchErrorRate(chinese, shown), 0.2) << shown;
  // Without a window manager there is no close button to press: the program
  // is stopped with SIGTERM when `app` goes out of scope.
}

}  // namespace
}  // namespace textrill::service_test

#endif  // TEXTRILL_AT_PROGRAM
