#include "kbdwatch/KeyTracker.h"

#include <utility>

#include "kbdwatch/KbdWatch.h"
#include "kbdwatch/VirtualKeys.h"

namespace kbdwatch {
namespace {

// Index into the modifier counts for the codes of Shift, Ctrl and Alt; -1 for other keys.
int ModifierIndex(uint16_t code) {
  return code >= 0x10 && code <= 0x12 ? code - 0x10 : -1;
}

constexpr uint16_t kModifierBits[3] = {KBDWATCH_MOD_SHIFT, KBDWATCH_MOD_CTRL, KBDWATCH_MOD_ALT};

constexpr uint32_t kRepeatCountOne = 1;
constexpr uint32_t kAltHeld = 1u << 29;
constexpr uint32_t kWasDown = 1u << 30;

uint32_t Flags(uint8_t keycode, uint16_t modifiers, bool was_down, bool release) {
  // Bits 16-23 hold a scan code; the X keycode less 8 is the kernel's key number, the nearest
  // thing this platform has.
  uint32_t flags = kRepeatCountOne | (static_cast<uint32_t>((keycode - 8) & 0xFF) << 16);
  if (modifiers & KBDWATCH_MOD_ALT) flags |= kAltHeld;
  if (was_down) flags |= kWasDown;
  if (release) flags |= KBDWATCH_KEY_UP_FLAG;
  return flags;
}

}  // namespace

KeyboardMap::KeyboardMap(uint8_t min_keycode, uint8_t keysyms_per_keycode,
                         std::vector<uint32_t> keysyms, uint16_t numlock_mask)
    : min_keycode_(min_keycode),
      per_keycode_(keysyms_per_keycode),
      keysyms_(std::move(keysyms)),
      numlock_mask_(numlock_mask) {}

uint32_t KeyboardMap::Keysym(uint8_t keycode, unsigned index) const {
  if (keycode < min_keycode_ || index >= per_keycode_) return 0;
  size_t at = static_cast<size_t>(keycode - min_keycode_) * per_keycode_ + index;
  return at < keysyms_.size() ? keysyms_[at] : 0;
}

uint16_t KeyboardMap::VirtualKey(uint8_t keycode, uint16_t state) const {
  // The core mapping lists two groups in its first four columns; a third or fourth group is
  // looked up in the first.
  unsigned group = (state >> 13) & 3;
  if (group > 1) group = 0;
  const bool numlock = numlock_mask_ != 0 && (state & numlock_mask_) != 0;
  for (unsigned g : {group, 0u}) {
    uint32_t base = Keysym(keycode, 2 * g);
    uint32_t shifted = Keysym(keycode, 2 * g + 1);
    if (base == 0) continue;
    if (numlock && IsKeypadKeysym(base) && IsKeypadKeysym(shifted)) {
      base = shifted;
      shifted = 0;
    }
    if (uint16_t code = VirtualKeyFromKeysyms(base, shifted); code != 0) return code;
    if (g == 0) break;
  }
  return 0;
}

uint16_t KeyTracker::Modifiers() const {
  uint16_t modifiers = 0;
  for (int i = 0; i < 3; ++i) {
    if (modifier_keys_down_[i] > 0) modifiers |= kModifierBits[i];
  }
  return modifiers;
}

std::optional<KeyReport> KeyTracker::Press(uint8_t keycode, uint16_t code) {
  std::optional<Down>& down = down_[keycode];
  const bool repeat = down.has_value();
  if (!repeat) {
    if (code == 0) return std::nullopt;
    down = Down{code, 0};
    if (int m = ModifierIndex(code); m >= 0) ++modifier_keys_down_[m];
  }
  // A modifier key's own press counts it as held, so Ctrl alone reports Ctrl (8) with 0x11.
  down->modifiers = Modifiers();
  return KeyReport{down->code | static_cast<uint32_t>(down->modifiers) << 16,
                   Flags(keycode, down->modifiers, repeat, false)};
}

std::optional<KeyReport> KeyTracker::Release(uint8_t keycode) {
  std::optional<Down>& down = down_[keycode];
  if (!down) return std::nullopt;
  KeyReport report{down->code | static_cast<uint32_t>(down->modifiers) << 16,
                   Flags(keycode, down->modifiers, true, true)};
  if (int m = ModifierIndex(down->code); m >= 0) --modifier_keys_down_[m];
  down.reset();
  return report;
}

}  // namespace kbdwatch
