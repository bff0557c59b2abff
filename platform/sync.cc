#include "platform/sync.h"

#include "platform/thread.h"

namespace platform {

namespace {

// Waits on cv until pred() holds or the time-out passes; kInfinite waits without limit.
template <typename Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Milliseconds timeout,
             Pred pred) {
  if (timeout == kInfinite) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_for(lock, timeout, pred);
}

}  // namespace

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  cv_.notify_one();
}

WaitResult Event::Wait(Milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!WaitFor(cv_, lock, timeout, [this] { return set_; })) return WaitResult::kTimeout;
  set_ = false;
  return WaitResult::kSignaled;
}

Semaphore::Semaphore(int32_t initial, int32_t maximum) : count_(initial), maximum_(maximum) {}

bool Semaphore::Release(int32_t count) {
  {
    std::lock_guard lock(mutex_);
    if (count <= 0 || count_ > maximum_ - count) return false;
    count_ += count;
  }
  cv_.notify_all();
  return true;
}

WaitResult Semaphore::Acquire(Milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!WaitFor(cv_, lock, timeout, [this] { return count_ > 0; })) return WaitResult::kTimeout;
  --count_;
  return WaitResult::kSignaled;
}

int32_t Semaphore::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

WaitResult AcquireUnlessPosted(Semaphore& semaphore, uint32_t message, Milliseconds timeout) {
  MessageQueue* queue = CurrentQueue();
  if (!queue) return semaphore.Acquire(timeout);

  // Every post to this thread's queue wakes the wait so that it can look for the message.
  // The poster calls OnPost without holding the queue's lock, and we look into the queue while
  // holding the semaphore's lock: the lock order is always semaphore, then queue.
  struct Wake final : MessageQueue::Watcher {
    explicit Wake(Semaphore& s) : sem(s) {}
    void OnPost() override {
      { std::lock_guard lock(sem.mutex_); }
      sem.cv_.notify_all();
    }
    Semaphore& sem;
  } wake(semaphore);

  queue->AddWatcher(&wake);
  WaitResult result;
  {
    std::unique_lock lock(semaphore.mutex_);
    bool interrupted = false;
    auto ready = [&] {
      if (semaphore.count_ > 0) return true;
      interrupted = queue->Contains(message);
      return interrupted;
    };
    if (!WaitFor(semaphore.cv_, lock, timeout, ready)) {
      result = WaitResult::kTimeout;
    } else if (semaphore.count_ > 0) {
      --semaphore.count_;
      result = WaitResult::kSignaled;
    } else {
      result = WaitResult::kInterrupted;
    }
    (void)interrupted;
  }
  queue->RemoveWatcher(&wake);
  return result;
}

}  // namespace platform
