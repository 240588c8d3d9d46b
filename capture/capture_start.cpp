// Capture start: checks and encodes the capture length, programs the length and start
// registers, and stores the block plan the read-backs follow.
#include "capture/capture.h"
#include "link/cmdlink.h"
#include "link/registers.h"

namespace vrx {

int32_t g_capture_block_size = kCaptureBlock;
int32_t g_start_value_flag = 0;
uint8_t g_start_value = 0;
uint16_t g_block_buffer[kCaptureBlock + 4096];

int32_t ceil_div(double a, double b) {
  const int32_t q = static_cast<int32_t>(a / b);
  return b * q < a ? q + 1 : q;
}

LengthFields decompose_length(int32_t n) {
  LengthFields f{0, 0, 0, false};
  if (n <= 0) return f;
  f.regions = ceil_div(n, static_cast<double>(kRegion)) - 1;
  const int64_t rest = n - f.regions * kRegion;
  f.blocks = ceil_div(static_cast<double>(rest), 4096.0) - 1;
  const int64_t last = rest - 4096 * static_cast<int64_t>(f.blocks);
  f.tail = static_cast<int32_t>(last / 4 - 8);
  f.valid = n == f.regions * kRegion + f.blocks * int64_t{4096} + (f.tail + 8) * int64_t{4} &&
            f.tail % 8 == 0;
  return f;
}

int32_t start_capture(int32_t length, int32_t start_value_switch, int32_t start_value) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (board->session_kind != kAdcSession) {
    return board->session_kind == kDacSession ? VRX5200_RESULT_DAC_SESSION
                                              : VRX5200_RESULT_NO_SESSION;
  }
  const LengthFields f = decompose_length(length);
  if (!f.valid) return VRX5200_RESULT_BAD_CAPTURE_LENGTH;
  const ADC_Session_Params& p = board->adc;
  // From the first exchange on, the board's capture is no longer the one a read-back in
  // progress was reading: until this start succeeds, no capture is started.
  board->started = 0;

  uint8_t* c = g_command_buffer;
  uint32_t at = put_write(c, 0, reg::kBlockLow, static_cast<uint8_t>(f.blocks & 0xFF));
  at = put_write(c, at, reg::kBlockHigh, static_cast<uint8_t>(f.blocks >> 8));
  at = put_write(c, at, reg::kRegionCount, static_cast<uint8_t>(f.regions & 0xFF));
  int32_t result = board_exchange(c, at, g_reply_buffer);
  if (result != 0) return result;

  const uint8_t start = (start_value_switch == 0 || p.Pattern_Match == 1)
                            ? reg::kStandardStart
                            : static_cast<uint8_t>(start_value & 0xFF);
  at = put_write(c, 0, reg::kEnd2, p.Register_6_Value);
  at = put_write(c, at, reg::kControl0, reg::kControlSet);
  at = put_write(c, at, reg::kEnd3, p.Register_7_Value);
  at = put_write(c, at, reg::kControl1, p.Register_1_Value);
  at = put_write(c, at, reg::kEnd2, 0x00);
  at = put_write(c, at, reg::kControl0, reg::kControlClear);
  at = put_write(c, at, reg::kCapture, start);
  result = board_exchange(c, at, g_reply_buffer);
  if (result != 0) return result;

  // In pattern-match mode a non-zero switch keeps the start value for the re-arm after a match.
  g_start_value_flag = p.Pattern_Match != 0 ? start_value_switch : 0;
  g_start_value = static_cast<uint8_t>(start_value & 0xFF);

  at = put_read(c, 0, reg::kCapture);
  result = board_exchange(c, at, g_reply_buffer);
  if (result != 0) return result;
  board->status_byte = g_reply_buffer[1];

  const int32_t blocks = ceil_div(length, kCaptureBlock);
  board->started = 1;
  board->next_block = 0;
  board->block_count = blocks;
  board->last_block_size = length - kCaptureBlock * (blocks - 1);
  board->capture_total = length;
  board->recorded_block_count = blocks;
  g_capture_block_size = kCaptureBlock;
  return VRX5200_RESULT_OK;
}

}  // namespace vrx

extern "C" VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Start_ADC_to_DDR(
    int32_t Capture_Length, int32_t* /*Unused*/, int32_t Start_Value_Switch, int32_t Start_Value,
    int32_t /*Unused_Block_Size*/) {
  return vrx::start_capture(Capture_Length, Start_Value_Switch, Start_Value);
}
