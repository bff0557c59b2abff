// Recording from the main window: the record button with its questions, the recording-time
// counter, the recording loaded when it stops, Save As (across file systems, and when the move
// fails), the recorder ending a recording by itself, and closing while recording. The virtual
// card's recording device makes a tone at the pace the test sets.
#include <unistd.h>
#include <QAction>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "app_test_support.h"
#include "media/InputWav.h"
#include "ui/SpeedButton.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;

class RecordingTest : public MainFormTest {
 protected:
  void SetUp() override {
    MainFormTest::SetUp();
    // The work folder on a memory file system, the saved files on the disk: Save As moves the
    // recording from one file system to another, as it usually does.
    work_dir = (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
               ("verbat-work-" + std::to_string(::getpid()));
    fs::create_directories(work_dir);
    app::StartupOptions options;
    options.hook_library.clear();
    options.settings_file = dir + "/Verbat.ini";
    options.free_space = [this](const std::string&) -> std::optional<uint64_t> {
      return free_bytes.load();
    };
    form = std::make_unique<app::TMainForm>(*backend, options);
    form->FormCreate();
    form->show();
    auto& settings = form->Settings();
    settings.WorkDir = work_dir.string();
    settings.Channels = 1;
    settings.BitsPerSample = 16;
    settings.Rate = static_cast<int32_t>(kRate);
  }
  void TearDown() override {
    MainFormTest::TearDown();
    std::error_code ignored;
    fs::remove_all(work_dir, ignored);
  }
  fs::path WorkFile() const { return work_dir / "VerbatWav.wav"; }
  // The record button clicked, its questions answered by `answers` (OK once they run out).
  void ClickRec(std::initializer_list<ui::MsgResult> answers = {}) {
    for (ui::MsgResult answer : answers) messages->Answer(answer);
    QTest::mouseClick(form->RecBtn(), Qt::LeftButton);
  }
  // Lets the recording device fill `frames` frames and the recorder write them.
  // A second at a time: each full buffer is written and handed back before the next second
  // comes, so that the device always has a buffer to fill and nothing is lost between them.
  void Record(uint64_t frames) {
    while (frames > 0) {
      const uint64_t now = std::min<uint64_t>(frames, kRate);
      const uint64_t bytes = form->Recorder().RecordedBytes() + (now == kRate ? kRate * 2 : 0);
      backend->card.Advance(now);
      ProcessUntil([&] { return form->Recorder().RecordedBytes() >= bytes; },
                   std::chrono::seconds(5));
      frames -= now;
    }
  }

  fs::path work_dir;
  std::atomic<uint64_t> free_bytes{uint64_t{1} << 40};
};

TEST_F(RecordingTest, RecordStopPlayAndSaveAsAcrossFileSystems) {
  ClickRec({ui::MsgResult::kCancel});  // "録音を開始しますか？" Cancel
  EXPECT_FALSE(form->RecBtn()->isChecked());
  EXPECT_FALSE(form->Recorder().IsRecording());
  EXPECT_FALSE(fs::exists(WorkFile()));

  ClickRec();
  ASSERT_TRUE(form->Recorder().IsRecording()) << messages->Texts().join(" / ").toStdString();
  EXPECT_TRUE(form->RecBtn()->isChecked());
  EXPECT_EQ(EnabledMask(), app::kMaskRecording);
  Record(kRate * 2 + kRate / 2);
  const int32_t seconds = form->RecordSeconds();
  form->RecTimerTimer();
  form->RecTimerTimer();
  EXPECT_EQ(form->RecordSeconds(), seconds + 2);
  EXPECT_EQ(form->Panel()->CounterText(), app::TInfoPanel::FormatHms(seconds + 2));

  ClickRec();  // stop: the recording is the current file, unsaved
  EXPECT_FALSE(form->Recorder().IsRecording());
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->path, WorkFile().string());
  EXPECT_EQ(form->Transport().CurrentItem()->total_samples, kRate * 2 + kRate / 2)
      << "the partly filled last second is kept";
  EXPECT_TRUE(form->Unsaved());
  EXPECT_TRUE(form->SaveAs1()->isEnabled());
  EXPECT_EQ(EnabledMask(), app::kMaskStopped);
  ClickPlay();  // it plays
  QTest::mouseClick(form->PlayBtn(), Qt::LeftButton);

  // Over an unsaved recording: OK to start, Cancel to overwriting: nothing is recorded.
  const auto size = fs::file_size(WorkFile());
  messages->Clear();
  ClickRec({ui::MsgResult::kOk, ui::MsgResult::kCancel});
  EXPECT_EQ(messages->Shown().size(), 2u);
  EXPECT_FALSE(form->RecBtn()->isChecked());
  EXPECT_EQ(fs::file_size(WorkFile()), size);

  // Save As to a name without an extension, in another file system.
  QString started_in;
  form->SetSaveChooser([&](QWidget*, const QString& folder, const QString&) {
    started_in = folder;
    return QString::fromStdString(Path("dictation"));
  });
  form->SaveAs1Click();
  EXPECT_EQ(started_in, QCoreApplication::applicationDirPath());
  EXPECT_TRUE(fs::exists(Path("dictation.wav")));
  EXPECT_FALSE(fs::exists(WorkFile()));
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->path, Path("dictation.wav"));
  EXPECT_FALSE(form->Unsaved());
  EXPECT_FALSE(form->SaveAs1()->isEnabled());
}

TEST_F(RecordingTest, AFailingMoveKeepsTheRecordingUnsaved) {
  ClickRec();
  Record(kRate);
  ClickRec();
  ASSERT_TRUE(form->Unsaved());
  messages->Clear();
  form->SetSaveChooser([&](QWidget*, const QString&, const QString&) {
    return QString::fromStdString(Path("no/such/folder/take.wav"));
  });
  form->SaveAs1Click();
  ASSERT_EQ(messages->Shown().size(), 1u);
  EXPECT_TRUE(messages->Texts()[0].startsWith("録音した内容を保存できませんでした。"));
  EXPECT_TRUE(fs::exists(WorkFile()));
  EXPECT_TRUE(form->Unsaved());
  EXPECT_TRUE(form->SaveAs1()->isEnabled());
  EXPECT_EQ(form->Transport().CurrentItem()->path, WorkFile().string());
}

TEST_F(RecordingTest, LowSpaceEndsTheRecordingByItselfAndClosingFinishesIt) {
  form->Settings().FreeSpace = 50;
  ClickRec();
  ASSERT_TRUE(form->Recorder().IsRecording());
  Record(kRate);
  free_bytes = 10 << 20;  // 10 MB left: below the 50 MB limit
  backend->card.Advance(kRate);
  ASSERT_TRUE(ProcessUntil([&] { return !form->Recorder().IsRecording(); }))
      << "the recorder did not stop for want of space";
  EXPECT_TRUE(messages->Texts().contains(QString::fromUtf8(record::kMsgLowFreeSpace)));
  EXPECT_FALSE(form->RecBtn()->isChecked());
  EXPECT_TRUE(form->Unsaved());
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->path, WorkFile().string());

  // Closing while recording: Cancel keeps recording; OK finishes the work file properly.
  free_bytes = uint64_t{1} << 40;
  messages->Answer(ui::MsgResult::kOk);  // overwrite the unsaved recording
  ClickRec();
  ASSERT_TRUE(form->Recorder().IsRecording());
  Record(kRate);
  messages->Answer(ui::MsgResult::kCancel);
  EXPECT_FALSE(form->FormCloseQuery());
  EXPECT_TRUE(form->Recorder().IsRecording());
  messages->Answer(ui::MsgResult::kOk);  // "録音中です" OK
  EXPECT_TRUE(form->FormCloseQuery());
  EXPECT_FALSE(form->Recorder().IsRecording());
  media::InputWav wav;
  media::InputInfo info;
  wav.Open(WorkFile().string(), info);
  EXPECT_EQ(info.total_samples, kRate);
}

// The recording device goes away: the recording ends by itself with the message, and the work
// file keeps every second recorded up to then (the partly filled buffer too) as a valid WAV file.
TEST_F(RecordingTest, ALostDeviceEndsTheRecordingAndKeepsWhatWasRecorded) {
  ClickRec();
  ASSERT_TRUE(form->Recorder().IsRecording());
  Record(kRate * 2);
  backend->card.Advance(kRate / 2);  // half a second in the buffer being filled
  backend->card.LoseDevices();
  ASSERT_TRUE(ProcessUntil([&] { return !form->Recorder().IsRecording(); }))
      << "the recording went on after its device was lost";
  EXPECT_TRUE(messages->Texts().contains(QString::fromUtf8(record::kMsgDeviceLost)))
      << messages->Texts().join(" / ").toStdString();
  EXPECT_EQ(messages->Texts().count(QString::fromUtf8(record::kMsgDeviceLost)), 1)
      << "the loss is told once";
  EXPECT_FALSE(form->RecBtn()->isChecked());
  EXPECT_TRUE(form->Unsaved());
  ASSERT_NE(form->Transport().CurrentItem(), nullptr);
  EXPECT_EQ(form->Transport().CurrentItem()->total_samples, kRate * 2 + kRate / 2);

  // A stalled device: the stop gives up on it, the work file keeps what was written.
  messages->Clear();
  messages->Answer(ui::MsgResult::kOk);  // overwrite the unsaved recording
  ClickRec();
  ASSERT_TRUE(form->Recorder().IsRecording()) << messages->Texts().join(" / ").toStdString();
  Record(kRate);
  backend->card.Stall(true);
  ClickRec();
  backend->card.Stall(false);
  EXPECT_FALSE(form->Recorder().IsRecording());
  media::InputWav wav;
  media::InputInfo info;
  wav.Open(WorkFile().string(), info);
  EXPECT_EQ(info.total_samples, kRate);
  EXPECT_TRUE(messages->Texts().contains(
      QString::fromStdString(platform::MMErrorText(platform::MMResult::kDeviceLost))))
      << messages->Texts().join(" / ").toStdString();
}

}  // namespace
}  // namespace apptest
