#include "app/Settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <system_error>

namespace app {

namespace {

namespace fs = std::filesystem;

constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kDaySeconds = 24 * 60 * 60;
// The counter is added to (RepeatSec, FfRwSec) in 32 bits by the transport; a billion seconds
// is 31 years of sound and leaves that room.
constexpr int32_t kMaxCounter = 1'000'000'000;
constexpr int32_t kBitSizes[] = {8, 16};

// What a hand-edited integer outside [lo, hi] (or not among `only`) becomes.
enum class Outside { kNearestBound, kDefault };

// One key of the main window's settings. Exactly one of text, number and flag is set; its
// default is the Settings field's own. The rows are in the order SaveSettings writes them.
struct Key {
  std::string_view section;
  std::string_view key;
  std::string Settings::*text = nullptr;
  int32_t Settings::*number = nullptr;
  bool Settings::*flag = nullptr;
  int32_t lo = kIntMin;
  int32_t hi = kIntMax;
  Outside outside = Outside::kNearestBound;
  std::span<const int32_t> only = {};
  bool empty_is_default = false;
};

// Integers that are not decimal integers (or beyond 32 bits) give the default; booleans are
// integers, 0 false. Strings are taken as read.
// clang-format off
constexpr Key kKeys[] = {
    {.section = "WaveFile", .key = "AudioFileName", .text = &Settings::AudioFileName},
    // Negative would start playback before the file's beginning.
    {.section = "WaveFile", .key = "Counter", .number = &Settings::Counter, .lo = 0,
     .hi = kMaxCounter},
    // Negative would step forward on every stop; a step back longer than the dialog's 20 s only
    // ends at 0 and is kept (up to a day, which keeps the transport's sums in 32 bits).
    {.section = "WaveFile", .key = "RevSec", .number = &Settings::RevSec, .lo = 0,
     .hi = kDaySeconds},
    // Below 1 the repeat jump would fire at every position tick; a long window is harmless.
    {.section = "WaveFile", .key = "RepeatSec", .number = &Settings::RepeatSec, .lo = 1,
     .hi = kDaySeconds},
    // Negative would swap fast-forward and rewind; a long jump is harmless.
    {.section = "WaveFile", .key = "FfRwSec", .number = &Settings::FfRwSec, .lo = 0,
     .hi = kDaySeconds},
    // The delayed stop waits this long with the transport disabled: negative would never end,
    // and beyond the dialog's 120 s it would block the player for as long.
    {.section = "WaveFile", .key = "DelaySec", .number = &Settings::DelaySec, .lo = 0, .hi = 120},
    {.section = "WaveFile", .key = "DelimiterFileName", .text = &Settings::DelimiterFileName},
    // The sound devices record mono or stereo only.
    {.section = "WaveFile", .key = "Channels", .number = &Settings::Channels, .lo = 1, .hi = 2,
     .outside = Outside::kDefault},
    // Every rate the sound device opens is kept (32000 set by hand records at 32 kHz); beyond
    // them the device would fail or the one-second buffers grow without bound.
    {.section = "WaveFile", .key = "Rate", .number = &Settings::Rate, .lo = 4000, .hi = 192000,
     .outside = Outside::kDefault},
    // The recorder writes 8- or 16-bit PCM only.
    {.section = "WaveFile", .key = "BitsPerSample", .number = &Settings::BitsPerSample,
     .outside = Outside::kDefault, .only = kBitSizes},
    // As read: -1 is the system's default device, a number naming no device fails to open with
    // the recorder's own message.
    {.section = "WaveFile", .key = "PreferredDeviceID", .number = &Settings::PreferredDeviceID},
    // Empty cannot name a folder: the temporary folder, as when the key is missing.
    {.section = "WaveFile", .key = "WorkDir", .text = &Settings::WorkDir,
     .empty_is_default = true},
    // Negative means what 0 means (never stop for want of space); a guard larger than the
    // dialog's 990 MB is kept, it only stops a recording earlier.
    {.section = "WaveFile", .key = "FreeSpace", .number = &Settings::FreeSpace, .lo = 0},
    // As read; whether the point lies on a screen is for the window to check.
    {.section = "Position", .key = "Top", .number = &Settings::Top},
    {.section = "Position", .key = "Left", .number = &Settings::Left},
    {.section = "WaveFile", .key = "NonLockMode", .flag = &Settings::NonLockMode},
    {.section = "Other", .key = "DspAlert", .flag = &Settings::DspAlert},
    {.section = "Other", .key = "KeepPitch", .flag = &Settings::KeepPitch},
};
// clang-format on

constexpr std::string_view kKeyMapSection = "KeyMap";

std::optional<int32_t> ParseInt(std::string_view text) {
  bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  if (text.empty() || (plus && text.front() == '-')) return std::nullopt;
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string KeyMapName(int index) {  // "01".."11"
  return (index < 9 ? "0" : "") + std::to_string(index + 1);
}

bool Assignable(const HotKeyEntry& e) {
  return e.function >= 1 && e.function <= kHotKeyCount && e.modifier >= 0 &&
         (e.modifier & ~kModifierMask) == 0 && e.key >= 1 && e.key <= 255;
}

std::string ErrnoText(int err) {
  return std::generic_category().message(err);
}

// --- file access ---

struct FileBytes {
  enum class State { kMissing, kRead, kFailed } state = State::kMissing;
  std::string bytes;
  struct stat info {};
  std::string cause;  // kFailed
};

// More than any settings file holds; a bigger "file" is something else (a device, a mistake).
constexpr off_t kMaxFileSize = 16 << 20;

FileBytes ReadWhole(const fs::path& path) {
  FileBytes file;
  // Non-blocking, so that a pipe or device in the file's place cannot hold the program.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT) {
      file.state = FileBytes::State::kFailed;
      file.cause = "open: " + ErrnoText(errno);
    }
    return file;
  }
  file.state = FileBytes::State::kFailed;
  if (fstat(fd, &file.info) != 0) {
    file.cause = "fstat: " + ErrnoText(errno);
  } else if (!S_ISREG(file.info.st_mode)) {
    file.cause = "not a regular file";
  } else if (file.info.st_size > kMaxFileSize) {
    file.cause = "larger than 16 MB";
  } else {
    char buffer[8192];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        file.cause = "read: " + ErrnoText(errno);
        break;
      }
      if (n == 0) {
        file.state = FileBytes::State::kRead;
        break;
      }
      file.bytes.append(buffer, static_cast<size_t>(n));
      if (file.bytes.size() > static_cast<size_t>(kMaxFileSize)) {
        file.cause = "larger than 16 MB";
        break;
      }
    }
  }
  close(fd);
  if (file.state != FileBytes::State::kRead) file.bytes.clear();
  return file;
}

// The file a chain of symbolic links ends at, so that a write replaces that file and leaves the
// link in place. A loop is left as it is: opening it fails and nothing is written.
fs::path FollowLinks(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    fs::path target = fs::read_symlink(path, ec);
    if (ec) return path;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// Creates the missing folders of a path, private to the user as a configuration folder should
// be.
bool MakeFolders(const fs::path& folder, std::string& cause) {
  std::error_code ec;
  if (folder.empty() || fs::is_directory(folder, ec)) return true;
  if (!MakeFolders(folder.parent_path(), cause)) return false;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    cause = "mkdir " + folder.string() + ": " + ErrnoText(errno);
    return false;
  }
  return true;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Writes text to a new file in the target's folder and renames it over the target. The new
// file takes the old one's permission bits (and owner, where allowed), and reaches the disk
// before the rename, so a crash leaves either the old text or the new one.
std::optional<std::string> Replace(const fs::path& target, std::string_view text,
                                   const struct stat* old) {
  std::string cause;
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (!MakeFolders(folder, cause)) return cause;
  // A file made read-only is not replaced behind its owner's back.
  if (old && access(target.c_str(), W_OK) != 0) return "access: " + ErrnoText(errno);

  static std::atomic<unsigned> serial{0};
  const fs::path temp =
      folder / ("." + target.filename().string() + "." + std::to_string(getpid()) + "." +
                std::to_string(serial++) + ".tmp");
  const mode_t mode = old ? (old->st_mode & 07777) : 0666;  // a new file: 0666 less the umask
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return "open " + temp.string() + ": " + ErrnoText(errno);
  auto fail = [&](const std::string& what) {
    const int err = errno;
    close(fd);
    unlink(temp.c_str());
    return what + ": " + ErrnoText(err);
  };
  if (old) {
    if (fchmod(fd, mode) != 0) return fail("fchmod");
    if ((old->st_uid != geteuid() || old->st_gid != getegid()) &&
        fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Only a privileged process may give a file away; the new file stays the writer's own.
    }
  }
  if (!WriteAll(fd, text)) return fail("write " + temp.string());
  if (fsync(fd) != 0) return fail("fsync " + temp.string());
  if (close(fd) != 0) {
    const int err = errno;
    unlink(temp.c_str());
    return "close " + temp.string() + ": " + ErrnoText(err);
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    unlink(temp.c_str());
    return "rename " + temp.string() + ": " + ErrnoText(err);
  }
  // The rename itself lives in the folder's entry list; without this a crash may undo it.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return std::nullopt;
}

}  // namespace

std::string DefaultWorkDir() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string dir = tmpdir && tmpdir[0] == '/' ? tmpdir : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string SettingsError::Text() const {
  return cause.empty() ? message : message + "\n\n(" + cause + ")";
}

Settings ReadSettings(const IniText& ini) {
  Settings settings;
  for (const Key& k : kKeys) {
    const std::optional<std::string> value = ini.Get(k.section, k.key);
    if (!value) continue;
    if (k.text) {
      if (!(k.empty_is_default && value->empty())) settings.*k.text = *value;
      continue;
    }
    const std::optional<int32_t> number = ParseInt(*value);
    if (!number) continue;
    if (k.flag) {
      settings.*k.flag = *number != 0;
      continue;
    }
    int32_t n = *number;
    bool usable = n >= k.lo && n <= k.hi;
    if (usable && !k.only.empty()) {
      usable = false;
      for (int32_t allowed : k.only) usable = usable || n == allowed;
    }
    if (!usable) {
      if (k.outside == Outside::kDefault) continue;
      n = n < k.lo ? k.lo : k.hi;
    }
    settings.*k.number = n;
  }
  return settings;
}

void WriteSettings(IniText& ini, const Settings& settings, std::string_view version) {
  if (!ini.Set("Common", "Version", version)) ini.Set("Common", "Version", "");
  for (const Key& k : kKeys) {
    if (k.text) {
      // A name holding a line break cannot be written; an empty one restores nothing, where a
      // stale one would restore the wrong file.
      if (!ini.Set(k.section, k.key, settings.*k.text)) ini.Set(k.section, k.key, "");
    } else if (k.number) {
      ini.Set(k.section, k.key, std::to_string(settings.*k.number));
    } else {
      ini.Set(k.section, k.key, settings.*k.flag ? "1" : "0");
    }
  }
}

std::optional<HotKeyEntry> ParseKeyMapValue(std::string_view value) {
  if (value.size() != 10) return std::nullopt;
  auto field = [&](size_t at, size_t size) -> std::optional<int32_t> {
    int32_t n = 0;
    for (size_t i = at; i < at + size; ++i) {
      if (value[i] < '0' || value[i] > '9') return std::nullopt;
      n = n * 10 + (value[i] - '0');
    }
    return n;
  };
  const auto modifier = field(0, 3), key = field(4, 3), function = field(8, 2);
  if (!modifier || !key || !function) return std::nullopt;
  return HotKeyEntry{*modifier, *key, *function};
}

std::string FormatKeyMapValue(const HotKeyEntry& entry) {
  if (!Assignable(entry)) return "000,000,00";
  char value[48];  // room for any three ints: the compiler cannot see the ranges
  std::snprintf(value, sizeof value, "%03d,%03d,%02d", static_cast<int>(entry.modifier),
                static_cast<int>(entry.key), static_cast<int>(entry.function));
  return value;
}

HotKeyTable SanitizeKeyMap(const HotKeyTable& table) {
  HotKeyTable out{};
  for (int i = 0; i < kHotKeyCount; ++i) {
    const HotKeyEntry& e = table[i];
    if (!Assignable(e)) continue;
    // Only the first of two equal combinations can ever run; the second is shown as free.
    bool taken = false;
    for (int j = 0; j < i; ++j)
      taken =
          taken || (out[j].function != 0 && out[j].modifier == e.modifier && out[j].key == e.key);
    if (!taken) out[i] = e;
  }
  return out;
}

HotKeyTable ReadKeyMap(const IniText& ini) {
  HotKeyTable table{};
  for (int i = 0; i < kHotKeyCount; ++i) {
    const std::optional<std::string> value = ini.Get(kKeyMapSection, KeyMapName(i));
    if (!value) continue;
    if (const std::optional<HotKeyEntry> entry = ParseKeyMapValue(*value)) table[i] = *entry;
  }
  return SanitizeKeyMap(table);
}

void WriteKeyMap(IniText& ini, const HotKeyTable& table) {
  const HotKeyTable stored = SanitizeKeyMap(table);
  for (int i = 0; i < kHotKeyCount; ++i)
    ini.Set(kKeyMapSection, KeyMapName(i), FormatKeyMapValue(stored[i]));
}

// --- SettingsFile ---

std::optional<IniText> SettingsFile::Read(std::optional<SettingsError>* error) const {
  if (error) error->reset();
  const FileBytes file = ReadWhole(path_);
  if (file.state == FileBytes::State::kFailed) {
    if (error) {
      *error = SettingsError{
          "設定ファイルを読み込めませんでした。既定の設定を使います。\n" + path_.string(),
          file.cause};
    }
    return std::nullopt;
  }
  return IniText(file.bytes);
}

std::optional<SettingsError> SettingsFile::Update(
    const std::function<bool(IniText&)>& change) const {
  const fs::path target = FollowLinks(path_);
  const FileBytes file = ReadWhole(target);
  if (file.state == FileBytes::State::kFailed) {
    return SettingsError{"設定ファイルを読み込めなかったため、保存しませんでした。\n" +
                             path_.string() + "\n\n設定ファイルはそのまま残っています。",
                         file.cause};
  }
  IniText ini(file.bytes);
  if (!change(ini)) {
    return SettingsError{
        "設定ファイルに書けない名前か値です（改行などを含んでいます）。\n" + path_.string(),
        "a section, key or value that one line cannot hold"};
  }
  const std::string text = ini.Text();
  const bool existed = file.state == FileBytes::State::kRead;
  if (existed && text == file.bytes) return std::nullopt;
  if (std::optional<std::string> cause = Replace(target, text, existed ? &file.info : nullptr)) {
    return SettingsError{"設定ファイルを保存できませんでした。\n" + path_.string() +
                             (existed ? "\n\n保存前の設定ファイルはそのまま残っています。" : ""),
                         *cause};
  }
  return std::nullopt;
}

Settings SettingsFile::LoadSettings(std::optional<SettingsError>* error) const {
  const std::optional<IniText> ini = Read(error);
  return ini ? ReadSettings(*ini) : Settings{};
}

HotKeyTable SettingsFile::LoadKeyMap(std::optional<SettingsError>* error) const {
  const std::optional<IniText> ini = Read(error);
  return ini ? ReadKeyMap(*ini) : HotKeyTable{};
}

std::optional<SettingsError> SettingsFile::SaveSettings(const Settings& settings,
                                                        std::string_view version) const {
  return Update([&](IniText& ini) {
    WriteSettings(ini, settings, version);
    return true;
  });
}

std::optional<SettingsError> SettingsFile::SaveKeyMap(const HotKeyTable& table) const {
  return Update([&](IniText& ini) {
    WriteKeyMap(ini, table);
    return true;
  });
}

int32_t SettingsFile::ReadInt(std::string_view section, std::string_view key,
                              int32_t default_value) const {
  const std::optional<IniText> ini = Read(nullptr);
  if (!ini) return default_value;
  const std::optional<std::string> value = ini->Get(section, key);
  if (!value) return default_value;
  return ParseInt(*value).value_or(default_value);
}

std::string SettingsFile::ReadString(std::string_view section, std::string_view key,
                                     std::string_view default_value) const {
  const std::optional<IniText> ini = Read(nullptr);
  if (!ini) return std::string(default_value);
  return ini->Get(section, key).value_or(std::string(default_value));
}

std::optional<SettingsError> SettingsFile::WriteInt(std::string_view section, std::string_view key,
                                                    int32_t value) const {
  return WriteString(section, key, std::to_string(value));
}

std::optional<SettingsError> SettingsFile::WriteInts(
    std::string_view section, std::span<const std::pair<std::string, int32_t>> values) const {
  return Update([&](IniText& ini) {
    for (const auto& [key, value] : values)
      if (!ini.Set(section, key, std::to_string(value))) return false;
    return true;
  });
}

std::optional<SettingsError> SettingsFile::WriteString(std::string_view section,
                                                       std::string_view key,
                                                       std::string_view value) const {
  return Update([&](IniText& ini) { return ini.Set(section, key, value); });
}

// --- where the file lives ---

SettingsPlaces SettingsPlaces::FromSystem() {
  SettingsPlaces places;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) places.xdg_config_home = xdg;
  if (const char* home = std::getenv("HOME")) places.home = home;
  if (places.home.empty()) {
    if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) places.home = user->pw_dir;
  }
  places.folder_writable = [](const fs::path& folder) {
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(folder.c_str(), W_OK | X_OK) == 0;
  };
  return places;
}

fs::path SettingsFilePath(const fs::path& program_folder, const SettingsPlaces& places) {
  constexpr const char* kFileName = "Verbat.ini";
  // An installed program (its data in ../share/verbat) keeps the user's settings in the user's
  // configuration folder even where it can write its own folder (installed in ~/.local).
  std::error_code ignored;
  const bool installed = fs::is_directory(program_folder / ".." / "share" / "verbat", ignored);
  if (!installed && places.folder_writable && places.folder_writable(program_folder))
    return program_folder / kFileName;
  fs::path config;
  if (!places.xdg_config_home.empty() && fs::path(places.xdg_config_home).is_absolute())
    config = places.xdg_config_home;
  else if (!places.home.empty())
    config = fs::path(places.home) / ".config";
  else
    return program_folder / kFileName;  // nowhere better; a write reports its failure
  return config / "Verbat" / kFileName;
}

}  // namespace app
