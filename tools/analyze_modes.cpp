// The analyses of analyze beside the single-tone one, and what its modes share.
#include "tools/analyze_modes.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "client/json.h"
#include "client/tone_report.h"
#include "client/units.h"
#include "tools/failure.h"
#include "tools/measure.h"
#include "vrx5200_analysis.h"

namespace tool {

using client::format_hertz;
using client::JsonObject;

namespace {

// Exit codes of the core's refusals: what the command line gave (2), samples that are not
// samples of the declared converter or too few (3), a record the analysis cannot measure (1).
int refusal_exit(int32_t code) {
  switch (code) {
    case VRX5200_ANALYSIS_BAD_BITS:
    case VRX5200_ANALYSIS_BAD_CODE_FORMAT:
    case VRX5200_ANALYSIS_BAD_WINDOW:
    case VRX5200_ANALYSIS_BAD_RATE:
    case VRX5200_ANALYSIS_BAD_FREQUENCY:
    case VRX5200_ANALYSIS_BAD_HARMONICS:
    case VRX5200_ANALYSIS_BAD_LOBE:
    case VRX5200_ANALYSIS_BAD_OPTIONS:
    case VRX5200_ANALYSIS_BAD_FIT_KIND:
      return kExitUsage;
    case VRX5200_ANALYSIS_TOO_FEW_SAMPLES:
    case VRX5200_ANALYSIS_NOT_FINITE:
    case VRX5200_ANALYSIS_OUT_OF_RANGE:
    case VRX5200_ANALYSIS_BAD_SAMPLE_TYPE:
      return kExitFile;
    default:
      return kExitFailure;
  }
}

// Prints the warnings on standard error, one line each.
void print_warnings(uint32_t flags) {
  for (const std::string& line : client::warning_lines(flags)) {
    std::fflush(stdout);
    std::fprintf(stderr, "vrx5200: warning: %s\n", line.c_str());
  }
}

// The record warnings of samples that another analysis measures (two tones, the sine fit):
// clipping and samples beyond the declared bits, found as a single-tone analysis finds them.
uint32_t record_warnings(const Samples& s, const AnalyzeOptions& o, uint32_t keep) {
  client::ToneReport t;
  t.config.bits = o.bits;
  t.config.code_format = code_format_of(o.code_format);
  t.config.window = VRX5200_WINDOW_BLACKMAN_HARRIS_4;
  t.config.harmonics = 5;
  if (client::analyse_tone(nullptr, s.data(), s.type, s.size(), t) != VRX5200_ANALYSIS_OK) return 0;
  return t.quality.warnings & keep;
}

// The intermodulation products in the order of the two-tone record, f1 < f2.
constexpr const char* kProductNames[6] = {"f2-f1", "f1+f2", "2f1-f2", "2f2-f1", "2f1+f2", "2f2+f1"};

}  // namespace

void check_analysis(const std::string& what, int32_t code) {
  check_core(what.c_str(), code, refusal_exit(code));
}

int32_t window_of(const std::string& name) {
  if (const std::optional<int32_t> w = client::window_named(name)) return *w;
  fail("bad window \"" + name + "\" (" + client::window_names(", ") + ")", kExitUsage);
}

// A figure with its decimals and unit (none when empty), or "withheld".
std::string fixed(double v, int decimals, const char* unit) {
  if (!std::isfinite(v)) return "withheld";
  char b[64];
  std::snprintf(b, sizeof b, "%.*f%s%s", decimals, v, *unit != '\0' ? " " : "", unit);
  return b;
}

// How the output names the files: the one file, or the first and how many more.
std::string files_label(const std::vector<std::string>& files) {
  if (files.size() == 1) return files[0];
  return files[0] + " and " + std::to_string(files.size() - 1) + " more";
}

double cycles_of(const std::string& text, const char* what, double rate, uint64_t n) {
  const auto bad = [&](const std::string& why) -> double {
    fail(std::string(what) + " \"" + text + "\": " + why, kExitUsage);
  };
  for (const char* unit : {"bins", "bin"}) {
    const size_t u = std::strlen(unit);
    if (text.size() > u && text.compare(text.size() - u, u, unit) == 0) {
      const std::optional<double> bins = client::parse_decimal(text.substr(0, text.size() - u));
      if (!bins || *bins < 0) bad("a number of bins, 0 or more");
      return *bins;
    }
  }
  const std::optional<double> hz =
      text == "0" ? std::optional<double>(0.0) : client::parse_hertz(text);
  if (!hz) bad("a frequency in Hz (with k, M or G) or in bins (2064bin)");
  if (!(rate > 0)) bad("a frequency in Hz needs --rate; or give it in bins (2064bin)");
  return *hz * static_cast<double>(n) / rate;
}

// The answer's end: the warnings (in lines), and the exit code they make.
int finish(const AnalyzeOptions& o, uint32_t warnings) {
  if (!o.json) print_warnings(warnings);
  return o.strict && warnings != 0 ? client::kExitWarnings : kExitOk;
}

int two_tone(const AnalyzeOptions& o, const Samples& s, double rate) {
  VRX5200TwoToneConfig config{};
  config.bits = o.bits;
  config.code_format = code_format_of(o.code_format);
  config.window = window_of(o.window);
  config.rate_hz = rate;
  // Frequencies where the components are (the tones' lobe centroids, the products' aliases of
  // them), not the bins nearest them.
  const auto hz = [&](double cycles) { return cycles * rate / static_cast<double>(s.size()); };
  VRX5200TwoToneResult r{};
  check_analysis("two-tone analysis",
                 VRX5200Analysis_Two_Tone(nullptr, s.data(), s.type, s.size(), config, &r));
  const uint32_t warnings = record_warnings(s, o, VRX5200_WARN_CLIPPED | VRX5200_WARN_OUT_OF_RANGE);
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.files[0]).add_int("samples", static_cast<int64_t>(s.size()));
    j.add_int("tone1_bin", static_cast<int64_t>(r.tones[0].bin));
    j.add_int("tone2_bin", static_cast<int64_t>(r.tones[1].bin));
    j.add_number("tone1_dbfs", r.tones[0].power_dbfs)
        .add_number("tone2_dbfs", r.tones[1].power_dbfs);
    if (rate > 0) {
      j.add_number("rate_hz", rate)
          .add_number("tone1_hz", hz(r.tones[0].cycles))
          .add_number("tone2_hz", hz(r.tones[1].cycles));
    }
    std::vector<JsonObject> products;
    for (int p = 0; p < 6; ++p) {
      const VRX5200ToneRecord& t = r.products[p];
      JsonObject one;
      one.add_string("product", kProductNames[p]).add_int("order", t.order);
      one.add_int("bin", static_cast<int64_t>(t.bin)).add_bool("counted", t.counted != 0);
      if (t.counted) {
        one.add_number("level_dbc", t.level_dbc);
      } else {
        one.add_null("level_dbc");
      }
      if (rate > 0) one.add_number("frequency_hz", hz(t.cycles));
      products.push_back(one);
    }
    j.add_array("products", products);
    if (r.imd2_measured)
      j.add_number("imd2_dbc", r.imd2_dbc);
    else
      j.add_null("imd2_dbc");
    if (r.imd3_measured)
      j.add_number("imd3_dbc", r.imd3_dbc);
    else
      j.add_null("imd3_dbc");
    j.add_number("noise_floor_dbfs", r.noise_floor_dbfs);
    j.add_array("warnings", client::warnings_json(warnings));
    std::printf("%s\n", j.text().c_str());
    return finish(o, warnings);
  }
  std::printf("%s: %zu samples\n", o.files[0].c_str(), s.size());
  for (int t = 0; t < 2; ++t) {
    std::printf("tone %d: bin %llu, %s\n", t + 1, static_cast<unsigned long long>(r.tones[t].bin),
                fixed(r.tones[t].power_dbfs, 2, "dBFS").c_str());
  }
  std::printf("IMD2:  %s\nIMD3:  %s\n",
              r.imd2_measured ? fixed(r.imd2_dbc, 2, "dBc").c_str() : "n/a",
              r.imd3_measured ? fixed(r.imd3_dbc, 2, "dBc").c_str() : "n/a");
  for (int p = 0; p < 6; ++p) {
    const VRX5200ToneRecord& t = r.products[p];
    std::string at = "bin " + std::to_string(t.bin);
    if (rate > 0) at += " (" + format_hertz(hz(t.cycles)) + ")";
    std::printf(
        "  %-6s %s, %s\n", kProductNames[p], at.c_str(),
        t.counted ? fixed(t.level_dbc, 2, "dBc").c_str() : "not counted (in a tone's lobe)");
  }
  return finish(o, warnings);
}

int sine_fit(const AnalyzeOptions& o, const Samples& s, double rate) {
  VRX5200FitConfig config{};
  config.bits = o.bits;
  config.code_format = code_format_of(o.code_format);
  config.parameters = o.fit_parameters;
  config.rate_hz = rate;
  if (!o.fundamental.empty()) {
    config.frequency_cycles = cycles_of(o.fundamental, "--fundamental", rate, s.size());
  } else if (o.fit_parameters == 3) {
    fail("--sine-fit 3 fits at a known frequency: give it with --fundamental", kExitUsage);
  }
  VRX5200FitResult r{};
  check_analysis("sine fit", VRX5200Analysis_Sine_Fit(s.data(), s.type, s.size(), config, &r));
  uint32_t warnings = record_warnings(
      s, o, VRX5200_WARN_CLIPPED | VRX5200_WARN_OUT_OF_RANGE | VRX5200_WARN_NO_TONE);
  // ENOB above the declared bits is no measurement of this converter: withheld.
  double enob = r.enob_bits;
  if (std::isfinite(enob) && enob > o.bits + 0.1) {
    warnings |= VRX5200_WARN_ENOB_ABOVE_BITS;
    enob = NAN;
  }
  const double amplitude_dbfs = 20 * std::log10(r.amplitude_codes / std::ldexp(1.0, o.bits - 1));
  const double hz = rate > 0 ? r.frequency_cycles * rate / static_cast<double>(s.size()) : NAN;
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.files[0]).add_int("samples", static_cast<int64_t>(s.size()));
    j.add_int("bits", o.bits)
        .add_bool("offset_binary", config.code_format == VRX5200_OFFSET_BINARY);
    j.add_int("parameters", o.fit_parameters).add_int("iterations", r.iterations);
    j.add_number("rate_hz", rate > 0 ? rate : NAN);
    j.add_number("amplitude_codes", r.amplitude_codes).add_number("amplitude_dbfs", amplitude_dbfs);
    j.add_number("frequency_cycles", r.frequency_cycles).add_number("frequency_hz", hz);
    j.add_number("phase_rad", r.phase_rad).add_number("offset_codes", r.offset_codes);
    j.add_number("residual_rms_codes", r.residual_rms_codes);
    j.add_number("sinad_db", r.sinad_db).add_number("enob", enob).add_number("enob_bits", enob);
    j.add_array("warnings", client::warnings_json(warnings));
    std::printf("%s\n", j.text().c_str());
    return finish(o, warnings);
  }
  char frequency[64];
  std::snprintf(frequency, sizeof frequency, "%.6f", r.frequency_cycles);
  std::printf("%s: %zu samples\n", o.files[0].c_str(), s.size());
  std::printf("sine fit: %d parameters, %d iterations\n", o.fit_parameters, r.iterations);
  std::printf("amplitude: %s (%s)\n", fixed(r.amplitude_codes, 2, "codes").c_str(),
              fixed(amplitude_dbfs, 2, "dBFS").c_str());
  std::printf("frequency: %s cycles per record%s\n", frequency,
              rate > 0 ? (" (" + format_hertz(hz) + ")").c_str() : "");
  std::printf("phase: %s\noffset: %s\nresidual: %s RMS\n", fixed(r.phase_rad, 6, "rad").c_str(),
              fixed(r.offset_codes, 2, "codes").c_str(),
              fixed(r.residual_rms_codes, 2, "codes").c_str());
  std::printf("SINAD: %s\nENOB:  %s\n", fixed(r.sinad_db, 2, "dB").c_str(),
              fixed(enob, 2, "bits").c_str());
  return finish(o, warnings);
}

int linearity(const AnalyzeOptions& o, const std::vector<Samples>& files) {
  VRX5200Histogram* histogram = nullptr;
  check_analysis("code-density test", VRX5200Analysis_Histogram_Create(
                                          o.bits, code_format_of(o.code_format), &histogram));
  struct Owner {
    VRX5200Histogram* h;
    ~Owner() { VRX5200Analysis_Histogram_Destroy(h); }
  } owner{histogram};
  for (size_t i = 0; i < files.size(); ++i) {
    check_analysis(
        "histogram of \"" + o.files[i] + "\"",
        VRX5200Analysis_Histogram_Add(histogram, files[i].data(), files[i].type, files[i].size()));
  }
  const int32_t shape = o.shape == "sine"   ? VRX5200_SHAPE_SINE
                        : o.shape == "ramp" ? VRX5200_SHAPE_RAMP
                                            : VRX5200_SHAPE_AUTO;
  std::vector<double> dnl(size_t{1} << o.bits);
  VRX5200LinearityResult r{};
  check_analysis("code-density test",
                 VRX5200Analysis_Linearity(histogram, shape, dnl.data(), nullptr, nullptr, &r));
  const char* shape_name = r.shape == VRX5200_SHAPE_SINE ? "sine" : "ramp";
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.files[0]).add_int("records", static_cast<int64_t>(files.size()));
    j.add_int("samples", static_cast<int64_t>(r.samples)).add_int("bits", o.bits);
    j.add_bool("offset_binary", code_format_of(o.code_format) == VRX5200_OFFSET_BINARY);
    j.add_string("shape", shape_name).add_bool("shape_detected", shape == VRX5200_SHAPE_AUTO);
    j.add_int("first_code", r.first_code).add_int("last_code", r.last_code);
    j.add_int("missing_codes", r.missing_codes);
    j.add_number("dnl_min_lsb", r.dnl_min_lsb).add_number("dnl_max_lsb", r.dnl_max_lsb);
    j.add_number("inl_min_lsb", r.inl_end_point_min_lsb)
        .add_number("inl_max_lsb", r.inl_end_point_max_lsb);
    j.add_number("inl_end_point_min_lsb", r.inl_end_point_min_lsb)
        .add_number("inl_end_point_max_lsb", r.inl_end_point_max_lsb);
    j.add_number("inl_best_fit_min_lsb", r.inl_best_fit_min_lsb)
        .add_number("inl_best_fit_max_lsb", r.inl_best_fit_max_lsb);
    j.add_number("sine_fit_rms_lsb", r.sine_fit_rms_lsb)
        .add_number("ramp_fit_rms_lsb", r.ramp_fit_rms_lsb);
    j.add_int("out_of_range_samples", static_cast<int64_t>(r.out_of_range_samples));
    std::vector<int64_t> missing;
    for (uint32_t k = r.first_code + 1; k < r.last_code; ++k) {
      if (dnl[k] == -1.0) missing.push_back(k);
    }
    j.add_int_array("missing", missing);
    j.add_array("warnings", client::warnings_json(r.warnings));
    std::printf("%s\n", j.text().c_str());
    return finish(o, r.warnings);
  }
  std::printf("%s: %llu samples, codes %u to %u, %u missing\n", files_label(o.files).c_str(),
              static_cast<unsigned long long>(r.samples), r.first_code, r.last_code,
              r.missing_codes);
  std::printf("shape: %s (%s)\n", shape_name, shape == VRX5200_SHAPE_AUTO ? "detected" : "given");
  std::printf("DNL: %s to %s LSB\n", fixed(r.dnl_min_lsb, 2, "").c_str(),
              fixed(r.dnl_max_lsb, 2, "").c_str());
  std::printf(
      "INL: %s to %s LSB end point, %s to %s LSB best fit\n",
      fixed(r.inl_end_point_min_lsb, 2, "").c_str(), fixed(r.inl_end_point_max_lsb, 2, "").c_str(),
      fixed(r.inl_best_fit_min_lsb, 2, "").c_str(), fixed(r.inl_best_fit_max_lsb, 2, "").c_str());
  return finish(o, r.warnings);
}

}  // namespace tool
