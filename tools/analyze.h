// The tool's measurement subcommands on the analysis core (vrx5200_analysis.h): `analyze` reads a
// capture file and prints its figures, `generate` writes a DAC pattern file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct AnalyzeOptions {
  std::string file;
  std::string format;  // raw, csv or npy (empty: by the extension); or the code format
  int bits = 16;
  std::string code_format;  // twos or offset; empty: offset for a '<u2' .npy, else twos
  std::string rate;         // Hz with k/M/G; empty: unknown
  std::string window = "blackmanharris";
  int harmonics = 5;
  bool two_tone = false;
  bool linearity = false;
  bool json = false;
};

struct GenerateOptions {
  std::string kind;  // tone, multitone, ramp, noise
  uint64_t words = 65536;
  double amplitude_dbfs = -1.0;
  uint64_t cycles = 0;        // tone, ramp
  std::string frequency;      // tone: Hz (with --rate): made coherent
  std::string rate = "100M";  // the DAC's word rate, for --frequency
  std::string tones;          // multitone: cycles,cycles,...
  int bits = 16;
  std::string code_format = "twos";
  uint64_t seed = 1;
  std::string output;
  std::string label;  // how the summary names the pattern; empty: by the output's path
};

// The samples of a capture file: raw 16-bit little-endian, CSV (one decimal per line) or .npy
// ('<i2' or '<u2'). Exits with the file exit code when it cannot be read.
// `unsigned_words`, when not null, tells whether a .npy file holds '<u2' words.
std::vector<uint16_t> read_capture(const std::string& path, const std::string& format,
                                   bool* unsigned_words = nullptr);

// Returns the process exit code.
int run_analyze(AnalyzeOptions o);
// Writes the pattern; returns the process exit code.
int run_generate(const GenerateOptions& o);

}  // namespace tool
