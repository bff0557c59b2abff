// The work file of a recording: a PCM WAV file with the canonical 44-byte header, to which the
// recorder appends one buffer of sound at a time. Its two size fields are brought up to date
// after every append, so that whatever ends the program the file on disk is a valid WAV file of
// everything appended so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "platform/wave_format.h"

namespace record {

// The file's header size and the largest sample byte count its 32-bit RIFF size can describe.
inline constexpr uint32_t kWavHeaderBytes = 44;
inline constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - (kWavHeaderBytes - 8);

// A failing file operation: what was being done, on which file, and the system's reason.
struct FileError {
  std::string operation;  // "create", "write", ...
  std::string path;
  std::error_code cause;
  std::string Describe() const;  // "write /x/VerbatWav.wav: No space left on device"
};

class WorkFile {
 public:
  WorkFile() = default;
  ~WorkFile();  // finishes the file if it is still open
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;

  // Creates (or empties) the file and writes the header in its five parts: "RIFF" and its size,
  // "WAVE", "fmt " and 16, the 16-byte format record, "data" and its size. The sizes are those
  // of an empty recording (36 and 0), so the file is valid from the start. On failure the file
  // is closed again (what was created of it stays).
  bool Create(const std::string& path, const platform::WaveFormat& format, FileError& error);

  // Appends sample bytes and then rewrites both size fields. When the system takes only part of
  // them (a full disk, a file size limit), the data is cut back to whole frames (counted from
  // the first sample byte, so a partial frame an earlier append left goes too unless this one
  // completed it), and the sizes describe what the file holds; the call then fails.
  bool Append(const uint8_t* bytes, size_t length, FileError& error);

  // Rewrites the sizes, flushes the file to the disk and closes it. Nothing happens when no file
  // is open.
  bool Finish(FileError& error);

  bool IsOpen() const { return fd_ >= 0; }
  uint64_t DataBytes() const { return data_bytes_; }
  const std::string& path() const { return path_; }

 private:
  bool WriteSizes(FileError& error);
  bool Fail(const char* operation, int err, FileError& error) const;

  int fd_ = -1;
  std::string path_;
  uint32_t block_align_ = 1;
  uint64_t data_bytes_ = 0;
};

}  // namespace record
