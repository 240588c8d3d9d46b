// vrx5200 analyze: the figures of capture files (no board needed): single-tone (of one record,
// or averaged over records), two-tone, sine fit or code density, in lines or as one JSON object.
// A figure the analysis cannot stand behind is withheld (null in JSON) with a warning; the
// warnings go to standard error in lines, into the object in JSON, and with --strict they make
// the exit code 4.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/json.h"
#include "client/tone_report.h"
#include "client/units.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/analyze_modes.h"
#include "tools/measure.h"
#include "tools/sample_input.h"
#include "vrx5200_analysis.h"

namespace tool {

using client::format_hertz;
using client::JsonObject;

namespace {

// The single-tone request of the command line for records of n samples.
client::ToneReport tone_request(const AnalyzeOptions& o, double rate, uint64_t n) {
  client::ToneReport t;
  t.config.bits = o.bits;
  t.config.code_format = code_format_of(o.code_format);
  t.config.window = window_of(o.window);
  t.config.harmonics = o.harmonics;
  t.config.rate_hz = rate;
  if (!o.fundamental.empty()) {
    t.config.fundamental_cycles = cycles_of(o.fundamental, "--fundamental", rate, n);
    if (t.config.fundamental_cycles <= 0) fail("--fundamental must lie above DC", kExitUsage);
  }
  t.options.version = VRX5200_ANALYSIS_VERSION;
  t.options.method = o.method.empty()         ? VRX5200_METHOD_DEFAULT
                     : o.method == "spectrum" ? VRX5200_METHOD_SPECTRUM
                                              : VRX5200_METHOD_FIT_SUBTRACT;
  if (!o.band.empty()) {
    const size_t colon = o.band.find(':');
    if (colon == std::string::npos) fail("--band \"" + o.band + "\": LOW:HIGH", kExitUsage);
    t.options.band_low_cycles = cycles_of(o.band.substr(0, colon), "--band", rate, n);
    t.options.band_high_cycles = cycles_of(o.band.substr(colon + 1), "--band", rate, n);
    if (!(t.options.band_low_cycles < t.options.band_high_cycles)) {
      fail("--band \"" + o.band + "\": the low end must lie below the high end", kExitUsage);
    }
  }
  if (o.tones.size() > VRX5200_MAX_NAMED_TONES) {
    fail("at most " + std::to_string(VRX5200_MAX_NAMED_TONES) + " --tone", kExitUsage);
  }
  for (const std::string& spec : o.tones) {
    const size_t eq = spec.find('=');
    if (eq == std::string::npos || eq == 0) {
      fail("--tone \"" + spec + "\": NAME=FREQUENCY[:exclude]", kExitUsage);
    }
    std::string frequency = spec.substr(eq + 1);
    int32_t action = VRX5200_TONE_IDENTIFY;
    const size_t colon = frequency.find(':');
    if (colon != std::string::npos) {
      const std::string what = frequency.substr(colon + 1);
      if (what == "exclude") {
        action = VRX5200_TONE_EXCLUDE;
      } else if (what != "identify") {
        fail("--tone \"" + spec + "\": the action is exclude or identify", kExitUsage);
      }
      frequency.erase(colon);
    }
    VRX5200NamedTone& named = t.options.named[t.options.named_count++];
    named.cycles = cycles_of(frequency, "--tone", rate, n);
    named.action = action;
    t.tone_names.push_back(spec.substr(0, eq));
  }
  return t;
}

int single_tone(const AnalyzeOptions& o, const std::vector<Samples>& files, double rate) {
  // The records: each file whole, or cut into --average N records each.
  std::vector<Samples> records;
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t n = files[i].size();
    const size_t per = static_cast<size_t>(o.records_per_file);
    if (n % per != 0) {
      fail("--average " + std::to_string(per) + ": \"" + o.files[i] + "\" holds " +
               std::to_string(n) + " samples, which do not cut into " + std::to_string(per) +
               " records",
           kExitUsage);
    }
    if (per == 1) {
      records.push_back(files[i]);
    } else {
      for (size_t r = 0; r < per; ++r) records.push_back(files[i].slice(r * (n / per), n / per));
    }
  }
  const uint64_t n = records[0].size();
  for (size_t r = 1; r < records.size(); ++r) {
    if (records[r].size() != n) {
      fail("records of " + std::to_string(n) + " and " + std::to_string(records[r].size()) +
               " samples: averaged records must be of one length",
           kExitUsage);
    }
  }
  client::ToneReport t = tone_request(o, rate, n);
  for (const Samples& f : files) t.evenly_spaced = t.evenly_spaced && f.evenly_spaced;
  if (!o.average) {
    t.samples = n;
    check_analysis("analysis of \"" + o.files[0] + "\"",
                   client::analyse_tone(nullptr, records[0].data(), records[0].type, n, t));
  } else {
    VRX5200ToneAverager* averager = nullptr;
    check_analysis("averaging",
                   VRX5200Analysis_Average_Create(n, &t.config, &t.options, 0, &averager));
    struct Owner {
      VRX5200ToneAverager* a;
      ~Owner() { VRX5200Analysis_Average_Destroy(a); }
    } owner{averager};
    for (size_t r = 0; r < records.size(); ++r) {
      check_analysis("record " + std::to_string(r + 1) + " of " + std::to_string(records.size()),
                     VRX5200Analysis_Average_Add(averager, records[r].data(), records[r].type, n));
    }
    t.samples = n;
    check_analysis("averaging",
                   VRX5200Analysis_Average_Result(averager, &t.result, &t.quality, nullptr));
    if (!t.evenly_spaced) client::withhold_spectral(t);
  }
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.files[0]);
    client::add_tone_json(j, t);
    std::printf("%s\n", j.text().c_str());
    return finish(o, t.quality.warnings);
  }
  if (t.quality.records > 1) {
    std::printf("%s: %llu records of %llu samples averaged\n", files_label(o.files).c_str(),
                static_cast<unsigned long long>(t.quality.records),
                static_cast<unsigned long long>(n));
  } else {
    std::printf("%s: %llu samples\n", o.files[0].c_str(), static_cast<unsigned long long>(n));
  }
  for (const std::string& line : client::tone_lines(t)) std::printf("%s\n", line.c_str());
  return finish(o, t.quality.warnings);
}

int run_analyze(AnalyzeOptions o, const RemoteOptions& remote) {
  if (!o.files.empty() && !o.capture.empty()) {
    fail("--capture names a capture the server keeps instead of a file: give one or the other",
         kExitUsage);
  }
  if (o.files.empty() && o.capture.empty()) {
    fail("give a capture file, or with -u a capture the server keeps (--capture ID)", kExitUsage);
  }
  if (!o.capture.empty() && remote.uri.empty()) {
    fail("--capture names a capture a server keeps: give the server with -u URL", kExitUsage);
  }
  double rate = rate_of(o.rate);
  // --format names the file's format, or the code format (offset or twos).
  if (o.format == "offset" || o.format == "twos") {
    if (!o.code_format.empty() && o.code_format != o.format) {
      fail("--format " + o.format + " and --code-format " + o.code_format + " disagree",
           kExitUsage);
    }
    o.code_format = o.format;
    o.format.clear();
  }
  const bool several = o.linearity || o.average;
  if (o.files.size() > 1 && !several) {
    fail("several files are analysed together with --average or --linearity", kExitUsage);
  }
  if (o.fit_parameters != 3 && o.fit_parameters != 4) {
    fail("--sine-fit " + std::to_string(o.fit_parameters) + ": 3 or 4 parameters", kExitUsage);
  }
  if (o.records_per_file < 1) fail("--average N: N records per file, 1 or more", kExitUsage);
  if (!o.method.empty() && o.method != "fit" && o.method != "spectrum") {
    fail("bad method \"" + o.method + "\" (fit or spectrum)", kExitUsage);
  }
  if (!o.shape.empty() && o.shape != "sine" && o.shape != "ramp") {
    fail("--linearity \"" + o.shape + "\": the shape is sine or ramp (detected when not given)",
         kExitUsage);
  }
  window_of(o.window);
  if (!o.code_format.empty()) code_format_of(o.code_format);
  std::vector<Samples> files;
  if (o.capture.empty()) {
    for (const std::string& path : o.files) {
      files.push_back(read_samples(path, o.format, o.column));
      if (files.back().size() == 0) fail("\"" + path + "\" holds no samples", kExitFile);
    }
  } else {
    if (!o.format.empty() || o.column >= 0) {
      fail("a capture the server keeps has no file format or column to name", kExitUsage);
    }
    // Its samples as they came from the board; offset binary and its rate as the server
    // recorded them (--rate and --code-format still decide).
    KeptCapture k = fetch_kept_capture(remote, o.capture);
    Samples s;
    s.type = VRX5200_SAMPLES_UINT16;
    s.words = std::move(k.samples);
    s.unsigned_words = k.offset_binary;
    s.evenly_spaced = k.evenly_spaced;
    if (o.rate.empty()) rate = k.rate_hz;
    o.files = {k.name};
    if (s.size() == 0) fail("\"" + k.name + "\" holds no samples", kExitFile);
    files.push_back(std::move(s));
  }
  // A recording's rate unless --rate; its 8-bit codes of 8 bits unless --bits; its floating-point
  // values in fractions of full scale.
  if (o.rate.empty() && files[0].rate_hz > 0) rate = files[0].rate_hz;
  if (!o.bits_given && files[0].bits > 0) o.bits = files[0].bits;
  for (Samples& s : files) s.scale_fractions(o.bits);
  // Offset-binary captures are saved as '<u2' .npy files (ru16_le recordings): their code format
  // unless told.
  if (o.code_format.empty()) o.code_format = files[0].unsigned_words ? "offset" : "twos";
  if (o.linearity) return linearity(o, files);
  if ((o.two_tone || o.sine_fit) && !files[0].evenly_spaced) {
    // Neither has a figure that stands without even spacing: refused, as the core refuses input
    // that has no answer.
    fail("\"" + o.files[0] + "\": " + VRX5200Analysis_Warning_Text(VRX5200_WARN_UNEVEN_SAMPLES),
         kExitFile);
  }
  if (o.two_tone) return two_tone(o, files[0], rate);
  if (o.sine_fit) return sine_fit(o, files[0], rate);
  return single_tone(o, files, rate);
}

// The analyses other than the single-tone one (and averaging), which exclude each other.
void add_mode_options(CLI::App* analyze, AnalyzeOptions& a) {
  auto* average = analyze
                      ->add_option_function<std::string>(
                          "--average",
                          [&a](const std::string& v) {
                            a.average = true;
                            a.records_per_file =
                                v.empty() ? 1 : parse_number(v, "--average", 1, 1 << 20);
                          },
                          "average the spectra of the files (cut into N records each)")
                      ->expected(0, 1)
                      ->type_name("[N]");
  auto* two_tone = analyze->add_flag("--two-tone", a.two_tone, "two-tone analysis: IMD2 and IMD3");
  auto* linearity =
      analyze
          ->add_option_function<std::string>(
              "--linearity",
              [&a](const std::string& v) {
                a.linearity = true;
                a.shape = v;
              },
              "code density of a sine or ramp (detected when not given), over the "
              "histogram of all the files: DNL, end-point and best-fit INL, missing codes")
          ->expected(0, 1)
          ->type_name("[sine|ramp]");
  auto* fit = analyze
                  ->add_option_function<std::string>(
                      "--sine-fit",
                      [&a](const std::string& v) {
                        a.sine_fit = true;
                        a.fit_parameters =
                            v.empty() ? 4 : static_cast<int>(parse_number(v, "--sine-fit", 3, 4));
                      },
                      "least-squares sine fit of 4 parameters (3: at --fundamental): "
                      "amplitude, frequency, phase, offset, residual, SINAD, ENOB")
                  ->expected(0, 1)
                  ->type_name("[3|4]");
  linearity->excludes(two_tone)->excludes(fit)->excludes(average);
  two_tone->excludes(fit)->excludes(average);
  fit->excludes(average);
}

class AnalyzeCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    AnalyzeOptions& a = a_;
    auto* analyze = app.add_subcommand("analyze", "figures of capture files (no board needed)");
    analyze->add_option("FILE", a.files,
                        "capture file: raw 16-bit little-endian, CSV, .npy or a SigMF recording "
                        "(NAME.sigmf-meta, NAME.sigmf-data, NAME.sigmf); - for standard input; "
                        "several with --average or --linearity");
    analyze->add_option("--capture", a.capture,
                        "with -u: a capture the server keeps, by its id (vrx5200 -u URL list "
                        "--captures) or last, instead of a file");
    analyze->add_option("-O,--format", a.format,
                        "raw, csv, npy or sigmf (default: npy for a file that starts as one, else "
                        "by the extension); or offset or twos, as --code-format");
    analyze->add_option("--column", a.column, "the column of a 2-D .npy array to analyse")
        ->check(CLI::NonNegativeNumber);
    bits_ =
        analyze
            ->add_option("--bits", a.bits,
                         "the ADC's resolution (1 to 16 for words, to 32 for .npy values; 8 for an "
                         "8-bit recording)")
            ->capture_default_str()
            ->check(CLI::Range(1, 32));
    analyze->add_option("--code-format", a.code_format,
                        "twos or offset (default: offset for a '<u2' .npy file, else twos)");
    analyze->add_option("--rate", a.rate, "sample rate in Hz, with k, M or G");
    analyze
        ->add_option("--window", a.window, "rectangular, hann, blackmanharris or blackmanharris7")
        ->capture_default_str();
    analyze->add_option("--harmonics", a.harmonics, "highest harmonic order counted")
        ->capture_default_str()
        ->check(CLI::Range(2, 25));
    analyze->add_option("--method", a.method,
                        "fit: the tone fitted and subtracted before the window, true between "
                        "bins (default); spectrum: the record's own windowed spectrum");
    analyze->add_option("--fundamental", a.fundamental,
                        "the fundamental, in Hz (with --rate) or bins (2064bin); default: the "
                        "largest component");
    analyze->add_option("--band", a.band,
                        "the analysis band LOW:HIGH, in Hz or bins (0:20M, 100bin:5000bin)");
    analyze->add_option("--tone", a.tones,
                        "a tone to name in the answer, NAME=FREQUENCY in Hz or bins; "
                        "NAME=FREQUENCY:exclude takes it out of the noise and spurs (repeatable)");
    add_mode_options(analyze, a);
    analyze->add_flag("--strict", a.strict, "exit 4 when the analysis gives any warning");
    analyze->add_flag("--json", a.json, "one JSON object");
    analyze->footer(
        "Warnings (clipping, no tone, a withheld figure) go to standard error, or into the JSON "
        "object; they leave the exit status 0 unless --strict (then 4).\n\n"
        "Examples:\n  vrx5200 analyze capture.bin --rate 250M\n"
        "  vrx5200 analyze capture.npy --json --strict\n"
        "  vrx5200 analyze recording.sigmf-meta\n"
        "  vrx5200 analyze ramp.bin --linearity ramp --bits 12\n"
        "  vrx5200 analyze a.bin b.bin c.bin --average\n"
        "  vrx5200 analyze capture.bin --rate 250M --tone clock=62.5M:exclude\n"
        "  vrx5200 -u http://lab-pc:8520 analyze --capture last");
    return analyze;
  }
  int run(Context& ctx) override {
    a_.bits_given = bits_->count() > 0;
    return run_analyze(a_, ctx.global.remote);
  }

 private:
  AnalyzeOptions a_;
  CLI::Option* bits_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> analyze_command() {
  return std::make_unique<AnalyzeCommand>();
}

}  // namespace tool
