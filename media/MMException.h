// Errors of the media layer. MediaError carries a file or format problem with a message for the
// user; MMException carries the result code of a failing sound-device call, its message being the
// device layer's text for that code.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/mm_result.h"

namespace media {

class MediaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MMException : public std::runtime_error {
 public:
  explicit MMException(platform::MMResult result)
      : std::runtime_error(platform::MMErrorText(result)), result_(result) {}

  platform::MMResult result() const { return result_; }
  uint32_t code() const { return platform::ToCode(result_); }

 private:
  platform::MMResult result_;
};

}  // namespace media
