// Host-side cost of the command link's coding and of a block read through the bench.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_support.h"
#include "link/cmdlink.h"
#include "session/state.h"

namespace {

void BM_EncodeDecodeFrame(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> frame(n), patterns(16 * n), reply(n);
  for (size_t i = 0; i < n; ++i) frame[i] = static_cast<uint8_t>(i * 31);
  for (auto _ : state) {
    vrx::encode_frame(frame.data(), n, patterns.data());
    vrx::decode_reply(patterns.data(), n, reply.data());
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_EncodeDecodeFrame)->Arg(4)->Arg(240)->Arg(4096);

void BM_BulkRead64K(benchmark::State& state) {
  bench_open_board();
  FT_HANDLE port = vrx::g_state.boards[0].port[0];
  static uint8_t dest[65536];
  for (auto _ : state) {
    if (vrx::bulk_read(port, 65536, dest) != 0) state.SkipWithError("bulk read failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 65536));
  VRX5200BrdCtrl_Close_Session();
}
BENCHMARK(BM_BulkRead64K);

}  // namespace

BENCHMARK_MAIN();
