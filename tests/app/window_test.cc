// The whole road through the real window (Qt, offscreen): a typed path, GO,
// the caption, the list and "复制所有"; and closing the program while the
// service is still answering.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "app/intake.h"
#include "app/main_window.h"
#include "app/recognition_job.h"
#include "app_fixture.h"
#include "test_support.h"

extern char** environ;

namespace textrill {
namespace {

using testing::AppTest;

using WindowTest = AppTest;

// Runs the event loop until `done` or 20 s have passed.
template <typename Done>
bool ProcessEventsUntil(Done done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 20000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

TEST_F(WindowTest, TypedPathGoListAndCopyAll) {
  service_.SetReply(200,
                    "{\"errno\":0,\"msg\":\"success\",\"data\":{\"words_result_num\":2,"
                    "\"words_result\":[{\"words\":\"第一行 a\\/b\",\"probability\":{\"average\":"
                    "0.97,\"min\":0.9}},{\"words\":\"say \\\"hi\\\"\",\"probability\":{\"average\":"
                    "0.88,\"min\":0.8}}]}}");
  const auto path = WriteFile("page.png", "\x89PNG not decodable");
  MainWindow window;
  window.SetBrowseHandler(OnBrowse);
  window.SetGoHandler(OnGo);
  window.SetClosingHook(StopRecognition);
  window.show();
  window.PathBox()->setPlainText(QString::fromStdString(path.string()));
  window.GoButton()->click();

  const QString found = QString::fromUtf8("检测到[2]条文本信息 耗时[");
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.windowTitle().startsWith(found); }))
      << window.windowTitle().toStdString();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !RecognitionRunning(); }));
  WaitForRecognition();
  EXPECT_TRUE(window.windowTitle().endsWith(QString::fromUtf8("ms](含图像传输)")));
  EXPECT_TRUE(window.GoButton()->isEnabled());
  EXPECT_TRUE(window.BrowseButton()->isEnabled());

  QTableWidget* list = window.ResultList();
  ASSERT_EQ(list->rowCount(), 2);
  const std::vector<std::vector<QString>> expected = {
      {"1", "0.97", QString::fromUtf8("第一行 a/b")}, {"2", "0.88", "say \"hi\""}};
  for (int row = 0; row < 2; ++row) {
    for (int column = 0; column < 3; ++column) {
      ASSERT_NE(list->item(row, column), nullptr);
      EXPECT_EQ(list->item(row, column)->text(),
                expected[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]);
    }
  }
  window.CopyAllAction()->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            QString::fromUtf8("第一行 a/b\r\nsay \"hi\"\r\n"));
  window.close();
}

// The real program's shape in a child process: closing its window while the
// service holds its reply (for up to 30 s) ends the process within a second,
// with exit code 0.
TEST_F(WindowTest, ClosingDuringASlowReplyEndsTheProgramWithinASecond) {
  service_.Hold();
  const auto path = WriteFile("slow.png", "\x89PNG slow");
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, input[1]);
  const std::string child = TEXTRILL_WINDOW_CHILD;
  const std::string url = service_.Url();
  const std::string picture = path.string();
  char* const arguments[] = {const_cast<char*>(child.c_str()), const_cast<char*>(picture.c_str()),
                             const_cast<char*>(url.c_str()), nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, child.c_str(), &actions, nullptr, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  ASSERT_EQ(spawned, 0);

  const bool posted = service_.WaitForPosts(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(write(input[1], "close\n", 6), 6);
  close(input[1]);
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(posted);
  ASSERT_EQ(ended, pid) << "the program did not end";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_LT(waited, std::chrono::seconds(1));
}

}  // namespace
}  // namespace textrill
