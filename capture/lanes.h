// Pure transformations of the file read-back: lane reordering with frame carry-over, and the
// bit-operation list compiled into one mask-and-shift step.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vrx {

// The most lanes a frame can hold (lane numbers 1 to 15).
constexpr int32_t kMaxLanes = 15;

// A lane list checked against the data model: at least one non-zero entry, entries 0 to 15, the
// non-zero entries being 1 to K each once.
struct LanePlan {
  const int32_t* entries = nullptr;  // the caller's list (read only)
  int32_t count = 0;                 // Lane_Count
  int32_t lanes = 0;                 // K: samples per output frame
  int32_t slot[kMaxLanes] = {};      // output position (lane number - 1) of the j-th kept lane
  bool keeps_all = false;            // no zero entries: every sample is kept
};
// Fills `plan` and returns true when the list is inside the data model.
bool plan_lanes(const int32_t* entries, int32_t count, LanePlan& plan);

// Samples of an incomplete output frame, carried from one block to the next.
struct CarryOver {
  uint16_t samples[kMaxLanes];
  int32_t count = 0;
};

// A bit-operation list compiled to out = shift(s, shift) & keep ^ flip, where shift > 0 shifts
// right and shift < 0 shifts left. Every list of shifts, XOR, AND, OR and NOT composes to this.
struct BitOps {
  int32_t shift = 0;
  uint16_t keep = 0xFFFF;
  uint16_t flip = 0;
  bool identity() const { return shift == 0 && keep == 0xFFFF && flip == 0; }
  uint16_t apply(uint16_t s) const {
    const uint32_t moved =
        shift >= 0 ? static_cast<uint32_t>(s) >> shift : static_cast<uint32_t>(s) << -shift;
    return static_cast<uint16_t>((moved & keep) ^ flip);
  }
};
// Codes: 0 shift (operand > 0 right by operand mod 32, else left by -operand mod 32; 16 or more
// gives 0), 1 XOR, 2 AND, 3 OR (low 16 bits of the operand), 4 NOT; others do nothing.
BitOps compile_ops(const int32_t* codes, const int32_t* operands, int32_t count);
// The same operations applied one by one, as listed (the reference the compiled form matches).
uint16_t apply_ops_in_order(uint16_t s, const int32_t* codes, const int32_t* operands,
                            int32_t count);

// Reorders one block of n samples: keeps the samples of enabled lanes (lane phase restarting at
// the block's first sample), appends them to the carry-over, and writes every complete frame to
// `out` with lane v's sample at position v - 1 of its frame, bit operations applied. `scratch`
// holds n + 15 samples. Returns the number of output samples; the rest becomes the carry-over.
size_t reorder_block(const uint16_t* block, size_t n, const LanePlan& plan, const BitOps& ops,
                     CarryOver& carry, uint16_t* scratch, uint16_t* out);

}  // namespace vrx
