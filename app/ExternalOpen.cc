#include "app/ExternalOpen.h"

#include <QApplication>
#include <QTimer>

#include "app/ErrorReport.h"
#include "app/Foreground.h"
#include "app/U_Main.h"
#include "media/Commands.h"
#include "ui/SpeedButton.h"

namespace app {

ExternalOpener::ExternalOpener(TMainForm& form)
    : QObject(&form), form_(form), modal_wait_(new QTimer(this)) {
  // Looked at again while a modal dialog is up; a dialog closing sends no signal of its own.
  modal_wait_->setInterval(200);
  modal_wait_->setSingleShot(true);
  connect(modal_wait_, &QTimer::timeout, this, [this] { RunPending(); });
}

void ExternalOpener::Request(const OpenRequest& request) {
  pending_.push_back(request);
  QTimer::singleShot(0, this, [this] { RunPending(); });
}

void ExternalOpener::RunPending() {
  // A load that asks a question runs a nested event loop; the next request waits for it.
  if (running_) return;
  while (!pending_.empty()) {
    if (QApplication::activeModalWidget() != nullptr) {
      modal_wait_->start();
      return;
    }
    const OpenRequest request = pending_.front();
    pending_.pop_front();
    running_ = true;
    try {
      Open(request);
    } catch (...) {
      ReportCurrentException(&form_);
    }
    running_ = false;
  }
}

void ExternalOpener::Open(const OpenRequest& request) {
  // Forward first, so that a message about the load shows over the window the user expects.
  if (form_.isMinimized()) form_.setWindowState(form_.windowState() & ~Qt::WindowMinimized);
  BringForward(&form_);
  form_.DropFiles({QString::fromStdString(request.path)});
  if (!request.play) return;
  // Played only when this file is now the loaded one and nothing plays: a refused load (while
  // playing, say) leaves the other file, which must not start.
  const media::PlayListItem* item = form_.Transport().CurrentItem();
  if (item == nullptr || item->path != request.path ||
      form_.Transport().State() != media::kStateStopped || form_.PlayBtn()->isChecked() ||
      !form_.PlayBtn()->isEnabled()) {
    return;
  }
  form_.PlayBtn()->click();
}

}  // namespace app
