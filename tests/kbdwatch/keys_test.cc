// The keysym / virtual-key table, the keyboard-mapping lookup and the key-state tracking, without
// an X server: what the watcher reports for a given key, and what the options dialog will store.
#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <vector>

#include "kbdwatch/KbdWatch.h"
#include "kbdwatch/KeyTracker.h"
#include "kbdwatch/VirtualKeys.h"

namespace kbdwatch {
namespace {

// The 79 keys the hot-key table can hold.
std::vector<uint16_t> AssignableCodes() {
  std::vector<uint16_t> codes = {0xF0, 0x91, 0x08, 0x1B};
  for (uint16_t c = 0x70; c <= 0x7B; ++c) codes.push_back(c);
  for (uint16_t c = 0x41; c <= 0x5A; ++c) codes.push_back(c);
  for (uint16_t c = 0x31; c <= 0x39; ++c) codes.push_back(c);
  for (uint16_t c :
       {0x30, 0xBD, 0xDE, 0xDC, 0xC0, 0xDB, 0xBB, 0xBA, 0xDD, 0xBC, 0xBE, 0xBF, 0xE2, 0x20,
        0x2D, 0x24, 0x21, 0x2E, 0x23, 0x22, 0x25, 0x26, 0x27, 0x28, 0x1D, 0x10, 0x11, 0x12}) {
    codes.push_back(c);
  }
  return codes;
}

TEST(KbdWatchVirtualKeys, EveryAssignableCodeHasAKeyThatMapsBack) {
  const std::vector<uint16_t> codes = AssignableCodes();
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

TEST(KbdWatchVirtualKeys, KeysOfTheJapaneseAndUsLayoutsByTheirFirstTwoLevels) {
  struct Case {
    uint32_t base, shifted;
    uint16_t code;
  };
  const Case cases[] = {
      // Japanese layout (jp): the punctuation keys by their labels.
      {XK_minus, XK_equal, 0xBD},
      {XK_asciicircum, XK_asciitilde, 0xDE},
      {XK_backslash, XK_bar, 0xDC},  // the yen key
      {XK_yen, XK_bar, 0xDC},
      {XK_at, XK_grave, 0xC0},
      {XK_bracketleft, XK_braceleft, 0xDB},
      {XK_semicolon, XK_plus, 0xBB},
      {XK_colon, XK_asterisk, 0xBA},
      {XK_bracketright, XK_braceright, 0xDD},
      {XK_comma, XK_less, 0xBC},
      {XK_period, XK_greater, 0xBE},
      {XK_slash, XK_question, 0xBF},
      {XK_backslash, XK_underscore, 0xE2},  // "ろ"
      {XK_kana_RO, 0, 0xE2},
      {XK_Eisu_toggle, XK_Caps_Lock, 0xF0},
      {XK_Muhenkan, 0, 0x1D},
      {XK_Henkan_Mode, 0, 0x1C},
      // US layout: the same labels the same codes; the keys jp lacks their US codes.
      {XK_semicolon, XK_colon, 0xBB},
      {XK_apostrophe, XK_quotedbl, 0xDE},
      {XK_grave, XK_asciitilde, 0xC0},
      {XK_backslash, XK_bar, 0xDC},
      {XK_equal, XK_plus, 0},
      {XK_Caps_Lock, 0, 0xF0},
      // A key is named by its base level: Shift+2 is still "2", Shift+a still "A".
      {XK_2, XK_at, 0x32},
      {XK_2, XK_quotedbl, 0x32},
      {XK_a, XK_A, 0x41},
      {XK_F12, 0, 0x7B},
      {XK_F24, 0, 0x87},
      // Left and right modifiers are the generic codes.
      {XK_Shift_L, 0, 0x10},
      {XK_Shift_R, 0, 0x10},
      {XK_Control_R, 0, 0x11},
      {XK_Alt_R, XK_Meta_R, 0x12},
      {XK_Alt_L, XK_Meta_L, 0x12},
      // The rest of the keyboard, as far as it has a code.
      {XK_Return, 0, 0x0D},
      {XK_Tab, XK_ISO_Left_Tab, 0x09},
      {XK_KP_1, 0, 0x61},
      {XK_KP_Add, 0, 0x6B},
      {XF86XK_AudioPlay, 0, 0xB3},
      {XK_Cyrillic_ef, XK_Cyrillic_EF, 0},
      {0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VirtualKeyFromKeysyms(c.base, c.shifted), c.code)
        << std::hex << "keysyms " << c.base << "/" << c.shifted;
  }
}

// A core keyboard mapping of a few keys, four columns (two groups of two levels), keycodes from 8.
KeyboardMap SmallMap(uint16_t numlock_mask) {
  std::vector<uint32_t> syms(4 * 100, 0);
  auto set = [&](int keycode, std::vector<uint32_t> levels) {
    for (size_t i = 0; i < levels.size(); ++i) syms[(keycode - 8) * 4 + i] = levels[i];
  };
  set(11, {XK_2, XK_quotedbl, XK_2, XK_quotedbl});
  set(38, {XK_a, XK_A, XK_Cyrillic_ef, XK_Cyrillic_EF});
  set(47, {XK_semicolon, XK_plus, XK_Cyrillic_zhe, XK_Cyrillic_ZHE});
  set(87, {XK_KP_End, XK_KP_1});
  set(97, {XK_backslash, XK_underscore});
  set(102, {XK_Muhenkan});
  return KeyboardMap(8, 4, syms, numlock_mask);
}

TEST(KbdWatchKeyboardMap, GroupNumLockAndUnknownKeycodes) {
  constexpr uint16_t kNumLock = 0x10;  // Mod2
  constexpr uint16_t kSecondGroup = 1 << 13;
  constexpr uint16_t kShift = 0x01;
  const KeyboardMap map = SmallMap(kNumLock);
  struct Case {
    uint8_t keycode;
    uint16_t state;
    uint16_t code;
  };
  const Case cases[] = {
      {11, kShift, 0x32},
      {38, 0, 0x41},
      {38, kSecondGroup, 0x41},  // Cyrillic ef has no code: the first group's "a"
      {47, kSecondGroup, 0xBB},
      {87, 0, 0x23},  // keypad 1 without NumLock is End
      {87, kNumLock, 0x61},
      {97, 0, 0xE2},
      {102, 0, 0x1D},
      {12, 0, 0},   // no symbols
      {5, 0, 0},    // below the first keycode
      {200, 0, 0},  // beyond the mapping
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map.VirtualKey(c.keycode, c.state), c.code)
        << "keycode " << int(c.keycode) << " state " << std::hex << c.state;
  }
  EXPECT_EQ(SmallMap(0).VirtualKey(87, kNumLock), 0x23) << "no key is NumLock";
  EXPECT_EQ(KeyboardMap().VirtualKey(38, 0), 0);
}

struct Expected {
  uint16_t code;
  uint16_t modifiers;
  bool up;
  bool was_down;
};

void ExpectReport(const std::optional<KeyReport>& r, Expected e, const char* what) {
  ASSERT_TRUE(r.has_value()) << what;
  EXPECT_EQ(r->wparam & 0xFFFF, e.code) << what;
  EXPECT_EQ(r->wparam >> 16, e.modifiers) << what;
  EXPECT_EQ((r->lparam & KBDWATCH_KEY_UP_FLAG) != 0, e.up) << what;
  EXPECT_EQ((r->lparam & (1u << 30)) != 0, e.was_down) << what;
  EXPECT_EQ((r->lparam & (1u << 29)) != 0, (e.modifiers & KBDWATCH_MOD_ALT) != 0) << what;
  EXPECT_EQ(r->lparam & 0xFFFF, 1u) << what;
}

TEST(KbdWatchKeyTracker, ModifiersAutoRepeatAndUnpairedReleases) {
  constexpr uint8_t kCtrlL = 37, kShiftL = 50, kShiftR = 62, kAltL = 64, kSpace = 65, kA = 38;
  KeyTracker t;
  // Ctrl alone is reported with Ctrl held; Ctrl+Space with 8; a release repeats its press's
  // modifiers even when Ctrl went up first, so it matches the same hot-key entry.
  ExpectReport(t.Press(kCtrlL, 0x11), {0x11, 8, false, false}, "ctrl down");
  ExpectReport(t.Press(kSpace, 0x20), {0x20, 8, false, false}, "space down");
  ExpectReport(t.Press(kSpace, 0x20), {0x20, 8, false, true}, "space auto-repeat");
  ExpectReport(t.Release(kCtrlL), {0x11, 8, true, true}, "ctrl up");
  EXPECT_EQ(t.Modifiers(), 0);
  ExpectReport(t.Release(kSpace), {0x20, 8, true, true}, "space up after ctrl");
  EXPECT_FALSE(t.Release(kCtrlL).has_value()) << "a second release of Ctrl";
  EXPECT_FALSE(t.Release(kSpace).has_value()) << "a second release of Space";

  // Both Shift keys: letting one go keeps Shift held.
  ExpectReport(t.Press(kShiftL, 0x10), {0x10, 4, false, false}, "left shift");
  ExpectReport(t.Press(kShiftR, 0x10), {0x10, 4, false, false}, "right shift");
  ExpectReport(t.Release(kShiftL), {0x10, 4, true, true}, "left shift up");
  ExpectReport(t.Press(kAltL, 0x12), {0x12, 4 | 16, false, false}, "alt with shift");
  ExpectReport(t.Press(kA, 0x41), {0x41, 4 | 16, false, false}, "shift+alt+a");
  ExpectReport(t.Release(kShiftR), {0x10, 4, true, true}, "right shift up");
  ExpectReport(t.Release(kAltL), {0x12, 4 | 16, true, true}, "alt up");
  EXPECT_EQ(t.Modifiers(), 0);
  ExpectReport(t.Press(kA, 0x41), {0x41, 0, false, true}, "a repeats, now alone");
  ExpectReport(t.Release(kA), {0x41, 0, true, true}, "a up");

  // A key without a code is not reported, and its release neither.
  EXPECT_FALSE(t.Press(120, 0).has_value());
  EXPECT_FALSE(t.Release(120).has_value());
  // A key that was down before the watch began: its release alone is dropped.
  EXPECT_FALSE(t.Release(kSpace).has_value());
}

TEST(KbdWatchHeader, RegisteredMessageNumbers) {
  const uint32_t hook = KbdWatchRegisterMessage(KBDWATCH_HOOK_MESSAGE_NAME);
  EXPECT_GE(hook, 0xC000u);
  EXPECT_LE(hook, 0xFFFFu);
  // Names differing in one letter, or only in case, get other numbers.
  EXPECT_NE(hook, KbdWatchRegisterMessage("This is Keyboard hook tesT"));
  EXPECT_NE(hook, KbdWatchRegisterMessage("this is Keyboard hook test"));
  EXPECT_GE(KbdWatchRegisterMessage(""), 0xC000u);
}

}  // namespace
}  // namespace kbdwatch
