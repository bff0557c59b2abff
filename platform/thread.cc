#include "platform/thread.h"

#include <algorithm>
#include <unordered_map>

namespace platform {

namespace {

// The process-wide table of live queues by thread id.
class Registry {
 public:
  ThreadId Add(std::shared_ptr<MessageQueue> queue) {
    std::lock_guard lock(mutex_);
    ThreadId id;
    do {
      id = ++next_;
    } while (id == 0 || queues_.count(id));
    queues_[id] = std::move(queue);
    return id;
  }
  void Remove(ThreadId id) {
    std::lock_guard lock(mutex_);
    queues_.erase(id);
  }
  std::shared_ptr<MessageQueue> Find(ThreadId id) {
    std::lock_guard lock(mutex_);
    auto it = queues_.find(id);
    return it == queues_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<ThreadId, std::shared_ptr<MessageQueue>> queues_;
  ThreadId next_ = 0;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: threads may post during exit
  return *r;
}

thread_local MessageQueue* t_queue = nullptr;
thread_local ThreadId t_id = 0;

}  // namespace

bool MessageQueue::Post(ThreadMessage message) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    messages_.push_back(std::move(message));
  }
  cv_.notify_all();
  std::lock_guard lock(watchers_mutex_);
  for (Watcher* w : watchers_) w->OnPost();
  return true;
}

bool MessageQueue::Peek(ThreadMessage& out) {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return false;
  out = std::move(messages_.front());
  messages_.pop_front();
  return true;
}

bool MessageQueue::Get(ThreadMessage& out) {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return !messages_.empty() || closed_; });
  if (messages_.empty()) return false;
  out = std::move(messages_.front());
  messages_.pop_front();
  return true;
}

bool MessageQueue::GetFor(ThreadMessage& out, Milliseconds timeout) {
  if (timeout == kInfinite) return Get(out);
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return !messages_.empty() || closed_; }) ||
      messages_.empty()) {
    return false;
  }
  out = std::move(messages_.front());
  messages_.pop_front();
  return true;
}

bool MessageQueue::Contains(uint32_t id) const {
  std::lock_guard lock(mutex_);
  return std::any_of(messages_.begin(), messages_.end(),
                     [id](const ThreadMessage& m) { return m.id == id; });
}

size_t MessageQueue::Size() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

void MessageQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  cv_.notify_all();
}

void MessageQueue::DrainAndSignal() {
  std::deque<ThreadMessage> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(messages_);
  }
  for (auto& m : dropped) {
    if (m.reply) m.reply->Set();
  }
}

void MessageQueue::AddWatcher(Watcher* watcher) {
  std::lock_guard lock(watchers_mutex_);
  watchers_.push_back(watcher);
}

void MessageQueue::RemoveWatcher(Watcher* watcher) {
  std::lock_guard lock(watchers_mutex_);
  std::erase(watchers_, watcher);
}

bool PostThreadMessage(ThreadId thread, ThreadMessage message) {
  if (thread == 0) return false;
  auto queue = registry().Find(thread);
  return queue && queue->Post(std::move(message));
}

MessageQueue* CurrentQueue() {
  return t_queue;
}
ThreadId CurrentThreadId() {
  return t_id;
}

QueueScope::QueueScope() : queue_(std::make_shared<MessageQueue>()) {
  id_ = registry().Add(queue_);
  t_queue = queue_.get();
  t_id = id_;
}

QueueScope::~QueueScope() {
  registry().Remove(id_);
  queue_->Close();
  queue_->DrainAndSignal();
  t_queue = nullptr;
  t_id = 0;
}

struct Thread::EndState {
  std::mutex mutex;
  std::condition_variable cv;
  bool ended = false;
};

Thread::~Thread() {
  Join();
}

bool Thread::Start(std::function<void()> body) {
  if (Running()) return false;
  Join();
  auto queue = std::make_shared<MessageQueue>();
  ThreadId id = registry().Add(queue);
  auto end = std::make_shared<EndState>();
  try {
    thread_ = std::thread([queue, id, end, body = std::move(body)] {
      t_queue = queue.get();
      t_id = id;
      body();
      // The thread's end: no post is accepted from here on, and no sender waits for an answer
      // to a message that will never be handled.
      registry().Remove(id);
      queue->Close();
      queue->DrainAndSignal();
      t_queue = nullptr;
      t_id = 0;
      {
        std::lock_guard lock(end->mutex);
        end->ended = true;
      }
      end->cv.notify_all();
    });
  } catch (const std::system_error&) {
    registry().Remove(id);
    return false;
  }
  id_ = id;
  end_ = std::move(end);
  return true;
}

bool Thread::Running() const {
  if (!end_) return false;
  EndState* end = end_.get();
  std::lock_guard lock(end->mutex);
  return !end->ended;
}

bool Thread::WaitForEnd(Milliseconds timeout) {
  if (!end_) return true;
  EndState* end = end_.get();
  std::unique_lock lock(end->mutex);
  if (timeout == kInfinite) {
    end->cv.wait(lock, [end] { return end->ended; });
    return true;
  }
  return end->cv.wait_for(lock, timeout, [end] { return end->ended; });
}

void Thread::Join() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // a body that ends its own Thread object cannot wait for itself
    } else {
      thread_.join();
    }
  }
  end_.reset();
  id_ = 0;
}

void Thread::Detach() {
  if (thread_.joinable()) thread_.detach();
  end_.reset();
  id_ = 0;
}

}  // namespace platform
