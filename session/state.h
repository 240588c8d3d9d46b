// Library-wide state: the board table, the selected board, the location list of the last
// discovery, the copies of the JTAG port, and the shared frame and port buffers. All of it lives
// in static storage for the life of the process; the library controls one board at a time.
#pragma once

#include <cstdint>

#include "session/d2xx.h"
#include "vrx5200_brdctrl.h"

namespace vrx {

constexpr int kMaxBoards = 100;
constexpr int kMaxDevices = 100;
constexpr int kPortsPerBoard = 4;

// Port roles within a board.
constexpr int kDataPort0 = 0;
constexpr int kDataPort1 = 1;
constexpr int kCommandPort = 2;
constexpr int kJtagPort = 3;

// Session kinds stored in a board record.
constexpr int32_t kNoSession = -1;
constexpr int32_t kAdcSession = 1;
constexpr int32_t kDacSession = 2;

// Handle value of a closed port slot.
inline FT_HANDLE closed_handle() {
  return reinterpret_cast<FT_HANDLE>(static_cast<intptr_t>(-1));
}

struct BoardRecord {
  FT_HANDLE port[kPortsPerBoard];
  uint32_t device_index[kPortsPerBoard];
  ADC_Session_Params adc;
  DAC_Session_Params dac;
  int32_t recorded_block_count;
  int32_t start_time;
  int32_t status_byte;
  int32_t block_count;
  int32_t last_block_size;
  int32_t capture_total;
  int32_t started;
  int32_t next_block;
  int32_t session_kind;
};

struct LibraryState {
  BoardRecord boards[kMaxBoards];
  int32_t selected = -1;
  uint32_t locations[kMaxDevices];
  int32_t location_count = 0;
  int32_t boards_found = 0;  // boards of the last discovery (none after a failed one)
  FT_HANDLE jtag_handle = nullptr;
  int32_t jtag_device_index = 0;
  // The JTAG port's location ID when the ports opened: the FPGA load re-opens the port by it,
  // whatever discoveries ran since.
  uint32_t jtag_location = 0;
};

extern LibraryState g_state;

constexpr uint32_t kBufferSize = 65536;
extern uint8_t g_command_buffer[kBufferSize];
extern uint8_t g_reply_buffer[kBufferSize];
extern uint8_t g_port_buffer[2][kBufferSize];

// The selected board's record, or null when no board is selected.
inline BoardRecord* selected_board() {
  return g_state.selected >= 0 ? &g_state.boards[g_state.selected] : nullptr;
}

}  // namespace vrx
