// The settings file "Verbat.ini": every key the main window keeps there, the hot-key table's
// section "KeyMap", and plain accessors for the equalizer window's section "Equalizer".
//
// Each access opens the file, reads or writes, and closes it; nothing is cached. A write reads
// the file, changes only the lines of its own keys (IniText), writes the result to a new file
// beside it, flushes that to the disk and renames it over the old one, so the file is at every
// moment either the old or the new text, never half of each. A file that cannot be read is
// never overwritten: what it holds (other sections, the equalizer's gains) would be lost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "app/HotKeys.h"
#include "app/SettingsIni.h"

namespace app {

// The system's temporary folder (TMPDIR when it names an absolute path, else "/tmp") without a
// trailing separator; the root stays "/".
std::string DefaultWorkDir();

// The main window's settings, each at its default. Which section and key holds each field, and
// what a hand-edited value outside the usable range becomes, is in the key table in
// Settings.cc.
struct Settings {
  std::string AudioFileName;      // the file loaded at close; empty: none
  int32_t Counter = 0;            // position in seconds at close
  int32_t RevSec = 3;             // step back on stop
  int32_t RepeatSec = 10;         // repeat window
  int32_t FfRwSec = 4;            // fast-forward and rewind jump
  int32_t DelaySec = 0;           // delay before a stop takes effect
  std::string DelimiterFileName;  // sound played when repeat jumps back
  int32_t Channels = 2;           // recording: 1 or 2
  int32_t Rate = 22050;           // recording sample rate
  int32_t BitsPerSample = 16;     // recording: 8 or 16
  int32_t PreferredDeviceID = 0;  // recording device, its position in the options dialog's list
  std::string WorkDir = DefaultWorkDir();  // folder of the recording work file
  int32_t FreeSpace = 50;                  // megabytes that must stay free while recording
  bool NonLockMode = false;                // play/stop key plays only while held
  bool DspAlert = true;                    // warn before each speed change
  int32_t Top = 0;                         // main window's top-left corner
  int32_t Left = 0;
  bool KeepPitch = false;  // speed changes keep the pitch

  bool operator==(const Settings&) const = default;
};

// A failure to read or write the settings file: a message for the user (Japanese, naming the
// file) and the system's reason.
struct SettingsError {
  std::string message;
  std::string cause;

  // The message with the reason below it, as a message box shows it.
  std::string Text() const;
};

// The settings and the hot-key table in the text of a settings file, without file access (the
// fuzz target drives these directly). Reading applies the table's rules for hand-edited values;
// writing writes the keys in the order the file has always had them, "Version" first.
Settings ReadSettings(const IniText& ini);
void WriteSettings(IniText& ini, const Settings& settings, std::string_view version);
HotKeyTable ReadKeyMap(const IniText& ini);
void WriteKeyMap(IniText& ini, const HotKeyTable& table);

// A "KeyMap" value "MMM,KKK,FF": nullopt unless it has exactly that form (three, three and two
// decimal digits in fixed columns; the separators themselves are not checked).
std::optional<HotKeyEntry> ParseKeyMapValue(std::string_view value);
// "%03d,%03d,%02d" of the entry; "000,000,00" for an entry that cannot be assigned.
std::string FormatKeyMapValue(const HotKeyEntry& entry);
// The table as it can be stored: an entry with a function number outside 1..11, a modifier
// other than Shift/Ctrl/Alt bits, a key code outside 1..255, or the combination of an earlier
// assigned entry becomes unassigned (0, 0, 0).
HotKeyTable SanitizeKeyMap(const HotKeyTable& table);

class SettingsFile {
 public:
  explicit SettingsFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }

  // A missing file or key gives the default. A file that exists but cannot be read also gives
  // the defaults, and the reason in *error when error is not null.
  Settings LoadSettings(std::optional<SettingsError>* error = nullptr) const;
  HotKeyTable LoadKeyMap(std::optional<SettingsError>* error = nullptr) const;

  // Each writes its keys in one replacement of the file; nullopt on success. On failure the
  // old file is left as it was.
  [[nodiscard]] std::optional<SettingsError> SaveSettings(const Settings& settings,
                                                          std::string_view version) const;
  [[nodiscard]] std::optional<SettingsError> SaveKeyMap(const HotKeyTable& table) const;

  // Any section's keys (the equalizer window's "Range00".."Range14"). A missing or unreadable
  // file or key, or an integer key holding no decimal integer, gives the default.
  int32_t ReadInt(std::string_view section, std::string_view key, int32_t default_value) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;
  [[nodiscard]] std::optional<SettingsError> WriteInt(std::string_view section,
                                                      std::string_view key, int32_t value) const;
  // Several keys of one section in one replacement of the file, all or none (the equalizer
  // window's fifteen gains at its end).
  [[nodiscard]] std::optional<SettingsError> WriteInts(
      std::string_view section, std::span<const std::pair<std::string, int32_t>> values) const;
  // A value holding a line break cannot be stored and is refused.
  [[nodiscard]] std::optional<SettingsError> WriteString(std::string_view section,
                                                         std::string_view key,
                                                         std::string_view value) const;

 private:
  // The file's text; empty text for a missing file, nullopt (and the reason) when it exists but
  // cannot be read.
  std::optional<IniText> Read(std::optional<SettingsError>* error) const;
  // Reads the file, lets change edit the text, and replaces the file with the result.
  std::optional<SettingsError> Update(const std::function<bool(IniText&)>& change) const;

  std::filesystem::path path_;
};

// Where the settings file lives. It is "Verbat.ini" in the program's folder when that folder
// can be written (a program unpacked in the user's own folder, or the build tree); for an
// installed program (its data in ../share/verbat, or its folder not writable) it is
// $XDG_CONFIG_HOME/Verbat/Verbat.ini, or ~/.config/Verbat/Verbat.ini when XDG_CONFIG_HOME is
// unset or not an absolute path.
struct SettingsPlaces {
  std::string xdg_config_home;  // the environment's values; empty when unset
  std::string home;
  // Whether a file can be created in this folder.
  std::function<bool(const std::filesystem::path&)> folder_writable;

  // The process's environment, and the system's answer for the folder.
  static SettingsPlaces FromSystem();
};
std::filesystem::path SettingsFilePath(const std::filesystem::path& program_folder,
                                       const SettingsPlaces& places = SettingsPlaces::FromSystem());

}  // namespace app
