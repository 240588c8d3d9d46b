// The capture summary clients print: count, minimum, maximum, mean, RMS, and the strongest
// tone's frequency bin; in words and as one JSON object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "client/capture_output.h"
#include "client/json.h"

namespace client {

struct Summary {
  size_t count = 0;
  int32_t min = 0, max = 0;
  double mean = 0, rms = 0;
  size_t fft_size = 0;  // samples in the spectrum (a power of two), 0 when too few
  size_t tone_bin = 0;  // strongest bin above DC of a Hann-windowed spectrum
};

// Accumulates samples as they arrive; keeps the first 2^20 for the spectrum.
class SummaryBuilder {
 public:
  explicit SummaryBuilder(bool offset_binary) : offset_binary_(offset_binary) {}
  void add(const uint16_t* samples, size_t n);
  Summary finish() const;

 private:
  int32_t value(uint16_t s) const {
    return offset_binary_ ? static_cast<int32_t>(s) - 32768 : static_cast<int16_t>(s);
  }
  bool offset_binary_;
  size_t count_ = 0;
  int32_t min_ = 0, max_ = 0;
  double sum_ = 0, squares_ = 0;
  std::vector<double> kept_;
};

// The bin of the largest magnitude above DC in the Hann-windowed spectrum of x (size a power
// of two), 0 when x is too short for the window.
size_t strongest_bin(std::vector<double> x);

// The summary in words, one line; in hertz when the sample rate of the output is known (0:
// unknown). Samples not evenly spaced in time (a lane list that reorders lanes or keeps them
// unevenly) have no strongest tone: it is withheld, and a warning line follows.
void print_summary(std::FILE* to, const Summary& s, double sample_rate, bool evenly_spaced = true);

// The summary as one JSON object: every key always present, null where it does not apply;
// "warnings" as the analysis gives them ({"code", "message"}: uneven_samples, its tone null).
JsonObject summary_json(const Summary& s, double sample_rate, const std::string& output,
                        Format format, bool evenly_spaced = true);

}  // namespace client
