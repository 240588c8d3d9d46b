// Read-back of a started capture into the caller's array, with pattern-match mode, and the
// one-call capture.
#include <bit>
#include <cstring>

#include "capture/capture.h"
#include "link/cmdlink.h"
#include "link/registers.h"

namespace vrx {

static_assert(std::endian::native == std::endian::little,
              "samples are stored little-endian as they arrive");

int32_t write_register(uint8_t address, uint8_t value) {
  return send_register_run(address, value, 1);
}

int32_t send_rearm(uint8_t capture_value) {
  uint8_t* c = g_command_buffer;
  uint32_t at = put_write(c, 0, reg::kControl0, reg::kControlSet);
  at = put_write(c, at, reg::kControl1, reg::kRearmControl1);
  at = put_write(c, at, reg::kControl0, reg::kControlClear);
  at = put_write(c, at, reg::kCapture, capture_value);
  return board_exchange(c, at, g_reply_buffer);
}

int32_t wait_block_ready(BoardRecord& board, uint32_t start, uint32_t timeout_ms, bool bit0_only,
                         uint32_t& poll_time) {
  board.status_byte = 1;
  const uint32_t n = put_read(g_command_buffer, 0, reg::kCapture);
  for (;;) {
    const int32_t result = board_exchange(g_command_buffer, n, g_reply_buffer);
    if (result != 0) return result;
    board.status_byte = bit0_only ? (g_reply_buffer[1] & 1) : g_reply_buffer[1];
    poll_time = platform_clock_ms();
    if (board.status_byte == 0) return VRX5200_RESULT_OK;
    if (poll_time - start > timeout_ms) return VRX5200_RESULT_CAPTURE_TIMEOUT;
  }
}

int32_t fetch_block(BoardRecord& board, uint32_t n) {
  const int32_t even = bulk_read(board.port[kDataPort0], n, g_port_buffer[0]);
  const int32_t odd = bulk_read(board.port[kDataPort1], n, g_port_buffer[1]);
  return even | odd;
}

void interleave(const uint8_t* port0, const uint8_t* port1, uint32_t n, uint16_t* samples) {
  // Each port carries its samples low byte first: on a little-endian host the bytes of port 0
  // are the even samples and those of port 1 the odd ones, ready to be paired.
  for (uint32_t k = 0; k + 1 < n; k += 2) {
    uint16_t even, odd;
    std::memcpy(&even, port0 + k, 2);
    std::memcpy(&odd, port1 + k, 2);
    samples[k] = even;
    samples[k + 1] = odd;
  }
}

namespace {

struct ArrayOutputs {
  int32_t* samples_this_call;
  int32_t* write_index;
  int32_t* status_out;
  int32_t* pattern_timeout;
  int32_t* more;
};

// The error exit: outputs back to a restartable state and the capture no longer started.
int32_t error_exit(BoardRecord& board, const ArrayOutputs& o, int32_t result) {
  *o.status_out = board.status_byte;
  *o.more = 1;
  *o.pattern_timeout = 0;
  *o.write_index = 0;
  *o.samples_this_call = 0;
  board.started = 0;
  return result;
}

int32_t read_to_array(uint16_t* samples, const uint32_t* patterns, uint32_t timeout_ms,
                      const ArrayOutputs& o) {
  *o.samples_this_call = 0;
  BoardRecord* rec = selected_board();
  if (rec == nullptr) return VRX5200_RESULT_NO_BOARD;
  BoardRecord& board = *rec;
  if (board.session_kind != kAdcSession) {
    return board.session_kind == kDacSession ? VRX5200_RESULT_OTHER_SESSION
                                             : VRX5200_RESULT_NO_SESSION;
  }
  if (board.started != 1) return VRX5200_RESULT_NOT_STARTED;
  // A finished capture has nothing left to read: another block would land past its end.
  if (board.next_block >= board.block_count) return VRX5200_RESULT_NOT_STARTED;
  const ADC_Session_Params& p = board.adc;
  if (p.Pattern_Match > 1 || *o.write_index < 0) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (p.Pattern_Match == 1 && p.Pattern_Count > 0 && patterns == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  // The samples still to come must fit below the largest index the caller's integer holds (a
  // pattern match starts the capture over, from index 0).
  const int64_t to_read =
      p.Pattern_Match == 1
          ? board.capture_total
          : board.capture_total - static_cast<int64_t>(board.next_block) * kCaptureBlock;
  if (*o.write_index + to_read > INT32_MAX) return VRX5200_RESULT_INVALID_ARGUMENT;

  const uint32_t start = platform_clock_ms();
  int32_t result = VRX5200_RESULT_OK;
  for (;;) {
    uint32_t poll_time = start;
    result = wait_block_ready(board, start, timeout_ms, false, poll_time);
    if (result == VRX5200_RESULT_CAPTURE_TIMEOUT) {
      // The busy exit keeps the capture. Part-way through it the read-back keeps its place:
      // the blocks before are stored and the board's read-out stands at the next one.
      if (board.next_block > 0) {
        *o.status_out = board.status_byte;
        *o.more = 1;
        *o.pattern_timeout = 0;
        return result;
      }
      error_exit(board, o, result);
      board.started = 1;
      return result;
    }
    if (result != 0) return error_exit(board, o, result);

    const uint32_t n = static_cast<uint32_t>(
        board.next_block == board.block_count - 1 ? board.last_block_size : kCaptureBlock);
    if (fetch_block(board, n) != 0) return error_exit(board, o, VRX5200_RESULT_BULK_READ_FAILED);

    if (board.adc.Pattern_Match == 0) {
      interleave(g_port_buffer[0], g_port_buffer[1], n, samples + *o.write_index);
      board.next_block += 1;
      *o.status_out = board.status_byte;
      *o.more = 1;
      *o.samples_this_call += static_cast<int32_t>(n);
      *o.write_index += static_cast<int32_t>(n);
      result = VRX5200_RESULT_OK;  // an unmatched block's register write is behind us
      if (board.next_block >= board.block_count) {
        *o.more = 0;
        break;
      }
      continue;
    }

    // Pattern-match mode: the block only decides whether the capture starts here.
    interleave(g_port_buffer[0], g_port_buffer[1], n, g_block_buffer);
    const uint32_t key = match_key(g_block_buffer);
    bool matched = false;
    for (int32_t i = 0; i < p.Pattern_Count && !matched; ++i) matched = patterns[i] == key;
    if (matched) {
      *o.status_out = board.status_byte;
      *o.more = 1;
      *o.pattern_timeout = 0;
      *o.write_index = 0;
      *o.samples_this_call = 0;
      board.adc.Pattern_Match = 0;
      board.next_block = 0;
      write_register(reg::kEnd3, 0x00);
    } else {
      result = write_register(reg::kEnd0, reg::kNoMatch);
      if (poll_time - start > timeout_ms) {
        *o.pattern_timeout = 1;
        *o.more = 1;
        *o.samples_this_call = 0;
        break;
      }
    }
    const int32_t rearm = send_rearm(reg::kRearmCapture);
    if (rearm != 0) return error_exit(board, o, rearm);
  }
  if (*o.write_index == board.capture_total) *o.more = 0;
  return result;
}

}  // namespace
}  // namespace vrx

using namespace vrx;

extern "C" {

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_DDR_to_Array(
    uint16_t* Samples, const uint32_t* Match_Patterns, uint32_t Timeout_Ms,
    int32_t* Samples_This_Call, int32_t* Write_Index, int32_t* Status_Out, int32_t* Pattern_Timeout,
    int32_t* More) {
  // No board comes before any argument: the count of this call is 0 and nothing else is written.
  if (selected_board() == nullptr) {
    if (Samples_This_Call != nullptr) *Samples_This_Call = 0;
    return VRX5200_RESULT_NO_BOARD;
  }
  if (Samples == nullptr || Samples_This_Call == nullptr || Write_Index == nullptr ||
      Status_Out == nullptr || Pattern_Timeout == nullptr || More == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  return read_to_array(
      Samples, Match_Patterns, Timeout_Ms,
      ArrayOutputs{Samples_This_Call, Write_Index, Status_Out, Pattern_Timeout, More});
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_from_ADC(int32_t Capture_Length,
                                                              uint16_t* Samples) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (Samples == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  // The one-call capture supplies no match patterns: in pattern-match mode no block could ever
  // match and the loop would never end.
  if (board->session_kind == kAdcSession && board->adc.Pattern_Match != 0) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  int32_t result = start_capture(Capture_Length, 0, 129);
  if (result != 0) return result;
  int32_t samples_this_call = 0, write_index = 0, status = 0, pattern_timeout = 0, more = 1;
  do {
    result = read_to_array(
        Samples, nullptr, 10000,
        ArrayOutputs{&samples_this_call, &write_index, &status, &pattern_timeout, &more});
  } while (result == 0 && more == 1);
  return result;
}

}  // extern "C"
