// What the analyze subcommand's modes share: its options, the checks and texts of its figures,
// and the analyses beside the single-tone one (two tones, the sine fit, the code density), each
// printing its lines or its JSON object and returning the exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sample_input.h"

namespace tool {

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

// Fails with the core's sentence and the exit code of its refusal unless `code` is OK: what the
// command line gave (2), samples that are not samples of the declared converter or too few (3),
// a record the analysis cannot measure (1).
void check_analysis(const std::string& what, int32_t code);
// The core's window of a --window name; a bad name fails as a bad command line.
int32_t window_of(const std::string& name);
// A figure with its decimals and unit (none when empty), or "withheld".
std::string fixed(double v, int decimals, const char* unit);
// How the output names the files: the one file, or the first and how many more.
std::string files_label(const std::vector<std::string>& files);
// A frequency as --fundamental, --band and --tone take it: Hz (with k, M or G; needs the rate)
// or bins ("2064bin", cycles per record, fractions allowed); in cycles per record of n samples.
double cycles_of(const std::string& text, const char* what, double rate, uint64_t n);
// The answer's end: the warnings (in lines, on standard error), and the exit code they make.
int finish(const AnalyzeOptions& o, uint32_t warnings);

int two_tone(const AnalyzeOptions& o, const Samples& s, double rate);
int sine_fit(const AnalyzeOptions& o, const Samples& s, double rate);
int linearity(const AnalyzeOptions& o, const std::vector<Samples>& files);

}  // namespace tool
