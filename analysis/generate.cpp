// DAC test patterns (IEEE Std 1658 terms): a tone, a multi-tone with low-crest-factor phases, a
// ramp and seeded Gaussian noise, coherent with the pattern and written as 16-bit words; and the
// coherent frequency nearest a wanted one.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "analysis/internal.h"

using namespace vrxa;

namespace {

constexpr size_t kChunk = 4096;

// xoshiro256** seeded through splitmix64: the same seed gives the same pattern everywhere.
struct Random {
  uint64_t s[4];
  explicit Random(uint64_t seed) {
    for (uint64_t& v : s) {
      seed += 0x9E3779B97F4A7C15ull;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      v = z ^ (z >> 31);
    }
  }
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t next() {
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
  double uniform() { return (static_cast<double>(next() >> 11) + 1.0) * 0x1.0p-53; }  // (0, 1]
  // Gaussian pairs by the Box-Muller transform.
  bool has_spare = false;
  double spare = 0;
  double normal() {
    if (has_spare) {
      has_spare = false;
      return spare;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double theta = 2.0 * kPi * uniform();
    spare = r * std::sin(theta);
    has_spare = true;
    return r * std::cos(theta);
  }
};

struct Tone {
  uint64_t cycles;
  double phase;
};

// Values of a pattern chunk by chunk, before scaling and rounding.
class Source {
 public:
  Source(const VRX5200SignalConfig& c, uint64_t n) : config_(c), n_(n), random_(c.seed) {
    if (c.kind == VRX5200_SIGNAL_TONE) {
      tones_.push_back({c.cycles, c.phase_rad});
    } else if (c.kind == VRX5200_SIGNAL_MULTITONE) {
      const double k = static_cast<double>(c.tone_count);
      for (uint32_t i = 0; i < c.tone_count; ++i) {
        const double j = static_cast<double>(i + 1);
        const double phase = c.phases == VRX5200_PHASES_SCHROEDER ? -kPi * j * (j - 1) / k
                                                                  : kPi * (j - 1) * (j - 1) / k;
        tones_.push_back({c.tone_cycles[i], std::remainder(phase, 2 * kPi)});
      }
    }
  }
  // Values i0 .. i0+len of the unit-amplitude pattern (noise: unit RMS).
  void fill(uint64_t i0, size_t len, double* out) {
    const double nd = static_cast<double>(n_);
    if (config_.kind == VRX5200_SIGNAL_NOISE) {
      for (size_t j = 0; j < len; ++j) out[j] = random_.normal();
      return;
    }
    if (config_.kind == VRX5200_SIGNAL_RAMP) {
      for (size_t j = 0; j < len; ++j) {
        const uint64_t phase = (config_.cycles * (i0 + j)) % n_;
        out[j] = -1.0 + 2.0 * static_cast<double>(phase) / nd;
      }
      return;
    }
    std::fill(out, out + len, 0.0);
    for (const Tone& t : tones_) {
      // Exact phase every 256 samples (the cycle count times the index, reduced modulo n), a
      // rotation in between.
      const double step = 2.0 * kPi * static_cast<double>(t.cycles) / nd;
      const double cs = std::cos(step), ss = std::sin(step);
      double c = 0, s = 0;
      for (size_t j = 0; j < len; ++j) {
        if (j % 256 == 0) {
          const uint64_t whole = (t.cycles * (i0 + j)) % n_;
          const double theta = 2.0 * kPi * static_cast<double>(whole) / nd + t.phase;
          c = std::cos(theta);
          s = std::sin(theta);
        } else {
          const double nc = c * cs - s * ss;
          s = s * cs + c * ss;
          c = nc;
        }
        out[j] += c;
      }
    }
  }

 private:
  VRX5200SignalConfig config_;
  uint64_t n_;
  Random random_;
  std::vector<Tone> tones_;
};

int32_t check_config(const VRX5200SignalConfig& c, uint64_t n) {
  if (c.kind < VRX5200_SIGNAL_TONE || c.kind > VRX5200_SIGNAL_NOISE) {
    return VRX5200_ANALYSIS_BAD_SIGNAL_KIND;
  }
  if (c.bits < 1 || c.bits > 16) return VRX5200_ANALYSIS_BAD_BITS;
  if (c.code_format != VRX5200_TWOS_COMPLEMENT && c.code_format != VRX5200_OFFSET_BINARY) {
    return VRX5200_ANALYSIS_BAD_CODE_FORMAT;
  }
  if (n < 2) return VRX5200_ANALYSIS_TOO_FEW_SAMPLES;
  if (n > (uint64_t{1} << 32)) return VRX5200_ANALYSIS_TOO_MANY_SAMPLES;
  if (!std::isfinite(c.amplitude_dbfs) || c.amplitude_dbfs > 20 || c.amplitude_dbfs < -300) {
    return VRX5200_ANALYSIS_BAD_AMPLITUDE;
  }
  if (c.kind == VRX5200_SIGNAL_TONE) {
    if (c.cycles == 0 || c.cycles >= (n + 1) / 2) return VRX5200_ANALYSIS_BAD_TONES;
    if (!std::isfinite(c.phase_rad)) return VRX5200_ANALYSIS_BAD_FREQUENCY;
  }
  if (c.kind == VRX5200_SIGNAL_RAMP && (c.cycles == 0 || c.cycles > n / 2)) {
    return VRX5200_ANALYSIS_BAD_TONES;
  }
  if (c.kind == VRX5200_SIGNAL_MULTITONE) {
    if (c.phases != VRX5200_PHASES_SCHROEDER && c.phases != VRX5200_PHASES_NEWMAN) {
      return VRX5200_ANALYSIS_BAD_PHASES;
    }
    if (c.tone_count == 0 || c.tone_count > VRX5200_MAX_PATTERN_TONES)
      return VRX5200_ANALYSIS_BAD_TONES;
    if (c.tone_cycles == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
    for (uint32_t i = 0; i < c.tone_count; ++i) {
      if (c.tone_cycles[i] == 0 || c.tone_cycles[i] >= (n + 1) / 2)
        return VRX5200_ANALYSIS_BAD_TONES;
    }
  }
  return VRX5200_ANALYSIS_OK;
}

// Generates the pattern, handing each chunk of words to emit (false: stop with FILE_WRITE_FAILED).
int32_t generate(const VRX5200SignalConfig& c, uint64_t n, VRX5200SignalResult* result,
                 const std::function<bool(const uint16_t*, size_t)>& emit) {
  int32_t code = check_config(c, n);
  if (code != VRX5200_ANALYSIS_OK) return code;
  const double full = std::ldexp(1.0, c.bits - 1);
  const double level = std::pow(10.0, c.amplitude_dbfs / 20.0) * full;
  double scale = level;  // tone and ramp: the unit pattern's peak is 1
  double values[kChunk];
  if (c.kind == VRX5200_SIGNAL_NOISE) scale = level / std::sqrt(2.0);  // a sine's RMS
  if (c.kind == VRX5200_SIGNAL_MULTITONE) {
    // The composite's peak, found in a first pass, is set to the level.
    Source peak_source(c, n);
    double peak = 0;
    for (uint64_t i0 = 0; i0 < n; i0 += kChunk) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(kChunk, n - i0));
      peak_source.fill(i0, len, values);
      for (size_t j = 0; j < len; ++j) peak = std::max(peak, std::fabs(values[j]));
    }
    scale = peak > 0 ? level / peak : 0.0;
  }
  const double low = -full, high = full - 1;
  const double offset = c.code_format == VRX5200_OFFSET_BINARY ? full : 0.0;
  Source source(c, n);
  uint16_t words[kChunk];
  uint64_t clipped = 0;
  double peak = 0, sum_squares = 0;
  for (uint64_t i0 = 0; i0 < n; i0 += kChunk) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(kChunk, n - i0));
    source.fill(i0, len, values);
    for (size_t j = 0; j < len; ++j) {
      double v = std::floor(values[j] * scale + 0.5);
      if (v < low || v > high) {
        ++clipped;
        v = std::clamp(v, low, high);
      }
      peak = std::max(peak, std::fabs(v));
      sum_squares += v * v;
      // Two's complement: the value's low 16 bits (sign-extended); offset binary: value + half.
      words[j] = static_cast<uint16_t>(static_cast<int64_t>(v + offset) & 0xFFFF);
    }
    if (!emit(words, len)) return VRX5200_ANALYSIS_FILE_WRITE_FAILED;
  }
  if (result != nullptr) {
    VRX5200SignalResult r{};
    r.version = VRX5200_ANALYSIS_VERSION;
    r.words = n;
    r.clipped = clipped;
    r.peak_codes = peak;
    r.rms_codes = std::sqrt(sum_squares / static_cast<double>(n));
    r.crest_factor_db = r.rms_codes > 0 && peak > 0 ? 20 * std::log10(peak / r.rms_codes) : 0.0;
    if (c.kind == VRX5200_SIGNAL_TONE) r.tone_dbfs = c.amplitude_dbfs;
    if (c.kind == VRX5200_SIGNAL_MULTITONE) {
      r.tone_dbfs = scale > 0 ? 20 * std::log10(scale / full) : -HUGE_VAL;
    }
    *result = r;
  }
  return VRX5200_ANALYSIS_OK;
}

// A pattern file written whole or not at all: the words go to a temporary file beside the target,
// renamed over it only once they are all written; a refusal, a failed write or an exception
// removes the temporary and leaves the target as it was. A target that exists and is not a
// regular file (a device such as /dev/stdout or /dev/null, a named pipe) is written in place, every
// error still counted. std::filesystem keeps this portable: its rename replaces an existing file
// on Windows too (where std::rename refuses to), and the error_code forms throw nothing.
class WholeFile {
 public:
  explicit WholeFile(const char* path) : target_(path) {
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(target_, ec))) {
      const std::filesystem::path resolved = std::filesystem::canonical(target_, ec);
      if (!ec) target_ = resolved;  // the file the link names is replaced, the link stays
    }
    const std::filesystem::file_status s = std::filesystem::status(target_, ec);
    in_place_ = std::filesystem::exists(s) && !std::filesystem::is_regular_file(s);
    keep_permissions_ = std::filesystem::is_regular_file(s);  // the new file gets the old one's
    permissions_ = s.permissions();
  }
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  ~WholeFile() { finish(false); }

  // Opens the file written: the target itself, or a new temporary beside it.
  std::FILE* open() {
    if (in_place_) return file_ = std::fopen(target_.string().c_str(), "wb");
    if (target_.filename().empty()) return nullptr;
    std::error_code ec;
    if (std::filesystem::exists(target_, ec)) {
      // A file the caller may not write is not replaced either (opening it to append changes
      // nothing in it).
      std::FILE* probe = std::fopen(target_.string().c_str(), "ab");
      if (probe == nullptr) return nullptr;
      std::fclose(probe);
    }
    static std::atomic<uint64_t> counter{0};
    const auto now =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 64; ++attempt) {
      char unique[24];
      std::snprintf(unique, sizeof unique, "%012llx",
                    static_cast<unsigned long long>((now ^ (counter++ * 0x9E3779B97F4A7C15ull)) &
                                                    0xFFFFFFFFFFFFull));
      // Appended piece by piece: GCC 12 at -O3 misreads "." + std::string as an overlapping copy.
      std::string name(1, '.');
      name += target_.filename().string();
      name += '.';
      name += unique;
      name += ".tmp";
      const std::filesystem::path candidate = target_.parent_path() / name;
      if (std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) continue;
      file_ = std::fopen(candidate.string().c_str(), "wb");
      if (file_ != nullptr) temporary_ = candidate;
      return file_;
    }
    return nullptr;
  }

  // Closes the file; when complete (and the close lost nothing) the temporary takes the target's
  // place, else it is removed. True when the target now holds everything written.
  bool finish(bool complete) {
    bool ok = complete;
    if (file_ != nullptr) ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (temporary_.empty()) return ok;
    std::error_code ec;
    if (ok && keep_permissions_) std::filesystem::permissions(temporary_, permissions_, ec);
    if (ok) std::filesystem::rename(temporary_, target_, ec);
    const bool renamed = ok && !ec;
    if (!renamed) std::filesystem::remove(temporary_, ec);
    temporary_.clear();
    return renamed;
  }

 private:
  std::filesystem::path target_, temporary_;
  std::FILE* file_ = nullptr;
  bool in_place_ = false, keep_permissions_ = false;
  std::filesystem::perms permissions_ = std::filesystem::perms::none;
};

bool is_prime(uint64_t v) {
  if (v < 2) return false;
  for (uint64_t d = 2; d * d <= v; ++d) {
    if (v % d == 0) return false;
  }
  return true;
}

}  // namespace

extern "C" {

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Generate(
    VRX5200SignalConfig config, uint16_t* words, uint64_t n, VRX5200SignalResult* result) try {
  if (words == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  uint16_t* out = words;
  return generate(config, n, result, [&out](const uint16_t* w, size_t len) {
    std::memcpy(out, w, len * sizeof(uint16_t));
    out += len;
    return true;
  });
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Generate_File(
    VRX5200SignalConfig config, const char* path, uint64_t n, VRX5200SignalResult* result) try {
  if (path == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  const int32_t checked = check_config(config, n);
  if (checked != VRX5200_ANALYSIS_OK) return checked;
  WholeFile whole(path);
  std::FILE* file = whole.open();
  if (file == nullptr) return VRX5200_ANALYSIS_FILE_OPEN_FAILED;
  unsigned char bytes[2 * kChunk];
  VRX5200SignalResult r{};
  const int32_t code = generate(config, n, &r, [&](const uint16_t* w, size_t len) {
    for (size_t j = 0; j < len; ++j) {  // little-endian whatever the host
      bytes[2 * j] = static_cast<unsigned char>(w[j] & 0xFF);
      bytes[2 * j + 1] = static_cast<unsigned char>(w[j] >> 8);
    }
    return std::fwrite(bytes, 1, 2 * len, file) == 2 * len;
  });
  if (code != VRX5200_ANALYSIS_OK) return code;  // the temporary goes with `whole`
  if (!whole.finish(true)) return VRX5200_ANALYSIS_FILE_WRITE_FAILED;
  if (result != nullptr) *result = r;
  return code;
} catch (...) {  // allocation failures: nothing escapes the C boundary
  return VRX5200_ANALYSIS_OUT_OF_MEMORY;
}

VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Coherent_Frequency(
    double rate_hz, uint64_t n, double wanted_hz, uint64_t* cycles, double* frequency_hz) {
  if (cycles == nullptr || frequency_hz == nullptr) return VRX5200_ANALYSIS_NULL_POINTER;
  if (!(std::isfinite(rate_hz) && rate_hz > 0)) return VRX5200_ANALYSIS_BAD_RATE;
  if (n < 4) return VRX5200_ANALYSIS_TOO_FEW_SAMPLES;
  if (n > (uint64_t{1} << 40)) return VRX5200_ANALYSIS_TOO_MANY_SAMPLES;
  if (!(std::isfinite(wanted_hz) && wanted_hz > 0 && wanted_hz < rate_hz / 2)) {
    return VRX5200_ANALYSIS_BAD_FREQUENCY;
  }
  const double target = wanted_hz * static_cast<double>(n) / rate_hz;
  const uint64_t limit = (n - 1) / 2;  // below half the record: J < n / 2
  auto usable = [&](uint64_t j) { return j >= 2 && j <= limit && is_prime(j) && n % j != 0; };
  const uint64_t below = static_cast<uint64_t>(std::floor(target));
  // Outward from the target: the nearest usable count on either side.
  uint64_t best = 0;
  double best_distance = HUGE_VAL;
  for (uint64_t j = std::min(below, limit); j >= 2; --j) {
    if (usable(j)) {
      best = j;
      best_distance = target - static_cast<double>(j);
      break;
    }
  }
  for (uint64_t j = below + 1; j <= limit; ++j) {
    if (static_cast<double>(j) - target >= best_distance) break;
    if (usable(j)) {
      best = j;
      break;
    }
  }
  if (best == 0) return VRX5200_ANALYSIS_NO_COHERENT_FREQUENCY;
  *cycles = best;
  *frequency_hz = static_cast<double>(best) * rate_hz / static_cast<double>(n);
  return VRX5200_ANALYSIS_OK;
}

}  // extern "C"
