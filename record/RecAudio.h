// The recorder: records from a wave-in device into the work file "VerbatWav.wav" in the work
// folder, one second of sound per buffer, on a thread of its own.
//
// Threads. The main thread calls every public operation. The recorder thread owns the device,
// its two buffers and the work file: the device posts each filled buffer to the recorder's
// queue, and the thread checks the free space, appends the buffer to the file and hands it back.
// Starting and stopping are commands sent to that same queue, whose answers the main thread
// waits for; so once StopRecording has been called the thread handles no buffer of that
// recording any more except in the stop itself, and notices of a closed device (told apart by
// the serial number each one carries) are never taken for buffers of the next recording.
//
// The recorder never shows a window: it hands its messages to its owner, the main window.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/thread.h"
#include "platform/wave_device.h"
#include "record/FreeSpace.h"
#include "record/WorkFile.h"

namespace record {

// The window message with which the main window is asked to stop a recording that the recorder
// had to end by itself (wParam 0, lParam 0).
inline constexpr uint32_t WM_RECORDER_STOP = 2025;

inline constexpr char kWorkFileName[] = "VerbatWav.wav";

// The messages of the recorder, shown by its owner.
inline constexpr char kMsgNoWorkDir[] =
    "作業フォルダに指定されたディレクトリが\n存在しないので録音が出来ません";
inline constexpr char kMsgFreeSpaceUnknown[] = "ディスクの空き容量の取得に失敗しました";
inline constexpr char kMsgLowFreeSpace[] =
    "[ｵﾌﾟｼｮﾝ][録音2][ﾊｰﾄﾞﾃﾞｨｽｸ空容量]で指定された値より\n"
    "ﾊｰﾄﾞﾃﾞｨｽｸの空き容量が少ないので録音を停止しました。";
inline constexpr char kMsgDeviceOpenFailed[] =
    "ｵｰﾃﾞｨｵﾃﾞｨﾊﾞｲｽのｵｰﾌﾟﾝに失敗しました。\n録音を中止します。\n\nPCの環境を確認して下さい。";
inline constexpr char kMsgWorkFileFailed[] =
    "作業用ファイルの作成に失敗しました。\n録音を中止します。\n\nPCの環境を確認して下さい。";
inline constexpr char kMsgStartFailed[] =
    "録音の開始に失敗しました。\n録音を中止します。\n\nPCの環境を確認して下さい。";
// A write to the work file failed during a recording (the system's reason follows on a line of
// its own); everything up to that point stays in the file.
inline constexpr char kMsgWriteFailed[] =
    "作業用ファイルへの書き込みに失敗したので録音を停止しました。\n"
    "それまでに録音した内容は保存されています。";
// The recording device went away (the sound server ended or stopped answering); everything
// recorded up to then stays in the work file.
inline constexpr char kMsgDeviceLost[] =
    "サウンドデバイスが使えなくなったので録音を停止しました。\n"
    "それまでに録音した内容は保存されています。";
// The work file has reached the size a WAV file can describe (4 GB).
inline constexpr char kMsgFileFull[] =
    "作業用ファイルが WAV ファイルの最大サイズ（4GB）に達したので録音を停止しました。\n"
    "それまでに録音した内容は保存されています。";

// The recording settings, read afresh at every start.
struct RecordingSettings {
  int32_t Channels = 2;        // 1 or 2
  int32_t Rate = 44100;        // 8000, 11025, 22050 or 44100
  int32_t BitsPerSample = 16;  // 8 or 16
  int32_t PreferredDeviceID = platform::kDefaultWaveInDevice;
  std::string WorkDir;    // the work folder
  int32_t FreeSpace = 0;  // megabytes that must stay free; 0 for no limit
};

enum class MessageStyle {
  kApplication,  // the application's plain message dialog with its title
  kSystemModal,  // a system-modal box with OK only, no owner window, the default caption
};

// What the recorder needs of the main window.
class RecorderOwner {
 public:
  // On the main thread, inside StartRecording: shows a message and returns once it is closed.
  virtual void ShowRecorderMessage(const std::string& text, MessageStyle style) = 0;
  // On the recorder thread: the recording must end. Must only post WM_RECORDER_STOP to the
  // main window, carrying `message` (shown system-modal there before StopRecording is called);
  // it must not wait for the main thread. Called at most once per recording.
  virtual void PostRecorderStop(const std::string& message) = 0;

 protected:
  ~RecorderOwner() = default;
};

// The work file's path: the folder, one "/", the file name; a folder that already ends in "/"
// (the root folder among them) gets no second one.
std::string WorkFilePath(const std::string& work_dir);

class RecAudio {
 public:
  // The backend and the owner must outlive the recorder. The thread starts here and waits for
  // work between recordings.
  RecAudio(platform::AudioBackend& backend, RecorderOwner& owner,
           FreeSpaceQuery free_space = GetFreeBytes);
  ~RecAudio();  // Shutdown
  RecAudio(const RecAudio&) = delete;
  RecAudio& operator=(const RecAudio&) = delete;

  // True when recording has begun; false after a failure, whose message the owner has then
  // already shown. A start while recording first ends the running recording as StopRecording
  // does. Each start replaces the work file.
  bool StartRecording(const RecordingSettings& settings);

  // Ends the recording: everything the device recorded goes into the work file (the partly
  // filled last buffer too, unless the recording was stopped for want of space), the file is
  // finished and closed and the device closed. Throws media::MMException with the device's
  // code when the device could not be reset; the file is finished all the same. Nothing
  // happens when not recording.
  void StopRecording();

  // 1 from a successful start until the stop, else 0.
  int32_t IsRecording() const { return recording_; }

  // The work file of the last start; empty before the first.
  std::string GetWorkFileName() const { return work_file_; }

  // Bytes of sound in the work file of the current (or last) recording.
  uint64_t RecordedBytes() const { return recorded_bytes_.load(); }

  // At program exit: finishes a running recording as StopRecording does (a device error is
  // then not raised) and ends the thread. Later starts fail.
  void Shutdown();

  // The largest number of sample bytes one recording may hold: the WAV limit, or less for a
  // test. Takes effect at the next start.
  void SetMaxDataBytes(uint64_t bytes) { max_data_bytes_ = bytes; }

  // The recorder thread, to which the device posts its notices (for tests that post stale ones).
  platform::ThreadId thread_id() const { return thread_.id(); }

 private:
  struct Session;
  struct StartCommand;
  struct StopCommand;

  bool CheckFreeSpace(const RecordingSettings& settings);

  // The recorder thread's side.
  void Execute();
  void DoStart(Session& session, StartCommand& command);
  void DoStop(Session& session, StopCommand& command);
  bool OpenDevice(Session& session, const RecordingSettings& settings);
  bool CreateWorkFile(Session& session, const std::string& path);
  void FinishWorkFile(Session& session);
  void CloseDevice(Session& session);
  void OnBufferFilled(Session& session, const platform::ThreadMessage& message, bool stopping);
  void RequestStop(Session& session, const std::string& message);

  platform::AudioBackend& backend_;
  RecorderOwner& owner_;
  const FreeSpaceQuery free_space_;
  platform::Thread thread_;

  // The main thread's state.
  int32_t recording_ = 0;
  std::string work_file_;
  uint64_t max_data_bytes_ = kMaxWavDataBytes;

  std::atomic<uint64_t> recorded_bytes_{0};  // published by the recorder thread
};

}  // namespace record
