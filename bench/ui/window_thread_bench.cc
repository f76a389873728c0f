// How much a control operation from the worker thread costs.
//
// 1. WindowThread::Call from a worker, beside Qt's own blocking hand-over
//    (QMetaObject::invokeMethod with Qt::BlockingQueuedConnection), which
//    cannot be released by a closing window: calls per second and the ratio.
// 2. Filling 结果 (AppendRow + three SetCell per row) from a worker, beside
//    the same operations made on the window's thread itself, where they run
//    directly: the price of the hand-over per row.
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QEventLoop>
#include <QObject>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/main_window.h"
#include "ui/window_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `work` on a second thread while this thread runs an event loop;
// returns the seconds it took.
double OnWorker(const std::function<void()>& work) {
  QEventLoop loop;
  const auto start = Clock::now();
  std::thread worker([&] {
    work();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  worker.join();
  return seconds;
}

double Best(int rounds, const std::function<double()>& measure) {
  double best = 1e9;
  for (int i = 0; i < rounds; ++i) best = std::min(best, measure());
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  constexpr int kCalls = 20000;
  constexpr int kRounds = 3;

  textrill::ui::WindowThread window_thread;
  QObject peer_target;
  long sink = 0;
  const double ours = Best(kRounds, [&] {
    return OnWorker([&] {
      for (int i = 0; i < kCalls; ++i) sink += window_thread.Call([i] { return i; }).value_or(0);
    });
  });
  const double peer = Best(kRounds, [&] {
    return OnWorker([&] {
      for (int i = 0; i < kCalls; ++i) {
        int result = 0;
        QMetaObject::invokeMethod(
            &peer_target, [i] { return i; }, Qt::BlockingQueuedConnection, &result);
        sink += result;
      }
    });
  });
  std::printf(
      "cross-thread call: WindowThread %.0f calls/s, Qt BlockingQueuedConnection %.0f "
      "calls/s, ratio (ours/peer time) %.2f\n",
      kCalls / ours, kCalls / peer, ours / peer);

  textrill::MainWindow window;
  window.show();
  for (const int rows : {100, 2000}) {
    auto fill = [&] {
      window.ClearRows();
      for (int k = 0; k < rows; ++k) {
        const int row = window.AppendRow();
        window.SetCell(row, 0, std::to_string(k + 1));
        window.SetCell(row, 1, "0.97");
        window.SetCell(row, 2, "\xD6\xD0\xCE\xC4 line text");
      }
    };
    const double from_worker = Best(kRounds, [&] { return OnWorker(fill); });
    const double direct = Best(kRounds, [&] {
      const auto start = Clock::now();
      fill();
      return std::chrono::duration<double>(Clock::now() - start).count();
    });
    std::printf(
        "filling %d rows: from a worker %.1f ms, on the window's thread %.1f ms, "
        "ratio %.2f\n",
        rows, from_worker * 1e3, direct * 1e3, from_worker / direct);
  }
  return sink == -1 ? 1 : 0;
}
