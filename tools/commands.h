// The tool's subcommands. Each lives in a file of its own (cmd_NAME.cpp) with its options and its
// run function; main only parses the command line and runs the subcommand that was given.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/context.h"

namespace tool {

class Command {
 public:
  virtual ~Command() = default;
  // Adds the subcommand and its options to `app`; returns the subcommand's parser.
  virtual CLI::App* add_to(CLI::App& app) = 0;
  // Runs the subcommand once the command line is parsed; returns the exit code. Failures throw
  // Failure. Everything the command line says is checked before the library is loaded (it loads
  // through the Context when first needed) and before a board is opened.
  virtual int run(Context& ctx) = 0;
};

// In the order --help lists them.
std::unique_ptr<Command> list_command();
std::unique_ptr<Command> info_command();
std::unique_ptr<Command> load_command();
std::unique_ptr<Command> reg_command();
std::unique_ptr<Command> capture_command();
std::unique_ptr<Command> play_command();
std::unique_ptr<Command> convert_command();
std::unique_ptr<Command> analyze_command();
std::unique_ptr<Command> generate_command();
std::unique_ptr<Command> loopback_command();
std::unique_ptr<Command> demo_command();
std::unique_ptr<Command> serve_command(const char* version);

// ---- what subcommands share: capture, conversion, playback and pattern generation ----

struct CaptureOptions {
  int32_t samples = 65536;
  std::string output;  // empty: standard output when it is not a terminal
  std::string format;  // raw, csv, npy; empty: from the output's extension
  bool csv = false;
  std::string rate = "250M";
  int32_t rate_factor = 2, step_select = 0, half_rate = 0;
  std::string r1 = "0", r6 = "0", r7 = "0";
  std::string patterns;
  uint32_t timeout_ms = 10000;
  std::string lanes = "1";
  std::string ops;
  bool offset_binary = false;
  bool keep_partial = false;  // a capture that does not complete keeps what was read
  bool quiet = false;
  bool json = false;
};
void run_capture(Context& ctx, const CaptureOptions& c);
// Fails as run_capture() would on what the command line says, touching nothing.
void check_capture_options(const CaptureOptions& c);

struct ConvertOptions {
  std::string input;
  std::string delimiters = ",";
  std::string output_dir = ".";
  std::string lane_map;  // empty: each column's low byte, then its high byte
  int32_t columns = 1;
  bool twos_complement = false;
  std::string multipliers;
};
// Returns the lines converted.
int32_t run_convert(client::Library& lib, const ConvertOptions& c);

struct PlayOptions {
  std::string binary;
  ConvertOptions text;
  std::string keep;  // directory that keeps the converted pattern; empty: a private one
  std::string tone;  // a generated tone of this frequency (Hz, made coherent) instead of a file
  uint64_t tone_words = 65536;
  double tone_dbfs = -1.0;
  std::string rate = "100M";
  double tone_rate_hz = 0;  // the rate the tone's frequency refers to; 0: the DAC's (rate)
  int32_t factor1 = 8, factor2 = 1, divisor = 1;
  std::string cb1 = "0", cb2 = "0";
  int32_t start_offset = 0;
  bool verify = false;
};
void run_play(Context& ctx, PlayOptions p);

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
// Writes the pattern.
void run_generate(const GenerateOptions& o);

}  // namespace tool
