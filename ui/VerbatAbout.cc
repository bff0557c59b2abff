#include "ui/VerbatAbout.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

#include "ui/Desktop.h"
#include "ui/Fonts.h"
#include "ui/ModalResult.h"
#include "ui/Version.h"

namespace ui {

TVerbatAboutForm::TVerbatAboutForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  setFont(WindowFont());
  setFixedSize(309, 87);

  program_icon_ = new QLabel(this);
  program_icon_->setGeometry(10, 10, 32, 32);
  program_icon_->setPixmap(QPixmap(QStringLiteral(":/glyphs/verbat.xpm")));

  label2_ = new QLabel(QStringLiteral("Verbat"), this);
  label2_->setFont(WindowFont(13));
  label2_->setGeometry(54, 8, 160, 17);

  label_version_ = new QLabel(QStringLiteral("Ver 0.0.0"), this);
  label_version_->setGeometry(54, 27, 160, 15);

  static_text1_ = new QLabel(QStringLiteral("録音を聞きながら文字に起こすための再生ソフトです。"), this);
  static_text1_->setGeometry(10, 48, 290, 15);

  label_url_ = new QLabel(QString::fromLatin1(kWebPageUrl), this);
  label_url_->setGeometry(10, 66, 200, 15);
  QFont url_font = label_url_->font();
  url_font.setUnderline(true);
  label_url_->setFont(url_font);
  QPalette url_palette = label_url_->palette();
  url_palette.setColor(QPalette::WindowText, Qt::blue);
  label_url_->setPalette(url_palette);
  label_url_->setCursor(Qt::PointingHandCursor);  // the hand over the link
  label_url_->installEventFilter(this);

  ok_button_ = new QPushButton(QStringLiteral("OK"), this);
  ok_button_->setGeometry(226, 10, 75, 25);
  ok_button_->setDefault(true);
  connect(ok_button_, &QPushButton::clicked, this, [this] { done(kModalCancel); });

  FormCreate();
}

void TVerbatAboutForm::FormCreate() {
  label_version_->setText(QStringLiteral("Ver ") + ProgramVersion());
}

void TVerbatAboutForm::LabelUrlClick() {
  // Whether a browser came up is not the dialog's concern.
  (void)OpenWithDesktop(QUrl(label_url_->text()));
}

void TVerbatAboutForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

// OK and Escape both close with Cancel, the dialog's only answer.
void TVerbatAboutForm::reject() { done(kModalCancel); }

bool TVerbatAboutForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == label_url_ && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    LabelUrlClick();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace ui
