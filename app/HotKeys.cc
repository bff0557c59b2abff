#include "app/HotKeys.h"

namespace app {

// clang-format off
const std::array<KeyName, kKeyNameCount> KeyNameTable = {{
    {0xF0, "CapsLock"}, {0x91, "ScrollLock"}, {0x08, "Bksp"}, {0x1B, "ESC"},
    {0x70, "F1"},  {0x71, "F2"},  {0x72, "F3"},  {0x73, "F4"},  {0x74, "F5"},  {0x75, "F6"},
    {0x76, "F7"},  {0x77, "F8"},  {0x78, "F9"},  {0x79, "F10"}, {0x7A, "F11"}, {0x7B, "F12"},
    {0x41, "A"}, {0x42, "B"}, {0x43, "C"}, {0x44, "D"}, {0x45, "E"}, {0x46, "F"}, {0x47, "G"},
    {0x48, "H"}, {0x49, "I"}, {0x4A, "J"}, {0x4B, "K"}, {0x4C, "L"}, {0x4D, "M"}, {0x4E, "N"},
    {0x4F, "O"}, {0x50, "P"}, {0x51, "Q"}, {0x52, "R"}, {0x53, "S"}, {0x54, "T"}, {0x55, "U"},
    {0x56, "V"}, {0x57, "W"}, {0x58, "X"}, {0x59, "Y"}, {0x5A, "Z"},
    {0x31, "1"}, {0x32, "2"}, {0x33, "3"}, {0x34, "4"}, {0x35, "5"}, {0x36, "6"}, {0x37, "7"},
    {0x38, "8"}, {0x39, "9"}, {0x30, "0"},
    {0xBD, "-"}, {0xDE, "^"}, {0xDC, "\\"}, {0xC0, "@"}, {0xDB, "["}, {0xBB, ";"}, {0xBA, ":"},
    {0xDD, "]"}, {0xBC, ","}, {0xBE, "."}, {0xBF, "/"},
    {0xE2, "ろ"},
    {0x20, "Space"}, {0x2D, "Ins"}, {0x24, "Home"}, {0x21, "PgUp"}, {0x2E, "Del"}, {0x23, "End"},
    {0x22, "PgDown"},
    {0x25, "←"}, {0x26, "↑"}, {0x27, "→"}, {0x28, "↓"},
    {0x1D, "無変換"},
    {0x10, "Shift"}, {0x11, "Ctrl"}, {0x12, "Alt"},
}};
// clang-format on

std::string_view KeyDisplayName(int32_t key) {
  for (const KeyName& k : KeyNameTable)
    if (k.code == key) return k.name;
  return {};
}

std::string CombinationText(int32_t modifier, int32_t key) {
  const std::string_view name = KeyDisplayName(key);
  if (name.empty()) return {};
  std::string text;
  // A modifier key pressed alone reports its own bit as well; its name alone says it.
  const bool modifier_key = key == 0x10 || key == 0x11 || key == 0x12;
  if (!modifier_key) {
    if (modifier & kModifierShift) text += "Shift+";
    if (modifier & kModifierCtrl) text += "Ctrl+";
    if (modifier & kModifierAlt) text += "Alt+";
  }
  text += name;
  return text;
}

HotKeyAction MatchHotKey(const HotKeyTable& table, int32_t modifier, int32_t key) {
  for (const HotKeyEntry& entry : table) {
    if (entry.modifier != modifier || entry.key != key) continue;
    // The first equal entry decides, even an unassigned one.
    if (entry.function < 1 || entry.function > kHotKeyCount) return HotKeyAction::kNone;
    return static_cast<HotKeyAction>(entry.function);
  }
  return HotKeyAction::kNone;
}

bool IsKeyFree(const HotKeyTable& table, int32_t modifier, int32_t key) {
  for (const HotKeyEntry& entry : table)
    if (entry.modifier == modifier && entry.key == key) return false;
  return true;
}

}  // namespace app
