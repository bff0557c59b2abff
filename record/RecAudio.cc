#include "record/RecAudio.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "media/MMException.h"

namespace record {

namespace {

using platform::MMResult;

// Commands from the main thread to the recorder thread, numbered apart from the device's notices.
constexpr uint32_t kCmdStart = 0x7E01;
constexpr uint32_t kCmdStop = 0x7E02;
constexpr uint32_t kCmdQuit = 0x7E03;

constexpr uint64_t kMegabyte = 1048576;

// Posts a command to the recorder thread and waits for its answer. False when the thread is
// gone; the command is then untouched.
bool Send(platform::ThreadId thread, uint32_t id, void* command) {
  auto reply = std::make_shared<platform::Event>();
  if (!platform::PostThreadMessage(thread, {id, reply, 0, command})) return false;
  reply->Wait();
  return true;
}

bool UsableFormat(const RecordingSettings& s) {
  return (s.Channels == 1 || s.Channels == 2) && (s.BitsPerSample == 8 || s.BitsPerSample == 16) &&
         s.Rate > 0 && s.Rate <= 192000;
}

}  // namespace

std::string WorkFilePath(const std::string& work_dir) {
  if (!work_dir.empty() && work_dir.back() == '/') return work_dir + kWorkFileName;
  return work_dir + "/" + kWorkFileName;
}

// Everything of a recording, owned by the recorder thread alone (it lives on that thread's
// stack). The buffers are declared before the device so that, should the session be destroyed
// with a device still open, the device and its thread go first.
struct RecAudio::Session {
  struct Buffer {
    platform::WaveHeader header;
    std::vector<uint8_t> data;
  };

  Buffer* Find(const void* header) {
    for (auto& b : buffers) {
      if (b && &b->header == header) return b.get();
    }
    return nullptr;
  }

  std::unique_ptr<Buffer> buffers[2];
  std::unique_ptr<platform::WaveInDevice> device;
  uint32_t serial = 0;  // of the open device's notices; 0 while none is open
  platform::WaveFormat format;
  WorkFile file;
  std::string work_dir;
  int32_t free_space_mb = 0;
  uint64_t max_data_bytes = kMaxWavDataBytes;
  bool recording = false;
  // The device's loss has been reported to the owner (its message says all there is to say).
  bool loss_reported = false;
  // Set once the recording had to end (space, a write error, the size limit): from then on
  // nothing more is written or handed back to the device, and the owner is not asked again.
  bool stop_requested = false;
};

struct RecAudio::StartCommand {
  enum class Result { kNotHandled, kStarted, kDeviceFailed, kFileFailed, kStartFailed };
  RecordingSettings settings;
  std::string path;
  uint64_t max_data_bytes = kMaxWavDataBytes;
  Result result = Result::kNotHandled;
};

struct RecAudio::StopCommand {
  MMResult reset = MMResult::kNoError;
};

RecAudio::RecAudio(platform::AudioBackend& backend, RecorderOwner& owner, FreeSpaceQuery free_space)
    : backend_(backend), owner_(owner), free_space_(std::move(free_space)) {
  // Should the system refuse a thread, every start fails with the device message.
  thread_.Start([this] { Execute(); });
}

RecAudio::~RecAudio() {
  Shutdown();
}

bool RecAudio::CheckFreeSpace(const RecordingSettings& settings) {
  const auto free = free_space_(settings.WorkDir);
  if (!free) {
    owner_.ShowRecorderMessage(kMsgFreeSpaceUnknown, MessageStyle::kSystemModal);
    return false;
  }
  if (*free / kMegabyte < static_cast<uint64_t>(std::max(settings.FreeSpace, 0))) {
    owner_.ShowRecorderMessage(kMsgLowFreeSpace, MessageStyle::kSystemModal);
    return false;
  }
  return true;
}

bool RecAudio::StartRecording(const RecordingSettings& settings) {
  std::error_code ec;
  if (settings.WorkDir.empty() || !std::filesystem::is_directory(settings.WorkDir, ec)) {
    owner_.ShowRecorderMessage(kMsgNoWorkDir, MessageStyle::kApplication);
    return false;
  }
  if (!CheckFreeSpace(settings)) return false;
  work_file_ = WorkFilePath(settings.WorkDir);

  StartCommand command;
  command.settings = settings;
  command.path = work_file_;
  command.max_data_bytes = max_data_bytes_;
  Send(thread_.id(), kCmdStart, &command);
  using Result = StartCommand::Result;
  if (command.result == Result::kStarted) {
    recording_ = 1;
    return true;
  }
  // A recording that was running has been finished by the attempt.
  if (command.result != Result::kNotHandled) recording_ = 0;
  const char* text = command.result == Result::kFileFailed    ? kMsgWorkFileFailed
                     : command.result == Result::kStartFailed ? kMsgStartFailed
                                                              : kMsgDeviceOpenFailed;
  owner_.ShowRecorderMessage(text, MessageStyle::kSystemModal);
  return false;
}

void RecAudio::StopRecording() {
  if (!recording_) return;
  StopCommand command;
  Send(thread_.id(), kCmdStop, &command);
  recording_ = 0;
  if (command.reset != MMResult::kNoError) throw media::MMException(command.reset);
}

void RecAudio::Shutdown() {
  if (recording_) {
    try {
      StopRecording();
    } catch (const media::MMException&) {
      // The file is finished all the same; at exit there is no one left to tell.
    }
  }
  if (thread_.Running()) Send(thread_.id(), kCmdQuit, nullptr);
  thread_.Join();
}

// ---------------------------------------------------------------------------------------------
// The recorder thread

void RecAudio::Execute() {
  Session session;
  platform::MessageQueue* queue = platform::CurrentQueue();
  platform::ThreadMessage m;
  while (queue->Get(m)) {
    bool quit = false;
    switch (m.id) {
      case platform::kMsgWaveInData:
        OnBufferFilled(session, m, false);
        break;
      case platform::kMsgWaveInLost:
        // The buffers the device handed back came before this notice and are written already.
        if (session.recording && static_cast<uint32_t>(m.param) == session.serial &&
            !session.stop_requested) {
          session.loss_reported = true;
          RequestStop(session, kMsgDeviceLost);
        }
        break;
      case kCmdStart:
        DoStart(session, *static_cast<StartCommand*>(m.ptr));
        break;
      case kCmdStop:
        DoStop(session, *static_cast<StopCommand*>(m.ptr));
        break;
      case kCmdQuit: {
        StopCommand ignored;
        DoStop(session, ignored);
        quit = true;
        break;
      }
      default:  // the device's open and close notices
        break;
    }
    if (m.reply) m.reply->Set();
    if (quit) return;
  }
}

void RecAudio::DoStart(Session& s, StartCommand& c) {
  using Result = StartCommand::Result;
  if (s.recording) {
    StopCommand ignored;
    DoStop(s, ignored);
  }
  recorded_bytes_ = 0;
  if (!OpenDevice(s, c.settings)) {
    c.result = Result::kDeviceFailed;
    return;
  }
  if (!CreateWorkFile(s, c.path)) {
    CloseDevice(s);
    c.result = Result::kFileFailed;
    return;
  }
  if (s.device->Start() != MMResult::kNoError) {
    FinishWorkFile(s);
    CloseDevice(s);
    c.result = Result::kStartFailed;
    return;
  }
  s.work_dir = c.settings.WorkDir;
  s.free_space_mb = std::max(c.settings.FreeSpace, 0);
  s.max_data_bytes = c.max_data_bytes;
  s.recording = true;
  s.stop_requested = false;
  s.loss_reported = false;
  c.result = Result::kStarted;
}

// Opens the device for the recorder's own thread and queues its two one-second buffers. On
// failure nothing stays open.
bool RecAudio::OpenDevice(Session& s, const RecordingSettings& in) {
  CloseDevice(s);
  if (!UsableFormat(in)) return false;
  s.format =
      platform::MakePcmFormat(static_cast<uint16_t>(in.Channels), static_cast<uint32_t>(in.Rate),
                              static_cast<uint16_t>(in.BitsPerSample));
  s.device = backend_.CreateWaveIn();
  if (!s.device || s.device->Open(in.PreferredDeviceID, s.format, platform::CurrentThreadId()) !=
                       MMResult::kNoError) {
    CloseDevice(s);
    return false;
  }
  s.serial = s.device->OpenSerial();
  const uint32_t size = s.format.avg_bytes_per_sec;
  for (auto& b : s.buffers) {
    b = std::make_unique<Session::Buffer>();
    b->data.resize(size);
    b->header.data = b->data.data();
    b->header.buffer_length = size;
    if (s.device->Prepare(b->header) != MMResult::kNoError ||
        s.device->AddBuffer(b->header) != MMResult::kNoError) {
      CloseDevice(s);
      return false;
    }
  }
  return true;
}

bool RecAudio::CreateWorkFile(Session& s, const std::string& path) {
  FileError error;
  return s.file.Create(path, s.format, error);
}

void RecAudio::FinishWorkFile(Session& s) {
  // A failing flush cannot be helped here: the sizes were written with every buffer.
  FileError ignored;
  s.file.Finish(ignored);
}

// The device object is destroyed before the buffers are freed even when its reset or close
// failed: its destruction ends its thread, after which nothing can write into them any more.
// Buffers it hands back here arrive as notices of a closed device and are ignored.
void RecAudio::CloseDevice(Session& s) {
  if (s.device) {
    if (s.device->IsOpen()) {
      s.device->Reset();
      for (auto& b : s.buffers) {
        if (b) s.device->Unprepare(b->header);
      }
      s.device->Close();
    }
    s.device.reset();
  }
  for (auto& b : s.buffers) b.reset();
  s.serial = 0;
}

void RecAudio::DoStop(Session& s, StopCommand& c) {
  if (!s.recording) return;
  c.reset = s.device->Reset();
  if (c.reset == MMResult::kNoError) {
    // The device has posted every buffer it held, the partly filled one last, before Reset
    // returned: they are all in this thread's queue now. Whatever else is there waits its turn.
    platform::MessageQueue* queue = platform::CurrentQueue();
    std::vector<platform::ThreadMessage> later;
    platform::ThreadMessage m;
    while (queue->Peek(m)) {
      if (m.id == platform::kMsgWaveInData) {
        OnBufferFilled(s, m, true);
      } else if (m.id != platform::kMsgWaveInOpen && m.id != platform::kMsgWaveInClose) {
        later.push_back(std::move(m));
      }
    }
    for (auto& msg : later) queue->Post(std::move(msg));
  }
  // A device lost at the stop (a stalled server) keeps what it held; what was written stays.
  // A loss already reported needs no second message.
  if (c.reset == MMResult::kDeviceLost && s.loss_reported) c.reset = MMResult::kNoError;
  FinishWorkFile(s);
  s.recording = false;
  CloseDevice(s);
}

void RecAudio::RequestStop(Session& s, const std::string& message) {
  s.stop_requested = true;
  owner_.PostRecorderStop(message);
}

// `stopping`: called by the stop for the buffers the reset handed back; they are written but
// neither checked against the free space (the recording is ending anyway, and these are its last
// words) nor handed back to the device.
void RecAudio::OnBufferFilled(Session& s, const platform::ThreadMessage& m, bool stopping) {
  // A notice of a device that is closed by now (or of an earlier recording) names a buffer
  // that may be gone: it is not even looked at.
  if (!s.recording || !s.device || static_cast<uint32_t>(m.param) != s.serial) return;
  Session::Buffer* b = s.Find(m.ptr);
  if (!b || s.stop_requested) return;
  platform::WaveHeader& h = b->header;
  const uint32_t align = s.format.block_align;
  uint64_t bytes = std::min(h.bytes_recorded, h.buffer_length) / align * align;

  if (!stopping) {
    const auto free = free_space_(s.work_dir);
    if (!free) {
      RequestStop(s, kMsgFreeSpaceUnknown);
      return;
    }
    if (*free / kMegabyte < static_cast<uint64_t>(s.free_space_mb)) {
      RequestStop(s, kMsgLowFreeSpace);
      return;
    }
  }

  const uint64_t room = (s.max_data_bytes - s.file.DataBytes()) / align * align;
  const bool full = bytes > room;
  if (full) bytes = room;
  FileError error;
  const bool written = bytes == 0 || s.file.Append(h.data, bytes, error);
  if (!written || full) {
    recorded_bytes_ = s.file.DataBytes();
    if (stopping) {
      s.stop_requested = true;
    } else {
      RequestStop(s, written ? std::string(kMsgFileFull)
                             : std::string(kMsgWriteFailed) + "\n\n" + error.Describe());
    }
    return;
  }
  if (!stopping) {
    // Failures here are not fatal: the other buffer keeps the recording going, and should both
    // be refused the recording simply holds what came before.
    s.device->Prepare(h);
    s.device->AddBuffer(h);
  }
  // Published after the hand-back: whoever reads the count knows the buffer is queued again.
  recorded_bytes_ = s.file.DataBytes();
}

}  // namespace record
