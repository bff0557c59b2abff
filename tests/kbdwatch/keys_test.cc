// The keysym / virtual-key table, the keyboard-mapping lookup and the key-state tracking, without
// an X server (the X11 test covers the common keys on real layouts).
#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kbdwatch/KbdWatch.h"
#include "kbdwatch/KeyTracker.h"
#include "kbdwatch/VirtualKeys.h"

namespace kbdwatch {
namespace {

TEST(KbdWatchVirtualKeys, EveryAssignableCodeHasAKeyThatMapsBack) {
  std::vector<uint16_t> codes = {0xF0, 0x91, 0x08, 0x1B, 0x30, 0xBD, 0xDE, 0xDC, 0xC0, 0xDB, 0xBB,
                                 0xBA, 0xDD, 0xBC, 0xBE, 0xBF, 0xE2, 0x20, 0x2D, 0x24, 0x21, 0x2E,
                                 0x23, 0x22, 0x25, 0x26, 0x27, 0x28, 0x1D, 0x10, 0x11, 0x12};
  for (uint16_t c = 0x70; c <= 0x7B; ++c) codes.push_back(c);  // F1-F12
  for (uint16_t c = 0x41; c <= 0x5A; ++c) codes.push_back(c);  // A-Z
  for (uint16_t c = 0x31; c <= 0x39; ++c) codes.push_back(c);  // 1-9
  ASSERT_EQ(codes.size(), 79u);
  for (uint16_t code : codes) {
    const std::vector<KeyLevels> keys = KeysymsOfVirtualKey(code);
    ASSERT_FALSE(keys.empty()) << std::hex << code;
    for (const KeyLevels& k : keys) {
      EXPECT_EQ(VirtualKeyFromKeysyms(k.base, k.shifted), code)
          << std::hex << "code " << code << " keysym " << k.base << "/" << k.shifted;
    }
  }
  EXPECT_TRUE(KeysymsOfVirtualKey(0x07).empty());
}

TEST(KbdWatchVirtualKeys, KeysAreNamedByTheirFirstTwoLevels) {
  struct Case {
    uint32_t base, shifted;
    uint16_t code;
  } const cases[] = {
      {XK_backslash, XK_underscore, 0xE2},  // "ろ" (jp)
      {XK_backslash, XK_bar, 0xDC},         // the yen key (jp), backslash (us)
      {XK_semicolon, XK_plus, 0xBB},        // jp
      {XK_semicolon, XK_colon, 0xBB},       // us
      {XK_apostrophe, XK_quotedbl, 0xDE},   // us
      {XK_grave, XK_asciitilde, 0xC0},      // us
      {XK_equal, XK_plus, 0},
      {XK_Eisu_toggle, XK_Caps_Lock, 0xF0},
      {XK_Caps_Lock, 0, 0xF0},
      {XK_2, XK_quotedbl, 0x32},
      {XK_Shift_R, 0, 0x10},
      {XK_Control_R, 0, 0x11},
      {XK_Alt_R, XK_Meta_R, 0x12},
      {XK_ISO_Level3_Shift, 0, 0x12},
      {XK_F24, 0, 0x87},
      {XK_KP_1, 0, 0x61},
      {XF86XK_AudioPlay, 0, 0xB3},
      {XK_Cyrillic_ef, XK_Cyrillic_EF, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VirtualKeyFromKeysyms(c.base, c.shifted), c.code)
        << std::hex << "keysyms " << c.base << "/" << c.shifted;
  }
}

TEST(KbdWatchKeyboardMap, GroupNumLockAndUnknownKeycodes) {
  constexpr uint16_t kNumLock = 0x10, kSecondGroup = 1 << 13, kShift = 0x01;
  // Four columns (two groups of two levels), keycodes from 8.
  std::vector<uint32_t> syms(4 * 100, 0);
  auto set = [&](int keycode, std::vector<uint32_t> levels) {
    std::copy(levels.begin(), levels.end(), syms.begin() + (keycode - 8) * 4);
  };
  set(11, {XK_2, XK_quotedbl, XK_2, XK_quotedbl});
  set(38, {XK_a, XK_A, XK_Cyrillic_ef, XK_Cyrillic_EF});
  set(47, {XK_semicolon, XK_plus, XK_Cyrillic_zhe, XK_Cyrillic_ZHE});
  set(87, {XK_KP_End, XK_KP_1});
  const KeyboardMap map(8, 4, syms, kNumLock);
  struct Case {
    uint8_t keycode;
    uint16_t state, code;
  } const cases[] = {
      {11, kShift, 0x32},
      {38, kSecondGroup, 0x41},  // Cyrillic ef has no code: the first group's "a"
      {47, kSecondGroup, 0xBB},
      {87, 0, 0x23},  // keypad 1 without NumLock is End
      {87, kNumLock, 0x61},
      {12, 0, 0},   // no symbols
      {5, 0, 0},    // below the first keycode
      {200, 0, 0},  // beyond the mapping
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map.VirtualKey(c.keycode, c.state), c.code)
        << "keycode " << int(c.keycode) << " state " << std::hex << c.state;
  }
  EXPECT_EQ(KeyboardMap(8, 4, syms, 0).VirtualKey(87, kNumLock), 0x23) << "no key is NumLock";
}

TEST(KbdWatchKeyTracker, WhatX11CannotShow) {
  KeyTracker t;
  // A modifier pressed during another key's auto-repeat: the repeat carries it, the release
  // repeats the last press; Alt sets the context bit.
  ASSERT_TRUE(t.Press(38, 0x41));
  std::optional<KeyReport> r = t.Press(64, 0x12);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->wparam, 0x12u | 16u << 16);
  EXPECT_EQ(r->lparam, 1u | (64u - 8) << 16 | 1u << 29);
  r = t.Press(38, 0x41);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->wparam, 0x41u | 16u << 16);
  EXPECT_EQ(r->lparam & (1u << 30 | 1u << 29 | KBDWATCH_KEY_UP_FLAG), 1u << 30 | 1u << 29);
  ASSERT_TRUE(t.Release(64));
  EXPECT_EQ(t.Modifiers(), 0);
  r = t.Release(38);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->wparam, 0x41u | 16u << 16);
  EXPECT_EQ(r->lparam & (1u << 30 | KBDWATCH_KEY_UP_FLAG), 1u << 30 | KBDWATCH_KEY_UP_FLAG);
  // A key without a code, and the release of a key held before the watch began: nothing.
  EXPECT_FALSE(t.Press(120, 0));
  EXPECT_FALSE(t.Release(120));
  EXPECT_FALSE(t.Release(65));
}

}  // namespace
}  // namespace kbdwatch
