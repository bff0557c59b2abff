// Result codes of the sound devices, numbered like the multimedia result codes of the desktop
// platform the program grew up on, so that a code shown to the user or stored means the same.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class MMResult : uint32_t {
  kNoError = 0,
  kError = 1,          // unspecified error
  kBadDeviceId = 2,    // device number out of range
  kNotEnabled = 3,     // driver failed enable
  kAllocated = 4,      // device already allocated
  kInvalidHandle = 5,  // device not open
  kNoDriver = 6,       // no device driver present
  kNoMem = 7,          // memory allocation error
  kNotSupported = 8,   // function not supported
  kInvalidFlag = 10,
  kInvalidParam = 11,
  kHandleBusy = 12,    // handle in use by another thread
  kBadFormat = 32,     // unsupported wave format
  kStillPlaying = 33,  // blocks still queued
  kUnprepared = 34,    // block not prepared
  kSync = 35,          // device is synchronous
  // The device went away while open (the sound server ended) or stopped answering (a stalled
  // server): every later call on it fails at once with this code until it is closed.
  kDeviceLost = 64,
};

constexpr uint32_t ToCode(MMResult r) {
  return static_cast<uint32_t>(r);
}

// The text for a result code, in Japanese, as shown to the user.
std::string MMErrorText(MMResult result);

}  // namespace platform
