// The simulated bench: a stand-in for the USB driver and the boards behind it.
//
// It implements the D2XX functions of session/d2xx.h over a model of the machine's USB bridges
// (a device list of ports, each with its channel settings, bit mode and receive queue) and the
// two system services over a virtual millisecond clock. A board model (sim/board.h) plugs in
// behind the four ports of every simulated board. Tests drive it through this C++ API: build the
// device list, record every D2XX call, inject faults, and read or set the virtual time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class Board;

// What sits behind a port's pins. The default reads every input pin high (pull-ups) and drops
// whatever is clocked out.
class PortPeer {
 public:
  virtual ~PortPeer() = default;
  // Bit-bang: the levels the peer drives onto the port's pins now (read on the input pins).
  virtual uint8_t inputs() { return 0xFF; }
  // Bit-bang: the port now drives `levels` on the pins whose `mask` bit is set. The port samples
  // its pins just before it applies the new levels, so the peer reacts after the sample.
  virtual void react(uint8_t /*levels*/, uint8_t /*mask*/) {}
  // MPSSE: the low data byte was set to value / direction.
  virtual void mpsse_pins(uint8_t /*value*/, uint8_t /*direction*/) {}
  // MPSSE: n bytes clocked out of the port (0x19).
  virtual void mpsse_clock_out(const uint8_t* /*data*/, size_t /*n*/) {}
  // MPSSE: n bytes clocked into the port (0x28).
  virtual void mpsse_clock_in(uint8_t* data, size_t n);
};

// One recorded D2XX call.
struct Call {
  std::string name;            // "FT_Write", "FT_SetBitMode", ...
  int entry = -1;              // device-list position (bench entry number) of the port, -1 if none
  std::vector<uint32_t> args;  // the call's scalar arguments in order
  std::vector<uint8_t> data;   // bytes written, or bytes delivered by FT_Read
  uint32_t status = 0;         // status returned
};

// A fault armed on a call. `occurrence` counts the matching calls from 1 (0: every one).
struct Fault {
  // Status: the call fails and moves nothing. ShortWrite/ShortRead: it moves `count` bytes.
  // StatusMoved: FT_Write/FT_Read move every byte (the count reads right) and still fail.
  enum class Kind { Status, ShortWrite, ShortRead, StatusMoved };
  Kind kind = Kind::Status;
  std::string call;  // D2XX function name; ShortWrite/ShortRead imply FT_Write/FT_Read
  int entry = -1;    // -1: any port
  int occurrence = 1;
  uint32_t status = 4;  // status returned (Kind::Status)
  uint32_t count = 0;   // bytes moved (ShortWrite, ShortRead)
  int seen = 0;
};

struct Port {
  int entry = 0;
  uint32_t location = 0;
  uint32_t flags = 0, type = 7, id = 0x04036011;
  std::string serial, description;
  bool present = true;  // false once unplugged
  bool open = false;
  bool silent = false;   // its replies stop: writes are taken, nothing more is queued
  bool stalled = false;  // stops answering: writes time out taking nothing, nothing is queued
  uint32_t generation = 0;
  // Settings made through the driver.
  uint8_t mode = 0, mask = 0;
  uint32_t baud = 0, latency = 16, in_size = 4096, out_size = 4096;
  uint32_t read_timeout = 0, write_timeout = 0, event_mask = 0;
  // Receive queue: what FT_GetQueueStatus counts and FT_Read takes.
  std::vector<uint8_t> rx;
  size_t rx_head = 0;
  // Bytes the port produced that have not reached the host yet, oldest first: a reply held back
  // (it arrives late) or MPSSE read data waiting in the chip for a send-immediate (0x87) or the
  // latency timer. Later bytes queue behind them, so the host sees every byte in order.
  struct Held {
    uint64_t due;    // virtual time the bytes reach the host
    bool flushable;  // MPSSE read data: 0x87 sends it at once, a purge drops it
    std::vector<uint8_t> bytes;
  };
  std::deque<Held> held;
  uint32_t delay_next = 0;  // the next bytes the port produces arrive this many ms late
  // Pins as last driven and sampled (bit-bang) / low byte (MPSSE).
  uint8_t pins = 0xFF;
  // MPSSE command parser.
  std::vector<uint8_t> pending;  // an incomplete command's bytes
  uint32_t data_left = 0;        // data bytes of a 0x19 still to come
  PortPeer* peer = nullptr;

  size_t queued() const { return rx.size() - rx_head; }
  // The port produces n bytes at virtual time `now` (flushable: MPSSE read data, held until a
  // send-immediate or `latency` ms).
  void queue(const uint8_t* data, size_t n, uint64_t now, bool flushable = false,
             uint32_t latency = 0);
  // Moves the held bytes that are due by `now` into the receive queue, in order.
  void release(uint64_t now);
  // A send-immediate: held MPSSE read data becomes due now.
  void flush(uint64_t now);
  // A purge of the receive side: the queue and the chip's buffered read data are dropped; a
  // late reply the device has not produced yet still arrives.
  void purge_rx();
};

class Bench {
 public:
  static Bench& get();

  // An empty machine: no devices, clock at 0, no records, no faults, recording on.
  void reset();
  // The machine the tools see when nothing else is set up: the boards SIM00001, SIM00002, ...,
  // as many as VRX5200_SIM_BOARDS says (1 to kMaxDefaultBoards; 1 when unset or not such a
  // number), so that a server of several boards can be tried without hardware.
  void reset_default();
  static constexpr int kMaxDefaultBoards = 16;
  static int default_boards();

  // ---- device list ----
  // Adds a board of four ports with serial numbers key+"A".."D" and descriptions
  // description+" A".."D". Returns the board's number among the bench's boards.
  int add_board(const std::string& key, const std::string& description = "VRX5200 EVM");
  // Adds a port that belongs to no board model. Returns its entry number.
  int add_device(const std::string& serial, const std::string& description);
  // Adds a board port (description "VRX5200 ...") with no board model behind it.
  int add_port(const std::string& serial, const std::string& description) {
    return add_device(serial, description);
  }
  size_t board_count() const { return boards_.size(); }
  Board& board(int b) { return *boards_.at(b); }
  // Entry number of port p (0-3) of board b.
  int entry_of(int b, int p) const;
  Port& port(int entry) { return ports_.at(entry); }
  size_t entry_count() const { return ports_.size(); }
  bool is_open(int entry) const { return ports_.at(entry).open; }
  // Unplugs every port of board b: they leave the device list and their handles fail.
  void unplug(int b);
  void replug(int b);

  // ---- time ----
  uint64_t now() const { return now_; }
  void set_now(uint64_t ms) { now_ = ms; }
  void advance(uint64_t ms) { now_ += ms; }
  // Virtual milliseconds that one FT_GetQueueStatus costs (default 1).
  void set_poll_cost(uint32_t ms) { poll_cost_ = ms; }

  // ---- recording ----
  void set_recording(bool on) { recording_ = on; }
  const std::vector<Call>& calls() const { return calls_; }
  std::vector<Call> calls(int entry) const;
  std::vector<Call> calls(int entry, const std::string& name) const;
  // Every byte written to an entry, in order, concatenated.
  std::vector<uint8_t> written(int entry) const;
  void clear_calls() { calls_.clear(); }

  // ---- faults ----
  void fail(const std::string& call, int entry, int occurrence, uint32_t status);
  // FT_Write/FT_Read moves every byte and reports the full count, but returns `status`.
  void fail_moved(const std::string& call, int entry, int occurrence, uint32_t status);
  // The next bytes the port of `entry` produces reach the host `ms` virtual ms late.
  void delay_replies(int entry, uint32_t ms) { ports_.at(entry).delay_next = ms; }
  void short_write(int entry, int occurrence, uint32_t count);
  void short_read(int entry, int occurrence, uint32_t count);
  void silence(int entry, bool on = true) { ports_.at(entry).silent = on; }
  void stall(int entry, bool on = true) { ports_.at(entry).stalled = on; }
  void fail_list(bool on) { list_fails_ = on; }                  // FT_CreateDeviceInfoList fails
  void fail_entry(int position) { entry_fails_at_ = position; }  // that entry cannot be read
  void clear_faults();
  // Arms one fault on the D2XX call numbered `index` (from 0) among the calls made from now on:
  // the call fails (kStatus), moves half its bytes (kShort; other calls fail), moves all of
  // them and fails all the same (kMoved; other calls fail), its port stops answering from then
  // on (kStall), its board is unplugged (kUnplug), or its port's next reply arrives
  // `late_ms` late (kLate).
  enum class Armed { kStatus, kShort, kStall, kUnplug, kMoved, kLate };
  void arm(uint64_t index, Armed kind, uint32_t late_ms = 10500);
  // The name of the call the armed fault hit, empty while it has not hit, and the entry of its
  // port (-1 for a call on no port).
  const std::string& armed_hit() const { return armed_hit_; }
  int armed_hit_entry() const { return armed_hit_entry_; }
  uint64_t calls_made() const { return sequence_; }

  // ---- used by the D2XX functions ----
  Port* port_of(void* handle, uint32_t& status);
  const Fault* fault_for(const char* name, int entry);
  Call* record(const char* name, int entry, std::initializer_list<uint32_t> args, uint32_t status);
  std::vector<int> listed_;  // entries of the last FT_CreateDeviceInfoList, in list order
  bool list_fails_ = false;
  int entry_fails_at_ = -1;
  uint32_t poll_cost_ = 1;
  void write_bytes(Port& port, const uint8_t* data, size_t n);

 private:
  Bench();
  std::deque<Port> ports_;  // stable addresses: peers keep pointers to ports
  std::vector<std::unique_ptr<Board>> boards_;
  std::vector<Call> calls_;
  std::vector<Fault> faults_;
  uint64_t now_ = 0;
  bool recording_ = true;
  int devices_ = 0;  // physical devices added (for location IDs)
  uint64_t sequence_ = 0;
  uint64_t armed_index_ = UINT64_MAX;
  Armed armed_kind_ = Armed::kStatus;
  uint32_t armed_late_ms_ = 0;
  std::string armed_hit_;
  int armed_hit_entry_ = -1;
  Fault armed_fault_;
  void mpsse_write(Port& port, const uint8_t* data, size_t n);
  std::vector<uint8_t> clock_in_;  // scratch for the data of one MPSSE read command
};

}  // namespace sim
