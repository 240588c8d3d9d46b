// vrx5200: every job of the control library from a shell, on an attached board or, with --sim,
// on the simulated one. A client of the library like any other: it loads the shared library at
// run time and calls only its exports.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/library.h"
#include "tools/summary.h"
#include "tools/usb_access.h"

namespace {

using tool::Library;
using tool::usb_access_problems;

// A failed call: the result code, what it means, and what to try.
struct Failure {
  std::string what;
  int32_t code;
};

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

[[noreturn]] void fail(const std::string& message, int exit_code = 1) {
  std::fprintf(stderr, "vrx5200: %s\n", message.c_str());
  std::exit(exit_code);
}

void check(const char* what, int32_t code, int32_t success = VRX5200_RESULT_OK) {
  if (code == success) return;
  std::string message = std::string(what) + " failed: result " + std::to_string(code) + " (" +
                        VRX5200_Result_Text(code) + ")";
  const std::string hint = hint_for(code);
  if (!hint.empty()) message += "; " + hint;
  fail(message);
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
  }
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\n");
  }

 private:
  const char* label_;
  bool shown_;
};

std::vector<int32_t> parse_list(const std::string& text, const char* what) {
  std::vector<int32_t> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const long v = std::strtol(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0') fail(std::string("bad ") + what + ": \"" + text + "\"", 2);
    out.push_back(static_cast<int32_t>(v));
  }
  return out;
}

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

// Discovers the boards and opens the one asked for (or the only one).
void open_board(Library& lib, const Options& o) {
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
}

uint8_t parse_byte(const std::string& text, const char* what) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || v < 0 || v > 255) {
    fail(std::string("bad ") + what + ": \"" + text + "\" (0 to 255, decimal or 0x hex)", 2);
  }
  return static_cast<uint8_t>(v);
}

// ---- capture ----

struct CaptureOptions {
  int32_t samples = 65536;
  std::string output = "capture.bin";
  bool csv = false;
  double rate = 250e6;
  int32_t rate_factor = 2, step_select = 0, half_rate = 0;
  std::string r1 = "0", r6 = "0", r7 = "0";
  std::string patterns;
  uint32_t timeout_ms = 10000;
  std::string lanes = "1";
  std::string ops;
  bool offset_binary = false;
  bool quiet = false;
};

void print_summary(FILE* to, const tool::Summary& s) {
  std::fprintf(to, "samples %zu, min %d, max %d, mean %.2f, RMS %.2f", s.count, s.min, s.max,
               s.mean, s.rms);
  if (s.fft_size > 0) {
    std::fprintf(to, ", strongest tone in bin %zu of %zu (%.6f of the sample rate)", s.tone_bin,
                 s.fft_size, static_cast<double>(s.tone_bin) / static_cast<double>(s.fft_size));
  }
  std::fprintf(to, "\n");
}

void run_capture(Library& lib, const Options& o, const CaptureOptions& c) {
  const std::vector<int32_t> lanes = parse_list(c.lanes, "lane list");
  std::vector<int32_t> codes, operands;
  if (!c.ops.empty()) {
    // "code:operand,code:operand"
    std::stringstream in(c.ops);
    std::string item;
    while (std::getline(in, item, ',')) {
      const size_t colon = item.find(':');
      if (colon == std::string::npos) fail("bad bit operation \"" + item + "\" (code:operand)", 2);
      codes.push_back(parse_list(item.substr(0, colon), "operation code")[0]);
      operands.push_back(parse_list(item.substr(colon + 1), "operand")[0]);
    }
  }
  std::vector<uint32_t> patterns;
  for (int32_t p : parse_list(c.patterns, "pattern list"))
    patterns.push_back(static_cast<uint32_t>(p));

  open_board(lib, o);
  ADC_Session_Params adc{};
  adc.Rate_Factor = c.rate_factor;
  adc.Rate = c.rate;
  adc.Step_Select = c.step_select;
  adc.Half_Rate_Mode = c.half_rate;
  adc.Pattern_Match = patterns.empty() ? 0 : 1;
  adc.Pattern_Count = static_cast<int32_t>(patterns.size());
  adc.Register_1_Value = parse_byte(c.r1, "register 1 value");
  adc.Register_6_Value = parse_byte(c.r6, "register 6 value");
  adc.Register_7_Value = parse_byte(c.r7, "register 7 value");
  check("ADC session", lib.Configure_VRX5200_ADC_Session(&adc));
  check("capture start", lib.Start_ADC_to_DDR(c.samples, nullptr, 0, 0, 0));

  // The library writes the processed samples to a file one block per call; standard output and
  // CSV are served from that file as it grows.
  const bool to_stdout = c.output == "-";
  const bool direct = !to_stdout && !c.csv;
  const std::string file =
      direct ? c.output : "/tmp/vrx5200-capture-" + std::to_string(getpid()) + ".bin";
  FILE* sink = nullptr;
  if (!direct) {
    sink = to_stdout ? stdout : std::fopen(c.output.c_str(), "w");
    if (sink == nullptr) fail("cannot write " + c.output);
  }
  tool::SummaryBuilder summary(c.offset_binary);
  std::vector<uint16_t> block_copy(65536 + 14);
  int32_t this_call = 0, write_index = 0, status = 0, pattern_timeout = 0, more = 1;
  long consumed = 0;
  Progress progress("capture");
  while (more == 1) {
    check("read-back",
          lib.Read_DDR_to_File(file.c_str(), patterns.data(), block_copy.data(), lanes.data(),
                               static_cast<int32_t>(lanes.size()), codes.data(), operands.data(),
                               static_cast<int32_t>(codes.size()), c.timeout_ms, &this_call,
                               &write_index, &status, &pattern_timeout, &more));
    if (pattern_timeout == 1) fail("no capture matched the patterns within the time-out");
    progress.update(static_cast<double>(write_index) / c.samples);
    // The samples this call appended.
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) fail("cannot read back " + file);
    std::fseek(in, consumed, SEEK_SET);
    uint16_t buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 2, 8192, in)) > 0) {
      summary.add(buffer, n);
      consumed += static_cast<long>(2 * n);
      if (sink == nullptr) continue;
      if (c.csv) {
        for (size_t i = 0; i < n; ++i) {
          std::fprintf(sink, "%d\n",
                       c.offset_binary ? static_cast<int>(buffer[i])
                                       : static_cast<int>(static_cast<int16_t>(buffer[i])));
        }
      } else {
        std::fwrite(buffer, 2, n, sink);
      }
    }
    std::fclose(in);
  }
  if (sink != nullptr && sink != stdout) std::fclose(sink);
  if (sink == stdout) std::fflush(stdout);
  if (!direct) std::remove(file.c_str());
  lib.Close_Session();
  if (!c.quiet) print_summary(to_stdout ? stderr : stdout, summary.finish());
}

// ---- pattern ----

struct ConvertOptions {
  std::string input;
  std::string delimiters = ",";
  std::string output_dir = ".";
  std::string lane_map = "-1,1";
  int32_t columns = 1;
  bool twos_complement = false;
  std::string multipliers;
};

int32_t run_convert(Library& lib, const ConvertOptions& c) {
  const std::vector<int32_t> map = parse_list(c.lane_map, "lane map");
  std::vector<int32_t> multipliers(4096, 1);
  if (!c.multipliers.empty()) {
    std::ifstream in(c.multipliers);
    if (!in) fail("cannot read multipliers from " + c.multipliers);
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
           "' in it; give --delimiters or --columns 1");
    case VRX5200_CONVERT_INVALID_ARGUMENT:
      fail(
          "bad conversion arguments: lane map entries 1 to 10 or -1 to -10 (each byte at most "
          "as often as the columns allow), 1 to 10 columns",
          2);
    case VRX5200_CONVERT_INPUT_OPEN_FAILED:
      fail("cannot read \"" + c.input + "\"");
    case VRX5200_CONVERT_OUTPUT_OPEN_FAILED:
      fail("cannot write \"" + c.output_dir + "/DAC_test.bin\"");
    case VRX5200_CONVERT_EMPTY_LINE:
      fail("\"" + c.input + "\" has a line of delimiters only");
    case VRX5200_CONVERT_FILE_IO:
      fail("reading \"" + c.input + "\" or writing the pattern failed");
    default:
      break;
  }
  return lines;
}

struct PlayOptions {
  std::string binary;
  ConvertOptions text;
  double rate = 100e6;
  int32_t factor1 = 8, factor2 = 1, divisor = 1;
  std::string cb1 = "0", cb2 = "0";
  int32_t start_offset = 0;
  bool verify = false;
};

void run_play(Library& lib, const Options& o, PlayOptions p) {
  std::string pattern = p.binary;
  if (pattern.empty()) {
    if (p.text.input.empty()) fail("give a pattern: --binary FILE or --text FILE", 2);
    if (p.text.output_dir == ".") p.text.output_dir = "/tmp";
    run_convert(lib, p.text);
    pattern = p.text.output_dir + "/DAC_test.bin";
  }
  std::ifstream in(pattern, std::ios::binary | std::ios::ate);
  if (!in) fail("cannot read \"" + pattern + "\"");
  const uint32_t words = static_cast<uint32_t>(in.tellg() / 2);
  open_board(lib, o);
  DAC_Session_Params dac{};
  dac.Rate = p.rate;
  dac.Rate_Factor_1 = p.factor1;
  dac.Rate_Factor_2 = p.factor2;
  dac.Rate_Divisor = p.divisor;
  dac.Control_Byte_1 = parse_byte(p.cb1, "control byte 1");
  dac.Control_Byte_2 = parse_byte(p.cb2, "control byte 2");
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
  if (p.verify) {
    if (lib.sim_read_playback == nullptr) fail("--verify needs the simulated board (--sim)");
    std::vector<uint16_t> stored(words), expected(words);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(expected.data()), static_cast<std::streamsize>(2 * words));
    lib.sim_read_playback(0, static_cast<uint32_t>(p.start_offset / 32 * 32), words, stored.data());
    if (stored != expected) fail("the simulated board's pattern memory differs from the pattern");
    std::fprintf(stderr, "pattern verified in the simulated board's memory\n");
  }
  lib.Close_Session();
}

// ---- demo ----

void run_demo(Library& lib, const Options& o) {
  int32_t major = 0, minor = 0;
  lib.Get_DLL_Version(&major, &minor);
  std::printf("vrx5200 demo on %s (library %d.%d, %s)\n",
              o.sim ? "the simulated board" : "an attached board", major, minor, lib.path.c_str());
  int32_t count = 0, length = 0;
  char keys[901] = {};
  check("discovery", lib.Get_VRX5200_EVM(&count, keys, &length));
  std::printf("1. boards found: %d (%s)\n", count, keys);
  open_board(lib, o);
  std::printf("2. board 0 open\n3. loading a generated programming file into the FPGA:\n");
  {
    std::FILE* f = std::fopen("demo_fpga.rbf", "wb");
    if (f == nullptr) fail("cannot write demo_fpga.rbf in the current directory");
    uint32_t x = 2463534242u;
    for (int i = 0; i < 65536; ++i) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      std::fputc(static_cast<int>(x & 0xFF), f);
    }
    std::fclose(f);
  }
  std::fflush(stdout);
  check("FPGA configuration", lib.Load_Firmware("demo_fpga.rbf"), VRX5200_RESULT_FPGA_CONFIGURED);
  uint8_t family = 0, firmware = 0;
  check("family ID", lib.Get_Family_ID(&family));
  check("firmware version", lib.Get_Firmware_version(&firmware));
  std::printf("4. family ID 0x%02X, firmware version 0x%02X\n", family, firmware);
  lib.Close_Session();

  std::printf("5. capturing 1 Mi samples into capture.bin:\n   ");
  std::fflush(stdout);
  CaptureOptions c;
  c.samples = 1 << 20;
  run_capture(lib, o, c);

  std::printf("6. converting a generated sample file and playing it:\n");
  {
    std::FILE* f = std::fopen("demo_samples.txt", "w");
    if (f == nullptr) fail("cannot write demo_samples.txt");
    for (int i = 0; i < 8192; ++i) {
      std::fprintf(f, "%ld\n", std::lround(30000.0 * std::sin(2 * 3.14159265358979 * i / 256)));
    }
    std::fclose(f);
  }
  PlayOptions p;
  p.text.input = "demo_samples.txt";
  p.text.output_dir = ".";
  const int32_t lines = run_convert(lib, p.text);
  std::printf("   demo_samples.txt: %d lines converted to ./DAC_test.bin\n", lines);
  p.binary = "DAC_test.bin";
  p.verify = lib.sim_read_playback != nullptr;
  std::fflush(stdout);
  run_play(lib, o, p);
  std::printf("   8192 pattern words uploaded and playing\n7. ports closed\n");
  std::printf(
      "Analyse the capture: PYTHONPATH=python python3 -m vrx5200.analyze capture.bin --plot "
      "spectrum.png\n");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vrx5200: control the VRX5200 ADC/DAC evaluation board from a shell"};
  app.require_subcommand(1);
  Options o;
  app.add_flag("--sim", o.sim,
               "use the simulated board (libvrx5200sim) instead of attached boards");
  app.add_option("--library", o.library, "path of the control library to load");
  app.add_option("--board", o.board, "serial key of the board to use (default: the only one)");
  app.footer(
      "Examples:\n  vrx5200 --sim list\n  vrx5200 --sim capture -n 65536 -o capture.bin\n"
      "  vrx5200 --sim play --text samples.txt\n  vrx5200 --sim demo");

  auto* list = app.add_subcommand("list", "list the boards found (number and serial key)");
  auto* info = app.add_subcommand("info", "family ID, firmware version and busy state of a board");
  std::string firmware_file;
  auto* load = app.add_subcommand("load", "load a programming file into the board's FPGA");
  load->add_option("FILE", firmware_file, "raw configuration bit stream")->required();

  auto* reg = app.add_subcommand("reg", "read or write an FPGA register");
  reg->require_subcommand(1);
  std::string reg_address, reg_value;
  auto* reg_read = reg->add_subcommand("read", "read a register: reg read ADDR");
  reg_read->add_option("ADDR", reg_address, "register address (0-15, or 0x..)")->required();
  auto* reg_write = reg->add_subcommand("write", "write a register: reg write ADDR VALUE");
  reg_write->add_option("ADDR", reg_address, "register address")->required();
  reg_write->add_option("VALUE", reg_value, "value (0-255)")->required();

  CaptureOptions c;
  auto* capture = app.add_subcommand("capture", "capture ADC samples into a file");
  capture->add_option("-n,--samples", c.samples, "samples to capture (a multiple of 32)")
      ->required();
  capture->add_option("-o,--output", c.output,
                      "raw 16-bit little-endian file, - for standard output");
  capture->add_flag("--csv", c.csv, "write decimal samples, one per line, instead of raw");
  capture->add_option("--rate", c.rate, "rate (derived rate = factor * rate / 2)");
  capture->add_option("--rate-factor", c.rate_factor, "rate factor");
  capture->add_option("--step-select", c.step_select, "0 steps down, non-zero steps up");
  capture->add_option("--half-rate", c.half_rate, "1 halves the rate with an odd register 1 value");
  capture->add_option("--r1", c.r1, "register 1 value at capture start");
  capture->add_option("--r6", c.r6, "register 6 value at capture start");
  capture->add_option("--r7", c.r7, "register 7 value at capture start");
  capture->add_option("--patterns", c.patterns,
                      "match patterns (pattern-match mode), comma-separated");
  capture->add_option("--timeout", c.timeout_ms, "time-out per read-back call in ms");
  capture->add_option("--lanes", c.lanes, "lane list, e.g. 3,1,2 (0 drops a lane)");
  capture->add_option("--ops", c.ops,
                      "bit operations code:operand,... (0 shift, 1 xor, 2 and, 3 or, 4 not)");
  capture->add_flag("--offset-binary", c.offset_binary, "samples are offset binary (summary, CSV)");
  capture->add_flag("-q,--quiet", c.quiet, "no summary");
  capture->footer(
      "Examples:\n  vrx5200 --sim capture -n 1048576 -o capture.bin\n"
      "  vrx5200 --sim capture -n 4096 --csv -o capture.csv --lanes 2,1\n"
      "  vrx5200 --sim capture -n 4096 -o - | od -An -td2 | head");

  PlayOptions p;
  auto* play = app.add_subcommand("play", "upload a pattern and play it on the DAC");
  play->add_option("--binary", p.binary, "binary pattern file (16-bit words)");
  play->add_option("--text", p.text.input, "text sample file, converted first");
  play->add_option("--delimiters", p.text.delimiters, "column delimiters of the text file");
  play->add_option("--columns", p.text.columns, "columns of the text file");
  play->add_option("--lane-map", p.text.lane_map, "byte order of the converted pattern");
  play->add_flag("--twos-complement", p.text.twos_complement, "convert to two's complement");
  play->add_option("--rate", p.rate, "DAC rate");
  play->add_option("--factor1", p.factor1, "rate factor 1");
  play->add_option("--factor2", p.factor2, "rate factor 2");
  play->add_option("--divisor", p.divisor, "rate divisor");
  play->add_option("--cb1", p.cb1, "control byte 1");
  play->add_option("--cb2", p.cb2, "control byte 2");
  play->add_option("--start-offset", p.start_offset, "byte offset in board memory");
  play->add_flag("--verify", p.verify, "compare the simulated board's memory with the pattern");
  play->footer(
      "Examples:\n  vrx5200 --sim play --text samples.txt\n"
      "  vrx5200 --sim play --binary DAC_test.bin --verify");

  ConvertOptions conv;
  auto* convert = app.add_subcommand("convert", "convert a text sample file into DAC_test.bin");
  convert->add_option("INPUT", conv.input, "text sample file")->required();
  convert->add_option("--delimiters", conv.delimiters, "column delimiters");
  convert->add_option("-d,--output-dir", conv.output_dir, "directory of DAC_test.bin");
  convert->add_option("--lane-map", conv.lane_map, "output byte order, e.g. -1,1,-2,2");
  convert->add_option("--columns", conv.columns, "columns per line (1-10)");
  convert->add_flag("--twos-complement", conv.twos_complement,
                    "two's complement (default offset binary)");
  convert->add_option("--multipliers", conv.multipliers, "file of per-line factors (.vrx inputs)");
  convert->footer(
      "Examples:\n  vrx5200 convert samples.txt -d out\n"
      "  vrx5200 convert iq.txt --columns 2 --lane-map -1,1,-2,2 --twos-complement");

  auto* demo = app.add_subcommand(
      "demo", "the whole flow on an attached board, or on the simulated board when none is");

  CLI11_PARSE(app, argc, argv);

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
    std::stringstream in(keys);
    std::string key;
    for (int b = 0; std::getline(in, key, ',') && b < count; ++b)
      std::printf("%d %s\n", b, key.c_str());
  } else if (info->parsed()) {
    open_board(lib, o);
    uint8_t family = 0, version = 0;
    int32_t busy = 0;
    check("family ID", lib.Get_Family_ID(&family));
    check("firmware version", lib.Get_Firmware_version(&version));
    check("busy state", lib.Check_ADC_Busy(&busy));
    std::printf("family ID 0x%02X\nfirmware version 0x%02X\nbusy %d\n", family, version, busy);
    lib.Close_Session();
  } else if (load->parsed()) {
    open_board(lib, o);
    std::fflush(stdout);
    check("FPGA configuration", lib.Load_Firmware(firmware_file.c_str()),
          VRX5200_RESULT_FPGA_CONFIGURED);
    lib.Close_Session();
  } else if (reg_read->parsed() || reg_write->parsed()) {
    const uint8_t address = parse_byte(reg_address, "register address");
    if (address > 15) fail("bad register address (0 to 15)", 2);
    const uint8_t data = reg_write->parsed() ? parse_byte(reg_value, "value") : 0;
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
  } else if (convert->parsed()) {
    run_convert(lib, conv);
  } else if (demo->parsed()) {
    run_demo(lib, o);
  }
  return 0;
}
