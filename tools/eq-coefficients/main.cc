// Prints the coefficients the equalizer engine designs for the equalizer window's settings, and
// the response each band then has at its centre, evaluated in double from the stored floats, for
// checking the design against other tools.
//
//   eq-coefficients [--rate HZ] [--q Q] [--eq P0,P1,...,P14]
//
// --rate is the device rate the bands are designed for (0: no block processed yet, which designs
// for 44000 Hz); --q the Q position 1..10 (default 5); --eq the fifteen gain positions 0..48
// (24 = 0 dB, each step 0.625 dB, 0 = +15 dB; default all 24).
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/BandFrequencies.h"
#include "dsp/DataManager.h"
#include "platform/wave_format.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

bool ParseLong(const char* text, long lo, long hi, long* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

int Usage(const char* why) {
  std::fprintf(stderr, "eq-coefficients: %s\n", why);
  std::fprintf(stderr, "使い方: eq-coefficients [--rate HZ] [--q 1..10] [--eq P0,...,P14 (0..48)]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long rate = 44100, q = 5;
  long positions[dsp::kBandCount];
  for (long& p : positions) p = 24;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage(("オプション " + arg + " に値がありません").c_str());
    const char* value = argv[++i];
    if (arg == "--rate") {
      if (!ParseLong(value, 0, 1000000, &rate)) return Usage("--rate は 0..1000000 の整数で指定してください");
    } else if (arg == "--q") {
      if (!ParseLong(value, 1, 10, &q)) return Usage("--q は 1..10 の整数で指定してください");
    } else if (arg == "--eq") {
      std::string list = value;
      size_t at = 0;
      for (int b = 0; b < dsp::kBandCount; ++b) {
        const size_t comma = list.find(',', at);
        const bool last = b == dsp::kBandCount - 1;
        if ((comma == std::string::npos) != last) {
          return Usage("--eq には 0..48 の値をカンマ区切りで 15 個指定してください");
        }
        const std::string item = list.substr(at, last ? std::string::npos : comma - at);
        if (!ParseLong(item.c_str(), 0, 48, &positions[b])) {
          return Usage("--eq には 0..48 の値をカンマ区切りで 15 個指定してください");
        }
        at = comma + 1;
      }
    } else {
      return Usage(("不明なオプションです: " + arg).c_str());
    }
  }

  dsp::CDataManager eq;
  if (rate != 0) eq.SetFormat(platform::MakePcmFormat(2, static_cast<uint32_t>(rate), 16));
  const double fs = rate != 0 ? static_cast<double>(rate) : 44000.0;
  std::printf("# rate %.0f Hz, Q %ld, %d bands run\n", fs, q,
              rate != 0 ? eq.GetBandCount() : dsp::kBandCount);
  std::printf("# band f0_hz gain_db b0 b1 b2 a1 a2 response_at_f0_db\n");
  for (int b = 0; b < dsp::kBandCount; ++b) {
    const double db = (24 - positions[b]) * 0.625;
    const auto gain = static_cast<float>(std::pow(10.0, db * 0.05));
    eq.SetBand(1, b, dsp::BandFrequencies[b], static_cast<float>(q), gain);
    const dsp::CEqualizer::Coefficients c = eq.Band(1, b).GetCoefficients();
    const std::complex<double> zi = std::polar(1.0, -2.0 * kPi * dsp::BandFrequencies[b] / fs);
    const std::complex<double> h = static_cast<double>(c.b0) *
                                   (1.0 + static_cast<double>(c.b1) * zi + static_cast<double>(c.b2) * zi * zi) /
                                   (1.0 + static_cast<double>(c.a1) * zi + static_cast<double>(c.a2) * zi * zi);
    std::printf("%2d %8.1f %+7.3f %.9g %.9g %.9g %.9g %.9g %+.6f\n", b, dsp::BandFrequencies[b], db,
                c.b0, c.b1, c.b2, c.a1, c.a2, 20.0 * std::log10(std::abs(h)));
  }
  return 0;
}
