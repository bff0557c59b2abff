// The centre frequencies of the equalizer's fifteen bands, two thirds of an octave apart. The
// engine uses them to decide how many bands run at a given rate; the equalizer window uses them
// to compute the frequency it sets for each band.
#pragma once

namespace dsp {

inline constexpr int kBandCount = 15;

inline constexpr float BandFrequencies[kBandCount] = {
    24.8f,  39.4f,  62.5f,  99.2f,  157.5f,  250.0f,   396.9f,  630.0f,
    1000.0f, 1587.4f, 2519.8f, 4000.0f, 6349.6f, 10079.3f, 15999.9f,
};

}  // namespace dsp
