// The equalizer window's band gains in the settings file: section "Equalizer", keys "Range00"
// to "Range14".
#pragma once

#include <cstdio>
#include <string>

#include "app/Settings.h"
#include "ui/EqualizerPanel.h"

namespace app {

class EqualizerStore : public ui::EqualizerStore {
 public:
  explicit EqualizerStore(const SettingsFile& file) : file_(file) {}

  int ReadRange(int band, int fallback) override {
    return file_.ReadInt("Equalizer", Key(band), fallback);
  }
  void WriteRange(int band, int position) override {
    // Called as the window goes, at the program's end: a failure can only be told on stderr.
    if (auto error = file_.WriteInt("Equalizer", Key(band), position)) {
      std::fprintf(stderr, "verbat: %s\n", error->Text().c_str());
    }
  }

 private:
  static std::string Key(int band) {
    char key[16];
    std::snprintf(key, sizeof key, "%s%02d", "Range", band);
    return key;
  }
  const SettingsFile& file_;
};

}  // namespace app
