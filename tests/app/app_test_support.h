// Shared pieces of the main window's tests: the application on the offscreen platform, WAV files
// written on the spot, scripted message boxes and dialogs, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/U_Main.h"
#include "platform/virtual_audio.h"
#include "ui/MessageBox.h"

class QWidget;

namespace apptest {

// Creates the application object once per test program (offscreen platform, fonts mapped).
void EnsureApplication();

// Writes a PCM WAV file. The sample bytes are left as a hole in the file (read back as zeros)
// so that hours of audio cost no disk space.
void WriteWav(const std::string& path, uint32_t rate, uint16_t channels, uint16_t bits,
              uint32_t seconds);

// Processes events until pred() holds or the time-out passes; returns whether it held.
bool ProcessUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Records every message box and answers from a script (OK once the script is used up).
class ScriptedMessages {
 public:
  ScriptedMessages();
  ~ScriptedMessages();
  void Answer(ui::MsgResult result) { answers_.push_back(result); }
  const std::vector<ui::MessageRequest>& Shown() const { return shown_; }
  QStringList Texts() const;
  void Clear() { shown_.clear(); }

 private:
  ui::MessageBoxHandler previous_;
  std::deque<ui::MsgResult> answers_;
  std::vector<ui::MessageRequest> shown_;
};

// Runs `act` on the next modal dialog that comes up, from the event loop of that dialog. If
// no dialog shows within the time-out, or `act` leaves it open, the dialog is closed and the
// failure recorded, so that a test never waits on a dialog for ever.
class ModalScript {
 public:
  explicit ModalScript(std::function<void(QWidget*)> act,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~ModalScript();
  bool Ran() const { return ran_; }
  bool TimedOut() const { return timed_out_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool& ran_;
  bool& timed_out_;
};

// The virtual card with manual pacing, and a record of the sounds the sound player was asked
// for (the player itself returns at once: a manual card would wait for the test).
class TestBackend : public platform::AudioBackend {
 public:
  TestBackend();
  std::string Name() const override { return "test"; }
  std::unique_ptr<platform::WaveOutDevice> CreateWaveOut() override { return card.CreateWaveOut(); }
  std::unique_ptr<platform::WaveInDevice> CreateWaveIn() override { return card.CreateWaveIn(); }
  std::vector<std::string> WaveInDeviceNames() override { return card.WaveInDeviceNames(); }
  void PlaySoundFile(const std::string& path) override;
  std::vector<std::string> Sounds() const;

  platform::VirtualAudioBackend card;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> sounds_;
};

// A main window on the test card, with a folder for the test's files.
class MainFormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override;
  void TearDown() override;

  std::string Path(const std::string& name) const;
  // Writes a mono 16-bit WAV at kRate and loads it.
  void LoadTestFile(uint32_t seconds, const std::string& name = "voice.wav");
  void ClickPlay();  // clicks Play with the mouse and waits (bounded) until the input plays
  // Lets `seconds` of audio play on the manual card, each second only once it is queued.
  void PlaySeconds(int seconds);
  int32_t State() const { return form->Transport().State(); }
  // The five transport buttons' enabled states as a mask (bit 4 Rec ... bit 0 Repeat).
  int EnabledMask() const;

  static constexpr uint32_t kRate = 11025;

  std::unique_ptr<ScriptedMessages> messages;
  std::unique_ptr<TestBackend> backend;
  std::unique_ptr<app::TMainForm> form;
  std::string dir;
};

}  // namespace apptest
