// The recorder on the virtual sound card, mostly driven by its manual clock: what reaches the
// work file, when, and what happens when the disk, the file or the device fails.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cmath>

#include "media/InputWav.h"
#include "media/MMException.h"
#include "media/OutputAudio.h"
#include "platform/virtual_audio.h"
#include "tests/record/recorder_rig.h"

namespace record {
namespace {

using namespace record_test;
using media_test::ReadAll;
using platform::MMResult;
using platform::WaveHeader;

struct Format {
  int channels, rate, bits;
  uint32_t Align() const { return static_cast<uint32_t>(channels * bits / 8); }
  uint32_t Second() const { return static_cast<uint32_t>(rate) * Align(); }
};
void PrintTo(const Format& f, std::ostream* os) {
  *os << f.channels << " ch " << f.bits << " bit " << f.rate << " Hz";
}

// Faults a test switches on in the devices made by FaultyBackend.
struct Faults {
  std::atomic<bool> open{false}, add{false}, start{false}, reset{false};
  std::atomic<int> open_devices{0};
  std::atomic<WaveHeader*> first_added{nullptr};  // the first buffer the last device was given
};

class FaultyWaveIn final : public platform::WaveInDevice {
 public:
  FaultyWaveIn(std::unique_ptr<WaveInDevice> inner, Faults& f) : in_(std::move(inner)), f_(f) {}
  ~FaultyWaveIn() override {
    if (in_->IsOpen()) --f_.open_devices;  // the inner device closes itself
  }
  MMResult Open(int device, const platform::WaveFormat& format, platform::ThreadId t) override {
    if (f_.open) return MMResult::kNoDriver;
    const MMResult r = in_->Open(device, format, t);
    if (r == MMResult::kNoError) ++f_.open_devices;
    return r;
  }
  MMResult Close() override {
    const MMResult r = in_->Close();
    if (r == MMResult::kNoError) --f_.open_devices;
    return r;
  }
  bool IsOpen() const override { return in_->IsOpen(); }
  uint32_t OpenSerial() const override { return in_->OpenSerial(); }
  MMResult Prepare(WaveHeader& h) override { return in_->Prepare(h); }
  MMResult Unprepare(WaveHeader& h) override { return in_->Unprepare(h); }
  MMResult AddBuffer(WaveHeader& h) override {
    if (f_.add) return MMResult::kNoMem;
    if (!given_) f_.first_added = &h;
    given_ = true;
    return in_->AddBuffer(h);
  }
  MMResult Start() override { return f_.start ? MMResult::kError : in_->Start(); }
  MMResult Reset() override { return f_.reset ? MMResult::kError : in_->Reset(); }

 private:
  std::unique_ptr<WaveInDevice> in_;
  Faults& f_;
  bool given_ = false;
};

// The manually clocked virtual card, its wave-in devices wrapped so that faults can be switched on.
class FaultyCard final : public platform::VirtualAudioBackend {
 public:
  FaultyCard() : VirtualAudioBackend({platform::Pacing::kManual, 1.0}) {}
  std::unique_ptr<platform::WaveInDevice> CreateWaveIn() override {
    return std::make_unique<FaultyWaveIn>(VirtualAudioBackend::CreateWaveIn(), faults);
  }
  Faults faults;
};

// A recorder on a manually clocked card that records a source of known samples (different in
// every frame, so a lost, doubled or shifted stretch shows).
class Rig {
 public:
  explicit Rig(Format f, int source_seconds = 5) : f_(f) {
    const auto pattern = media_test::Pattern(static_cast<size_t>(source_seconds) * f.Second(), 7);
    media_test::TempFile source(
        media_test::WavBuilder().Fmt(f.channels, f.rate, f.bits).Data(pattern).Bytes());
    EXPECT_TRUE(card.SetWaveInSource(source.path()));
    // The card turns each sample into -1..1 and back at full scale 32767 (127 for 8 bits).
    for (size_t i = 0; i < pattern.size(); i += f.bits / 8) {
      if (f.bits == 8) {
        expected.push_back(
            static_cast<uint8_t>(std::lround((pattern[i] - 128) / 128.0 * 127.0) + 128));
      } else {
        const auto v = static_cast<int16_t>(pattern[i] | pattern[i + 1] << 8);
        const auto r = static_cast<uint16_t>(std::lround(v / 32768.0 * 32767.0));
        expected.push_back(static_cast<uint8_t>(r));
        expected.push_back(static_cast<uint8_t>(r >> 8));
      }
    }
  }
  RecordingSettings Settings() const {
    RecordingSettings s;
    s.Channels = f_.channels;
    s.Rate = f_.rate;
    s.BitsPerSample = f_.bits;
    s.WorkDir = dir.path();
    return s;
  }
  // The card records one second; then waits until the recorder has written it.
  void Second() {
    card.Advance(static_cast<uint64_t>(f_.rate));
    written_ += f_.Second();
    ASSERT_TRUE(WaitForBytes(rec, written_)) << "wrote " << rec.RecordedBytes();
  }
  // The canonical file of the first `bytes` bytes of the source, made without the recorder (an
  // odd count, a second of 11025 Hz 8-bit mono, has no pad byte: the data chunk ends the file).
  std::vector<uint8_t> File(size_t bytes) const {
    return media_test::WavBuilder()
        .Fmt(f_.channels, f_.rate, f_.bits)
        .Chunk("data", {expected.begin(), expected.begin() + static_cast<ptrdiff_t>(bytes)}, false)
        .Bytes();
  }
  std::vector<uint8_t> OnDisk() const { return ReadAll(rec.GetWorkFileName()); }
  void Restart() { written_ = 0; }

  Format f_;
  TempDir dir;
  FaultyCard card;
  Owner owner;
  Disk disk;
  RecAudio rec{card, owner, disk.Query()};
  std::vector<uint8_t> expected;

 private:
  uint64_t written_ = 0;
};

// Three and a bit seconds in every format the options offer: after every second the file on
// disk is already a complete WAV file of what was recorded, and the stop adds the partly filled
// last buffer.
class FormatTest : public ::testing::TestWithParam<Format> {};

TEST_P(FormatTest, RecordsEverySecondAndThePartialLastOne) {
  const Format f = GetParam();
  Rig rig(f);
  ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
  EXPECT_EQ(rig.rec.IsRecording(), 1);
  EXPECT_EQ(rig.rec.GetWorkFileName(), rig.dir.path() + "/VerbatWav.wav");
  EXPECT_EQ(rig.OnDisk(), rig.File(0)) << "not a valid empty WAV file from the start";
  for (size_t s = 1; s <= 3; ++s) {
    ASSERT_NO_FATAL_FAILURE(rig.Second());
    ASSERT_EQ(rig.OnDisk(), rig.File(s * f.Second())) << "after second " << s;
  }
  const uint64_t tail = (f.rate * 3 / 5) & ~1;  // 0.6 s in an even number of frames
  rig.card.Advance(tail);
  rig.rec.StopRecording();
  EXPECT_EQ(rig.rec.IsRecording(), 0);
  EXPECT_EQ(rig.OnDisk(), rig.File(3 * f.Second() + tail * f.Align()));
  EXPECT_TRUE(rig.owner.shown.empty());
  EXPECT_TRUE(rig.owner.Stops().empty());
  EXPECT_EQ(rig.card.faults.open_devices, 0);
}

std::vector<Format> AllFormats() {
  std::vector<Format> v;
  for (int channels : {1, 2})
    for (int bits : {8, 16})
      for (int rate : {8000, 11025, 22050, 44100}) v.push_back({channels, rate, bits});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Options, FormatTest, testing::ValuesIn(AllFormats()),
                         [](const testing::TestParamInfo<Format>& p) {
                           const Format& f = p.param;
                           return std::to_string(f.channels) + "ch_" + std::to_string(f.bits) +
                                  "bit_" + std::to_string(f.rate);
                         });

const Format kCd22{2, 22050, 16};

// Ends within the first second, by a stop or by the recorder's destruction at program exit:
// the file holds exactly what was recorded (nothing at all is a 44-byte file).
TEST(RecorderStop, EarlyStopsAndExitLeaveAFinishedFile) {
  struct Case {
    uint64_t frames;
    bool by_destruction;
  };
  for (const Case c : {Case{0, false}, Case{6614, false}, Case{6614, true}, Case{0, true}}) {
    SCOPED_TRACE(testing::Message() << c.frames << " frames, destruction " << c.by_destruction);
    Rig rig(kCd22);
    auto rec = std::make_unique<RecAudio>(rig.card, rig.owner, rig.disk.Query());
    ASSERT_TRUE(rec->StartRecording(rig.Settings()));
    rig.card.Advance(c.frames);
    const std::string path = rec->GetWorkFileName();
    if (c.by_destruction) {
      rec.reset();
    } else {
      rec->StopRecording();
    }
    EXPECT_EQ(ReadAll(path), rig.File(c.frames * 4));
    EXPECT_EQ(rig.card.faults.open_devices, 0);
  }
}

// The free-space guard, at the start and before each buffer: FreeSpace 0 never stops for want
// of space, 50 MB lets 50.9 MB go on and stops at 49.99 MB, and a failing query stops. A stop
// is asked for once; the buffer at hand and everything after it stay out of the file.
TEST(RecorderStop, FreeSpaceGuard) {
  constexpr int64_t kMB = 1048576;
  struct Case {
    int32_t limit_mb;
    int64_t free;
    const char* message;  // null: recording goes on
  };
  const Case cases[] = {{0, 0, nullptr},
                        {50, kMB * 509 / 10, nullptr},
                        {50, kMB * 4999 / 100, kMsgLowFreeSpace},
                        {0, -1, kMsgFreeSpaceUnknown}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.limit_mb << " MB, free " << c.free);
    Rig rig(kCd22);
    RecordingSettings settings = rig.Settings();
    settings.FreeSpace = c.limit_mb;
    rig.disk.free = c.free;
    EXPECT_EQ(rig.rec.StartRecording(settings), c.message == nullptr);
    if (c.message) {
      EXPECT_EQ(rig.owner.shown, std::vector<std::string>{c.message});
      EXPECT_EQ(rig.owner.styles.back(), MessageStyle::kSystemModal);
      EXPECT_EQ(rig.rec.IsRecording(), 0);
      rig.disk.free = int64_t{1} << 40;
      ASSERT_TRUE(rig.rec.StartRecording(settings));
    }
    ASSERT_NO_FATAL_FAILURE(rig.Second());
    rig.disk.free = c.free;
    if (c.message) {
      rig.card.Advance(22050);
      EXPECT_EQ(rig.owner.Stops(1), std::vector<std::string>{c.message});
      rig.card.Advance(22050);  // the other buffer comes back after the request: not written
      rig.card.Advance(11025);
    } else {
      ASSERT_NO_FATAL_FAILURE(rig.Second());
    }
    rig.rec.StopRecording();
    EXPECT_EQ(rig.OnDisk(), rig.File((c.message ? 1 : 2) * kCd22.Second()));
    EXPECT_EQ(rig.owner.Stops().size(), c.message ? 1u : 0u);
  }
}

// A write the system refuses (here a file-size limit) and the size a WAV file can describe both
// end the recording with its own message; whatever frames fitted are kept and described.
TEST(RecorderStop, WriteFailureAndSizeLimitKeepWhatFitted) {
  const uint64_t limit = kCd22.Second() * 3 / 2;
  for (bool by_system : {true, false}) {
    SCOPED_TRACE(by_system ? "file size limit" : "WAV size limit");
    Rig rig(kCd22);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    if (by_system) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit small{44 + limit, old.rlim_max};
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    } else {
      rig.rec.SetMaxDataBytes(limit);
    }
    ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
    ASSERT_NO_FATAL_FAILURE(rig.Second());
    rig.card.Advance(22050);
    const auto stops = rig.owner.Stops(1);
    rig.rec.StopRecording();
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_EQ(stops.size(), 1u);
    if (by_system) {
      EXPECT_EQ(stops[0].rfind(kMsgWriteFailed, 0), 0u) << stops[0];
      EXPECT_NE(stops[0].find("VerbatWav.wav: File too large"), std::string::npos) << stops[0];
    } else {
      EXPECT_EQ(stops[0], kMsgFileFull);
    }
    EXPECT_EQ(rig.OnDisk(), rig.File(limit));
  }
}

// Every way a start can fail shows its message (the work-folder one in the application's
// dialog, the rest system-modal), records nothing, leaves no device open, and the next start
// works.
TEST(RecorderStart, FailuresShowTheirMessageAndLeaveNothingOpen) {
  enum Fault { kNoDir, kOpen, kAdd, kBadDevice, kBadFormat, kFileIsAFolder, kStart };
  struct Case {
    Fault fault;
    const char* message;
  };
  const Case cases[] = {{kNoDir, kMsgNoWorkDir},
                        {kOpen, kMsgDeviceOpenFailed},
                        {kAdd, kMsgDeviceOpenFailed},
                        {kBadDevice, kMsgDeviceOpenFailed},
                        {kBadFormat, kMsgDeviceOpenFailed},
                        {kFileIsAFolder, kMsgWorkFileFailed},
                        {kStart, kMsgStartFailed}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Rig rig(kCd22);
    RecordingSettings s = rig.Settings();
    Faults& f = rig.card.faults;
    const std::string work = rig.dir.path() + "/VerbatWav.wav";
    switch (c.fault) {
      case kNoDir:
        s.WorkDir += "/missing";
        break;
      case kOpen:
        f.open = true;
        break;
      case kAdd:
        f.add = true;
        break;
      case kBadDevice:
        s.PreferredDeviceID = 3;
        break;
      case kBadFormat:
        s.Rate = 0;
        break;
      case kFileIsAFolder:
        std::filesystem::create_directory(work);
        break;
      case kStart:
        f.start = true;
        break;
    }
    EXPECT_FALSE(rig.rec.StartRecording(s));
    EXPECT_EQ(rig.owner.shown, std::vector<std::string>{c.message});
    EXPECT_EQ(rig.owner.styles.back(),
              c.fault == kNoDir ? MessageStyle::kApplication : MessageStyle::kSystemModal);
    EXPECT_EQ(rig.rec.IsRecording(), 0);
    EXPECT_EQ(f.open_devices, 0);
    if (c.fault == kStart) {
      EXPECT_EQ(ReadAll(work), rig.File(0)) << "not finished";
    }
    f.open = f.add = f.start = false;
    std::filesystem::remove(work);
    ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
    ASSERT_NO_FATAL_FAILURE(rig.Second());
    rig.rec.StopRecording();
    EXPECT_EQ(rig.OnDisk(), rig.File(kCd22.Second()));
  }
}

// A device that cannot be reset: the file is finished with what was written, the error is
// raised after that, the device is closed and the next recording works.
TEST(RecorderStop, FailedResetFinishesTheFileThenRaises) {
  Rig rig(kCd22);
  ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
  ASSERT_NO_FATAL_FAILURE(rig.Second());
  rig.card.Advance(5000);
  rig.card.faults.reset = true;
  try {
    rig.rec.StopRecording();
    ADD_FAILURE() << "no exception";
  } catch (const media::MMException& e) {
    EXPECT_EQ(e.result(), MMResult::kError);
  }
  EXPECT_EQ(rig.rec.IsRecording(), 0);
  EXPECT_EQ(rig.OnDisk(), rig.File(kCd22.Second()));
  EXPECT_EQ(rig.card.faults.open_devices, 0);
  rig.card.faults.reset = false;
  rig.Restart();
  ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
  ASSERT_NO_FATAL_FAILURE(rig.Second());
  rig.rec.StopRecording();
  EXPECT_EQ(rig.OnDisk(), rig.File(kCd22.Second()));
}

// A second start while recording finishes the first recording and closes its device before
// opening again. Notices that do not belong to the current recording are ignored: one of the
// first device (serial 1) naming a buffer of the second recording, which is partly filled at
// the device, and one with the current serial naming a buffer that is not the recorder's own.
TEST(RecorderStart, SecondStartClosesTheFirstDeviceAndStaleNoticesAreIgnored) {
  Rig rig(kCd22);
  ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
  ASSERT_NO_FATAL_FAILURE(rig.Second());
  rig.Restart();
  ASSERT_TRUE(rig.rec.StartRecording(rig.Settings()));
  EXPECT_EQ(rig.card.faults.open_devices, 1);
  rig.card.Advance(1000);
  std::vector<uint8_t> junk(1000, 0x55);
  WaveHeader foreign;
  foreign.data = junk.data();
  foreign.buffer_length = foreign.bytes_recorded = 1000;
  const auto post = [&](int64_t serial, WaveHeader* h) {
    platform::PostThreadMessage(rig.rec.thread_id(),
                                {platform::kMsgWaveInData, nullptr, serial, h});
  };
  post(1, rig.card.faults.first_added);
  post(2, &foreign);
  rig.card.Advance(22050 - 1000);
  ASSERT_TRUE(WaitForBytes(rig.rec, kCd22.Second()));
  rig.rec.StopRecording();
  EXPECT_EQ(rig.OnDisk(), rig.File(kCd22.Second()));
  EXPECT_EQ(foreign.flags.load(), 0u) << "a foreign buffer was handed to the device";
}

// Stops racing the device: a card running 20 times faster than real time, stopped after random
// short spans. Every file is complete and consistent (and the thread sanitizer watches).
TEST(RecorderStop, StopsRacingTheDeviceLeaveConsistentFiles) {
  TempDir dir;
  platform::VirtualAudioBackend card({platform::Pacing::kRealTime, 20.0});
  Owner owner;
  Disk disk;
  RecAudio rec(card, owner, disk.Query());
  RecordingSettings s;
  s.WorkDir = dir.path();
  std::srand(7);
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(rec.StartRecording(s));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 150));
    rec.StopRecording();
    const auto file = ReadAll(rec.GetWorkFileName());
    ASSERT_GE(file.size(), 44u);
    EXPECT_EQ(DataSize(file), file.size() - 44);
    EXPECT_EQ(DataSize(file) % 4, 0u);
    EXPECT_EQ(rec.RecordedBytes(), DataSize(file));
  }
}

// A recording whose process is killed leaves a work file that the WAV input opens and plays to
// the last whole second written.
TEST(RecorderExit, KilledProcessLeavesAPlayableFile) {
  TempDir dir;
  const std::string path = dir.path() + "/VerbatWav.wav";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(RECORDER_CHILD, RECORDER_CHILD, dir.path().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const uint64_t second = kCd22.Second();
  const auto size_on_disk = [&] {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
  };
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (size_on_disk() < 44 + 5 * second / 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the recording child ended by itself: " << status;

  const auto file = ReadAll(path);
  const uint32_t size = DataSize(file);
  ASSERT_GE(size, 2 * second);
  EXPECT_EQ(size % second, 0u) << "not whole seconds";
  EXPECT_LE(size, file.size() - 44);

  platform::VirtualAudioBackend card({platform::Pacing::kAsFastAsPossible, 1.0});
  media::OutputAudio out(card);
  out.SetSpeedDivisor(8);
  media::InputWav wav;
  wav.SetOutput(&out);
  platform::Event ended;
  wav.SetNotify([&](int32_t code) {
    if (code == media::NOTIFY_END) ended.Set();
  });
  media::PlayListItem item(path);
  wav.Open(path, item);
  wav.Start(0);
  ASSERT_EQ(ended.Wait(10000ms), platform::WaitResult::kSignaled);
  wav.RequestStop();
  wav.Close();
  EXPECT_EQ(card.LastPlayback().played,
            std::vector<uint8_t>(file.begin() + 44, file.begin() + 44 + size));
}

TEST(RecorderPath, OneSeparatorBeforeTheFileName) {
  EXPECT_EQ(WorkFilePath("/"), "/VerbatWav.wav");
  EXPECT_EQ(WorkFilePath("/home/a/rec"), "/home/a/rec/VerbatWav.wav");
  EXPECT_EQ(WorkFilePath("/home/a/rec/"), "/home/a/rec/VerbatWav.wav");
}

}  // namespace
}  // namespace record
