// Results of the program's own modal dialogs, numbered like the platform's dialog results.
#pragma once

namespace ui {

inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;

}  // namespace ui
