// Chooses the input for a file by its extension, ignoring letter case.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "media/InputMedia.h"

namespace media {

// The input for the file's extension, or null when no input reads that kind of file.
std::unique_ptr<InputMedia> CreateInputForPath(const std::string& path);

// The extensions CreateInputForPath knows, upper-case with the dot (".WAV").
std::vector<std::string> KnownExtensions();

}  // namespace media
