#include "client/summary.h"

#include <cmath>

#include "client/tone_report.h"
#include "client/units.h"

#include "vrx5200_analysis.h"

namespace client {

void SummaryBuilder::add(const uint16_t* samples, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int32_t v = value(samples[i]);
    if (count_ == 0 || v < min_) min_ = v;
    if (count_ == 0 || v > max_) max_ = v;
    sum_ += v;
    squares_ += static_cast<double>(v) * v;
    ++count_;
    if (kept_.size() < (size_t{1} << 20)) kept_.push_back(v);
  }
}

Summary SummaryBuilder::finish() const {
  Summary s;
  s.count = count_;
  if (count_ == 0) return s;
  s.min = min_;
  s.max = max_;
  s.mean = sum_ / static_cast<double>(count_);
  s.rms = std::sqrt(squares_ / static_cast<double>(count_));
  size_t n = 1;
  while (n * 2 <= kept_.size()) n *= 2;
  if (n >= 8) {
    s.fft_size = n;
    s.tone_bin =
        strongest_bin(std::vector<double>(kept_.begin(), kept_.begin() + static_cast<long>(n)));
    if (s.tone_bin == 0) s.fft_size = 0;  // too short for the window: no spectrum
  }
  return s;
}

size_t strongest_bin(std::vector<double> x) {
  // The analysis core's Hann-windowed power spectrum (the record's mean removed first, so that
  // DC's lobe cannot win); bin 0 is DC.
  const size_t n = x.size();
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  for (double& v : x) v -= mean;
  VRX5200ToneConfig config{};
  config.bits = 32;
  config.code_format = VRX5200_TWOS_COMPLEMENT;
  config.window = VRX5200_WINDOW_HANN;
  config.harmonics = 2;
  std::vector<double> power(n / 2 + 1);
  if (VRX5200Analysis_Power_Spectrum(nullptr, x.data(), VRX5200_SAMPLES_DOUBLE, n, config,
                                     power.data()) != VRX5200_ANALYSIS_OK) {
    return 0;
  }
  size_t best = 1;
  for (size_t k = 2; k <= n / 2; ++k) {
    if (power[k] > power[best]) best = k;
  }
  return best;
}

void print_summary(std::FILE* to, const Summary& s, double sample_rate, bool evenly_spaced) {
  std::fprintf(to, "samples %zu, min %d, max %d, mean %.2f, RMS %.2f", s.count, s.min, s.max,
               s.mean, s.rms);
  if (!evenly_spaced) {
    std::fprintf(to, ", strongest tone withheld\n");
    for (const std::string& line : warning_lines(VRX5200_WARN_UNEVEN_SAMPLES)) {
      std::fflush(to);
      std::fprintf(stderr, "vrx5200: warning: %s\n", line.c_str());
    }
    return;
  }
  if (s.fft_size > 0) {
    const double fraction = static_cast<double>(s.tone_bin) / static_cast<double>(s.fft_size);
    if (sample_rate > 0) {
      std::fprintf(to, ", strongest tone %s (bin %zu of %zu at %s)",
                   format_hertz(fraction * sample_rate).c_str(), s.tone_bin, s.fft_size,
                   format_hertz(sample_rate).c_str());
    } else {
      std::fprintf(to, ", strongest tone in bin %zu of %zu (%.6f of the sample rate)", s.tone_bin,
                   s.fft_size, fraction);
    }
  }
  std::fprintf(to, "\n");
}

JsonObject summary_json(const Summary& s, double sample_rate, const std::string& output,
                        Format format, bool evenly_spaced) {
  JsonObject j;
  j.add_int("samples", static_cast<int64_t>(s.count));
  if (s.count > 0) {
    j.add_int("min_code", s.min).add_int("max_code", s.max);
    j.add_number("mean_code", s.mean).add_number("rms_code", s.rms);
  } else {
    j.add_null("min_code").add_null("max_code").add_null("mean_code").add_null("rms_code");
  }
  j.add_int("fft_size", static_cast<int64_t>(s.fft_size));
  const bool tone = s.fft_size > 0 && evenly_spaced;
  const double fraction =
      tone ? static_cast<double>(s.tone_bin) / static_cast<double>(s.fft_size) : NAN;
  if (tone) {
    j.add_int("tone_bin", static_cast<int64_t>(s.tone_bin)).add_number("tone_fraction", fraction);
  } else {
    j.add_null("tone_bin").add_null("tone_fraction");
  }
  j.add_number("sample_rate_hz", sample_rate > 0 ? sample_rate : NAN);
  j.add_number("tone_hz", sample_rate > 0 ? fraction * sample_rate : NAN);
  j.add_string("output", output);
  j.add_string("format", format_name(format));
  j.add_array("warnings", warnings_json(evenly_spaced ? 0 : VRX5200_WARN_UNEVEN_SAMPLES));
  return j;
}

}  // namespace client
