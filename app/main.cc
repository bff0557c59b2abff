// The program's entry point: creates the application and its windows and runs the message loop.
// A file named on the command line (as the desktop's "open with" passes it) is loaded once the
// window is up, the same way as a file dropped on it.
#include <QStringList>
#include <QTimer>

#include "app/Application.h"
#include "app/U_Main.h"
#include "platform/wave_device.h"
#include "ui/Alert.h"
#include "ui/Setcounter.h"

int main(int argc, char** argv) {
  app::TApplication application(argc, argv);

  app::TMainForm main_form(platform::DefaultAudioBackend());
  ui::TAlertForm alert_form(&main_form);
  ui::TSetCounterForm counter_form(&main_form);
  main_form.AttachDialogs(&alert_form, &counter_form);
  main_form.show();

  const QStringList arguments = application.arguments();
  if (arguments.size() > 1) {
    const QStringList files = arguments.mid(1);
    QTimer::singleShot(0, &main_form, [&main_form, files] { main_form.DropFiles(files); });
  }
  return application.exec();
}
