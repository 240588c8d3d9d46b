// The single-tone figures as every front end gives them (the tool's analyze, its server's
// capture answer; the Python package mirrors them): one analysis of the core with its warnings,
// in JSON and in lines. A figure the core withholds is null in JSON and "withheld" in lines, and
// the warnings say why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/json.h"
#include "vrx5200_analysis.h"

namespace client {

// One single-tone analysis: what was asked (config and options, the named tones' names in the
// order of options.named) and what the core answered.
struct ToneReport {
  VRX5200ToneConfig config{};
  VRX5200ToneOptions options{};
  std::vector<std::string> tone_names;
  uint64_t samples = 0;  // of one record
  // False when the samples are not evenly spaced in time (a lane list that reorders lanes or
  // keeps them unevenly): analyse_tone then sets VRX5200_WARN_UNEVEN_SAMPLES and withholds
  // every spectral figure (see withhold_spectral).
  bool evenly_spaced = true;
  VRX5200ToneResult result{};
  VRX5200ToneQuality quality{};
};

// Runs VRX5200Analysis_Single_Tone_Ex on one record into `report` (its config and options set);
// the core's result code. power as the core takes it (may be null).
int32_t analyse_tone(VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type,
                     uint64_t count, ToneReport& report, double* power = nullptr);

// Sets VRX5200_WARN_UNEVEN_SAMPLES and withholds every figure that rests on the samples being
// evenly spaced: the fundamental, SNR, SINAD, SFDR, THD, ENOB, the noise, the spurs, the
// harmonics and the named tones' levels (and the core's spectral warnings with them). What
// counts samples stands: DC, clipped and out-of-range samples, and their warnings.
void withhold_spectral(ToneReport& report);

// The method's name as --method and the JSON spell it: "fit" or "spectrum".
const char* method_name(int32_t method);

// The warning flags as JSON objects {"code", "message"} and as lines "CODE: MESSAGE", lowest
// flag first.
std::vector<JsonObject> warnings_json(uint32_t flags);
std::vector<std::string> warning_lines(uint32_t flags);

// Adds the figures to `j`: samples, records, bits, offset_binary, window, method, rate_hz,
// fundamental_*, snr_db, snr_dbfs, sinad_db, sfdr_dbc, thd_dbc, enob (and enob_bits),
// noise_floor_dbfs, noise_dbfs, nsd_dbfs_hz, dc_codes, clipped_samples, out_of_range_samples,
// worst_spur (and worst_spur_hz, worst_spur_dbfs), harmonics, band, tones, warnings. Every key
// is always present; null where a figure is withheld or does not apply (Hz without a rate).
void add_tone_json(JsonObject& j, const ToneReport& report);
// The figures alone, as one object.
JsonObject tone_json(const ToneReport& report);

// The figures in lines, from the method to the named tones (no file line, no warnings).
std::vector<std::string> tone_lines(const ToneReport& report);

}  // namespace client
