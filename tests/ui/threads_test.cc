// Calls carried over to the window's thread: the WindowThread hand-over on
// its own, the window's control operations from other threads, and the
// window closing while a thread keeps calling.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "tests/ui/closing_child.h"
#include "ui/window_thread.h"

namespace textrill {
namespace {

using namespace std::chrono_literals;

// Serves the event loop until `done` holds or 20 s passed.
bool ServeUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 20000); }

TEST(WindowThreadTest, CallsFromManyThreadsRunOnTheWindowsThreadInOrder) {
  ui::WindowThread window_thread;
  constexpr int kThreads = 4;
  constexpr int kCalls = 300;
  std::vector<std::vector<int>> seen(kThreads);  // touched on the window's thread only
  std::atomic<int> finished{0};
  std::atomic<int> wrong_thread{0};
  QThread* const main_thread = QThread::currentThread();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::optional<int> echoed = window_thread.Call([&, t, i] {
          if (QThread::currentThread() != main_thread) ++wrong_thread;
          seen[t].push_back(i);
          return i * 2;
        });
        if (echoed != i * 2) ++wrong_thread;
      }
      ++finished;
    });
  }
  EXPECT_TRUE(ServeUntil([&] { return finished.load() == kThreads; }));
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong_thread.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[t][i], i);
  }
}

TEST(WindowThreadTest, PostedCallsRunInOrderBeforeALaterCall) {
  ui::WindowThread window_thread;
  std::vector<int> seen;  // touched on the window's thread only
  std::optional<std::size_t> seen_by_call;
  std::atomic<bool> finished{false};
  std::thread poster([&] {
    for (int i = 0; i < 500; ++i) window_thread.Post([&seen, i] { seen.push_back(i); });
    seen_by_call = window_thread.Call([&seen] { return seen.size(); });
    finished = true;
  });
  EXPECT_TRUE(ServeUntil([&] { return finished.load(); }));
  poster.join();
  EXPECT_EQ(seen_by_call, 500u);  // the Call saw every earlier Post done
  for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);

  window_thread.Close();
  bool ran = false;
  std::thread late([&] { EXPECT_FALSE(window_thread.Post([&ran] { ran = true; })); });
  late.join();
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST(WindowThreadTest, CallOnTheWindowsThreadRunsDirectly) {
  ui::WindowThread window_thread;
  EXPECT_TRUE(window_thread.OnWindowThread());
  EXPECT_EQ(window_thread.Call([] { return 7; }), 7);
  EXPECT_TRUE(window_thread.Run({}));
  window_thread.Close();
  bool ran = false;
  EXPECT_FALSE(window_thread.Run([&] { ran = true; }));
  EXPECT_EQ(window_thread.Call([] { return 7; }), std::nullopt);
  EXPECT_FALSE(ran);
}

TEST(WindowThreadTest, CloseReleasesAWaitingCallerAndDropsItsCall) {
  ui::WindowThread window_thread;
  std::atomic<bool> started{false};
  std::atomic<bool> returned{false};
  std::atomic<bool> ran{false};
  std::optional<int> result = 1;
  std::thread caller([&] {
    started = true;
    // The window's thread does not serve events meanwhile: the call waits.
    result = window_thread.Call([&] {
      ran = true;
      return 5;
    });
    returned = true;
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load());
  window_thread.Close();
  caller.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(result, std::nullopt);
  QApplication::processEvents();  // the wake-up event finds nothing to run
  EXPECT_FALSE(ran.load());
}

TEST(WindowThreadTest, CallsGetThroughWhileAnEarlierCallRunsANestedEventLoop) {
  ui::WindowThread window_thread;
  std::atomic<bool> inner_ran{false};
  std::atomic<bool> outer_done{false};
  std::atomic<bool> nested_running{false};
  std::thread outer([&] {
    window_thread.Run([&] {
      // A dialog's nested loop, left when the other call has run (or after 20 s).
      QEventLoop loop;
      QTimer poll;
      QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (inner_ran.load()) loop.quit();
      });
      poll.start(5);
      QTimer::singleShot(20000, &loop, &QEventLoop::quit);
      nested_running = true;
      loop.exec();
    });
    outer_done = true;
  });
  std::thread inner([&] {
    while (!nested_running.load()) std::this_thread::yield();
    window_thread.Run([&] { inner_ran = true; });
  });
  EXPECT_TRUE(ServeUntil([&] { return outer_done.load(); }));
  outer.join();
  inner.join();
  EXPECT_TRUE(inner_ran.load());
}

TEST(CrossThreadTest, ControlOperationsFromASecondThreadTakeEffectAtOnce) {
  MainWindow window;
  window.show();
  const std::string chinese = "\xD6\xD0\xCE\xC4";  // 中文
  std::atomic<bool> done{false};
  std::vector<std::string> failures;  // read after join
  std::thread worker([&] {
    auto check = [&](bool ok, const char* what) {
      if (!ok) failures.emplace_back(what);
    };
    window.SetStatus(chinese);
    window.SetGoEnabled(false);
    window.ClearRows();
    for (int k = 0; k < 20; ++k) {
      const int row = window.AppendRow();
      check(row == k, "AppendRow index");
      window.SetCell(row, 0, std::to_string(k + 1));
      window.SetCell(row, 2, chinese + std::to_string(k));
      check(window.Cell(row, 2) == chinese + std::to_string(k), "Cell reads what SetCell wrote");
    }
    check(window.SelectedRow() == -1, "no row selected");
    window.SetPathText("/tmp/" + chinese + ".png");
    check(window.PathText() == "/tmp/" + chinese + ".png", "PathText");
    window.ShowPreview({});
    done = true;
  });
  EXPECT_TRUE(ServeUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("中文"));
  EXPECT_FALSE(window.GoButton()->isEnabled());
  EXPECT_EQ(window.ResultList()->rowCount(), 20);
  EXPECT_EQ(window.ResultList()->item(19, 2)->text(), QStringLiteral("中文19"));
  EXPECT_EQ(window.PathBox()->toPlainText(), QStringLiteral("/tmp/中文.png"));
}

TEST(CrossThreadTest, ClosingWhileAThreadKeepsCallingReturnsAtOnce) {
  auto window = std::make_unique<MainWindow>();
  window->show();
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::atomic<long> effects_after_closing{0};
  std::thread worker([&] {
    while (!stop.load()) {
      const bool closing = window->IsClosing();
      const int row = window->AppendRow();
      window->SetCell(row, 1, "0.9");
      const std::string cell = window->Cell(row, 1);
      window->SetStatus("s");
      if (closing && (row != -1 || !cell.empty() || window->SelectedRow() != -1)) {
        ++effects_after_closing;
      }
      ++calls;
    }
  });
  window->SetClosingHook([&] {
    // The worker is not served any more, and still must not block.
    const long at_close = calls.load();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (calls.load() < at_close + 500 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_GE(calls.load(), at_close + 500);
    stop = true;
    worker.join();
  });
  EXPECT_TRUE(ServeUntil([&] { return calls.load() >= 100; }));
  window->close();
  EXPECT_FALSE(worker.joinable());
  EXPECT_EQ(effects_after_closing.load(), 0);
  window.reset();
}

TEST(CrossThreadTest, ClosingTheWindowEndsTheProgramWithExitCodeZero) {
  QProcess child;
  child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  child.start(QCoreApplication::applicationFilePath(), {test::kClosingChildFlag});
  ASSERT_TRUE(child.waitForStarted(20000));
  ASSERT_TRUE(child.waitForFinished(120000)) << "the program did not end";
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0);
}

}  // namespace
}  // namespace textrill
