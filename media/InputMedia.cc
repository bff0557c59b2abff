#include "media/InputMedia.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace media {

namespace {

// Below this many queued blocks the reader skips its idle sleep: at the fast speeds a block
// plays in less time than the sleep lasts.
constexpr int32_t kIdleSleepQueueFloor = 16;

// How long the end of the reader waits between looks at the queue while the last audio plays.
constexpr platform::Milliseconds kDrainPoll{5};

}  // namespace

InputMedia::InputMedia() = default;

InputMedia::~InputMedia() {
  StopReader();
  CloseFile();
}

int32_t InputMedia::GetPosition() const {
  if (sample_rate_ <= 0) return 0;
  std::lock_guard lock(position_mutex_);
  const uint64_t played = output_ ? output_->GetPosition() : 0;
  const int64_t samples = static_cast<int64_t>(played) + start_sample_.load();
  return static_cast<int32_t>(samples / sample_rate_);
}

void InputMedia::RequestStop() {
  {
    std::lock_guard lock(thread_mutex_);
    platform::PostThreadMessage(thread_id_, {CMD_STOP, nullptr, 0, nullptr});
  }
  wake_.Set();
  // From inside the notification callback the reader is already past its loop; waiting for it
  // there would wait for ourselves.
  if (reader_platform_id_ != 0 && platform::CurrentThreadId() == reader_platform_id_) return;
  // A reader that took the stop ends promptly: a Write waiting for a free header gives up when
  // the stop arrives, and a paused reader is waiting for messages. One that is ending by itself
  // is letting its last block play out. Either way nothing may reuse the input or the output
  // before it is gone.
  std::lock_guard lock(join_mutex_);
  reader_.Join();
  reader_platform_id_ = 0;
}

void InputMedia::StopReader() {
  RequestStop();
}

void InputMedia::RequestPause() {
  Exchange(CMD_PAUSE, 0);
}
void InputMedia::RequestResume() {
  Exchange(CMD_RESUME, 0);
}
void InputMedia::RequestSeek(int32_t seconds) {
  Exchange(CMD_SEEK, SecondsToSamples(seconds));
}

void InputMedia::Exchange(uint32_t command, int64_t param) {
  auto answer = std::make_shared<platform::Event>();
  bool posted;
  {
    std::lock_guard lock(thread_mutex_);
    posted = platform::PostThreadMessage(thread_id_, {command, answer, param, nullptr});
  }
  if (posted) wake_.Set();
  // The reader answers after handling the message; asked from the reader itself (the
  // notification callback) the answer would come only after this wait.
  if (posted && platform::CurrentThreadId() != reader_platform_id_) {
    answer->Wait(kCommandTimeout);
  }
}

void InputMedia::SetOutput(OutputMedia* output) {
  output_ = output;
  if (output_) output_->SetLostNotice([this] { PostDeviceLost(); });
}

void InputMedia::PostDeviceLost() {
  {
    std::lock_guard lock(thread_mutex_);
    platform::PostThreadMessage(thread_id_, {CMD_DEVICE_LOST, nullptr, 0, nullptr});
  }
  wake_.Set();
}

void InputMedia::SetNotify(NotifyCallback notify, void* owner) {
  notify_ = std::move(notify);
  owner_ = owner;
}

platform::ThreadId InputMedia::ReaderThreadId() const {
  std::lock_guard lock(thread_mutex_);
  return thread_id_;
}

std::string InputMedia::LastReaderError() const {
  std::lock_guard lock(error_mutex_);
  return reader_error_;
}

// ---------------------------------------------------------------------------------------------
// File access

void InputMedia::OpenFile(const std::string& path) {
  CloseFile();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    std::string reason;
    switch (error) {
      case ENOENT:
        reason = "ファイルが見つかりません";
        break;
      case EACCES:
      case EPERM:
        reason = "読み取りの権限がありません";
        break;
      case EISDIR:
        reason = "フォルダです";
        break;
      case EMFILE:
      case ENFILE:
        reason = "開いているファイルが多すぎます";
        break;
      default:
        reason = std::strerror(error);
        break;
    }
    throw MediaError("ファイルを開けません: " + path + "（" + reason + "）");
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw MediaError("ファイルではありません: " + path);
  }
  file_ = fd;
}

int InputMedia::CloseFile() {
  const int fd = file_.exchange(-1);
  if (fd < 0) return -1;
  return ::close(fd);
}

bool InputMedia::SeekFile(int64_t offset) {
  const int fd = file_.load();
  return fd >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

int64_t InputMedia::FileSize() const {
  struct stat st {};
  const int fd = file_.load();
  if (fd < 0 || ::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

uint32_t InputMedia::ReadFile(void* into, uint32_t n) {
  const int fd = file_.load();
  if (fd < 0) return 0;
  auto* p = static_cast<uint8_t*>(into);
  uint32_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd, p + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<uint32_t>(r);
  }
  return done;
}

// ---------------------------------------------------------------------------------------------
// Position

void InputMedia::ResetOutputAt(int64_t sample_index) {
  std::lock_guard lock(position_mutex_);
  if (output_) output_->Reset();
  start_sample_ = sample_index;
}

void InputMedia::SetStartSample(int64_t sample_index) {
  std::lock_guard lock(position_mutex_);
  start_sample_ = sample_index;
}

// ---------------------------------------------------------------------------------------------
// The reader thread

void InputMedia::StartReader() {
  state_ = kStatePlaying;
  bool started;
  {
    // Held until the id is stored, so that a reader ending at once cannot clear it first.
    std::lock_guard join_lock(join_mutex_);
    std::lock_guard lock(thread_mutex_);
    started = reader_.Start([this] { ReaderMain(); });
    thread_id_ = started ? reader_.id() : 0;
    reader_platform_id_ = thread_id_;
  }
  if (!started) {
    state_ = kStateStopped;
    if (output_) output_->Close();
    throw MediaError("再生スレッドを作成できません。");
  }
}

void InputMedia::RecordError(const std::exception& e) {
  std::lock_guard lock(error_mutex_);
  reader_error_ = e.what();
}

void InputMedia::ReaderMain() {
  {
    std::lock_guard lock(error_mutex_);
    reader_error_.clear();
  }
  for (;;) {
    try {
      Run();
    } catch (const std::exception& e) {
      // A device error on the reader (pause, restart, reset) ends playback: the device is left
      // closed and the window hears of the end like any other.
      RecordError(e);
      HandleStop(true);
      state_ = kStatePlaying;  // so that EndOfReader reports the end
      break;
    }
    if (!DrainTail()) break;
  }
  EndOfReader();
}

bool InputMedia::DrainTail() {
  // The last blocks play out while commands are still served, so a stop, pause or seek during
  // the tail takes effect at once.
  if (!ServesCommandsWhileDraining() || !output_) return false;
  platform::MessageQueue* queue = platform::CurrentQueue();
  uint64_t seeks = seeks_handled_;
  try {
    while (state_ != kStateStopped) {
      platform::ThreadMessage message;
      if (state_ == kStatePaused) {
        if (queue->Get(message)) Dispatch(message);
      } else if (queue->Peek(message)) {
        Dispatch(message);
      } else if (output_->QueuedBlocks() > 0) {
        std::this_thread::sleep_for(kDrainPoll);
      } else {
        break;
      }
      if (seeks_handled_ != seeks) {
        seeks = seeks_handled_;
        if (state_ != kStateStopped && ContinueAfterSeek()) return true;
      }
    }
  } catch (const std::exception& e) {
    RecordError(e);
    HandleStop(true);
    state_ = kStatePlaying;
  }
  return false;
}

void InputMedia::EndOfReader() {
  platform::MessageQueue* queue = platform::CurrentQueue();
  {
    std::lock_guard lock(thread_mutex_);
    thread_id_ = 0;  // from here on no command can be posted to this reader
  }
  // Whatever was posted before that is thrown away with its answer given; a stop among it still
  // counts as a stop, so that a stop is never followed by an end notice.
  bool stop_requested = false;
  platform::ThreadMessage message;
  while (queue->Peek(message)) {
    if (message.id == CMD_STOP) stop_requested = true;
    if (message.reply) message.reply->Set();
  }
  if (stop_requested && state_ != kStateStopped) HandleStop(true);
  if (state_ != kStateStopped) {
    try {
      if (output_) output_->Close();  // without Reset: the tail is heard to the end
    } catch (const std::exception& e) {
      RecordError(e);
    }
    state_ = kStateStopped;
    // A lost device ended playback, not the data: the window says so instead of showing the end.
    Notify(output_ && output_->DeviceLost() ? NOTIFY_DEVICE_LOST : NOTIFY_END);
  }
  queue->DrainAndSignal();
}

void InputMedia::HandleStop(bool reset) {
  // Used on the way out after an error too, so a failing device call must not stop the rest.
  if (output_) {
    if (reset) {
      try {
        output_->Reset();
      } catch (const std::exception&) {
      }
    }
    try {
      output_->Close();
    } catch (const std::exception&) {
    }
  }
  state_ = kStateStopped;
}

bool InputMedia::ServeCommands() {
  platform::MessageQueue* queue = platform::CurrentQueue();
  platform::ThreadMessage message;
  if (queue->Peek(message)) Dispatch(message);
  while (state_ == kStatePaused) {
    if (!queue->Get(message)) break;
    Dispatch(message);
  }
  return state_ != kStateStopped;
}

void InputMedia::Dispatch(const platform::ThreadMessage& message) {
  // The sender's answer is given however the command ends, an exception included.
  struct Answer {
    ~Answer() {
      if (event) event->Set();
    }
    platform::Event* event;
  } answer{message.reply.get()};

  switch (message.id) {
    case CMD_STOP:
      HandleStop(true);
      break;
    case CMD_PAUSE:
      if (state_ == kStatePlaying && output_) output_->Pause();
      if (state_ != kStateStopped) {
        state_ = kStatePaused;
        Notify(NOTIFY_PAUSED);
      }
      break;
    case CMD_RESUME:
      if (state_ == kStatePaused && output_) output_->Restart();
      if (state_ != kStateStopped) state_ = kStatePlaying;
      break;
    case CMD_SEEK:
      Seek(message.param);
      ++seeks_handled_;
      break;
    case CMD_DEVICE_LOST:
      // A paused reader writes nothing, so no failed write would end it: the loss ends playback
      // here, as a failed write does, and the window hears of it like that.
      if (state_ != kStateStopped) throw MMException(platform::MMResult::kDeviceLost);
      break;
    default:
      break;
  }
}

void InputMedia::Notify(int32_t code) {
  if (!notify_) return;
  try {
    notify_(code);
  } catch (...) {
    // The window's handler failing must not take the reader thread down with it.
  }
}

void InputMedia::IdleSleep() {
  if (idle_sleep_ms_ <= 0 || !output_ || output_->QueuedBlocks() < kIdleSleepQueueFloor) return;
  wake_.Wait(platform::Milliseconds(idle_sleep_ms_));
}

}  // namespace media
