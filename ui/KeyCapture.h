// From a key press in one of the program's own windows to the modifier and virtual-key codes the
// keyboard watch reports for the same press anywhere on the desktop, so that a combination the
// options dialog captures is the one the hot-key dispatcher later sees.
//
// Under X11 the key is looked up the way the keyboard watch does it: the key's keysyms in the
// server's core keyboard mapping, through the watch's own table (kbdwatch::KeyboardMap), so
// Shift+1 is the "1" key and a punctuation key carries the code of its label. An event without
// an X key code (the offscreen platform, synthesized test events) is mapped from its Qt key.
#pragma once

#include <cstdint>

class QKeyEvent;

namespace ui {

struct KeyCombination {
  int32_t modifier = 0;  // 4 Shift, 8 Ctrl, 16 Alt, ORed
  int32_t key = 0;       // virtual-key code; 0: the key has none
};

// The combination a key press stands for. The modifier code holds the modifiers down at the
// press and the pressed key's own bit when it is Shift, Ctrl or Alt (Ctrl alone is 8 with the
// Ctrl key). F10 always carries Alt: the key page stores it as Alt+F10.
KeyCombination CaptureKeyPress(const QKeyEvent& event);

// The X keysym of the unshifted key a Qt key code stands for; 0 for keys the table does not
// know (symbols that only a shifted level produces, such as "!").
uint32_t KeysymOfQtKey(int qt_key);

}  // namespace ui
