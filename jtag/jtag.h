// The FPGA loader: the JTAG port driven by asynchronous bit-bang on port 3, the TAP state
// machine, the chain scan against the device tables, and the configuration flow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "session/d2xx.h"

namespace vrx::jtag {

// ---- TAP controller ----
enum Tap : int {
  kReset = 0,
  kIdle = 1,
  kSelectIr = 2,
  kCaptureIr = 3,
  kShiftIr = 4,
  kExit1Ir = 5,
  kPauseIr = 6,
  kExit2Ir = 7,
  kUpdateIr = 8,
  kSelectDr = 9,
  kCaptureDr = 10,
  kShiftDr = 11,
  kExit1Dr = 12,
  kPauseDr = 13,
  kExit2Dr = 14,
  kUpdateDr = 15
};
// The state one TCK cycle reaches from each state, with TMS low and with TMS high.
inline constexpr int kTapNext[16][2] = {
    {kIdle, kReset},       {kIdle, kSelectDr},      {kCaptureIr, kReset},  {kShiftIr, kExit1Ir},
    {kShiftIr, kExit1Ir},  {kPauseIr, kUpdateIr},   {kPauseIr, kExit2Ir},  {kShiftIr, kUpdateIr},
    {kIdle, kSelectDr},    {kCaptureDr, kSelectIr}, {kShiftDr, kExit1Dr},  {kShiftDr, kExit1Dr},
    {kPauseDr, kUpdateDr}, {kPauseDr, kExit2Dr},    {kShiftDr, kUpdateDr}, {kIdle, kSelectDr}};
inline constexpr const char* kTapNames[17] = {
    "RESET",    "RUN/IDLE", "SELECT_IR", "CAPTURE_IR", "SHIFT_IR",   "EXIT1_IR",
    "PAUSE_IR", "EXIT2_IR", "UPDATE_IR", "SELECT_DR",  "CAPTURE_DR", "SHIFT_DR",
    "EXIT1_DR", "PAUSE_DR", "EXIT2_DR",  "UPDATE_DR",  "UNDEFINE"};
constexpr int tap_step(int state, int tms) {
  return kTapNext[state][tms ? 1 : 0];
}

// Instruction codes (10-bit instruction registers).
constexpr uint32_t kBypass = 0x3FF, kIdcode = 0x006, kProgram = 0x002, kStartup = 0x003,
                   kCheckStatus = 0x004;

// ---- the JTAG port ----
// Signal word bits: 0 TCK, 1 TMS, 6 TDI. Pin byte bits: 0 TCK, 1 TDI, 2 TDO (input), 3 TMS.
constexpr int32_t kTck = 0x01, kTms = 0x02, kTdi = 0x40;
constexpr size_t kStreamSize = 10240;

struct PortState {
  FT_HANDLE loader = nullptr;
  int32_t signal = 0x42;  // TMS high, TDI high, TCK low
  uint8_t stream[kStreamSize] = {};
  size_t fill = 0;
  int pending = 0;
  int tap = kReset;
  // A pin write failed or moved fewer bytes since this was last cleared: what the device got is
  // unknown, so its status check cannot be believed.
  bool write_failed = false;
};
extern PortState g_port;

constexpr uint8_t pin_byte(int32_t word) {
  return static_cast<uint8_t>((word & kTck) | ((word >> 6) & 1) << 1 | ((word >> 1) & 1) << 3);
}
void pin_write(int32_t value, bool queued);
// Queues n pin bytes, writing the stream buffer each time it fills.
void queue_pins(const uint8_t* bytes, size_t n);
uint8_t pin_read();
void tms_clock(int level);
void tap_reset();
void return_to_idle();
int enter_shift_dr();
int leave_shift_dr();
uint32_t bit_shift(int n, uint32_t data, bool last);
void instruction_load(int device, uint32_t code);

// ---- the chain ----
constexpr int kMaxChain = 24;  // the bypass check shifts count + 8 bits in one 32-bit shift
struct ChainEntry {
  uint32_t idcode;
  int32_t boundary_length;
  int32_t status_position;
  char action;
  char name[22];
  int32_t ir_length;
};
struct Chain {
  int count = 0;
  ChainEntry entries[kMaxChain + 1] = {};  // numbered from 1
};
extern Chain g_chain;
extern int g_family;

// Adds an entry (action and part name); false when the chain is full.
bool add_entry(char action, const char* name);
// Finds the row of a part name, or -1.
int find_device(const char* name);
// The family of a device-table row.
int family_of(int row);
void device_lookup();
int instruction_scan_check(uint32_t code);
// The bypass check: `count` zero bits (one per bypass register) followed by exactly 0x55.
bool bypass_pattern_ok(uint32_t v, int count);
int verify_chain();

// Queues the pin bytes of `size` bytes of a programming file (24 per byte, bit 0 first), the
// first 44 bytes dropped for the parts that skip them. False when the file could not be read.
bool stream_bits(std::FILE* file, long size, uint32_t idcode);

// Parts whose programming files start with 44 bytes the device must not receive (the CYCLONE
// rows and the two EP2C35 rows of the device table).
bool skips_header(uint32_t idcode);

}  // namespace vrx::jtag
