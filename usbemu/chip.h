// One channel of the emulated four-channel high-speed bridge, as the host sees it over USB, in
// time.
//
// A channel has two FIFOs of 2 KiB: the out FIFO holds what the host sent that the channel's
// engine has not taken yet, the in FIFO what the engine produced that has not gone to the host.
// The engine is the channel's bit mode: the UART (reset mode, bytes leave at the baud rate and
// nothing comes back), asynchronous bit-bang (one tick of the bit clock applies a byte to the
// pins and samples them into the in FIFO while it has room), synchronous bit-bang (each byte
// written samples the pins first, one byte back per byte written, no byte while the in FIFO is
// full) or the MPSSE command processor (data bytes at eight periods of its programmed clock).
//
// The engine runs in time: advance(now) lets it do what its rate allows since it last ran, and
// no more. An engine with nothing to do, or stopped on a full in FIFO, does not bank the idle
// time. Pins change as the engine reaches each byte, so a pin read sees what it has applied so
// far, not what waits in the out FIFO.
//
// Bulk IN packets are 512 bytes, each led by the two modem-status bytes. A full packet (510 data
// bytes) leaves as soon as it is there; a shorter one, possibly status bytes only, when the
// latency timer has run out since the last packet, or at once after an MPSSE send-immediate.
//
// The class keeps no clock of its own (callers pass the time in nanoseconds) and does no USB
// bookkeeping: usbemu/libusb_emu.cpp puts it behind endpoints and moves its packets at the bus's
// pace. Documents followed: see usbemu/README.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "sim/bench.h"

namespace usbemu {

constexpr size_t kFifoBytes = 2048;  // each way, per channel
constexpr size_t kPacketBytes = 512;
constexpr size_t kStatusBytes = 2;
constexpr size_t kPacketData = kPacketBytes - kStatusBytes;

// A ring of kFifoBytes bytes, moved in contiguous spans.
class Fifo {
 public:
  size_t size() const { return count_; }
  size_t room() const { return kFifoBytes - count_; }
  bool empty() const { return count_ == 0; }
  void clear() { head_ = count_ = 0; }
  // The contiguous free bytes at the tail; commit() what was written there.
  uint8_t* tail_span(size_t& n);
  void commit(size_t n) { count_ += n; }
  // The contiguous queued bytes at the head; drop() what was taken from there.
  const uint8_t* head_span(size_t& n) const;
  void drop(size_t n);
  void push(const uint8_t* data, size_t n);  // n <= room()
  void pop(uint8_t* dest, size_t n);         // n <= size()
  uint8_t front() const { return bytes_[head_]; }

 private:
  std::array<uint8_t, kFifoBytes> bytes_{};
  size_t head_ = 0, count_ = 0;
};

// The rate a baud-rate request selects: base_hz divided by eighths / 8. The request's value
// holds the integer divisor (bits 0-13) and two bits of the sub-integer code (bits 14-15); the
// third code bit is bit 0 of the index (bit 8 on the H-type chips, whose index bit 9 selects the
// 120 MHz / 10 base instead of 48 MHz / 16 and whose low index byte names the channel).
struct BaudClock {
  uint32_t base_hz = 3000000;
  uint32_t eighths = 2500;  // 312.5: 9600 baud, the chip's setting out of reset
  double hz() const { return base_hz * 8.0 / eighths; }
};
BaudClock decode_baud(uint16_t value, uint16_t index, bool h_type);

// The bit modes of the set-bit-mode request (its value's high byte) this chip has.
enum Mode : uint8_t { kUart = 0x00, kAsyncBitbang = 0x01, kMpsse = 0x02, kSyncBitbang = 0x04 };

// Settings of the whole chip, the same for its four channels.
struct ChipSettings {
  // The bit-bang clock as a multiple of the nominal rate of the baud-rate request. The chip's
  // documents and libftdi disagree on it (see usbemu/README.md): 1, 4 or 16.
  unsigned bitbang_multiple = 4;
};

// Line-status bits of the second status byte (request 0x05 and every IN packet).
constexpr uint8_t kOverrun = 0x02;
constexpr uint8_t kHoldingEmpty = 0x20;   // nothing waits in the out FIFO
constexpr uint8_t kTransmitEmpty = 0x40;  // ... and the engine has finished the last byte

class Channel {
 public:
  // The peer is what sits behind the pins; null: nothing (inputs read high). `index`: 0 for
  // channel A .. 3 for D (the MPSSE is on A and B only).
  explicit Channel(sim::PortPeer* peer = nullptr, int index = 0, ChipSettings settings = {});

  // Runs the engine up to now_ns. Calls with an earlier time than the last do nothing.
  void advance(uint64_t now_ns);

  // Bulk OUT at now_ns (the engine is advanced first): takes up to `packets` whole packets of
  // the n bytes (512 each, the last one possibly shorter) while the out FIFO has room for them.
  // Returns the bytes taken.
  size_t take_out(const uint8_t* data, size_t n, uint64_t now_ns, size_t packets = SIZE_MAX);

  // Bulk IN at now_ns: writes up to `packets` packets the chip has into dest (room bytes): full
  // packets while there are 510 data bytes, then one short packet if the latency timer allows
  // it. A short packet ends the transfer; so does a packet bigger than the room left (overflow:
  // the packet is lost past the room).
  struct InPackets {
    size_t bytes = 0;  // status bytes included
    size_t packets = 0;
    bool ended = false;
    bool overflow = false;
  };
  InPackets give_in(uint8_t* dest, size_t room, uint64_t now_ns, size_t packets = SIZE_MAX);
  // When the chip may send its next short packet (ns).
  uint64_t short_packet_due_ns() const;

  // A vendor request (bRequest, wValue, wIndex) with its data stage at now_ns. Returns the bytes
  // of an IN request's answer, 0 for an OUT request, or -1 when the chip stalls the request.
  int vendor_request(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, size_t length,
                     uint64_t now_ns);
  // What a port reset does: back to reset mode with empty FIFOs and the defaults.
  void power_on();

  Mode mode() const { return mode_; }
  uint8_t mask() const { return mask_; }
  uint8_t latency_ms() const { return latency_ms_; }
  BaudClock baud() const { return baud_; }
  // What the engine runs at now: bytes per second of a bit-bang or the UART, the MPSSE's clock.
  double bitbang_hz() const { return baud_.hz() * settings_.bitbang_multiple; }
  double mpsse_clock_hz() const;
  size_t out_queued() const { return out_.size(); }
  size_t in_queued() const { return in_.size(); }
  uint16_t modem_ctrl() const { return modem_ctrl_; }
  uint16_t flow_ctrl() const { return flow_ctrl_; }
  uint16_t event_char() const { return event_char_; }
  // The levels on the pins (request 0x0C), as the engine has set them so far.
  uint8_t read_pins() const;
  // The second status byte as it stands (the overrun bit stays until it has been reported).
  uint8_t line_status() const;
  // True while the engine has work it can do (not idle, not stopped on a full in FIFO).
  bool busy() const;
  static constexpr uint8_t kModemStatus = 0x01;  // reserved bit set, no modem line active

 private:
  void run_uart(double now);
  void run_async_bitbang(double now);
  void run_sync_bitbang(double now);
  void run_mpsse(double now);
  bool mpsse_command();   // executes command_; false: it needs room in the in FIFO first
  void release_pins();    // reset mode: the pins float high
  void forget_command();  // an MPSSE command half parsed or half done is dropped
  bool answer(const uint8_t* bytes, size_t n);  // n bytes into the in FIFO, if they fit
  uint8_t sample() const;                       // the pins as the port reads them
  uint8_t report_status();                      // line status for the host; clears the overrun

  sim::PortPeer* peer_;
  int index_;
  ChipSettings settings_;
  Fifo out_, in_;
  Mode mode_ = kUart;
  uint8_t mask_ = 0;
  uint8_t pins_ = 0xFF;       // levels driven (bit-bang) or the MPSSE low byte's value
  uint8_t direction_ = 0x00;  // MPSSE low byte's direction
  uint8_t latency_ms_ = 16;
  BaudClock baud_{};
  double engine_ns_ = 0;  // how far the engine has run
  uint64_t last_packet_ns_ = 0;
  bool send_now_ = false;  // an MPSSE send-immediate asked for the data to go at once
  bool overrun_ = false;   // asynchronous bit-bang samples were lost on a full in FIFO
  uint16_t modem_ctrl_ = 0, flow_ctrl_ = 0, data_format_ = 8, event_char_ = 0, error_char_ = 0;

  // MPSSE clock: 60 MHz, or 12 MHz with the divide-by-5 on (its state out of reset), over
  // (1 + divisor) * 2; three-phase clocking makes a bit last 1.5 periods.
  bool divide_by_5_ = true;
  bool three_phase_ = false;
  uint16_t divisor_ = 0;

  // MPSSE command parser: the command bytes so far, then what a clocking command has left.
  uint8_t command_[3] = {};
  uint8_t command_length_ = 0;
  bool command_pending_ = false;  // complete, waiting for room in the in FIFO
  uint32_t write_left_ = 0;       // data bytes still to come from the host
  uint32_t read_left_ = 0;        // bytes still to clock in
  uint32_t read_done_ = 0;        // bytes clocked in so far by this command
  uint32_t clocks_left_ = 0;      // clock periods of a bit, TMS or clock-only command to go
  bool bits_answer_ = false;      // ... after which it answers one byte
};

}  // namespace usbemu
