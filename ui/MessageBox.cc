#include "ui/MessageBox.h"

#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <algorithm>

namespace ui {
namespace {

MessageBoxHandler& Handler() {
  static MessageBoxHandler handler;
  return handler;
}

// QMessageBox word-wraps a text wider than half the screen (500 pixels at most), and Japanese,
// having no spaces, then breaks between any two characters. This box keeps each of the
// message's own lines whole and is as wide as the longest of them needs; only a line wider
// than the screen allows is wrapped.
class LineKeepingMessageBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);  // sizes the box its own way first
    FitToLines();
  }

  // QMessageBox sizes itself again (wrapping) on every layout request, which each change of
  // the label's size makes: those requests are answered here instead.
  bool event(QEvent* event) override {
    if (event->type() != QEvent::LayoutRequest) return QMessageBox::event(event);
    const bool handled = QDialog::event(event);
    if (isVisible()) FitToLines();
    return handled;
  }

 private:
  void FitToLines() {
    auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (label == nullptr || layout() == nullptr) return;
    const QFontMetrics metrics(label->font());
    int longest = 0;
    for (const QString& line : text().split(QLatin1Char('\n'))) {
      longest = std::max(longest, metrics.horizontalAdvance(line));
    }
    // Everything beside the text: the icon, the margins, and the window's frame.
    const int around = width() - label->contentsRect().width();
    int screen_width = 1 << 20;
    if (const QScreen* where = screen()) screen_width = where->availableGeometry().width();
    const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 16;
    const int room = std::max(metrics.averageCharWidth() * 8, screen_width - around - frame);

    // Each change below asks for a new layout, and so for this again: change only what differs.
    if (label->wordWrap() != (longest > room)) label->setWordWrap(longest > room);
    const int text_width = std::min(longest, room);
    label->setMinimumWidth(text_width + label->width() - label->contentsRect().width());
    layout()->activate();
    const int box_width = std::max(width(), std::min(around + text_width, screen_width - frame));
    const int box_height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(box_width)
                                                         : layout()->totalMinimumSize().height();
    setFixedSize(box_width, box_height);
  }
};

}  // namespace

MsgResult ShowQtMessageBox(QWidget* owner, const MessageRequest& request) {
  LineKeepingMessageBox box(owner);
  box.setWindowTitle(request.caption);
  // Messages carry file names and error texts: never read as markup.
  box.setTextFormat(Qt::PlainText);
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
