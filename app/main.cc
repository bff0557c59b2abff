// The program's entry point: one instance per user, the application and its windows in their
// order, the message loop, and the settings written once more at the end. A file named on the
// command line (as the desktop's "open with" passes it) is loaded once the window is up, the
// same way as a file dropped on it.
#include <QStringList>
#include <QTimer>

#include "app/Application.h"
#include "app/EqualizerStore.h"
#include "app/SingleInstance.h"
#include "app/U_Main.h"
#include "platform/wave_device.h"
#include "ui/Alert.h"
#include "ui/Audioprop.h"
#include "ui/EqualizerPanel.h"
#include "ui/MessageBox.h"
#include "ui/Setcounter.h"

int main(int argc, char** argv) {
  app::TApplication application(argc, argv);

  app::SingleInstance instance;
  if (!instance.Acquire()) {
    ui::MessageRequest request;
    request.text = QStringLiteral("既に起動しています");
    request.caption = QStringLiteral("Verbat");
    request.icon = ui::MsgIcon::kError;
    ui::ShowMessage(nullptr, request);
    return 1;
  }

  int exit_code = 0;
  {
    app::TMainForm main_form(platform::DefaultAudioBackend());
    ui::TAlertForm alert_form(&main_form);
    app::EqualizerStore equalizer_store(main_form.SettingsStore());
    {
      ui::TEqualizerPanelForm equalizer(equalizer_store);
      ui::TAudioPropForm prop_form(&main_form);
      ui::TSetCounterForm counter_form(&main_form);
      main_form.AttachDialogs(&alert_form, &counter_form);
      main_form.SetEqualizerWindow(&equalizer);
      main_form.AttachOptionsDialog(&prop_form);
      main_form.FormCreate();
      main_form.show();

      const QStringList arguments = application.arguments();
      if (arguments.size() > 1) {
        const QStringList files = arguments.mid(1);
        QTimer::singleShot(0, &main_form, [&main_form, files] { main_form.DropFiles(files); });
      }
      exit_code = application.exec();
      main_form.FormDestroy();
      // The outputs stop asking the equalizer before it goes; it writes its gains as it goes,
      // after the main window's settings.
      main_form.SetEqualizerWindow(nullptr);
    }
  }
  return exit_code;
}
