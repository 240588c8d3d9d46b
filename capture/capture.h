// The capture path: ADC session configuration, capture start and the read-backs, with the
// helpers the pattern path shares.
#pragma once

#include <cstdint>

#include "capture/lanes.h"
#include "session/state.h"

namespace vrx {

// Ceiling of a / b for positive b: q + 1 when b * q < a, else q, with q = a / b truncated.
int32_t ceil_div(double a, double b);

// ---- ADC session ----
// The clock set-up an ADC session writes to register 3: a band value, then a run of step codes,
// then a run of long-run codes.
struct AdcClockPlan {
  int band;
  uint8_t band_value;
  uint8_t step_code;
  int32_t step_frames;
  int32_t long_frames;
};
double adc_rate(const ADC_Session_Params& p);
AdcClockPlan plan_adc_clock(const ADC_Session_Params& p);

// ---- capture start ----
constexpr int32_t kCaptureBlock = 65536;  // samples per read-back block
constexpr int64_t kRegion = int64_t{1} << 26;

// The capture length as the length registers take it. Valid for the positive multiples of 32.
struct LengthFields {
  int32_t regions;  // T: whole 2^26-sample regions before the last one
  int32_t blocks;   // F: whole 4096-sample blocks before the last one of that region
  int32_t tail;     // G: the last 4096-sample block in 4-sample units, minus 8
  bool valid;
};
LengthFields decompose_length(int32_t n);

int32_t start_capture(int32_t length, int32_t start_value_switch, int32_t start_value);

// ---- read-back state shared by the array and the file read-back ----
extern int32_t g_capture_block_size;
extern int32_t g_start_value_flag;
extern uint8_t g_start_value;
// One block, interleaved: 65,536 samples and spare room.
extern uint16_t g_block_buffer[kCaptureBlock + 4096];

// Reads register 2 until it reads ready. Returns 0 (ready), an exchange status, or 102 when the
// board is still busy after timeout_ms; `status` holds the status byte polled last (bit 0 only
// when `bit0_only`), `poll_time` the clock at the last poll.
int32_t wait_block_ready(BoardRecord& board, uint32_t start, uint32_t timeout_ms, bool bit0_only,
                         uint32_t& poll_time);
// Bulk-reads n bytes from each data port; returns the two results OR-ed.
int32_t fetch_block(BoardRecord& board, uint32_t n);
// Interleaves the two port buffers into n samples: even samples from port 0, odd from port 1.
void interleave(const uint8_t* port0, const uint8_t* port1, uint32_t n, uint16_t* samples);
// The match key of a block: sample 1 high, sample 3 low.
inline uint32_t match_key(const uint16_t* block) {
  return static_cast<uint32_t>(block[1]) << 16 | block[3];
}
// Register writes of the read-backs: one exchange each.
int32_t write_register(uint8_t address, uint8_t value);
int32_t send_rearm(uint8_t capture_value);

}  // namespace vrx
