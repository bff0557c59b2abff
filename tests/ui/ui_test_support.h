// Shared pieces of the equalizer window's tests: the application on the offscreen platform, a
// fresh current folder per test, an in-memory gain store, recorded message boxes, and a way to
// let the event loop run dry (the window's idle work happens then).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <map>
#include <memory>
#include <vector>

#include "ui/EqualizerPanel.h"
#include "ui/Fonts.h"
#include "ui/MessageBox.h"

namespace uitest {

inline void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "verbat-ui-test";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives until the test program ends
  ui::InstallFontSubstitutes();
  QApplication::setFont(ui::WindowFont());
}

// Lets the event loop wait for events, so that it runs dry (and announces it) `rounds` times.
inline void RunUntilIdle(int rounds = 3) {
  for (int i = 0; i < rounds; ++i) {
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

// The settings section in memory: what the window read and what it wrote back.
class MemoryStore : public ui::EqualizerStore {
 public:
  int ReadRange(int band, int fallback) override {
    const auto it = values.find(band);
    return it == values.end() ? fallback : it->second;
  }
  void WriteRange(int band, int position) override { values[band] = position; }
  std::map<int, int> values;
};

// Records every message box (and answers OK), restoring the previous handler at the end.
class RecordedMessages {
 public:
  RecordedMessages() {
    previous_ = ui::SetMessageBoxHandler([this](QWidget* owner, const ui::MessageRequest& r) {
      shown.push_back(r);
      owners.push_back(owner);
      return ui::MsgResult::kOk;
    });
  }
  ~RecordedMessages() { ui::SetMessageBoxHandler(std::move(previous_)); }
  QStringList Texts() const {
    QStringList texts;
    for (const auto& r : shown) texts << r.text;
    return texts;
  }
  std::vector<ui::MessageRequest> shown;
  std::vector<QWidget*> owners;

 private:
  ui::MessageBoxHandler previous_;
};

// Runs each test in an empty current folder of its own, so that no picture is found there by
// accident (the program looks in the current folder first).
class FreshFolder {
 public:
  FreshFolder() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
  ~FreshFolder() { QDir::setCurrent(previous_); }
  QString Path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
  QString previous_;
};

}  // namespace uitest
