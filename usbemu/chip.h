// One channel of the emulated four-channel high-speed bridge, as the host sees it over USB.
//
// A channel has two FIFOs of 2 KiB: the out FIFO holds what the host sent that the channel's
// engine has not taken yet, the in FIFO what the engine produced that has not gone to the host.
// The engine is the channel's bit mode: the UART (reset mode, bytes leave and nothing comes
// back), asynchronous bit-bang (pins follow the bytes), synchronous bit-bang (every byte clocked
// out samples the pins first, one byte back per byte written) or the MPSSE command processor.
// An engine that needs room in the in FIFO and finds none stops, and stays stopped until the
// host reads: the out FIFO then fills, and the host's bulk OUT packets are refused.
//
// Bulk IN packets are 512 bytes, each led by the two modem-status bytes. A full packet (510 data
// bytes) leaves as soon as it is there; a shorter one, possibly status bytes only, when the
// latency timer has run out since the last packet, or at once after an MPSSE send-immediate.
//
// The class is plain data and code: it keeps no clock of its own (callers pass the time in
// microseconds) and does no USB bookkeeping; usbemu/libusb_emu.cpp puts it behind endpoints.
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

 private:
  std::array<uint8_t, kFifoBytes> bytes_{};
  size_t head_ = 0, count_ = 0;
};

// The bit clock a baud-rate request selects: base_hz divided by eighths / 8. The request's value
// holds the integer divisor (bits 0-13) and two bits of the sub-integer code (bits 14-15); the
// third code bit is bit 0 of the index (bit 8 on the H-type chips, whose index bit 9 selects the
// 120 MHz / 10 base instead of 48 MHz / 16 and whose low index byte names the channel).
struct BaudClock {
  uint32_t base_hz = 3000000;
  uint32_t eighths = 2500;  // 312.5: 9600 baud, the chip's setting out of reset
  double hz() const { return base_hz * 8.0 / eighths; }
};
BaudClock decode_baud(uint16_t value, uint16_t index, bool h_type);

// The bit modes of the set-bit-mode request (its value's high byte).
enum Mode : uint8_t { kUart = 0x00, kAsyncBitbang = 0x01, kMpsse = 0x02, kSyncBitbang = 0x04 };

class Channel {
 public:
  // The peer is what sits behind the pins; null: nothing (inputs read high).
  explicit Channel(sim::PortPeer* peer = nullptr);

  // Bulk OUT: takes whole packets (up to 512 bytes, the last one possibly shorter) of the n bytes
  // while the chip has room for them. Returns the bytes taken.
  size_t take_out(const uint8_t* data, size_t n);

  // Bulk IN: writes the packets the chip sends by `now_us` into dest (room bytes): full packets
  // while there are 510 data bytes, then one short packet if the latency timer allows it. A short
  // packet ends the transfer; so does a packet bigger than the room left (overflow: the packet
  // is lost past the room).
  struct InPackets {
    size_t bytes = 0;  // status bytes included
    bool ended = false;
    bool overflow = false;
  };
  InPackets give_in(uint8_t* dest, size_t room, uint64_t now_us);
  // When the chip may send its next short packet.
  uint64_t short_packet_due_us() const;

  // A vendor request (bRequest, wValue, wIndex) with its data stage. Returns the bytes of an IN
  // request's answer, 0 for an OUT request, or -1 when the chip stalls the request.
  int vendor_request(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, size_t length,
                     uint64_t now_us);
  // What a port reset does: back to reset mode with empty FIFOs and the defaults.
  void power_on();

  Mode mode() const { return mode_; }
  uint8_t mask() const { return mask_; }
  uint8_t latency_ms() const { return latency_ms_; }
  BaudClock baud() const { return baud_; }
  size_t out_queued() const { return out_.size(); }
  size_t in_queued() const { return in_.size(); }
  // The levels on the pins (request 0x0C).
  uint8_t read_pins() const;
  static constexpr uint8_t kModemStatus = 0x01;  // reserved bit set, no modem line active
  static constexpr uint8_t kLineStatus = 0x60;   // transmitter holding register and shift empty

 private:
  size_t run(const uint8_t* data, size_t n);  // the engine: bytes taken, fewer when it stops
  size_t run_sync_bitbang(const uint8_t* data, size_t n);
  size_t run_mpsse(const uint8_t* data, size_t n);
  bool mpsse_reads();     // clocks in what a read command has left while there is room
  void drain();           // the engine takes from the out FIFO while it can
  void release_pins();    // reset mode: the pins float high
  void forget_command();  // an MPSSE command half parsed or half done is dropped
  bool answer(const uint8_t* bytes, size_t n);  // n bytes into the in FIFO, if they fit

  sim::PortPeer* peer_;
  Fifo out_, in_;
  Mode mode_ = kUart;
  uint8_t mask_ = 0;
  uint8_t pins_ = 0xFF;       // levels driven (bit-bang) or the MPSSE low byte's value
  uint8_t direction_ = 0x00;  // MPSSE low byte's direction
  uint8_t latency_ms_ = 16;
  BaudClock baud_{};
  uint64_t last_packet_us_ = 0;
  bool send_now_ = false;  // an MPSSE send-immediate asked for the data to go at once
  uint16_t modem_ctrl_ = 0, flow_ctrl_ = 0, data_format_ = 8, event_char_ = 0, error_char_ = 0;

  // MPSSE command parser: the command bytes so far, then the data a clocking command has left.
  uint8_t command_[3] = {};
  uint8_t command_length_ = 0;
  uint32_t write_left_ = 0;  // data bytes still to come from the host
  uint32_t read_left_ = 0;   // bytes still to clock in
  uint32_t read_done_ = 0;   // bytes clocked in so far by this command
  bool to_peer_ = false;     // byte-mode data (in or out) reaches the peer's streams
};

}  // namespace usbemu
