#include "link/cmdlink.h"

#include <array>
#include <cstring>

#include "session/ports.h"
#include "session/state.h"

namespace vrx {
namespace {

// The 16 pin patterns of every byte value, built at compile time.
using Patterns = std::array<std::array<uint8_t, 16>, 256>;
constexpr Patterns make_patterns() {
  Patterns table{};
  for (int value = 0; value < 256; ++value) {
    for (int bit = 0; bit < 8; ++bit) {
      const uint8_t first = static_cast<uint8_t>(0x74 | ((value >> bit) & 1) << 1);
      table[value][2 * bit] = first;
      table[value][2 * bit + 1] = static_cast<uint8_t>(first | 0x81);
    }
  }
  return table;
}
constexpr Patterns kPatterns = make_patterns();
static_assert(kPatterns[0xA5][0] == 0x76 && kPatterns[0xA5][1] == 0xF7);
static_assert(kPatterns[0xA5][2] == 0x74 && kPatterns[0xA5][3] == 0xF5);

// The pin patterns of one frame, and the pin states returned for them.
uint8_t g_sample_buffer[kBufferSize];
static_assert(kMaxFrameBytes * 16 == sizeof g_sample_buffer);

// Writes one byte with an unchecked-pause-free write: 10 when the count is short.
int32_t write_one(FT_HANDLE port, uint8_t byte) {
  DWORD written = 0;
  const FT_STATUS status = FT_Write(port, &byte, 1, &written);
  if (written != 1) return VRX5200_RESULT_SHORT_WRITE;
  return static_cast<int32_t>(status);
}

int32_t write_all(FT_HANDLE port, const uint8_t* bytes, uint32_t n) {
  DWORD written = 0;
  const FT_STATUS status = FT_Write(port, const_cast<uint8_t*>(bytes), n, &written);
  if (written != n) return VRX5200_RESULT_SHORT_WRITE;
  return static_cast<int32_t>(status);
}

}  // namespace

void encode_frame(const uint8_t* frame, size_t n, uint8_t* patterns) {
  for (size_t i = 0; i < n; ++i) std::memcpy(patterns + 16 * i, kPatterns[frame[i]].data(), 16);
}

void decode_reply(const uint8_t* returned, size_t n, uint8_t* reply) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* r = returned + 16 * i + 1;
    uint8_t value = 0;
    for (int k = 0; k < 8; ++k) value = static_cast<uint8_t>(value | ((r[2 * k] >> 2) & 1) << k);
    reply[i] = value;
  }
}

namespace {

// The frame on the wire: opening byte, the patterns of the frame bytes, closing byte, each
// answered by as many pin-state bytes as were written.
int32_t exchange_frame(FT_HANDLE port, const uint8_t* frame, uint32_t n, uint8_t* reply) {
  uint8_t discard = 0;
  int32_t result = write_one(port, kLinkOpen);
  if (result != 0) return result;
  result = port_read(port, 1, &discard);
  if (result != 0) return result;
  if (n > 0) {
    encode_frame(frame, n, g_sample_buffer);
    result = write_all(port, g_sample_buffer, 16 * n);
    if (result != 0) return result;
    result = port_read(port, 16 * n, g_sample_buffer);
    if (result != 0) return result;
    decode_reply(g_sample_buffer, n, reply);
  }
  result = write_one(port, kLinkClose);
  if (result != 0) return result;
  return port_read(port, 1, &discard);
}

// Puts a command-link port that a failed exchange left behind back into a known state: the
// frame closed (the FPGA starts its next frame afresh at the next opening byte) and no reply
// bytes queued.
int32_t recover_link(FT_HANDLE port) {
  uint8_t trouble = port_trouble(port);
  if (trouble == 0) return VRX5200_RESULT_OK;
  if (trouble & kSetUpLost) {
    // Reset by a close that failed: the bit-bang set-up opening the ports gives it, afresh
    // (which also leaves no frame open).
    const int32_t result = bitbang_setup(port, 0xFB);
    if (result != 0) return result;
    clear_port_trouble(port, kSetUpLost | kFrameOpen);
    trouble = port_trouble(port);
  }
  if (trouble & kFrameOpen) {
    uint8_t discard = 0;
    int32_t result = write_one(port, kLinkClose);
    if (result == 0) result = port_read(port, 1, &discard);
    if (result != 0) return result;
    clear_port_trouble(port, kFrameOpen);
  }
  return drain_receive_queue(port);
}

}  // namespace

int32_t link_exchange(FT_HANDLE port, const uint8_t* frame, uint32_t n, uint8_t* reply) {
  if (n > kMaxFrameBytes) return VRX5200_RESULT_INVALID_ARGUMENT;
  int32_t result = recover_link(port);
  if (result == 0) result = exchange_frame(port, frame, n, reply);
  if (result == 0) result = confirm_no_stale_replies(port);
  // The pin-state bytes of what did go out may still be queued or on their way, and the frame
  // may be open: no later reply may be taken from them.
  if (result != 0) add_port_trouble(port, kStaleReplies | kFrameOpen);
  return result;
}

int32_t board_exchange(const uint8_t* frame, uint32_t n, uint8_t* reply) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  return link_exchange(board->port[kCommandPort], frame, n, reply);
}

// Select: pin 3 low, every other output high, pin 2 input. Deselect: all outputs high.
static const uint8_t kSelect[3] = {0x80, 0xF7, 0xFB};
static const uint8_t kDeselect[3] = {0x80, 0xFF, 0xFB};

namespace {

// Puts a data port that a failed transfer left behind back into a known state: the MPSSE engine
// set up afresh as opening the ports does (an engine inside a command would take the next
// transfer's bytes as its data) and no read data queued.
int32_t recover_data_port(FT_HANDLE port) {
  const uint8_t trouble = port_trouble(port);
  if (trouble == 0) return VRX5200_RESULT_OK;
  if (trouble & (kEngineLost | kSetUpLost)) {
    const int32_t result = mpsse_setup(port);
    if (result != 0) return result;
    clear_port_trouble(port, kEngineLost | kSetUpLost);
  }
  return drain_receive_queue(port);
}

// Ends a block transfer: a failed write leaves the engine's command stream unknown, a failed
// read leaves read data to come.
int32_t end_transfer(FT_HANDLE port, int32_t result, uint8_t trouble) {
  if (result != 0) add_port_trouble(port, trouble);
  return result;
}

}  // namespace

int32_t bulk_read(FT_HANDLE port, uint32_t n, uint8_t* dest) {
  if (n == 0 || n > kMaxBlockBytes) return VRX5200_RESULT_INVALID_ARGUMENT;
  constexpr uint8_t kWriteTrouble = kEngineLost | kStaleReplies;
  int32_t result = recover_data_port(port);
  if (result != 0) return end_transfer(port, result, kStaleReplies);
  result = write_all(port, kSelect, 3);
  if (result != 0) return end_transfer(port, result, kWriteTrouble);
  platform_sleep_ms(0);
  const uint8_t command[3] = {0x28, static_cast<uint8_t>((n - 1) & 0xFF),
                              static_cast<uint8_t>(((n - 1) >> 8) & 0xFF)};
  result = write_all(port, command, 3);
  if (result != 0) return end_transfer(port, result, kWriteTrouble);
  platform_sleep_ms(0);
  // Send immediate: the bytes would otherwise wait for the latency timer. Its failure alone
  // does not end the read, which then relies on the wait below.
  if (write_one(port, 0x87) == 0) platform_sleep_ms(0);
  result = port_read(port, n, dest);
  if (result != 0) return end_transfer(port, result, kStaleReplies);
  result = port_write(port, kDeselect, 3, 0);
  if (result != 0) return end_transfer(port, result, kWriteTrouble);
  return end_transfer(port, confirm_no_stale_replies(port), kStaleReplies);
}

int32_t bulk_write(FT_HANDLE port, uint32_t n, const uint8_t* src) {
  if (n == 0 || n > kMaxBlockBytes) return VRX5200_RESULT_INVALID_ARGUMENT;
  const uint8_t header[6] = {0x80,
                             0xF7,
                             0xFB,
                             0x19,
                             static_cast<uint8_t>((n - 1) & 0xFF),
                             static_cast<uint8_t>(((n - 1) >> 8) & 0xFF)};
  int32_t result = recover_data_port(port);
  if (result == 0) result = write_all(port, header, 6);
  if (result == 0) result = write_all(port, src, n);
  if (result == 0) result = write_all(port, kDeselect, 3);
  return end_transfer(port, result, kEngineLost);
}

void replicate_frame(uint8_t* dest, int32_t n, const uint8_t* group) {
  uint8_t first[4];
  std::memcpy(first, group, 4);
  for (int32_t i = 0; i < n; ++i) std::memcpy(dest + 4 * i, first, 4);
}

int32_t send_register_run(uint8_t address, uint8_t value, int32_t n) {
  put_write(g_command_buffer, 0, address, value);
  replicate_frame(g_command_buffer, n, g_command_buffer);
  return board_exchange(g_command_buffer, static_cast<uint32_t>(4 * n), g_reply_buffer);
}

}  // namespace vrx
