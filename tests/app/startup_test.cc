// Start-up and shutdown of the main window: the keyboard-watch checks and the recording device,
// the single-instance lock, the settings file read at creation and written at close, the last
// file restored, and the hot keys the watch reports, run against the transport.
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/EqualizerStore.h"
#include "app/SingleInstance.h"
#include <cmath>
#include "app_test_support.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class StartupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = (std::filesystem::temp_directory_path() /
           ("verbat-startup-" + std::to_string(::getpid()) + "-" + info->name()))
              .string();
    std::filesystem::create_directories(dir);
    ini = dir + "/Verbat.ini";
  }
  void TearDown() override {
    form.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  // A window as the program makes it, with its settings in the test's folder; `library` empty:
  // no keyboard watch.
  void Start(const std::string& library = {}, platform::AudioBackend* card = nullptr) {
    form.reset();
    app::StartupOptions options;
    options.hook_library = library;
    options.settings_file = ini;
    form = std::make_unique<app::TMainForm>(card ? *card : backend, options);
    form->FormCreate();
  }
  // The event loop as the program runs it: the exit code a failed start-up asked for, or 0 when
  // it ran until the test ended it.
  int RunEventLoop() {
    QTimer::singleShot(300, [] { QCoreApplication::exit(0); });
    return QApplication::exec();
  }
  // A key event as the keyboard watch reports it.
  void Key(int32_t modifier, int32_t key, bool released = false) {
    app::HookEvent report(form->Hook().HookMessage(),
                          (static_cast<uintptr_t>(modifier) << 16) | static_cast<uint32_t>(key),
                          released ? static_cast<intptr_t>(KBDWATCH_KEY_UP_FLAG) : 0);
    QCoreApplication::sendEvent(form.get(), &report);
  }
  void PlaySeconds(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      ASSERT_TRUE(backend.card.WaitUntil([&] { return backend.card.QueuedBlocks() >= 5; },
                                         platform::Milliseconds(10000)));
      backend.card.Advance(kRate);
    }
    form->IntTimerTimer();
  }
  int32_t State() const { return form->Transport().State(); }

  static constexpr uint32_t kRate = 11025;
  ScriptedMessages messages;
  TestBackend backend;
  std::unique_ptr<app::TMainForm> form;
  std::string dir, ini;
};

TEST_F(StartupTest, EachFailedCheckShowsItsMessageAndEndsWithExitCodeOne) {
  platform::VirtualAudioBackend no_recording_device({platform::Pacing::kManual, 1.0, 0});
  struct Case {
    std::string library;
    platform::AudioBackend* card;
    QString message;
  } cases[] = {
      {dir + "/NoSuch.so", nullptr, "KbdWatch.soをﾛｰﾄﾞ出来ませんでした...\nVerbatを終了します"},
      {BROKEN_HOOK_NO_GET_HOOK_MSG_STRING, nullptr,
       "GetHookMsgString Procedure Load Error...\nVerbatを終了します"},
      {BROKEN_HOOK_NO_SET_HOOK, nullptr, "SetHook Procedure Load Error...\nVerbatを終了します"},
      {BROKEN_HOOK_SET_HOOK_FALSE, nullptr, "Hook Error...\nVerbatを終了します"},
      {"", &no_recording_device,
       "使用可能なｻｳﾝﾄﾞﾃﾞｨﾊﾞｲｽが見つかりません\n先にｻｳﾝﾄﾞﾃﾞｨﾊﾞｲｽの設定を確認して下さい\n\n"
       "Verbatを終了します"},
  };
  for (const Case& c : cases) {
    messages.Clear();
    Start(c.library, c.card);
    EXPECT_EQ(RunEventLoop(), 1) << c.message.toStdString();
    ASSERT_EQ(messages.Shown().size(), 1u) << c.message.toStdString();
    EXPECT_EQ(messages.Shown()[0].text, c.message);
    EXPECT_EQ(messages.Shown()[0].caption, "Verbat");
    EXPECT_EQ(messages.Shown()[0].icon, ui::MsgIcon::kError);
    form->FormDestroy();
  }
  // Without a failure the loop runs until it is ended.
  messages.Clear();
  Start("");
  EXPECT_EQ(RunEventLoop(), 0);
  EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(StartupTest, OnlyOneInstanceAndACrashNeverBlocksTheNext) {
  const std::string lock = dir + "/Verbat.lock";
  {
    app::SingleInstance first(lock);
    ASSERT_TRUE(first.Acquire());
    app::SingleInstance second(lock);
    EXPECT_FALSE(second.Acquire());
  }
  // A process holding the lock is killed: the lock goes with it.
  const pid_t child = ::fork();
  if (child == 0) {
    app::SingleInstance held(lock);
    if (!held.Acquire()) ::_exit(3);
    ::pause();
    ::_exit(0);
  }
  app::SingleInstance waiting(lock);
  bool refused_while_alive = false;
  for (int i = 0; i < 200 && !refused_while_alive; ++i) {
    refused_while_alive = !app::SingleInstance(lock).Acquire();
    if (!refused_while_alive) ::usleep(10000);
  }
  EXPECT_TRUE(refused_while_alive) << "the child never held the lock";
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(waiting.Acquire());
}

TEST_F(StartupTest, ClosingWritesEverySettingAndTheNextStartReadsThem) {
  Start();
  EXPECT_EQ(form->Settings(), app::Settings()) << "no file: every default";
  ASSERT_TRUE(form->FormCloseQuery());
  const std::string text = ReadFile(ini);
  for (const char* key : {"Version=",      "AudioFileName=",     "Counter=0",
                          "RevSec=3",      "RepeatSec=10",       "FfRwSec=4",
                          "DelaySec=0",    "DelimiterFileName=", "Channels=2",
                          "Rate=22050",    "BitsPerSample=16",   "PreferredDeviceID=0",
                          "WorkDir=",      "FreeSpace=50",       "Top=",
                          "Left=",         "NonLockMode=0",      "DspAlert=1",
                          "01=000,000,00", "11=000,000,00"}) {
    EXPECT_NE(text.find(key), std::string::npos) << key;
  }

  // A loaded file, its position and a changed setting come back at the next start.
  WriteWav(dir + "/voice.wav", kRate, 1, 16, 60);
  form->LoadFile(QString::fromStdString(dir + "/voice.wav"));
  form->Transport().SetPosition(42);
  form->Settings().RevSec = 5;
  ASSERT_TRUE(form->FormCloseQuery());
  Start();
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->path, dir + "/voice.wav");
  EXPECT_EQ(form->Transport().Position(), 42);
  EXPECT_EQ(form->Settings().RevSec, 5);

  // Closing with an unsaved recording, answered Cancel: the window stays, but playback stops and
  // the settings are written all the same.
  form->SetUnsaved(true);
  QTest::mouseClick(form->PlayBtn(), Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  PlaySeconds(3);
  messages.Answer(ui::MsgResult::kCancel);
  EXPECT_FALSE(form->FormCloseQuery());
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_NE(ReadFile(ini).find("Counter=45"), std::string::npos);
  EXPECT_TRUE(messages.Texts().contains(
      "録音した内容が保存されていません。\nこのまま終了してよろしいですか？"));
}

TEST_F(StartupTest, EqualizerGainsSurviveARestartThroughTheSettingsFile) {
  Start();
  app::EqualizerStore store(form->SettingsStore());
  {
    ui::TEqualizerPanelForm equalizer(store);
    EXPECT_EQ(equalizer.GainTrackBar(9)->value(), 24) << "no section: 0 dB";
    equalizer.GainTrackBar(9)->setValue(0);
    equalizer.GainTrackBar(1)->setValue(48);
    ASSERT_TRUE(form->FormCloseQuery());  // the main window's settings first, as at the end
  }
  const std::string text = ReadFile(ini);
  EXPECT_NE(text.find("[Equalizer]"), std::string::npos);
  EXPECT_NE(text.find("Range08=0"), std::string::npos);
  EXPECT_NE(text.find("Range00=48"), std::string::npos);
  EXPECT_NE(text.find("RevSec=3"), std::string::npos) << "the window's keys are kept";
  Start();
  app::EqualizerStore again(form->SettingsStore());
  ui::TEqualizerPanelForm equalizer(again);
  EXPECT_EQ(equalizer.GainTrackBar(9)->value(), 0);
  EXPECT_EQ(equalizer.GainTrackBar(1)->value(), 48);
  EXPECT_NEAR(equalizer.BandGain(8), std::pow(10.0f, 15.0f / 20), 1e-3);
}

TEST_F(StartupTest, TheLastFileGoneOrUndecodableStartsWithNone) {
  // Gone: the message, no file, and the next start says nothing.
  WriteWav(dir + "/gone.wav", kRate, 1, 16, 5);
  std::ofstream(ini) << "[WaveFile]\nAudioFileName=" << dir << "/gone.wav\n";
  std::filesystem::remove(dir + "/gone.wav");
  Start();
  EXPECT_EQ(
      messages.Texts(),
      QStringList{"前回開いたファイルを見つけることが出来ませんでした\nファイル名を初期化します"});
  EXPECT_EQ(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(RunEventLoop(), 0);
  ASSERT_TRUE(form->FormCloseQuery());
  messages.Clear();
  Start();
  EXPECT_TRUE(messages.Shown().empty());

  // Undecodable: the message, the program ends, and the next start comes up empty.
  std::ofstream(dir + "/noise.wav") << "not a sound file";
  std::ofstream(ini) << "[WaveFile]\nAudioFileName=" << dir << "/noise.wav\n";
  Start();
  EXPECT_EQ(messages.Texts(), QStringList{"エラーが発生しました\n\nVerbatを終了します"});
  EXPECT_EQ(RunEventLoop(), 1);
  form->FormDestroy();  // the end of the program, without a close request
  messages.Clear();
  Start();
  EXPECT_TRUE(messages.Shown().empty());
  EXPECT_EQ(form->Transport().CurrentItem(), nullptr);
}

TEST_F(StartupTest, HotKeysRunTheirFunctionsAndNonLockPlaysWhileHeld) {
  WriteWav(dir + "/voice.wav", kRate, 1, 16, 60);
  std::ofstream(ini) << "[WaveFile]\nAudioFileName=" << dir << "/voice.wav\nCounter=10\n"
                     << "[KeyMap]\n01=008,032,01\n03=016,065,03\n04=004,065,04\n";
  Start();
  Key(0, 0x20);  // Space without Ctrl: no entry
  EXPECT_EQ(State(), media::kStateStopped);
  Key(8, 0x20);  // Ctrl+Space: play
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  Key(8, 0x20, true);  // its release does nothing without the non-lock mode
  Key(16, 0x41, true);
  EXPECT_EQ(State(), media::kStatePlaying);
  PlaySeconds(2);
  Key(16, 0x41);  // Alt+A: fast-forward 12 + 4
  EXPECT_EQ(form->Transport().Position(), 16);
  Key(4, 0x41);  // Shift+A: rewind 16 - 4
  EXPECT_EQ(form->Transport().Position(), 12);
  PlaySeconds(1);
  Key(8, 0x20);  // Ctrl+Space again: stop with the step back
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(form->Transport().Position(), 13 - 3);

  form->Settings().NonLockMode = true;
  form->Transport().ApplyOptions();
  Key(8, 0x20);  // held: plays
  ASSERT_TRUE(ProcessUntil([&] { return State() == media::kStatePlaying; }));
  PlaySeconds(2);
  for (int i = 0; i < 3; ++i) Key(8, 0x20);  // the key's auto-repeat changes nothing
  EXPECT_EQ(State(), media::kStatePlaying);
  EXPECT_TRUE(form->PlayBtn()->isChecked());
  Key(8, 0x20, true);  // released: stops with the step back
  EXPECT_EQ(State(), media::kStateStopped);
  EXPECT_EQ(form->Transport().Position(), 12 - 3);
}

}  // namespace
}  // namespace apptest
