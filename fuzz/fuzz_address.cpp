// The playback start's address words: a length or start offset either has no valid address or
// one whose word decodes back to the byte address it stands for.
#include <cstdint>

#include "fuzz_input.h"
#include "pattern/pattern.h"

static uint64_t decoded(uint32_t word) {
  return ((word >> 26) & 7ull) * (1ull << 26) + ((word >> 10) & 0xFFFFull) * 4096 +
         (word & 0x3FFull) * 4;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint32_t length = in.u32() >> (in.byte() % 32);
  const int32_t offset = static_cast<int32_t>(in.u32()) >> (in.byte() % 32);
  vrx::DdrAddress end{}, start{};
  if (vrx::end_address(length, end)) {
    if (length < 32 || length % 32 > 3) __builtin_trap();
    if (decoded(end.word()) != (length & ~3u) - 32u) __builtin_trap();
  }
  if (vrx::start_address(offset, start)) {
    if (offset < 0 || (start.word() >> 16) != 0) __builtin_trap();
    if (decoded(start.word()) != static_cast<uint64_t>(offset / 32 * 32)) __builtin_trap();
  }
  int32_t blocks = 0, last = 0;
  vrx::plan_blocks(length, blocks, last);
  if (static_cast<uint64_t>(blocks - 1) * vrx::kPatternBlock + static_cast<uint64_t>(last) !=
          length &&
      length != 0) {
    __builtin_trap();
  }
  return 0;
}
