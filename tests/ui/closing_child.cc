#include "tests/ui/closing_child.h"

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/globals.h"
#include "app/main_window.h"

namespace textrill::test {

int RunClosingChild(int argc, char** argv) {
  int code = 0;
  {
    QApplication app(argc, argv);
    qAddPostRoutine(ExitCleanup);
    MainWindow window;

    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::atomic<long> calls_after_closing{0};
    std::atomic<long> effects_after_closing{0};
    std::thread worker([&] {
      const std::string text = "\xD6\xD0\xCE\xC4";  // 中文
      while (!stop.load()) {
        const bool closing = window.IsClosing();
        window.SetStatus(text);
        window.SetGoEnabled(false);
        const int row = window.AppendRow();
        window.SetCell(row, 2, text);
        const std::string cell = window.Cell(row, 2);
        const int selected = window.SelectedRow();
        window.SetPathText(text);
        const std::string path = window.PathText();
        window.SetGoEnabled(true);
        if (row > 50) window.ClearRows();
        ++calls;
        if (closing) {
          ++calls_after_closing;
          if (row != -1 || !cell.empty() || selected != -1 || !path.empty())
            ++effects_after_closing;
        }
      }
    });

    window.SetClosingHook([&] {
      // The worker keeps calling for a while after closing has begun; each of
      // its calls must return at once, while this thread does not serve them.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (calls_after_closing.load() < 1000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      stop = true;
      worker.join();
    });
    window.show();
    // Close once the worker is busy, as the user's close box would.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
      if (calls.load() >= 200) window.close();
    });
    poll.start(10);
    QTimer::singleShot(30000, &app, [&] { window.close(); });  // never hang
    app.exec();

    if (worker.joinable()) {
      stop = true;
      worker.join();
      code = 3;
    }
    if (calls_after_closing.load() < 1000 || effects_after_closing.load() != 0) code = 2;
    std::fprintf(stderr, "calls %ld, after closing %ld, with effect %ld\n", calls.load(),
                 calls_after_closing.load(), effects_after_closing.load());
  }
  return code;
}

}  // namespace textrill::test
