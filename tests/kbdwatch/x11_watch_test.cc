// KbdWatch.so as the program uses it: loaded by path, its three exports, and the reports it makes
// while xdotool types (through XTEST) into an xterm that holds the focus, on a private Xvfb
// desktop (scripts/x11-session.sh). Without those tools the tests skip with the reason; under CI
// (CI=true) they fail instead.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kbdwatch/KbdWatch.h"
#include "tests/support/sound_server.h"  // InCi

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

#define SKIP_OR_FAIL_IN_CI(reason)                  \
  do {                                              \
    if (::verbat::test::InCi()) FAIL() << (reason); \
    GTEST_SKIP() << (reason);                       \
  } while (0)

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

void Xdotool(const std::string& args) {
  ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << "xdotool " << args;
}

// The program's side in miniature: the post function hands each report, as "8:20 down" (modifier
// code, virtual-key code, "down", "down repeat" or "up"), to the test's thread.
class Collector {
 public:
  KbdWatchWindow Window() { return {&Collector::Post, this}; }

  // Waits (10 s at most) until `count` reports are there, or one reads `last`; takes them all.
  Lines Take(size_t count, const std::string& last = "") {
    std::unique_lock<std::mutex> hold(lock_);
    arrived_.wait_for(hold, 10s, [&] {
      return reports_.size() >= count &&
             (last.empty() || std::find(reports_.begin(), reports_.end(), last) != reports_.end());
    });
    return std::exchange(reports_, {});
  }
  std::vector<uint32_t> messages() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
  }

 private:
  static void Post(void* self, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    const auto flags = static_cast<uint32_t>(lparam);
    const bool up = (flags & KBDWATCH_KEY_UP_FLAG) != 0, was_down = (flags & 1u << 30) != 0;
    char text[48];
    std::snprintf(text, sizeof text, "%u:%02X %s", static_cast<unsigned>(wparam >> 16),
                  static_cast<unsigned>(wparam & 0xFFFF),
                  up         ? "up"
                  : was_down ? "down repeat"
                             : "down");
    auto* c = static_cast<Collector*>(self);
    std::lock_guard<std::mutex> hold(c->lock_);
    c->reports_.push_back(text);
    c->messages_.push_back(message);
    c->arrived_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable arrived_;
  Lines reports_;
  std::vector<uint32_t> messages_;
};

// KbdWatch.so, loaded by path as the program loads it by name.
struct Library {
  void* handle = dlopen(KBDWATCH_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  template <typename F>
  F Get(const char* name) {
    return handle != nullptr ? reinterpret_cast<F>(dlsym(handle, name)) : nullptr;
  }
  KbdWatchSetHookFn set_hook = Get<KbdWatchSetHookFn>(KBDWATCH_SET_HOOK);
  KbdWatchFreeHookFn free_hook = Get<KbdWatchFreeHookFn>(KBDWATCH_FREE_HOOK);
  KbdWatchGetHookMsgStringFn get_hook_msg_string =
      Get<KbdWatchGetHookMsgStringFn>(KBDWATCH_GET_HOOK_MSG_STRING);

  bool Hook(Collector& c) {
    const KbdWatchWindow window = c.Window();  // the library keeps a copy
    return set_hook(&window);
  }
  void Unload() {
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
  }
};

class KbdWatchX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "openbox", "xterm", "xdotool", "setxkbmap", "xprop"}) {
      if (!HaveTool(tool)) SKIP_OR_FAIL_IN_CI(std::string(tool) + " is not installed");
    }
    char dir[] = "/tmp/verbat-x11-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    session_ = dir;
    if (Script("start") != 0) SKIP_OR_FAIL_IN_CI("the X11 test session did not start");
    std::ifstream env(session_ + "/env");
    for (std::string line; std::getline(env, line);) {
      if (line.rfind("DISPLAY=", 0) == 0) setenv("DISPLAY", line.substr(8).c_str(), 1);
      if (line.rfind("VERBAT_X11_TYPED=", 0) == 0) typed_file_ = line.substr(17);
    }
    ASSERT_NE(library_.handle, nullptr) << dlerror();
    ASSERT_TRUE(library_.set_hook && library_.free_hook && library_.get_hook_msg_string);
  }

  void TearDown() override {
    if (library_.handle != nullptr && library_.free_hook != nullptr) library_.free_hook();
    library_.Unload();
    if (!session_.empty()) Script("stop");
  }

  int Script(const char* command) {
    return std::system((VERBAT_SOURCE_DIR "/scripts/x11-session.sh " + std::string(command) + " " +
                        session_ + " >/dev/null")
                           .c_str());
  }

  // Presses each key alone and checks that it reports `code` with no modifier.
  void ExpectKeys(const std::vector<std::pair<std::string, std::string>>& keys, Collector& c) {
    for (const auto& [name, code] : keys) {
      Xdotool("key " + name);
      EXPECT_EQ(c.Take(2), (Lines{"0:" + code + " down", "0:" + code + " up"})) << name;
    }
  }

  Library library_;
  std::string session_;
  std::string typed_file_;
};

TEST_F(KbdWatchX11, ReportsKeysTypedIntoAnotherApplicationWithoutTakingThem) {
  EXPECT_STREQ(library_.get_hook_msg_string(), "This is Keyboard hook test");
  Collector window;
  ASSERT_TRUE(library_.Hook(window));

  Xdotool("keydown ctrl keydown space keyup space keyup ctrl");
  EXPECT_EQ(window.Take(4), (Lines{"8:11 down", "8:20 down", "8:20 up", "8:11 up"}));
  // Ctrl let go first: the release of Space still carries the Ctrl it was pressed with. (Keycodes
  // where a keysym would make xdotool press a second modifier along: 105 is the right Ctrl key,
  // 62 the right Shift key.)
  Xdotool("keydown 105 keydown space keyup 105 keyup space");
  EXPECT_EQ(window.Take(4), (Lines{"8:11 down", "8:20 down", "8:11 up", "8:20 up"}));
  // Shift+2 is the "2" key with Shift; Shift+Ctrl+Alt+F5 is 28 with F5.
  Xdotool("keydown shift keydown 2 keyup 2 keyup shift");
  EXPECT_EQ(window.Take(4), (Lines{"4:10 down", "4:32 down", "4:32 up", "4:10 up"}));
  Xdotool("keydown ctrl keydown 62 keydown alt keydown F5 keyup F5 keyup alt keyup 62 keyup ctrl");
  EXPECT_EQ(window.Take(8), (Lines{"8:11 down", "12:10 down", "28:12 down", "28:74 down",
                                   "28:74 up", "28:12 up", "12:10 up", "8:11 up"}));

  // The typing reaches the xterm (and through it the file) as if nothing watched it.
  Xdotool("type --delay 20 hello");
  Xdotool("key Return");
  const Lines typed = window.Take(12, "0:0D up");
  ASSERT_EQ(typed.size(), 12u);
  EXPECT_EQ(typed.front(), "0:48 down");
  std::string text;
  for (int i = 0; i < 200 && text.find("hello\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
    std::stringstream in;
    in << std::ifstream(typed_file_).rdbuf();
    text = in.str();
  }
  EXPECT_NE(text.find("hello\n"), std::string::npos) << "the xterm received: " << text;

  // Every report carries the registered-range number both sides derive from the name.
  const uint32_t message = KbdWatchRegisterMessage(library_.get_hook_msg_string());
  EXPECT_GE(message, 0xC000u);
  EXPECT_LE(message, 0xFFFFu);
  for (uint32_t m : window.messages()) ASSERT_EQ(m, message);
}

TEST_F(KbdWatchX11, AutoRepeatAndRepeatedReleases) {
  Collector window;
  ASSERT_TRUE(library_.Hook(window));

  // Held past the server's repeat delay (660 ms on Xvfb): repeated presses, one release.
  Xdotool("keydown a sleep 1.2 keyup a");
  const Lines held = window.Take(3, "0:41 up");
  ASSERT_GE(held.size(), 3u) << ::testing::PrintToString(held);
  EXPECT_EQ(held.front(), "0:41 down");
  EXPECT_EQ(held.back(), "0:41 up");
  for (size_t i = 1; i + 1 < held.size(); ++i) EXPECT_EQ(held[i], "0:41 down repeat");

  // A tool's repeated release leaves no Ctrl behind; the two Shift keys (keycodes 50 and 62)
  // count apart.
  Xdotool("keydown ctrl keyup ctrl keyup ctrl keyup ctrl keydown b keyup b");
  EXPECT_EQ(window.Take(4), (Lines{"8:11 down", "8:11 up", "0:42 down", "0:42 up"}));
  Xdotool("keydown 50 keydown 62 keyup 50 keyup 50 keydown c keyup c keyup 62 keydown d keyup d");
  EXPECT_EQ(window.Take(8), (Lines{"4:10 down", "4:10 down", "4:10 up", "4:43 down", "4:43 up",
                                   "4:10 up", "0:44 down", "0:44 up"}));
}

TEST_F(KbdWatchX11, JapaneseAndUsLayoutsAndTheSwitchBetweenThem) {
  Collector window;
  ASSERT_TRUE(library_.Hook(window));

  // The punctuation keys by their Japanese labels, "ろ" (keycode 97) and the yen key (132),
  // 無変換 and 英数 (CapsLock).
  ASSERT_EQ(std::system("setxkbmap jp"), 0);
  ExpectKeys({{"minus", "BD"},
              {"asciicircum", "DE"},
              {"132", "DC"},
              {"at", "C0"},
              {"bracketleft", "DB"},
              {"semicolon", "BB"},
              {"colon", "BA"},
              {"bracketright", "DD"},
              {"comma", "BC"},
              {"period", "BE"},
              {"slash", "BF"},
              {"97", "E2"},
              {"Muhenkan", "1D"},
              {"Eisu_toggle", "F0"}},
             window);
  // Shift+ろ types "_" and is still the "ろ" key; "+" is Shift with the ";" key.
  Xdotool("keydown shift keydown 97 keyup 97 keydown semicolon keyup semicolon keyup shift");
  EXPECT_EQ(window.Take(6),
            (Lines{"4:10 down", "4:E2 down", "4:E2 up", "4:BB down", "4:BB up", "4:10 up"}));

  // Back on a US layout the mapping is read again: "@" is now Shift+2.
  ASSERT_EQ(std::system("setxkbmap us"), 0);
  Xdotool("key at");
  EXPECT_EQ(window.Take(4), (Lines{"4:10 down", "4:32 down", "4:10 up", "4:32 up"}));
  ExpectKeys({{"semicolon", "BB"}, {"apostrophe", "DE"}, {"grave", "C0"}, {"backslash", "DC"}},
             window);
}

TEST_F(KbdWatchX11, OneWatchAtATimeAndNoneAfterFreeHookOrUnload) {
  Collector first, second;
  // The counts are taken after one watch came and went: a sanitizer's runtime starts a thread of
  // its own when the first thread is made.
  ASSERT_TRUE(library_.Hook(first));
  library_.free_hook();
  const size_t threads = CountEntries("/proc/self/task"), fds = CountEntries("/proc/self/fd");

  ASSERT_TRUE(library_.Hook(first));
  ASSERT_TRUE(library_.Hook(second));  // replaces the first watch
  EXPECT_EQ(CountEntries("/proc/self/task"), threads + 1);
  Xdotool("key x");
  EXPECT_EQ(second.Take(2), (Lines{"0:58 down", "0:58 up"}));
  EXPECT_TRUE(first.Take(0).empty());

  library_.free_hook();
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  Xdotool("key y");
  library_.free_hook();  // a second FreeHook does nothing
  // A new watch sees its own keys only, so nothing of "y" can be on its way to the old one.
  ASSERT_TRUE(library_.Hook(first));
  Xdotool("key z");
  EXPECT_EQ(first.Take(2), (Lines{"0:5A down", "0:5A up"}));
  EXPECT_TRUE(second.Take(0).empty());

  // Unloading the library with the watch still set stops it.
  library_.Unload();
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

TEST_F(KbdWatchX11, TheServerGoingAwayEndsTheWatch) {
  Collector window;
  ASSERT_TRUE(library_.Hook(window));
  library_.free_hook();
  const size_t threads = CountEntries("/proc/self/task");
  ASSERT_TRUE(library_.Hook(window));
  ASSERT_EQ(std::system(("kill $(cat " + session_ + "/xvfb.pid)").c_str()), 0);
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") > threads; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(CountEntries("/proc/self/task"), threads) << "the watch's thread is still there";
  library_.free_hook();
}

// "SetHook" says false, without crashing, where no X11 display with RECORD can be had: the
// program then reports "Hook Error...".
TEST(KbdWatchWithoutX11, SetHookFailsAndFreeHookIsHarmless) {
  Library library;
  ASSERT_NE(library.handle, nullptr) << dlerror();
  Collector window;
  const KbdWatchWindow no_post = {nullptr, nullptr};

  library.free_hook();  // before any SetHook
  unsetenv("DISPLAY");
  EXPECT_FALSE(library.Hook(window)) << "no DISPLAY";
  setenv("DISPLAY", ":4093", 1);
  EXPECT_FALSE(library.Hook(window)) << "a display no server answers";
  EXPECT_FALSE(library.set_hook(nullptr));
  EXPECT_FALSE(library.set_hook(&no_post));
  library.free_hook();

  // A server without the RECORD extension.
  if (!HaveTool("Xvfb")) SKIP_OR_FAIL_IN_CI("Xvfb is not installed");
  char dir[] = "/tmp/verbat-x11-norecord.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  ASSERT_EQ(std::system(("setsid Xvfb -displayfd 3 -nolisten tcp -noreset -extension RECORD 3>" +
                         d + "/display </dev/null >/dev/null 2>&1 & echo $! >" + d + "/pid")
                            .c_str()),
            0);
  std::string display;
  for (int i = 0; i < 200 && display.empty(); ++i) {
    std::this_thread::sleep_for(50ms);
    std::getline(std::ifstream(d + "/display"), display);
  }
  if (!display.empty()) {
    setenv("DISPLAY", (":" + display).c_str(), 1);
    EXPECT_FALSE(library.Hook(window)) << "no RECORD extension";
  }
  (void)!std::system(("kill $(cat " + d + "/pid); rm -rf " + d).c_str());
  EXPECT_FALSE(display.empty()) << "Xvfb did not start";
  EXPECT_TRUE(window.Take(0).empty());
  library.Unload();
}

}  // namespace
