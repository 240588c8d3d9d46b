#include "capture/lanes.h"

#include <cstring>

namespace vrx {

bool plan_lanes(const int32_t* entries, int32_t count, LanePlan& plan) {
  if (entries == nullptr || count <= 0) return false;
  plan = LanePlan{};
  plan.entries = entries;
  plan.count = count;
  bool seen[kMaxLanes + 1] = {};
  int32_t zeros = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t v = entries[i];
    if (v == 0) {
      ++zeros;
      continue;
    }
    if (v < 1 || v > kMaxLanes || seen[v] || plan.lanes == kMaxLanes) return false;
    seen[v] = true;
    plan.slot[plan.lanes++] = v - 1;
  }
  for (int32_t v = 1; v <= plan.lanes; ++v) {
    if (!seen[v]) return false;  // the lane numbers must be 1 to K
  }
  plan.keeps_all = zeros == 0;
  return plan.lanes > 0;
}

BitOps compile_ops(const int32_t* codes, const int32_t* operands, int32_t count) {
  BitOps ops;
  for (int32_t i = 0; i < count; ++i) {
    const uint16_t x = static_cast<uint16_t>(operands[i]);
    switch (codes[i]) {
      case 0: {
        const int64_t operand = operands[i];
        const int32_t k = static_cast<int32_t>(operand > 0 ? operand % 32 : (-operand) % 32);
        if (k >= 16) {
          ops.keep = 0;
          ops.flip = 0;
        } else if (operand > 0) {
          ops.keep = static_cast<uint16_t>(ops.keep >> k);
          ops.flip = static_cast<uint16_t>(ops.flip >> k);
          ops.shift += k;
        } else {
          ops.keep = static_cast<uint16_t>(ops.keep << k);
          ops.flip = static_cast<uint16_t>(ops.flip << k);
          ops.shift -= k;
        }
        if (ops.keep == 0 || ops.shift >= 16 || ops.shift <= -16) {
          ops.keep = 0;  // every source bit is gone: the result is the flip constant alone
          ops.shift = 0;
        }
        break;
      }
      case 1:
        ops.flip ^= x;
        break;
      case 2:
        ops.keep &= x;
        ops.flip &= x;
        break;
      case 3:
        ops.keep = static_cast<uint16_t>(ops.keep & ~x);
        ops.flip = static_cast<uint16_t>((ops.flip & ~x) | x);
        break;
      case 4:
        ops.flip ^= 0xFFFF;
        break;
      default:
        break;
    }
  }
  return ops;
}

uint16_t apply_ops_in_order(uint16_t s, const int32_t* codes, const int32_t* operands,
                            int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const int64_t x = operands[i];
    switch (codes[i]) {
      case 0: {
        const int64_t k = x > 0 ? x % 32 : (-x) % 32;
        if (k >= 16) {
          s = 0;
        } else {
          s = static_cast<uint16_t>(x > 0 ? s >> k : s << k);
        }
        break;
      }
      case 1:
        s = static_cast<uint16_t>(s ^ x);
        break;
      case 2:
        s = static_cast<uint16_t>(s & x);
        break;
      case 3:
        s = static_cast<uint16_t>(s | x);
        break;
      case 4:
        s = static_cast<uint16_t>(~s);
        break;
      default:
        break;
    }
  }
  return s;
}

namespace {

// Copies n samples; nothing at all for n = 0 (the pointers of an empty block may be null).
void copy_samples(uint16_t* dst, const uint16_t* src, size_t n) {
  if (n > 0) std::memcpy(dst, src, n * sizeof(uint16_t));
}

// Writes `frames` complete frames of K samples from `in` to `out`, lane j of a frame to its slot,
// bit operations applied. The common frame sizes get a loop with K known at compile time.
template <size_t K>
void emit_fixed(const uint16_t* in, size_t frames, const int32_t* slot, const BitOps& ops,
                uint16_t* out) {
  size_t s[K];
  for (size_t j = 0; j < K; ++j) s[j] = static_cast<size_t>(slot[j]);
  for (size_t f = 0; f < frames; ++f, in += K, out += K) {
    for (size_t j = 0; j < K; ++j) out[s[j]] = ops.apply(in[j]);
  }
}

void emit(const uint16_t* in, size_t frames, size_t k, const int32_t* slot, const BitOps& ops,
          uint16_t* out) {
  switch (k) {
    case 1:
      if (ops.identity()) {
        copy_samples(out, in, frames);
      } else {
        for (size_t m = 0; m < frames; ++m) out[m] = ops.apply(in[m]);
      }
      return;
    case 2:
      return emit_fixed<2>(in, frames, slot, ops, out);
    case 3:
      return emit_fixed<3>(in, frames, slot, ops, out);
    case 4:
      return emit_fixed<4>(in, frames, slot, ops, out);
    default:
      for (size_t f = 0; f < frames; ++f, in += k, out += k) {
        for (size_t j = 0; j < k; ++j) out[slot[j]] = ops.apply(in[j]);
      }
  }
}

}  // namespace

size_t reorder_block(const uint16_t* block, size_t n, const LanePlan& plan, const BitOps& ops,
                     CarryOver& carry, uint16_t* scratch, uint16_t* out) {
  const size_t k = static_cast<size_t>(plan.lanes);
  const size_t carried = static_cast<size_t>(carry.count);
  const uint16_t* src;  // the kept samples that follow the carried ones
  size_t kept;
  if (plan.keeps_all) {
    src = block;
    kept = n;
  } else {
    const size_t period = static_cast<size_t>(plan.count);
    size_t phase = 0;
    kept = 0;
    for (size_t i = 0; i < n; ++i) {
      if (plan.entries[phase] != 0) scratch[kept++] = block[i];
      if (++phase == period) phase = 0;
    }
    src = scratch;
  }

  size_t produced = 0;
  if (carried > 0) {
    // The combined sequence begins with the carried samples. Under a lane list changed since
    // they were kept there may be more of them than one frame holds: the frames that hold any
    // of them are put together here, with as many kept samples as complete them.
    uint16_t head[2 * kMaxLanes];
    const size_t complete = (carried + k - 1) / k * k - carried;
    const size_t taken = kept < complete ? kept : complete;
    copy_samples(head, carry.samples, carried);
    copy_samples(head + carried, src, taken);
    const size_t frames = (carried + taken) / k;
    emit(head, frames, k, plan.slot, ops, out);
    produced = frames * k;
    src += taken;
    kept -= taken;
    if (taken < complete) {
      // The block ended first: what is left of the head is the carry-over.
      const size_t rest = carried + taken - produced;
      copy_samples(carry.samples, head + produced, rest);
      carry.count = static_cast<int32_t>(rest);
      return produced;
    }
  }
  const size_t frames = kept / k;
  emit(src, frames, k, plan.slot, ops, out + produced);
  produced += frames * k;
  const size_t rest = kept - frames * k;
  copy_samples(carry.samples, src + frames * k, rest);
  carry.count = static_cast<int32_t>(rest);
  return produced;
}

}  // namespace vrx
