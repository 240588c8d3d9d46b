// Host-side cost per captured sample of the two read-backs, over a 64 Mi-sample capture through
// the bench with no wire delay (the bench's own cost of serving the bytes is included).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "capture/capture.h"

namespace {

constexpr int32_t kSamples = 1 << 26;

void configure_capture() {
  bench_open_board();
  ADC_Session_Params p{};
  p.Rate_Factor = 2;
  p.Rate = 250e6;
  if (VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&p) != 0) std::exit(1);
}

void BM_CaptureToArray(benchmark::State& state) {
  configure_capture();
  std::vector<uint16_t> samples(kSamples);
  for (auto _ : state) {
    if (VRX5200BrdCtrl_Start_ADC_to_DDR(kSamples, nullptr, 0, 0, 0) != 0)
      state.SkipWithError("start");
    int32_t this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1;
    const int32_t r = VRX5200BrdCtrl_Read_DDR_to_Array(samples.data(), nullptr, 10000, &this_call,
                                                       &write_index, &status, &timeout, &more);
    if (r != 0 || more != 0) state.SkipWithError("read-back failed");
  }
  state.counters["per_sample"] = benchmark::Counter(
      kSamples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  VRX5200BrdCtrl_Close_Session();
}
BENCHMARK(BM_CaptureToArray)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CaptureToFile(benchmark::State& state) {
  configure_capture();
  // The file cost of the page cache is the system's; /dev/null keeps only the library's share.
  const std::string path = state.range(0) ? "/tmp/vrx5200_bench_capture.bin" : "/dev/null";
  std::vector<uint16_t> copy(65536 + 14);
  const int32_t lanes[] = {3, 1, 2};
  const int32_t codes[] = {1, 0, 2, 0}, operands[] = {0x00FF, -2, 0x7FFF, 1};
  for (auto _ : state) {
    if (VRX5200BrdCtrl_Start_ADC_to_DDR(kSamples, nullptr, 0, 0, 0) != 0)
      state.SkipWithError("start");
    int32_t this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1;
    while (more == 1) {
      if (VRX5200BrdCtrl_Read_DDR_to_File(path.c_str(), nullptr, copy.data(), lanes, 3, codes,
                                          operands, 4, 10000, &this_call, &write_index, &status,
                                          &timeout, &more) != 0) {
        state.SkipWithError("read-back failed");
        break;
      }
    }
  }
  state.counters["per_sample"] = benchmark::Counter(
      kSamples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (state.range(0)) std::remove(path.c_str());
  VRX5200BrdCtrl_Close_Session();
}
BENCHMARK(BM_CaptureToFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

namespace {

// The library's own share of the two read-backs, without the bench: the interleave of a block,
// and the lane reordering with four bit operations.

void BM_InterleaveBlock(benchmark::State& state) {
  static uint8_t port0[65536], port1[65536];
  static uint16_t samples[65536];
  for (size_t i = 0; i < 65536; ++i)
    port0[i] = static_cast<uint8_t>(i), port1[i] = static_cast<uint8_t>(~i);
  for (auto _ : state) {
    vrx::interleave(port0, port1, 65536, samples);
    benchmark::DoNotOptimize(samples);
  }
  state.counters["per_sample"] = benchmark::Counter(
      65536, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_InterleaveBlock);

void BM_ReorderBlock312FourOps(benchmark::State& state) {
  static uint16_t block[65536], scratch[65536 + 16], out[65536 + 16];
  for (size_t i = 0; i < 65536; ++i) block[i] = static_cast<uint16_t>(i * 7);
  const int32_t lanes[] = {3, 1, 2};
  const int32_t codes[] = {1, 0, 2, 0}, operands[] = {0x00FF, -2, 0x7FFF, 1};
  vrx::LanePlan plan;
  vrx::plan_lanes(lanes, 3, plan);
  const vrx::BitOps ops = vrx::compile_ops(codes, operands, 4);
  vrx::CarryOver carry;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vrx::reorder_block(block, 65536, plan, ops, carry, scratch, out));
  }
  state.counters["per_sample"] = benchmark::Counter(
      65536, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReorderBlock312FourOps);

}  // namespace
