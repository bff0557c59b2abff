#include "ui/Alert.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/Fonts.h"
#include "ui/ModalResult.h"

namespace ui {

TAlertForm::TAlertForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QStringLiteral("警告！"));
  setFont(WindowFont());
  setFixedSize(271, 131);

  memo1_ = new QPlainTextEdit(this);
  memo1_->setGeometry(6, 6, 259, 80);
  memo1_->setFrameShape(QFrame::NoFrame);
  memo1_->setReadOnly(true);
  memo1_->setFocusPolicy(Qt::NoFocus);
  memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QPalette memo_palette = memo1_->palette();
  memo_palette.setColor(QPalette::Base, QColor(0xD4, 0xD0, 0xC8));  // the active-border grey
  memo1_->setPalette(memo_palette);
  memo1_->document()->setDocumentMargin(1);
  memo1_->setPlainText(QStringLiteral(
      "この操作を行うとPCによっては致命的エラーが\n"
      "発生する可能性があります。\n"
      "最悪の場合PCの再立ち上げが必要となる場合も\n"
      "有りますのでご注意下さい。\n"
      "[OK]を押すと操作を実行、[ｷｬﾝｾﾙ]を押すと操作を\n"
      "中止します。\n"));

  check_box1_ = new QCheckBox(QStringLiteral("次回からこのメッセージを表示しない."), this);
  check_box1_->setGeometry(8, 88, 257, 17);
  connect(check_box1_, &QCheckBox::clicked, this, [this] { CheckBox1Click(); });

  button1_ = new QPushButton(QStringLiteral("OK"), this);
  button1_->setGeometry(48, 106, 75, 22);
  button2_ = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
  button2_->setGeometry(148, 106, 75, 22);
  for (QPushButton* button : {button1_, button2_}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(button1_, &QPushButton::clicked, this, [this] { done(kModalOk); });
  connect(button2_, &QPushButton::clicked, this, [this] { done(kModalCancel); });
}

QString TAlertForm::MemoText() const { return memo1_->toPlainText(); }

void TAlertForm::CheckBox1Click() { emit DspAlertChanged(!check_box1_->isChecked()); }

// Closing the window by its frame answers Cancel, as the Cancel button does.
void TAlertForm::reject() { done(kModalCancel); }

void TAlertForm::keyPressEvent(QKeyEvent* event) {
  // Neither button is the dialog's default or cancel button: Enter and Escape do nothing.
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
      event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace ui
