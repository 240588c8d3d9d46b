// Board discovery: the ports whose description begins with "VRX5200" are grouped by the first
// eight characters of their serial numbers; a group of exactly four ports is a board.
#include <cstring>

#include "session/state.h"

namespace vrx {
namespace {

constexpr char kBoardDescription[] = "VRX5200";
constexpr size_t kKeyLength = 8;
constexpr size_t kTextSize = 100;

struct BoardPort {
  FT_HANDLE handle;
  uint32_t position;
  char serial[kTextSize];
};

// Discovery's working lists: static, like every other buffer of the library.
BoardPort g_board_ports[kMaxDevices];
char g_seen_keys[kMaxBoards][kKeyLength + 1];

bool same_key(const char* a, const char* b) {
  return std::strncmp(a, b, kKeyLength) == 0;
}

// Called for every board found, with its number and serial key.
struct BoardSink {
  virtual void report(int32_t board, const char* key) = 0;
};

// The selected board's place in the device list before a discovery: its ports' location IDs.
struct OpenBoard {
  bool any = false;
  uint32_t locations[kPortsPerBoard];
  BoardRecord session;  // its record as it was, open handles included
};

OpenBoard remember_open_board() {
  OpenBoard open;
  const BoardRecord* board = selected_board();
  if (board == nullptr) return open;
  open.any = true;
  open.session = *board;
  for (int p = 0; p < kPortsPerBoard; ++p) {
    const uint32_t index = board->device_index[p];
    open.locations[p] =
        index < static_cast<uint32_t>(g_state.location_count) ? g_state.locations[index] : 0;
  }
  return open;
}

// Discovery numbers the boards afresh, and overwrites the port handles and device indices of
// the records it fills. The selected board's session must survive that: its open handles are
// the only way to close its ports. When its number changed, or its record went to another
// board, the session moves to the board's new number, or (the board gone from the list) to the
// first record this discovery left free.
void keep_open_board(const OpenBoard& open, int32_t boards) {
  if (!open.any) return;
  BoardRecord session = open.session;
  int32_t target = -1;
  for (int32_t b = 0; b < boards && target < 0; ++b) {
    bool same = true;
    for (int p = 0; p < kPortsPerBoard && same; ++p) {
      same = g_state.locations[g_state.boards[b].device_index[p]] == open.locations[p];
    }
    if (same) target = b;
  }
  if (target >= 0) {
    std::memcpy(session.device_index, g_state.boards[target].device_index,
                sizeof session.device_index);
    g_state.jtag_device_index = static_cast<int32_t>(session.device_index[kJtagPort]);
  } else {
    target = g_state.selected >= boards ? g_state.selected : boards;
    if (target >= kMaxBoards) return;  // every record in use: nowhere to keep it
    // Its device indices no longer name its ports.
    g_state.jtag_device_index = -1;
    for (uint32_t& index : session.device_index) index = kMaxDevices;
  }
  g_state.boards[target] = session;
  g_state.selected = target;
}

int32_t discover(BoardSink& sink, int32_t* board_count) {
  const OpenBoard open = remember_open_board();
  g_state.location_count = 0;
  g_state.boards_found = 0;
  int ports = 0;
  int seen = 0;

  DWORD listed = 0;
  const bool listed_ok = FT_CreateDeviceInfoList(&listed) == FT_OK;
  if (listed_ok && listed == 0) return VRX5200_RESULT_NO_DEVICES;
  // Without a count, entries are read until one fails. Entries past the location list's 100
  // are not read: a port there could not be opened by location anyway.
  const uint32_t limit = listed_ok && listed < kMaxDevices ? listed : kMaxDevices;
  for (uint32_t i = 0; i < limit; ++i) {
    DWORD flags = 0, type = 0, id = 0, location = 0;
    char serial[kTextSize] = {};
    char description[kTextSize] = {};
    FT_HANDLE handle = nullptr;
    const FT_STATUS status =
        FT_GetDeviceInfoDetail(i, &flags, &type, &id, &location, serial, description, &handle);
    g_state.locations[g_state.location_count++] = location;
    if (status != FT_OK) return VRX5200_RESULT_NO_DEVICES;
    serial[kTextSize - 1] = '\0';
    if (std::strncmp(description, kBoardDescription, sizeof kBoardDescription - 1) == 0) {
      BoardPort& port = g_board_ports[ports++];
      port.handle = handle;
      port.position = i;
      std::memcpy(port.serial, serial, kTextSize);
    }
  }
  if (!listed_ok) return VRX5200_RESULT_NO_DEVICES;

  int32_t boards = 0;
  for (int i = 0; i + 3 < ports; ++i) {
    const char* key = g_board_ports[i].serial;
    bool known = false;
    for (int s = 0; s < seen && !known; ++s) known = same_key(g_seen_keys[s], key);
    if (known) continue;
    int group[kMaxDevices];
    int size = 0;
    group[size++] = i;
    for (int j = i + 1; j < ports; ++j) {
      if (same_key(g_board_ports[j].serial, key)) group[size++] = j;
    }
    std::strncpy(g_seen_keys[seen], key, kKeyLength);
    g_seen_keys[seen][kKeyLength] = '\0';
    ++seen;
    if (size != kPortsPerBoard) continue;
    BoardRecord& board = g_state.boards[boards];
    for (int p = 0; p < kPortsPerBoard; ++p) {
      board.port[p] = g_board_ports[group[p]].handle;
      board.device_index[p] = g_board_ports[group[p]].position;
    }
    sink.report(boards, g_seen_keys[seen - 1]);
    ++boards;
  }
  keep_open_board(open, boards);
  g_state.boards_found = boards;
  *board_count = boards;
  return VRX5200_RESULT_OK;
}

}  // namespace
}  // namespace vrx

using namespace vrx;

extern "C" {

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_VRX5200_EVM(int32_t* Board_Count,
                                                                char* Key_List,
                                                                int32_t* List_Length) {
  if (Board_Count == nullptr || Key_List == nullptr || List_Length == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  Key_List[0] = '\0';
  *List_Length = 0;
  struct KeyList : BoardSink {
    char* text;
    int32_t* length;
    size_t used = 0;
    void report(int32_t, const char* key) override {
      const size_t n = std::strlen(key);
      std::memcpy(text + used, key, n);
      text[used + n] = ',';
      used += n + 1;
      text[used] = '\0';
      *length += 9;
    }
  } sink;
  sink.text = Key_List;
  sink.length = List_Length;
  return discover(sink, Board_Count);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_InitVRX5200_EVM(const char* Wanted_Key,
                                                                int32_t* Board_Number,
                                                                int32_t* Board_Count) {
  if (Wanted_Key == nullptr || Board_Number == nullptr || Board_Count == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  struct Finder : BoardSink {
    const char* wanted;
    int32_t* number;
    void report(int32_t board, const char* key) override {
      if (same_key(key, wanted)) *number = board;
    }
  } sink;
  sink.wanted = Wanted_Key;
  sink.number = Board_Number;
  return discover(sink, Board_Count);
}

}  // extern "C"
