// The settings file on a real file system: defaults, the written text, what survives a rewrite,
// the rules for hand-edited values, the key map, safe replacement and where the file lives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/Settings.h"

namespace {

namespace fs = std::filesystem;
using app::HotKeyAction;
using app::Settings;
using app::SettingsFile;

class SettingsFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "verbat-settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    file_ = dir_ / "Verbat.ini";
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void Put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }

  fs::path dir_, file_;
};

std::string DefaultFileText() {
  std::string text = "[Common]\nVersion=0.1.0\n[WaveFile]\nAudioFileName=\nCounter=0\nRevSec=3\n"
                     "RepeatSec=10\nFfRwSec=4\nDelaySec=0\nDelimiterFileName=\nChannels=2\n"
                     "Rate=22050\nBitsPerSample=16\nPreferredDeviceID=0\nWorkDir=" +
                     app::DefaultWorkDir() +
                     "\nFreeSpace=50\nNonLockMode=0\n[Position]\nTop=0\nLeft=0\n[Other]\n"
                     "DspAlert=1\nKeepPitch=0\n[KeyMap]\n";
  for (const char* n : {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11"})
    text += std::string(n) + "=000,000,00\n";
  return text;
}

TEST_F(SettingsFileTest, NoFileGivesDefaultsAndSavingWritesEveryKeyInOrder) {
  const SettingsFile ini(file_);
  std::optional<app::SettingsError> error;
  EXPECT_EQ(ini.LoadSettings(&error), Settings{});
  EXPECT_FALSE(error);
  EXPECT_EQ(ini.LoadKeyMap(), app::HotKeyTable{});
  EXPECT_FALSE(ini.SaveSettings(Settings{}, "0.1.0"));
  EXPECT_FALSE(ini.SaveKeyMap(app::HotKeyTable{}));
  EXPECT_EQ(Slurp(file_), DefaultFileText());

  // Every field away from its default comes back; strings with blanks, quotes and Japanese too.
  Settings s{"/home/u/録音 1.mp3", 3725, 5, 30, 10, 7, " \"marker\" ", 1, 44100, 8, 2,
             "/srv/work/", 300, true, false, -20, 1700, true};
  app::HotKeyTable keys{};
  keys[0] = {8, 0x20, 1};
  keys[10] = {28, 0xE2, 11};
  EXPECT_FALSE(ini.SaveSettings(s, "0.2.0"));
  EXPECT_FALSE(ini.SaveKeyMap(keys));
  EXPECT_EQ(ini.LoadSettings(), s);
  EXPECT_EQ(ini.LoadKeyMap(), keys);
  EXPECT_NE(Slurp(file_).find("01=008,032,01\n"), std::string::npos);
  EXPECT_NE(Slurp(file_).find("11=028,226,11\n"), std::string::npos);
}

TEST_F(SettingsFileTest, RewriteKeepsEveryLineItDoesNotOwn) {
  // A hand-kept file: a byte-order mark, CRLF ends, comments, an unknown section and key,
  // a line without "=", names in other letter cases, the equalizer's section, no final line end.
  Put(file_,
      "\xEF\xBB\xBF; my settings\r\n[waveFILE]\r\n  revsec = 7 \r\nMyOwnKey=x\r\nnot a key\r\n"
      "\r\n; about the next section\r\n[Equalizer]\r\nRange00=30\r\n[Mine]\r\nA=1");
  const SettingsFile ini(file_);
  Settings s = ini.LoadSettings();
  EXPECT_EQ(s.RevSec, 7);
  s.RevSec = 2;
  ASSERT_FALSE(ini.SaveSettings(s, "1.0"));
  const std::string text = Slurp(file_);
  const std::string expected_start =
      "\xEF\xBB\xBF; my settings\r\n[waveFILE]\r\nRevSec=2\r\nMyOwnKey=x\r\n"
      "AudioFileName=\r\nCounter=0\r\n";
  EXPECT_EQ(text.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(text.find("NonLockMode=0\r\nnot a key\r\n\r\n; about the next section\r\n"
                      "[Equalizer]\r\nRange00=30\r\n[Mine]\r\nA=1\r\n[Common]\r\n"
                      "Version=1.0\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(ini.ReadInt("Equalizer", "Range00", 24), 30);
  EXPECT_EQ(ini.LoadSettings(), s);
}

TEST_F(SettingsFileTest, HandEditedValues) {
  const struct {
    const char* line;
    int32_t Settings::*field;
    int32_t expected;
  } cases[] = {
      {"Counter=-5", &Settings::Counter, 0},
      {"Counter=2147483647", &Settings::Counter, 1'000'000'000},
      {"Counter=99999999999", &Settings::Counter, 0},  // beyond 32 bits: not a number
      {"RevSec=-3", &Settings::RevSec, 0},
      {"RevSec=45", &Settings::RevSec, 45},
      {"RevSec=abc", &Settings::RevSec, 3},
      {"RevSec=12abc", &Settings::RevSec, 3},
      {"RepeatSec=0", &Settings::RepeatSec, 1},
      {"RepeatSec=600", &Settings::RepeatSec, 600},
      {"FfRwSec=-4", &Settings::FfRwSec, 0},
      {"FfRwSec=+60", &Settings::FfRwSec, 60},
      {"DelaySec=-1", &Settings::DelaySec, 0},
      {"DelaySec=100000", &Settings::DelaySec, 120},
      {"Channels=3", &Settings::Channels, 2},
      {"Channels=1", &Settings::Channels, 1},
      {"Rate=32000", &Settings::Rate, 32000},
      {"Rate=1000000000", &Settings::Rate, 22050},
      {"Rate=0", &Settings::Rate, 22050},
      {"BitsPerSample=12", &Settings::BitsPerSample, 16},
      {"BitsPerSample=8", &Settings::BitsPerSample, 8},
      {"PreferredDeviceID=-1", &Settings::PreferredDeviceID, -1},
      {"FreeSpace=-50", &Settings::FreeSpace, 0},
      {"FreeSpace=2000", &Settings::FreeSpace, 2000},
      {"Top=-3000", &Settings::Top, -3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Settings s = app::ReadSettings(app::IniText(std::string("[WaveFile]\n") + c.line +
                                                      "\n[Position]\n" + c.line + "\n"));
    EXPECT_EQ(s.*c.field, c.expected);
  }
  const Settings flags = app::ReadSettings(
      app::IniText("[WaveFile]\nNonLockMode=2\n[Other]\nDspAlert=0\nKeepPitch=yes\n"));
  EXPECT_TRUE(flags.NonLockMode);
  EXPECT_FALSE(flags.DspAlert);
  EXPECT_FALSE(flags.KeepPitch);
}

TEST_F(SettingsFileTest, WorkDirDefaultsToTheTemporaryFolder) {
  const char* saved = std::getenv("TMPDIR");
  const std::string restore = saved ? saved : "";
  const struct {
    const char* tmpdir;  // null: unset
    const char* file;
    std::string expected;
  } cases[] = {
      {nullptr, "", "/tmp"},
      {"/var/tmp/", "", "/var/tmp"},
      {"///", "", "/"},
      {"relative", "", "/tmp"},
      {"/var/tmp", "[WaveFile]\nWorkDir=\n", "/var/tmp"},
      {"/var/tmp", "[WaveFile]\nWorkDir=/rec/\n", "/rec/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    c.tmpdir ? setenv("TMPDIR", c.tmpdir, 1) : unsetenv("TMPDIR");
    EXPECT_EQ(app::ReadSettings(app::IniText(c.file)).WorkDir, c.expected);
  }
  saved ? setenv("TMPDIR", restore.c_str(), 1) : unsetenv("TMPDIR");
}

TEST_F(SettingsFileTest, KeyMapValues) {
  std::string text = "[KeyMap]\n";
  const char* values[] = {
      "016,065,03",   // 01: Alt+A fast-forward
      "004,065,03",   // 02: Shift+A fast-forward
      "016,065,05",   // 03: Alt+A again: the first holds it
      "008;032;01",   // 04: Ctrl+Space play/stop (the separators are not checked)
      "16,65,3",      // not the ten-character form
      "016,065,033",  //
      "0x1,065,03",   //
      "016,065,12",   // no function 12
      "001,066,03",   // modifier bit no key report carries
      "016,000,03",   // no key
      "008,033,00",   // function 0: unassigned
  };
  for (int i = 0; i < 11; ++i)
    text += (i < 9 ? "0" : "") + std::to_string(i + 1) + "=" + values[i] + "\n";
  Put(file_, text);
  const SettingsFile ini(file_);
  app::HotKeyTable expected{};
  expected[0] = {16, 0x41, 3};
  expected[1] = {4, 0x41, 3};
  expected[3] = {8, 0x20, 1};
  const app::HotKeyTable keys = ini.LoadKeyMap();
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(app::MatchHotKey(keys, 16, 0x41), HotKeyAction::kFastForward);
  EXPECT_EQ(app::MatchHotKey(keys, 4, 0x41), HotKeyAction::kFastForward);
  EXPECT_EQ(app::MatchHotKey(keys, 8, 0x21), HotKeyAction::kNone);

  ASSERT_FALSE(ini.SaveKeyMap(keys));
  const std::string saved = Slurp(file_);
  EXPECT_NE(saved.find("03=000,000,00\n04=008,032,01\n05=000,000,00\n"), std::string::npos);
}

TEST_F(SettingsFileTest, FailedWritesKeepTheOldFile) {
  const std::string old = "[WaveFile]\nRevSec=9\n[Equalizer]\nRange03=40\n";
  Put(file_, old);
  const SettingsFile ini(file_);
  {
    // A write that fails half-way: a file size limit stops it even for root.
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto error = ini.SaveSettings(Settings{}, "1.0");
    setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_TRUE(error);
    EXPECT_NE(error->Text().find("設定ファイルを保存できませんでした"), std::string::npos);
    EXPECT_NE(error->cause.find("write"), std::string::npos) << error->cause;
  }
  EXPECT_EQ(Slurp(file_), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  // A file that cannot be read is not overwritten: a folder, or a pipe (which must not hang).
  const SettingsFile odd(dir_);
  std::optional<app::SettingsError> error;
  EXPECT_EQ(odd.LoadSettings(&error), Settings{});
  ASSERT_TRUE(error);
  EXPECT_NE(error->message.find("既定の設定を使います"), std::string::npos);
  ASSERT_EQ(mkfifo((dir_ / "pipe.ini").c_str(), 0600), 0);
  const auto refused = SettingsFile(dir_ / "pipe.ini").SaveSettings(Settings{}, "1.0");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->cause, "not a regular file");
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe.ini"));

  // A value one line cannot hold is refused by the accessor and emptied by SaveSettings.
  EXPECT_TRUE(ini.WriteString("Mine", "Name", "two\nlines"));
  Settings s;
  s.AudioFileName = "/tmp/a\n[KeyMap]\n01=000,065,01";
  ASSERT_FALSE(ini.SaveSettings(s, "1.0"));
  EXPECT_EQ(ini.LoadSettings().AudioFileName, "");
  EXPECT_EQ(ini.LoadKeyMap(), app::HotKeyTable{});
}

TEST_F(SettingsFileTest, ReplacementKeepsModeAndSymlink) {
  const fs::path real = dir_ / "real.ini";
  Put(real, "[Equalizer]\nRange00=10\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  fs::create_symlink("real.ini", file_);
  const SettingsFile ini(file_);
  const std::pair<std::string, int32_t> gains[] = {{"Range00", 0}, {"Range14", 48}};
  ASSERT_FALSE(ini.WriteInts("Equalizer", gains));
  ASSERT_FALSE(ini.WriteInt("Equalizer", "Range01", 12));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(ini.ReadInt("Equalizer", "Range14", 24), 48);
  EXPECT_EQ(ini.ReadInt("Equalizer", "Range00", 24), 0);
  EXPECT_EQ(ini.ReadInt("Equalizer", "Range07", 24), 24);
  EXPECT_EQ(Slurp(real), "[Equalizer]\nRange00=0\nRange14=48\nRange01=12\n");
  // All or none: a key one line cannot hold stops the whole write.
  const std::pair<std::string, int32_t> bad[] = {{"Range02", 5}, {"Range=03", 5}};
  EXPECT_TRUE(ini.WriteInts("Equalizer", bad));
  EXPECT_EQ(ini.ReadInt("Equalizer", "Range02", 24), 24);
  struct stat info {};
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(SettingsFileTest, TheFileLivesInTheProgramFolderOrTheUsersConfigFolder) {
  app::SettingsPlaces places;
  places.xdg_config_home = "/home/u/cfg";
  places.home = "/home/u";
  places.folder_writable = [](const fs::path&) { return true; };
  EXPECT_EQ(app::SettingsFilePath("/opt/verbat", places), "/opt/verbat/Verbat.ini");
  places.folder_writable = [](const fs::path&) { return false; };
  EXPECT_EQ(app::SettingsFilePath("/opt/verbat", places), "/home/u/cfg/Verbat/Verbat.ini");
  places.xdg_config_home = "cfg";  // not absolute: ignored
  EXPECT_EQ(app::SettingsFilePath("/opt/verbat", places), "/home/u/.config/Verbat/Verbat.ini");
  // Installed where it can write (~/.local/bin beside ~/.local/share/verbat): the config folder.
  fs::create_directories(dir_ / "local" / "bin");
  fs::create_directories(dir_ / "local" / "share" / "verbat");
  places.folder_writable = [](const fs::path&) { return true; };
  EXPECT_EQ(app::SettingsFilePath(dir_ / "local" / "bin", places),
            "/home/u/.config/Verbat/Verbat.ini");

  // The system's check: a folder that does not exist cannot be written; the temporary one can.
  places = app::SettingsPlaces::FromSystem();
  places.xdg_config_home = (dir_ / "config").string();
  EXPECT_EQ(app::SettingsFilePath(dir_, places), file_);
  const fs::path installed = app::SettingsFilePath(dir_ / "missing", places);
  EXPECT_EQ(installed, dir_ / "config" / "Verbat" / "Verbat.ini");
  // The first save makes the folder, private to the user.
  ASSERT_FALSE(SettingsFile(installed).SaveSettings(Settings{}, "1.0"));
  EXPECT_TRUE(fs::is_regular_file(installed));
  struct stat info {};
  ASSERT_EQ(stat(installed.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
