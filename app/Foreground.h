// The window the user is typing in, and handing the focus back to it. On X11 the window manager
// names the active window (_NET_ACTIVE_WINDOW on the root window) and activates the one a
// client asks for; without X11, or without a window manager, these do nothing.
#pragma once

#include <cstdint>

class QWidget;

namespace app {

class ForegroundWindow {
 public:
  // The active window now; none without X11 or a window manager.
  static ForegroundWindow Active();

  bool IsNone() const { return id_ == 0; }
  uint32_t Id() const { return id_; }
  // Whether it is one of this program's windows (or none): then there is nothing to give back.
  bool BelongsToThisProgram() const;
  // Asks the window manager to activate it, as a pager would, which focus-stealing prevention
  // lets through.
  void Activate() const;

 private:
  uint32_t id_ = 0;
};

// Raises `window` and makes it the active window.
void BringForward(QWidget* window);

}  // namespace app
