// vrx5200 analyze: the figures of capture files (no board needed): single-tone (of one record,
// or averaged over records), two-tone, sine fit or code density, in lines or as one JSON object.
// A figure the analysis cannot stand behind is withheld (null in JSON) with a warning; the
// warnings go to standard error in lines, into the object in JSON, and with --strict they make
// the exit code 4.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/json.h"
#include "client/tone_report.h"
#include "client/units.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/measure.h"
#include "tools/sample_input.h"
#include "vrx5200_analysis.h"

namespace tool {

using client::format_hertz;
using client::JsonObject;

namespace {

struct AnalyzeOptions {
  std::vector<std::string> files;
  std::string capture;  // -u: a capture the server keeps (its id, or "last"), instead of a file
  std::string format;   // raw, csv or npy (empty: by the content and extension); or the code format
  int bits = 16;
  bool bits_given = false;
  std::string code_format;  // twos or offset; empty: offset for a '<u2' .npy, else twos
  std::string rate;         // Hz with k/M/G; empty: unknown
  std::string window = "blackmanharris";
  int harmonics = 5;
  std::string method;              // fit or spectrum; empty: the core's default (fit)
  std::string band;                // LOW:HIGH
  std::vector<std::string> tones;  // NAME=FREQ[:exclude|:identify]
  std::string fundamental;
  long column = -1;
  bool average = false;
  long records_per_file = 1;
  bool two_tone = false;
  bool linearity = false;
  std::string shape;  // sine or ramp; empty: detected
  bool sine_fit = false;
  int fit_parameters = 4;
  bool strict = false;
  bool json = false;
};

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

// A frequency as --fundamental, --band and --tone take it: Hz (with k, M or G; needs the rate)
// or bins ("2064bin", cycles per record, fractions allowed); in cycles per record of n samples.
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

// The single-tone request of the command line for records of n samples.
client::ToneReport tone_request(const AnalyzeOptions& o, double rate, uint64_t n) {
  client::ToneReport t;
  t.config.bits = o.bits;
  t.config.code_format = code_format_of(o.code_format);
  t.config.window = window_of(o.window);
  t.config.harmonics = o.harmonics;
  t.config.rate_hz = rate;
  if (!o.fundamental.empty()) {
    t.config.fundamental_cycles = cycles_of(o.fundamental, "--fundamental", rate, n);
    if (t.config.fundamental_cycles <= 0) fail("--fundamental must lie above DC", kExitUsage);
  }
  t.options.version = VRX5200_ANALYSIS_VERSION;
  t.options.method = o.method.empty()         ? VRX5200_METHOD_DEFAULT
                     : o.method == "spectrum" ? VRX5200_METHOD_SPECTRUM
                                              : VRX5200_METHOD_FIT_SUBTRACT;
  if (!o.band.empty()) {
    const size_t colon = o.band.find(':');
    if (colon == std::string::npos) fail("--band \"" + o.band + "\": LOW:HIGH", kExitUsage);
    t.options.band_low_cycles = cycles_of(o.band.substr(0, colon), "--band", rate, n);
    t.options.band_high_cycles = cycles_of(o.band.substr(colon + 1), "--band", rate, n);
    if (!(t.options.band_low_cycles < t.options.band_high_cycles)) {
      fail("--band \"" + o.band + "\": the low end must lie below the high end", kExitUsage);
    }
  }
  if (o.tones.size() > VRX5200_MAX_NAMED_TONES) {
    fail("at most " + std::to_string(VRX5200_MAX_NAMED_TONES) + " --tone", kExitUsage);
  }
  for (const std::string& spec : o.tones) {
    const size_t eq = spec.find('=');
    if (eq == std::string::npos || eq == 0) {
      fail("--tone \"" + spec + "\": NAME=FREQUENCY[:exclude]", kExitUsage);
    }
    std::string frequency = spec.substr(eq + 1);
    int32_t action = VRX5200_TONE_IDENTIFY;
    const size_t colon = frequency.find(':');
    if (colon != std::string::npos) {
      const std::string what = frequency.substr(colon + 1);
      if (what == "exclude") {
        action = VRX5200_TONE_EXCLUDE;
      } else if (what != "identify") {
        fail("--tone \"" + spec + "\": the action is exclude or identify", kExitUsage);
      }
      frequency.erase(colon);
    }
    VRX5200NamedTone& named = t.options.named[t.options.named_count++];
    named.cycles = cycles_of(frequency, "--tone", rate, n);
    named.action = action;
    t.tone_names.push_back(spec.substr(0, eq));
  }
  return t;
}

// Prints the warnings on standard error, one line each.
void print_warnings(uint32_t flags) {
  for (const std::string& line : client::warning_lines(flags)) {
    std::fflush(stdout);
    std::fprintf(stderr, "vrx5200: warning: %s\n", line.c_str());
  }
}

// The answer's end: the warnings (in lines), and the exit code they make.
int finish(const AnalyzeOptions& o, uint32_t warnings) {
  if (!o.json) print_warnings(warnings);
  return o.strict && warnings != 0 ? client::kExitWarnings : kExitOk;
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

int single_tone(const AnalyzeOptions& o, const std::vector<Samples>& files, double rate) {
  // The records: each file whole, or cut into --average N records each.
  std::vector<Samples> records;
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t n = files[i].size();
    const size_t per = static_cast<size_t>(o.records_per_file);
    if (n % per != 0) {
      fail("--average " + std::to_string(per) + ": \"" + o.files[i] + "\" holds " +
               std::to_string(n) + " samples, which do not cut into " + std::to_string(per) +
               " records",
           kExitUsage);
    }
    if (per == 1) {
      records.push_back(files[i]);
    } else {
      for (size_t r = 0; r < per; ++r) records.push_back(files[i].slice(r * (n / per), n / per));
    }
  }
  const uint64_t n = records[0].size();
  for (size_t r = 1; r < records.size(); ++r) {
    if (records[r].size() != n) {
      fail("records of " + std::to_string(n) + " and " + std::to_string(records[r].size()) +
               " samples: averaged records must be of one length",
           kExitUsage);
    }
  }
  client::ToneReport t = tone_request(o, rate, n);
  if (!o.average) {
    t.samples = n;
    check_analysis("analysis of \"" + o.files[0] + "\"",
                   client::analyse_tone(nullptr, records[0].data(), records[0].type, n, t));
  } else {
    VRX5200ToneAverager* averager = nullptr;
    check_analysis("averaging",
                   VRX5200Analysis_Average_Create(n, &t.config, &t.options, 0, &averager));
    struct Owner {
      VRX5200ToneAverager* a;
      ~Owner() { VRX5200Analysis_Average_Destroy(a); }
    } owner{averager};
    for (size_t r = 0; r < records.size(); ++r) {
      check_analysis("record " + std::to_string(r + 1) + " of " + std::to_string(records.size()),
                     VRX5200Analysis_Average_Add(averager, records[r].data(), records[r].type, n));
    }
    t.samples = n;
    check_analysis("averaging",
                   VRX5200Analysis_Average_Result(averager, &t.result, &t.quality, nullptr));
  }
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.files[0]);
    client::add_tone_json(j, t);
    std::printf("%s\n", j.text().c_str());
    return finish(o, t.quality.warnings);
  }
  if (t.quality.records > 1) {
    std::printf("%s: %llu records of %llu samples averaged\n", files_label(o.files).c_str(),
                static_cast<unsigned long long>(t.quality.records),
                static_cast<unsigned long long>(n));
  } else {
    std::printf("%s: %llu samples\n", o.files[0].c_str(), static_cast<unsigned long long>(n));
  }
  for (const std::string& line : client::tone_lines(t)) std::printf("%s\n", line.c_str());
  return finish(o, t.quality.warnings);
}

// The intermodulation products in the order of the two-tone record, f1 < f2.
constexpr const char* kProductNames[6] = {"f2-f1", "f1+f2", "2f1-f2", "2f2-f1", "2f1+f2", "2f2+f1"};

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

int run_analyze(AnalyzeOptions o, const RemoteOptions& remote) {
  if (!o.files.empty() && !o.capture.empty()) {
    fail("--capture names a capture the server keeps instead of a file: give one or the other",
         kExitUsage);
  }
  if (o.files.empty() && o.capture.empty()) {
    fail("give a capture file, or with -u a capture the server keeps (--capture ID)", kExitUsage);
  }
  if (!o.capture.empty() && remote.uri.empty()) {
    fail("--capture names a capture a server keeps: give the server with -u URL", kExitUsage);
  }
  double rate = rate_of(o.rate);
  // --format names the file's format, or the code format (offset or twos).
  if (o.format == "offset" || o.format == "twos") {
    if (!o.code_format.empty() && o.code_format != o.format) {
      fail("--format " + o.format + " and --code-format " + o.code_format + " disagree",
           kExitUsage);
    }
    o.code_format = o.format;
    o.format.clear();
  }
  const bool several = o.linearity || o.average;
  if (o.files.size() > 1 && !several) {
    fail("several files are analysed together with --average or --linearity", kExitUsage);
  }
  if (o.fit_parameters != 3 && o.fit_parameters != 4) {
    fail("--sine-fit " + std::to_string(o.fit_parameters) + ": 3 or 4 parameters", kExitUsage);
  }
  if (o.records_per_file < 1) fail("--average N: N records per file, 1 or more", kExitUsage);
  if (!o.method.empty() && o.method != "fit" && o.method != "spectrum") {
    fail("bad method \"" + o.method + "\" (fit or spectrum)", kExitUsage);
  }
  if (!o.shape.empty() && o.shape != "sine" && o.shape != "ramp") {
    fail("--linearity \"" + o.shape + "\": the shape is sine or ramp (detected when not given)",
         kExitUsage);
  }
  window_of(o.window);
  if (!o.code_format.empty()) code_format_of(o.code_format);
  std::vector<Samples> files;
  if (o.capture.empty()) {
    for (const std::string& path : o.files) {
      files.push_back(read_samples(path, o.format, o.column));
      if (files.back().size() == 0) fail("\"" + path + "\" holds no samples", kExitFile);
    }
  } else {
    if (!o.format.empty() || o.column >= 0) {
      fail("a capture the server keeps has no file format or column to name", kExitUsage);
    }
    // Its samples as they came from the board; offset binary and its rate as the server
    // recorded them (--rate and --code-format still decide).
    KeptCapture k = fetch_kept_capture(remote, o.capture);
    Samples s;
    s.type = VRX5200_SAMPLES_UINT16;
    s.words = std::move(k.samples);
    s.unsigned_words = k.offset_binary;
    if (o.rate.empty()) rate = k.rate_hz;
    o.files = {k.name};
    if (s.size() == 0) fail("\"" + k.name + "\" holds no samples", kExitFile);
    files.push_back(std::move(s));
  }
  // A recording's rate unless --rate; its 8-bit codes of 8 bits unless --bits; its floating-point
  // values in fractions of full scale.
  if (o.rate.empty() && files[0].rate_hz > 0) rate = files[0].rate_hz;
  if (!o.bits_given && files[0].bits > 0) o.bits = files[0].bits;
  for (Samples& s : files) s.scale_fractions(o.bits);
  // Offset-binary captures are saved as '<u2' .npy files (ru16_le recordings): their code format
  // unless told.
  if (o.code_format.empty()) o.code_format = files[0].unsigned_words ? "offset" : "twos";
  if (o.linearity) return linearity(o, files);
  if (o.two_tone) return two_tone(o, files[0], rate);
  if (o.sine_fit) return sine_fit(o, files[0], rate);
  return single_tone(o, files, rate);
}

class AnalyzeCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    AnalyzeOptions& a = a_;
    auto* analyze = app.add_subcommand("analyze", "figures of capture files (no board needed)");
    analyze->add_option("FILE", a.files,
                        "capture file: raw 16-bit little-endian, CSV, .npy or a SigMF recording "
                        "(NAME.sigmf-meta, NAME.sigmf-data, NAME.sigmf); - for standard input; "
                        "several with --average or --linearity");
    analyze->add_option("--capture", a.capture,
                        "with -u: a capture the server keeps, by its id (vrx5200 -u URL list "
                        "--captures) or last, instead of a file");
    analyze->add_option("-O,--format", a.format,
                        "raw, csv, npy or sigmf (default: npy for a file that starts as one, else "
                        "by the extension); or offset or twos, as --code-format");
    analyze->add_option("--column", a.column, "the column of a 2-D .npy array to analyse")
        ->check(CLI::NonNegativeNumber);
    bits_ =
        analyze
            ->add_option("--bits", a.bits,
                         "the ADC's resolution (1 to 16 for words, to 32 for .npy values; 8 for an "
                         "8-bit recording)")
            ->capture_default_str()
            ->check(CLI::Range(1, 32));
    analyze->add_option("--code-format", a.code_format,
                        "twos or offset (default: offset for a '<u2' .npy file, else twos)");
    analyze->add_option("--rate", a.rate, "sample rate in Hz, with k, M or G");
    analyze
        ->add_option("--window", a.window, "rectangular, hann, blackmanharris or blackmanharris7")
        ->capture_default_str();
    analyze->add_option("--harmonics", a.harmonics, "highest harmonic order counted")
        ->capture_default_str()
        ->check(CLI::Range(2, 25));
    analyze->add_option("--method", a.method,
                        "fit: the tone fitted and subtracted before the window, true between "
                        "bins (default); spectrum: the record's own windowed spectrum");
    analyze->add_option("--fundamental", a.fundamental,
                        "the fundamental, in Hz (with --rate) or bins (2064bin); default: the "
                        "largest component");
    analyze->add_option("--band", a.band,
                        "the analysis band LOW:HIGH, in Hz or bins (0:20M, 100bin:5000bin)");
    analyze->add_option("--tone", a.tones,
                        "a tone to name in the answer, NAME=FREQUENCY in Hz or bins; "
                        "NAME=FREQUENCY:exclude takes it out of the noise and spurs (repeatable)");
    auto* average = analyze
                        ->add_option_function<std::string>(
                            "--average",
                            [&a](const std::string& v) {
                              a.average = true;
                              a.records_per_file =
                                  v.empty() ? 1 : parse_number(v, "--average", 1, 1 << 20);
                            },
                            "average the spectra of the files (cut into N records each)")
                        ->expected(0, 1)
                        ->type_name("[N]");
    auto* two_tone =
        analyze->add_flag("--two-tone", a.two_tone, "two-tone analysis: IMD2 and IMD3");
    auto* linearity =
        analyze
            ->add_option_function<std::string>(
                "--linearity",
                [&a](const std::string& v) {
                  a.linearity = true;
                  a.shape = v;
                },
                "code density of a sine or ramp (detected when not given), over the "
                "histogram of all the files: DNL, end-point and best-fit INL, missing codes")
            ->expected(0, 1)
            ->type_name("[sine|ramp]");
    auto* fit = analyze
                    ->add_option_function<std::string>(
                        "--sine-fit",
                        [&a](const std::string& v) {
                          a.sine_fit = true;
                          a.fit_parameters =
                              v.empty() ? 4 : static_cast<int>(parse_number(v, "--sine-fit", 3, 4));
                        },
                        "least-squares sine fit of 4 parameters (3: at --fundamental): "
                        "amplitude, frequency, phase, offset, residual, SINAD, ENOB")
                    ->expected(0, 1)
                    ->type_name("[3|4]");
    linearity->excludes(two_tone)->excludes(fit)->excludes(average);
    two_tone->excludes(fit)->excludes(average);
    fit->excludes(average);
    analyze->add_flag("--strict", a.strict, "exit 4 when the analysis gives any warning");
    analyze->add_flag("--json", a.json, "one JSON object");
    analyze->footer(
        "Warnings (clipping, no tone, a withheld figure) go to standard error, or into the JSON "
        "object; they leave the exit status 0 unless --strict (then 4).\n\n"
        "Examples:\n  vrx5200 analyze capture.bin --rate 250M\n"
        "  vrx5200 analyze capture.npy --json --strict\n"
        "  vrx5200 analyze recording.sigmf-meta\n"
        "  vrx5200 analyze ramp.bin --linearity ramp --bits 12\n"
        "  vrx5200 analyze a.bin b.bin c.bin --average\n"
        "  vrx5200 analyze capture.bin --rate 250M --tone clock=62.5M:exclude\n"
        "  vrx5200 -u http://lab-pc:8520 analyze --capture last");
    return analyze;
  }
  int run(Context& ctx) override {
    a_.bits_given = bits_->count() > 0;
    return run_analyze(a_, ctx.global.remote);
  }

 private:
  AnalyzeOptions a_;
  CLI::Option* bits_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> analyze_command() {
  return std::make_unique<AnalyzeCommand>();
}

}  // namespace tool
