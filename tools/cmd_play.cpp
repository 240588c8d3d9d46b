// vrx5200 play: a pattern (binary, converted from text, or a generated tone) uploaded to the
// board and played on its DAC.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "client/results.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/files.h"

namespace tool {
namespace {

// The pattern to play and where it goes.
struct Pattern {
  std::string path;         // the file uploaded
  std::string private_dir;  // the tool's own directory that holds it (removed afterwards)
  std::string kept_as;      // with --keep: where it goes once it was played
  std::string made_dir;     // the --keep directory, when the tool made it
  bool played = false;
  // A play that failed leaves no directory it made.
  ~Pattern() {
    if (!played && !made_dir.empty()) {
      if (!private_dir.empty()) remove_private_dir(private_dir);
      rmdir(made_dir.c_str());
    }
  }
};

// A generated tone's pattern, coherent with its length at the DAC's rate (or the rate asked).
void make_tone(const PlayOptions& p, const Pattern& pattern) {
  GenerateOptions g;
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
  g.output = pattern.path;
  g.label = pattern.kept_as.empty() ? "the tone's pattern" : pattern.kept_as;
  run_generate(g);
}

// The pattern file to play: the binary one, a generated tone's or the converted text's. A pattern
// the tool makes is played from a private directory: under TMPDIR, or with --keep inside that
// directory, whence it replaces an older one once it was played.
void pattern_of(Context& ctx, PlayOptions& p, Pattern& pattern) {
  if (!p.binary.empty()) {
    // A directory or a missing file is told before the board is touched.
    pattern.path = input_path(p.binary, "standard-input.bin");
    check_readable_file(pattern.path);
    return;
  }
  const char* file = p.tone.empty() ? "DAC_test.bin" : "tone.bin";
  if (p.keep.empty()) {
    pattern.private_dir = make_private_dir(file);
  } else {
    if (ensure_dir(p.keep)) pattern.made_dir = p.keep;
    pattern.kept_as = p.keep + "/" + file;
    std::string error;
    if (!make_private_dir(pattern.private_dir, error, file, p.keep)) {
      fail("cannot write \"" + pattern.kept_as + "\": " + error, kExitFile);
    }
  }
  pattern.path = pattern.private_dir + "/" + file;
  if (!p.tone.empty()) {
    make_tone(p, pattern);
  } else {
    p.text.output_dir = pattern.private_dir;
    run_convert(ctx.library(), p.text);
  }
}

// What the command line says about the pattern, checked before anything is made or touched.
void check_play_options(const PlayOptions& p) {
  if (!p.tone.empty() && (p.tone_words < 32 || p.tone_words % 32 > 3)) {
    fail("bad --tone-words " + std::to_string(p.tone_words) + ": " +
             client::hint_for(VRX5200_RESULT_BAD_ADDRESS),
         kExitUsage);
  }
  if (p.tone.empty() && p.binary.empty() && p.text.input.empty()) {
    fail("give a pattern: --binary FILE, --text FILE or --tone HZ", kExitUsage);
  }
  if (p.text.columns < 1 || p.text.columns > 10) {
    fail("bad column count " + std::to_string(p.text.columns) + " (1 to 10)", kExitUsage);
  }
  if (!p.text.lane_map.empty()) parse_list(p.text.lane_map, "lane map");
}

// Compares the simulated board's pattern memory with the pattern file's words.
void verify(client::Library& lib, const PlayOptions& p, const std::string& pattern,
            std::ifstream& in, uint32_t words) {
  if (lib.sim_read_playback == nullptr) fail("--verify needs the simulated board (--sim)");
  std::vector<uint16_t> stored(words), expected(words);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(expected.data()), static_cast<std::streamsize>(2 * words));
  if (!in) fail("cannot read \"" + pattern + "\" again", kExitFile);
  lib.sim_read_playback(0, static_cast<uint32_t>(p.start_offset / 32 * 32), words, stored.data());
  if (stored != expected) fail("the simulated board's pattern memory differs from the pattern");
  std::fprintf(stderr, "pattern verified in the simulated board's memory\n");
}

}  // namespace

void run_play(Context& ctx, PlayOptions p) {
  const double rate = parse_rate(p.rate);
  const uint8_t cb1 = static_cast<uint8_t>(parse_number(p.cb1, "control byte 1", 0, 255));
  const uint8_t cb2 = static_cast<uint8_t>(parse_number(p.cb2, "control byte 2", 0, 255));
  check_play_options(p);
  Pattern made;
  pattern_of(ctx, p, made);
  const std::string& pattern = made.path;
  std::ifstream in(pattern, std::ios::binary | std::ios::ate);
  if (!in) fail("cannot read \"" + pattern + "\"", kExitFile);
  const uint32_t words = static_cast<uint32_t>(in.tellg() / 2);
  ctx.open_board();
  client::Library& lib = ctx.library();
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
  if (p.verify) verify(lib, p, pattern, in, words);
  lib.Close_Session();
  made.played = true;
  if (!made.kept_as.empty()) {
    if (std::rename(pattern.c_str(), made.kept_as.c_str()) != 0) {
      fail("cannot write \"" + made.kept_as + "\": " + errno_text(), kExitFile);
    }
    std::fprintf(stderr, "pattern kept in %s\n", made.kept_as.c_str());
  }
  if (!made.private_dir.empty()) remove_private_dir(made.private_dir);
}

namespace {

class PlayCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override;
  int run(Context& ctx) override {
    run_play(ctx, p_);
    return kExitOk;
  }

 private:
  PlayOptions p_;
};

CLI::App* PlayCommand::add_to(CLI::App& app) {
  PlayOptions& p = p_;
  auto* play = app.add_subcommand("play", "upload a pattern and play it on the DAC");
  auto* binary = play->add_option("--binary", p.binary,
                                  "binary pattern file (16-bit words); - for standard input");
  auto* text = play->add_option("--text", p.text.input,
                                "text sample file, converted first; - for standard input");
  play->add_option("--keep", p.keep,
                   "directory that keeps the converted DAC_test.bin or the tone's tone.bin "
                   "(default: a temporary one, removed)")
      ->excludes(binary);
  // The conversion's options need a text file, the tone's a tone.
  play->add_option("--delimiters", p.text.delimiters, "column delimiters of the text file")
      ->capture_default_str()
      ->needs(text);
  play->add_option("--columns", p.text.columns, "columns of the text file (1-10)")
      ->capture_default_str()
      ->needs(text);
  play->add_option("--lane-map", p.text.lane_map,
                   "byte order of the converted pattern (default -1,1,...,-C,C for C columns)")
      ->needs(text);
  play->add_flag("--twos-complement", p.text.twos_complement, "convert to two's complement")
      ->needs(text);
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
  auto* tone = play->add_option("--tone", p.tone,
                                "play a generated tone of this frequency (Hz, with k/M/G)");
  binary->excludes(text)->excludes(tone);
  text->excludes(tone);
  play->add_option("--tone-words", p.tone_words,
                   "words of the tone's pattern (32 or more, at most 3 past a multiple of 32)")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{32}, uint64_t{1} << 29))
      ->needs(tone);
  play->add_option("--tone-dbfs", p.tone_dbfs, "the tone's amplitude in dBFS")
      ->capture_default_str()
      ->needs(tone);
  play->footer(
      "Examples:\n  vrx5200 --sim play --text samples.txt\n"
      "  vrx5200 --sim play --text iq.txt --columns 2 --keep out --rate 125M\n"
      "  vrx5200 --sim play --binary DAC_test.bin --verify\n"
      "  vrx5200 --sim play --tone 10M --rate 100M");
  return play;
}

}  // namespace

std::unique_ptr<Command> play_command() {
  return std::make_unique<PlayCommand>();
}

}  // namespace tool
