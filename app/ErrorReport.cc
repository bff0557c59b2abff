#include "app/ErrorReport.h"

#include <stdexcept>

#include "ui/MessageBox.h"

namespace app {

void ReportError(QWidget* owner, const QString& message) {
  ui::ShowMessage(owner, message, ui::MsgIcon::kError);
}

void ReportCurrentException(QWidget* owner) {
  try {
    throw;
  } catch (const std::exception& e) {
    const QString text = QString::fromUtf8(e.what());
    ReportError(owner, text.isEmpty() ? QStringLiteral("エラーが発生しました") : text);
  } catch (...) {
    ReportError(owner, QStringLiteral("原因不明のエラーが発生しました"));
  }
}

}  // namespace app
