#include "media/InputFactory.h"

#include <algorithm>
#include <cctype>

#include "media/InputMP3.h"
#include "media/InputVorbis.h"
#include "media/InputWav.h"

namespace media {

namespace {

std::string UpperExtension(const std::string& path) {
  const std::string name = FileNameOf(path);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return ext;
}

}  // namespace

std::unique_ptr<InputMedia> CreateInputForPath(const std::string& path) {
  const std::string ext = UpperExtension(path);
  if (ext == ".WAV") return std::make_unique<InputWav>();
  if (ext == ".MP3") return std::make_unique<InputMP3>();
  if (ext == ".OGG") return std::make_unique<InputVorbis>();
  return nullptr;
}

std::vector<std::string> KnownExtensions() { return {".WAV", ".MP3", ".OGG"}; }

}  // namespace media
