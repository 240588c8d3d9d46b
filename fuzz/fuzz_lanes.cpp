// Lane reordering and bit operations of the file read-back: the compiled operation list must
// equal the listed operations applied one by one, and every kept sample must come out once, in
// a frame or in the carry-over.
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/lanes.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const int32_t lane_count = static_cast<int32_t>(in.byte() % 20);
  std::vector<int32_t> lanes(static_cast<size_t>(lane_count));
  for (int32_t& l : lanes) l = static_cast<int32_t>(in.byte() % 18) - 1;
  const int32_t op_count = static_cast<int32_t>(in.byte() % 8);
  std::vector<int32_t> codes(static_cast<size_t>(op_count)),
      operands(static_cast<size_t>(op_count));
  for (int32_t i = 0; i < op_count; ++i) {
    codes[static_cast<size_t>(i)] = static_cast<int32_t>(in.byte() % 7);
    operands[static_cast<size_t>(i)] = static_cast<int32_t>(in.u32());
  }
  const vrx::BitOps ops = vrx::compile_ops(codes.data(), operands.data(), op_count);
  for (uint32_t s = 0; s < 65536; s += 4093) {
    const uint16_t v = static_cast<uint16_t>(s ^ in.u32());
    if (ops.apply(v) != vrx::apply_ops_in_order(v, codes.data(), operands.data(), op_count))
      __builtin_trap();
  }

  vrx::LanePlan plan;
  if (!vrx::plan_lanes(lanes.data(), lane_count, plan)) return 0;
  vrx::CarryOver carry;
  std::vector<uint16_t> block, scratch, out;
  size_t kept_total = 0, produced_total = 0;
  for (int b = 0; b < 3 && in.left() > 0; ++b) {
    const size_t n = in.byte() * 8u;
    block.resize(n);
    for (uint16_t& v : block) v = static_cast<uint16_t>(in.u32());
    for (size_t i = 0; i < n; ++i) kept_total += lanes[i % static_cast<size_t>(lane_count)] != 0;
    scratch.assign(n + 16, 0);
    out.assign(n + 16, 0);
    const size_t c =
        vrx::reorder_block(block.data(), n, plan, ops, carry, scratch.data(), out.data());
    if (c % static_cast<size_t>(plan.lanes) != 0 || carry.count >= plan.lanes) __builtin_trap();
    produced_total += c;
  }
  if (produced_total + static_cast<size_t>(carry.count) != kept_total) __builtin_trap();
  return 0;
}
