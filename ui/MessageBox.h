// Every message box of the program goes through ShowMessage, so that the texts shown can be read
// and the answers scripted by tests (SetMessageBoxHandler) without a user at the screen.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace ui {

enum class MsgButtons { kOk, kOkCancel, kYesNo };
enum class MsgIcon { kNone, kInformation, kWarning, kError, kQuestion };
// Numbered like the platform's dialog results: OK 1, Cancel 2.
enum class MsgResult { kOk = 1, kCancel = 2, kYes = 6, kNo = 7 };

struct MessageRequest {
  QString text;
  QString caption;
  MsgButtons buttons = MsgButtons::kOk;
  MsgIcon icon = MsgIcon::kNone;
  bool system_modal = false;  // stays in front of every window of the program
};

using MessageBoxHandler = std::function<MsgResult(QWidget* owner, const MessageRequest&)>;

// Shows the box modally (or hands it to the installed handler) and returns the answer.
MsgResult ShowMessage(QWidget* owner, const MessageRequest& request);

// Shorthand for the program's usual box: caption "Verbat", OK only.
MsgResult ShowMessage(QWidget* owner, const QString& text, MsgIcon icon = MsgIcon::kNone,
                      MsgButtons buttons = MsgButtons::kOk);

// Replaces the handler; an empty one restores the real message box. Returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// The real message box, with Japanese button captions.
MsgResult ShowQtMessageBox(QWidget* owner, const MessageRequest& request);

}  // namespace ui
