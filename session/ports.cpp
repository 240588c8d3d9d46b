#include "session/ports.h"

#include <initializer_list>

#include "vrx5200_brdctrl.h"

namespace vrx {

int32_t port_write(FT_HANDLE h, const void* bytes, uint32_t n, uint32_t pause_ms) {
  DWORD written = 0;
  const FT_STATUS status = FT_Write(h, const_cast<void*>(bytes), n, &written);
  if (written != n) return VRX5200_RESULT_SHORT_WRITE;
  if (status != FT_OK) return static_cast<int32_t>(status);
  platform_sleep_ms(pause_ms);
  return VRX5200_RESULT_OK;
}

int32_t port_read(FT_HANDLE h, uint32_t n, void* dest) {
  const uint32_t start = platform_clock_ms();
  if (n != 0) {
    // Polls without pausing: the bytes of a frame or block arrive within microseconds, and a
    // sleep would cost a whole scheduler tick per exchange.
    for (;;) {
      DWORD queued = 0;
      const FT_STATUS status = FT_GetQueueStatus(h, &queued);
      if (status != FT_OK) return static_cast<int32_t>(status);
      if (platform_clock_ms() - start > kPortReadTimeoutMs) {
        if (queued < n) return VRX5200_RESULT_PORT_TIMEOUT;
        break;
      }
      if (queued >= n) break;
    }
  }
  DWORD got = 0;
  const FT_STATUS status = FT_Read(h, dest, n, &got);
  if (got != n) return VRX5200_RESULT_SHORT_READ;
  return static_cast<int32_t>(status);
}

namespace {

// The ports with trouble: a handful at most (the four of the selected board), found by handle.
struct Trouble {
  FT_HANDLE handle;
  uint8_t flags;
};
Trouble g_trouble[8];

Trouble* trouble_entry(FT_HANDLE h, bool add) {
  Trouble* free_entry = nullptr;
  for (Trouble& t : g_trouble) {
    if (t.flags != 0 && t.handle == h) return &t;
    if (t.flags == 0 && free_entry == nullptr) free_entry = &t;
  }
  if (!add) return nullptr;
  // A full table gives up its first entry: with eight entries for four ports in use, it can only
  // belong to a port closed without a close through the library.
  if (free_entry == nullptr) free_entry = &g_trouble[0];
  *free_entry = Trouble{h, 0};
  return free_entry;
}

}  // namespace

uint8_t port_trouble(FT_HANDLE h) {
  const Trouble* t = trouble_entry(h, false);
  return t != nullptr ? t->flags : 0;
}

void add_port_trouble(FT_HANDLE h, uint8_t trouble) {
  trouble_entry(h, true)->flags |= trouble;
  FT_Purge(h, FT_PURGE_RX);
}

void clear_port_trouble(FT_HANDLE h, uint8_t trouble) {
  if (Trouble* t = trouble_entry(h, false)) t->flags = static_cast<uint8_t>(t->flags & ~trouble);
}

// One poll of the receive queue, and a purge when it holds bytes. `found` tells which.
static int32_t purge_if_queued(FT_HANDLE h, bool& found) {
  DWORD queued = 0;
  const FT_STATUS status = FT_GetQueueStatus(h, &queued);
  found = status == FT_OK && queued != 0;
  if (status != FT_OK) return static_cast<int32_t>(status);
  return found ? static_cast<int32_t>(FT_Purge(h, FT_PURGE_RX)) : VRX5200_RESULT_OK;
}

int32_t drain_receive_queue(FT_HANDLE h) {
  bool found = false;
  return purge_if_queued(h, found);
}

int32_t confirm_no_stale_replies(FT_HANDLE h) {
  if ((port_trouble(h) & kStaleReplies) == 0) return VRX5200_RESULT_OK;
  bool found = false;
  const int32_t result = purge_if_queued(h, found);
  if (found) return VRX5200_RESULT_SHORT_READ;
  if (result == 0) clear_port_trouble(h, kStaleReplies);
  return result;
}

int32_t channel_setup(FT_HANDLE h) {
  FT_STATUS status = FT_ResetDevice(h);
  if (status == FT_OK) status = FT_SetUSBParameters(h, 65536, 65536);
  if (status == FT_OK) {
    // The driver keeps the event parameter's address; it must outlive the call.
    static DWORD no_event = 0;
    status = FT_SetEventNotification(h, 0, &no_event);
  }
  if (status == FT_OK) status = FT_SetChars(h, 0, 0, 0, 0);
  if (status == FT_OK) status = FT_SetTimeouts(h, 2000, 1000);
  if (status == FT_OK) status = FT_SetLatencyTimer(h, 16);
  if (status == FT_OK) status = FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
  return static_cast<int32_t>(status);
}

int32_t mpsse_setup(FT_HANDLE h) {
  int32_t result = channel_setup(h);
  if (result == 0) result = static_cast<int32_t>(FT_SetBitMode(h, 0, FT_BITMODE_RESET));
  if (result == 0) result = static_cast<int32_t>(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE));
  // All outputs high (select inactive), pin 2 input; then the fastest clock (divide-by-5 off,
  // divisor 0: 30 MHz), then loop-back off. The engine needs the pauses to settle.
  static const uint8_t kSetPins[] = {0x80, 0xFF, 0xFB};
  static const uint8_t kSetClock[] = {0x8A, 0x86, 0x00, 0x00};
  static const uint8_t kLoopbackOff[] = {0x85};
  if (result == 0) result = port_write(h, kSetPins, sizeof kSetPins, 200);
  if (result == 0) result = port_write(h, kSetClock, sizeof kSetClock, 200);
  if (result == 0) result = port_write(h, kLoopbackOff, sizeof kLoopbackOff, 200);
  return result;
}

int32_t bitbang_setup(FT_HANDLE h, uint8_t mask) {
  int32_t result = channel_setup(h);
  if (result == 0) result = static_cast<int32_t>(FT_SetBitMode(h, mask, FT_BITMODE_RESET));
  if (result == 0) result = static_cast<int32_t>(FT_SetBitMode(h, mask, FT_BITMODE_SYNC_BITBANG));
  if (result == 0) result = static_cast<int32_t>(FT_SetBaudRate(h, 8000000));
  return result;
}

int32_t close_port(BoardRecord& board, int p) {
  FT_HANDLE h = board.port[p];
  // A slot closed by an earlier, partly failed close stays closed: closing it again could only
  // fail, and would keep the remaining ports from ever being closed.
  if (h == closed_handle()) return VRX5200_RESULT_OK;
  FT_SetBitMode(h, 0, FT_BITMODE_RESET);
  FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
  FT_ResetDevice(h);
  const FT_STATUS status = FT_Close(h);
  if (status == FT_OK) {
    clear_port_trouble(h, 0xFF);
    board.port[p] = closed_handle();
  } else {
    // The board stays selected with this port open, but reset out of its mode: a transfer on
    // it now would go nowhere (an upload would report blocks sent that no board took).
    add_port_trouble(h, kSetUpLost);
  }
  return static_cast<int32_t>(status);
}

static void forget_board(BoardRecord& board) {
  board.started = -1;
  board.session_kind = kNoSession;
  g_state.selected = -1;
  g_state.jtag_handle = closed_handle();
  g_state.jtag_device_index = -1;
}

int32_t close_board_ports(BoardRecord& board) {
  for (int p = 0; p < kPortsPerBoard; ++p) {
    const int32_t status = close_port(board, p);
    if (status != 0) return status;
  }
  forget_board(board);
  return VRX5200_RESULT_OK;
}

// Adds a status into an accumulator of OR-ed statuses.
static void collect(int32_t& acc, int32_t status) {
  acc |= status;
}

}  // namespace vrx

using namespace vrx;

extern "C" {

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Open_VRX5200_Ports(int32_t Board_Number,
                                                                   int32_t Board_Count) {
  // Opening starts from no board selected, whether or not the selected board's ports close.
  if (BoardRecord* current = selected_board()) close_board_ports(*current);
  g_state.selected = -1;
  // Only the boards of the last discovery have current location IDs: a record past them holds
  // another time's ports, which may now be another device's.
  if (Board_Number < 0 || Board_Number >= Board_Count || Board_Number >= kMaxBoards ||
      Board_Number >= g_state.boards_found) {
    return VRX5200_RESULT_NO_BOARD;
  }
  BoardRecord& board = g_state.boards[Board_Number];
  auto location = [&](int p) -> PVOID {
    const uint32_t index = board.device_index[p];
    const uint32_t loc =
        index < static_cast<uint32_t>(g_state.location_count) ? g_state.locations[index] : 0;
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(loc));
  };
  // A port that does not open keeps no handle: its slot reads closed, not an old session's.
  auto open_port = [&](int p) {
    board.port[p] = closed_handle();
    const FT_STATUS status = FT_OpenEx(location(p), FT_OPEN_BY_LOCATION, &board.port[p]);
    if (status != FT_OK) {
      board.port[p] = closed_handle();
    } else {
      clear_port_trouble(board.port[p], 0xFF);  // the driver may hand out a handle value again
    }
    return status;
  };

  int32_t acc = 0;
  for (int p = 0; p < 3; ++p) {
    collect(acc, static_cast<int32_t>(open_port(p)));
    collect(acc, p < 2 ? mpsse_setup(board.port[p]) : bitbang_setup(board.port[p], 0xFB));
  }
  if (acc != 0) {
    // Ports left open would make the next open of this board fail: close what did open.
    for (int p = 0; p < 3; ++p) close_port(board, p);
    return VRX5200_RESULT_PORT_OPEN_FAILED;
  }

  collect(acc, static_cast<int32_t>(open_port(3)));
  collect(acc, bitbang_setup(board.port[3], 0xFF));
  // Pulse pin 7 of the JTAG port low and back high.
  for (uint8_t pulse : {uint8_t{0x7F}, uint8_t{0xFF}}) {
    DWORD written = 0;
    const FT_STATUS status = FT_Write(board.port[3], &pulse, 1, &written);
    collect(acc, written != 1 ? VRX5200_RESULT_SHORT_WRITE : static_cast<int32_t>(status));
  }
  g_state.jtag_handle = board.port[3];
  g_state.jtag_device_index = static_cast<int32_t>(board.device_index[3]);
  g_state.jtag_location = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(location(3)));

  if (acc != 0) {
    for (int p = 0; p < kPortsPerBoard; ++p) close_port(board, p);
    forget_board(board);
    return VRX5200_RESULT_NO_BOARD;
  }
  g_state.selected = Board_Number;
  board.started = 0;
  board.session_kind = kNoSession;
  return VRX5200_RESULT_OK;
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Close_VRX_Ports(void) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  return close_board_ports(*board);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Clear_Buffer(void) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  int32_t acc = 0;
  for (int p = 0; p < kPortsPerBoard; ++p) {
    collect(acc, static_cast<int32_t>(FT_Purge(board->port[p], FT_PURGE_RX | FT_PURGE_TX)));
  }
  return acc;
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_FTDI_DevStatus(void) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  for (int p = 0; p < kPortsPerBoard; ++p) {
    ULONG modem_status = 0;
    if (FT_GetModemStatus(board->port[p], &modem_status) != FT_OK) return 1;
  }
  return VRX5200_RESULT_OK;
}

}  // extern "C"
