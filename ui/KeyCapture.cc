#include "ui/KeyCapture.h"

#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "app/HotKeys.h"
#include "kbdwatch/KeyTracker.h"
#include "kbdwatch/VirtualKeys.h"

namespace ui {
namespace {

// Qt keys outside Latin-1 and the X keysyms of the keys that carry them. Latin-1 keys share
// their numbers with their keysyms and need no row.
struct QtKeysym {
  int qt_key;
  uint32_t keysym;
};
constexpr QtKeysym kSpecialKeys[] = {
    {Qt::Key_Escape, XK_Escape},
    {Qt::Key_Tab, XK_Tab},
    {Qt::Key_Backtab, XK_ISO_Left_Tab},
    {Qt::Key_Backspace, XK_BackSpace},
    {Qt::Key_Return, XK_Return},
    {Qt::Key_Enter, XK_KP_Enter},
    {Qt::Key_Insert, XK_Insert},
    {Qt::Key_Delete, XK_Delete},
    {Qt::Key_Pause, XK_Pause},
    {Qt::Key_Print, XK_Print},
    {Qt::Key_Clear, XK_Clear},
    {Qt::Key_Home, XK_Home},
    {Qt::Key_End, XK_End},
    {Qt::Key_Left, XK_Left},
    {Qt::Key_Up, XK_Up},
    {Qt::Key_Right, XK_Right},
    {Qt::Key_Down, XK_Down},
    {Qt::Key_PageUp, XK_Prior},
    {Qt::Key_PageDown, XK_Next},
    {Qt::Key_Shift, XK_Shift_L},
    {Qt::Key_Control, XK_Control_L},
    {Qt::Key_Alt, XK_Alt_L},
    {Qt::Key_AltGr, XK_ISO_Level3_Shift},
    {Qt::Key_Meta, XK_Super_L},
    {Qt::Key_Super_L, XK_Super_L},
    {Qt::Key_Super_R, XK_Super_R},
    {Qt::Key_Menu, XK_Menu},
    {Qt::Key_CapsLock, XK_Caps_Lock},
    {Qt::Key_NumLock, XK_Num_Lock},
    {Qt::Key_ScrollLock, XK_Scroll_Lock},
    {Qt::Key_Muhenkan, XK_Muhenkan},
    {Qt::Key_Henkan, XK_Henkan_Mode},
    {Qt::Key_Hiragana_Katakana, XK_Hiragana_Katakana},
    {Qt::Key_Zenkaku_Hankaku, XK_Zenkaku_Hankaku},
    {Qt::Key_Eisu_toggle, XK_Eisu_toggle},
};

constexpr int kFunctionKeys = 24;  // F1..F24, as far as the keyboard watch's codes go
constexpr int kF10 = 0x79;

void free_reply(void* reply) {
  std::free(reply);
}
template <class T>
using Reply = std::unique_ptr<T, decltype(&free_reply)>;

// The key and the Shift/Ctrl/Alt bits of an X key event, from the server's current core
// keyboard and modifier mappings, as the keyboard watch computes them. nullopt when the event
// did not come from an X server.
std::optional<KeyCombination> FromX11(const QKeyEvent& event) {
  const uint32_t keycode = event.nativeScanCode();
  if (keycode == 0 || keycode > 255) return std::nullopt;
  auto* x11 =
      qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
  if (connection == nullptr) return std::nullopt;

  // Asked afresh at each press: a press in the dialog is rare, and the mapping may have changed
  // (another layout) since the last one.
  const xcb_setup_t* setup = xcb_get_setup(connection);
  const uint8_t min_keycode = setup->min_keycode;
  const auto count = static_cast<uint8_t>(setup->max_keycode - min_keycode + 1);
  const xcb_get_keyboard_mapping_cookie_t keys_cookie =
      xcb_get_keyboard_mapping(connection, min_keycode, count);
  const xcb_get_modifier_mapping_cookie_t mods_cookie = xcb_get_modifier_mapping(connection);
  Reply<xcb_get_keyboard_mapping_reply_t> keys(
      xcb_get_keyboard_mapping_reply(connection, keys_cookie, nullptr), free_reply);
  Reply<xcb_get_modifier_mapping_reply_t> mods(
      xcb_get_modifier_mapping_reply(connection, mods_cookie, nullptr), free_reply);
  if (!keys || !mods) return std::nullopt;

  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(keys.get());
  std::vector<uint32_t> keysyms(syms, syms + xcb_get_keyboard_mapping_keysyms_length(keys.get()));
  const uint8_t per = keys->keysyms_per_keycode;
  const xcb_keycode_t* mod_keys = xcb_get_modifier_mapping_keycodes(mods.get());
  const unsigned per_modifier = mods->keycodes_per_modifier;

  uint16_t numlock_mask = 0;
  for (unsigned mod = 0; mod < 8; ++mod) {
    for (unsigned i = 0; i < per_modifier; ++i) {
      const xcb_keycode_t k = mod_keys[mod * per_modifier + i];
      if (k < min_keycode) continue;
      const size_t first = static_cast<size_t>(k - min_keycode) * per;
      for (unsigned level = 0; level < per && first + level < keysyms.size(); ++level) {
        if (keysyms[first + level] == XK_Num_Lock) numlock_mask |= static_cast<uint16_t>(1u << mod);
      }
    }
  }
  const kbdwatch::KeyboardMap map(min_keycode, per, std::move(keysyms), numlock_mask);
  const auto state = static_cast<uint16_t>(event.nativeModifiers());

  KeyCombination combination;
  combination.key = map.VirtualKey(static_cast<uint8_t>(keycode), state);
  // A modifier bit of the state counts when one of its keys is a Shift, Ctrl or Alt key (AltGr
  // and Meta carry Alt's code), whichever modifier the layout binds it to: the watch counts the
  // same keys.
  for (unsigned mod = 0; mod < 8; ++mod) {
    if ((state & (1u << mod)) == 0) continue;
    for (unsigned i = 0; i < per_modifier; ++i) {
      const xcb_keycode_t k = mod_keys[mod * per_modifier + i];
      if (k == 0) continue;
      switch (map.VirtualKey(k, state)) {
        case 0x10:
          combination.modifier |= app::kModifierShift;
          break;
        case 0x11:
          combination.modifier |= app::kModifierCtrl;
          break;
        case 0x12:
          combination.modifier |= app::kModifierAlt;
          break;
        default:
          break;
      }
    }
  }
  return combination;
}

}  // namespace

uint32_t KeysymOfQtKey(int qt_key) {
  // Latin-1 keys (space, digits, letters, punctuation, the yen sign) are their own keysyms.
  if (qt_key >= 0x20 && qt_key <= 0xFF) return static_cast<uint32_t>(qt_key);
  if (qt_key >= Qt::Key_F1 && qt_key < Qt::Key_F1 + kFunctionKeys) {
    return XK_F1 + static_cast<uint32_t>(qt_key - Qt::Key_F1);
  }
  for (const QtKeysym& k : kSpecialKeys) {
    if (k.qt_key == qt_key) return k.keysym;
  }
  return 0;
}

KeyCombination CaptureKeyPress(const QKeyEvent& event) {
  KeyCombination result;
  if (const std::optional<KeyCombination> x11 = FromX11(event)) {
    result = *x11;
  } else {
    result.key = kbdwatch::VirtualKeyFromKeysyms(KeysymOfQtKey(event.key()));
    const Qt::KeyboardModifiers held = event.modifiers();
    if (held & Qt::ShiftModifier) result.modifier |= app::kModifierShift;
    if (held & Qt::ControlModifier) result.modifier |= app::kModifierCtrl;
    if (held & (Qt::AltModifier | Qt::GroupSwitchModifier)) result.modifier |= app::kModifierAlt;
  }
  // A modifier key counts itself, as the keyboard watch counts it at its own press.
  switch (result.key) {
    case 0x10:
      result.modifier |= app::kModifierShift;
      break;
    case 0x11:
      result.modifier |= app::kModifierCtrl;
      break;
    case 0x12:
      result.modifier |= app::kModifierAlt;
      break;
    // F10 is stored as Alt+F10 whether or not Alt was held, as the key page has always stored
    // it; the box shows it so.
    case kF10:
      result.modifier |= app::kModifierAlt;
      break;
    default:
      break;
  }
  return result;
}

}  // namespace ui
