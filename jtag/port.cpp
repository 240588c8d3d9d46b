// The JTAG port: pin bytes written one at a time or queued in the stream buffer, TDO sampled
// between clocks, and the TAP walked with fixed TMS sequences.
#include <cstdio>
#include <initializer_list>

#include "jtag/jtag.h"

namespace vrx::jtag {

PortState g_port;

static_assert(tap_step(kReset, 1) == kReset && tap_step(kUpdateDr, 0) == kIdle);
static_assert(pin_byte(0x42) == 0x0A && pin_byte(0x01) == 0x01 && pin_byte(0x40) == 0x02);

static void write_bytes(const uint8_t* bytes, size_t n) {
  // A failed or short write is remembered: the status check of the configuration then does not
  // report success on pins that were never driven, and the writes after it are skipped until the
  // next attempt, so that a port that stopped answering costs one write time-out, not one per
  // pin byte.
  if (g_port.write_failed) return;
  DWORD written = 0;
  const FT_STATUS status =
      FT_Write(g_port.loader, const_cast<uint8_t*>(bytes), static_cast<DWORD>(n), &written);
  if (status != FT_OK) std::fprintf(stderr, "error: write failed (%d)\n", static_cast<int>(status));
  if (status != FT_OK || written != n) g_port.write_failed = true;
}

void queue_pins(const uint8_t* bytes, size_t n) {
  while (n > 0) {
    size_t room = kStreamSize - g_port.fill;
    const size_t take = n < room ? n : room;
    for (size_t i = 0; i < take; ++i) g_port.stream[g_port.fill + i] = bytes[i];
    g_port.fill += take;
    bytes += take;
    n -= take;
    if (g_port.fill == kStreamSize) {
      write_bytes(g_port.stream, kStreamSize);
      g_port.fill = 0;
    }
  }
}

void pin_write(int32_t value, bool queued) {
  const uint8_t byte = pin_byte(value);
  if (queued) {
    queue_pins(&byte, 1);
    return;
  }
  if (g_port.pending) {
    if (g_port.fill > 0) write_bytes(g_port.stream, g_port.fill);
    g_port.fill = 0;
    g_port.pending = 0;
  }
  write_bytes(&byte, 1);
}

uint8_t pin_read() {
  // A port that does not answer reads TDO low: no instruction-register capture matches it, and
  // a status check reads "not configured" rather than a false success.
  UCHAR pins = 0x00;
  FT_GetBitMode(g_port.loader, &pins);
  return pins;
}

void tms_clock(int level) {
  g_port.signal = (g_port.signal & ~(kTck | kTms)) | (level ? kTms : 0);
  pin_write(g_port.signal, false);
  pin_write(g_port.signal | kTck, false);
  pin_write(g_port.signal, false);
  g_port.tap = tap_step(g_port.tap, level);
}

static void tms_sequence(std::initializer_list<int> levels) {
  for (int level : levels) tms_clock(level);
}

void tap_reset() {
  tms_sequence({1, 1, 1, 1, 1});
}

void return_to_idle() {
  if (g_port.tap != kUpdateIr && g_port.tap != kUpdateDr) tap_reset();
  tms_clock(0);
}

int enter_shift_dr() {
  switch (g_port.tap) {
    case kUpdateIr:
    case kUpdateDr:
      tms_sequence({1, 0, 0});
      return 0;
    case kReset:
    case kIdle:
      tms_sequence({0, 0, 1, 0, 0});
      return 0;
    default:
      return 1;
  }
}

int leave_shift_dr() {
  if (g_port.tap != kShiftDr) return 1;
  tms_sequence({1, 1});
  return 0;
}

uint32_t bit_shift(int n, uint32_t data, bool last) {
  const int clocked = last ? n - 1 : n;
  uint32_t result = 0;
  for (int i = 0; i < clocked; ++i) {
    // TDO belongs to this bit before its rising edge.
    if (pin_read() & 0x04) result |= 1u << (i & 31);
    g_port.signal = (g_port.signal & ~(kTck | kTdi)) | (((data >> (i & 31)) & 1) ? kTdi : 0);
    pin_write(g_port.signal, false);
    pin_write(g_port.signal | kTck, false);
    pin_write(g_port.signal, false);
  }
  if (last && n > 0) {
    // The last bit waits on TDI for the caller's TMS-high clock, which shifts it.
    g_port.signal = (g_port.signal & ~kTdi) | (((data >> ((n - 1) & 31)) & 1) ? kTdi : 0);
  }
  return result;
}

void instruction_load(int device, uint32_t code) {
  if (g_port.tap != kReset && g_port.tap != kIdle) return_to_idle();
  tms_sequence({0, 1, 1, 0, 0});
  // The entry next to TDO takes the first bits: the highest chain position goes first.
  for (int p = g_chain.count - 1; p >= 0; --p) {
    bit_shift(g_chain.entries[p + 1].ir_length, p == device - 1 ? code : kBypass, p == 0);
  }
  tms_sequence({1, 1});
}

}  // namespace vrx::jtag
