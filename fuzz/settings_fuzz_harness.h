// The body of the settings fuzz target, shared with the regression test that replays the saved
// inputs. The input is the text of a settings file. It must be read without a crash, give values
// inside the rules for hand-edited values, come back unchanged from an untouched rewrite, and,
// once the program's keys are written into it, read back as exactly what was written; a second
// identical write must change nothing. Any broken promise aborts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "app/Settings.h"

namespace settings_fuzz {

inline void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "settings fuzz: %s\n", what);
  std::abort();
}

inline void CheckInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  app::IniText ini(bytes);
  Require(ini.Text() == bytes, "an untouched text changed");

  const app::Settings settings = app::ReadSettings(ini);
  const app::HotKeyTable keys = app::ReadKeyMap(ini);
  Require(settings.RevSec >= 0 && settings.RepeatSec >= 1 && settings.FfRwSec >= 0 &&
              settings.DelaySec >= 0 && settings.DelaySec <= 120 && settings.Counter >= 0 &&
              settings.FreeSpace >= 0,
          "a value outside its rule");
  Require(settings.Channels == 1 || settings.Channels == 2, "channels");
  Require(settings.BitsPerSample == 8 || settings.BitsPerSample == 16, "bits per sample");
  Require(!settings.WorkDir.empty(), "empty work folder");
  Require(app::SanitizeKeyMap(keys) == keys, "a key map entry that cannot be stored");

  // The reads are done: the text itself is written into (a copy would cost as much as a parse).
  app::IniText written = std::move(ini);
  app::WriteSettings(written, settings, "1.0");
  app::WriteKeyMap(written, keys);
  const std::string text = written.Text();

  // Strings one line cannot hold are written empty; an empty work folder reads as the default.
  app::Settings expected = settings;
  for (std::string* s : {&expected.AudioFileName, &expected.DelimiterFileName, &expected.WorkDir})
    if (!app::IniText::Storable(*s)) s->clear();
  if (expected.WorkDir.empty()) expected.WorkDir = app::DefaultWorkDir();
  app::IniText reread(text);
  Require(app::ReadSettings(reread) == expected, "settings changed on their way through the file");
  Require(app::ReadKeyMap(reread) == keys, "the key map changed on its way through the file");
  Require(reread.Get("Common", "Version") == "1.0", "version");

  // The text read back once more is what `reread` holds: it is written into as it is.
  app::IniText& again = reread;
  app::WriteSettings(again, settings, "1.0");
  app::WriteKeyMap(again, keys);
  Require(again.Text() == text, "a second identical write changed the text");
}

}  // namespace settings_fuzz
