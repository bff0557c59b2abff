#include "tests/support/sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <numbers>

extern char** environ;

namespace verbat::test {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Sets the variables of a KEY=VALUE file (scripts/sound-server.sh's env) in this process.
bool LoadEnvFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
  }
  return true;
}

bool SocketAnswers(const std::string& path, std::string& why) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    why = "socket path too long: " + path;
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::copy(path.begin(), path.end(), addr.sun_path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = "no socket";
    return false;
  }
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (!ok) why = "nothing answers on " + path + ": " + std::strerror(errno);
  close(fd);
  return ok;
}

SoundServer Probe() {
  SoundServer s;
  if (Env("PULSE_SERVER").empty()) {
    std::string file = Env("VERBAT_SOUND_ENV");
    if (file.empty()) file = "/tmp/verbat-sound-" + std::to_string(getuid()) + "/env";
    if (!LoadEnvFile(file)) {
      s.reason = "PULSE_SERVER is not set and " + file + " does not exist";
      return s;
    }
  }
  std::string server = Env("PULSE_SERVER");
  if (server.rfind("unix:", 0) != 0) {
    s.reason = "PULSE_SERVER is not a unix socket: " + server;
    return s;
  }
  if (!SocketAnswers(server.substr(5), s.reason)) return s;
  s.sink = Env("VERBAT_TEST_SINK");
  if (s.sink.empty()) s.sink = "verbat_test";
  s.available = true;
  return s;
}

}  // namespace

const SoundServer& FindSoundServer() {
  static const SoundServer server = Probe();
  return server;
}

bool InCi() {
  std::string ci = Env("CI");
  return ci == "true" || ci == "1";
}

// ---------------------------------------------------------------------------------------------

MonitorRecorder::~MonitorRecorder() {
  Stop();
}

bool MonitorRecorder::Start() {
  const auto& server = FindSoundServer();
  if (!server.available) {
    error_ = "no sound server: " + server.reason;
    return false;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string device = server.sink + ".monitor";
  std::vector<std::string> args = {"parec",        "--raw",        "--format=s16le",
                                   "--rate=44100", "--channels=1", "--latency-msec=10",
                                   "-d",           device};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, "parec", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    error_ = std::string("cannot start parec: ") + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  fd_ = pipe_fds[0];
  reader_ = std::thread([this] { Read(); });
  if (!WaitForFrames(1, std::chrono::seconds(3))) {
    error_ = "the monitor delivered nothing within 3 s";
    Stop();
    return false;
  }
  return true;
}

void MonitorRecorder::Read() {
  std::vector<char> chunk(4096);
  size_t carry = 0;  // a byte of a sample split across reads
  for (;;) {
    ssize_t n = read(fd_, chunk.data() + carry, chunk.size() - carry);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    auto now = Clock::now();
    size_t bytes = carry + static_cast<size_t>(n);
    size_t whole = bytes / 2;
    {
      std::lock_guard lock(mutex_);
      for (size_t i = 0; i < whole; ++i) {
        samples_.push_back(static_cast<int16_t>(static_cast<uint8_t>(chunk[2 * i]) |
                                                static_cast<uint8_t>(chunk[2 * i + 1]) << 8));
      }
      auto played_for = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(samples_.size()) / kRate));
      auto origin = now - played_for;
      if (!origin_ || origin < *origin_) origin_ = origin;
    }
    cv_.notify_all();
    carry = bytes % 2;
    if (carry) chunk[0] = chunk[bytes - 1];
  }
}

std::vector<float> MonitorRecorder::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  std::lock_guard lock(mutex_);
  std::vector<float> out(samples_.size());
  std::transform(samples_.begin(), samples_.end(), out.begin(),
                 [](int16_t v) { return static_cast<float>(v) / 32768.0f; });
  return out;
}

int64_t MonitorRecorder::Frames() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(samples_.size());
}

bool MonitorRecorder::WaitForFrames(int64_t frames, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout,
                      [&] { return static_cast<int64_t>(samples_.size()) >= frames; });
}

int64_t MonitorRecorder::FramesAt(Clock::time_point t) const {
  std::lock_guard lock(mutex_);
  if (!origin_) return 0;
  return std::llround(std::chrono::duration<double>(t - *origin_).count() * kRate);
}

Clock::time_point MonitorRecorder::TimeOfFrame(int64_t frame) const {
  std::lock_guard lock(mutex_);
  auto offset = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frame) / kRate));
  return origin_.value_or(Clock::time_point{}) + offset;
}

// ---------------------------------------------------------------------------------------------

double Rms(const std::vector<float>& samples, int64_t from, int64_t to) {
  from = std::clamp<int64_t>(from, 0, static_cast<int64_t>(samples.size()));
  to = std::clamp<int64_t>(to, from, static_cast<int64_t>(samples.size()));
  if (to == from) return 0.0;
  double sum = 0;
  for (int64_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

SoundSpan FindSound(const std::vector<float>& samples, double threshold, int64_t from, int64_t to,
                    int rate) {
  const int64_t size = static_cast<int64_t>(samples.size());
  if (to < 0 || to > size) to = size;
  from = std::clamp<int64_t>(from, 0, to);
  const int64_t window = std::max(1, rate / 100);
  SoundSpan span;
  for (int64_t w = from; w < to; w += window) {
    int64_t end = std::min(w + window, to);
    if (Rms(samples, w, end) > threshold) {
      if (!span.found) span.start = w;
      span.found = true;
      span.end = end;
    }
  }
  return span;
}

namespace {

void Fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    double angle = -2 * std::numbers::pi / static_cast<double>(len);
    std::complex<double> step(std::cos(angle), std::sin(angle));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1);
      for (size_t k = 0; k < len / 2; ++k) {
        auto u = a[i + k];
        auto v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

}  // namespace

double DominantFrequency(const std::vector<float>& samples, int64_t from, int64_t to, int rate) {
  const int64_t size = static_cast<int64_t>(samples.size());
  from = std::clamp<int64_t>(from, 0, size);
  to = std::clamp<int64_t>(to, from, size);
  const int64_t len = std::min<int64_t>(to - from, 1 << 17);
  if (len < 16) return 0.0;
  size_t n = 1;
  while (n < static_cast<size_t>(len) * 2) n <<= 1;  // zero padding halves the bin width
  std::vector<std::complex<double>> a(n);
  for (int64_t i = 0; i < len; ++i) {
    double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) /
                                       static_cast<double>(len - 1));
    a[static_cast<size_t>(i)] = samples[static_cast<size_t>(from + i)] * hann;
  }
  Fft(a);
  size_t peak = 1;
  for (size_t k = 2; k + 1 < n / 2; ++k) {
    if (std::abs(a[k]) > std::abs(a[peak])) peak = k;
  }
  double l = std::log(std::abs(a[peak - 1]) + 1e-12);
  double c = std::log(std::abs(a[peak]) + 1e-12);
  double r = std::log(std::abs(a[peak + 1]) + 1e-12);
  double denom = l - 2 * c + r;
  double delta = denom != 0 ? 0.5 * (l - r) / denom : 0.0;
  return (static_cast<double>(peak) + delta) * rate / static_cast<double>(n);
}

}  // namespace verbat::test
