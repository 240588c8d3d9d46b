// Pattern upload into board memory: from an array within a time budget, from a binary pattern
// file one block per call, or a whole array in one call. Every block splits the pattern words
// into their first bytes (data port 0) and second bytes (data port 1).
#include <bit>
#include <cstdio>
#include <cstring>

#include "link/cmdlink.h"
#include "pattern/pattern.h"
#include "session/files.h"

namespace vrx {

static_assert(std::endian::native == std::endian::little, "pattern words are read little-endian");

uint64_t g_upload_cursor = 0;
uint64_t g_section_start = 0;

namespace {

// One block of raw pattern bytes read from a file.
uint8_t g_file_staging[2 * kPatternBlock];

uint32_t block_size(const BoardRecord& board) {
  return board.next_block == board.block_count ? static_cast<uint32_t>(board.last_block_size)
                                               : kPatternBlock;
}

// Sends the n words at `words` as block `next_block` and advances the plan.
int32_t send_block(BoardRecord& board, const uint8_t* words, uint32_t n, int32_t* done_out) {
  deinterleave(words, n, g_port_buffer[0], g_port_buffer[1]);
  // Data port 0 first: the two writes are separate statements so their order is fixed.
  int32_t status = bulk_write(board.port[kDataPort0], n, g_port_buffer[0]);
  status |= bulk_write(board.port[kDataPort1], n, g_port_buffer[1]);
  if (status != 0) {
    // The block is missing on the board: the playback is over, and the pattern is not done
    // even when this was its last block. The next upload after a new playback start sends the
    // section again from its first word, never a later part of it to the section's address.
    board.started = 0;
    *done_out = 0;
    g_upload_cursor = g_section_start;
  } else if (n == static_cast<uint32_t>(board.last_block_size) &&
             board.next_block == board.block_count) {
    board.started = 0;
    *done_out = 1;
  }
  board.next_block += 1;
  return status;
}

int32_t upload_array(BoardRecord& board, const uint8_t* pattern, int32_t start_offset,
                     int32_t time_budget, int32_t* position_out, uint32_t length,
                     int32_t* done_out) {
  if (board.started != 1) {
    const int32_t result = start_playback(length, start_offset);
    if (result != 0) return result;
  }
  // The caller's pattern holds `length` words: a plan made for a longer pattern must not read
  // past it. Refused before any block goes out.
  const uint64_t planned =
      board.block_count < 1
          ? 0
          : uint64_t{kPatternBlock} * static_cast<uint64_t>(board.block_count - 1) +
                static_cast<uint64_t>(board.last_block_size);
  if (planned > length) return VRX5200_RESULT_INVALID_ARGUMENT;
  const uint32_t start = platform_clock_ms();
  int32_t status = 0;
  while (board.next_block <= board.block_count) {
    const uint32_t n = block_size(board);
    const uint8_t* words = pattern + g_upload_cursor;
    g_upload_cursor += 2ull * n;
    *position_out = static_cast<int32_t>(g_upload_cursor);
    status = send_block(board, words, n, done_out);
    // A block that failed is missing on the board: the upload ends there, with the cursor back
    // at the section's first byte, where the next call starts the playback again.
    if (status != 0) {
      *position_out = static_cast<int32_t>(g_upload_cursor);
      return status;
    }
    if (static_cast<int64_t>(platform_clock_ms() - start) > static_cast<int64_t>(time_budget)) {
      return status;
    }
  }
  return status;
}

BoardRecord* dac_board(int32_t& result) {
  BoardRecord* board = selected_board();
  result = board == nullptr                     ? VRX5200_RESULT_NO_BOARD
           : board->session_kind != kDacSession ? VRX5200_RESULT_NO_SESSION
                                                : VRX5200_RESULT_OK;
  return result == 0 ? board : nullptr;
}

}  // namespace

// Gathers the bytes 0, 2, 4, 6 of a 64-bit word (little-endian) into its low 32 bits.
static inline uint32_t even_bytes(uint64_t x) {
  x &= 0x00FF00FF00FF00FFull;
  x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
  return static_cast<uint32_t>(x | x >> 16);
}

void deinterleave(const uint8_t* words, uint32_t n, uint8_t* first, uint8_t* second) {
  uint32_t j = 0;
  // Four words at a time: the first bytes are the even bytes of eight, the second the odd ones.
  for (; j + 4 <= n; j += 4) {
    uint64_t chunk;
    std::memcpy(&chunk, words + 2 * j, 8);
    const uint32_t even = even_bytes(chunk), odd = even_bytes(chunk >> 8);
    std::memcpy(first + j, &even, 4);
    std::memcpy(second + j, &odd, 4);
  }
  for (; j < n; ++j) {
    first[j] = words[2 * j];
    second[j] = words[2 * j + 1];
  }
}

}  // namespace vrx

using namespace vrx;

extern "C" {

VRX5200_API int32_t VRX5200_CALL
VRX5200BrdCtrl_Write_DDR_from_Array(const void* Pattern, int32_t Start_Offset, int32_t Time_Budget,
                                    int32_t* Position_Out, uint32_t Length, int32_t* Done_Out) {
  int32_t result = 0;
  BoardRecord* board = dac_board(result);
  if (board == nullptr) return result;
  if (Pattern == nullptr || Position_Out == nullptr || Done_Out == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  return upload_array(*board, static_cast<const uint8_t*>(Pattern), Start_Offset, Time_Budget,
                      Position_Out, Length, Done_Out);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_DDR_from_File(const char* File_Name,
                                                                    int32_t /*Unused1*/,
                                                                    int32_t /*Unused2*/,
                                                                    int32_t* Done_Out) {
  int32_t result = 0;
  BoardRecord* board = dac_board(result);
  if (board == nullptr) return result;
  if (File_Name == nullptr || Done_Out == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  std::FILE* file = open_readable(File_Name, "rb");  // a directory cannot be opened either
  if (file == nullptr) return VRX5200_RESULT_FILE_OPEN_FAILED;
  // The block plan comes from the playback start; without one, or after the last block, there
  // is nothing to send.
  if (board->started != 1 || board->next_block > board->block_count) {
    std::fclose(file);
    return VRX5200_RESULT_NOT_STARTED;
  }
  const uint32_t n = block_size(*board);
  // A pattern file shorter than the plan must not send stale bytes as the pattern.
  if (std::fseek(file, static_cast<long>(g_upload_cursor), SEEK_SET) != 0 ||
      std::fread(g_file_staging, 2, n, file) != n) {
    std::fclose(file);
    return VRX5200_RESULT_FILE_IO;
  }
  g_upload_cursor = static_cast<uint64_t>(std::ftell(file));
  result = send_block(*board, g_file_staging, n, Done_Out);
  std::fclose(file);
  return result;
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_to_DAC(uint32_t Length, const void* Pattern) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (Pattern == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  // The caller's pattern is the whole pattern, Length words: it goes out from its first word,
  // wherever an earlier upload left the cursor.
  int32_t result = start_playback(Length, 0, true);
  if (result != 0) return result;
  int32_t done = 0, position = 0;
  do {
    result = upload_array(*board, static_cast<const uint8_t*>(Pattern), 0, 10000, &position, Length,
                          &done);
  } while (result == 0 && done != 1);
  return result;
}

}  // extern "C"
