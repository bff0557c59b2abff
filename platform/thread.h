// Threads with message queues. A thread is known by its ThreadId; messages are posted to that id
// and posting fails once the thread has ended (or never had a queue), so a request to a thread
// that is gone returns at once instead of waiting for an answer that will never come.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace platform {

using ThreadId = uint32_t;  // 0 means "no thread"

struct ThreadMessage {
  uint32_t id = 0;
  // The sender's answer event: signalled by the receiver once the message is handled, and by
  // the queue itself when the message is thrown away at the thread's end. May be null.
  std::shared_ptr<Event> reply;
  int64_t param = 0;    // numeric argument (a sample index, a code)
  void* ptr = nullptr;  // pointer argument (a device buffer)
};

class MessageQueue {
 public:
  // Something that must hear of every post (a wait that a message may interrupt).
  class Watcher {
   public:
    virtual void OnPost() = 0;

   protected:
    ~Watcher() = default;
  };

  bool Post(ThreadMessage message);  // false once the queue is closed
  bool Peek(ThreadMessage& out);     // takes the first message if there is one
  // Blocks until a message comes; false (and no message) only when the queue is closed and empty.
  bool Get(ThreadMessage& out);
  // Like Get, but gives up (false) when no message has come within `timeout`.
  bool GetFor(ThreadMessage& out, Milliseconds timeout);
  bool Contains(uint32_t id) const;
  size_t Size() const;

  // Refuses further posts; a thread's end.
  void Close();
  // Removes every queued message and signals the reply event each one carries.
  void DrainAndSignal();

  void AddWatcher(Watcher* watcher);
  void RemoveWatcher(Watcher* watcher);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<ThreadMessage> messages_;
  bool closed_ = false;
  std::mutex watchers_mutex_;  // held while notifying, so a watcher is never told after removal
  std::vector<Watcher*> watchers_;
};

// Posts to the queue of the thread with this id; false when there is no such (live) queue.
bool PostThreadMessage(ThreadId thread, ThreadMessage message);

// The queue of the calling thread, or null when it has none.
MessageQueue* CurrentQueue();
ThreadId CurrentThreadId();  // 0 when the calling thread has no queue

// Gives the calling thread (one that was not started as a platform::Thread, such as a test's
// main thread) a queue and an id for the lifetime of this object.
class QueueScope {
 public:
  QueueScope();
  ~QueueScope();
  QueueScope(const QueueScope&) = delete;
  QueueScope& operator=(const QueueScope&) = delete;
  ThreadId id() const { return id_; }
  MessageQueue& queue() { return *queue_; }

 private:
  std::shared_ptr<MessageQueue> queue_;
  ThreadId id_;
};

// A thread with its own message queue, created before the body runs so that a post right after
// Start() is never lost. When the body returns the queue is closed, every message still in it is
// thrown away with its reply event signalled, and the id stops accepting posts.
class Thread {
 public:
  Thread() = default;
  ~Thread();  // waits for the body to end
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the body on a new thread; false when the system cannot create one (or one still runs).
  bool Start(std::function<void()> body);
  ThreadId id() const { return id_; }
  bool Running() const;
  // Waits at most `timeout` for the body to end; true when it has ended (or never started).
  bool WaitForEnd(Milliseconds timeout = kInfinite);
  // Waits for the end without limit and releases the system thread.
  void Join();
  // Lets the body run on without anyone waiting for it (a thread stuck inside a library call
  // that its owner has given up on); its end still closes its queue. The body must own, or share
  // the ownership of, everything it touches.
  void Detach();

 private:
  struct EndState;
  std::thread thread_;
  ThreadId id_ = 0;
  std::shared_ptr<EndState> end_;
};

}  // namespace platform
