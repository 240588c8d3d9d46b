#include "usbemu/chip.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace usbemu {

// ---- Fifo -------------------------------------------------------------------------------------

uint8_t* Fifo::tail_span(size_t& n) {
  const size_t tail = (head_ + count_) % kFifoBytes;
  n = std::min(room(), kFifoBytes - tail);
  return bytes_.data() + tail;
}

const uint8_t* Fifo::head_span(size_t& n) const {
  n = std::min(count_, kFifoBytes - head_);
  return bytes_.data() + head_;
}

void Fifo::drop(size_t n) {
  head_ = (head_ + n) % kFifoBytes;
  count_ -= n;
  if (count_ == 0) head_ = 0;  // keeps the spans long
}

void Fifo::push(const uint8_t* data, size_t n) {
  while (n > 0) {
    size_t span = 0;
    uint8_t* dest = tail_span(span);
    const size_t k = std::min(span, n);
    std::memcpy(dest, data, k);
    commit(k);
    data += k;
    n -= k;
  }
}

void Fifo::pop(uint8_t* dest, size_t n) {
  while (n > 0) {
    size_t span = 0;
    const uint8_t* src = head_span(span);
    const size_t k = std::min(span, n);
    std::memcpy(dest, src, k);
    drop(k);
    dest += k;
    n -= k;
  }
}

// ---- Baud rate --------------------------------------------------------------------------------

BaudClock decode_baud(uint16_t value, uint16_t index, bool h_type) {
  // Eighths added to the integer divisor by each sub-integer code (0, 1/2, 1/4, 1/8, 3/8, 5/8,
  // 3/4, 7/8).
  static constexpr uint32_t kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
  const uint32_t integer = value & 0x3FFFu;
  const uint32_t high_bit = (h_type ? index >> 8 : index) & 1u;
  const uint32_t code = static_cast<uint32_t>(value >> 14) | high_bit << 2;
  BaudClock clock;
  clock.base_hz = h_type && (index & 0x0200) ? 12000000 : 3000000;
  // Divisors 0 and 1 are special: the base clock itself and the base over 1.5. Below 2 the
  // sub-integer code is not used.
  if (integer == 0) {
    clock.eighths = 8;
  } else if (integer == 1) {
    clock.eighths = 12;
  } else {
    clock.eighths = integer * 8 + kEighths[code];
  }
  return clock;
}

// ---- Channel ----------------------------------------------------------------------------------

namespace {

sim::PortPeer g_nothing;  // no peer: inputs read high, output goes nowhere

// MPSSE clocking commands (opcodes below 0x80): bit 1 bit mode, bit 4 write data, bit 5 read
// data, bit 6 TMS; bits 0, 2 and 3 (edges, bit order) do not change the byte counts. A TMS
// command is a bit-mode command that writes TMS bits and may read TDO.
bool clocking_valid(uint8_t op) {
  if (op & 0x40) return (op & 0x4A) == 0x4A && (op & 0x10) == 0;
  return (op & 0x30) != 0;
}

// Bytes of an MPSSE command, opcode included (data of byte-mode writes not counted).
size_t command_bytes(uint8_t op) {
  if (op < 0x80) {
    if (!clocking_valid(op)) return 1;
    if (op & 0x40) return 3;
    if (op & 0x02) return (op & 0x10) ? 3 : 2;
    return 3;
  }
  switch (op) {
    case 0x80:  // set low byte: value, direction
    case 0x82:  // set high byte
    case 0x86:  // clock divisor
    case 0x8F:  // clock n bytes, no data
    case 0x9C:  // clock n bytes or until GPIOL1 high
    case 0x9D:  // ... low
      return 3;
    case 0x8E:  // clock n bits, no data
      return 2;
    default:
      return 1;
  }
}

}  // namespace

Channel::Channel(sim::PortPeer* peer, int index, ChipSettings settings)
    : peer_(peer != nullptr ? peer : &g_nothing), index_(index), settings_(settings) {}

void Channel::power_on() {
  out_.clear();
  in_.clear();
  mode_ = kUart;
  mask_ = 0;
  release_pins();
  latency_ms_ = 16;
  baud_ = BaudClock{};
  send_now_ = overrun_ = false;
  modem_ctrl_ = flow_ctrl_ = event_char_ = error_char_ = 0;
  data_format_ = 8;
  divide_by_5_ = true;
  three_phase_ = false;
  divisor_ = 0;
  forget_command();
}

void Channel::release_pins() {
  pins_ = 0xFF;
  direction_ = 0x00;
  peer_->react(0xFF, 0x00);
  peer_->mpsse_pins(0xFF, 0x00);
}

void Channel::forget_command() {
  command_length_ = 0;
  command_pending_ = false;
  write_left_ = read_left_ = read_done_ = clocks_left_ = 0;
  bits_answer_ = false;
}

uint8_t Channel::sample() const {
  return static_cast<uint8_t>((pins_ & mask_) | (peer_->inputs() & ~mask_));
}

uint8_t Channel::read_pins() const {
  if (mode_ == kMpsse)
    return static_cast<uint8_t>((pins_ & direction_) | (peer_->inputs() & ~direction_));
  return sample();
}

double Channel::mpsse_clock_hz() const {
  return (divide_by_5_ ? 12e6 : 60e6) / ((1.0 + divisor_) * 2.0);
}

bool Channel::busy() const {
  switch (mode_) {
    case kSyncBitbang:
      return !out_.empty() && in_.room() > 0;
    case kMpsse:
      if (clocks_left_ > 0) return true;
      if (read_left_ > 0 && write_left_ == 0) return in_.room() > 0;
      if (command_pending_) return false;
      return !out_.empty() && (read_left_ == 0 || in_.room() > 0);
    default:
      return !out_.empty();
  }
}

uint8_t Channel::line_status() const {
  uint8_t status = overrun_ ? kOverrun : 0;
  if (out_.empty()) {
    status |= kHoldingEmpty;
    const bool mid_command = mode_ == kMpsse && (write_left_ > 0 || read_left_ > 0 ||
                                                 clocks_left_ > 0 || command_length_ > 0);
    if (!mid_command) status |= kTransmitEmpty;
  }
  return status;
}

uint8_t Channel::report_status() {
  const uint8_t status = line_status();
  overrun_ = false;
  return status;
}

bool Channel::answer(const uint8_t* bytes, size_t n) {
  if (in_.room() < n) return false;
  in_.push(bytes, n);
  return true;
}

void Channel::advance(uint64_t now_ns) {
  const double now = static_cast<double>(now_ns);
  if (now <= engine_ns_) return;
  switch (mode_) {
    case kAsyncBitbang:
      run_async_bitbang(now);
      break;
    case kSyncBitbang:
      run_sync_bitbang(now);
      break;
    case kMpsse:
      run_mpsse(now);
      break;
    default:
      run_uart(now);
      break;
  }
}

namespace {

// Whole units of `period` ns that fit between `from` and `to`.
uint64_t units(double from, double to, double period) {
  if (to <= from || period <= 0) return 0;
  return static_cast<uint64_t>(std::floor((to - from) / period + 1e-9));
}

}  // namespace

void Channel::run_uart(double now) {
  // Start bit, data bits, parity, stop bits: the data format's bits 0-7 the data bits, 8-10
  // the parity, 11-13 the stop bits (0: one, 1: one and a half, 2: two).
  const unsigned data_bits = (data_format_ & 0xFF) != 0 ? data_format_ & 0xFF : 8;
  const unsigned parity = ((data_format_ >> 8) & 7) != 0 ? 1 : 0;
  const double stop = ((data_format_ >> 11) & 3) == 2 ? 2.0 : ((data_format_ >> 11) & 3) ? 1.5 : 1;
  const double period = 1e9 * (1 + data_bits + parity + stop) / baud_.hz();
  const uint64_t n = std::min<uint64_t>(out_.size(), units(engine_ns_, now, period));
  out_.drop(static_cast<size_t>(n));  // the UART sends them; nobody listens
  engine_ns_ = out_.empty() ? now : engine_ns_ + static_cast<double>(n) * period;
}

void Channel::run_async_bitbang(double now) {
  // Every tick of the bit clock samples the pins into the in FIFO (lost, and flagged as an
  // overrun, while it is full), then applies the next byte written, if any.
  const double period = 1e9 / bitbang_hz();
  uint64_t ticks = units(engine_ns_, now, period);
  while (ticks > 0 && !out_.empty()) {
    const uint8_t s = sample();
    if (in_.room() > 0) {
      in_.push(&s, 1);
    } else {
      overrun_ = true;
    }
    pins_ = out_.front();
    out_.drop(1);
    peer_->react(pins_, mask_);
    engine_ns_ += period;
    --ticks;
  }
  if (ticks > 0) {
    // Nothing more to apply: the pins hold still, the samples go on.
    const uint8_t s = sample();
    const size_t k = static_cast<size_t>(std::min<uint64_t>(ticks, in_.room()));
    for (size_t i = 0; i < k; ++i) in_.push(&s, 1);
    if (ticks > k) overrun_ = true;
    engine_ns_ = now;
  }
}

void Channel::run_sync_bitbang(double now) {
  // Each byte samples the pins just before it is applied, and the sample goes to the host: no
  // byte is clocked out while the in FIFO has no room for its sample.
  const double period = 1e9 / bitbang_hz();
  uint64_t ticks = units(engine_ns_, now, period);
  while (ticks > 0 && !out_.empty() && in_.room() > 0) {
    size_t from = 0, to = 0;
    const uint8_t* src = out_.head_span(from);
    uint8_t* dest = in_.tail_span(to);
    const size_t k = static_cast<size_t>(std::min<uint64_t>({ticks, from, to}));
    for (size_t j = 0; j < k; ++j) {
      dest[j] = sample();
      pins_ = src[j];
      peer_->react(pins_, mask_);
    }
    in_.commit(k);
    out_.drop(k);
    engine_ns_ += static_cast<double>(k) * period;
    ticks -= k;
  }
  if (ticks > 0) engine_ns_ = now;  // idle or stopped: no time banked
}

namespace {

// Single-byte commands that change nothing the model keeps: loop-back on/off, waits on GPIOL1
// (the pin is never driven, the wait ends at once), clocks until GPIOL1, adaptive clocking.
bool plain_single_byte(uint8_t op) {
  switch (op) {
    case 0x84:
    case 0x85:
    case 0x88:
    case 0x89:
    case 0x94:
    case 0x95:
    case 0x96:
    case 0x97:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool Channel::mpsse_command() {
  const uint8_t op = command_[0];
  if (op < 0x80 && clocking_valid(op)) {
    const bool reads = (op & 0x20) != 0;
    if (op & 0x42) {
      // Bit mode or TMS: up to 8 clocks, not seen by the board model; a read answers one byte
      // when they are done.
      if (reads && in_.room() < 1) return false;
      clocks_left_ = command_[1] % 8u + 1u;
      bits_answer_ = reads;
    } else {
      const uint32_t length = (command_[1] | command_[2] << 8) + 1u;
      write_left_ = (op & 0x10) ? length : 0;
      read_left_ = reads ? length : 0;
      read_done_ = 0;
    }
    return true;
  }
  switch (op) {
    case 0x80:
      pins_ = command_[1];
      direction_ = command_[2];
      peer_->mpsse_pins(command_[1], command_[2]);
      return true;
    case 0x81: {
      const uint8_t levels = read_pins();
      return answer(&levels, 1);
    }
    case 0x83: {
      const uint8_t levels = 0xFF;  // the high byte's pins float high
      return answer(&levels, 1);
    }
    case 0x86:
      divisor_ = static_cast<uint16_t>(command_[1] | command_[2] << 8);
      return true;
    case 0x87:
      send_now_ = true;
      return true;
    case 0x8A:
    case 0x8B:
      divide_by_5_ = op == 0x8B;
      return true;
    case 0x8C:
    case 0x8D:
      three_phase_ = op == 0x8C;
      return true;
    case 0x8E:
      clocks_left_ = command_[1] % 8u + 1u;
      return true;
    case 0x8F:
    case 0x9C:
    case 0x9D:
      clocks_left_ = ((command_[1] | command_[2] << 8) + 1u) * 8u;
      return true;
    case 0x82:
      return true;
    default:
      if (plain_single_byte(op)) return true;
      // An opcode the engine does not know: it answers 0xFA and the opcode.
      const uint8_t bad[2] = {0xFA, op};
      return answer(bad, 2);
  }
}

void Channel::run_mpsse(double now) {
  for (;;) {
    const double bit = 1e9 / mpsse_clock_hz() * (three_phase_ ? 1.5 : 1.0);
    if (clocks_left_ > 0) {
      const uint64_t n = std::min<uint64_t>(clocks_left_, units(engine_ns_, now, bit));
      clocks_left_ -= static_cast<uint32_t>(n);
      engine_ns_ += static_cast<double>(n) * bit;
      if (clocks_left_ > 0) return;  // more time needed
      if (bits_answer_) {
        const uint8_t bits = 0xFF;  // room was there when the command began
        answer(&bits, 1);
        bits_answer_ = false;
      }
      continue;
    }
    if (write_left_ > 0 || read_left_ > 0) {
      // Data of a byte-mode command: eight clocks a byte; a read needs room for its byte, a
      // write its byte from the host.
      size_t k = static_cast<size_t>(units(engine_ns_, now, 8 * bit));
      if (k == 0) return;
      k = std::min<size_t>(k, std::max(write_left_, read_left_));
      const uint8_t* src = nullptr;
      uint8_t* dest = nullptr;
      if (write_left_ > 0) {
        size_t span = 0;
        src = out_.head_span(span);
        k = std::min(k, span);
      }
      if (read_left_ > 0) {
        size_t span = 0;
        dest = in_.tail_span(span);
        k = std::min(k, span);
        // Pieces of even length while more follows: the board serves 16-bit samples, whole
        // ones fastest.
        if (((read_done_ + k) & 1) != 0 && k > 1 && k < read_left_) --k;
      }
      if (k == 0) {
        engine_ns_ = now;  // waiting for the host: no time banked
        return;
      }
      if (src != nullptr) {
        peer_->mpsse_clock_out(src, k);
        out_.drop(k);
        write_left_ -= static_cast<uint32_t>(k);
      }
      if (dest != nullptr) {
        peer_->mpsse_clock_in(dest, k);
        in_.commit(k);
        read_left_ -= static_cast<uint32_t>(k);
        read_done_ += static_cast<uint32_t>(k);
      }
      engine_ns_ += static_cast<double>(k) * 8 * bit;
      continue;
    }
    if (!command_pending_) {
      if (out_.empty()) {
        engine_ns_ = now;
        return;
      }
      command_[command_length_++] = out_.front();
      out_.drop(1);
      if (command_length_ < command_bytes(command_[0])) continue;
    }
    // A complete command. One that answers waits for room in the in FIFO.
    command_pending_ = !mpsse_command();
    if (command_pending_) {
      engine_ns_ = now;
      return;
    }
    command_length_ = 0;
  }
}

size_t Channel::take_out(const uint8_t* data, size_t n, uint64_t now_ns, size_t packets) {
  advance(now_ns);
  size_t taken = 0;
  while (taken < n && packets > 0) {
    const size_t packet = std::min(kPacketBytes, n - taken);
    if (out_.room() < packet) break;  // the chip refuses the packet until the engine takes bytes
    out_.push(data + taken, packet);
    taken += packet;
    --packets;
  }
  return taken;
}

uint64_t Channel::short_packet_due_ns() const {
  if (send_now_) return 0;
  const uint64_t latency = latency_ms_ > 0 ? latency_ms_ : 1;
  return last_packet_ns_ + latency * 1000000;
}

Channel::InPackets Channel::give_in(uint8_t* dest, size_t room, uint64_t now_ns, size_t packets) {
  advance(now_ns);
  InPackets result;
  while (result.bytes < room && result.packets < packets) {
    size_t data = 0;
    bool is_short = false;
    if (in_.size() >= kPacketData) {
      data = kPacketData;
    } else if (now_ns >= short_packet_due_ns()) {
      data = in_.size();
      is_short = true;
    } else {
      break;
    }
    const uint8_t status[kStatusBytes] = {kModemStatus, report_status()};
    uint8_t* packet = dest + result.bytes;
    const size_t left = room - result.bytes;
    last_packet_ns_ = now_ns;
    ++result.packets;
    if (data + kStatusBytes > left) {
      // The packet does not fit: what fits arrives, the rest of the packet is lost.
      const size_t head = std::min(left, kStatusBytes);
      std::memcpy(packet, status, head);
      const size_t fits = left - head;
      in_.pop(packet + head, fits);
      in_.drop(data - fits);
      result.bytes = room;
      result.overflow = result.ended = true;
      return result;
    }
    std::memcpy(packet, status, kStatusBytes);
    in_.pop(packet + kStatusBytes, data);
    result.bytes += data + kStatusBytes;
    if (is_short) {
      send_now_ = false;
      result.ended = true;
      break;
    }
  }
  return result;
}

int Channel::vendor_request(uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                            size_t length, uint64_t now_ns) {
  advance(now_ns);
  switch (request) {
    case 0x00:  // reset: the port (0), or a purge of one side
      if (value == 0) {
        // The port reset empties both FIFOs and clears flow control, the event character and
        // DTR/RTS; the rate and the data format stay.
        out_.clear();
        in_.clear();
        send_now_ = overrun_ = false;
        flow_ctrl_ = event_char_ = modem_ctrl_ = 0;
        forget_command();
      } else if (value == 1) {
        out_.clear();  // what the host sent and the engine has not taken
        write_left_ = 0;
      } else if (value == 2) {
        in_.clear();  // what waits to go to the host
        send_now_ = false;
      } else {
        return -1;
      }
      return 0;
    case 0x01:
      // DTR (bit 0) and RTS (bit 1), each changed where its enable bit (8, 9) is set.
      if (value & 0x0100) modem_ctrl_ = static_cast<uint16_t>((modem_ctrl_ & ~1u) | (value & 1u));
      if (value & 0x0200) modem_ctrl_ = static_cast<uint16_t>((modem_ctrl_ & ~2u) | (value & 2u));
      return 0;
    case 0x02:
      flow_ctrl_ = static_cast<uint16_t>(index & 0xFF00);
      return 0;
    case 0x03:
      baud_ = decode_baud(value, index, true);
      return 0;
    case 0x04:
      data_format_ = value;
      return 0;
    case 0x05: {  // poll modem status
      const uint8_t status[2] = {kModemStatus, report_status()};
      const size_t n = std::min<size_t>(length, 2);
      if (data != nullptr) std::memcpy(data, status, n);
      return static_cast<int>(n);
    }
    case 0x06:
      event_char_ = value;
      return 0;
    case 0x07:
      error_char_ = value;
      return 0;
    case 0x09:
      latency_ms_ = static_cast<uint8_t>(value & 0xFF);
      return 0;
    case 0x0A:
      if (length < 1 || data == nullptr) return 0;
      data[0] = latency_ms_;
      return 1;
    case 0x0B: {  // bit mode: mask in the low byte, mode in the high byte
      const uint8_t mode = static_cast<uint8_t>(value >> 8);
      // This chip has reset mode, both bit-bangs and, on channels A and B, the MPSSE; the
      // other modes of the family (MCU host bus, fast opto-isolated serial, CBUS bit-bang,
      // synchronous FIFO) it has not.
      const bool known = mode == kUart || mode == kAsyncBitbang || mode == kSyncBitbang ||
                         (mode == kMpsse && index_ < 2);
      if (!known) return -1;
      mask_ = static_cast<uint8_t>(value & 0xFF);
      mode_ = static_cast<Mode>(mode);
      forget_command();
      if (mode_ == kUart) release_pins();
      return 0;
    }
    case 0x0C:
      if (length < 1 || data == nullptr) return 0;
      data[0] = read_pins();
      return 1;
    default:
      return -1;  // EEPROM and anything else: not modelled, the chip stalls the request
  }
}

}  // namespace usbemu
