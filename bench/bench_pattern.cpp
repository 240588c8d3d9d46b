// Host-side cost per pattern word of an upload (de-interleave and framing through the bench,
// which stores the words as the board would), and of the de-interleave alone.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_support.h"
#include "pattern/pattern.h"

namespace {

constexpr uint32_t kWords = 4 * 63448;

void BM_UploadArray(benchmark::State& state) {
  bench_open_board();
  std::vector<uint16_t> pattern(kWords);
  for (uint32_t i = 0; i < kWords; ++i) pattern[i] = static_cast<uint16_t>(i * 40503u);
  DAC_Session_Params p{};
  p.Rate = 100e6;
  p.Rate_Factor_1 = 8;
  p.Rate_Factor_2 = 1;
  p.Rate_Divisor = 1;
  for (auto _ : state) {
    state.PauseTiming();
    VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&p);
    state.ResumeTiming();
    int32_t position = 0, done = 0;
    if (VRX5200BrdCtrl_Write_DDR_from_Array(pattern.data(), 0, 100000, &position, kWords, &done) !=
            0 ||
        done != 1) {
      state.SkipWithError("upload failed");
    }
  }
  state.counters["per_word"] = benchmark::Counter(
      kWords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  VRX5200BrdCtrl_Close_Session();
}
BENCHMARK(BM_UploadArray);

void BM_Deinterleave(benchmark::State& state) {
  std::vector<uint8_t> words(2 * 63448), first(63448), second(63448);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint8_t>(i * 7);
  for (auto _ : state) {
    vrx::deinterleave(words.data(), 63448, first.data(), second.data());
    benchmark::DoNotOptimize(first.data());
  }
  state.counters["per_word"] = benchmark::Counter(
      63448, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Deinterleave);

}  // namespace
