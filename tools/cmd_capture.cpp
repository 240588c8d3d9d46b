// vrx5200 capture: ADC samples into a file or standard output, raw, CSV, .npy or a SigMF recording,
// with a summary.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "client/capture_output.h"
#include "client/sigmf.h"
#include "client/summary.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "client/results.h"
#include "tools/failure.h"
#include "tools/files.h"

namespace tool {
namespace {

// Samples per read-back block: the block copy holds one block and a carried frame.
constexpr int64_t kBlock = 65536;

// What the command line asks of a capture, checked before the board is touched.
struct CapturePlan {
  std::vector<int32_t> lanes;
  std::vector<int32_t> codes, operands;
  std::vector<uint32_t> patterns;
  ADC_Session_Params adc{};
  double sample_rate = 0;         // of the output; 0 when it has no single rate
  bool evenly_spaced = true;      // false: the lane list reorders lanes or keeps them unevenly
  std::string output;             // "-": standard output
  bool output_is_stdout = false;  // "-", or a name of standard output's file (/dev/stdout)
  client::Format format = client::Format::kRaw;
};

// Whether the output is standard output itself: "-", or a path to the same file (/dev/stdout,
// /proc/self/fd/1), where a summary would land among the samples.
bool is_standard_output(const std::string& output) {
  if (output == "-") return true;
  struct stat out {};
  struct stat path {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(output.c_str(), &path) == 0 &&
         out.st_dev == path.st_dev && out.st_ino == path.st_ino;
}

CapturePlan plan_capture(const CaptureOptions& c) {
  CapturePlan plan;
  // The library takes a positive multiple of 32: said before any board is touched.
  if (c.samples <= 0 || c.samples % 32 != 0) {
    fail("bad sample count " + std::to_string(c.samples) + ": " +
             VRX5200_Result_Text(VRX5200_RESULT_BAD_CAPTURE_LENGTH) + "; " +
             client::hint_for(VRX5200_RESULT_BAD_CAPTURE_LENGTH),
         kExitUsage);
  }
  const std::string lane_problem = client::parse_lane_list(c.lanes, plan.lanes);
  if (!lane_problem.empty()) fail(lane_problem, kExitUsage);
  if (!c.ops.empty()) parse_ops(c.ops, plan.codes, plan.operands);
  if (!c.patterns.empty()) {
    for (int32_t p : parse_list(c.patterns, "pattern list"))
      plan.patterns.push_back(static_cast<uint32_t>(p));
  }
  const double rate = parse_rate(c.rate);
  ADC_Session_Params& adc = plan.adc;
  adc.Rate_Factor = c.rate_factor;
  adc.Rate = rate;
  adc.Step_Select = c.step_select;
  adc.Half_Rate_Mode = c.half_rate;
  adc.Pattern_Match = plan.patterns.empty() ? 0 : 1;
  adc.Pattern_Count = static_cast<int32_t>(plan.patterns.size());
  adc.Register_1_Value = static_cast<uint8_t>(parse_number(c.r1, "register 1 value", 0, 255));
  adc.Register_6_Value = static_cast<uint8_t>(parse_number(c.r6, "register 6 value", 0, 255));
  adc.Register_7_Value = static_cast<uint8_t>(parse_number(c.r7, "register 7 value", 0, 255));
  // The board's sample rate: the derived rate, halved in half-rate mode with an odd register 1.
  double board_rate = static_cast<double>(c.rate_factor) * rate / 2;
  if (c.half_rate == 1 && (adc.Register_1_Value & 1) != 0) board_rate /= 2;
  const int32_t decimation = client::LaneCounter::decimation(plan.lanes, kBlock);
  plan.sample_rate = decimation > 0 ? board_rate / decimation : 0;
  plan.evenly_spaced = decimation > 0;

  plan.output = c.output;
  if (plan.output.empty()) {
    if (isatty(STDOUT_FILENO)) {
      fail("give the output: -o FILE (-o - writes the samples to the terminal)", kExitUsage);
    }
    plan.output = "-";
  }
  const bool to_stdout = plan.output == "-";
  plan.output_is_stdout = is_standard_output(plan.output);
  plan.format = c.csv               ? client::Format::kCsv
                : !c.format.empty() ? *client::format_named(c.format)
                : to_stdout         ? client::Format::kRaw
                                    : client::format_of_path(plan.output);
  if (plan.format == client::Format::kSigmf) {
    if (to_stdout) fail("a SigMF recording is two files: give its name, -o NAME", kExitUsage);
    plan.output = client::sigmf_base(plan.output) + ".sigmf-meta";
  }
  return plan;
}

std::string name_of(const std::string& output) {
  if (client::sigmf_part(output) == client::SigmfPart::kMeta) {
    return "the recording \"" + client::sigmf_base(output) + "\"";
  }
  return output == "-" ? "standard output" : "\"" + output + "\"";
}

// What becomes of the samples read when a capture does not complete: removed, or kept under a
// partial name when asked. Returns the words that say so (empty: nothing to say); `interrupted`:
// the sentence before has given the count already.
std::string settle_partial(client::CaptureFile& out, const CaptureOptions& c, size_t expected,
                           bool interrupted = false) {
  if (!c.keep_partial || out.in_place()) {
    out.discard();
    return "";
  }
  const size_t written = out.written();
  if (written == 0) {
    out.discard();
    return "; no samples were read, so there is no partial file";
  }
  std::string name, error;
  if (!out.keep_partial(name, error)) return "; the samples read could not be kept: " + error;
  if (interrupted) return "; they are kept in \"" + name + "\"";
  return "; the " + std::to_string(written) + " of " + std::to_string(expected) +
         " samples read are kept in \"" + name + "\"";
}

// Reads the capture back block by block into `out`; stops after the block in which a
// termination signal came.
void read_back(client::Library& lib, const CapturePlan& plan, const CaptureOptions& c,
               client::CaptureFile& out, client::SummaryBuilder& summary) {
  client::LaneCounter counter(plan.lanes);
  std::vector<uint16_t> block_copy(kBlock + 14);
  int32_t this_call = 0, write_index = 0, status = 0, pattern_timeout = 0, more = 1;
  Progress progress("capture");
  Deferral deferral;
  while (more == 1 && interrupted() == 0) {
    check("read-back",
          lib.Read_DDR_to_File("/dev/null", plan.patterns.data(), block_copy.data(),
                               plan.lanes.data(), static_cast<int32_t>(plan.lanes.size()),
                               plan.codes.data(), plan.operands.data(),
                               static_cast<int32_t>(plan.codes.size()), c.timeout_ms, &this_call,
                               &write_index, &status, &pattern_timeout, &more));
    if (pattern_timeout == 1) fail("no capture matched the patterns within the time-out");
    const size_t n = counter.output_for(static_cast<size_t>(this_call));
    if (n > block_copy.size()) fail("the read-back delivered more samples than a block holds");
    summary.add(block_copy.data(), n);
    if (!out.write(block_copy.data(), n)) {
      fail("writing " + name_of(plan.output) + " failed: " + errno_text(), kExitFile);
    }
    progress.update(static_cast<double>(write_index) / c.samples);
  }
}

// A recording's metadata maker: the board, its identity and the capture's start as they are now.
client::CaptureFile::MetaMaker recording_meta(Context& ctx, const CapturePlan& plan,
                                              const CaptureOptions& c, const std::string& key) {
  if (plan.format != client::Format::kSigmf) return {};
  client::SigmfSource source;
  source.offset_binary = c.offset_binary;
  source.rate_hz = plan.sample_rate;
  source.evenly_spaced = plan.evenly_spaced;
  source.board = key;
  // The identity is a description: one the board does not give is left out, not a failure.
  uint8_t family = 0, version = 0;
  if (ctx.library().Get_Family_ID(&family) == 0) source.family_id = family;
  if (ctx.library().Get_Firmware_version(&version) == 0) source.firmware_version = version;
  source.recorder = std::string("vrx5200 ") + VRX5200_VERSION;
  source.taken_ms = client::now_ms();
  return [source](const uint16_t* samples, size_t count, bool partial) {
    client::SigmfSource s = source;
    if (partial) {
      s.description = "VRX5200 ADC capture that did not complete: its first " +
                      std::to_string(count) + " samples";
    }
    return client::sigmf_meta(s, samples, count);
  };
}

}  // namespace

void check_capture_options(const CaptureOptions& c) {
  plan_capture(c);
}

void run_capture(Context& ctx, const CaptureOptions& c) {
  // Everything the command line says is checked before the board is touched.
  const CapturePlan plan = plan_capture(c);
  const std::string out_name = name_of(plan.output);
  // A server keeps the capture too: with its code format, so that its figures are right.
  if (ctx.remote()) remote_capture_code_format(c.offset_binary);
  const std::string key = ctx.open_board();
  client::Library& lib = ctx.library();
  // A recording's description of the board is read before the capture starts.
  client::CaptureFile::MetaMaker meta = recording_meta(ctx, plan, c, key);
  check("ADC session", lib.Configure_VRX5200_ADC_Session(&plan.adc));
  check("capture start", lib.Start_ADC_to_DDR(c.samples, nullptr, 0, 0, 0));

  // The library's file read-back applies the lane list and the bit operations, and hands each
  // block's output over in the block copy as well as to its file: the file is the null device,
  // and the tool writes the block copy on to the output as it arrives. The output is made only
  // for a capture that has started (a named pipe waits for its reader); a file is written beside
  // its target and takes its place only when the capture is complete.
  const size_t expected = client::LaneCounter::capture_output(plan.lanes, c.samples, kBlock);
  client::CaptureFile out(plan.format, c.offset_binary, std::move(meta));
  std::string error;
  if (!out.open(plan.output, expected, error)) {
    fail("cannot write " + out_name + ": " + error, kExitFile);
  }
  client::SummaryBuilder summary(c.offset_binary);
  try {
    read_back(lib, plan, c, out, summary);
    if (const int sig = interrupted()) {
      lib.Close_Session();
      print_failure("capture interrupted after " + std::to_string(out.written()) + " of " +
                    std::to_string(expected) + " samples" + settle_partial(out, c, expected, true));
      die_of(sig);
    }
    if (out.written() != expected) {
      fail("the read-back delivered " + std::to_string(out.written()) + " samples, not " +
           std::to_string(expected));
    }
  } catch (Failure& f) {
    f.message += settle_partial(out, c, expected);
    throw;
  }
  if (!out.commit(error)) fail("writing " + out_name + " failed: " + error, kExitFile);
  lib.Close_Session();
  if (c.quiet) return;
  FILE* to = plan.output_is_stdout ? stderr : stdout;
  const client::Summary s = summary.finish();
  if (c.json) {
    std::fprintf(
        to, "%s\n",
        client::summary_json(s, plan.sample_rate, plan.output, plan.format, plan.evenly_spaced)
            .text()
            .c_str());
  } else {
    client::print_summary(to, s, plan.sample_rate, plan.evenly_spaced);
  }
}

namespace {

class CaptureCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override;
  int run(Context& ctx) override {
    run_capture(ctx, c_);
    return kExitOk;
  }

 private:
  CaptureOptions c_;
};

CLI::App* CaptureCommand::add_to(CLI::App& app) {
  CaptureOptions& c = c_;
  auto* capture = app.add_subcommand("capture", "capture ADC samples into a file");
  capture->add_option("-n,--samples", c.samples, "samples to capture (a multiple of 32)")
      ->required();
  capture->add_option("-o,--output", c.output,
                      "output file, - for standard output (the default when it is not a "
                      "terminal)");
  auto* format = capture
                     ->add_option("-O,--format", c.format,
                                  "raw (16-bit little-endian), csv (one decimal sample a line), "
                                  "npy (NumPy) or sigmf (NAME.sigmf-data and NAME.sigmf-meta); "
                                  "default from the -o extension (.csv, .npy, .sigmf-meta, "
                                  ".sigmf-data), else raw")
                     ->check(CLI::IsMember({"raw", "csv", "npy", "sigmf"}));
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
  capture->add_flag("--keep-partial", c.keep_partial,
                    "when the capture fails or is interrupted, keep the samples read in "
                    "NAME.partial.EXT (a recording: NAME.partial.sigmf-*; by default the "
                    "output is left as it was)");
  auto* quiet = capture->add_flag("-q,--quiet", c.quiet, "no summary");
  capture->add_flag("--json", c.json, "the summary as one JSON object")->excludes(quiet);
  capture->footer(
      "The summary goes to standard output, or to standard error when the samples do.\n\n"
      "Examples:\n  vrx5200 --sim capture -n 1048576 -o capture.bin\n"
      "  vrx5200 --sim capture -n 4096 -o capture.csv --lanes 2,1\n"
      "  vrx5200 --sim capture -n 65536 -o capture.npy --rate 250M --json\n"
      "  vrx5200 --sim capture -n 65536 -O sigmf -o recording\n"
      "  vrx5200 --sim capture -n 4096 -O csv | head");
  return capture;
}

}  // namespace

std::unique_ptr<Command> capture_command() {
  return std::make_unique<CaptureCommand>();
}

}  // namespace tool
