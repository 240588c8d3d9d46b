// What the measurement subcommands (analyze, generate) share on the analysis core: its failures,
// code formats and rates as the command line names them.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

// Fails with the analysis core's sentence unless `code` is VRX5200_ANALYSIS_OK: with
// `refusal_exit` when the core refused what it was given (its file and memory failures keep
// theirs).
void check_core(const char* what, int32_t code, int refusal_exit = 1);
// VRX5200_TWOS_COMPLEMENT or VRX5200_OFFSET_BINARY of "twos" or "offset".
int32_t code_format_of(const std::string& name);
// A rate in Hz with k, M or G, 1 Hz to 100 GHz; 0 for an empty text (unknown).
double rate_of(const std::string& text);

}  // namespace tool
