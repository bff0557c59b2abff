// The counter-entry dialog: a one-line box for a time typed as hhmmss or hh:mm:ss. It closes by
// itself once the entry is complete; the caller reads and checks Text().
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace ui {

class TSetCounterForm : public QDialog {
  Q_OBJECT
 public:
  explicit TSetCounterForm(QWidget* parent = nullptr);

  // The window whose outer top-left corner (that of its frame) the dialog's frame takes each
  // time it is shown.
  void SetMainWindow(QWidget* main_window) { main_window_ = main_window; }
  QString Text() const;
  QLineEdit* Edit1() const { return edit1_; }

  // Places the dialog, empties Edit1 (with its undo history) and puts the focus there.
  void FormActivate();
  void Edit1Change();

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;

 private:
  void FitWidthToTitle();
  void PlaceAtMainWindow();

  QWidget* main_window_ = nullptr;
  QLineEdit* edit1_;
  QPushButton* button1_;  // kept invisible: it does nothing
};

}  // namespace ui
