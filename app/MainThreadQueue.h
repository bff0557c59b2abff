// Hands work from other threads (the input's reader, the recorder, the keyboard watch) to the
// main thread, in the order it was posted. Posting takes a lock and writes to an eventfd; the
// main thread's socket notifier wakes and runs the work. Nothing of Qt is touched on the posting
// thread, so the hand-over is visible to the thread sanitizer as what it is: a locked queue.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

class QSocketNotifier;

namespace app {

class MainThreadQueue : public QObject {
 public:
  // Made on the main thread, whose event loop runs the work.
  explicit MainThreadQueue(QObject* parent = nullptr);
  // Whoever posts must have stopped posting by now; work still queued is dropped.
  ~MainThreadQueue() override;
  MainThreadQueue(const MainThreadQueue&) = delete;
  MainThreadQueue& operator=(const MainThreadQueue&) = delete;

  // Any thread. Never waits for the main thread.
  void Post(std::function<void()> work);
  // Main thread: runs what is queued now (the notifier calls it; tests may too).
  void RunPending();

 private:
  int event_fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::mutex mutex_;
  std::deque<std::function<void()>> pending_;
};

}  // namespace app
