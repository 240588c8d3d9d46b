// Port I/O primitives and the set-ups that give each of a board's four ports its role.
#pragma once

#include <cstdint>

#include "session/d2xx.h"
#include "session/state.h"

namespace vrx {

// Waits for port reads give up after this many milliseconds of the process clock.
constexpr uint32_t kPortReadTimeoutMs = 10000;

// Writes n bytes and then sleeps pause_ms. A short count is 10 even when the driver also failed.
int32_t port_write(FT_HANDLE h, const void* bytes, uint32_t n, uint32_t pause_ms);
// Waits up to 10,000 ms until n bytes are queued, then reads them (9 on time-out, 8 when short).
int32_t port_read(FT_HANDLE h, uint32_t n, void* dest);

int32_t channel_setup(FT_HANDLE h);
int32_t mpsse_setup(FT_HANDLE h);
int32_t bitbang_setup(FT_HANDLE h, uint8_t mask);

// Resets, purges and closes port slot p of a record; stores -1 in the slot when the close
// succeeds. Returns the FT_Close status.
int32_t close_port(BoardRecord& board, int p);
// Closes the four ports of a record, stopping at the first failing close; on success leaves no
// board selected. The close of VRX5200BrdCtrl_Close_VRX_Ports.
int32_t close_board_ports(BoardRecord& board);

}  // namespace vrx
