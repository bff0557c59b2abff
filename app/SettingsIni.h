// The text of an INI file held as its lines, read and changed the way the settings file has
// always been read and changed: a line "[Section]" opens a section, a line "Key=Value" holds a
// key, everything else (comments, blank lines, lines the program does not understand) is kept
// as it is. A change rewrites only the line of that key, or adds one line, so keys, sections and
// comments the program does not know survive every save byte for byte. Works on bytes in memory
// only; reading and writing the file is SettingsFile's job.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

class IniText {
 public:
  IniText() = default;
  explicit IniText(std::string_view bytes);

  // The value of the first "key=value" line of a section of this name (sections of the same
  // name count as one, in file order). Names compare without regard to ASCII letter case;
  // blanks around names and values are ignored, and one pair of enclosing quotes (" or ') is
  // removed, so a value written by Set reads back unchanged. nullopt when the key is missing.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;

  // Replaces the value of the line Get would read, or adds "key=value" after the last key of
  // the first section of that name, or adds the section with the key at the end. A value with
  // blanks at either end, or enclosed in quotes, is written in double quotes. False (and
  // nothing changed) for a name or value holding a line break, which one line cannot carry.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  // The whole text: unchanged lines exactly as read, new lines ending the way the text's first
  // line ends ("\r\n" or "\n").
  std::string Text() const;

  // Whether Set can store this text as a value (no CR or LF).
  static bool Storable(std::string_view value);

 private:
  enum class Kind { kOther, kSection, kKey };
  struct Line {
    std::string text;      // without its line end
    std::string_view end;  // "\n", "\r\n", or "" for a last line without one (literals)
    Kind kind = Kind::kOther;
    // Where the section or key name and the key's value (trimmed, quotes kept) lie in text;
    // offsets rather than views, which a move of a short string would leave dangling.
    size_t name_at = 0, name_size = 0, value_at = 0, value_size = 0;

    Line(std::string line_text, std::string_view line_end);
    // The offsets lie inside text by construction.
    std::string_view Name() const { return {text.data() + name_at, name_size}; }
    std::string_view Value() const { return {text.data() + value_at, value_size}; }
  };

  // The index of the key's line, or npos. When `insert_at` is given it receives where Set adds
  // a missing key: after the last key of the first section of that name (npos: no such
  // section), found in the same pass.
  size_t FindKey(std::string_view section, std::string_view key, size_t* insert_at = nullptr) const;

  std::string bom_;  // a UTF-8 byte-order mark the file started with, written back as it was
  std::vector<Line> lines_;
  std::string_view newline_ = "\n";  // the end of the first line, used for lines Set adds
};

}  // namespace app
