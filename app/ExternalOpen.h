// Files that come to the main window from outside it: the one named on the command line, and
// those a second start hands over. Each is loaded as if it had been dropped on the window (the
// same guards: not while playing or recording, a question about an unsaved recording), after
// the window has come forward, and played when the request asks for it and the load took place.
//
// Requests wait in a queue and run from the event loop one at a time, and not while a modal
// dialog is up: a drop cannot reach the window then either, and the dialog's own work (the Open
// dialog's choice, a counter entry) must not change under it.
#pragma once

#include <QObject>
#include <deque>

#include "app/CommandLine.h"

class QTimer;

namespace app {

class TMainForm;

class ExternalOpener : public QObject {
  Q_OBJECT
 public:
  explicit ExternalOpener(TMainForm& form);

  void Request(const OpenRequest& request);
  size_t Pending() const { return pending_.size(); }

 private:
  void RunPending();
  void Open(const OpenRequest& request);

  TMainForm& form_;
  std::deque<OpenRequest> pending_;
  bool running_ = false;
  QTimer* modal_wait_;
};

}  // namespace app
