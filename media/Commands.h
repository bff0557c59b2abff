// The command messages the main thread posts to an input's reader thread, and the notification
// codes the reader reports back through the input's callback.
#pragma once

#include <cstdint>

namespace media {

// Thread message numbers (platform::ThreadMessage::id). Pause, resume and seek carry an answer
// event in ThreadMessage::reply; seek carries the sample index in ThreadMessage::param.
inline constexpr uint32_t CMD_STOP = 0x8000;
inline constexpr uint32_t CMD_PAUSE = 0x8002;
inline constexpr uint32_t CMD_RESUME = 0x8003;
inline constexpr uint32_t CMD_SEEK = 0x8004;
// Posted by the output when its device was lost: playback ends (paused playback too).
inline constexpr uint32_t CMD_DEVICE_LOST = 0x8005;

// Notification codes, always sent on the reader thread.
inline constexpr int32_t NOTIFY_RESYNC = 0;  // MP3: a frame failed to decode, searching on
inline constexpr int32_t NOTIFY_PAUSED = 3;  // the reader has paused the output
inline constexpr int32_t NOTIFY_END = 4;     // playback has finished by itself; output closed
// Playback has ended because the sound device was lost (its server ended or stopped answering);
// the output is closed and the reader has ended.
inline constexpr int32_t NOTIFY_DEVICE_LOST = 5;

// Input states (InputMedia::GetState).
inline constexpr int32_t kStateStopped = 0;
inline constexpr int32_t kStatePlaying = 1;
inline constexpr int32_t kStatePaused = 2;

}  // namespace media
