// Host-side cost of turning a 4 MiB programming file into pin bytes (24 per file byte), written
// to a bench port in asynchronous bit-bang with nothing behind it (no wire delay, no model).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "jtag/jtag.h"
#include "sim/bench.h"

namespace {

void BM_ProgrammingFileToPins(benchmark::State& state) {
  constexpr long kSize = 4 << 20;
  const char* path = "/tmp/vrx5200_bench_fpga.rbf";
  {
    std::FILE* f = std::fopen(path, "wb");
    std::vector<unsigned char> bytes(kSize);
    for (long i = 0; i < kSize; ++i) bytes[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  sim::Bench& bench = sim::Bench::get();
  bench.reset();
  bench.set_recording(false);
  bench.add_device("PLAIN001", "plain port");
  FT_HANDLE h = nullptr;
  FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(bench.port(0).location)),
            FT_OPEN_BY_LOCATION, &h);
  FT_SetBitMode(h, 0xFB, FT_BITMODE_ASYNC_BITBANG);
  vrx::jtag::g_port = vrx::jtag::PortState{};
  vrx::jtag::g_port.loader = h;
  for (auto _ : state) {
    std::FILE* f = std::fopen(path, "rb");
    if (!vrx::jtag::stream_bits(f, kSize, 0x024200DD)) state.SkipWithError("stream failed");
    std::fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize * 24);
  FT_Close(h);
  std::remove(path);
}
BENCHMARK(BM_ProgrammingFileToPins)->Unit(benchmark::kMillisecond);

}  // namespace
