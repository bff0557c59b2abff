#include "app_test_support.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "ui/Fonts.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

void PutLe(std::ofstream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "verbat-test";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives until the test program ends
  ui::InstallFontSubstitutes();
  QApplication::setFont(ui::WindowFont());
}

void WriteWav(const std::string& path, uint32_t rate, uint16_t channels, uint16_t bits,
              uint32_t seconds) {
  const uint32_t block_align = channels * bits / 8;
  const uint32_t data_size = rate * block_align * seconds;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write("RIFF", 4);
    PutLe(out, 36 + data_size, 4);
    out.write("WAVEfmt ", 8);
    PutLe(out, 16, 4);
    PutLe(out, 1, 2);
    PutLe(out, channels, 2);
    PutLe(out, rate, 4);
    PutLe(out, rate * block_align, 4);
    PutLe(out, block_align, 2);
    PutLe(out, bits, 2);
    out.write("data", 4);
    PutLe(out, data_size, 4);
  }
  std::filesystem::resize_file(path, 44 + uint64_t{data_size});
}

bool ProcessUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

ScriptedMessages::ScriptedMessages() {
  previous_ = ui::SetMessageBoxHandler([this](QWidget*, const ui::MessageRequest& request) {
    shown_.push_back(request);
    if (answers_.empty()) return ui::MsgResult::kOk;
    const ui::MsgResult answer = answers_.front();
    answers_.pop_front();
    return answer;
  });
}

ScriptedMessages::~ScriptedMessages() { ui::SetMessageBoxHandler(std::move(previous_)); }

QStringList ScriptedMessages::Texts() const {
  QStringList texts;
  for (const auto& request : shown_) texts << request.text;
  return texts;
}

struct ModalScript::State {
  bool ran = false;
  bool timed_out = false;
  QTimer timer;
  std::chrono::steady_clock::time_point deadline;
};

ModalScript::ModalScript(std::function<void(QWidget*)> act, std::chrono::milliseconds timeout)
    : state_(std::make_shared<State>()), ran_(state_->ran), timed_out_(state_->timed_out) {
  state_->deadline = std::chrono::steady_clock::now() + timeout;
  state_->timer.setInterval(10);
  std::weak_ptr<State> weak = state_;
  QObject::connect(&state_->timer, &QTimer::timeout, [weak, act] {
    auto state = weak.lock();
    if (!state) return;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal->isVisible() && !state->ran) {
      state->ran = true;
      act(modal);
      if (modal->isVisible()) {
        // The script left the dialog open: close it so the test goes on, and say so.
        state->timed_out = true;
        modal->close();
      }
      state->timer.stop();
      return;
    }
    if (std::chrono::steady_clock::now() > state->deadline) {
      state->timed_out = true;
      state->timer.stop();
      if (modal != nullptr) modal->close();
    }
  });
  state_->timer.start();
}

ModalScript::~ModalScript() { state_->timer.stop(); }

TestBackend::TestBackend() : card(platform::VirtualCardOptions{platform::Pacing::kManual, 1.0}) {}

void TestBackend::PlaySoundFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  sounds_.push_back(path);
}

std::vector<std::string> TestBackend::Sounds() const {
  std::lock_guard lock(mutex_);
  return sounds_;
}

void MainFormTest::SetUp() {
  messages = std::make_unique<ScriptedMessages>();
  backend = std::make_unique<TestBackend>();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir = (std::filesystem::temp_directory_path() /
         ("verbat-app-" + std::to_string(::getpid()) + "-" + info->name()))
            .string();
  std::filesystem::create_directories(dir);
  // No keyboard watch here (its tests run on a display of their own); settings in the test's
  // folder.
  app::StartupOptions options;
  options.hook_library.clear();
  options.settings_file = dir + "/Verbat.ini";
  form = std::make_unique<app::TMainForm>(*backend, options);
  form->FormCreate();
  form->show();  // mouse events reach only a shown window
}

void MainFormTest::TearDown() {
  form.reset();  // stops any playback before the card goes
  backend.reset();
  messages.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string MainFormTest::Path(const std::string& name) const { return dir + "/" + name; }

void MainFormTest::LoadTestFile(uint32_t seconds, const std::string& name) {
  WriteWav(Path(name), kRate, 1, 16, seconds);
  form->LoadFile(QString::fromStdString(Path(name)));
  ASSERT_NE(form->Transport().CurrentItem(), nullptr)
      << messages->Texts().join(" / ").toStdString();
}

void MainFormTest::ClickPlay() {
  QTest::mouseClick(form->PlayBtn(), Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }))
      << "playback did not start";
}

void MainFormTest::PlaySeconds(int seconds) {
  for (int i = 0; i < seconds; ++i) {
    // A second of audio is five blocks of a fifth of a second each.
    ASSERT_TRUE(backend->card.WaitUntil([&] { return backend->card.QueuedBlocks() >= 5; },
                                        platform::Milliseconds(10000)))
        << "the reader did not queue a second of audio";
    backend->card.Advance(kRate);
  }
}

int MainFormTest::EnabledMask() const {
  return (form->RecBtn()->isEnabled() ? app::kMaskRec : 0) |
         (form->ResetBtn()->isEnabled() ? app::kMaskReset : 0) |
         (form->PlayBtn()->isEnabled() ? app::kMaskPlay : 0) |
         (form->PauseBtn()->isEnabled() ? app::kMaskPause : 0) |
         (form->RepeatBtn()->isEnabled() ? app::kMaskRepeat : 0);
}

}  // namespace apptest

// fontconfig keeps a cache for the life of the process that it never frees; that is not a leak
// of this program's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
