// Shows the equalizer window on the display at hand, with a few bands moved, until it is closed
// or a minute has passed, for the X11 check (equalizer_x11_check.sh) and the screenshot in docs/.
// A message box would wait for a user: instead its text is printed and the program fails.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <map>

#include "ui/EqualizerPanel.h"
#include "ui/Fonts.h"
#include "ui/MessageBox.h"

namespace {

class FixedStore : public ui::EqualizerStore {
 public:
  int ReadRange(int band, int fallback) override {
    // A gentle lift of the voice band and a cut of the rumble below it.
    static const std::map<int, int> kShape = {{2, 36}, {4, 30},  {7, 18},  {8, 12},
                                              {9, 16}, {10, 20}, {13, 28}, {14, 32}};
    const auto it = kShape.find(band);
    return it == kShape.end() ? fallback : it->second;
  }
  void WriteRange(int, int) override {}
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  ui::InstallFontSubstitutes();
  QApplication::setFont(ui::WindowFont());
  int messages = 0;
  ui::SetMessageBoxHandler([&messages](QWidget*, const ui::MessageRequest& request) {
    std::fprintf(stderr, "message: %s\n", qUtf8Printable(request.text));
    ++messages;
    return ui::MsgResult::kOk;
  });

  FixedStore store;
  ui::TEqualizerPanelForm form(store);
  form.MasterTrackBar()->setValue(12);
  QObject::connect(&form, &ui::TEqualizerPanelForm::Closed, &application, &QApplication::quit,
                   Qt::QueuedConnection);
  form.show();
  QTimer::singleShot(60000, &application, &QApplication::quit);
  const int result = application.exec();
  std::printf("switch %s\n", form.IsOn() ? "on" : "off");
  return result != 0 || messages != 0 ? 1 : 0;
}
