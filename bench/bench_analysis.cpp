// The measurement core's cost: single-tone analysis of a 1 Mi-sample int16 capture (the work of
// `metrics()` in the Python package), with the analyzer kept between records and made anew for
// each; and a 16 Mi-sample record, whose counters give the memory the analysis took beyond the
// capture itself (the process's peak resident set before and after).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vrx5200_analysis.h"

namespace {

// A two's complement capture: a coherent -1 dBFS tone with Gaussian noise, from the generator.
std::vector<int16_t> capture(uint64_t n) {
  std::vector<uint16_t> tone(n), noise(n);
  VRX5200SignalConfig c{};
  c.kind = VRX5200_SIGNAL_TONE;
  c.bits = 16;
  c.amplitude_dbfs = -1.0;
  c.cycles = 16339 * (n >> 20 ? n >> 20 : 1);
  VRX5200Analysis_Generate(c, tone.data(), n, nullptr);
  c.kind = VRX5200_SIGNAL_NOISE;
  c.amplitude_dbfs = -80.0;
  c.seed = 1241;
  VRX5200Analysis_Generate(c, noise.data(), n, nullptr);
  std::vector<int16_t> x(n);
  for (uint64_t i = 0; i < n; ++i)
    x[i] = static_cast<int16_t>(static_cast<int16_t>(tone[i]) / 2 + static_cast<int16_t>(noise[i]));
  return x;
}

VRX5200ToneConfig config(int32_t window) {
  VRX5200ToneConfig c{};
  c.bits = 16;
  c.window = window;
  c.harmonics = 5;
  c.rate_hz = 250e6;
  return c;
}

// range(0): the window; range(1): the analyzer's threads (0 automatic, 1, 2).
void run(benchmark::State& state, uint64_t n, bool keep_analyzer) {
  const std::vector<int16_t> x = capture(n);
  const int32_t window = static_cast<int32_t>(state.range(0));
  VRX5200Analyzer* analyzer = nullptr;
  if (keep_analyzer) VRX5200Analysis_Create(n, static_cast<int32_t>(state.range(1)), &analyzer);
  VRX5200ToneResult r{};
  for (auto _ : state) {
    if (VRX5200Analysis_Single_Tone(analyzer, x.data(), VRX5200_SAMPLES_INT16, n, config(window),
                                    &r, nullptr) != 0) {
      state.SkipWithError("analysis failed");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  VRX5200Analysis_Destroy(analyzer);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.counters["snr_db"] = r.snr_db;
}

void BM_SingleTone1Mi(benchmark::State& state) {
  run(state, uint64_t{1} << 20, true);
}
void BM_SingleTone1MiNewAnalyzer(benchmark::State& state) {
  run(state, uint64_t{1} << 20, false);
}
BENCHMARK(BM_SingleTone1Mi)
    ->ArgsProduct({{VRX5200_WINDOW_RECTANGULAR, VRX5200_WINDOW_HANN,
                    VRX5200_WINDOW_BLACKMAN_HARRIS_4, VRX5200_WINDOW_BLACKMAN_HARRIS_7},
                   {1, 2}})
    ->ArgNames({"window", "threads"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SingleTone1MiNewAnalyzer)
    ->Args({VRX5200_WINDOW_BLACKMAN_HARRIS_4, 0})
    ->ArgNames({"window", "threads"})
    ->Unit(benchmark::kMillisecond);

// A field of /proc/self/status (VmHWM: the peak resident set; VmRSS: the current one) in bytes.
double status_bytes(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, std::strlen(field)) == 0)
      kib = std::strtod(line + std::strlen(field), nullptr);
  }
  std::fclose(f);
  return kib * 1024;
}

// 16 Mi samples with an analyzer made and freed in each run: input_bytes is the capture (2 bytes
// a sample), extra_bytes how much the peak resident set grew for the analysis beyond it.
void BM_SingleTone16Mi(benchmark::State& state) {
  const uint64_t n = uint64_t{1} << 24;
  const std::vector<int16_t> x = capture(n);
  // The peak is set back to the present (the capture's making had temporaries of its own).
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
  const double before = status_bytes("VmRSS:");
  VRX5200ToneResult r{};
  for (auto _ : state) {
    VRX5200Analyzer* analyzer = nullptr;
    if (VRX5200Analysis_Create(n, 0, &analyzer) != 0 ||
        VRX5200Analysis_Single_Tone(analyzer, x.data(), VRX5200_SAMPLES_INT16, n,
                                    config(static_cast<int32_t>(state.range(0))), &r,
                                    nullptr) != 0) {
      state.SkipWithError("analysis failed");
      break;
    }
    VRX5200Analysis_Destroy(analyzer);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.counters["input_bytes"] = static_cast<double>(n * sizeof(int16_t));
  state.counters["extra_bytes"] = status_bytes("VmHWM:") - before;
}
BENCHMARK(BM_SingleTone16Mi)
    ->Arg(VRX5200_WINDOW_BLACKMAN_HARRIS_4)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
