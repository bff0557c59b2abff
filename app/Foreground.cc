#include "app/Foreground.h"

#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>

namespace app {
namespace {

xcb_connection_t* Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_window_t Root(xcb_connection_t* connection) {
  return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

// _NET_ACTIVE_WINDOW for `window`: source 2 is a pager's request, which window managers honour
// even when they would refuse an application taking the focus for itself.
void RequestActivation(xcb_connection_t* connection, xcb_window_t window) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = Atom(connection, "_NET_ACTIVE_WINDOW");
  event.data.data32[0] = 2;
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection, 0, Root(connection),
                 XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&event));
  xcb_flush(connection);
}

}  // namespace

ForegroundWindow ForegroundWindow::Active() {
  ForegroundWindow active;
  xcb_connection_t* connection = Connection();
  if (connection == nullptr) return active;
  const xcb_atom_t property = Atom(connection, "_NET_ACTIVE_WINDOW");
  if (property == XCB_ATOM_NONE) return active;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      connection,
      xcb_get_property(connection, 0, Root(connection), property, XCB_ATOM_WINDOW, 0, 1), nullptr);
  if (reply != nullptr && xcb_get_property_value_length(reply) >= 4) {
    active.id_ = *static_cast<const uint32_t*>(xcb_get_property_value(reply));
  }
  std::free(reply);
  return active;
}

bool ForegroundWindow::BelongsToThisProgram() const {
  if (IsNone()) return true;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->internalWinId() == id_) return true;
  }
  return false;
}

void ForegroundWindow::Activate() const {
  xcb_connection_t* connection = Connection();
  if (connection != nullptr && !IsNone()) RequestActivation(connection, id_);
}

void BringForward(QWidget* window) {
  window->raise();
  window->activateWindow();
  if (xcb_connection_t* connection = Connection(); connection != nullptr && window->isVisible()) {
    RequestActivation(connection, static_cast<xcb_window_t>(window->winId()));
  }
}

}  // namespace app
