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

// ---- Ports left in an unknown state by a failed transfer ----
// A transfer that ends early can leave reply bytes in the receive queue (or still on their way),
// a command-link frame open (select low), or the MPSSE engine in the middle of a command. The
// next transfer on that port first puts it back into a known state; on a port without trouble
// nothing extra happens.
enum PortTrouble : uint8_t {
  kStaleReplies = 1,  // bytes of an abandoned read may be queued or still arriving
  kFrameOpen = 2,     // a command-link frame may be open
  kEngineLost = 4,    // the MPSSE engine may be inside a command or its data
  kSetUpLost = 8,     // a close reset the port and then failed: it needs its set-up again
};
uint8_t port_trouble(FT_HANDLE h);
// Notes trouble on a port and drops what its receive queue holds now (status not used).
void add_port_trouble(FT_HANDLE h, uint8_t trouble);
void clear_port_trouble(FT_HANDLE h, uint8_t trouble);
// Empties the receive queue: one poll, and a purge only when bytes are there.
int32_t drain_receive_queue(FT_HANDLE h);
// Ends a transfer that read its bytes: on a port that may get stale replies, the queue must be
// empty now. Bytes there mean an abandoned read's reply arrived during the transfer and took the
// place of its own: they are purged and the transfer fails with 8. An empty queue ends the
// trouble.
int32_t confirm_no_stale_replies(FT_HANDLE h);

// Resets, purges and closes port slot p of a record; stores -1 in the slot when the close
// succeeds. When it fails, the port stays open under its handle but reset: its next transfer
// sets it up again for its role first. Returns the FT_Close status.
int32_t close_port(BoardRecord& board, int p);
// Closes the four ports of a record, stopping at the first failing close; on success leaves no
// board selected. The close of VRX5200BrdCtrl_Close_VRX_Ports.
int32_t close_board_ports(BoardRecord& board);

}  // namespace vrx
