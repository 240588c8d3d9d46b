// The command link to the FPGA: frames bit-banged on port 2 (synchronous bit-bang), and the MPSSE
// block transfers on the data ports 0 and 1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/d2xx.h"

namespace vrx {

// A frame's pin patterns are built in a 65,536-byte buffer, 16 patterns per frame byte.
constexpr uint32_t kMaxFrameBytes = 4096;
// Block transfers move 1 to 65,536 bytes (the MPSSE length field).
constexpr uint32_t kMaxBlockBytes = 65536;

// Pin bytes of the command-link port: pin 0 clock, pin 1 data out, pin 2 data in (from the
// FPGA), pin 3 select (active low), pins 4-6 high, pin 7 follows the clock.
constexpr uint8_t kLinkOpen = 0xF7;   // select low, everything else high
constexpr uint8_t kLinkClose = 0xFF;  // select high

// Encodes n frame bytes into 16 * n pin patterns: for every bit, least significant first, a
// clock-low pattern 0x74 | bit << 1 and a clock-high pattern with 0x81 added.
void encode_frame(const uint8_t* frame, size_t n, uint8_t* patterns);
// Decodes the 16 * n pin-state bytes returned for the patterns into n reply bytes: bit k of
// reply byte i is pin 2 of returned byte 16 * i + 2 * k + 1.
void decode_reply(const uint8_t* returned, size_t n, uint8_t* reply);

// One full-duplex frame: n command bytes out, n reply bytes back into `reply`. 108 for a frame
// longer than 4,096 bytes (nothing sent).
int32_t link_exchange(FT_HANDLE port, const uint8_t* frame, uint32_t n, uint8_t* reply);
// The exchange on port 2 of the selected board (101 when none is selected).
int32_t board_exchange(const uint8_t* frame, uint32_t n, uint8_t* reply);

// MPSSE block transfers of 1 to 65,536 bytes on one data port (108 otherwise, nothing sent).
int32_t bulk_read(FT_HANDLE port, uint32_t n, uint8_t* dest);
int32_t bulk_write(FT_HANDLE port, uint32_t n, const uint8_t* src);

// Builds register commands in a frame buffer; each returns the position after the command.
inline uint32_t put_read(uint8_t* frame, uint32_t at, uint8_t address) {
  frame[at] = address;
  frame[at + 1] = 0x00;
  return at + 2;
}
inline uint32_t put_write(uint8_t* frame, uint32_t at, uint8_t address, uint8_t data) {
  frame[at] = static_cast<uint8_t>(0x10 | address);
  frame[at + 1] = data;
  frame[at + 2] = address;
  frame[at + 3] = 0x00;
  return at + 4;
}

// Writes n copies of a 4-byte group at dest (n <= 0 writes nothing). The group may be dest's own
// first four bytes: each copy reads the unchanged first group.
void replicate_frame(uint8_t* dest, int32_t n, const uint8_t* group);
// Sends n identical writes of `value` to a register as one exchange on the selected board.
int32_t send_register_run(uint8_t address, uint8_t value, int32_t n);
// Keeps the first failure of a sequence that makes every exchange: once one has failed, the
// set-up is incomplete whatever the later ones return.
inline void keep_first_failure(int32_t& result, int32_t status) {
  if (result == 0) result = status;
}

}  // namespace vrx
