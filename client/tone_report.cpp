#include "client/tone_report.h"

#include <cmath>
#include <cstdio>

#include "client/units.h"

namespace client {
namespace {

// A figure with two decimals and its unit, or "withheld".
std::string figure(double v, const char* unit) {
  if (!std::isfinite(v)) return "withheld";
  char b[64];
  std::snprintf(b, sizeof b, "%.2f %s", v, unit);
  return b;
}

std::string six_digits(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.6g", v);
  return b;
}

// A frequency in cycles per record in Hz, NaN without a rate (the same arithmetic as the Python
// package's, so that both print the same digits).
double hz_of(const ToneReport& r, double cycles) {
  if (!(r.config.rate_hz > 0) || !std::isfinite(cycles)) return NAN;
  return cycles * r.config.rate_hz / static_cast<double>(r.samples);
}

bool tone_found(const ToneReport& r) {
  return std::isfinite(r.result.fundamental_dbfs);
}

bool spur_found(const ToneReport& r) {
  return tone_found(r) && std::isfinite(r.result.worst_spur_dbfs);
}

bool band_given(const ToneReport& r) {
  return r.options.band_low_cycles != 0 || r.options.band_high_cycles != 0;
}

std::string tone_name(const ToneReport& r, uint32_t i) {
  return i < r.tone_names.size() ? r.tone_names[i] : "tone " + std::to_string(i + 1);
}

}  // namespace

int32_t analyse_tone(VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type,
                     uint64_t count, ToneReport& report, double* power) {
  if (report.options.version == 0) report.options.version = VRX5200_ANALYSIS_VERSION;
  report.samples = count;
  report.result = VRX5200ToneResult{};
  report.quality = VRX5200ToneQuality{};
  const int32_t code =
      VRX5200Analysis_Single_Tone_Ex(analyzer, samples, sample_type, count, &report.config,
                                     &report.options, &report.result, &report.quality, power);
  if (code == VRX5200_ANALYSIS_OK && !report.evenly_spaced) withhold_spectral(report);
  return code;
}

void withhold_spectral(ToneReport& report) {
  VRX5200ToneResult& r = report.result;
  VRX5200ToneQuality& q = report.quality;
  r.fundamental_dbfs = r.fundamental_amplitude_codes = NAN;
  r.snr_db = r.sinad_db = r.thd_dbc = r.sfdr_dbc = r.enob_bits = NAN;
  r.noise_dbfs = r.noise_floor_dbfs = r.nsd_dbfs_hz = NAN;
  r.worst_spur_cycles = r.worst_spur_hz = r.worst_spur_dbfs = NAN;
  r.thd_measured = 0;
  for (VRX5200ToneRecord& t : r.tones) t = VRX5200ToneRecord{};  // none located
  q.snr_dbfs = q.fit_amplitude_codes = q.fit_cycles = q.fit_phase_rad = q.fit_offset_codes = NAN;
  q.leakage_dbfs = NAN;
  q.worst_spur_named = 0;
  for (uint32_t i = 0; i < q.named_count && i < VRX5200_MAX_NAMED_TONES; ++i) {
    q.named[i].counted = 0;
    q.named[i].power_dbfs = q.named[i].level_dbc = NAN;
  }
  q.warnings = (q.warnings & (VRX5200_WARN_CLIPPED | VRX5200_WARN_OUT_OF_RANGE)) |
               VRX5200_WARN_UNEVEN_SAMPLES;
}

const char* method_name(int32_t method) {
  return method == VRX5200_METHOD_SPECTRUM ? "spectrum" : "fit";
}

std::vector<JsonObject> warnings_json(uint32_t flags) {
  std::vector<JsonObject> out;
  for (int b = 0; b < 32; ++b) {
    const uint32_t flag = uint32_t{1} << b;
    if ((flags & flag) == 0) continue;
    JsonObject w;
    w.add_string("code", VRX5200Analysis_Warning_Code(flag))
        .add_string("message", VRX5200Analysis_Warning_Text(flag));
    out.push_back(w);
  }
  return out;
}

std::vector<std::string> warning_lines(uint32_t flags) {
  std::vector<std::string> out;
  for (int b = 0; b < 32; ++b) {
    const uint32_t flag = uint32_t{1} << b;
    if ((flags & flag) == 0) continue;
    out.push_back(std::string(VRX5200Analysis_Warning_Code(flag)) + ": " +
                  VRX5200Analysis_Warning_Text(flag));
  }
  return out;
}

// One flat run of keys in the order the tool, the server and the Python package print them: kept
// whole (about 90 lines) so that the order can be read off and compared in one place.
void add_tone_json(JsonObject& j, const ToneReport& report) {
  const VRX5200ToneResult& r = report.result;
  const VRX5200ToneQuality& q = report.quality;
  const VRX5200ToneRecord& f = r.tones[0];
  const bool tone = tone_found(report), spur = spur_found(report);
  const double rate = report.config.rate_hz > 0 ? report.config.rate_hz : NAN;
  j.add_int("samples", static_cast<int64_t>(report.samples))
      .add_int("records", static_cast<int64_t>(q.records));
  j.add_int("bits", report.config.bits)
      .add_bool("offset_binary", report.config.code_format == VRX5200_OFFSET_BINARY)
      .add_string("window", window_name(report.config.window))
      .add_string("method", method_name(q.method))
      .add_number("rate_hz", rate);
  if (tone) {
    j.add_int("fundamental_bin", static_cast<int64_t>(f.bin));
  } else {
    j.add_null("fundamental_bin");
  }
  j.add_number("fundamental_cycles", tone ? f.cycles : NAN)
      .add_number("fundamental_hz", tone ? hz_of(report, f.cycles) : NAN)
      .add_number("fundamental_dbfs", r.fundamental_dbfs);
  j.add_number("snr_db", r.snr_db).add_number("snr_dbfs", q.snr_dbfs);
  j.add_number("sinad_db", r.sinad_db).add_number("sfdr_dbc", r.sfdr_dbc);
  j.add_number("thd_dbc", tone && r.thd_measured ? r.thd_dbc : NAN);
  j.add_number("enob", r.enob_bits).add_number("enob_bits", r.enob_bits);
  j.add_number("noise_floor_dbfs", r.noise_floor_dbfs).add_number("noise_dbfs", r.noise_dbfs);
  j.add_number("nsd_dbfs_hz", std::isfinite(rate) ? r.nsd_dbfs_hz : NAN);
  j.add_number("dc_codes", r.dc_codes);
  j.add_int("clipped_samples", static_cast<int64_t>(q.clipped_samples))
      .add_int("out_of_range_samples", static_cast<int64_t>(q.out_of_range_samples));

  JsonObject s;
  if (spur) {
    s.add_int("bin", static_cast<int64_t>(r.worst_spur_bin));
  } else {
    s.add_null("bin");
  }
  s.add_number("cycles", spur ? r.worst_spur_cycles : NAN)
      .add_number("frequency_hz", spur ? hz_of(report, r.worst_spur_cycles) : NAN)
      .add_number("dbfs", spur ? r.worst_spur_dbfs : NAN);
  if (spur) {
    s.add_string("kind", r.worst_spur_kind == VRX5200_SPUR_HARMONIC ? "harmonic" : "other")
        .add_int("order", r.worst_spur_order);
  } else {
    s.add_null("kind").add_null("order");
  }
  if (spur && q.worst_spur_named > 0) {
    s.add_string("tone", tone_name(report, static_cast<uint32_t>(q.worst_spur_named - 1)));
  } else {
    s.add_null("tone");
  }
  j.add_object("worst_spur", s);
  j.add_number("worst_spur_hz", spur ? hz_of(report, r.worst_spur_cycles) : NAN)
      .add_number("worst_spur_dbfs", spur ? r.worst_spur_dbfs : NAN);

  std::vector<JsonObject> harmonics;
  for (int32_t h = 2; h <= report.config.harmonics && h <= VRX5200_MAX_HARMONICS; ++h) {
    const VRX5200ToneRecord& t = r.tones[h - 1];
    if (t.order != h) continue;  // not located: no tone
    JsonObject one;
    one.add_int("order", h).add_int("bin", static_cast<int64_t>(t.bin));
    one.add_number("cycles", t.cycles).add_number("frequency_hz", hz_of(report, t.cycles));
    one.add_bool("counted", t.counted != 0);
    one.add_number("level_dbc", t.counted ? t.level_dbc : NAN)
        .add_number("power_dbfs", t.counted ? t.power_dbfs : NAN);
    harmonics.push_back(one);
  }
  j.add_array("harmonics", harmonics);

  JsonObject band;
  band.add_number("low_cycles", q.band_low_cycles)
      .add_number("high_cycles", q.band_high_cycles)
      .add_number("low_hz", hz_of(report, q.band_low_cycles))
      .add_number("high_hz", hz_of(report, q.band_high_cycles))
      .add_int("bins", static_cast<int64_t>(q.band_bins));
  j.add_object("band", band);

  std::vector<JsonObject> tones;
  for (uint32_t i = 0; i < q.named_count && i < VRX5200_MAX_NAMED_TONES; ++i) {
    const VRX5200ToneRecord& t = q.named[i];
    JsonObject one;
    one.add_string("name", tone_name(report, i))
        .add_string("action", report.options.named[i].action == VRX5200_TONE_EXCLUDE ? "exclude"
                                                                                     : "identify");
    one.add_int("bin", static_cast<int64_t>(t.bin));
    one.add_number("cycles", t.cycles).add_number("frequency_hz", hz_of(report, t.cycles));
    one.add_bool("counted", t.counted != 0);
    one.add_number("power_dbfs", t.counted ? t.power_dbfs : NAN)
        .add_number("level_dbc", t.counted ? t.level_dbc : NAN);
    tones.push_back(one);
  }
  j.add_array("tones", tones);
  j.add_array("warnings", warnings_json(q.warnings));
}

JsonObject tone_json(const ToneReport& report) {
  JsonObject j;
  add_tone_json(j, report);
  return j;
}

std::vector<std::string> tone_lines(const ToneReport& report) {
  const VRX5200ToneResult& r = report.result;
  const VRX5200ToneQuality& q = report.quality;
  const VRX5200ToneRecord& f = r.tones[0];
  const bool tone = tone_found(report), spur = spur_found(report);
  const bool rate = report.config.rate_hz > 0;
  std::vector<std::string> out;
  out.push_back(std::string("method: ") + method_name(q.method) + ", " +
                window_name(report.config.window) + " window");
  if (tone) {
    std::string where = "bin " + std::to_string(f.bin);
    if (rate) where += " (" + format_hertz(hz_of(report, f.cycles)) + ")";
    out.push_back("fundamental: " + where + ", " + figure(r.fundamental_dbfs, "dBFS"));
  } else {
    out.push_back("fundamental: withheld");
  }
  std::string snr = "SNR:   " + figure(r.snr_db, "dB");
  if (std::isfinite(q.snr_dbfs)) snr += " (" + figure(q.snr_dbfs, "dBFS") + ")";
  out.push_back(snr);
  out.push_back("SINAD: " + figure(r.sinad_db, "dB"));
  std::string sfdr = "SFDR:  " + figure(r.sfdr_dbc, "dBc");
  if (spur) {
    sfdr += " (worst spur: bin " + std::to_string(r.worst_spur_bin);
    if (rate) sfdr += ", " + format_hertz(hz_of(report, r.worst_spur_cycles));
    if (q.worst_spur_named > 0) {
      sfdr += ", tone " + tone_name(report, static_cast<uint32_t>(q.worst_spur_named - 1));
    } else if (r.worst_spur_kind == VRX5200_SPUR_HARMONIC) {
      sfdr += ", harmonic " + std::to_string(r.worst_spur_order);
    } else {
      sfdr += ", not a harmonic";
    }
    sfdr += ")";
  }
  out.push_back(sfdr);
  out.push_back("THD:   " + (tone && !r.thd_measured ? std::string("n/a (no harmonic clear)")
                                                     : figure(tone ? r.thd_dbc : NAN, "dBc")));
  out.push_back("ENOB:  " + figure(r.enob_bits, "bits"));
  out.push_back("noise floor: " + figure(r.noise_floor_dbfs, "dBFS per bin"));
  if (rate) out.push_back("noise spectral density: " + figure(r.nsd_dbfs_hz, "dBFS/Hz"));
  if (band_given(report)) {
    std::string band =
        "band: bins " + six_digits(q.band_low_cycles) + " to " + six_digits(q.band_high_cycles);
    if (rate) {
      band += " (" + format_hertz(hz_of(report, q.band_low_cycles)) + " to " +
              format_hertz(hz_of(report, q.band_high_cycles)) + ")";
    }
    out.push_back(band);
  }
  for (uint32_t i = 0; i < q.named_count && i < VRX5200_MAX_NAMED_TONES; ++i) {
    const VRX5200ToneRecord& t = q.named[i];
    std::string line = "tone " + tone_name(report, i) + ": ";
    if (!report.evenly_spaced) {
      line += "withheld";
    } else if (!t.counted) {
      line += "not measured (in the lobe of DC or the fundamental, or outside the band)";
    } else {
      line += "bin " + std::to_string(t.bin);
      if (rate) line += " (" + format_hertz(hz_of(report, t.cycles)) + ")";
      line += ", " + figure(t.power_dbfs, "dBFS") + ", " + figure(t.level_dbc, "dBc");
    }
    if (report.options.named[i].action == VRX5200_TONE_EXCLUDE) line += ", excluded";
    out.push_back(line);
  }
  return out;
}

}  // namespace client
