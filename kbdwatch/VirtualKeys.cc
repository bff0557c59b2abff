#include "kbdwatch/VirtualKeys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace kbdwatch {
namespace {

struct Entry {
  uint32_t base;
  uint32_t shifted;  // 0: any
  uint16_t code;
};

// Every key with a code except the runs of letters, digits, function keys and keypad digits,
// which are computed. Where several keys carry one code, the first is the usual one.
constexpr Entry kEntries[] = {
    {XK_BackSpace, 0, 0x08},
    {XK_Tab, 0, 0x09},
    {XK_ISO_Left_Tab, 0, 0x09},  // Tab's base level on some layouts
    {XK_Clear, 0, 0x0C},
    {XK_KP_Begin, 0, 0x0C},  // keypad 5 without NumLock
    {XK_Return, 0, 0x0D},
    {XK_KP_Enter, 0, 0x0D},
    {XK_Pause, 0, 0x13},
    {XK_Cancel, 0, 0x03},
    {XK_Escape, 0, 0x1B},
    {XK_space, 0, 0x20},
    {XK_Prior, 0, 0x21},
    {XK_KP_Prior, 0, 0x21},
    {XK_Next, 0, 0x22},
    {XK_KP_Next, 0, 0x22},
    {XK_End, 0, 0x23},
    {XK_KP_End, 0, 0x23},
    {XK_Home, 0, 0x24},
    {XK_KP_Home, 0, 0x24},
    {XK_Left, 0, 0x25},
    {XK_KP_Left, 0, 0x25},
    {XK_Up, 0, 0x26},
    {XK_KP_Up, 0, 0x26},
    {XK_Right, 0, 0x27},
    {XK_KP_Right, 0, 0x27},
    {XK_Down, 0, 0x28},
    {XK_KP_Down, 0, 0x28},
    {XK_Select, 0, 0x29},
    {XK_Execute, 0, 0x2B},
    {XK_Print, 0, 0x2C},
    {XK_Insert, 0, 0x2D},
    {XK_KP_Insert, 0, 0x2D},
    {XK_Delete, 0, 0x2E},
    {XK_KP_Delete, 0, 0x2E},
    {XK_Help, 0, 0x2F},
    {XK_Super_L, 0, 0x5B},
    {XK_Super_R, 0, 0x5C},
    {XK_Menu, 0, 0x5D},
    {XK_KP_Multiply, 0, 0x6A},
    {XK_KP_Add, 0, 0x6B},
    {XK_KP_Separator, 0, 0x6C},
    {XK_KP_Subtract, 0, 0x6D},
    {XK_KP_Decimal, 0, 0x6E},
    {XK_KP_Divide, 0, 0x6F},
    {XK_Num_Lock, 0, 0x90},
    {XK_Scroll_Lock, 0, 0x91},
    // Left and right modifier keys report the generic code, as the hot-key table stores it.
    {XK_Shift_L, 0, 0x10},
    {XK_Shift_R, 0, 0x10},
    {XK_Control_L, 0, 0x11},
    {XK_Control_R, 0, 0x11},
    {XK_Alt_L, 0, 0x12},
    {XK_Alt_R, 0, 0x12},
    {XK_Meta_L, 0, 0x12},
    {XK_Meta_R, 0, 0x12},
    {XK_ISO_Level3_Shift, 0, 0x12},  // the right Alt key of layouts that make it AltGr
    // The Japanese layout's CapsLock key is 英数 over CapsLock; a US layout's is CapsLock.
    {XK_Eisu_toggle, 0, 0xF0},
    {XK_Caps_Lock, 0, 0xF0},
    {XK_Muhenkan, 0, 0x1D},
    {XK_Henkan_Mode, 0, 0x1C},
    {XK_Hiragana_Katakana, 0, 0xF2},
    {XK_Zenkaku_Hankaku, 0, 0xF3},
    // Punctuation, by the label of the key's base level.
    {XK_minus, 0, 0xBD},
    {XK_asciicircum, 0, 0xDE},
    {XK_apostrophe, 0, 0xDE},             // US
    {XK_backslash, XK_underscore, 0xE2},  // "ろ": backslash over underscore (Japanese layout)
    {XK_backslash, 0, 0xDC},  // the yen key (backslash over bar), or a US layout's backslash
    {XK_yen, 0, 0xDC},
    {XK_at, 0, 0xC0},
    {XK_grave, 0, 0xC0},  // US
    {XK_bracketleft, 0, 0xDB},
    {XK_semicolon, 0, 0xBB},
    {XK_colon, 0, 0xBA},
    {XK_bracketright, 0, 0xDD},
    {XK_comma, 0, 0xBC},
    {XK_period, 0, 0xBE},
    {XK_slash, 0, 0xBF},
    {XK_kana_RO, 0, 0xE2},  // the "ろ" key on the kana layout
    {XK_less, 0, 0xE2},     // the extra key beside the left Shift of 102/105-key keyboards
    // Media keys.
    {XF86XK_AudioMute, 0, 0xAD},
    {XF86XK_AudioLowerVolume, 0, 0xAE},
    {XF86XK_AudioRaiseVolume, 0, 0xAF},
    {XF86XK_AudioNext, 0, 0xB0},
    {XF86XK_AudioPrev, 0, 0xB1},
    {XF86XK_AudioStop, 0, 0xB2},
    {XF86XK_AudioPlay, 0, 0xB3},
};

constexpr uint32_t kFunctionKeys = 24;  // F1..F24: 0x70..0x87

uint16_t ComputedCode(uint32_t keysym) {
  if (keysym >= XK_a && keysym <= XK_z) return static_cast<uint16_t>(0x41 + (keysym - XK_a));
  if (keysym >= XK_A && keysym <= XK_Z) return static_cast<uint16_t>(0x41 + (keysym - XK_A));
  if (keysym >= XK_0 && keysym <= XK_9) return static_cast<uint16_t>(0x30 + (keysym - XK_0));
  if (keysym >= XK_KP_0 && keysym <= XK_KP_9)
    return static_cast<uint16_t>(0x60 + (keysym - XK_KP_0));
  if (keysym >= XK_F1 && keysym < XK_F1 + kFunctionKeys) {
    return static_cast<uint16_t>(0x70 + (keysym - XK_F1));
  }
  return 0;
}

}  // namespace

uint16_t VirtualKeyFromKeysyms(uint32_t base, uint32_t shifted) {
  if (uint16_t code = ComputedCode(base); code != 0) return code;
  const Entry* any = nullptr;
  for (const Entry& e : kEntries) {
    if (e.base != base) continue;
    if (e.shifted == 0) {
      if (any == nullptr) any = &e;
    } else if (e.shifted == shifted) {
      return e.code;
    }
  }
  return any != nullptr ? any->code : 0;
}

std::vector<KeyLevels> KeysymsOfVirtualKey(uint16_t code) {
  std::vector<KeyLevels> keys;
  if (code >= 0x41 && code <= 0x5A) {
    keys.push_back({XK_a + (code - 0x41u), XK_A + (code - 0x41u)});
  } else if (code >= 0x30 && code <= 0x39) {
    keys.push_back({XK_0 + (code - 0x30u), 0});
  } else if (code >= 0x60 && code <= 0x69) {
    keys.push_back({XK_KP_0 + (code - 0x60u), 0});
  } else if (code >= 0x70 && code < 0x70 + kFunctionKeys) {
    keys.push_back({XK_F1 + (code - 0x70u), 0});
  }
  for (const Entry& e : kEntries) {
    if (e.code == code) keys.push_back({e.base, e.shifted});
  }
  return keys;
}

bool IsKeypadKeysym(uint32_t keysym) {
  return keysym >= XK_KP_Space && keysym <= XK_KP_Equal;
}

}  // namespace kbdwatch
