#include "app/MainThreadQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace app {

MainThreadQueue::MainThreadQueue(QObject* parent) : QObject(parent) {
  event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event_fd_ < 0) throw std::runtime_error("eventfd: cannot hand work to the main thread");
  notifier_ = new QSocketNotifier(event_fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { RunPending(); });
}

MainThreadQueue::~MainThreadQueue() {
  delete notifier_;
  ::close(event_fd_);
}

void MainThreadQueue::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
  }
  const uint64_t one = 1;
  // The counter only wakes the main thread; a full counter (never in practice) still wakes it.
  while (::write(event_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void MainThreadQueue::RunPending() {
  uint64_t count = 0;
  while (::read(event_fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::deque<std::function<void()>> work;
  {
    std::lock_guard lock(mutex_);
    work.swap(pending_);
  }
  for (auto& item : work) item();
}

}  // namespace app
