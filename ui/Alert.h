// The warning shown before a playback speed change. OK goes on with the change, Cancel gives it
// up; the check box turns the warning off at once, whichever button is then pressed.
#pragma once

#include <QDialog>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;

namespace ui {

class TAlertForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAlertForm(QWidget* parent = nullptr);

  QCheckBox* CheckBox1() const { return check_box1_; }
  QPushButton* Button1() const { return button1_; }  // OK
  QPushButton* Button2() const { return button2_; }  // Cancel
  QString MemoText() const;

  void CheckBox1Click();

 signals:
  // The new value of the "show the warning" setting.
  void DspAlertChanged(bool show_warning);

 protected:
  void reject() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QPlainTextEdit* memo1_;
  QCheckBox* check_box1_;
  QPushButton* button1_;
  QPushButton* button2_;
};

}  // namespace ui
