// Hot key to playback: the real main window with the real keyboard-watch library, on a private
// X11 desktop, started and stopped by Ctrl+Space sent through XTEST while an xterm holds the
// focus. For every press, the time from the press to the moment at which
//   - the library posted its report (hotkey_probe, a pass-through KbdWatch.so),
//   - the window began to handle it (an event filter on the window),
//   - the output device was opened and the first block written to it (a backend that wraps the
//     program's own and notes the calls),
//   - with ALSA: the first sound the private sound server mixed arrived from its monitor;
// and for the stop press, the device reset and the silence in the mix. The same is done on the
// virtual sound card (real-time pacing) and through ALSA into the private sound server.
//
// Peers, in the ALSA phase, interleaved round by round with the program's presses:
//   - `aplay` of a tone in the same format, started at the moment of the "press" (no key; its
//     process start included): what starting a plain player costs on the same device;
//   - `xbindkeys` binding Ctrl+F12 to that `aplay`: a key press to sound through a common
//     hot-key daemon that starts a command.
//
//   hotkey_bench [--presses N] [--device virtual|alsa|both] [--csv FILE]
//
// Run it through scripts/hotkey-bench.sh, which provides the X11 desktop and the sound server.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/Application.h"
#include "app/U_Main.h"
#include "kbdwatch/KbdWatch.h"
#include "platform/audio_backend.h"
#include "tests/support/sound_server.h"
#include "ui/MessageBox.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// --- what the program did, and when ----------------------------------------------------------

enum Mark { kPosted, kHandled, kOpened, kFirstBlock, kReset, kClosed, kMarkCount };

// Moments noted by the library's thread, the main thread and the device threads, waited for by
// the bench's thread.
class Timeline {
 public:
  void Note(Mark mark) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> hold(lock_);
    marks_[mark].push_back(now);
    changed_.notify_all();
  }
  // The first `mark` at or after `since`, waiting at most `limit` for it.
  std::optional<Clock::time_point> WaitFor(Mark mark, Clock::time_point since,
                                           std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock_);
    std::optional<Clock::time_point> found;
    changed_.wait_for(hold, limit, [&] {
      for (const auto& t : marks_[mark]) {
        if (t >= since) {
          found = t;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& m : marks_) m.clear();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::array<std::vector<Clock::time_point>, kMarkCount> marks_;
};

Timeline g_timeline;

// The report of Ctrl+Space pressed (not released), as the library makes it.
bool IsPlayKeyPress(uintptr_t wparam, intptr_t lparam) {
  return wparam == ((uintptr_t{KBDWATCH_MOD_CTRL} << 16) | 0x20u) &&
         (static_cast<uint32_t>(lparam) & KBDWATCH_KEY_UP_FLAG) == 0;
}

void OnPosted(uintptr_t wparam, intptr_t lparam) {
  if (IsPlayKeyPress(wparam, lparam)) g_timeline.Note(kPosted);
}

// Sees the window's events just before the window does.
class HandledFilter : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == app::HookEvent::kType) {
      const auto* report = static_cast<const app::HookEvent*>(event);
      if (IsPlayKeyPress(report->wparam, report->lparam)) g_timeline.Note(kHandled);
    }
    return QObject::eventFilter(watched, event);
  }
};

// The program's own sound device, with its calls noted.
class TimedWaveOut : public platform::WaveOutDevice {
 public:
  explicit TimedWaveOut(std::unique_ptr<platform::WaveOutDevice> inner)
      : inner_(std::move(inner)) {}
  platform::MMResult Open(const platform::WaveFormat& format, DoneCallback done) override {
    written_.store(false);
    const platform::MMResult result = inner_->Open(format, std::move(done));
    if (result == platform::MMResult::kNoError) g_timeline.Note(kOpened);
    return result;
  }
  platform::MMResult Close() override {
    const platform::MMResult result = inner_->Close();
    if (result == platform::MMResult::kNoError) g_timeline.Note(kClosed);
    return result;
  }
  bool IsOpen() const override { return inner_->IsOpen(); }
  platform::MMResult Prepare(platform::WaveHeader& h) override { return inner_->Prepare(h); }
  platform::MMResult Unprepare(platform::WaveHeader& h) override { return inner_->Unprepare(h); }
  platform::MMResult Write(platform::WaveHeader& h) override {
    const platform::MMResult result = inner_->Write(h);
    if (result == platform::MMResult::kNoError && !written_.exchange(true)) {
      g_timeline.Note(kFirstBlock);
    }
    return result;
  }
  platform::MMResult Pause() override { return inner_->Pause(); }
  platform::MMResult Restart() override { return inner_->Restart(); }
  platform::MMResult Reset() override {
    const platform::MMResult result = inner_->Reset();
    g_timeline.Note(kReset);
    return result;
  }
  platform::MMResult GetPosition(uint64_t& frames) override { return inner_->GetPosition(frames); }
  platform::MMResult SetVolume(uint16_t left, uint16_t right) override {
    return inner_->SetVolume(left, right);
  }

 private:
  std::unique_ptr<platform::WaveOutDevice> inner_;
  std::atomic<bool> written_{false};  // the first block since Open was noted
};

class TimedBackend : public platform::AudioBackend {
 public:
  explicit TimedBackend(std::unique_ptr<platform::AudioBackend> inner) : inner_(std::move(inner)) {}
  std::string Name() const override { return inner_->Name(); }
  std::unique_ptr<platform::WaveOutDevice> CreateWaveOut() override {
    return std::make_unique<TimedWaveOut>(inner_->CreateWaveOut());
  }
  std::unique_ptr<platform::WaveInDevice> CreateWaveIn() override { return inner_->CreateWaveIn(); }
  std::vector<std::string> WaveInDeviceNames() override { return inner_->WaveInDeviceNames(); }
  void PlaySoundFile(const std::string& path) override { inner_->PlaySoundFile(path); }

 private:
  std::unique_ptr<platform::AudioBackend> inner_;
};

// --- keys through XTEST ----------------------------------------------------------------------

constexpr xcb_keysym_t kKeysymControlL = 0xffe3;
constexpr xcb_keysym_t kKeysymSpace = 0x0020;
constexpr xcb_keysym_t kKeysymF12 = 0xffc9;

class KeySender {
 public:
  ~KeySender() {
    if (x_ != nullptr) xcb_disconnect(x_);
  }
  bool Connect() {
    x_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x_)) return false;
    root_ = xcb_setup_roots_iterator(xcb_get_setup(x_)).data->root;
    return true;
  }
  // The first keycode whose base level is `keysym`; 0 when none.
  xcb_keycode_t Keycode(xcb_keysym_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(x_);
    const uint8_t first = setup->min_keycode;
    const uint8_t count = static_cast<uint8_t>(setup->max_keycode - first + 1);
    xcb_get_keyboard_mapping_reply_t* map =
        xcb_get_keyboard_mapping_reply(x_, xcb_get_keyboard_mapping(x_, first, count), nullptr);
    if (map == nullptr) return 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
    xcb_keycode_t found = 0;
    for (int i = 0; i < count && found == 0; ++i) {
      if (syms[i * map->keysyms_per_keycode] == keysym)
        found = static_cast<xcb_keycode_t>(first + i);
    }
    std::free(map);
    return found;
  }
  // The window that has the keyboard focus.
  xcb_window_t Focus() {
    xcb_get_input_focus_reply_t* reply =
        xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr);
    const xcb_window_t focus = reply != nullptr ? reply->focus : XCB_NONE;
    std::free(reply);
    return focus;
  }
  // Modifier down, then (at the returned moment) the key pressed, and both released.
  Clock::time_point Combination(xcb_keycode_t modifier, xcb_keycode_t key) {
    Send(XCB_KEY_PRESS, modifier);
    Sync();  // the modifier is down at the server before the clock starts
    const auto pressed = Clock::now();
    Send(XCB_KEY_PRESS, key);
    xcb_flush(x_);
    Send(XCB_KEY_RELEASE, key);
    Send(XCB_KEY_RELEASE, modifier);
    xcb_flush(x_);
    return pressed;
  }

 private:
  void Send(uint8_t type, xcb_keycode_t code) {
    xcb_test_fake_input(x_, type, code, XCB_CURRENT_TIME, root_, 0, 0, 0);
  }
  void Sync() { std::free(xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr)); }

  xcb_connection_t* x_ = nullptr;
  xcb_window_t root_ = 0;
};

// --- files and processes ---------------------------------------------------------------------

constexpr int kToneRate = 44100;
constexpr double kToneHz = 1000.0;

// A 16-bit stereo PCM WAV file of a steady 1 kHz tone at half scale.
bool WriteTone(const std::string& path, double seconds) {
  const uint32_t frames = static_cast<uint32_t>(seconds * kToneRate);
  const uint32_t data_bytes = frames * 4;
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + data_bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(kToneRate);
  u32(kToneRate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(data_bytes);
  std::vector<int16_t> block;
  for (uint32_t i = 0; i < frames; ++i) {
    const auto v = static_cast<int16_t>(
        std::lround(16384.0 * std::sin(2 * std::numbers::pi * kToneHz * i / kToneRate)));
    block.push_back(v);
    block.push_back(v);
    if (block.size() >= 8192 || i + 1 == frames) {
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size() * 2));
      block.clear();
    }
  }
  return static_cast<bool>(out);
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

bool OnPath(const char* tool) {
  const std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Waits for a child to end, at most `limit`; ends it if it does not. True when it exited 0.
bool WaitChild(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0) return false;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(2ms);
  }
}

// --- figures ---------------------------------------------------------------------------------

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Figures {
  size_t count = 0;
  double median = NAN, p90 = NAN, worst = NAN;
};

Figures Summarize(std::vector<double> ms) {
  std::erase_if(ms, [](double v) { return std::isnan(v); });
  std::sort(ms.begin(), ms.end());
  Figures f;
  f.count = ms.size();
  if (ms.empty()) return f;
  f.median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
  f.p90 = ms[std::min(ms.size() - 1, ms.size() * 9 / 10)];
  f.worst = ms.back();
  return f;
}

std::string Histogram(const std::vector<double>& ms) {
  static constexpr double kEdges[] = {5, 10, 20, 30, 50, 100};
  static constexpr const char* kNames[] = {"<5",    "5-10",   "10-20", "20-30",
                                           "30-50", "50-100", ">=100"};
  int counts[7] = {};
  for (double v : ms) {
    if (std::isnan(v)) continue;
    int bucket = 0;
    while (bucket < 6 && v >= kEdges[bucket]) ++bucket;
    ++counts[bucket];
  }
  std::string text;
  for (int i = 0; i < 7; ++i) {
    if (counts[i] == 0) continue;
    if (!text.empty()) text += ", ";
    text += std::string(kNames[i]) + " ms: " + std::to_string(counts[i]);
  }
  return text;
}

void PrintRow(const char* what, const std::vector<double>& ms, size_t expected) {
  const Figures f = Summarize(ms);
  std::printf("| %s | %.2f ms | %.2f ms | %.2f ms | %zu |\n", what, f.median, f.p90, f.worst,
              expected - f.count);
}

void PrintTableHead(const char* title) {
  std::printf(
      "\n%s\n\n| from the key press to | median | 90th percentile | worst | missed |\n"
      "|---|---|---|---|---|\n",
      title);
}

std::vector<double> Differences(const std::vector<double>& later,
                                const std::vector<double>& earlier) {
  std::vector<double> out;
  for (size_t i = 0; i < later.size() && i < earlier.size(); ++i)
    out.push_back(later[i] - earlier[i]);
  return out;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five;
  in >> one >> five;
  return one + " (5 min: " + five + ")";
}

// --- one press of the play key, started or stopped --------------------------------------------

struct Stages {
  Clock::time_point pressed;
  std::vector<double> ms = std::vector<double>(kMarkCount, NAN);  // by Mark, from `pressed`
  double heard = NAN;  // first sound (start) or silence (stop) at the monitor
};

void Fill(Stages& s, Mark mark, std::chrono::milliseconds limit) {
  if (auto t = g_timeline.WaitFor(mark, s.pressed, limit)) s.ms[mark] = Ms(*t - s.pressed);
}

// --- what the sound server mixed ------------------------------------------------------------

// The private sound server's monitor (everything its sink mixed), read by `parec` in small
// pieces, each kept with the moment it arrived here. A frame's arrival is the moment the server
// had mixed it, plus the hand-over through parec and the pipe: there is no mapping through an
// estimated clock origin, and nothing can seem to arrive before it was written.
class MonitorReader {
 public:
  static constexpr int kRate = 44100;

  ~MonitorReader() { Stop(); }

  bool Start(std::string& error) {
    const char* sink = std::getenv("VERBAT_TEST_SINK");
    const std::string device = std::string(sink != nullptr ? sink : "verbat_test") + ".monitor";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Pieces of 5 ms: the sink mixes in steps of about that, and each step is handed on as
    // soon as it is mixed.
    std::vector<std::string> args = {"parec",        "--raw",        "--format=s16le",
                                     "--rate=44100", "--channels=1", "--latency-msec=5",
                                     "-d",           device};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, "parec", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid_ = -1;
      error = std::string("cannot start parec: ") + std::strerror(rc);
      return false;
    }
    fd_ = fds[0];
    reader_ = std::thread([this] { Read(); });
    std::unique_lock<std::mutex> hold(lock_);
    if (!arrived_.wait_for(hold, 3s, [&] { return !pieces_.empty(); })) {
      hold.unlock();
      Stop();
      error = "the sound server's monitor delivered nothing within 3 s";
      return false;
    }
    return true;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

  // The following are for after Stop.
  const std::vector<float>& Samples() const { return samples_; }
  // Frames that had arrived by `t`: what the server mixed before that moment.
  int64_t FramesArrivedBy(Clock::time_point t) const {
    int64_t frames = 0;
    for (const Piece& p : pieces_) {
      if (p.arrival > t) break;
      frames = p.end_frame;
    }
    return frames;
  }
  // When `frame` arrived.
  std::optional<Clock::time_point> ArrivalOf(int64_t frame) const {
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), frame,
                               [](int64_t f, const Piece& p) { return f < p.end_frame; });
    if (it == pieces_.end()) return std::nullopt;
    return it->arrival;
  }

 private:
  struct Piece {
    int64_t end_frame;  // frames arrived up to and including this piece
    Clock::time_point arrival;
  };

  void Read() {
    std::vector<char> buffer(8192);
    size_t carry = 0;  // a byte of a sample split between two reads
    for (;;) {
      const ssize_t n = read(fd_, buffer.data() + carry, buffer.size() - carry);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      const auto now = Clock::now();
      const size_t bytes = carry + static_cast<size_t>(n);
      {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i + 1 < bytes; i += 2) {
          const auto v = static_cast<int16_t>(static_cast<uint8_t>(buffer[i]) |
                                              static_cast<uint8_t>(buffer[i + 1]) << 8);
          samples_.push_back(static_cast<float>(v) / 32768.0f);
        }
        pieces_.push_back({static_cast<int64_t>(samples_.size()), now});
      }
      arrived_.notify_all();
      carry = bytes % 2;
      if (carry != 0) buffer[0] = buffer[bytes - 1];
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<float> samples_;
  std::vector<Piece> pieces_;
};

constexpr float kLoud = 0.1f;  // the tone is at half scale
constexpr int64_t kTenMs = MonitorReader::kRate / 100;

// From the press to the first loud frame the server mixed after it; NaN when the mix was not
// silent just before the press or no sound came within a second.
double HeardStart(const MonitorReader& monitor, Clock::time_point pressed) {
  const std::vector<float>& samples = monitor.Samples();
  const int64_t from = monitor.FramesArrivedBy(pressed);
  const int64_t to =
      std::min<int64_t>(static_cast<int64_t>(samples.size()), from + MonitorReader::kRate);
  if (from < 5 * kTenMs || verbat::test::Rms(samples, from - 5 * kTenMs, from) > 0.01) return NAN;
  for (int64_t i = from; i < to; ++i) {
    if (std::fabs(samples[static_cast<size_t>(i)]) > kLoud) {
      return Ms(*monitor.ArrivalOf(i) - pressed);
    }
  }
  return NAN;
}

// From the press to the first frame of the silence (10 ms or more) that follows it in the mix;
// NaN when the tone was not sounding at the press or did not end within a second.
double HeardEnd(const MonitorReader& monitor, Clock::time_point pressed) {
  const std::vector<float>& samples = monitor.Samples();
  const int64_t from = monitor.FramesArrivedBy(pressed);
  const int64_t to =
      std::min<int64_t>(static_cast<int64_t>(samples.size()), from + MonitorReader::kRate);
  if (from < kTenMs || verbat::test::Rms(samples, from - kTenMs, from) < 0.1) return NAN;
  int64_t last_loud = from - 1;
  for (int64_t i = from; i < to; ++i) {
    if (std::fabs(samples[static_cast<size_t>(i)]) > kLoud) {
      last_loud = i;
    } else if (i - last_loud >= kTenMs) {
      return Ms(*monitor.ArrivalOf(last_loud + 1) - pressed);
    }
  }
  return NAN;
}

// --- a phase: one sound device --------------------------------------------------------------

struct Options {
  int presses = 50;
  bool virtual_card = true;
  bool alsa = true;
  std::string csv;
};

constexpr int kWarmUp = 2;               // rounds not counted: the first file reads
constexpr auto kHold = 400ms;            // playback between the start and the stop press
constexpr auto kPeerToneLength = 500ms;  // the peers play a tone this long
constexpr std::chrono::milliseconds kWait = 3000ms;  // longest wait for any mark

struct PhaseResult {
  std::vector<Stages> starts, stops;
  std::vector<Clock::time_point> aplay, xbindkeys;  // the peers' moments of "pressing"
  std::vector<double> aplay_heard, xbindkeys_heard;
  bool failed = false;
};

class Phase {
 public:
  Phase(const Options& options, const std::filesystem::path& dir, bool alsa)
      : options_(options), dir_(dir), alsa_(alsa) {}

  // Runs on the bench's thread while the main thread runs the window's event loop.
  void Measure(PhaseResult& result) {
    KeySender keys;
    if (!keys.Connect()) {
      std::fprintf(stderr, "hotkey_bench: no X connection for XTEST\n");
      result.failed = true;
      return;
    }
    const xcb_keycode_t ctrl = keys.Keycode(kKeysymControlL);
    const xcb_keycode_t space = keys.Keycode(kKeysymSpace);
    const xcb_keycode_t f12 = keys.Keycode(kKeysymF12);
    if (ctrl == 0 || space == 0 || f12 == 0) {
      std::fprintf(stderr, "hotkey_bench: the keyboard map has no Control_L, space or F12\n");
      result.failed = true;
      return;
    }
    // The window took the focus when it was shown; the user goes back to the other program.
    // (Were the window focused, Space would also press its focused button.)
    if (const char* xterm = std::getenv("VERBAT_X11_XTERM")) {
      std::this_thread::sleep_for(300ms);
      WaitChild(Spawn({"xdotool", "windowactivate", "--sync", xterm}), 5000ms);
      if (keys.Focus() != static_cast<xcb_window_t>(std::strtoul(xterm, nullptr, 0))) {
        std::fprintf(stderr, "hotkey_bench: the xterm did not take the focus back\n");
        result.failed = true;
        return;
      }
    }

    std::optional<MonitorReader> monitor;
    pid_t xbindkeys = -1;
    const bool peers = alsa_ && OnPath("aplay");
    if (alsa_) {
      monitor.emplace();
      std::string error;
      if (!monitor->Start(error)) {
        std::fprintf(stderr, "hotkey_bench: %s\n", error.c_str());
        result.failed = true;
        return;
      }
      if (peers && OnPath("xbindkeys")) {
        xbindkeys = Spawn({"xbindkeys", "-n", "-f", (dir_ / "xbindkeysrc").string()});
      }
    }
    if (alsa_ && !peers) std::fprintf(stderr, "hotkey_bench: aplay is missing: no peers\n");
    std::this_thread::sleep_for(1000ms);  // xbindkeys has grabbed its key

    // Each round presses the program's key and starts each peer once, in an order that turns
    // from round to round.
    enum Turn { kProgram, kAplay, kXbindkeys };
    std::vector<Turn> turns = {kProgram};
    if (peers) turns.push_back(kAplay);
    if (xbindkeys > 0) turns.push_back(kXbindkeys);
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pause_ms(250, 450);
    const std::string peer_tone = (dir_ / "peer.wav").string();
    for (int round = 0; round < kWarmUp + options_.presses && !result.failed; ++round) {
      const bool counted = round >= kWarmUp;
      for (size_t turn = 0; turn < turns.size() && !result.failed; ++turn) {
        switch (turns[(static_cast<size_t>(round) + turn) % turns.size()]) {
          case kProgram: {
            g_timeline.Clear();
            Stages start, stop;
            start.pressed = keys.Combination(ctrl, space);
            for (Mark m : {kPosted, kHandled, kOpened, kFirstBlock}) Fill(start, m, kWait);
            if (std::isnan(start.ms[kFirstBlock])) {
              std::fprintf(stderr, "hotkey_bench: round %d: no playback started\n", round);
              result.failed = true;
              break;
            }
            std::this_thread::sleep_until(start.pressed + kHold);
            stop.pressed = keys.Combination(ctrl, space);
            for (Mark m : {kPosted, kHandled, kReset, kClosed}) Fill(stop, m, kWait);
            if (std::isnan(stop.ms[kClosed])) {
              std::fprintf(stderr, "hotkey_bench: round %d: playback did not stop\n", round);
              result.failed = true;
              break;
            }
            if (counted) {
              result.starts.push_back(start);
              result.stops.push_back(stop);
            }
            break;
          }
          case kAplay: {  // started at the moment of the press
            const auto started = Clock::now();
            const pid_t pid = Spawn({"aplay", "-q", peer_tone});
            if (pid > 0 && WaitChild(pid, 5000ms) && counted) result.aplay.push_back(started);
            break;
          }
          case kXbindkeys: {  // starts aplay on Ctrl+F12
            const auto pressed = keys.Combination(ctrl, f12);
            if (counted) result.xbindkeys.push_back(pressed);
            std::this_thread::sleep_until(pressed + kPeerToneLength + 400ms);
            break;
          }
        }
        // Silence before the next press, at a moment that is not in step with the window's
        // 250 ms position tick.
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
      }
    }
    if (xbindkeys > 0) {
      kill(xbindkeys, SIGTERM);
      waitpid(xbindkeys, nullptr, 0);
    }
    if (monitor) {
      std::this_thread::sleep_for(1200ms);  // the last second after a press is recorded
      monitor->Stop();
      for (Stages& s : result.starts) s.heard = HeardStart(*monitor, s.pressed);
      for (Stages& s : result.stops) s.heard = HeardEnd(*monitor, s.pressed);
      for (auto t : result.aplay) result.aplay_heard.push_back(HeardStart(*monitor, t));
      for (auto t : result.xbindkeys) result.xbindkeys_heard.push_back(HeardStart(*monitor, t));
    }
  }

 private:
  const Options& options_;
  std::filesystem::path dir_;
  bool alsa_;
};

bool WriteSettings(const std::filesystem::path& ini, const std::filesystem::path& tone) {
  std::ofstream out(ini);
  out << "[WaveFile]\nAudioFileName=" << tone.string()
      << "\nCounter=0\nRevSec=0\nDelaySec=0\nNonLockMode=0\n"
         "[Other]\nDspAlert=0\nKeepPitch=0\n"
         "[KeyMap]\n01=008,032,01\n";
  return static_cast<bool>(out);
}

// Makes the window as the program does, runs its event loop while the bench's thread presses
// the keys, and ends the window.
PhaseResult RunPhase(QCoreApplication& application, const Options& options,
                     const std::filesystem::path& dir, bool alsa) {
  PhaseResult result;
  std::string warning;
  auto inner = platform::CreateAudioBackend(alsa ? "alsa" : "virtual", alsa ? "" : "1", warning);
  if (!warning.empty()) std::fprintf(stderr, "hotkey_bench: %s\n", warning.c_str());
  TimedBackend backend(std::move(inner));
  if (!WriteSettings(dir / "Verbat.ini", dir / "tone.wav")) {
    result.failed = true;
    return result;
  }
  app::StartupOptions startup;
  startup.hook_library = HOTKEY_PROBE_PATH;
  startup.settings_file = dir / "Verbat.ini";
  auto form = std::make_unique<app::TMainForm>(backend, startup);
  HandledFilter filter;
  form->installEventFilter(&filter);
  form->FormCreate();
  if (!form->Hook().HookSet()) {  // start-up failed; its message was printed
    result.failed = true;
    return result;
  }
  form->show();

  Phase phase(options, dir, alsa);
  std::thread bench;
  QTimer::singleShot(0, &application, [&] {
    bench = std::thread([&] {
      phase.Measure(result);
      QMetaObject::invokeMethod(
          &application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
  });
  const int exit_code = application.exec();
  if (bench.joinable()) bench.join();
  // The bench thread's request to end the loop, when the loop ended before it: delivered now,
  // it cannot end the next phase's loop.
  QCoreApplication::sendPostedEvents();
  if (exit_code != 0) result.failed = true;
  form->removeEventFilter(&filter);
  form.reset();
  return result;
}

void Report(const char* device, const PhaseResult& r, bool alsa, std::FILE* csv) {
  auto column = [](const std::vector<Stages>& all, Mark m) {
    std::vector<double> out;
    for (const auto& s : all) out.push_back(s.ms[m]);
    return out;
  };
  auto heard = [](const std::vector<Stages>& all) {
    std::vector<double> out;
    for (const auto& s : all) out.push_back(s.heard);
    return out;
  };
  const size_t n = r.starts.size();
  std::string title = std::string("Start, ") + device + " (" + std::to_string(n) + " presses)";
  PrintTableHead(title.c_str());
  PrintRow("the library's report posted", column(r.starts, kPosted), n);
  PrintRow("the report handled by the window", column(r.starts, kHandled), n);
  PrintRow("the output device opened", column(r.starts, kOpened), n);
  PrintRow("the first block at the device", column(r.starts, kFirstBlock), n);
  if (alsa) PrintRow("the first sound at the server's monitor", heard(r.starts), n);
  const std::vector<double>& end = alsa ? heard(r.starts) : column(r.starts, kFirstBlock);
  std::printf("\ndistribution (%s): %s\n", alsa ? "first sound" : "first block",
              Histogram(end).c_str());
  const Figures library = Summarize(column(r.starts, kPosted));
  const Figures handover =
      Summarize(Differences(column(r.starts, kHandled), column(r.starts, kPosted)));
  const Figures window =
      Summarize(Differences(column(r.starts, kFirstBlock), column(r.starts, kHandled)));
  std::printf(
      "medians of the parts: library %.2f ms, hand-over to the main thread %.2f ms, "
      "window to the first block %.2f ms",
      library.median, handover.median, window.median);
  if (alsa) {
    const Figures device_part =
        Summarize(Differences(heard(r.starts), column(r.starts, kFirstBlock)));
    std::printf(", first block to sound %.2f ms", device_part.median);
  }
  std::printf("\n");

  title = std::string("Stop, ") + device;
  PrintTableHead(title.c_str());
  PrintRow("the library's report posted", column(r.stops, kPosted), n);
  PrintRow("the report handled by the window", column(r.stops, kHandled), n);
  PrintRow("the device reset", column(r.stops, kReset), n);
  PrintRow("the device closed", column(r.stops, kClosed), n);
  if (alsa) PrintRow("silence at the server's monitor", heard(r.stops), n);

  if (alsa && !r.aplay.empty()) {
    PrintTableHead("Peers: the same tone started by a command, first sound at the monitor");
    PrintRow("aplay started at the press (process start included)", r.aplay_heard, r.aplay.size());
    if (!r.xbindkeys.empty()) {
      PrintRow("Ctrl+F12 to xbindkeys starting aplay", r.xbindkeys_heard, r.xbindkeys.size());
    }
    const Figures ours = Summarize(heard(r.starts));
    const Figures aplay = Summarize(r.aplay_heard);
    std::printf("\ndistribution (aplay): %s\n", Histogram(r.aplay_heard).c_str());
    std::printf("ratio of the medians, aplay / Verbat: %.2f (worst: %.2f)\n",
                aplay.median / ours.median, aplay.worst / ours.worst);
    if (!r.xbindkeys.empty()) {
      const Figures xbk = Summarize(r.xbindkeys_heard);
      std::printf("distribution (xbindkeys): %s\n", Histogram(r.xbindkeys_heard).c_str());
      std::printf("ratio of the medians, xbindkeys + aplay / Verbat: %.2f (worst: %.2f)\n",
                  xbk.median / ours.median, xbk.worst / ours.worst);
    }
  }

  if (csv != nullptr) {
    auto row = [&](const char* what, size_t i, const Stages& s) {
      std::fprintf(csv, "%s,%s,%zu", device, what, i);
      for (int m = 0; m < kMarkCount; ++m) std::fprintf(csv, ",%.3f", s.ms[m]);
      std::fprintf(csv, ",%.3f\n", s.heard);
    };
    for (size_t i = 0; i < r.starts.size(); ++i) row("start", i, r.starts[i]);
    for (size_t i = 0; i < r.stops.size(); ++i) row("stop", i, r.stops[i]);
    for (size_t i = 0; i < r.aplay_heard.size(); ++i) {
      std::fprintf(csv, "%s,aplay,%zu,,,,,,,%.3f\n", device, i, r.aplay_heard[i]);
    }
    for (size_t i = 0; i < r.xbindkeys_heard.size(); ++i) {
      std::fprintf(csv, "%s,xbindkeys,%zu,,,,,,,%.3f\n", device, i, r.xbindkeys_heard[i]);
    }
  }
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--presses" && has_value) {
      o.presses = std::atoi(argv[++i]);
      if (o.presses < 1) return false;
    } else if (arg == "--device" && has_value) {
      const std::string device = argv[++i];
      o.virtual_card = device == "virtual" || device == "both";
      o.alsa = device == "alsa" || device == "both";
      if (!o.virtual_card && !o.alsa) return false;
    } else if (arg == "--csv" && has_value) {
      o.csv = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: hotkey_bench [--presses N] [--device virtual|alsa|both] [--csv FILE]\n");
    return 2;
  }
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "hotkey_bench: no DISPLAY; run it through scripts/hotkey-bench.sh\n");
    return 2;
  }
  if (options.alsa && !verbat::test::FindSoundServer().available) {
    std::fprintf(stderr,
                 "hotkey_bench: no sound server (%s); run it through "
                 "scripts/hotkey-bench.sh\n",
                 verbat::test::FindSoundServer().reason.c_str());
    return 2;
  }
  app::TApplication application(argc, argv);
  // A message box would wait for a user: each is printed instead, and counts as a failure.
  bool message_shown = false;
  ui::SetMessageBoxHandler([&](QWidget*, const ui::MessageRequest& request) {
    std::fprintf(stderr, "hotkey_bench: the program says: %s\n",
                 request.text.toStdString().c_str());
    message_shown = true;
    return ui::MsgResult::kCancel;
  });

  char dir_template[] = "/tmp/verbat-hotkey-bench.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const std::filesystem::path dir = dir_template;
  // Long enough for every press of a phase to play on from where the last stopped.
  const double seconds = 30.0 + options.presses * 1.0;
  bool ready = WriteTone((dir / "tone.wav").string(), seconds) &&
               WriteTone((dir / "peer.wav").string(),
                         std::chrono::duration<double>(kPeerToneLength).count());
  {
    std::ofstream rc(dir / "xbindkeysrc");
    rc << "\"aplay -q " << (dir / "peer.wav").string() << "\"\n  Control + F12\n";
    ready = ready && static_cast<bool>(rc);
  }
  void* probe = ready ? dlopen(HOTKEY_PROBE_PATH, RTLD_NOW | RTLD_LOCAL) : nullptr;
  auto observe = probe ? reinterpret_cast<void (*)(void (*)(uintptr_t, intptr_t))>(
                             dlsym(probe, "HotkeyProbeObserve"))
                       : nullptr;
  if (observe == nullptr) {
    std::fprintf(stderr, "hotkey_bench: cannot set up (%s)\n", probe ? "" : dlerror());
    std::filesystem::remove_all(dir);
    return 1;
  }
  observe(&OnPosted);

  std::FILE* csv = options.csv.empty() ? nullptr : std::fopen(options.csv.c_str(), "w");
  if (csv != nullptr) {
    std::fprintf(csv, "device,event,index,posted,handled,opened,first_block,reset,closed,heard\n");
  }
  std::printf(
      "Ctrl+Space through XTEST, %d presses per device after %d warm-up rounds, "
      "%lld ms of playback each; load average at the start %s\n",
      options.presses, kWarmUp, static_cast<long long>(kHold.count()), LoadAverage().c_str());
  bool failed = false;
  for (bool alsa : {false, true}) {
    if (alsa ? !options.alsa : !options.virtual_card) continue;
    const PhaseResult result = RunPhase(application, options, dir, alsa);
    failed = failed || result.failed || message_shown;
    if (!result.starts.empty()) {
      Report(alsa ? "ALSA (private sound server)" : "virtual card (real-time pacing)", result, alsa,
             csv);
    }
  }
  std::printf("\nload average at the end %s\n", LoadAverage().c_str());
  if (csv != nullptr) std::fclose(csv);
  observe(nullptr);
  std::filesystem::remove_all(dir);
  return failed ? 1 : 0;
}
