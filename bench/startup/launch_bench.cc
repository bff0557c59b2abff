// One start of a program, timed from the moment it is executed:
//
//   launch_bench --mapped -- COMMAND ARGS...   until the first ordinary top-level window is mapped
//                                              on $DISPLAY (an X server without a window manager)
//   launch_bench --sound -- COMMAND ARGS...    until its first sound reaches the test sound
//                                              server's monitor (scripts/sound-server.sh)
//
// Prints the time in milliseconds on standard output, then ends the program and waits
// for it, so that the next start finds nothing of it left. Exit 1 when the window did not come
// within 10 s, or the sound within 4 s.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/sound_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kLimit{10000};
// The monitor is recorded for this long after the start; the onset is looked for afterwards.
constexpr milliseconds kSoundWindow{4000};

pid_t Spawn(const std::vector<char*>& command) {
  pid_t pid = -1;
  if (posix_spawnp(&pid, command[0], nullptr, nullptr, command.data(), environ) != 0) return -1;
  return pid;
}

// SIGTERM, and SIGKILL for a program still there 3 s later (ffplay sometimes hangs in its exit).
void End(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(3);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > give_up) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    ::poll(nullptr, 0, 10);
  }
}

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::optional<double> TimeToMapped(const std::vector<char*>& command) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    std::fprintf(stderr, "launch_bench: no X display\n");
    return std::nullopt;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_void_cookie_t cookie =
      xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &mask);
  std::free(xcb_request_check(connection, cookie));  // in force before the program starts

  const Clock::time_point start = Clock::now();
  const pid_t pid = Spawn(command);
  std::optional<double> result;
  const int fd = xcb_get_file_descriptor(connection);
  while (pid > 0 && !result && Clock::now() - start < kLimit) {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, 100);
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
      if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
        const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
        if (map->event == root && !map->override_redirect && !result) {
          result = Milliseconds(Clock::now() - start);
        }
      }
      std::free(event);
    }
    if (xcb_connection_has_error(connection)) break;
  }
  End(pid);
  xcb_disconnect(connection);
  return result;
}

std::optional<double> TimeToSound(const std::vector<char*>& command) {
  const verbat::test::SoundServer& server = verbat::test::FindSoundServer();
  if (!server.available) {
    std::fprintf(stderr, "launch_bench: %s\n", server.reason.c_str());
    return std::nullopt;
  }
  verbat::test::MonitorRecorder monitor;
  if (!monitor.Start()) {
    std::fprintf(stderr, "launch_bench: %s\n", monitor.error().c_str());
    return std::nullopt;
  }
  const Clock::time_point start = Clock::now();
  const pid_t pid = Spawn(command);
  const int64_t from = monitor.FramesAt(start);
  monitor.WaitForFrames(from + verbat::test::MonitorRecorder::kRate * kSoundWindow.count() / 1000,
                        kSoundWindow + milliseconds(2000));
  End(pid);
  const std::vector<float> samples = monitor.Stop();
  const verbat::test::SoundSpan sound = verbat::test::FindSound(samples, 0.02, from);
  if (!sound.found) return std::nullopt;
  return Milliseconds(monitor.TimeOfFrame(sound.start) - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[2], "--") != 0 ||
      (std::strcmp(argv[1], "--mapped") != 0 && std::strcmp(argv[1], "--sound") != 0)) {
    std::fprintf(stderr, "usage: %s --mapped|--sound -- COMMAND ARGS...\n", argv[0]);
    return 2;
  }
  std::vector<char*> command(argv + 3, argv + argc);
  command.push_back(nullptr);
  const bool mapped = std::strcmp(argv[1], "--mapped") == 0;
  const std::optional<double> ms = mapped ? TimeToMapped(command) : TimeToSound(command);
  if (!ms) {
    std::fprintf(stderr, "launch_bench: no %s within %lld ms from %s\n",
                 mapped ? "window" : "sound",
                 static_cast<long long>((mapped ? kLimit : kSoundWindow).count()), argv[3]);
    return 1;
  }
  std::printf("%.1f\n", *ms);
  return 0;
}
