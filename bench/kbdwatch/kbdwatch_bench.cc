// Latency of the keyboard watch: from a key press sent to the X server (XTEST) to the report at
// KbdWatch.so's post function, over many presses, median and worst. Beside it, for the same
// presses in the same run, `xinput test-xi2 --root`: the XInput2 raw key event the server sends
// another watching client, until its line reaches a pipe. Runs on a private Xvfb desktop
// (scripts/x11-session.sh), so nothing on a real display receives the keys.
//
//   kbdwatch_bench [PRESSES]     (default 300)
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kbdwatch/KbdWatch.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint8_t kKeycode = 38;  // "a": it auto-repeats, but each press here is short

// Arrival times of events, handed from a watching thread to the bench's.
class Arrivals {
 public:
  void Add(Clock::time_point t) {
    std::lock_guard<std::mutex> hold(lock_);
    times_.push_back(t);
    arrived_.notify_all();
  }
  std::optional<Clock::time_point> WaitFirst(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!arrived_.wait_for(hold, limit, [&] { return !times_.empty(); })) return std::nullopt;
    return times_.front();
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    times_.clear();
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<Clock::time_point> times_;
};

Arrivals g_library_presses;

void Post(void*, uint32_t, uintptr_t, intptr_t lparam) {
  const auto now = Clock::now();
  if ((static_cast<uint32_t>(lparam) & KBDWATCH_KEY_UP_FLAG) == 0) g_library_presses.Add(now);
}

// `xinput test-xi2 --root` with its output on a pipe; a thread notes when each raw key press
// line arrives.
class XinputPeer {
 public:
  bool Start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      execlp("xinput", "xinput", "test-xi2", "--root", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    reader_ = std::thread([this] { Read(); });
    return pid_ > 0;
  }
  ~XinputPeer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  Arrivals presses;

 private:
  void Read() {
    std::string line;
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return;
      const auto now = Clock::now();
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
          line += buffer[i];
          continue;
        }
        if (line.find("(RawKeyPress)") != std::string::npos) presses.Add(now);
        line.clear();
      }
    }
  }
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
};

struct Figures {
  double median_ms = 0, p90_ms = 0, worst_ms = 0;
};

Figures Summarize(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  Figures f;
  if (ms.empty()) return f;
  f.median_ms = ms[ms.size() / 2];
  f.p90_ms = ms[ms.size() * 9 / 10];
  f.worst_ms = ms.back();
  return f;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

int Run(int presses, const std::string& library_path) {
  void* library = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "kbdwatch_bench: %s\n", dlerror());
    return 1;
  }
  auto set_hook = reinterpret_cast<KbdWatchSetHookFn>(dlsym(library, KBDWATCH_SET_HOOK));
  auto free_hook = reinterpret_cast<KbdWatchFreeHookFn>(dlsym(library, KBDWATCH_FREE_HOOK));
  const KbdWatchWindow window = {&Post, nullptr};
  if (set_hook == nullptr || free_hook == nullptr || !set_hook(&window)) {
    std::fprintf(stderr, "kbdwatch_bench: SetHook failed\n");
    return 1;
  }

  xcb_connection_t* x = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(x)) {
    std::fprintf(stderr, "kbdwatch_bench: no X connection\n");
    return 1;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  auto send = [&](uint8_t type) {
    xcb_test_fake_input(x, type, kKeycode, XCB_CURRENT_TIME, root, 0, 0, 0);
    xcb_flush(x);
  };

  XinputPeer peer;
  if (!peer.Start()) {
    std::fprintf(stderr, "kbdwatch_bench: xinput did not start\n");
    return 1;
  }
  // Until xinput has selected its events, presses reach the library only.
  bool peer_ready = false;
  for (int i = 0; i < 100 && !peer_ready; ++i) {
    send(XCB_KEY_PRESS);
    send(XCB_KEY_RELEASE);
    peer_ready = peer.presses.WaitFirst(100ms).has_value();
  }
  if (!peer_ready) std::fprintf(stderr, "kbdwatch_bench: xinput reports nothing; library only\n");
  std::this_thread::sleep_for(100ms);

  std::vector<double> library_ms, peer_ms;
  int lost = 0;
  for (int i = 0; i < presses; ++i) {
    g_library_presses.Clear();
    peer.presses.Clear();
    const auto sent = Clock::now();
    send(XCB_KEY_PRESS);
    if (auto t = g_library_presses.WaitFirst(2000ms)) {
      library_ms.push_back(Ms(*t - sent));
    } else {
      ++lost;
    }
    if (peer_ready) {
      if (auto t = peer.presses.WaitFirst(2000ms)) peer_ms.push_back(Ms(*t - sent));
    }
    send(XCB_KEY_RELEASE);
    std::this_thread::sleep_for(15ms);  // both watchers idle again before the next press
  }
  free_hook();
  xcb_disconnect(x);
  dlclose(library);

  const Figures ours = Summarize(library_ms);
  std::printf("presses: %d, load average %s\n", presses, LoadAverage().c_str());
  std::printf("| watcher | median | 90th percentile | worst | lost |\n|---|---|---|---|---|\n");
  std::printf("| KbdWatch.so (RECORD) | %.2f ms | %.2f ms | %.2f ms | %d |\n", ours.median_ms,
              ours.p90_ms, ours.worst_ms, lost);
  if (!peer_ms.empty()) {
    const Figures theirs = Summarize(peer_ms);
    std::printf("| xinput test-xi2 --root (XInput2 raw) | %.2f ms | %.2f ms | %.2f ms | %zu |\n",
                theirs.median_ms, theirs.p90_ms, theirs.worst_ms,
                static_cast<size_t>(presses) - peer_ms.size());
    std::printf("median ratio (xinput / KbdWatch.so): %.2f\n", theirs.median_ms / ours.median_ms);
  }
  return lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int presses = argc > 1 ? std::atoi(argv[1]) : 300;
  char dir[] = "/tmp/verbat-kbdwatch-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string script = VERBAT_SOURCE_DIR "/scripts/x11-session.sh";
  if (std::system((script + " start " + dir + " >/dev/null").c_str()) != 0) {
    std::fprintf(stderr, "kbdwatch_bench: no X11 test session (scripts/x11-session.sh)\n");
    return 1;
  }
  std::ifstream env(std::string(dir) + "/env");
  for (std::string line; std::getline(env, line);) {
    if (line.rfind("DISPLAY=", 0) == 0) setenv("DISPLAY", line.substr(8).c_str(), 1);
  }
  const int result = Run(presses, KBDWATCH_LIBRARY_PATH);
  (void)!std::system((script + " stop " + dir).c_str());
  return result;
}
