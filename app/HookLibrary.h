// The keyboard-watch library as the main window uses it: loaded by name at start-up, its three
// exports looked up, the hook set for the window; freed and unloaded when the window goes.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "kbdwatch/KbdWatch.h"

namespace app {

class HookLibrary {
 public:
  // Where start-up stopped; each failure has its message for the user.
  enum class Failure { kNone, kLoad, kGetHookMsgString, kSetHookMissing, kSetHookFalse };

  HookLibrary() = default;
  ~HookLibrary();
  HookLibrary(const HookLibrary&) = delete;
  HookLibrary& operator=(const HookLibrary&) = delete;

  // Loads `file` through the system's library search (the program's run path points to the
  // folder it is installed in; a path with a "/" is taken as it is), checks the exports in the
  // order the start-up checks them, and sets the hook reporting to `window`.
  Failure Load(const std::string& file, const KbdWatchWindow& window);
  // The registered number of the hook message.
  uint32_t HookMessage() const { return hook_message_; }
  bool HookSet() const { return hook_set_; }
  // FreeHook (if the hook was set) and unload; afterwards no report is made any more.
  void Unload();

  static QString MessageFor(Failure failure);

 private:
  void* handle_ = nullptr;
  bool hook_set_ = false;
  uint32_t hook_message_ = KbdWatchRegisterMessage(KBDWATCH_HOOK_MESSAGE_NAME);
};

}  // namespace app
