// The program's command line: verbat [--play] [FILE], --help, --version. It is read before the
// application object exists, so that --help and --version work without a display and a second
// process can hand its file over without opening one.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace app {

// A file to load in the window, from the command line or handed over by a second process.
struct OpenRequest {
  std::string path;   // absolute
  bool play = false;  // start playback as soon as it is loaded
  bool operator==(const OpenRequest&) const = default;
};

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kError };
  Action action = Action::kRun;
  bool has_file = false;
  OpenRequest file;   // when has_file
  std::string error;  // when kError: what was wrong, for standard error
  // The exit status for kHelp and kVersion (0) and kError (2).
  int ExitStatus() const { return action == Action::kError ? 2 : 0; }
};

// Reads the arguments after the program's name. A relative FILE is taken from `current_folder`
// (the caller's folder, which the process that finally loads it may not share); an empty
// `current_folder` (it could not be found) makes a relative FILE an error.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                             const std::filesystem::path& current_folder);

// The text --help prints (Japanese), ending with a line feed.
std::string HelpText();

}  // namespace app
