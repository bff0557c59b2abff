// The hot-key vocabulary as a whole, the text of combinations and the matching walk.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/HotKeys.h"

namespace {

using app::HotKeyAction;
using app::HotKeyTable;

TEST(HotKeyTables, KeyNamesAreTheSeventyNineKeysInOrderWithUniqueCodesAndNames) {
  std::set<int32_t> codes;
  std::set<std::string_view> names;
  for (const app::KeyName& k : app::KeyNameTable) {
    codes.insert(k.code);
    names.insert(k.name);
  }
  EXPECT_EQ(codes.size(), 79u);
  EXPECT_EQ(names.size(), 79u);
  // The order the key page offers them in, sampled at each group's edges.
  const std::pair<int, app::KeyName> samples[] = {
      {0, {0xF0, "CapsLock"}}, {3, {0x1B, "ESC"}},     {4, {0x70, "F1"}},
      {15, {0x7B, "F12"}},     {16, {0x41, "A"}},      {41, {0x5A, "Z"}},
      {42, {0x31, "1"}},       {51, {0x30, "0"}},      {52, {0xBD, "-"}},
      {54, {0xDC, "\\"}},      {62, {0xBF, "/"}},      {63, {0xE2, "ろ"}},
      {64, {0x20, "Space"}},   {70, {0x22, "PgDown"}}, {71, {0x25, "←"}},
      {74, {0x28, "↓"}},       {75, {0x1D, "無変換"}}, {78, {0x12, "Alt"}},
  };
  for (const auto& [index, key] : samples) {
    SCOPED_TRACE(index);
    EXPECT_EQ(app::KeyNameTable[index].code, key.code);
    EXPECT_EQ(app::KeyNameTable[index].name, key.name);
  }
  EXPECT_EQ(app::HotKeyFunction[0], "再生・停止");
  EXPECT_EQ(app::HotKeyFunction[6], "速度＋");
  EXPECT_EQ(app::HotKeyFunction[10], "カウンタ指定");
}

TEST(HotKeyTables, CombinationTexts) {
  const struct {
    int32_t modifier, key;
    std::string text;
  } cases[] = {
      {12, 0x74, "Shift+Ctrl+F5"},     // Shift before Ctrl whatever the order pressed
      {28, 0x41, "Shift+Ctrl+Alt+A"},  //
      {16, 0x79, "Alt+F10"},           //
      {8, 0x20, "Ctrl+Space"},         //
      {0, 0xE2, "ろ"},                 //
      {16, 0x12, "Alt"},               // a modifier key alone: its name only
      {8, 0x11, "Ctrl"},               //
      {4, 0x10, "Shift"},              //
      {8, 0x0D, ""},                   // Enter cannot be assigned
      {0, 0, ""},                      // an unassigned entry
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(app::CombinationText(c.modifier, c.key), c.text);
  }
}

TEST(HotKeyTables, TheFirstEqualEntryDecides) {
  HotKeyTable table{};
  table[0] = {8, 0x20, 1};   // Ctrl+Space: play/stop
  table[2] = {16, 0x41, 3};  // Alt+A: fast-forward
  table[3] = {4, 0x41, 12};  // Shift+A: no such function
  table[4] = {16, 0x41, 5};  // Alt+A again: never reached
  EXPECT_EQ(app::MatchHotKey(table, 8, 0x20), HotKeyAction::kPlayStop);
  EXPECT_EQ(app::MatchHotKey(table, 0, 0x20), HotKeyAction::kNone);  // Space without Ctrl
  EXPECT_EQ(app::MatchHotKey(table, 16, 0x41), HotKeyAction::kFastForward);
  EXPECT_EQ(app::MatchHotKey(table, 4, 0x41), HotKeyAction::kNone);
  EXPECT_EQ(app::MatchHotKey(table, 0, 0), HotKeyAction::kNone);  // unassigned entries
  EXPECT_FALSE(app::IsKeyFree(table, 16, 0x41));
  EXPECT_TRUE(app::IsKeyFree(table, 24, 0x41));
}

}  // namespace
