// The records that describe a playable file: InputInfo (its format and length, filled by an
// input's Open) and PlayListItem (the same plus the path the main window loaded it from).
#pragma once

#include <cstdint>
#include <string>

namespace media {

class InputInfo {
 public:
  virtual ~InputInfo() = default;

  std::string name;            // file name without its folder; empty until an input fills it
  int32_t channels = 0;        // 1 or 2
  int32_t sample_rate = 0;     // frames per second
  int32_t bit_rate = 0;        // bits per second (MP3 only; 0 with a Xing or Info header)
  int32_t frames = 0;          // MPEG frames (MP3 only)
  uint32_t total_samples = 0;  // length in sample frames (one sample of every channel)
  int32_t length = 0;          // whole seconds: total_samples / sample_rate, truncated
};

class PlayListItem : public InputInfo {
 public:
  explicit PlayListItem(std::string full_path) : path(std::move(full_path)) {}

  std::string path;  // as given: the file the main window loaded
};

// The text after the last '/' (or '\\') of a path, or the whole path when it has none.
std::string FileNameOf(const std::string& path);

}  // namespace media
