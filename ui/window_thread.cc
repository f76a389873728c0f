#include "ui/window_thread.h"

#include <QCoreApplication>
#include <QThread>

namespace textrill::ui {

WindowThread::WindowThread(QObject* parent) : QObject(parent) {}

WindowThread::~WindowThread() { Close(); }

QEvent::Type WindowThread::WakeType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

bool WindowThread::OnWindowThread() const { return QThread::currentThread() == thread(); }

bool WindowThread::IsClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool WindowThread::Run(std::function<void()> work) {
  if (OnWindowThread()) {
    if (IsClosed()) return false;
    if (work) work();
    return true;
  }
  std::shared_ptr<Job> job = Enqueue(std::move(work));
  if (job == nullptr) return false;
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return job->done || closed_; });
  return job->done;
}

bool WindowThread::Post(std::function<void()> work) {
  if (OnWindowThread()) return Run(std::move(work));
  return Enqueue(std::move(work)) != nullptr;
}

std::shared_ptr<WindowThread::Job> WindowThread::Enqueue(std::function<void()> work) {
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  QEvent* wake = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return nullptr;
    queue_.push_back(job);
    // One wake-up event drains the whole queue; post another only when none
    // is on its way. It is made under the lock that event() takes before
    // reading it, so the hand-over is visible to the thread sanitizer too.
    if (!wake_pending_) wake = new QEvent(WakeType());
    wake_pending_ = true;
  }
  if (wake != nullptr) QCoreApplication::postEvent(this, wake);
  return job;
}

void WindowThread::Close() {
  std::deque<std::shared_ptr<Job>> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
  }
  finished_.notify_all();
  // The dropped functions (and what they captured) are destroyed here, on
  // the window's thread, outside the lock.
}

bool WindowThread::event(QEvent* event) {
  // Pairs with the lock under which a calling thread made the wake-up event:
  // Qt's own queue synchronises with futexes the sanitizer cannot see.
  { std::lock_guard lock(mutex_); }
  if (event->type() == WakeType()) {
    Drain();
    return true;
  }
  return QObject::event(event);
}

void WindowThread::Drain() {
  // Take the whole queue at once and allow a new wake-up right away: a job
  // that runs a nested event loop (a dialog) then still lets later calls
  // through instead of holding them until it returns.
  std::deque<std::shared_ptr<Job>> batch;
  {
    std::lock_guard lock(mutex_);
    wake_pending_ = false;
    batch.swap(queue_);
  }
  for (auto& job : batch) {
    if (IsClosed()) return;  // its caller has returned already
    if (job->work) job->work();
    {
      std::lock_guard lock(mutex_);
      job->done = true;
    }
    finished_.notify_all();
  }
}

}  // namespace textrill::ui
