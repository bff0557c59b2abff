#include "ui/MessageBox.h"

#include <QMessageBox>
#include <QPushButton>

namespace ui {
namespace {

MessageBoxHandler& Handler() {
  static MessageBoxHandler handler;
  return handler;
}

}  // namespace

MsgResult ShowQtMessageBox(QWidget* owner, const MessageRequest& request) {
  QMessageBox box(owner);
  box.setWindowTitle(request.caption);
  box.setText(request.text);
  switch (request.icon) {
    case MsgIcon::kNone: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::kInformation: box.setIcon(QMessageBox::Information); break;
    case MsgIcon::kWarning: box.setIcon(QMessageBox::Warning); break;
    case MsgIcon::kError: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::kQuestion: box.setIcon(QMessageBox::Question); break;
  }
  // Qt's own captions would be English without its translations installed.
  QPushButton* first = nullptr;
  QPushButton* second = nullptr;
  switch (request.buttons) {
    case MsgButtons::kOk:
      first = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
      box.setEscapeButton(first);
      break;
    case MsgButtons::kOkCancel:
      first = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
      second = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
      box.setEscapeButton(second);
      break;
    case MsgButtons::kYesNo:
      first = box.addButton(QStringLiteral("はい"), QMessageBox::YesRole);
      second = box.addButton(QStringLiteral("いいえ"), QMessageBox::NoRole);
      box.setEscapeButton(second);
      break;
  }
  box.setDefaultButton(first);
  box.setWindowModality(request.system_modal || owner == nullptr ? Qt::ApplicationModal
                                                                 : Qt::WindowModal);
  if (request.system_modal) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  box.exec();
  const bool first_chosen = box.clickedButton() == first;
  switch (request.buttons) {
    case MsgButtons::kOk: return MsgResult::kOk;
    case MsgButtons::kOkCancel: return first_chosen ? MsgResult::kOk : MsgResult::kCancel;
    case MsgButtons::kYesNo: return first_chosen ? MsgResult::kYes : MsgResult::kNo;
  }
  return MsgResult::kCancel;
}

MsgResult ShowMessage(QWidget* owner, const MessageRequest& request) {
  MessageBoxHandler handler = Handler();  // a copy: the handler may replace itself
  if (handler) return handler(owner, request);
  return ShowQtMessageBox(owner, request);
}

MsgResult ShowMessage(QWidget* owner, const QString& text, MsgIcon icon, MsgButtons buttons) {
  MessageRequest request;
  request.text = text;
  request.caption = QStringLiteral("Verbat");
  request.icon = icon;
  request.buttons = buttons;
  request.system_modal = true;
  return ShowMessage(owner, request);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  MessageBoxHandler previous = std::move(Handler());
  Handler() = std::move(handler);
  return previous;
}

}  // namespace ui
