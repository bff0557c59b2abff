// Synchronisation objects the media and recording threads use: auto-reset events and counting
// semaphores with timed waits. Locks are plain std::mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

using Milliseconds = std::chrono::milliseconds;
inline constexpr Milliseconds kInfinite = Milliseconds::max();

enum class WaitResult {
  kSignaled,     // the object was signalled (or the semaphore count taken)
  kTimeout,      // the time-out passed first
  kInterrupted,  // a message the caller watches for arrived in its queue (see AcquireUnlessPosted)
};

// An event that lets exactly one waiter through per Set() and then resets itself.
class Event {
 public:
  explicit Event(bool initially_set = false) : set_(initially_set) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  // Waits until the event is set (and resets it) or the time-out passes.
  WaitResult Wait(Milliseconds timeout = kInfinite);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;
};

// A counting semaphore with a maximum count; Release beyond the maximum fails and changes nothing.
class Semaphore {
 public:
  Semaphore(int32_t initial, int32_t maximum);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  bool Release(int32_t count = 1);
  WaitResult Acquire(Milliseconds timeout = kInfinite);
  int32_t Count() const;

 private:
  friend WaitResult AcquireUnlessPosted(Semaphore&, uint32_t, Milliseconds);
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int32_t count_;
  const int32_t maximum_;
};

// Waits for one count of the semaphore, but gives up (kInterrupted) as soon as a message with
// the given number is waiting in the calling thread's message queue; the message stays queued
// for the caller to handle. Lets a thread blocked on a resource still obey a stop command.
WaitResult AcquireUnlessPosted(Semaphore& semaphore, uint32_t message,
                               Milliseconds timeout = kInfinite);

}  // namespace platform
