// vrx5200 generate: a DAC pattern file (tone, multitone, ramp or noise) from the analysis core.
#include <cstdio>
#include <optional>
#include <sstream>

#include "client/units.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/measure.h"
#include "vrx5200_analysis.h"

namespace tool {

void run_generate(const GenerateOptions& o) {
  VRX5200SignalConfig config{};
  config.bits = o.bits;
  config.code_format = code_format_of(o.code_format);
  config.amplitude_dbfs = o.amplitude_dbfs;
  config.seed = o.seed;
  std::vector<uint64_t> tones;
  if (o.kind == "tone") {
    config.kind = VRX5200_SIGNAL_TONE;
    config.cycles = o.cycles;
    if (!o.frequency.empty()) {
      const std::optional<double> hz = client::parse_hertz(o.frequency);
      if (!hz) fail("bad frequency \"" + o.frequency + "\"", kExitUsage);
      double coherent = 0;
      check_core("coherent frequency",
                 VRX5200Analysis_Coherent_Frequency(rate_of(o.rate), o.words, *hz, &config.cycles,
                                                    &coherent));
      std::fprintf(stderr, "tone of %llu cycles in %llu words: %s at %s\n",
                   static_cast<unsigned long long>(config.cycles),
                   static_cast<unsigned long long>(o.words), client::format_hertz(coherent).c_str(),
                   client::format_hertz(rate_of(o.rate)).c_str());
    }
  } else if (o.kind == "multitone") {
    config.kind = VRX5200_SIGNAL_MULTITONE;
    std::stringstream in(o.tones);
    std::string item;
    while (std::getline(in, item, ',')) {
      char* end = nullptr;
      const unsigned long long c = std::strtoull(item.c_str(), &end, 0);
      if (item.empty() || *end != '\0') fail("bad tone cycles \"" + item + "\"", kExitUsage);
      tones.push_back(c);
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
  VRX5200SignalResult r{};
  const int32_t code = VRX5200Analysis_Generate_File(config, o.output.c_str(), o.words, &r);
  if (code == VRX5200_ANALYSIS_FILE_OPEN_FAILED || code == VRX5200_ANALYSIS_FILE_WRITE_FAILED) {
    fail(std::string(VRX5200Analysis_Result_Text(code)) + ": \"" + o.output + "\"", kExitFile);
  }
  check_core("pattern", code);
  std::fprintf(stderr, "%s: %llu words, peak %.1f codes, RMS %.1f codes, crest factor %.2f dB%s\n",
               (o.label.empty() ? o.output : o.label).c_str(),
               static_cast<unsigned long long>(r.words), r.peak_codes, r.rms_codes,
               r.crest_factor_db,
               r.clipped ? (", " + std::to_string(r.clipped) + " clipped").c_str() : "");
}

namespace {

class GenerateCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override;
  LibraryUse library_use() const override { return LibraryUse::kNone; }
  int run(Context&) override {
    // Gaussian noise at a full-scale sine's RMS would clip one word in nine: it starts lower.
    if (g_.kind == "noise" && dbfs_->count() == 0) g_.amplitude_dbfs = -12.0;
    run_generate(g_);
    return kExitOk;
  }

 private:
  GenerateOptions g_;
  CLI::Option* dbfs_ = nullptr;
};

CLI::App* GenerateCommand::add_to(CLI::App& app) {
  GenerateOptions& g = g_;
  auto* generate =
      app.add_subcommand("generate", "write a DAC pattern file: tone, multitone, ramp or noise");
  generate->add_option("KIND", g.kind, "tone, multitone, ramp or noise")->required();
  generate->add_option("-o,--output", g.output, "pattern file (16-bit little-endian words)")
      ->required();
  generate->add_option("-n,--words", g.words, "pattern length in words")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{2}, uint64_t{1} << 29));
  dbfs_ = generate->add_option(
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
  return generate;
}

}  // namespace

std::unique_ptr<Command> generate_command() {
  return std::make_unique<GenerateCommand>();
}

}  // namespace tool
