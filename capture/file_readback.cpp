// Read-back of a capture into a file, one block per call, with lane reordering, frame
// carry-over and bit operations.
#include <cstdio>
#include <cstring>

#include "capture/capture.h"
#include "link/registers.h"
#include "session/files.h"

namespace vrx {
namespace {

// Kept samples of one block behind the carried ones, and the processed output.
uint16_t g_combined[kCaptureBlock + kMaxLanes];
uint16_t g_output[kCaptureBlock + kMaxLanes];
CarryOver g_carry;

// The compiled bit operations, kept while the caller passes the same list call after call.
struct OpsCache {
  int32_t codes[16], operands[16];
  int32_t count = -1;
  BitOps ops;
} g_ops_cache;

BitOps ops_for(const int32_t* codes, const int32_t* operands, int32_t count) {
  if (count <= 0) return BitOps{};
  if (count > 16) return compile_ops(codes, operands, count);
  if (count != g_ops_cache.count ||
      std::memcmp(codes, g_ops_cache.codes, sizeof(int32_t) * count) != 0 ||
      std::memcmp(operands, g_ops_cache.operands, sizeof(int32_t) * count) != 0) {
    std::memcpy(g_ops_cache.codes, codes, sizeof(int32_t) * count);
    std::memcpy(g_ops_cache.operands, operands, sizeof(int32_t) * count);
    g_ops_cache.count = count;
    g_ops_cache.ops = compile_ops(codes, operands, count);
  }
  return g_ops_cache.ops;
}

struct FileOutputs {
  int32_t* samples_this_call;
  int32_t* write_index;
  int32_t* status_out;
  int32_t* pattern_timeout;
  int32_t* more;
};

struct Call {
  BoardRecord& board;
  const FileOutputs& o;
  std::FILE* file;

  int32_t exit_with(int32_t result) {
    *o.status_out = board.status_byte;
    *o.more = 1;
    *o.pattern_timeout = 0;
    *o.write_index = 0;
    *o.samples_this_call = 0;
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    return result;
  }
  // Error exit: the capture is no longer started (the board's read-out has moved on, or the
  // file lacks a block), so a new capture start is needed.
  int32_t error_exit(int32_t result) {
    board.started = 0;
    return exit_with(result);
  }
  // Busy exit: the capture stays started. Part-way through it the read-back keeps its place,
  // as the blocks read so far are in the file and the board's read-out stands at the next one.
  int32_t busy_exit() {
    if (board.session_kind == kAdcSession && board.next_block > 0) {
      *o.status_out = board.status_byte;
      *o.more = 1;
      *o.pattern_timeout = 0;
      *o.samples_this_call = 0;
      std::fclose(file);
      file = nullptr;
      return VRX5200_RESULT_CAPTURE_TIMEOUT;
    }
    board.next_block = 0;
    return exit_with(VRX5200_RESULT_CAPTURE_TIMEOUT);
  }
  int32_t finish(int32_t result) {
    if (*o.write_index == board.capture_total) *o.more = 0;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (closed || result != 0) return result;
    board.started = 0;  // the file may lack the block
    return VRX5200_RESULT_FILE_IO;
  }
};

}  // namespace
}  // namespace vrx

using namespace vrx;

extern "C" VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_DDR_to_File(
    const char* File_Path, const uint32_t* Match_Patterns, uint16_t* Block_Copy,
    const int32_t* Lane_List, int32_t Lane_Count, const int32_t* Op_Codes,
    const int32_t* Op_Operands, int32_t Op_Count, uint32_t Timeout_Ms, int32_t* Samples_This_Call,
    int32_t* Write_Index, int32_t* Status_Out, int32_t* Pattern_Timeout, int32_t* More) {
  BoardRecord* rec = selected_board();
  if (rec == nullptr) return VRX5200_RESULT_NO_BOARD;
  BoardRecord& board = *rec;
  if (File_Path == nullptr || Block_Copy == nullptr || Samples_This_Call == nullptr ||
      Write_Index == nullptr || Status_Out == nullptr || Pattern_Timeout == nullptr ||
      More == nullptr || (Op_Count > 0 && (Op_Codes == nullptr || Op_Operands == nullptr))) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  const ADC_Session_Params& p = board.adc;
  LanePlan lanes;
  if (!plan_lanes(Lane_List, Lane_Count, lanes) || p.Pattern_Match > 1 ||
      (p.Pattern_Match == 1 && p.Pattern_Count > 0 && Match_Patterns == nullptr)) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  // The block plan belongs to a capture: a pattern session's plan means nothing here. With a
  // capture session the read-back needs a started capture of its own with blocks left (an
  // error ended the capture, or it has been read completely).
  if (board.session_kind == kDacSession) return VRX5200_RESULT_OTHER_SESSION;
  const bool no_session = board.session_kind == kNoSession;
  if (!no_session && (board.started != 1 || board.next_block >= board.block_count)) {
    // As the file upload does, a file that cannot be opened is reported before a capture that
    // is not there; either way nothing changes, and no file is created.
    return can_append(File_Path) ? VRX5200_RESULT_NOT_STARTED : VRX5200_RESULT_FILE_OPEN_FAILED;
  }
  // Without a session every call reads one block of 65,536 samples.
  const int32_t planned = no_session                                  ? kCaptureBlock
                          : board.next_block == board.block_count - 1 ? board.last_block_size
                                                                      : g_capture_block_size;
  // The running count must not pass the largest value the caller's integer holds.
  if (*Write_Index < 0 || *Write_Index > INT32_MAX - planned) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  if (no_session) {
    board.block_count = 1;
    g_capture_block_size = kCaptureBlock;
    board.last_block_size = kCaptureBlock;
  }
  const BitOps ops = ops_for(Op_Codes, Op_Operands, Op_Count);

  const FileOutputs o{Samples_This_Call, Write_Index, Status_Out, Pattern_Timeout, More};
  Call call{board, o, std::fopen(File_Path, "ab")};
  if (call.file != nullptr && board.next_block == 0 && g_start_value_flag == 0) {
    // The first block of a capture starts the file afresh.
    std::fclose(call.file);
    call.file = std::fopen(File_Path, "wb");
  }
  if (call.file == nullptr) {
    // Part-way through a capture the blocks read so far went to a file this call cannot reach;
    // starting over at the first block would read the board's next block as the first.
    if (board.session_kind == kAdcSession && board.next_block > 0) board.started = 0;
    board.next_block = 0;
    return call.exit_with(VRX5200_RESULT_FILE_OPEN_FAILED);
  }
  if (board.next_block == 0) g_carry.count = 0;
  *Samples_This_Call = 0;
  const uint32_t start = platform_clock_ms();
  board.start_time = static_cast<int32_t>(start);

  int32_t result = VRX5200_RESULT_OK;
  int matches = 0;
  for (;;) {
    uint32_t poll_time = start;
    result = wait_block_ready(board, start, Timeout_Ms, true, poll_time);
    if (result == VRX5200_RESULT_CAPTURE_TIMEOUT) return call.busy_exit();
    if (result != 0) return call.error_exit(result);

    const uint32_t n = static_cast<uint32_t>(
        board.next_block == board.block_count - 1 ? board.last_block_size : g_capture_block_size);
    const int32_t fetched = fetch_block(board, n);
    if (fetched != 0) return call.error_exit(fetched);
    interleave(g_port_buffer[0], g_port_buffer[1], n, g_block_buffer);

    if (board.adc.Pattern_Match == 0) {
      if (g_start_value_flag != 0) return call.finish(result);  // block dropped
      // The output goes straight into the caller's copy when it is to receive it anyway.
      const bool copy_now = board.recorded_block_count != 0 || board.session_kind == kNoSession;
      uint16_t* output = copy_now ? Block_Copy : g_output;
      const size_t c = reorder_block(g_block_buffer, n, lanes, ops, g_carry, g_combined, output);
      // The block counts as read only once it is in the file.
      if (std::fwrite(output, sizeof(uint16_t), c, call.file) != c || std::fflush(call.file) != 0) {
        return call.error_exit(VRX5200_RESULT_FILE_IO);
      }
      *Samples_This_Call += static_cast<int32_t>(n);
      *Write_Index += static_cast<int32_t>(n);
      board.next_block += 1;
      *Status_Out = board.status_byte;
      if (board.next_block < board.block_count) {
        *More = 1;
        if (!copy_now) std::memcpy(Block_Copy, g_output, c * sizeof(uint16_t));
      } else {
        *More = 0;
      }
      return call.finish(VRX5200_RESULT_OK);
    }

    // Pattern block: nothing goes to the file. Every equal entry of the list counts as a match.
    const uint32_t key = match_key(g_block_buffer);
    bool matched = false;
    for (int32_t i = 0; i < p.Pattern_Count; ++i) {
      if (Match_Patterns[i] != key) continue;
      matched = true;
      *Status_Out = board.status_byte;
      *More = 1;
      *Pattern_Timeout = 0;
      *Write_Index = 0;
      *Samples_This_Call = 0;
      board.adc.Pattern_Match = 0;
      board.next_block = 0;
      write_register(reg::kEnd3, 0x00);
      ++matches;
    }
    if (!matched) {
      result = write_register(reg::kEnd0, reg::kNoMatch);
      if (platform_clock_ms() - start > Timeout_Ms) {
        *Pattern_Timeout = 1;
        *Samples_This_Call = 0;
        return call.finish(result);
      }
    }
    const bool restart = matched && g_start_value_flag != 0;
    result = send_rearm(restart ? g_start_value : reg::kRearmCapture);
    if (result != 0) return call.error_exit(result);
    if (restart) {
      // The capture restarts with the caller's start value; the next call empties the file.
      g_start_value_flag = 0;
      return call.finish(result);
    }
    if (matches >= 2) return call.finish(result);
  }
}
