// Moving a finished recording from the work file to the name the user chose (Save As).
#pragma once

#include <optional>
#include <string>

#include "record/WorkFile.h"

namespace record {

struct MoveError {
  FileError error;  // the step that failed, its file and the system's reason
  // The recording is complete under the new name, but the source could not be removed: it now
  // exists twice, and nothing is lost.
  bool destination_complete = false;
  std::string Describe() const { return error.Describe(); }
};

// Moves `source` to `destination`, replacing a file of that name. Within one file system this is
// a rename. Across file systems the file is copied to a temporary name beside the destination,
// flushed to the disk, renamed over the destination and only then is the source removed. Any
// failure before that point leaves the source as it was, removes the temporary copy and leaves
// an existing destination untouched. Returns nothing on success.
std::optional<MoveError> MoveFile(const std::string& source, const std::string& destination);

}  // namespace record
