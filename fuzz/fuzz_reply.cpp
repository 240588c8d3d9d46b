// The command link's coding: a frame encoded into pin patterns and answered by a device that
// echoes every data bit on pin 2 decodes back to the frame, and any returned bytes decode.
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "link/cmdlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t n = size < vrx::kMaxFrameBytes ? size : vrx::kMaxFrameBytes;
  std::vector<uint8_t> patterns(16 * n), reply(n);
  vrx::encode_frame(data, n, patterns.data());
  for (size_t i = 0; i < patterns.size(); ++i) {
    const uint8_t p = patterns[i];
    // Every pattern keeps select low and pins 4-6 high; the clock rises on odd positions.
    if ((p & 0x08) != 0 || (p & 0x70) != 0x70 || (p & 0x01) != (i & 1)) __builtin_trap();
    patterns[i] = static_cast<uint8_t>((p & ~0x04) | ((p >> 1) & 1) << 2);  // pin 2 echoes pin 1
  }
  vrx::decode_reply(patterns.data(), n, reply.data());
  for (size_t i = 0; i < n; ++i) {
    if (reply[i] != data[i]) __builtin_trap();
  }
  // Arbitrary returned states decode without reading past the frame.
  const size_t m = size / 16;
  std::vector<uint8_t> any(data, data + 16 * m), out(m);
  vrx::decode_reply(any.data(), m, out.data());
  return 0;
}
