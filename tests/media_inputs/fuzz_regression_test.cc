// Replays the saved inputs of the WAV, MP3 and Ogg Vorbis fuzz targets (fuzz/corpus-wav/,
// fuzz/corpus-mp3/, fuzz/corpus-vorbis/) through their harnesses: files the installed encoders
// made, inputs that once broke a promise or crashed an input, and inputs that reached paths
// worth keeping. Each is opened and played through the input's real reader; the harness aborts
// on any broken promise, and the sanitizer builds check every memory access.
#include <gtest/gtest.h>

#include "fuzz/mp3_fuzz_harness.h"
#include "fuzz/vorbis_fuzz_harness.h"
#include "fuzz/wav_fuzz_harness.h"
#include "tests/support/saved_inputs.h"

namespace {

using verbat::test::ReplaySavedInputs;

TEST(InputFuzzRegression, SavedWavInputsKeepTheirPromises) {
  ReplaySavedInputs("corpus-wav", wav_fuzz::CheckInput);
}

TEST(InputFuzzRegression, SavedMp3InputsKeepTheirPromises) {
  ReplaySavedInputs("corpus-mp3", mp3_fuzz::CheckInput);
}

TEST(InputFuzzRegression, SavedVorbisInputsKeepTheirPromises) {
  ReplaySavedInputs("corpus-vorbis", vorbis_fuzz::CheckInput);
}

}  // namespace
