// From X key events to the reports the program receives: which code a keycode carries under the
// current keyboard mapping, and which keys are down (for the modifier code and for telling
// auto-repeat from a new press). Plain data, no X connection: the watcher feeds it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kbdwatch {

// The server's core keyboard mapping: for each keycode from `min_keycode` on,
// `keysyms_per_keycode` keysyms in the core order (group 1 base, group 1 shifted, group 2 base,
// group 2 shifted, further levels), NoSymbol as 0.
class KeyboardMap {
 public:
  KeyboardMap() = default;
  // `numlock_mask` is the modifier bit NumLock is bound to (0 when none).
  KeyboardMap(uint8_t min_keycode, uint8_t keysyms_per_keycode, std::vector<uint32_t> keysyms,
              uint16_t numlock_mask);

  // The code of the key at `keycode` for an event whose core state is `state` (the group in
  // bits 13-14, NumLock's modifier bit). A key whose symbols in the active group have no code
  // falls back to the first group, so that letters keep their codes under a non-Latin layout.
  // With NumLock on, a keypad key reports its digit (KP_1 is 0x61, not End). 0: no code.
  uint16_t VirtualKey(uint8_t keycode, uint16_t state) const;

 private:
  uint32_t Keysym(uint8_t keycode, unsigned index) const;

  uint8_t min_keycode_ = 0;
  uint8_t per_keycode_ = 0;
  std::vector<uint32_t> keysyms_;
  uint16_t numlock_mask_ = 0;
};

// A report as the program receives it: wParam (code | modifiers << 16) and the keystroke flags.
struct KeyReport {
  uint32_t wparam = 0;
  uint32_t lparam = 0;
};

class KeyTracker {
 public:
  // A press (or the server's auto-repeat of one) of `keycode`, which carries `code`.
  // Nothing for a key without a code.
  std::optional<KeyReport> Press(uint8_t keycode, uint16_t code);
  // A release. Nothing when the key is not down: tools that synthesize keys may release a key
  // twice, and a release whose press this watcher never saw would match nothing sensible.
  std::optional<KeyReport> Release(uint8_t keycode);

  // The modifier code held now (4 Shift, 8 Ctrl, 16 Alt).
  uint16_t Modifiers() const;

 private:
  struct Down {
    uint16_t code = 0;       // as at the first press, so that the release reports the same key
    uint16_t modifiers = 0;  // as reported with the last press, which the release repeats
  };
  std::array<std::optional<Down>, 256> down_{};
  std::array<int, 3> modifier_keys_down_{};  // Shift, Ctrl, Alt keys down (left and right apart)
};

}  // namespace kbdwatch
