// vrx5200 generate: a DAC pattern file (tone, multitone, ramp or noise) from the analysis core.
#include <cstdio>
#include <optional>
#include <sstream>

#include "client/atomic_file.h"
#include "client/units.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/files.h"
#include "tools/measure.h"
#include "vrx5200_analysis.h"

namespace tool {
namespace {

// The core's configuration of the pattern the options describe; every refusal is the command
// line's.
VRX5200SignalConfig signal_config(const GenerateOptions& o, std::vector<uint64_t>& tones) {
  VRX5200SignalConfig config{};
  config.bits = o.bits;
  config.code_format = code_format_of(o.code_format);
  config.amplitude_dbfs = o.amplitude_dbfs;
  config.seed = o.seed;
  if (o.kind == "tone") {
    config.kind = VRX5200_SIGNAL_TONE;
    config.cycles = o.cycles;
    if (o.frequency.empty() && o.cycles == 0) {
      fail("generate tone needs --cycles or --frequency", kExitUsage);
    }
    if (!o.frequency.empty()) {
      const std::optional<double> hz = client::parse_hertz(o.frequency);
      if (!hz) fail("bad frequency \"" + o.frequency + "\"", kExitUsage);
      double coherent = 0;
      check_core("coherent frequency",
                 VRX5200Analysis_Coherent_Frequency(rate_of(o.rate), o.words, *hz, &config.cycles,
                                                    &coherent),
                 kExitUsage);
      std::fprintf(stderr, "tone of %llu cycles in %llu words: %s at %s\n",
                   static_cast<unsigned long long>(config.cycles),
                   static_cast<unsigned long long>(o.words), client::format_hertz(coherent).c_str(),
                   client::format_hertz(rate_of(o.rate)).c_str());
    }
  } else if (o.kind == "multitone") {
    config.kind = VRX5200_SIGNAL_MULTITONE;
    if (o.tones.empty()) fail("generate multitone needs --tones", kExitUsage);
    std::stringstream in(o.tones);
    std::string item;
    while (std::getline(in, item, ',')) {
      const std::optional<long long> c = client::parse_whole(item);
      if (!c || *c <= 0) fail("bad tone cycles \"" + item + "\"", kExitUsage);
      tones.push_back(static_cast<uint64_t>(*c));
    }
    config.tone_cycles = tones.data();
    config.tone_count = static_cast<uint32_t>(tones.size());
  } else if (o.kind == "ramp") {
    config.kind = VRX5200_SIGNAL_RAMP;
    config.cycles = o.cycles == 0 ? 1 : o.cycles;
  } else if (o.kind == "noise") {
    config.kind = VRX5200_SIGNAL_NOISE;
  } else {
    fail("bad signal \"" + o.kind + "\" (tone, multitone, ramp or noise)", kExitUsage);
  }
  return config;
}

// Copies the pattern file `from` onto the stream of an output written in place.
void copy_onto(const std::string& from, client::AtomicFile& out, const std::string& name) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (in == nullptr) fail("cannot read \"" + from + "\": " + errno_text(), kExitFile);
  char buffer[65536];
  size_t n = 0;
  bool written = true;
  while (written && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
    written = std::fwrite(buffer, 1, n, out.stream()) == n;
  }
  const bool read = std::ferror(in) == 0;
  std::fclose(in);
  if (!read || !written) fail("writing " + name + " failed: " + errno_text(), kExitFile);
}

}  // namespace

void run_generate(const GenerateOptions& o) {
  std::vector<uint64_t> tones;
  const VRX5200SignalConfig config = signal_config(o, tones);
  // A file is written beside its target and takes its place when complete; standard output, a
  // device or a pipe gets the pattern from a private file.
  const std::string name = o.output == "-" ? "standard output" : "\"" + o.output + "\"";
  client::AtomicFile out;
  std::string error;
  if (!out.open(o.output, error)) fail("cannot write " + name + ": " + error, kExitFile);
  std::string private_dir;
  if (out.in_place()) private_dir = make_private_dir("pattern.bin");
  const std::string path = out.in_place() ? private_dir + "/pattern.bin" : out.temporary();
  VRX5200SignalResult r{};
  const int32_t code = VRX5200Analysis_Generate_File(config, path.c_str(), o.words, &r);
  if (code == VRX5200_ANALYSIS_FILE_OPEN_FAILED || code == VRX5200_ANALYSIS_FILE_WRITE_FAILED) {
    fail(std::string(VRX5200Analysis_Result_Text(code)) + ": " + name, kExitFile);
  }
  check_core("pattern", code, kExitUsage);
  if (out.in_place()) {
    copy_onto(path, out, name);
    remove_private_dir(private_dir);
  }
  if (!out.commit(error)) fail("writing " + name + " failed: " + error, kExitFile);
  const std::string label = !o.label.empty() ? o.label : o.output == "-" ? name : o.output;
  std::fprintf(stderr, "%s: %llu words, peak %.1f codes, RMS %.1f codes, crest factor %.2f dB%s\n",
               label.c_str(), static_cast<unsigned long long>(r.words), r.peak_codes, r.rms_codes,
               r.crest_factor_db,
               r.clipped ? (", " + std::to_string(r.clipped) + " clipped").c_str() : "");
}

namespace {

class GenerateCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override;
  int run(Context&) override;

 private:
  GenerateOptions g_;
  CLI::Option *dbfs_ = nullptr, *cycles_ = nullptr, *frequency_ = nullptr, *rate_ = nullptr,
              *tones_ = nullptr, *seed_ = nullptr;
};

int GenerateCommand::run(Context&) {
  // An option the kind does not use would be ignored: it is refused instead.
  const struct {
    const CLI::Option* option;
    const char* kinds;
  } applies[] = {{cycles_, "tone ramp"},
                 {frequency_, "tone"},
                 {rate_, "tone"},
                 {tones_, "multitone"},
                 {seed_, "noise"}};
  for (const auto& a : applies) {
    const std::string kinds = a.kinds;
    if (a.option->count() > 0 &&
        (" " + kinds + " ").find(" " + g_.kind + " ") == std::string::npos) {
      std::string listed = kinds;
      if (const size_t space = listed.find(' '); space != std::string::npos) {
        listed.replace(space, 1, " and ");
      }
      fail(a.option->get_name() + " does not apply to " + g_.kind + " (only to " + listed + ")",
           kExitUsage);
    }
  }
  // The rate only turns --frequency into cycles.
  if (rate_->count() > 0 && cycles_->count() > 0) {
    fail("--rate gives the rate of --frequency; with --cycles it would be ignored", kExitUsage);
  }
  // Gaussian noise at a full-scale sine's RMS would clip one word in nine: it starts lower.
  if (g_.kind == "noise" && dbfs_->count() == 0) g_.amplitude_dbfs = -12.0;
  run_generate(g_);
  return kExitOk;
}

CLI::App* GenerateCommand::add_to(CLI::App& app) {
  GenerateOptions& g = g_;
  auto* generate =
      app.add_subcommand("generate", "write a DAC pattern file: tone, multitone, ramp or noise");
  generate->add_option("KIND", g.kind, "tone, multitone, ramp or noise")->required();
  generate
      ->add_option("-o,--output", g.output,
                   "pattern file (16-bit little-endian words), - for standard output")
      ->required();
  generate->add_option("-n,--words", g.words, "pattern length in words")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{2}, uint64_t{1} << 29));
  dbfs_ = generate->add_option(
      "--dbfs", g.amplitude_dbfs,
      "amplitude (tone, ramp), peak (multitone), RMS as a sine's (noise) in dBFS [default: -1; "
      "noise: -12, which clips no word]");
  cycles_ = generate->add_option("--cycles", g.cycles, "tone: cycles per pattern; ramp: ramps");
  frequency_ = generate->add_option("--frequency", g.frequency,
                                    "tone: Hz at --rate, made coherent (instead of --cycles)");
  frequency_->excludes(cycles_);
  rate_ =
      generate->add_option("--rate", g.rate, "the DAC's word rate in Hz")->capture_default_str();
  tones_ =
      generate->add_option("--tones", g.tones, "multitone: cycles of each tone, comma-separated");
  generate->add_option("--bits", g.bits, "the DAC's resolution")
      ->capture_default_str()
      ->check(CLI::Range(1, 16));
  generate->add_option("--code-format", g.code_format, "twos or offset")->capture_default_str();
  seed_ =
      generate->add_option("--seed", g.seed, "noise: the generator's seed")->capture_default_str();
  generate->footer(
      "Examples:\n  vrx5200 generate tone --frequency 10M --rate 100M -o tone.bin\n"
      "  vrx5200 generate multitone --tones 101,211,307 --dbfs -3 -o tones.bin");
  return generate;
}

}  // namespace

std::unique_ptr<Command> generate_command() {
  return std::make_unique<GenerateCommand>();
}

}  // namespace tool
