// KbdWatch.so as the program uses it: loaded by path, its three exports, and the reports it makes
// while keys are typed (by xdotool, through XTEST) into an xterm that holds the focus, on a
// private Xvfb display with openbox (scripts/x11-session.sh). Without those tools the tests skip
// with the reason; under CI (CI=true) they fail instead.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kbdwatch/KbdWatch.h"
#include "tests/support/sound_server.h"  // InCi

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

#define SKIP_OR_FAIL_IN_CI(reason)                  \
  do {                                              \
    if (::verbat::test::InCi()) FAIL() << (reason); \
    GTEST_SKIP() << (reason);                       \
  } while (0)

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string MissingTool(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    if (!HaveTool(tool)) return tool;
  }
  return "";
}

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

struct Report {
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

// "8:20 down", "0:41 down repeat", "8:20 up": modifier code, virtual-key code, direction.
std::string Describe(const Report& r) {
  const auto flags = static_cast<uint32_t>(r.lparam);
  const bool up = (flags & KBDWATCH_KEY_UP_FLAG) != 0;
  const bool was_down = (flags & (1u << 30)) != 0;
  char text[48];
  std::snprintf(text, sizeof text, "%u:%02X %s%s", static_cast<unsigned>(r.wparam >> 16),
                static_cast<unsigned>(r.wparam & 0xFFFF), up ? "up" : "down",
                !up && was_down ? " repeat" : "");
  return text;
}

// The program's side in miniature: the post function hands each report to the test's thread.
class Collector {
 public:
  KbdWatchWindow Window() { return {&Collector::Post, this}; }

  // Waits until at least `count` reports are there (10 s at most) and takes them all.
  std::vector<Report> Take(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    arrived_.wait_for(hold, 10s, [&] { return reports_.size() >= count; });
    return std::exchange(reports_, {});
  }
  std::vector<std::string> TakeDescribed(size_t count) {
    std::vector<std::string> out;
    for (const Report& r : Take(count)) out.push_back(Describe(r));
    return out;
  }
  // Waits until a report of `text` has arrived (10 s at most) and takes everything up to it.
  std::vector<std::string> TakeThrough(const std::string& text) {
    std::unique_lock<std::mutex> hold(lock_);
    arrived_.wait_for(hold, 10s, [&] {
      for (const Report& r : reports_) {
        if (Describe(r) == text) return true;
      }
      return false;
    });
    std::vector<std::string> out;
    for (const Report& r : std::exchange(reports_, {})) out.push_back(Describe(r));
    return out;
  }
  std::vector<Report> TakeAll() { return Take(0); }

 private:
  static void Post(void* self, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    auto* c = static_cast<Collector*>(self);
    std::lock_guard<std::mutex> hold(c->lock_);
    c->reports_.push_back({message, wparam, lparam});
    c->arrived_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<Report> reports_;
};

// KbdWatch.so loaded by path as the program loads it by name.
class Library {
 public:
  bool Load(std::string* error) {
    handle_ = dlopen(KBDWATCH_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      *error = dlerror();
      return false;
    }
    set_hook = reinterpret_cast<KbdWatchSetHookFn>(dlsym(handle_, KBDWATCH_SET_HOOK));
    free_hook = reinterpret_cast<KbdWatchFreeHookFn>(dlsym(handle_, KBDWATCH_FREE_HOOK));
    get_hook_msg_string =
        reinterpret_cast<KbdWatchGetHookMsgStringFn>(dlsym(handle_, KBDWATCH_GET_HOOK_MSG_STRING));
    return true;
  }
  void Unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
  }
  bool loaded() const { return handle_ != nullptr; }

  KbdWatchSetHookFn set_hook = nullptr;
  KbdWatchFreeHookFn free_hook = nullptr;
  KbdWatchGetHookMsgStringFn get_hook_msg_string = nullptr;

 private:
  void* handle_ = nullptr;
};

class KbdWatchX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = MissingTool({"Xvfb", "openbox", "xterm", "xdotool", "setxkbmap"});
    if (!missing.empty())
      SKIP_OR_FAIL_IN_CI(missing + " is not installed (scripts/install-deps.sh)");
    char dir[] = "/tmp/verbat-x11-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    session_dir_ = dir;
    if (Script("start") != 0) SKIP_OR_FAIL_IN_CI("the X11 test session did not start");
    std::ifstream env(session_dir_ + "/env");
    for (std::string line; std::getline(env, line);) {
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
      if (name == "DISPLAY") setenv("DISPLAY", value.c_str(), 1);
      if (name == "VERBAT_X11_TYPED") typed_file_ = value;
    }
    ASSERT_FALSE(typed_file_.empty());
    std::string error;
    ASSERT_TRUE(library_.Load(&error)) << error;
  }

  void TearDown() override {
    if (library_.loaded() && library_.free_hook != nullptr) library_.free_hook();
    library_.Unload();
    if (!session_dir_.empty()) Script("stop");
  }

  int Script(const char* command) {
    const std::string line = std::string(VERBAT_SOURCE_DIR "/scripts/x11-session.sh ") + command +
                             " " + session_dir_ + " >/dev/null";
    return std::system(line.c_str());
  }

  static void Xdotool(const std::string& args) {
    ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << "xdotool " << args;
  }

  std::string Typed() const {
    std::ifstream in(typed_file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  Library library_;
  std::string session_dir_;
  std::string typed_file_;
};

using Lines = std::vector<std::string>;

TEST_F(KbdWatchX11, ReportsKeysTypedIntoAnotherApplicationWithoutTakingThem) {
  ASSERT_NE(library_.set_hook, nullptr);
  ASSERT_NE(library_.free_hook, nullptr);
  ASSERT_NE(library_.get_hook_msg_string, nullptr);
  EXPECT_STREQ(library_.get_hook_msg_string(), "This is Keyboard hook test");

  Collector window;
  const KbdWatchWindow target = window.Window();
  ASSERT_TRUE(library_.set_hook(&target));

  Xdotool("keydown ctrl keydown space keyup space keyup ctrl");
  EXPECT_EQ(window.TakeDescribed(4), (Lines{"8:11 down", "8:20 down", "8:20 up", "8:11 up"}));
  // Ctrl let go first: the release of Space still carries the Ctrl it was pressed with.
  // (Keycodes where a keysym would make xdotool press a second modifier along: 105 is the
  // right Ctrl key, 62 the right Shift key.)
  Xdotool("keydown 105 keydown space keyup 105 keyup space");
  EXPECT_EQ(window.TakeDescribed(4), (Lines{"8:11 down", "8:20 down", "8:11 up", "8:20 up"}));
  // Shift+2 is the "2" key with Shift; Shift+Ctrl+Alt+F5 is 28 with F5.
  Xdotool("keydown shift keydown 2 keyup 2 keyup shift");
  EXPECT_EQ(window.TakeDescribed(4), (Lines{"4:10 down", "4:32 down", "4:32 up", "4:10 up"}));
  Xdotool(
      "keydown Control_L keydown 62 keydown Alt_L keydown F5 keyup F5 keyup Alt_L keyup 62 "
      "keyup Control_L");
  EXPECT_EQ(window.TakeDescribed(8), (Lines{"8:11 down", "12:10 down", "28:12 down", "28:74 down",
                                            "28:74 up", "28:12 up", "12:10 up", "8:11 up"}));

  // The typing reaches the xterm (and through it the file) as if nothing watched it.
  Xdotool("type --delay 20 hello");
  Xdotool("key Return");
  std::vector<Report> typed = window.Take(12);
  ASSERT_EQ(typed.size(), 12u);
  EXPECT_EQ(Describe(typed[0]), "0:48 down");
  EXPECT_EQ(Describe(typed[11]), "0:0D up");
  const auto deadline = Clock::now() + 10s;
  while (Typed().find("hello\n") == std::string::npos && Clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_NE(Typed().find("hello\n"), std::string::npos) << "the xterm received: " << Typed();

  // Every report carries the message number both sides derive from the name.
  const uint32_t message = KbdWatchRegisterMessage(library_.get_hook_msg_string());
  for (const Report& r : typed) EXPECT_EQ(r.message, message);
}

TEST_F(KbdWatchX11, AutoRepeatAndRepeatedReleases) {
  Collector window;
  const KbdWatchWindow target = window.Window();
  ASSERT_TRUE(library_.set_hook(&target));

  // Held past the server's repeat delay (660 ms on Xvfb): repeated presses, one release.
  Xdotool("keydown a sleep 1.2 keyup a");
  Lines held = window.TakeThrough("0:41 up");
  ASSERT_GE(held.size(), 3u) << ::testing::PrintToString(held);
  EXPECT_EQ(held.front(), "0:41 down");
  EXPECT_EQ(held.back(), "0:41 up");
  for (size_t i = 1; i + 1 < held.size(); ++i) EXPECT_EQ(held[i], "0:41 down repeat");

  // A tool's repeated release leaves no Ctrl behind; the two Shift keys (keycodes 50 and 62)
  // count apart.
  Xdotool("keydown ctrl keyup ctrl keyup ctrl keyup ctrl keydown b keyup b");
  EXPECT_EQ(window.TakeDescribed(4), (Lines{"8:11 down", "8:11 up", "0:42 down", "0:42 up"}));
  Xdotool("keydown 50 keydown 62 keyup 50 keyup 50 keydown c keyup c keyup 62 keydown d keyup d");
  EXPECT_EQ(window.TakeDescribed(8), (Lines{"4:10 down", "4:10 down", "4:10 up", "4:43 down",
                                            "4:43 up", "4:10 up", "0:44 down", "0:44 up"}));
}

TEST_F(KbdWatchX11, JapaneseAndUsLayoutsAndTheSwitchBetweenThem) {
  Collector window;
  const KbdWatchWindow target = window.Window();
  ASSERT_TRUE(library_.set_hook(&target));

  struct Key {
    const char* name;  // keysym name, or a keycode
    const char* code;
  };
  // The punctuation keys by their Japanese labels, "ろ" (keycode 97) and the yen key (132),
  // 無変換 and 英数 (CapsLock).
  ASSERT_EQ(std::system("setxkbmap jp"), 0);
  const Key jp[] = {{"minus", "BD"},    {"asciicircum", "DE"},  {"132", "DC"},
                    {"at", "C0"},       {"bracketleft", "DB"},  {"semicolon", "BB"},
                    {"colon", "BA"},    {"bracketright", "DD"}, {"comma", "BC"},
                    {"period", "BE"},   {"slash", "BF"},        {"97", "E2"},
                    {"Muhenkan", "1D"}, {"Eisu_toggle", "F0"}};
  for (const Key& key : jp) {
    Xdotool(std::string("key ") + key.name);
    EXPECT_EQ(window.TakeDescribed(2),
              (Lines{std::string("0:") + key.code + " down", std::string("0:") + key.code + " up"}))
        << "jp " << key.name;
  }
  // Shift+ろ types "_" and is still the "ろ" key; "+" is Shift with the ";" key.
  Xdotool("keydown shift keydown 97 keyup 97 keydown semicolon keyup semicolon keyup shift");
  EXPECT_EQ(window.TakeDescribed(6),
            (Lines{"4:10 down", "4:E2 down", "4:E2 up", "4:BB down", "4:BB up", "4:10 up"}));

  // Back on a US layout the mapping is read again: "@" is now Shift+2 and the ";" key is ";".
  ASSERT_EQ(std::system("setxkbmap us"), 0);
  Xdotool("key at");
  EXPECT_EQ(window.TakeDescribed(4), (Lines{"4:10 down", "4:32 down", "4:10 up", "4:32 up"}));
  const Key us[] = {{"semicolon", "BB"},
                    {"apostrophe", "DE"},
                    {"grave", "C0"},
                    {"backslash", "DC"},
                    {"Caps_Lock", "F0"}};
  for (const Key& key : us) {
    Xdotool(std::string("key ") + key.name);
    EXPECT_EQ(window.TakeDescribed(2),
              (Lines{std::string("0:") + key.code + " down", std::string("0:") + key.code + " up"}))
        << "us " << key.name;
  }
  Xdotool("key Caps_Lock");  // CapsLock off again, for the xterm's sake
  window.TakeDescribed(2);
}

TEST_F(KbdWatchX11, OneWatchAtATimeAndNoneAfterFreeHookOrUnload) {
  Collector first, second;
  const KbdWatchWindow first_target = first.Window(), second_target = second.Window();
  // The counts are taken after one watch came and went: a sanitizer's runtime starts a thread of
  // its own when the first thread is made.
  ASSERT_TRUE(library_.set_hook(&first_target));
  library_.free_hook();
  const size_t threads = CountEntries("/proc/self/task");
  const size_t fds = CountEntries("/proc/self/fd");

  ASSERT_TRUE(library_.set_hook(&first_target));
  ASSERT_TRUE(library_.set_hook(&second_target));  // replaces the first watch
  EXPECT_EQ(CountEntries("/proc/self/task"), threads + 1);
  Xdotool("key x");
  EXPECT_EQ(second.TakeDescribed(2), (Lines{"0:58 down", "0:58 up"}));
  EXPECT_TRUE(first.TakeAll().empty());

  library_.free_hook();
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  Xdotool("key y");
  library_.free_hook();  // a second FreeHook does nothing
  // A new watch sees its own keys only, so nothing of "y" can be on its way to the old one.
  ASSERT_TRUE(library_.set_hook(&first_target));
  Xdotool("key z");
  EXPECT_EQ(first.TakeDescribed(2), (Lines{"0:5A down", "0:5A up"}));
  EXPECT_TRUE(second.TakeAll().empty());

  // Unloading the library with the watch still set stops it.
  library_.Unload();
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

// "SetHook" says false, without crashing, where no X11 display with RECORD can be had: the
// program then reports "Hook Error...".
TEST(KbdWatchWithoutX11, SetHookFailsAndFreeHookIsHarmless) {
  Library library;
  std::string error;
  ASSERT_TRUE(library.Load(&error)) << error;
  Collector window;
  const KbdWatchWindow target = window.Window();
  const KbdWatchWindow no_post = {nullptr, nullptr};

  library.free_hook();  // before any SetHook
  unsetenv("DISPLAY");
  EXPECT_FALSE(library.set_hook(&target)) << "no DISPLAY";
  setenv("DISPLAY", ":4093", 1);
  EXPECT_FALSE(library.set_hook(&target)) << "a display no server answers";
  EXPECT_FALSE(library.set_hook(nullptr));
  EXPECT_FALSE(library.set_hook(&no_post));
  library.free_hook();

  // A server without the RECORD extension.
  if (!HaveTool("Xvfb")) SKIP_OR_FAIL_IN_CI("Xvfb is not installed (scripts/install-deps.sh)");
  char dir[] = "/tmp/verbat-x11-norecord.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  ASSERT_EQ(std::system(("setsid Xvfb -displayfd 3 -nolisten tcp -noreset -extension RECORD 3>" + d +
                         "/display </dev/null >/dev/null 2>&1 & echo $! >" + d + "/pid")
                            .c_str()),
            0);
  std::string display;
  for (auto until = Clock::now() + 10s; display.empty() && Clock::now() < until;) {
    std::this_thread::sleep_for(50ms);
    std::ifstream in(d + "/display");
    std::getline(in, display);
  }
  if (!display.empty()) {
    setenv("DISPLAY", (":" + display).c_str(), 1);
    EXPECT_FALSE(library.set_hook(&target)) << "no RECORD extension";
  }
  (void)!std::system(("kill $(cat " + d + "/pid); rm -rf " + d).c_str());
  EXPECT_FALSE(display.empty()) << "Xvfb did not start";
  EXPECT_TRUE(window.TakeAll().empty());
  library.Unload();
}

}  // namespace
