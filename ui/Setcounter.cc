#include "ui/Setcounter.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "ui/Fonts.h"
#include "ui/ModalResult.h"

namespace ui {
namespace {

constexpr int kClientWidth = 115;
constexpr int kClientHeight = 43;

}  // namespace

TSetCounterForm::TSetCounterForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QStringLiteral("ｶｳﾝﾀ指定"));
  setFont(WindowFont());
  setFixedSize(kClientWidth, kClientHeight);
  edit1_ = new QLineEdit(this);
  edit1_->setGeometry(29, 11, 57, 21);
  edit1_->setMaxLength(9);
  button1_ = new QPushButton(QStringLiteral("OK"), this);
  button1_->setGeometry(88, 11, 20, 21);
  button1_->setVisible(false);
  button1_->setAutoDefault(false);
  connect(edit1_, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
}

QString TSetCounterForm::Text() const { return edit1_->text(); }

void TSetCounterForm::FormActivate() {
  FitWidthToTitle();
  PlaceAtMainWindow();
  // Emptied with its undo history: Undo must not bring back an entry from an earlier showing
  // (clear() would be undoable).
  edit1_->setText(QString());
  edit1_->setFocus();
}

void TSetCounterForm::FitWidthToTitle() {
  // Some window managers put their icon and the minimise, maximise and close buttons on every
  // title bar, whatever the window asks for; 115 pixels then leave the title only "…". The
  // dialog widens until its title fits beside them. The buttons are about as wide as the title
  // bar is high, and that height is known from the main window's frame; without a frame (no
  // window manager) the dialog keeps its width.
  int width = kClientWidth;
  if (main_window_ != nullptr) {
    const int title_bar = main_window_->geometry().top() - main_window_->frameGeometry().top();
    if (title_bar > 0) {
      QFont title_font = font();
      title_font.setBold(true);
      const int title = QFontMetrics(title_font).horizontalAdvance(windowTitle());
      width = std::clamp(title + 6 * title_bar, kClientWidth, 2 * kClientWidth);
    }
  }
  if (width == this->width()) return;
  setFixedSize(width, kClientHeight);
  edit1_->move((width - edit1_->width()) / 2, edit1_->y());  // centred, as at 115 pixels
}

void TSetCounterForm::PlaceAtMainWindow() {
  if (main_window_ == nullptr) return;
  // The dialog's frame goes where the main window's frame is, both outer corners together.
  // The position is given for the dialog's client area, which the window manager keeps where
  // it is asked (a position that includes the frame is applied by the window manager only
  // once it knows the frame, so the first showing would land elsewhere than the later ones).
  // Before the dialog's first showing its frame is unknown: a titled window gets the same
  // frame as the main window from the same window manager.
  QPoint inset = geometry().topLeft() - frameGeometry().topLeft();
  if (inset.isNull()) {
    inset = main_window_->geometry().topLeft() - main_window_->frameGeometry().topLeft();
  }
  setGeometry(QRect(main_window_->frameGeometry().topLeft() + inset, size()));
}

void TSetCounterForm::Edit1Change() {
  if (!isVisible()) return;  // the emptying in FormActivate, or text set while hidden
  const QString text = edit1_->text();
  if ((text.size() == 6 && text.at(2) != QLatin1Char(':')) || text.size() == 8) {
    done(kModalCancel);
  }
}

void TSetCounterForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TSetCounterForm::reject() { done(kModalCancel); }

}  // namespace ui
