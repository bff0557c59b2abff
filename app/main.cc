// The program's entry point: the command line, one instance per user, the application and its
// windows in their order, the message loop, and the settings written once more at the end.
//
// A second start with a file hands the file to the running instance over the instance channel
// and ends with status 0; without a file it says "既に起動しています" and ends with 1. A file for
// this instance (the desktop's "open with" passes one) is loaded once the window is up, the same
// way as a file dropped on it.
#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/EqualizerStore.h"
#include "app/ExternalOpen.h"
#include "app/InstanceChannel.h"
#include "app/SingleInstance.h"
#include "app/U_Main.h"
#include "platform/wave_device.h"
#include "ui/Alert.h"
#include "ui/Audioprop.h"
#include "ui/EqualizerPanel.h"
#include "ui/MessageBox.h"
#include "ui/Setcounter.h"
#include "ui/Version.h"

#ifndef VERBAT_APP_ID
#error "VERBAT_APP_ID (the desktop entry's name) is set by the build"
#endif

namespace {

// How long a second start waits for the running instance to take its file. The running one
// answers from its event loop, which a start-up still in progress holds up for a moment.
constexpr std::chrono::seconds kHandOverTimeout{10};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::error_code no_folder;
  std::filesystem::path current_folder = std::filesystem::current_path(no_folder);
  if (no_folder) current_folder.clear();
  const app::CommandLine command = app::ParseCommandLine(arguments, current_folder);
  switch (command.action) {
    case app::CommandLine::Action::kHelp:
      std::fputs(app::HelpText().c_str(), stdout);
      return command.ExitStatus();
    case app::CommandLine::Action::kVersion:
      std::printf("Verbat %s\n", ui::ProgramVersion().toStdString().c_str());
      return command.ExitStatus();
    case app::CommandLine::Action::kError:
      std::fprintf(stderr, "verbat: %s\n使い方は verbat --help で表示できます。\n",
                   command.error.c_str());
      return command.ExitStatus();
    case app::CommandLine::Action::kRun:
      break;
  }

  app::SingleInstance instance;
  const std::filesystem::path socket_path = app::InstanceSocketPath(instance.LockFile());
  bool first = instance.Acquire();
  if (!first && command.has_file) {
    const app::HandOverResult handed = app::HandOver(socket_path, command.file, kHandOverTimeout);
    if (handed.status == app::HandOverResult::Status::kDelivered) return 0;
    // The running instance may have ended meanwhile; the lock says whether this one is first now.
    first = instance.Acquire();
    if (!first) {
      std::fprintf(stderr, "verbat: the running Verbat did not take the file: %s\n",
                   handed.reason.c_str());
    }
  }
  // Made at once after the lock, so that a start right after this one finds it; requests wait
  // in the socket's queue until the window is ready for them.
  std::unique_ptr<app::InstanceServer> server;
  if (first) {
    std::string error;
    server = app::InstanceServer::Listen(socket_path, &error);
    if (!server) {
      std::fprintf(stderr, "verbat: other starts cannot hand files to this one: %s\n",
                   error.c_str());
    }
  }

  // Qt sees no arguments: the command line is this program's own.
  static int qt_argc = 1;
  static char* qt_argv[] = {argv[0], nullptr};
  app::TApplication application(qt_argc, qt_argv);
  app::QuitOnTerminationSignals(application);
  QGuiApplication::setDesktopFileName(QStringLiteral(VERBAT_APP_ID));

  if (!first) {
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

      auto* opener = new app::ExternalOpener(main_form);  // owned by the window
      if (command.has_file) opener->Request(command.file);
      if (server) server->Start([opener](const app::OpenRequest& file) { opener->Request(file); });
      exit_code = application.exec();
      // No file is taken any more while the program closes.
      server.reset();
      main_form.FormDestroy();
      // The outputs stop asking the equalizer before it goes; it writes its gains as it goes,
      // after the main window's settings.
      main_form.SetEqualizerWindow(nullptr);
    }
  }
  return exit_code;
}
