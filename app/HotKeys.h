// The hot-key tables: the 11 key assignments, the names of the 11 functions they can run and
// the 79 keys that can be assigned, with the text shown for a combination and the walk that
// finds the function for a reported key. Shared by the main window's dispatcher and the options
// dialog's key page, so free of Qt and of both windows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace app {

// Modifier codes of a combination, ORed; the keyboard watch reports the same codes.
inline constexpr int32_t kModifierShift = 4;
inline constexpr int32_t kModifierCtrl = 8;
inline constexpr int32_t kModifierAlt = 16;
inline constexpr int32_t kModifierMask = kModifierShift | kModifierCtrl | kModifierAlt;

// One assignment: modifier code, virtual-key code, function number (1..11; 0 = unassigned).
struct HotKeyEntry {
  int32_t modifier = 0;
  int32_t key = 0;
  int32_t function = 0;

  bool operator==(const HotKeyEntry&) const = default;
};

inline constexpr int kHotKeyCount = 11;

// Entry n (1..11) is element n - 1. The options dialog edits a PendingHotKeyTable, which
// replaces the HotKeyTable entry by entry when the dialog is accepted.
using HotKeyTable = std::array<HotKeyEntry, kHotKeyCount>;
using PendingHotKeyTable = HotKeyTable;

// The function numbers, in the order of HotKeyFunction.
enum class HotKeyAction : int32_t {
  kNone = 0,
  kPlayStop = 1,
  kPause,
  kFastForward,
  kRewind,
  kReset,
  kRepeat,
  kSpeedUp,
  kSpeedDown,
  kEqualizer,
  kCopyCounter,
  kSetCounter,
};

// The functions' names as the key page lists them; element p is function p + 1.
// clang-format off
inline constexpr std::array<std::string_view, kHotKeyCount> HotKeyFunction = {
    "再生・停止", "一時停止", "早送り",   "巻き戻し",       "リセット",   "リピート",
    "速度＋",     "速度－",   "イコライザ", "カウンタコピー", "カウンタ指定",
};
// clang-format on

struct KeyName {
  int32_t code;  // virtual-key code
  std::string_view name;
};

inline constexpr int kKeyNameCount = 79;

// The assignable keys with their display names, in the order the key page offers them. The
// punctuation codes follow the Japanese keyboard layout.
extern const std::array<KeyName, kKeyNameCount> KeyNameTable;

// The display name of a key; empty when the key cannot be assigned.
std::string_view KeyDisplayName(int32_t key);

// "Shift+", "Ctrl+", "Alt+" for the modifier bits that are set, in that order, then the key's
// display name. Shift, Ctrl or Alt pressed alone shows its own name without prefixes. A key
// that KeyNameTable does not hold gives the empty text.
std::string CombinationText(int32_t modifier, int32_t key);

// The function of the first entry whose modifier and key equal the report's; kNone when no
// entry matches or the matched entry's function number is 0 or above 11.
HotKeyAction MatchHotKey(const HotKeyTable& table, int32_t modifier, int32_t key);

// True when no entry of the table holds this combination.
bool IsKeyFree(const HotKeyTable& table, int32_t modifier, int32_t key);

}  // namespace app
