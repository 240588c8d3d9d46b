// The programming-file streaming: any file becomes 24 pin bytes per byte sent (the first 44
// dropped for the parts that skip them), whose TDI levels on the rising clock edges are the
// file's bits, bit 0 first.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "jtag/jtag.h"
#include "sim/bench.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const bool skip = in.byte() & 1;
  const std::string path = "/tmp/vrx5200-fuzz-stream.bin";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(in.rest(), 1, in.left(), f);
  std::fclose(f);
  const long n = static_cast<long>(in.left());

  sim::Bench& bench = sim::Bench::get();
  bench.reset();
  bench.add_device("FUZZ0001", "plain port");
  FT_HANDLE h = nullptr;
  FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(bench.port(0).location)),
            FT_OPEN_BY_LOCATION, &h);
  FT_SetBitMode(h, 0xFB, FT_BITMODE_ASYNC_BITBANG);
  bench.clear_calls();
  vrx::jtag::g_port = vrx::jtag::PortState{};
  vrx::jtag::g_port.loader = h;
  vrx::jtag::g_port.signal = 0;
  f = std::fopen(path.c_str(), "rb");
  const bool ok = vrx::jtag::stream_bits(f, n, skip ? 0x020B40DD : 0x024200DD);
  std::fclose(f);
  vrx::jtag::g_port.pending = 1;
  vrx::jtag::pin_write(0, false);  // flush the stream buffer
  if (!ok) __builtin_trap();
  std::vector<uint8_t> pins = bench.written(0);
  pins.pop_back();  // the flushing byte
  const size_t first = skip ? (n < 44 ? static_cast<size_t>(n) : 44u) : 0u;
  const uint8_t* bytes = in.rest();
  if (pins.size() != 24 * (static_cast<size_t>(n) - first)) __builtin_trap();
  for (size_t i = 0; i < pins.size() / 3; ++i) {
    const uint8_t bit = (bytes[first + i / 8] >> (i % 8)) & 1;
    const uint8_t low = pins[3 * i], high = pins[3 * i + 1];
    if ((low & 1) != 0 || (high & 1) != 1 || ((high >> 1) & 1) != bit) __builtin_trap();
  }
  FT_Close(h);
  return 0;
}
