// The system-wide key watch on X11, through the RECORD extension.
//
// Two connections to the display: the data connection carries the recording (the server's
// copy of every key press and release, auto-repeat included, whichever client has the focus)
// and is blocked by it; the control connection creates and stops the recording and reads the
// keyboard mapping (again whenever the server announces a new one). One thread owns both after
// the start; it learns of the stop from an eventfd, its only message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "kbdwatch/KbdWatch.h"
#include "kbdwatch/KeyTracker.h"

struct xcb_connection_t;

namespace kbdwatch {

class X11Watcher {
 public:
  // Connects to the display named by DISPLAY, starts the recording and the thread; reports
  // arrive at `window` from then on. Null with the reason in `error` when that is impossible.
  static std::unique_ptr<X11Watcher> Start(const KbdWatchWindow& window, std::string* error);

  // Stops the recording and joins the thread: no report is made after it returns.
  ~X11Watcher();

  X11Watcher(const X11Watcher&) = delete;
  X11Watcher& operator=(const X11Watcher&) = delete;

  // Whether the caller is the watcher's own thread (inside the post function).
  bool OnWatcherThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // From the watcher's own thread: make no more reports; the thread ends once the post function
  // returns (the destructor then need not wait for it).
  void StopFromWatcherThread() { stopped_here_ = true; }

 private:
  X11Watcher(const KbdWatchWindow& window);
  bool Connect(std::string* error);
  bool LoadKeyboardMap();
  void Run();
  // Hands on every reply the data connection holds; false when the recording has ended.
  bool DrainRecording();
  void DrainControlEvents();
  void HandleKeyEvent(const uint8_t* event);
  void Shutdown();

  KbdWatchWindow window_;
  uint32_t message_;
  xcb_connection_t* control_ = nullptr;
  xcb_connection_t* data_ = nullptr;
  uint32_t context_ = 0;
  unsigned enable_sequence_ = 0;
  int stop_fd_ = -1;
  std::thread thread_;

  // Touched by the watcher thread only (by Connect before it starts).
  KeyboardMap map_;
  KeyTracker tracker_;
  bool stopped_here_ = false;
};

}  // namespace kbdwatch
