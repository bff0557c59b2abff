// The version dialog: the program's name, its version and the address of its web page.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace ui {

// The address shown and opened by the dialog's link.
inline constexpr const char* kWebPageUrl = "https://verbat.example.org/";

class TVerbatAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TVerbatAboutForm(QWidget* parent = nullptr);

  QLabel* LabelVersion() const { return label_version_; }
  QLabel* LabelUrl() const { return label_url_; }
  QPushButton* OKButton() const { return ok_button_; }

  void FormCreate();
  void LabelUrlClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* program_icon_;
  QLabel* label2_;
  QLabel* label_version_;
  QLabel* static_text1_;
  QLabel* label_url_;
  QPushButton* ok_button_;
};

}  // namespace ui
