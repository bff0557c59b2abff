// X keysyms and the Windows virtual-key codes the hot-key table stores. Both the keyboard-watch
// library and the program (which maps the options dialog's key presses through the same table)
// compile this in; users need no X11 header.
//
// A key is identified by the keysyms of its first two levels in the active group (base and
// shifted), never by the character a press produced: Shift+2 is the "2" key. The punctuation
// keys carry the codes their labels have on the Japanese layout (";" 0xBB, ":" 0xBA, "@" 0xC0,
// "^" 0xDE, "ろ" 0xE2), so that the code's display name is what the key shows; on a US layout the
// keys with no such label keep their US codes ("'" 0xDE, "`" 0xC0; "=" has none, since 0xBB
// is ";"). CapsLock is 0xF0 (the Japanese layout's code for the 英数 key) on every layout.
#pragma once

#include <cstdint>
#include <vector>

namespace kbdwatch {

// The keysyms of a key's first two levels; shifted 0 stands for "whatever it is".
struct KeyLevels {
  uint32_t base = 0;
  uint32_t shifted = 0;
};

// The virtual-key code of the key whose base level is `base` and shifted level `shifted`
// (0 when unknown); 0 when the key has no code. The shifted level only tells apart keys whose
// base keysyms agree: backslash over underscore is the "ろ" key (0xE2), backslash over anything
// else the "\" (yen) key (0xDC).
uint16_t VirtualKeyFromKeysyms(uint32_t base, uint32_t shifted = 0);

// The keys that carry `code`, the most usual first (on a Japanese layout, then on a US one);
// empty when no key does. Each one maps back to `code` through VirtualKeyFromKeysyms.
std::vector<KeyLevels> KeysymsOfVirtualKey(uint16_t code);

// Whether `keysym` belongs to the numeric keypad (its level depends on NumLock).
bool IsKeypadKeysym(uint32_t keysym);

}  // namespace kbdwatch
