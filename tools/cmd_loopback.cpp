// vrx5200 loopback: on the simulated board, a pattern played and captured back through the
// bench's converter model, in one process so that the board keeps the pattern.
#include <cmath>
#include <optional>
#include <sstream>

#include "client/units.h"

#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/failure.h"

namespace tool {
namespace {

struct LoopbackOptions {
  PlayOptions play;
  CaptureOptions capture;
  double noise_rms = 2.0, gain = 1.0, offset = 0.0;
  std::string harmonics;  // dBc of harmonics 2.., comma-separated
};

class LoopbackCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override;
  int run(Context& ctx) override;

 private:
  LoopbackOptions l_;
};

int LoopbackCommand::run(Context& ctx) {
  const LoopbackOptions& l = l_;
  std::vector<double> levels;
  std::stringstream in(l.harmonics);
  for (std::string item; std::getline(in, item, ',');) {
    // -inf leaves a harmonic out.
    const std::optional<double> level =
        item == "-inf" ? std::optional<double>(-INFINITY) : client::parse_decimal(item);
    if (!level) fail("bad harmonic level \"" + item + "\" (dBc, or -inf for none)", kExitUsage);
    levels.push_back(*level);
  }
  if (levels.size() > 4) fail("at most 4 harmonic levels (harmonics 2 to 5)", kExitUsage);
  check_capture_options(l.capture);
  client::Library& lib = ctx.library();
  if (lib.sim_set_loopback == nullptr)
    fail("loopback needs the simulated board (--sim)", kExitUsage);
  // The converter model turns each pattern word into one sample of the board: a tone is made
  // at the board's sample rate, so that it is captured at the frequency asked for. (The DAC's
  // own rate plays no part in the model: the session keeps its default.)
  PlayOptions play = l.play;
  play.tone_rate_hz = static_cast<double>(l.capture.rate_factor) * parse_rate(l.capture.rate) / 2;
  run_play(ctx, play);
  check("loopback", lib.sim_set_loopback(0, 1, l.noise_rms, l.gain, l.offset, levels.data(),
                                         static_cast<int32_t>(levels.size()), 1));
  run_capture(ctx, l.capture);
  return kExitOk;
}

CLI::App* LoopbackCommand::add_to(CLI::App& app) {
  LoopbackOptions& lb = l_;
  auto* loopback = app.add_subcommand(
      "loopback", "simulated board: play a pattern, capture it back through a converter model");
  auto* binary = loopback->add_option("--binary", lb.play.binary,
                                      "binary pattern file (16-bit words); - for standard input");
  auto* tone = loopback->add_option("--tone", lb.play.tone,
                                    "a generated tone of this frequency (Hz), at the ADC's rate");
  tone->excludes(binary);
  loopback
      ->add_option("--tone-words", lb.play.tone_words,
                   "words of the tone's pattern (32 or more, at most 3 past a multiple of 32)")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{32}, uint64_t{1} << 29))
      ->needs(tone);
  loopback->add_option("--tone-dbfs", lb.play.tone_dbfs, "the tone's amplitude in dBFS")
      ->capture_default_str()
      ->needs(tone);
  loopback->add_option("--noise", lb.noise_rms, "the model's noise, codes RMS")
      ->capture_default_str();
  loopback->add_option("--gain", lb.gain, "ADC codes per DAC code")->capture_default_str();
  loopback->add_option("--offset", lb.offset, "the model's offset in codes")->capture_default_str();
  loopback->add_option("--harmonics", lb.harmonics,
                       "levels of harmonics 2.. in dBc, e.g. -70,-80 (-inf: none)");
  loopback->add_option("-n,--samples", lb.capture.samples, "samples to capture (a multiple of 32)")
      ->capture_default_str();
  loopback->add_option("-o,--output", lb.capture.output, "capture file (raw, .csv or .npy)")
      ->required();
  loopback->add_flag("-q,--quiet", lb.capture.quiet, "no summary");
  loopback->footer(
      "Examples:\n  vrx5200 --sim loopback --tone 10M --harmonics -70,-80 -o loop.bin\n"
      "  vrx5200 --sim loopback --binary tone.bin --noise 4 -n 262144 -o loop.npy");
  return loopback;
}

}  // namespace

std::unique_ptr<Command> loopback_command() {
  return std::make_unique<LoopbackCommand>();
}

}  // namespace tool
