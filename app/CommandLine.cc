#include "app/CommandLine.h"

namespace app {

CommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                             const std::filesystem::path& current_folder) {
  CommandLine result;
  auto fail = [&result](std::string message) {
    result.action = CommandLine::Action::kError;
    result.error = std::move(message);
    return result;
  };
  bool help = false;
  bool version = false;
  bool play = false;
  bool options_ended = false;  // after "--" every argument is a file name
  std::vector<std::string> files;
  for (const std::string& argument : arguments) {
    if (!options_ended && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--") {
        options_ended = true;
      } else if (argument == "--help" || argument == "-h") {
        help = true;
      } else if (argument == "--version") {
        version = true;
      } else if (argument == "--play") {
        play = true;
      } else {
        return fail("不明なオプションです: " + argument);
      }
      continue;
    }
    if (argument.empty()) return fail("ファイル名が空です");
    files.push_back(argument);
  }
  if (help) {
    result.action = CommandLine::Action::kHelp;
    return result;
  }
  if (version) {
    result.action = CommandLine::Action::kVersion;
    return result;
  }
  if (files.size() > 1) return fail("ファイルは一つだけ指定できます: " + files[1]);
  if (files.empty()) {
    if (play) return fail("--play には再生するファイルの指定が必要です");
    return result;
  }
  // Made absolute here: a running Verbat that takes the file over works in another folder.
  // "." parts go; ".." stays, since after a symbolic link it does not lead where the text says.
  std::filesystem::path path(files.front());
  if (path.is_relative()) {
    if (current_folder.empty()) {
      return fail("現在のフォルダが分からないため、ファイルの場所を決められません: " +
                  files.front());
    }
    path = current_folder / path;
  }
  std::filesystem::path cleaned;
  for (const std::filesystem::path& part : path) {
    if (!part.empty() && part != ".") cleaned /= part;
  }
  result.has_file = true;
  result.file.path = cleaned.string();
  result.file.play = play;
  return result;
}

std::string HelpText() {
  return "使い方: verbat [--play] [ファイル]\n"
         "\n"
         "文字起こし用の再生ソフト Verbat を起動します。ファイル (WAV、MP3、Ogg Vorbis) を\n"
         "指定すると、起動してすぐにそのファイルを読み込みます。Verbat が既に起動しているときは、\n"
         "起動中のウィンドウがそのファイルを読み込んで前面に出ます。\n"
         "\n"
         "オプション:\n"
         "  --play       ファイルを読み込んだらすぐに再生を始めます\n"
         "  -h, --help   この説明を表示して終了します\n"
         "  --version    バージョンを表示して終了します\n"
         "  --           これより後ろの引数はすべてファイル名として扱います\n";
}

}  // namespace app
