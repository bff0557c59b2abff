// Records on the virtual sound card, eight times faster than real time, into the work folder
// given as the argument until the process is killed: the other side of the recorder's test of
// a recording that never reaches its stop.
#include <unistd.h>

#include <cstdio>

#include "platform/virtual_audio.h"
#include "tests/record/recorder_rig.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s WORKDIR\n", argv[0]);
    return 2;
  }
  platform::VirtualAudioBackend card({platform::Pacing::kRealTime, 8.0});
  record_test::Owner owner;
  record::RecAudio rec(card, owner);
  record::RecordingSettings settings;
  settings.Rate = 22050;
  settings.WorkDir = argv[1];
  if (!rec.StartRecording(settings)) return 1;
  for (;;) pause();
}
