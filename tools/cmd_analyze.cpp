// vrx5200 analyze: the figures of a capture file (no board needed): single-tone, two-tone or
// code density, in lines or as one JSON object.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "client/json.h"
#include "client/units.h"
#include "tools/commands.h"
#include "tools/failure.h"
#include "tools/measure.h"
#include "vrx5200_analysis.h"

namespace tool {

using client::format_hertz;
using client::JsonObject;

namespace {

struct AnalyzeOptions {
  std::string file;
  std::string capture;  // -u: a capture the server keeps (its id, or "last"), instead of a file
  std::string format;   // raw, csv or npy (empty: by the extension); or the code format
  int bits = 16;
  std::string code_format;  // twos or offset; empty: offset for a '<u2' .npy, else twos
  std::string rate;         // Hz with k/M/G; empty: unknown
  std::string window = "blackmanharris";
  int harmonics = 5;
  bool two_tone = false;
  bool linearity = false;
  bool json = false;
};

// The whole of a file, or of standard input for "-"; a file that cannot be read fails with the
// file exit code.
std::string read_all(const std::string& path) {
  std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) fail("cannot open \"" + path + "\": " + errno_text(), kExitFile);
  std::string bytes;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
  const bool failed = std::ferror(in) != 0;
  const std::string reason = errno_text();
  if (in != stdin) std::fclose(in);
  if (failed) fail("cannot read \"" + path + "\": " + reason, kExitFile);
  return bytes;
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::vector<uint16_t> read_npy(const std::string& path, const std::string& bytes,
                               bool& unsigned_words) {
  // Magic, version, header length, then the header dictionary and the data.
  if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) {
    fail("\"" + path + "\" is not a .npy file", kExitFile);
  }
  const bool v1 = bytes[6] == 1;
  const size_t length_size = v1 ? 2 : 4;
  if (bytes.size() < 8 + length_size) fail("\"" + path + "\" is not a .npy file", kExitFile);
  size_t header = 0;
  for (size_t i = 0; i < length_size; ++i) {
    header |= static_cast<size_t>(static_cast<unsigned char>(bytes[8 + i])) << (8 * i);
  }
  const size_t data = 8 + length_size + header;
  const std::string dict = bytes.substr(8 + length_size, header);
  if (data > bytes.size() || dict.find("'fortran_order': False") == std::string::npos ||
      (dict.find("'<i2'") == std::string::npos && dict.find("'<u2'") == std::string::npos)) {
    fail("\"" + path + "\" does not hold 16-bit little-endian samples in one row", kExitFile);
  }
  unsigned_words = dict.find("'<u2'") != std::string::npos;
  if ((bytes.size() - data) % 2 != 0) fail("\"" + path + "\" ends part-way through a sample", 3);
  // The header's shape must be the samples the file holds: a cut-off file is not a capture.
  const size_t shape = dict.find("'shape': (");
  char* end = nullptr;
  const unsigned long long claimed =
      shape == std::string::npos ? 0 : std::strtoull(dict.c_str() + shape + 10, &end, 10);
  if (shape == std::string::npos || end == dict.c_str() + shape + 10 || *end != ',' ||
      end[1] != ')') {
    fail("\"" + path + "\" does not hold 16-bit little-endian samples in one row", kExitFile);
  }
  if (claimed != (bytes.size() - data) / 2) {
    fail("\"" + path + "\" holds " + std::to_string((bytes.size() - data) / 2) +
             " samples where its header claims " + std::to_string(claimed),
         kExitFile);
  }
  std::vector<uint16_t> s((bytes.size() - data) / 2);
  std::memcpy(s.data(), bytes.data() + data, 2 * s.size());
  return s;
}

std::vector<uint16_t> read_csv(const std::string& path, const std::string& bytes) {
  std::vector<uint16_t> s;
  std::istringstream in(bytes);
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line == "\r") continue;
    char* end = nullptr;
    const long v = std::strtol(line.c_str(), &end, 10);
    while (*end == ' ' || *end == '\r' || *end == '\t') ++end;
    if (end == line.c_str() || *end != '\0' || v < -32768 || v > 65535) {
      fail("\"" + path + "\" line " + std::to_string(number) + " is not a 16-bit sample",
           kExitFile);
    }
    s.push_back(static_cast<uint16_t>(v));
  }
  return s;
}

int32_t window_of(const std::string& name) {
  if (const std::optional<int32_t> w = client::window_named(name)) return *w;
  fail("bad window \"" + name + "\" (" + client::window_names(", ") + ")", kExitUsage);
}

std::string fixed2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

int single_tone(const AnalyzeOptions& o, const std::vector<uint16_t>& s, double rate) {
  VRX5200ToneConfig config{};
  config.bits = o.bits;
  config.code_format = code_format_of(o.code_format);
  config.window = window_of(o.window);
  config.harmonics = o.harmonics;
  config.rate_hz = rate;
  VRX5200ToneResult r{};
  check_core("analysis", VRX5200Analysis_Single_Tone(nullptr, s.data(), VRX5200_SAMPLES_UINT16,
                                                     s.size(), config, &r, nullptr));
  const VRX5200ToneRecord& f = r.tones[0];
  // Frequencies of bins, as the Python package reports them: bin x rate / n.
  const auto bin_hz = [&](uint64_t bin) {
    return static_cast<double>(bin) * rate / static_cast<double>(s.size());
  };
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.file).add_int("samples", static_cast<int64_t>(s.size()));
    j.add_int("bits", o.bits)
        .add_bool("offset_binary", config.code_format == VRX5200_OFFSET_BINARY)
        .add_string("window", o.window);
    j.add_int("fundamental_bin", static_cast<int64_t>(f.bin));
    if (rate > 0) j.add_number("rate_hz", rate).add_number("fundamental_hz", bin_hz(f.bin));
    j.add_number("fundamental_cycles", f.cycles);
    j.add_number("fundamental_dbfs", r.fundamental_dbfs).add_number("snr_db", r.snr_db);
    j.add_number("sinad_db", r.sinad_db).add_number("sfdr_dbc", r.sfdr_dbc);
    if (r.thd_measured) {
      j.add_number("thd_dbc", r.thd_dbc);
    } else {
      j.add_null("thd_dbc");
    }
    j.add_number("enob", r.enob_bits).add_number("enob_bits", r.enob_bits);
    j.add_number("noise_floor_dbfs", r.noise_floor_dbfs).add_number("noise_dbfs", r.noise_dbfs);
    if (rate > 0) j.add_number("nsd_dbfs_hz", r.nsd_dbfs_hz);
    JsonObject spur;
    spur.add_int("bin", static_cast<int64_t>(r.worst_spur_bin))
        .add_string("kind", r.worst_spur_kind == VRX5200_SPUR_HARMONIC ? "harmonic" : "other")
        .add_int("order", r.worst_spur_order);
    if (rate > 0) spur.add_number("frequency_hz", bin_hz(r.worst_spur_bin));
    j.add_object("worst_spur", spur);
    std::vector<JsonObject> harmonics;
    for (int h = 2; h <= o.harmonics; ++h) {
      const VRX5200ToneRecord& t = r.tones[h - 1];
      if (!t.counted) continue;
      JsonObject one;
      one.add_int("order", h).add_int("bin", static_cast<int64_t>(t.bin));
      one.add_number("level_dbc", t.level_dbc);
      if (rate > 0) one.add_number("frequency_hz", bin_hz(t.bin));
      harmonics.push_back(one);
    }
    j.add_array("harmonics", harmonics);
    std::printf("%s\n", j.text().c_str());
    return 0;
  }
  // The same lines, to the digit, as the Python package's analysis prints.
  std::string where = "bin " + std::to_string(f.bin);
  if (rate > 0) where += " (" + format_hertz(bin_hz(f.bin)) + ")";
  std::printf("%s: %zu samples\n", o.file.c_str(), s.size());
  std::printf("fundamental: %s, %s dBFS\n", where.c_str(), fixed2(r.fundamental_dbfs).c_str());
  std::string spur = "bin " + std::to_string(r.worst_spur_bin);
  if (rate > 0) spur += ", " + format_hertz(bin_hz(r.worst_spur_bin));
  spur += r.worst_spur_kind == VRX5200_SPUR_HARMONIC
              ? ", harmonic " + std::to_string(r.worst_spur_order)
              : std::string(", not a harmonic");
  std::printf("SNR:   %s dB\nSINAD: %s dB\nSFDR:  %s dBc (worst spur: %s)\n",
              fixed2(r.snr_db).c_str(), fixed2(r.sinad_db).c_str(), fixed2(r.sfdr_dbc).c_str(),
              spur.c_str());
  std::printf("THD:   %s\n",
              r.thd_measured ? (fixed2(r.thd_dbc) + " dBc").c_str() : "n/a (no harmonic clear)");
  std::printf("ENOB:  %s bits\nnoise floor: %s dBFS per bin\n", fixed2(r.enob_bits).c_str(),
              fixed2(r.noise_floor_dbfs).c_str());
  if (rate > 0) std::printf("noise spectral density: %s dBFS/Hz\n", fixed2(r.nsd_dbfs_hz).c_str());
  return 0;
}

// The intermodulation products in the order of the two-tone record, f1 < f2.
constexpr const char* kProductNames[6] = {"f2-f1", "f1+f2", "2f1-f2", "2f2-f1", "2f1+f2", "2f2+f1"};

int two_tone(const AnalyzeOptions& o, const std::vector<uint16_t>& s, double rate) {
  VRX5200TwoToneConfig config{};
  config.bits = o.bits;
  config.code_format = code_format_of(o.code_format);
  config.window = window_of(o.window);
  config.rate_hz = rate;
  const auto bin_hz = [&](uint64_t bin) {
    return static_cast<double>(bin) * rate / static_cast<double>(s.size());
  };
  VRX5200TwoToneResult r{};
  check_core(
      "two-tone analysis",
      VRX5200Analysis_Two_Tone(nullptr, s.data(), VRX5200_SAMPLES_UINT16, s.size(), config, &r));
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.file).add_int("samples", static_cast<int64_t>(s.size()));
    j.add_int("tone1_bin", static_cast<int64_t>(r.tones[0].bin));
    j.add_int("tone2_bin", static_cast<int64_t>(r.tones[1].bin));
    j.add_number("tone1_dbfs", r.tones[0].power_dbfs)
        .add_number("tone2_dbfs", r.tones[1].power_dbfs);
    if (rate > 0) {
      j.add_number("rate_hz", rate)
          .add_number("tone1_hz", bin_hz(r.tones[0].bin))
          .add_number("tone2_hz", bin_hz(r.tones[1].bin));
    }
    std::vector<JsonObject> products;
    for (int p = 0; p < 6; ++p) {
      const VRX5200ToneRecord& t = r.products[p];
      JsonObject one;
      one.add_string("product", kProductNames[p]).add_int("order", t.order);
      one.add_int("bin", static_cast<int64_t>(t.bin)).add_bool("counted", t.counted != 0);
      if (t.counted) {
        one.add_number("level_dbc", t.level_dbc);
      } else {
        one.add_null("level_dbc");
      }
      if (rate > 0) one.add_number("frequency_hz", bin_hz(t.bin));
      products.push_back(one);
    }
    j.add_array("products", products);
    if (r.imd2_measured)
      j.add_number("imd2_dbc", r.imd2_dbc);
    else
      j.add_null("imd2_dbc");
    if (r.imd3_measured)
      j.add_number("imd3_dbc", r.imd3_dbc);
    else
      j.add_null("imd3_dbc");
    j.add_number("noise_floor_dbfs", r.noise_floor_dbfs);
    std::printf("%s\n", j.text().c_str());
    return 0;
  }
  std::printf("%s: %zu samples\n", o.file.c_str(), s.size());
  for (int t = 0; t < 2; ++t) {
    std::printf("tone %d: bin %llu, %s dBFS\n", t + 1,
                static_cast<unsigned long long>(r.tones[t].bin),
                fixed2(r.tones[t].power_dbfs).c_str());
  }
  std::printf("IMD2:  %s\nIMD3:  %s\n",
              r.imd2_measured ? (fixed2(r.imd2_dbc) + " dBc").c_str() : "n/a",
              r.imd3_measured ? (fixed2(r.imd3_dbc) + " dBc").c_str() : "n/a");
  for (int p = 0; p < 6; ++p) {
    const VRX5200ToneRecord& t = r.products[p];
    std::string at = "bin " + std::to_string(t.bin);
    if (rate > 0) at += " (" + format_hertz(bin_hz(t.bin)) + ")";
    std::printf(
        "  %-6s %s, %s\n", kProductNames[p], at.c_str(),
        t.counted ? (fixed2(t.level_dbc) + " dBc").c_str() : "not counted (in a tone's lobe)");
  }
  return 0;
}

int linearity(const AnalyzeOptions& o, const std::vector<uint16_t>& s) {
  VRX5200CodeDensityResult r{};
  check_core("code-density test",
             VRX5200Analysis_Code_Density(s.data(), VRX5200_SAMPLES_UINT16, s.size(), o.bits,
                                          code_format_of(o.code_format), nullptr, nullptr, &r));
  if (o.json) {
    JsonObject j;
    j.add_string("file", o.file).add_int("samples", static_cast<int64_t>(s.size()));
    j.add_int("first_code", r.first_code).add_int("last_code", r.last_code);
    j.add_int("missing_codes", r.missing_codes);
    j.add_number("dnl_min_lsb", r.dnl_min_lsb).add_number("dnl_max_lsb", r.dnl_max_lsb);
    j.add_number("inl_min_lsb", r.inl_min_lsb).add_number("inl_max_lsb", r.inl_max_lsb);
    std::printf("%s\n", j.text().c_str());
    return 0;
  }
  std::printf("%s: %zu samples, codes %u to %u, %u missing\n", o.file.c_str(), s.size(),
              r.first_code, r.last_code, r.missing_codes);
  std::printf("DNL: %s to %s LSB\nINL: %s to %s LSB\n", fixed2(r.dnl_min_lsb).c_str(),
              fixed2(r.dnl_max_lsb).c_str(), fixed2(r.inl_min_lsb).c_str(),
              fixed2(r.inl_max_lsb).c_str());
  return 0;
}

// The samples of a capture file: raw 16-bit little-endian, CSV (one decimal per line) or .npy
// ('<i2' or '<u2'). `unsigned_words`, when not null, tells whether a .npy file holds '<u2' words.
std::vector<uint16_t> read_capture(const std::string& path, const std::string& format,
                                   bool* unsigned_words) {
  bool u2 = false;
  if (unsigned_words != nullptr) *unsigned_words = false;
  const std::string bytes = read_all(path);
  // A .npy file says what it is (its magic string) whatever its name; other files go by their
  // name, and -O overrides both.
  const bool npy_magic = bytes.compare(0, 6, "\x93NUMPY") == 0;
  const std::string f = !format.empty()           ? format
                        : npy_magic               ? "npy"
                        : ends_with(path, ".npy") ? "npy"
                        : ends_with(path, ".csv") ? "csv"
                                                  : "raw";
  if (f == "npy") {
    std::vector<uint16_t> s = read_npy(path, bytes, u2);
    if (unsigned_words != nullptr) *unsigned_words = u2;
    return s;
  }
  if (f == "csv") return read_csv(path, bytes);
  if (f != "raw") fail("bad format \"" + f + "\" (raw, csv or npy)", kExitUsage);
  if (bytes.size() % 2 != 0) fail("\"" + path + "\" ends part-way through a sample", kExitFile);
  std::vector<uint16_t> s(bytes.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<uint16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  }
  return s;
}

int run_analyze(AnalyzeOptions o, const RemoteOptions& remote) {
  if (o.file.empty() == o.capture.empty()) {
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
  bool unsigned_words = false;
  std::vector<uint16_t> s;
  if (o.capture.empty()) {
    s = read_capture(o.file, o.format, &unsigned_words);
  } else {
    if (!o.format.empty())
      fail("a capture the server keeps has no file format to name", kExitUsage);
    // Its samples as they came from the board; offset binary and its rate as the server
    // recorded them (--rate and --code-format still decide).
    KeptCapture k = fetch_kept_capture(remote, o.capture);
    s = std::move(k.samples);
    unsigned_words = k.offset_binary;
    if (o.rate.empty()) rate = k.rate_hz;
    o.file = k.name;
  }
  if (s.empty()) fail("\"" + o.file + "\" holds no samples", kExitFile);
  // Offset-binary captures are saved as '<u2' .npy files: their code format unless told.
  if (o.code_format.empty()) o.code_format = unsigned_words ? "offset" : "twos";
  if (o.linearity) return linearity(o, s);
  if (o.two_tone) return two_tone(o, s, rate);
  return single_tone(o, s, rate);
}

class AnalyzeCommand : public Command {
 public:
  CLI::App* add_to(CLI::App& app) override {
    AnalyzeOptions& a = a_;
    auto* analyze = app.add_subcommand("analyze", "figures of a capture file (no board needed)");
    analyze->add_option("FILE", a.file,
                        "capture file: raw 16-bit little-endian, CSV or .npy; - for standard "
                        "input");
    analyze->add_option("--capture", a.capture,
                        "with -u: a capture the server keeps, by its id (vrx5200 -u URL list "
                        "--captures) or last, instead of a file");
    analyze->add_option("-O,--format", a.format,
                        "raw, csv or npy (default: npy for a file that starts as one, else by "
                        "the extension); or offset or twos, as --code-format");
    analyze->add_option("--bits", a.bits, "the ADC's resolution")
        ->capture_default_str()
        ->check(CLI::Range(1, 16));
    analyze->add_option("--code-format", a.code_format,
                        "twos or offset (default: offset for a '<u2' .npy file, else twos)");
    analyze->add_option("--rate", a.rate, "sample rate in Hz, with k, M or G");
    analyze
        ->add_option("--window", a.window, "rectangular, hann, blackmanharris or blackmanharris7")
        ->capture_default_str();
    analyze->add_option("--harmonics", a.harmonics, "highest harmonic order counted")
        ->capture_default_str()
        ->check(CLI::Range(2, 25));
    auto* two_tone =
        analyze->add_flag("--two-tone", a.two_tone, "two-tone analysis: IMD2 and IMD3");
    analyze->add_flag("--linearity", a.linearity, "code-density test of a sine: DNL, INL")
        ->excludes(two_tone);
    analyze->add_flag("--json", a.json, "one JSON object");
    analyze->footer(
        "Examples:\n  vrx5200 analyze capture.bin --rate 250M\n"
        "  vrx5200 analyze capture.npy --json\n  vrx5200 analyze ramp.bin --linearity --bits 12\n"
        "  vrx5200 -u http://lab-pc:8520 analyze --capture last");
    return analyze;
  }
  int run(Context& ctx) override { return run_analyze(a_, ctx.global.remote); }

 private:
  AnalyzeOptions a_;
};

}  // namespace

std::unique_ptr<Command> analyze_command() {
  return std::make_unique<AnalyzeCommand>();
}

}  // namespace tool
