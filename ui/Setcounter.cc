#include "ui/Setcounter.h"

#include <QLineEdit>
#include <QPushButton>

#include "ui/Fonts.h"
#include "ui/ModalResult.h"

namespace ui {

TSetCounterForm::TSetCounterForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QStringLiteral("ｶｳﾝﾀ指定"));
  setFont(WindowFont());
  setFixedSize(115, 43);
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
  if (main_window_ != nullptr) move(main_window_->pos());
  edit1_->clear();
  edit1_->setFocus();
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
