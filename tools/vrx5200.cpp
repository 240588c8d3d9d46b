// vrx5200: every job of the control library from a shell, on an attached board or, with --sim,
// on the simulated one. A client of the library like any other: it loads the shared library at
// run time and calls only its exports.
//
// Exit codes: 0 success, 1 the board or the library failed, 2 the command line is wrong, 3 a file
// could not be read or written.
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "server/serve.h"
#include "tools/analyze.h"
#include "client/capture_output.h"
#include "client/json.h"
#include "client/library.h"
#include "client/summary.h"
#include "tools/text_check.h"
#include "client/units.h"
#include "tools/usb_access.h"

#ifndef VRX5200_VERSION
#error "the build passes the project's version"
#endif

namespace {

using client::Library;
using client::split_keys;
using tool::usb_access_problems;

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitFile = 3 };

// Samples per read-back block: the block copy holds one block and a carried frame.
constexpr int64_t kBlock = 65536;

// ---- leaving: failures, the progress line, the private temporary directory ----

bool g_progress_open = false;  // a progress bar without its line end is on standard error

[[noreturn]] void fail(const std::string& message, int exit_code = kExitFailure) {
  if (g_progress_open) std::fputc('\n', stderr);
  g_progress_open = false;
  std::fprintf(stderr, "vrx5200: %s\n", message.c_str());
  std::exit(exit_code);
}

std::string errno_text() {
  return std::strerror(errno);
}

// The private directory of a conversion and the file in it, removed at exit and on the usual
// termination signals (the handler only calls unlink and rmdir).
char g_private_dir[PATH_MAX] = "";
char g_private_file[PATH_MAX] = "";

void remove_private_dir() {
  if (g_private_file[0] != '\0') unlink(g_private_file);
  if (g_private_dir[0] != '\0') rmdir(g_private_dir);
  g_private_file[0] = g_private_dir[0] = '\0';
}

extern "C" void on_signal(int sig) {
  remove_private_dir();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// A new directory of this process's own (mode 0700), removed at exit with the pattern file it
// will hold (`file`, the one name in it).
std::string make_private_dir(const char* file = "DAC_test.bin") {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vrx5200-XXXXXX";
  if (pattern.size() + 1 + std::strlen(file) >= sizeof g_private_dir) {
    fail("the temporary directory's path is too long (TMPDIR)", kExitFile);
  }
  if (mkdtemp(pattern.data()) == nullptr) {
    fail("cannot make a temporary directory from \"" + pattern + "\": " + errno_text(), kExitFile);
  }
  std::snprintf(g_private_dir, sizeof g_private_dir, "%s", pattern.c_str());
  std::snprintf(g_private_file, sizeof g_private_file, "%s/%s", pattern.c_str(), file);
  std::atexit(remove_private_dir);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, on_signal);
  return pattern;
}

// ---- result codes ----

std::string hint_for(int32_t code) {
  switch (code) {
    case VRX5200_RESULT_NO_DEVICES:
    case VRX5200_RESULT_NO_BOARD:
      return "check the USB cable and power, or run with --sim for the simulated board";
    case VRX5200_RESULT_PORT_TIMEOUT:
      return "the board stopped answering: power-cycle it and load the FPGA again";
    case VRX5200_RESULT_BAD_CAPTURE_LENGTH:
      return "use a positive multiple of 32 samples";
    case VRX5200_RESULT_BAD_ADDRESS:
      return "use a pattern of 32 words or more whose length mod 32 is at most 3";
    case VRX5200_RESULT_FILE_OPEN_FAILED:
    case VRX5200_RESULT_PROGRAMMING_FILE:
    case VRX5200_RESULT_FILE_IO:
      return "check the file's path and permissions";
    case VRX5200_RESULT_CHAIN_FAILED:
      return "check the JTAG chain (cable, board power)";
    case VRX5200_RESULT_INVALID_ARGUMENT:
      return "check the command's arguments (--help)";
    default:
      return "";
  }
}

// The library's file results are the tool's file failures; all others are the board's.
int exit_code_for(int32_t code) {
  switch (code) {
    case VRX5200_RESULT_FILE_OPEN_FAILED:
    case VRX5200_RESULT_PROGRAMMING_FILE:
    case VRX5200_RESULT_FILE_IO:
      return kExitFile;
    default:
      return kExitFailure;
  }
}

void check(const char* what, int32_t code, int32_t success = VRX5200_RESULT_OK) {
  if (code == success) return;
  std::string message = std::string(what) + " failed: result " + std::to_string(code) + " (" +
                        VRX5200_Result_Text(code) + ")";
  const std::string hint = hint_for(code);
  if (!hint.empty()) message += "; " + hint;
  fail(message, exit_code_for(code));
}

// Progress of a multi-block job on standard error, only when it is a terminal.
class Progress {
 public:
  explicit Progress(const char* label) : label_(label), shown_(isatty(STDERR_FILENO)) {}
  void update(double fraction) {
    if (!shown_) return;
    const int width = 40;
    const int filled = static_cast<int>(fraction * width + 0.5);
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_, std::string(filled, '#').c_str(),
                 std::string(width - filled, '.').c_str(), static_cast<int>(fraction * 100 + 0.5));
    std::fflush(stderr);
    g_progress_open = true;
  }
  // Ends the bar's line, so that what follows starts on a line of its own.
  void finish() {
    if (g_progress_open) std::fputc('\n', stderr);
    g_progress_open = false;
  }
  ~Progress() { finish(); }

 private:
  const char* label_;
  bool shown_;
};

// ---- arguments ----

// A whole number from `min` to `max`, decimal or 0x hex.
long parse_number(const std::string& text, const char* what, long min, long max) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) {
    fail(std::string("bad ") + what + ": \"" + text + "\" (" + std::to_string(min) + " to " +
             std::to_string(max) + ", decimal or 0x hex)",
         kExitUsage);
  }
  return v;
}

std::vector<int32_t> parse_list(const std::string& text, const char* what) {
  std::vector<int32_t> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
      fail(std::string("bad ") + what + ": \"" + text + "\"", kExitUsage);
    }
    out.push_back(static_cast<int32_t>(v));
  }
  return out;
}

double parse_rate(const std::string& text) {
  const std::optional<double> hz = client::parse_hertz(text);
  if (!hz) {
    fail("bad rate: \"" + text + "\" (a positive number of Hz, with k, M or G: 250M, 1.2G, 2.5e8)",
         kExitUsage);
  }
  return *hz;
}

// The bit operations of the file read-back: "code:operand,..." with the codes 0 to 4 or their
// names.
void parse_ops(const std::string& text, std::vector<int32_t>& codes,
               std::vector<int32_t>& operands) {
  static const char* const kNames[] = {"shift", "xor", "and", "or", "not"};
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    int32_t code = -1;
    for (int32_t k = 0; k < 5; ++k) {
      if (name == kNames[k] || name == std::to_string(k)) code = k;
    }
    if (code < 0) {
      fail("bad bit operation \"" + item +
               "\": the codes are 0 shift, 1 xor, 2 and, 3 or, 4 not (code:operand)",
           kExitUsage);
    }
    if (colon == std::string::npos && code != 4) {
      fail("bad bit operation \"" + item + "\": give its operand (code:operand)", kExitUsage);
    }
    const std::string operand = colon == std::string::npos ? "0" : item.substr(colon + 1);
    // Shifts move right for a positive count and left for a negative one; the others take a
    // 16-bit mask; NOT takes none.
    const long value = code == 0   ? parse_number(operand, "shift count", -15, 15)
                       : code == 4 ? parse_number(operand, "operand", LONG_MIN, LONG_MAX)
                                   : parse_number(operand, "operand", 0, 0xFFFF);
    codes.push_back(code);
    operands.push_back(code == 4 ? 0 : static_cast<int32_t>(value));
  }
}

// ---- boards ----

struct Options {
  bool sim = false;
  std::string library;
  std::string board;
};

// No board found: on attached boards, say which bridges are there but cannot be had.
[[noreturn]] void fail_no_board(const Options& o) {
  const std::string problems = o.sim ? "" : usb_access_problems();
  if (!problems.empty()) fail("no board can be used:" + problems);
  fail("no board found; check the USB cable, or run with --sim for the simulated board");
}

// Discovers the boards and opens the one asked for (or the only one); returns its serial key.
std::string open_board(Library& lib, const Options& o) {
  int32_t count = 0, length = 0;
  char keys[901] = {};
  const int32_t found = lib.Get_VRX5200_EVM(&count, keys, &length);
  if (found == VRX5200_RESULT_NO_DEVICES || (found == 0 && count == 0)) fail_no_board(o);
  check("discovery", found);
  int32_t number = 0;
  if (!o.board.empty()) {
    number = -1;
    check("discovery", lib.InitVRX5200_EVM(o.board.c_str(), &number, &count));
    if (number < 0) fail("no board with serial key \"" + o.board + "\" (see: vrx5200 list)");
  } else if (count > 1) {
    fail("several boards found; choose one with --board KEY (see: vrx5200 list)");
  }
  const int32_t opened = lib.Open_VRX5200_Ports(number, count);
  if (opened != 0 && !o.sim) {
    const std::string problems = usb_access_problems();
    if (!problems.empty()) fail("opening the board's ports failed:" + problems);
  }
  check("opening the board's ports", opened);
  const std::vector<std::string> list = split_keys(keys, count);
  return number < static_cast<int32_t>(list.size()) ? list[static_cast<size_t>(number)] : "";
}

// ---- capture ----

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
  bool quiet = false;
  bool json = false;
};

// The summary in words; in hertz when the sample rate of the output is known (0: unknown).
void print_summary(FILE* to, const client::Summary& s, double sample_rate) {
  std::fprintf(to, "samples %zu, min %d, max %d, mean %.2f, RMS %.2f", s.count, s.min, s.max,
               s.mean, s.rms);
  if (s.fft_size > 0) {
    const double fraction = static_cast<double>(s.tone_bin) / static_cast<double>(s.fft_size);
    if (sample_rate > 0) {
      std::fprintf(to, ", strongest tone %s (bin %zu of %zu at %s)",
                   client::format_hertz(fraction * sample_rate).c_str(), s.tone_bin, s.fft_size,
                   client::format_hertz(sample_rate).c_str());
    } else {
      std::fprintf(to, ", strongest tone in bin %zu of %zu (%.6f of the sample rate)", s.tone_bin,
                   s.fft_size, fraction);
    }
  }
  std::fprintf(to, "\n");
}

client::JsonObject summary_json(const client::Summary& s, double sample_rate,
                                const std::string& output, client::Format format) {
  client::JsonObject j;
  j.add_int("samples", static_cast<int64_t>(s.count));
  if (s.count > 0) {
    j.add_int("min_code", s.min).add_int("max_code", s.max);
    j.add_number("mean_code", s.mean).add_number("rms_code", s.rms);
  } else {
    j.add_null("min_code").add_null("max_code").add_null("mean_code").add_null("rms_code");
  }
  j.add_int("fft_size", static_cast<int64_t>(s.fft_size));
  const double fraction =
      s.fft_size > 0 ? static_cast<double>(s.tone_bin) / static_cast<double>(s.fft_size) : NAN;
  if (s.fft_size > 0) {
    j.add_int("tone_bin", static_cast<int64_t>(s.tone_bin)).add_number("tone_fraction", fraction);
  } else {
    j.add_null("tone_bin").add_null("tone_fraction");
  }
  j.add_number("sample_rate_hz", sample_rate > 0 ? sample_rate : NAN);
  j.add_number("tone_hz", sample_rate > 0 ? fraction * sample_rate : NAN);
  j.add_string("output", output);
  j.add_string("format", client::format_name(format));
  return j;
}

void run_capture(Library& lib, const Options& o, const CaptureOptions& c) {
  // Everything the command line says is checked before the board is touched.
  const std::vector<int32_t> lanes = parse_list(c.lanes, "lane list");
  const std::string lane_problem = client::lane_list_problem(lanes);
  if (!lane_problem.empty()) fail("bad lane list \"" + c.lanes + "\": " + lane_problem, kExitUsage);
  std::vector<int32_t> codes, operands;
  if (!c.ops.empty()) parse_ops(c.ops, codes, operands);
  std::vector<uint32_t> patterns;
  if (!c.patterns.empty()) {
    for (int32_t p : parse_list(c.patterns, "pattern list"))
      patterns.push_back(static_cast<uint32_t>(p));
  }
  const double rate = parse_rate(c.rate);
  ADC_Session_Params adc{};
  adc.Rate_Factor = c.rate_factor;
  adc.Rate = rate;
  adc.Step_Select = c.step_select;
  adc.Half_Rate_Mode = c.half_rate;
  adc.Pattern_Match = patterns.empty() ? 0 : 1;
  adc.Pattern_Count = static_cast<int32_t>(patterns.size());
  adc.Register_1_Value = static_cast<uint8_t>(parse_number(c.r1, "register 1 value", 0, 255));
  adc.Register_6_Value = static_cast<uint8_t>(parse_number(c.r6, "register 6 value", 0, 255));
  adc.Register_7_Value = static_cast<uint8_t>(parse_number(c.r7, "register 7 value", 0, 255));
  // The board's sample rate: the derived rate, halved in half-rate mode with an odd register 1.
  double board_rate = static_cast<double>(c.rate_factor) * rate / 2;
  if (c.half_rate == 1 && (adc.Register_1_Value & 1) != 0) board_rate /= 2;
  const int32_t decimation = client::LaneCounter::decimation(lanes, kBlock);
  const double sample_rate = decimation > 0 ? board_rate / decimation : 0;

  std::string output = c.output;
  if (output.empty()) {
    if (isatty(STDOUT_FILENO)) {
      fail("give the output: -o FILE (-o - writes the samples to the terminal)", kExitUsage);
    }
    output = "-";
  }
  const bool to_stdout = output == "-";
  const client::Format format = c.csv               ? client::Format::kCsv
                                : !c.format.empty() ? *client::format_named(c.format)
                                : to_stdout         ? client::Format::kRaw
                                                    : client::format_of_path(output);
  const std::string out_name = to_stdout ? "standard output" : "\"" + output + "\"";
  auto write_failed = [&out_name] {
    fail("writing " + out_name + " failed: " + errno_text(), kExitFile);
  };

  open_board(lib, o);
  check("ADC session", lib.Configure_VRX5200_ADC_Session(&adc));
  check("capture start", lib.Start_ADC_to_DDR(c.samples, nullptr, 0, 0, 0));
  // The output is made only for a capture that has started (a named pipe waits for its reader).
  std::FILE* out = to_stdout ? stdout : std::fopen(output.c_str(), "wb");
  if (out == nullptr) fail("cannot write " + out_name + ": " + errno_text(), kExitFile);

  // The library's file read-back applies the lane list and the bit operations, and hands each
  // block's output over in the block copy as well as to its file: the file is the null device,
  // and the tool writes the block copy on to the output as it arrives.
  const size_t expected = client::LaneCounter::capture_output(lanes, c.samples, kBlock);
  client::SampleWriter writer(out, format, c.offset_binary);
  if (!writer.write_header(expected)) write_failed();
  client::LaneCounter counter(lanes);
  client::SummaryBuilder summary(c.offset_binary);
  std::vector<uint16_t> block_copy(kBlock + 14);
  int32_t this_call = 0, write_index = 0, status = 0, pattern_timeout = 0, more = 1;
  size_t written = 0;
  Progress progress("capture");
  while (more == 1) {
    check("read-back",
          lib.Read_DDR_to_File("/dev/null", patterns.data(), block_copy.data(), lanes.data(),
                               static_cast<int32_t>(lanes.size()), codes.data(), operands.data(),
                               static_cast<int32_t>(codes.size()), c.timeout_ms, &this_call,
                               &write_index, &status, &pattern_timeout, &more));
    if (pattern_timeout == 1) fail("no capture matched the patterns within the time-out");
    const size_t n = counter.output_for(static_cast<size_t>(this_call));
    if (n > block_copy.size()) fail("the read-back delivered more samples than a block holds");
    summary.add(block_copy.data(), n);
    if (!writer.write(block_copy.data(), n)) write_failed();
    written += n;
    progress.update(static_cast<double>(write_index) / c.samples);
  }
  progress.finish();
  if (to_stdout ? std::fflush(stdout) != 0 || std::ferror(stdout) != 0 : std::fclose(out) != 0) {
    write_failed();
  }
  lib.Close_Session();
  if (written != expected) {
    fail("the read-back delivered " + std::to_string(written) + " samples, not " +
         std::to_string(expected));
  }
  if (c.quiet) return;
  FILE* to = to_stdout ? stderr : stdout;
  const client::Summary s = summary.finish();
  if (c.json) {
    std::fprintf(to, "%s\n", summary_json(s, sample_rate, output, format).text().c_str());
  } else {
    print_summary(to, s, sample_rate);
  }
}

// ---- pattern ----

struct ConvertOptions {
  std::string input;
  std::string delimiters = ",";
  std::string output_dir = ".";
  std::string lane_map;  // empty: each column's low byte, then its high byte
  int32_t columns = 1;
  bool twos_complement = false;
  std::string multipliers;
};

// The default lane map of `columns` columns: -1,1,-2,2,... (each column a little-endian word).
std::vector<int32_t> default_lane_map(int32_t columns) {
  std::vector<int32_t> map;
  for (int32_t c = 1; c <= columns; ++c) {
    map.push_back(-c);
    map.push_back(c);
  }
  return map;
}

// Says which lines the conversion read silently as 0 or as their leading digits.
void warn_about_text(const ConvertOptions& c, int32_t lines) {
  const tool::TextFindings f = tool::check_sample_text(
      c.input, c.delimiters, c.columns, static_cast<size_t>(lines), !c.twos_complement);
  if (f.non_number_lines > 0) {
    std::fprintf(stderr,
                 "vrx5200: warning: %zu of %d lines of \"%s\" hold tokens that are not whole "
                 "decimal numbers, converted as their leading digits or 0 (first: line %zu)\n",
                 f.non_number_lines, lines, c.input.c_str(), f.first_non_number);
  }
  if (f.out_of_range_lines > 0) {
    std::fprintf(stderr,
                 "vrx5200: warning: %zu of %d lines of \"%s\" hold numbers outside %s, "
                 "converted as their low 16 bits (first: line %zu)\n",
                 f.out_of_range_lines, lines, c.input.c_str(),
                 c.twos_complement ? "-32768 to 65535" : "-32768 to 32767 (offset binary)",
                 f.first_out_of_range);
  }
  if (f.short_lines > 0) {
    std::fprintf(stderr,
                 "vrx5200: warning: %zu of %d lines of \"%s\" have fewer than %d columns, the "
                 "missing ones converted as 0 (first: line %zu)\n",
                 f.short_lines, lines, c.input.c_str(), c.columns, f.first_short);
  }
}

int32_t run_convert(Library& lib, const ConvertOptions& c) {
  if (c.columns < 1 || c.columns > 10) {
    fail("bad column count " + std::to_string(c.columns) + " (1 to 10)", kExitUsage);
  }
  const std::vector<int32_t> map =
      c.lane_map.empty() ? default_lane_map(c.columns) : parse_list(c.lane_map, "lane map");
  std::vector<int32_t> multipliers(4096, 1);
  if (!c.multipliers.empty()) {
    std::ifstream in(c.multipliers);
    if (!in) fail("cannot read multipliers from \"" + c.multipliers + "\"", kExitFile);
    for (int32_t& m : multipliers) {
      if (!(in >> m)) break;
    }
  }
  auto convert = c.twos_complement ? lib.Twos_Complement : lib.Offset_BinRep;
  const int32_t lines =
      convert(c.input.c_str(), c.delimiters.c_str(), c.output_dir.c_str(), multipliers.data(),
              map.data(), static_cast<int32_t>(map.size()), c.columns);
  switch (lines) {
    case VRX5200_CONVERT_NOT_DELIMITED:
      fail("\"" + c.input + "\" has several columns but no '" + c.delimiters.substr(0, 1) +
               "' in it; give --delimiters or --columns 1",
           kExitUsage);
    case VRX5200_CONVERT_INVALID_ARGUMENT:
      fail(
          "bad conversion arguments: lane map entries 1 to 10 or -1 to -10 (each byte at most "
          "as often as the columns allow), 1 to 10 columns",
          kExitUsage);
    case VRX5200_CONVERT_INPUT_OPEN_FAILED:
      fail("cannot read \"" + c.input + "\"", kExitFile);
    case VRX5200_CONVERT_OUTPUT_OPEN_FAILED:
      fail("cannot write \"" + c.output_dir + "/DAC_test.bin\"", kExitFile);
    case VRX5200_CONVERT_EMPTY_LINE:
      fail("\"" + c.input + "\" has a line of delimiters only");
    case VRX5200_CONVERT_FILE_IO:
      fail("reading \"" + c.input + "\" or writing \"" + c.output_dir + "/DAC_test.bin\" failed",
           kExitFile);
    default:
      break;
  }
  warn_about_text(c, lines);
  return lines;
}

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

// Makes `dir` unless it is a directory already.
void ensure_dir(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  if (mkdir(dir.c_str(), 0777) != 0) {
    fail("cannot make the directory \"" + dir + "\": " + errno_text(), kExitFile);
  }
}

void run_play(Library& lib, const Options& o, PlayOptions p) {
  const double rate = parse_rate(p.rate);
  const uint8_t cb1 = static_cast<uint8_t>(parse_number(p.cb1, "control byte 1", 0, 255));
  const uint8_t cb2 = static_cast<uint8_t>(parse_number(p.cb2, "control byte 2", 0, 255));
  std::string pattern = p.binary;
  if (pattern.empty() && !p.tone.empty()) {
    // The tone straight into a pattern file, coherent with its length at the DAC's rate.
    tool::GenerateOptions g;
    g.kind = "tone";
    g.words = p.tone_words;
    g.amplitude_dbfs = p.tone_dbfs;
    g.frequency = p.tone;
    if (p.tone_rate_hz > 0) {
      char text[64];
      std::snprintf(text, sizeof text, "%.17g", p.tone_rate_hz);
      g.rate = text;
    } else {
      g.rate = p.rate;
    }
    g.output = (p.keep.empty() ? make_private_dir("tone.bin") : (ensure_dir(p.keep), p.keep)) +
               "/tone.bin";
    if (p.keep.empty()) g.label = "the tone's pattern";
    if (tool::run_generate(g) != 0) fail("the tone could not be generated");
    pattern = g.output;
  }
  if (pattern.empty()) {
    if (p.text.input.empty()) {
      fail("give a pattern: --binary FILE, --text FILE or --tone HZ", kExitUsage);
    }
    if (p.keep.empty()) {
      p.text.output_dir = make_private_dir();
    } else {
      ensure_dir(p.keep);
      p.text.output_dir = p.keep;
    }
    run_convert(lib, p.text);
    pattern = p.text.output_dir + "/DAC_test.bin";
    if (!p.keep.empty()) std::fprintf(stderr, "pattern kept in %s\n", pattern.c_str());
  }
  std::ifstream in(pattern, std::ios::binary | std::ios::ate);
  if (!in) fail("cannot read \"" + pattern + "\"", kExitFile);
  const uint32_t words = static_cast<uint32_t>(in.tellg() / 2);
  open_board(lib, o);
  DAC_Session_Params dac{};
  dac.Rate = rate;
  dac.Rate_Factor_1 = p.factor1;
  dac.Rate_Factor_2 = p.factor2;
  dac.Rate_Divisor = p.divisor;
  dac.Control_Byte_1 = cb1;
  dac.Control_Byte_2 = cb2;
  check("DAC session", lib.Configure_VRX5200_DAC_Session(&dac));
  check("playback start", lib.Start_DDR_to_DAC(words, p.start_offset));
  int32_t done = 0;
  const double blocks = std::ceil(words / 63448.0);
  int block = 0;
  Progress progress("upload");
  while (done == 0) {
    check("pattern upload", lib.Write_DDR_from_File(pattern.c_str(), 0, 0, &done));
    progress.update(++block / blocks);
  }
  progress.finish();
  if (p.verify) {
    if (lib.sim_read_playback == nullptr) fail("--verify needs the simulated board (--sim)");
    std::vector<uint16_t> stored(words), expected(words);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(expected.data()), static_cast<std::streamsize>(2 * words));
    if (!in) fail("cannot read \"" + pattern + "\" again", kExitFile);
    lib.sim_read_playback(0, static_cast<uint32_t>(p.start_offset / 32 * 32), words, stored.data());
    if (stored != expected) fail("the simulated board's pattern memory differs from the pattern");
    std::fprintf(stderr, "pattern verified in the simulated board's memory\n");
  }
  lib.Close_Session();
  remove_private_dir();
}

// ---- loopback ----

struct LoopbackOptions {
  PlayOptions play;
  CaptureOptions capture;
  double noise_rms = 2.0, gain = 1.0, offset = 0.0;
  std::string harmonics;  // dBc of harmonics 2.., comma-separated
};

// On the simulated board: plays the pattern, feeds it back to the ADC through the bench's
// converter model, and captures it. One process, so that the board keeps the pattern.
void run_loopback(Library& lib, const Options& o, const LoopbackOptions& l) {
  if (lib.sim_set_loopback == nullptr) fail("loopback needs the simulated board (--sim)", 2);
  std::vector<double> levels;
  std::stringstream in(l.harmonics);
  for (std::string item; std::getline(in, item, ',');) {
    char* end = nullptr;
    levels.push_back(std::strtod(item.c_str(), &end));
    if (item.empty() || *end != '\0') fail("bad harmonic level \"" + item + "\" (dBc)", 2);
  }
  if (levels.size() > 4) fail("at most 4 harmonic levels (harmonics 2 to 5)", kExitUsage);
  // The converter model turns each pattern word into one sample of the board: a tone is made
  // at the board's sample rate, so that it is captured at the frequency asked for.
  PlayOptions play = l.play;
  play.tone_rate_hz = static_cast<double>(l.capture.rate_factor) * parse_rate(l.capture.rate) / 2;
  run_play(lib, o, play);
  check("loopback", lib.sim_set_loopback(0, 1, l.noise_rms, l.gain, l.offset, levels.data(),
                                         static_cast<int32_t>(levels.size()), 1));
  run_capture(lib, o, l.capture);
}

// ---- demo ----

const char* const kDemoFiles[] = {"demo_fpga.rbf", "capture.bin", "demo_samples.txt",
                                  "DAC_test.bin"};

// The demo's directory: `asked` (made when missing, its demo files never overwritten), or a new
// vrx5200-demo, vrx5200-demo-2, ... in the current directory.
std::string make_demo_dir(const std::string& asked) {
  if (!asked.empty()) {
    ensure_dir(asked);
    for (const char* name : kDemoFiles) {
      const std::string path = asked + "/" + name;
      if (access(path.c_str(), F_OK) == 0) {
        fail("\"" + path + "\" exists and the demo does not overwrite files: give another --dir",
             kExitFile);
      }
    }
    return asked;
  }
  for (int n = 1; n < 1000; ++n) {
    const std::string dir = n == 1 ? "vrx5200-demo" : "vrx5200-demo-" + std::to_string(n);
    if (mkdir(dir.c_str(), 0777) == 0) return dir;
    if (errno != EEXIST)
      fail("cannot make the directory \"" + dir + "\": " + errno_text(), kExitFile);
  }
  fail("vrx5200-demo to vrx5200-demo-999 exist already: remove some or give --dir", kExitFile);
}

// Writes `bytes` to a new file `path`; every write checked.
void write_file(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fail("cannot write \"" + path + "\": " + errno_text(), kExitFile);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) {
    fail("writing \"" + path + "\" failed: " + errno_text(), kExitFile);
  }
}

// The tool as it was run (its path as typed), for the commands the demo suggests.
const char* g_program = "vrx5200";

void run_demo(Library& lib, const Options& o, const std::string& asked_dir) {
  int32_t major = 0, minor = 0;
  lib.Get_DLL_Version(&major, &minor);
  std::printf("vrx5200 demo on %s (library %d.%d, %s)\n",
              o.sim ? "the simulated board" : "an attached board", major, minor, lib.path.c_str());
  const std::string dir = make_demo_dir(asked_dir);
  std::printf("   its files go to %s/\n", dir.c_str());
  int32_t count = 0, length = 0;
  char keys[901] = {};
  check("discovery", lib.Get_VRX5200_EVM(&count, keys, &length));
  std::printf("1. boards found: %d (%s)\n", count, keys);
  open_board(lib, o);
  const std::string firmware = dir + "/demo_fpga.rbf";
  std::printf("2. board 0 open\n3. loading a generated programming file into the FPGA:\n");
  {
    std::string bytes(65536, '\0');
    uint32_t x = 2463534242u;
    for (char& b : bytes) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      b = static_cast<char>(x & 0xFF);
    }
    write_file(firmware, bytes);
  }
  std::fflush(stdout);
  check("FPGA configuration", lib.Load_Firmware(firmware.c_str()), VRX5200_RESULT_FPGA_CONFIGURED);
  uint8_t family = 0, version = 0;
  check("family ID", lib.Get_Family_ID(&family));
  check("firmware version", lib.Get_Firmware_version(&version));
  std::printf("4. family ID 0x%02X, firmware version 0x%02X\n", family, version);
  lib.Close_Session();

  CaptureOptions c;
  c.samples = 1 << 20;
  c.output = dir + "/capture.bin";
  std::printf("5. capturing 1 Mi samples into %s:\n   ", c.output.c_str());
  std::fflush(stdout);
  run_capture(lib, o, c);

  std::printf("6. converting a generated sample file and playing it:\n");
  PlayOptions p;
  p.text.input = dir + "/demo_samples.txt";
  {
    std::string text;
    for (int i = 0; i < 8192; ++i) {
      text += std::to_string(std::lround(30000.0 * std::sin(2 * 3.14159265358979 * i / 256)));
      text += '\n';
    }
    write_file(p.text.input, text);
  }
  p.text.output_dir = dir;
  const int32_t lines = run_convert(lib, p.text);
  p.binary = dir + "/DAC_test.bin";
  std::printf("   %s: %d lines converted to %s\n", p.text.input.c_str(), lines, p.binary.c_str());
  p.verify = lib.sim_read_playback != nullptr;
  std::fflush(stdout);
  run_play(lib, o, p);
  std::printf("   8192 pattern words uploaded and playing\n7. ports closed\n");
  std::printf("Analyse the capture: %s analyze %s/capture.bin --rate 250M\n", g_program,
              dir.c_str());
}

// ---- completion ----

// What completes an option's value or a positional argument, where the tool knows it: a list of
// words, or ":file" or ":dir" for the shell to expand. The subcommand is empty where the name means
// the same in every subcommand; the windows' names come from their own table.
struct ValueCompletion {
  const char* subcommand;
  const char* name;  // the long option's name, or the positional argument's
  const char* words;
};
constexpr ValueCompletion kValueCompletions[] = {
    {"capture", "--format", "raw csv npy"},
    {"analyze", "--format", "raw csv npy offset twos"},
    {"", "--code-format", "twos offset"},
    {"generate", "KIND", "tone multitone ramp noise"},
    {"", "--output", ":file"},
    {"", "--binary", ":file"},
    {"", "--text", ":file"},
    {"", "--multipliers", ":file"},
    {"", "--library", ":file"},
    {"", "FILE", ":file"},
    {"", "INPUT", ":file"},
    {"", "--output-dir", ":dir"},
    {"", "--keep", ":dir"},
    {"", "--dir", ":dir"},
    {"", "--upload-dir", ":dir"},
};

std::string value_completion(const CLI::App& at, const CLI::Option& opt) {
  const std::string name = opt.get_positional()       ? opt.get_name(true, false)
                           : opt.get_lnames().empty() ? ""
                                                      : "--" + opt.get_lnames().front();
  if (name == "--window") return client::window_names(" ");
  for (const ValueCompletion& v : kValueCompletions) {
    if (name == v.name && (*v.subcommand == '\0' || at.get_name() == v.subcommand)) return v.words;
  }
  return "";
}

// The completion script's question: what may follow the given words. Where the last word is an
// option that takes a value, the answer is ":words" and the values, ":file", ":dir", or ":value"
// (a value nothing can suggest); otherwise the subcommands, the options and the next positional
// argument's words, one a line.
int print_completions(CLI::App& app, int argc, char** argv) {
  CLI::App* at = &app;
  const CLI::Option* pending = nullptr;  // the option the next word is the value of
  size_t positionals = 0;                // positional arguments given to the subcommand at
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (pending != nullptr) {
      pending = nullptr;
      continue;
    }
    if (word.size() > 1 && word[0] == '-') {
      const CLI::Option* opt = at->get_option_no_throw(word);
      if (opt != nullptr && opt->get_expected_max() > 0) pending = opt;
      continue;
    }
    CLI::App* next = nullptr;
    for (CLI::App* sub : at->get_subcommands([](CLI::App*) { return true; })) {
      if (sub->get_name() == word && !sub->get_group().empty()) next = sub;
    }
    if (next != nullptr) {
      at = next;
      positionals = 0;
    } else {
      ++positionals;
    }
  }
  if (pending != nullptr) {
    const std::string words = value_completion(*at, *pending);
    if (words.empty()) {
      std::printf(":value\n");
    } else if (words[0] == ':') {
      std::printf("%s\n", words.c_str());
    } else {
      std::printf(":words\n%s\n", words.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
  }
  for (CLI::App* sub : at->get_subcommands([](CLI::App*) { return true; })) {
    if (!sub->get_group().empty()) std::printf("%s\n", sub->get_name().c_str());
  }
  size_t positional = 0;
  for (const CLI::Option* opt : at->get_options()) {
    if (opt->get_positional()) {
      // The positional argument that comes next: its words, where it has them.
      if (positional++ != positionals) continue;
      const std::string words = value_completion(*at, *opt);
      if (!words.empty() && words[0] != ':') std::printf("%s\n", words.c_str());
      continue;
    }
    if (opt->get_group().empty()) continue;
    for (const std::string& s : opt->get_snames()) std::printf("-%s\n", s.c_str());
    for (const std::string& l : opt->get_lnames()) std::printf("--%s\n", l.c_str());
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && argv[0] != nullptr) g_program = argv[0];
  CLI::App app{"vrx5200: control the VRX5200 ADC/DAC evaluation board from a shell", "vrx5200"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "vrx5200 " VRX5200_VERSION);
  Options o;
  app.add_flag("--sim", o.sim,
               "use the simulated board (libvrx5200sim) instead of attached boards");
  app.add_option("--library", o.library, "path of the control library to load");
  app.add_option("--board", o.board, "serial key of the board to use (default: the only one)");
  app.footer(
      "Exit status: 0 success, 1 the board or the library failed, 2 bad command line, 3 a file\n"
      "could not be read or written.\n\n"
      "Examples:\n  vrx5200 --sim list\n  vrx5200 --sim capture -n 65536 -o capture.bin\n"
      "  vrx5200 --sim play --text samples.txt\n  vrx5200 --sim demo");

  bool list_json = false;
  auto* list = app.add_subcommand("list", "list the boards found (number and serial key)");
  list->add_flag("--json", list_json,
                 "one JSON object: {\"boards\": [{\"number\", \"serial_key\"}]}");
  list->footer("Examples:\n  vrx5200 list\n  vrx5200 --sim list --json");

  bool info_json = false;
  auto* info = app.add_subcommand("info", "family ID, firmware version and busy state of a board");
  info->add_flag("--json", info_json, "one JSON object instead of lines");
  info->footer("Examples:\n  vrx5200 info\n  vrx5200 --board SIM00001 --sim info --json");

  std::string firmware_file;
  auto* load = app.add_subcommand("load", "load a programming file into the board's FPGA");
  load->add_option("FILE", firmware_file, "raw configuration bit stream")->required();
  load->footer(
      "Examples:\n  vrx5200 load firmware.rbf\n  vrx5200 --board ABCD1234 load firmware.rbf");

  auto* reg = app.add_subcommand("reg", "read or write an FPGA register");
  reg->require_subcommand(1);
  reg->footer("Examples:\n  vrx5200 reg read 0x0B\n  vrx5200 reg write 5 0x42");
  std::string reg_address, reg_value;
  auto* reg_read = reg->add_subcommand("read", "read a register: reg read ADDR");
  reg_read->add_option("ADDR", reg_address, "register address (0-15, or 0x0-0xF)")->required();
  reg_read->footer(
      "Examples:\n  vrx5200 reg read 0x0E    # firmware version\n  vrx5200 reg read 2");
  auto* reg_write = reg->add_subcommand("write", "write a register: reg write ADDR VALUE");
  reg_write->add_option("ADDR", reg_address, "register address (0-15, or 0x0-0xF)")->required();
  reg_write->add_option("VALUE", reg_value, "value (0-255, or 0x00-0xFF)")->required();
  reg_write->footer("Examples:\n  vrx5200 reg write 5 0x42\n  vrx5200 reg write 0x7 0");

  CaptureOptions c;
  auto* capture = app.add_subcommand("capture", "capture ADC samples into a file");
  capture->add_option("-n,--samples", c.samples, "samples to capture (a multiple of 32)")
      ->required();
  capture->add_option("-o,--output", c.output,
                      "output file, - for standard output (the default when it is not a "
                      "terminal)");
  auto* format = capture
                     ->add_option("-O,--format", c.format,
                                  "raw (16-bit little-endian), csv (one decimal sample a line) or "
                                  "npy (NumPy); default from the -o extension (.csv, .npy), else "
                                  "raw")
                     ->check(CLI::IsMember({"raw", "csv", "npy"}));
  capture->add_flag("--csv", c.csv, "the same as -O csv")->excludes(format);
  capture
      ->add_option("--rate", c.rate,
                   "rate in Hz, with k, M or G (the sample rate is rate-factor * rate / 2)")
      ->capture_default_str();
  capture->add_option("--rate-factor", c.rate_factor, "rate factor")
      ->capture_default_str()
      ->check(CLI::Range(1, INT32_MAX));
  capture->add_option("--step-select", c.step_select, "0 steps down, non-zero steps up");
  capture->add_option("--half-rate", c.half_rate, "1 halves the rate with an odd register 1 value");
  capture->add_option("--r1", c.r1, "register 1 value at capture start");
  capture->add_option("--r6", c.r6, "register 6 value at capture start");
  capture->add_option("--r7", c.r7, "register 7 value at capture start");
  capture->add_option("--patterns", c.patterns,
                      "match patterns (pattern-match mode), comma-separated");
  capture->add_option("--timeout", c.timeout_ms, "time-out per read-back call in ms")
      ->capture_default_str();
  capture
      ->add_option("--lanes", c.lanes,
                   "lane list, e.g. 3,1,2 (0 drops a lane; the others numbered 1 to K)")
      ->capture_default_str();
  capture->add_option("--ops", c.ops,
                      "bit operations code:operand,...: 0 or shift (-15 to 15, positive right), "
                      "1 or xor, 2 or and, 3 or or (0 to 0xFFFF), 4 or not");
  capture->add_flag("--offset-binary", c.offset_binary,
                    "samples are offset binary (summary, CSV, npy '<u2')");
  auto* quiet = capture->add_flag("-q,--quiet", c.quiet, "no summary");
  capture->add_flag("--json", c.json, "the summary as one JSON object")->excludes(quiet);
  capture->footer(
      "The summary goes to standard output, or to standard error when the samples do.\n\n"
      "Examples:\n  vrx5200 --sim capture -n 1048576 -o capture.bin\n"
      "  vrx5200 --sim capture -n 4096 -o capture.csv --lanes 2,1\n"
      "  vrx5200 --sim capture -n 65536 -o capture.npy --rate 250M --json\n"
      "  vrx5200 --sim capture -n 4096 -O csv | head");

  PlayOptions p;
  auto* play = app.add_subcommand("play", "upload a pattern and play it on the DAC");
  play->add_option("--binary", p.binary, "binary pattern file (16-bit words)");
  play->add_option("--text", p.text.input, "text sample file, converted first");
  play->add_option("--keep", p.keep,
                   "directory that keeps the converted DAC_test.bin (default: a temporary one, "
                   "removed)");
  play->add_option("--delimiters", p.text.delimiters, "column delimiters of the text file")
      ->capture_default_str();
  play->add_option("--columns", p.text.columns, "columns of the text file (1-10)")
      ->capture_default_str();
  play->add_option("--lane-map", p.text.lane_map,
                   "byte order of the converted pattern (default -1,1,...,-C,C for C columns)");
  play->add_flag("--twos-complement", p.text.twos_complement, "convert to two's complement");
  play->add_option("--rate", p.rate, "DAC rate in Hz, with k, M or G")->capture_default_str();
  play->add_option("--factor1", p.factor1, "rate factor 1")
      ->capture_default_str()
      ->check(CLI::Range(1, INT32_MAX));
  play->add_option("--factor2", p.factor2, "rate factor 2")
      ->capture_default_str()
      ->check(CLI::Range(1, INT32_MAX));
  play->add_option("--divisor", p.divisor, "rate divisor")
      ->capture_default_str()
      ->check(CLI::Range(1, INT32_MAX));
  play->add_option("--cb1", p.cb1, "control byte 1");
  play->add_option("--cb2", p.cb2, "control byte 2");
  play->add_option("--start-offset", p.start_offset, "byte offset in board memory");
  play->add_flag("--verify", p.verify, "compare the simulated board's memory with the pattern");
  play->add_option("--tone", p.tone, "play a generated tone of this frequency (Hz, with k/M/G)");
  play->add_option("--tone-words", p.tone_words, "words of the tone's pattern")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{32}, uint64_t{1} << 29));
  play->add_option("--tone-dbfs", p.tone_dbfs, "the tone's amplitude in dBFS")
      ->capture_default_str();
  play->footer(
      "Examples:\n  vrx5200 --sim play --text samples.txt\n"
      "  vrx5200 --sim play --text iq.txt --columns 2 --keep out --rate 125M\n"
      "  vrx5200 --sim play --binary DAC_test.bin --verify\n"
      "  vrx5200 --sim play --tone 10M --rate 100M");

  ConvertOptions conv;
  auto* convert = app.add_subcommand("convert", "convert a text sample file into DAC_test.bin");
  convert->add_option("INPUT", conv.input, "text sample file")->required();
  convert->add_option("--delimiters", conv.delimiters, "column delimiters")->capture_default_str();
  convert->add_option("-d,--output-dir", conv.output_dir, "directory of DAC_test.bin")
      ->capture_default_str();
  convert->add_option("--lane-map", conv.lane_map,
                      "output byte order, e.g. -1,1,-2,2 (default -1,1,...,-C,C for C columns)");
  convert->add_option("--columns", conv.columns, "columns per line (1-10)")->capture_default_str();
  convert->add_flag("--twos-complement", conv.twos_complement,
                    "two's complement (default offset binary)");
  convert->add_option("--multipliers", conv.multipliers, "file of per-line factors (.vrx inputs)");
  convert->footer(
      "Tokens that are not whole decimal numbers convert as their leading digits (0 without\n"
      "any); the tool warns how many lines held such tokens.\n\n"
      "Examples:\n  vrx5200 convert samples.txt -d out\n"
      "  vrx5200 convert iq.txt --columns 2 --twos-complement");

  std::string demo_dir;
  tool::AnalyzeOptions a;
  auto* analyze = app.add_subcommand("analyze", "figures of a capture file (no board needed)");
  analyze->add_option("FILE", a.file, "capture file: raw 16-bit little-endian, CSV or .npy")
      ->required();
  analyze->add_option("-O,--format", a.format,
                      "raw, csv or npy (default: by the extension); or offset or twos, as "
                      "--code-format");
  analyze->add_option("--bits", a.bits, "the ADC's resolution")
      ->capture_default_str()
      ->check(CLI::Range(1, 16));
  analyze->add_option("--code-format", a.code_format,
                      "twos or offset (default: offset for a '<u2' .npy file, else twos)");
  analyze->add_option("--rate", a.rate, "sample rate in Hz, with k, M or G");
  analyze->add_option("--window", a.window, "rectangular, hann, blackmanharris or blackmanharris7")
      ->capture_default_str();
  analyze->add_option("--harmonics", a.harmonics, "highest harmonic order counted")
      ->capture_default_str()
      ->check(CLI::Range(2, 25));
  analyze->add_flag("--two-tone", a.two_tone, "two-tone analysis: IMD2 and IMD3");
  analyze->add_flag("--linearity", a.linearity, "code-density test of a sine: DNL, INL");
  analyze->add_flag("--json", a.json, "one JSON object");
  analyze->footer(
      "Examples:\n  vrx5200 analyze capture.bin --rate 250M\n"
      "  vrx5200 analyze capture.npy --json\n  vrx5200 analyze ramp.bin --linearity --bits 12");

  tool::GenerateOptions g;
  auto* generate =
      app.add_subcommand("generate", "write a DAC pattern file: tone, multitone, ramp or noise");
  generate->add_option("KIND", g.kind, "tone, multitone, ramp or noise")->required();
  generate->add_option("-o,--output", g.output, "pattern file (16-bit little-endian words)")
      ->required();
  generate->add_option("-n,--words", g.words, "pattern length in words")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{2}, uint64_t{1} << 29));
  CLI::Option* dbfs = generate->add_option(
      "--dbfs", g.amplitude_dbfs,
      "amplitude (tone, ramp), peak (multitone), RMS as a sine's (noise) in dBFS [default: -1; "
      "noise: -12, which clips no word]");
  generate->add_option("--cycles", g.cycles, "tone: cycles per pattern; ramp: ramps");
  generate->add_option("--frequency", g.frequency, "tone: Hz at --rate, made coherent");
  generate->add_option("--rate", g.rate, "the DAC's word rate in Hz")->capture_default_str();
  generate->add_option("--tones", g.tones, "multitone: cycles of each tone, comma-separated");
  generate->add_option("--bits", g.bits, "the DAC's resolution")
      ->capture_default_str()
      ->check(CLI::Range(1, 16));
  generate->add_option("--code-format", g.code_format, "twos or offset")->capture_default_str();
  generate->add_option("--seed", g.seed, "noise: the generator's seed")->capture_default_str();
  generate->footer(
      "Examples:\n  vrx5200 generate tone --frequency 10M --rate 100M -o tone.bin\n"
      "  vrx5200 generate multitone --tones 101,211,307 --dbfs -3 -o tones.bin");

  LoopbackOptions lb;
  auto* loopback = app.add_subcommand(
      "loopback", "simulated board: play a pattern, capture it back through a converter model");
  loopback->add_option("--binary", lb.play.binary, "binary pattern file (16-bit words)");
  loopback->add_option("--tone", lb.play.tone, "a generated tone of this frequency (Hz)");
  loopback->add_option("--tone-words", lb.play.tone_words, "words of the tone's pattern")
      ->capture_default_str();
  loopback->add_option("--tone-dbfs", lb.play.tone_dbfs, "the tone's amplitude in dBFS")
      ->capture_default_str();
  loopback->add_option("--dac-rate", lb.play.rate, "the DAC's rate in Hz")->capture_default_str();
  loopback->add_option("--noise", lb.noise_rms, "the model's noise, codes RMS")
      ->capture_default_str();
  loopback->add_option("--gain", lb.gain, "ADC codes per DAC code")->capture_default_str();
  loopback->add_option("--offset", lb.offset, "the model's offset in codes")->capture_default_str();
  loopback->add_option("--harmonics", lb.harmonics, "levels of harmonics 2.. in dBc, e.g. -70,-80");
  loopback->add_option("-n,--samples", lb.capture.samples, "samples to capture (a multiple of 32)")
      ->capture_default_str();
  loopback->add_option("-o,--output", lb.capture.output, "capture file (raw, .csv or .npy)")
      ->required();
  loopback->add_flag("-q,--quiet", lb.capture.quiet, "no summary");
  loopback->footer(
      "Examples:\n  vrx5200 --sim loopback --tone 10M --harmonics -70,-80 -o loop.bin\n"
      "  vrx5200 --sim loopback --binary tone.bin --noise 4 -n 262144 -o loop.npy");

  auto* demo = app.add_subcommand(
      "demo", "the whole flow on an attached board, or on the simulated board when none is");
  demo->add_option("--dir", demo_dir,
                   "directory of the demo's files (made when missing; its demo files are never "
                   "overwritten); default a new ./vrx5200-demo, vrx5200-demo-2, ...");
  demo->footer("Examples:\n  vrx5200 demo\n  vrx5200 --sim demo --dir /tmp/demo");

  server::ServeOptions serve_options;
  auto* serve = app.add_subcommand(
      "serve", "serve the board over HTTP: the front panel page and the API for remote scripts");
  serve
      ->add_option("--listen", serve_options.listen,
                   "ADDR:PORT to listen on; loopback unless a token guards it (port 0: any free)")
      ->capture_default_str();
  serve
      ->add_option("--token", serve_options.token,
                   "the token every API request must carry (made and printed when another "
                   "address than loopback is given without one; VRX5200_TOKEN keeps it out of "
                   "the process list)")
      ->envname("VRX5200_TOKEN");
  serve->add_option("--upload-dir", serve_options.upload_dir,
                    "where the server makes its own directory for uploads (default: TMPDIR)");
  serve->footer(
      "Examples:\n  vrx5200 --sim serve            (then open http://127.0.0.1:8520/)\n"
      "  vrx5200 serve --listen 0.0.0.0:8520 --token \"$(openssl rand -hex 16)\"");

  // The completion script's question, answered from the parser itself.
  if (argc >= 2 && std::strcmp(argv[1], "__complete") == 0)
    return print_completions(app, argc, argv);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    std::cout.flush();
    if (code == 0) return std::cout.good() ? kExitOk : kExitFile;
    return kExitUsage;
  }

  // The measurement subcommands need no board and no board library.
  if (analyze->parsed()) return tool::run_analyze(a);
  if (generate->parsed()) {
    // Gaussian noise at a full-scale sine's RMS would clip one word in nine: it starts lower.
    if (g.kind == "noise" && dbfs->count() == 0) g.amplitude_dbfs = -12.0;
    return tool::run_generate(g);
  }

  Library lib;
  std::string error;
  bool attached_demo = false;
  if (demo->parsed() && !o.sim && o.library.empty()) {
    // The demo runs on an attached board when there is one, else on the simulated board.
    int32_t count = 0, length = 0;
    char keys[901] = {};
    attached_demo =
        lib.open(false, "", error) && lib.Get_VRX5200_EVM(&count, keys, &length) == 0 && count > 0;
    if (!attached_demo) {
      if (lib.handle != nullptr) dlclose(lib.handle);
      lib = Library{};
      o.sim = true;
      // A bridge that is there but cannot be had is named, with what to fix, before the demo
      // goes on without it.
      const std::string problems = usb_access_problems();
      if (!problems.empty())
        std::fprintf(stderr, "an attached board cannot be used:%s\n", problems.c_str());
      std::printf("no board attached: the demo runs on the simulated board\n");
    }
  }
  const bool simulated = o.sim;
  // The conversion needs no board: any of the two libraries does it.
  const bool opened = attached_demo || lib.open(simulated, o.library, error) ||
                      (convert->parsed() && o.library.empty() && lib.open(true, "", error));
  if (!opened) {
    fail(error +
         (simulated
              ? ""
              : "; no driver for attached boards here? run with --sim for the simulated board"));
  }

  if (list->parsed()) {
    int32_t count = 0, length = 0;
    char keys[901] = {};
    const int32_t r = lib.Get_VRX5200_EVM(&count, keys, &length);
    if (r == VRX5200_RESULT_NO_DEVICES || (r == 0 && count == 0)) fail_no_board(o);
    check("discovery", r);
    const std::vector<std::string> board_keys = split_keys(keys, count);
    std::vector<client::JsonObject> boards;
    for (size_t b = 0; b < board_keys.size(); ++b) {
      if (list_json) {
        boards.push_back(client::JsonObject()
                             .add_int("number", static_cast<int64_t>(b))
                             .add_string("serial_key", board_keys[b]));
      } else {
        std::printf("%zu %s\n", b, board_keys[b].c_str());
      }
    }
    if (list_json)
      std::printf("%s\n", client::JsonObject().add_array("boards", boards).text().c_str());
  } else if (info->parsed()) {
    const std::string key = open_board(lib, o);
    uint8_t family = 0, version = 0;
    int32_t busy = 0;
    check("family ID", lib.Get_Family_ID(&family));
    check("firmware version", lib.Get_Firmware_version(&version));
    check("busy state", lib.Check_ADC_Busy(&busy));
    if (info_json) {
      std::printf("%s\n", client::JsonObject()
                              .add_string("serial_key", key)
                              .add_int("family_id", family)
                              .add_int("firmware_version", version)
                              .add_bool("busy", busy != 0)
                              .text()
                              .c_str());
    } else {
      std::printf("family ID 0x%02X\nfirmware version 0x%02X\nbusy %d\n", family, version, busy);
    }
    lib.Close_Session();
  } else if (load->parsed()) {
    open_board(lib, o);
    std::fflush(stdout);
    check("FPGA configuration", lib.Load_Firmware(firmware_file.c_str()),
          VRX5200_RESULT_FPGA_CONFIGURED);
    lib.Close_Session();
  } else if (reg_read->parsed() || reg_write->parsed()) {
    const auto address = static_cast<uint8_t>(parse_number(reg_address, "register address", 0, 15));
    const auto data = static_cast<uint8_t>(
        reg_write->parsed() ? parse_number(reg_value, "register value", 0, 255) : 0);
    open_board(lib, o);
    int32_t value = 0;
    if (reg_read->parsed()) {
      check("register read", lib.Read_Register(address, &value));
      std::printf("0x%02X\n", value);
    } else {
      check("register write", lib.Write_Register(address, data, &value));
    }
    lib.Close_Session();
  } else if (capture->parsed()) {
    run_capture(lib, o, c);
  } else if (play->parsed()) {
    run_play(lib, o, p);
  } else if (loopback->parsed()) {
    run_loopback(lib, o, lb);
  } else if (convert->parsed()) {
    run_convert(lib, conv);
  } else if (demo->parsed()) {
    run_demo(lib, o, demo_dir);
  } else if (serve->parsed()) {
    serve_options.simulated = simulated;
    serve_options.board = o.board;
    serve_options.version = VRX5200_VERSION;
    return server::serve(lib, serve_options);
  }
  // What went to standard output must have arrived.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    fail("writing standard output failed: " + errno_text(), kExitFile);
  }
  return kExitOk;
}
