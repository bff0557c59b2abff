#include "kbdwatch/X11Watcher.h"

#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kbdwatch {
namespace {

// Reply categories of a recording.
constexpr uint8_t kFromServer = 0;
constexpr uint8_t kEndOfData = 5;
constexpr int kWireEventSize = 32;

// How long the stop waits for the server to confirm the recording's end before it drops the
// connections anyway (closing them ends the recording on the server's side too).
constexpr auto kStopWait = std::chrono::seconds(1);

std::string DisplayName() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr ? name : "";
}

}  // namespace

X11Watcher::X11Watcher(const KbdWatchWindow& window)
    : window_(window), message_(KbdWatchRegisterMessage(KBDWATCH_HOOK_MESSAGE_NAME)) {}

std::unique_ptr<X11Watcher> X11Watcher::Start(const KbdWatchWindow& window, std::string* error) {
  std::unique_ptr<X11Watcher> watcher(new X11Watcher(window));
  if (!watcher->Connect(error)) return nullptr;
  watcher->thread_ = std::thread(&X11Watcher::Run, watcher.get());
  return watcher;
}

bool X11Watcher::Connect(std::string* error) {
  const std::string display = DisplayName();
  if (display.empty()) {
    *error = "DISPLAY が設定されていません (X11 のない Wayland セッションなど)";
    return false;
  }
  control_ = xcb_connect(nullptr, nullptr);
  data_ = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(control_) || xcb_connection_has_error(data_)) {
    *error = "X11 ディスプレイ \"" + display + "\" に接続できません";
    return false;
  }
  const xcb_query_extension_reply_t* record = xcb_get_extension_data(control_, &xcb_record_id);
  if (record == nullptr || !record->present) {
    *error = "X11 ディスプレイ \"" + display + "\" に RECORD 拡張がありません";
    return false;
  }
  xcb_record_query_version_reply_t* version = xcb_record_query_version_reply(
      control_,
      xcb_record_query_version(control_, XCB_RECORD_MAJOR_VERSION, XCB_RECORD_MINOR_VERSION),
      nullptr);
  if (version == nullptr) {
    *error = "RECORD 拡張の版を確認できません";
    return false;
  }
  std::free(version);
  if (!LoadKeyboardMap()) {
    *error = "キーボード配列を読めません";
    return false;
  }

  // Key presses and releases as the server processes them: every device, every client, the
  // server's auto-repeat included; nothing is taken away from the focused application.
  context_ = xcb_generate_id(control_);
  xcb_record_range_t range{};
  range.device_events.first = XCB_KEY_PRESS;
  range.device_events.last = XCB_KEY_RELEASE;
  xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
  xcb_generic_error_t* failure = xcb_request_check(
      control_, xcb_record_create_context_checked(control_, context_, 0, 1, 1, &clients, &range));
  if (failure != nullptr) {
    *error = "RECORD の記録を作れません (X エラー " + std::to_string(failure->error_code) + ")";
    std::free(failure);
    context_ = 0;
    return false;
  }

  // The first reply says that the recording runs: only then is every later key seen.
  xcb_record_enable_context_cookie_t enable = xcb_record_enable_context(data_, context_);
  enable_sequence_ = enable.sequence;
  xcb_generic_error_t* enable_error = nullptr;
  xcb_record_enable_context_reply_t* start =
      xcb_record_enable_context_reply(data_, enable, &enable_error);
  if (start == nullptr) {
    *error = "RECORD の記録を始められません";
    std::free(enable_error);
    return false;
  }
  std::free(start);

  stop_fd_ = eventfd(0, EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool X11Watcher::LoadKeyboardMap() {
  const xcb_setup_t* setup = xcb_get_setup(control_);
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  xcb_get_keyboard_mapping_cookie_t keys_cookie =
      xcb_get_keyboard_mapping(control_, setup->min_keycode, count);
  xcb_get_modifier_mapping_cookie_t mods_cookie = xcb_get_modifier_mapping(control_);
  xcb_get_keyboard_mapping_reply_t* keys =
      xcb_get_keyboard_mapping_reply(control_, keys_cookie, nullptr);
  xcb_get_modifier_mapping_reply_t* mods =
      xcb_get_modifier_mapping_reply(control_, mods_cookie, nullptr);
  bool ok = keys != nullptr && mods != nullptr;
  if (ok) {
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(keys);
    std::vector<uint32_t> keysyms(syms, syms + xcb_get_keyboard_mapping_keysyms_length(keys));
    const uint8_t per = keys->keysyms_per_keycode;

    // NumLock's modifier bit: the modifier whose keys include one carrying Num_Lock.
    uint16_t numlock_mask = 0;
    const xcb_keycode_t* mod_keys = xcb_get_modifier_mapping_keycodes(mods);
    for (unsigned mod = 0; mod < 8; ++mod) {
      for (unsigned i = 0; i < mods->keycodes_per_modifier; ++i) {
        xcb_keycode_t keycode = mod_keys[mod * mods->keycodes_per_modifier + i];
        if (keycode < setup->min_keycode) continue;
        size_t first = static_cast<size_t>(keycode - setup->min_keycode) * per;
        for (unsigned level = 0; level < per && first + level < keysyms.size(); ++level) {
          if (keysyms[first + level] == XK_Num_Lock)
            numlock_mask |= static_cast<uint16_t>(1u << mod);
        }
      }
    }
    map_ = KeyboardMap(setup->min_keycode, per, std::move(keysyms), numlock_mask);
  }
  std::free(keys);
  std::free(mods);
  return ok;
}

void X11Watcher::Run() {
  for (;;) {
    // The control connection first: a new keyboard mapping the server announced before a key
    // event must be in place when that event is read.
    DrainControlEvents();
    // A server that went away (the session ended) ends the watch; so would a lost control
    // connection, whose hang-up would otherwise wake poll() for ever.
    if (xcb_connection_has_error(control_) || !DrainRecording() || stopped_here_) break;
    pollfd fds[3] = {{xcb_get_file_descriptor(control_), POLLIN, 0},
                     {xcb_get_file_descriptor(data_), POLLIN, 0},
                     {stop_fd_, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
    if (fds[2].revents != 0) break;
  }
  Shutdown();
}

void X11Watcher::DrainControlEvents() {
  bool remap = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(control_)) {
    // The server sends MappingNotify to every client when the keyboard or modifier mapping
    // changes (setxkbmap, xmodmap, a keyboard plugged in).
    if ((event->response_type & 0x7F) == XCB_MAPPING_NOTIFY) remap = true;
    std::free(event);
  }
  if (remap) LoadKeyboardMap();  // on failure the previous mapping stays
}

bool X11Watcher::DrainRecording() {
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!xcb_poll_for_reply(data_, enable_sequence_, &reply, &error)) {
      return !xcb_connection_has_error(data_);
    }
    if (reply == nullptr) {  // an error, or the recording is over
      std::free(error);
      return false;
    }
    auto* record = static_cast<xcb_record_enable_context_reply_t*>(reply);
    const bool ended = record->category == kEndOfData;
    if (record->category == kFromServer) {
      const uint8_t* bytes = xcb_record_enable_context_data(record);
      const int length = xcb_record_enable_context_data_length(record);
      for (int at = 0; at + kWireEventSize <= length && !stopped_here_; at += kWireEventSize) {
        HandleKeyEvent(bytes + at);
      }
    }
    std::free(reply);
    if (ended) return false;
  }
}

void X11Watcher::HandleKeyEvent(const uint8_t* bytes) {
  xcb_key_press_event_t event;
  std::memcpy(&event, bytes, sizeof event);
  std::optional<KeyReport> report;
  switch (event.response_type & 0x7F) {
    case XCB_KEY_PRESS:
      report = tracker_.Press(event.detail, map_.VirtualKey(event.detail, event.state));
      break;
    case XCB_KEY_RELEASE:
      report = tracker_.Release(event.detail);
      break;
    default:
      return;
  }
  if (report) {
    window_.post(window_.context, message_, report->wparam,
                 static_cast<intptr_t>(report->lparam));  // zero-extended: bit 31 stays bit 31
  }
}

void X11Watcher::Shutdown() {
  if (control_ == nullptr) return;
  if (context_ != 0 && !xcb_connection_has_error(control_) && !xcb_connection_has_error(data_)) {
    xcb_record_disable_context(control_, context_);
    xcb_flush(control_);
    // The data connection is blocked until the server sends the end of the recording.
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    stopped_here_ = true;  // keys still in flight are not reported
    while (DrainRecording()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd fd{xcb_get_file_descriptor(data_), POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    }
  }
  if (context_ != 0 && !xcb_connection_has_error(control_)) {
    xcb_record_free_context(control_, context_);
    xcb_flush(control_);
  }
  xcb_disconnect(data_);
  xcb_disconnect(control_);
  data_ = nullptr;
  control_ = nullptr;
}

X11Watcher::~X11Watcher() {
  if (thread_.joinable()) {
    if (stop_fd_ >= 0) {
      uint64_t one = 1;
      (void)!write(stop_fd_, &one, sizeof one);
    }
    thread_.join();
  }
  // A failed start leaves the connections open; a finished thread has closed them.
  if (control_ != nullptr || data_ != nullptr) {
    if (control_ != nullptr) xcb_disconnect(control_);
    if (data_ != nullptr) xcb_disconnect(data_);
  }
  if (stop_fd_ >= 0) close(stop_fd_);
}

}  // namespace kbdwatch
