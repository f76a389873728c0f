// WindowThread: carries calls from any thread over to the thread that owns
// the window, and waits for them, without ever deadlocking against a window
// that is closing.
//
// Lifecycle. Create it on the window's thread (the thread running the event
// loop); it belongs to that thread like any QObject. Until Close, Call runs
// the given function on that thread and returns its result: directly when
// called on that thread, else by queueing it, waking the event loop and
// waiting. Close (window's thread only; also done by the destructor) makes
// every waiting and every later Call return at once with no result, and drops
// the calls not yet run. A call that has already started is not interrupted;
// if Close happens while it runs (a nested event loop inside it), its caller
// returns without the result and the function still finishes on the window's
// thread. So the function must own what it uses: capture by value.
//
// Threads. Call and IsClosed: any thread. Close and the destructor: the
// window's thread. The object must outlive every thread that calls it (the
// program joins its workers after Close, before the window goes away).
//
// The hand-over goes through a std::mutex and a condition variable of our own
// and the wake-up is a plain event without data, so the thread sanitizer sees
// every hand-over.
#pragma once

#include <QEvent>
#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

namespace textrill::ui {

class WindowThread : public QObject {
 public:
  explicit WindowThread(QObject* parent = nullptr);
  ~WindowThread() override;

  WindowThread(const WindowThread&) = delete;
  WindowThread& operator=(const WindowThread&) = delete;

  // Runs `work` on the window's thread and returns true once it has run;
  // false, without running it, once Close has happened (also when Close
  // happens while the call waits). An empty function counts as run.
  bool Run(std::function<void()> work);

  // Runs `work` on the window's thread and returns its result, or nullopt
  // when Run would return false.
  template <typename F, typename R = std::invoke_result_t<F&>>
  std::optional<R> Call(F work) {
    auto result = std::make_shared<std::optional<R>>();
    const bool ran = Run([result, work = std::move(work)]() mutable { *result = work(); });
    if (!ran) return std::nullopt;
    return std::move(*result);
  }

  // Stops the hand-over for good: wakes every waiting caller, drops the
  // queued calls. Window's thread only; idempotent.
  void Close();

  // True once Close has happened. Any thread.
  bool IsClosed() const;

  // True when the calling thread is the window's thread.
  bool OnWindowThread() const;

 protected:
  bool event(QEvent* event) override;

 private:
  struct Job {
    std::function<void()> work;
    bool done = false;  // guarded by mutex_
  };

  // Runs the jobs queued so far, in order, skipping the rest once closed.
  void Drain();

  static QEvent::Type WakeType();

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<std::shared_ptr<Job>> queue_;  // guarded by mutex_
  bool closed_ = false;                     // guarded by mutex_
  bool wake_pending_ = false;               // guarded by mutex_
};

}  // namespace textrill::ui
