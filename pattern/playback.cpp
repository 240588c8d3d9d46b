// Playback start: the pattern's end and start addresses in board memory, sent as address words
// in one frame, and the block plan of the upload.
#include "capture/capture.h"  // kRegion
#include "link/cmdlink.h"
#include "link/registers.h"
#include "pattern/pattern.h"

namespace vrx {

bool end_address(uint32_t length, DdrAddress& out) {
  // The last complete 32-byte burst: byte address L - 32 with L taken down to a multiple of 4.
  // Lengths that end inside a burst by 4 or more bytes have none. A pattern of 0 words has no
  // last burst, and one beyond the 3-bit bank field would play other memory than was written.
  if (length < 32 || length % 32 > 3 || length > kMaxPatternWords) return false;
  const int64_t address = static_cast<int64_t>(length & ~uint32_t{3}) - 32;
  out.bank = address >> 26;
  out.row = (address % kRegion) / 4096;
  out.column = (address % 4096) / 4;
  return true;
}

bool start_address(int32_t offset, DdrAddress& out) {
  // Negative offsets name no memory, and offsets past the 6 row bits sent would be truncated.
  if (offset < 0 || offset > kMaxStartOffset) return false;
  const int64_t rounded = offset / 32 * 32;
  out.bank = 0;
  out.row = rounded / 4096;
  out.column = (rounded % 4096) / 4;
  return true;
}

void plan_blocks(uint32_t length, int32_t& block_count, int32_t& last_block_size) {
  if (length < kPatternBlock) {
    block_count = 1;
    last_block_size = static_cast<int32_t>(length);
    return;
  }
  const uint32_t rest = length % kPatternBlock;
  block_count = static_cast<int32_t>(length / kPatternBlock + (rest != 0 ? 1 : 0));
  last_block_size = static_cast<int32_t>(rest != 0 ? rest : kPatternBlock);
}

int32_t start_playback(uint32_t length, int32_t start_offset, bool whole_pattern) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (board->session_kind != kDacSession) {
    return board->session_kind == kAdcSession ? VRX5200_RESULT_OTHER_SESSION
                                              : VRX5200_RESULT_NO_SESSION;
  }
  DdrAddress end{}, start{};
  if (!end_address(length, end) || !start_address(start_offset, start)) {
    return VRX5200_RESULT_BAD_ADDRESS;
  }
  if (whole_pattern) g_upload_cursor = 0;
  const uint32_t e = end.word();
  const uint32_t s = start.word();
  uint8_t* c = g_command_buffer;
  uint32_t at = put_write(c, 0, reg::kControl0, reg::kControlSet);
  at = put_write(c, at, reg::kControl1, board->dac.Control_Byte_1);
  at = put_write(c, at, reg::kEnd0, static_cast<uint8_t>(e));
  at = put_write(c, at, reg::kEnd1, static_cast<uint8_t>(e >> 8));
  at = put_write(c, at, reg::kEnd2, static_cast<uint8_t>(e >> 16));
  at = put_write(c, at, reg::kEnd3, static_cast<uint8_t>(e >> 24));
  at = put_write(c, at, reg::kBlockLow, static_cast<uint8_t>(s));
  at = put_write(c, at, reg::kBlockHigh, static_cast<uint8_t>(s >> 8));
  at = put_write(c, at, reg::kControl0, reg::kControlClear);
  at = put_write(c, at, reg::kCapture, board->dac.Control_Byte_2);
  const int32_t result = board_exchange(c, at, g_reply_buffer);
  // The plan's first block takes the pattern from where the upload cursor stands: a client may
  // upload one pattern in sections, each to a memory region of its own with a playback start
  // of its own. Without the addresses on the board, the blocks would land where an earlier
  // playback left off: nothing is started then.
  plan_blocks(length, board->block_count, board->last_block_size);
  board->started = result == 0 ? 1 : 0;
  board->next_block = 1;
  g_section_start = g_upload_cursor;
  return result;
}

}  // namespace vrx

extern "C" VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Start_DDR_to_DAC(uint32_t Length,
                                                                            int32_t Start_Offset) {
  return vrx::start_playback(Length, Start_Offset);
}
