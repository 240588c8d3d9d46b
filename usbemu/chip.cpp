#include "usbemu/chip.h"

#include <algorithm>
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

// Single-byte commands that change nothing the model keeps: loop-back on/off, waits on GPIOL1
// (the pin is never driven, the wait ends at once), clock divide-by-5 off/on, three-phase
// clocking on/off, clocks until GPIOL1, adaptive clocking on/off.
bool plain_single_byte(uint8_t op) {
  switch (op) {
    case 0x84:
    case 0x85:
    case 0x88:
    case 0x89:
    case 0x8A:
    case 0x8B:
    case 0x8C:
    case 0x8D:
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

Channel::Channel(sim::PortPeer* peer) : peer_(peer != nullptr ? peer : &g_nothing) {}

void Channel::power_on() {
  out_.clear();
  in_.clear();
  mode_ = kUart;
  mask_ = 0;
  release_pins();
  latency_ms_ = 16;
  baud_ = BaudClock{};
  send_now_ = false;
  modem_ctrl_ = flow_ctrl_ = event_char_ = error_char_ = 0;
  data_format_ = 8;
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
  write_left_ = read_left_ = read_done_ = 0;
  to_peer_ = false;
}

uint8_t Channel::read_pins() const {
  return static_cast<uint8_t>((pins_ & mask_) | (peer_->inputs() & ~mask_));
}

bool Channel::answer(const uint8_t* bytes, size_t n) {
  if (in_.room() < n) return false;
  in_.push(bytes, n);
  return true;
}

size_t Channel::run(const uint8_t* data, size_t n) {
  switch (mode_) {
    case kAsyncBitbang:
      // The pins follow the bytes; nothing comes back (the host reads the pins by request).
      for (size_t i = 0; i < n; ++i) {
        pins_ = data[i];
        peer_->react(data[i], mask_);
      }
      return n;
    case kSyncBitbang:
      return run_sync_bitbang(data, n);
    case kMpsse:
      return run_mpsse(data, n);
    default:
      return n;  // the UART sends them; nobody listens
  }
}

size_t Channel::run_sync_bitbang(const uint8_t* data, size_t n) {
  // Each byte samples the pins just before it is applied, and the sample goes to the host: no
  // byte is clocked out while the in FIFO has no room for its sample.
  size_t done = 0;
  while (done < n) {
    size_t span = 0;
    uint8_t* dest = in_.tail_span(span);
    if (span == 0) break;
    const size_t k = std::min(span, n - done);
    for (size_t j = 0; j < k; ++j) {
      const uint8_t level = data[done + j];
      dest[j] = static_cast<uint8_t>((pins_ & mask_) | (peer_->inputs() & ~mask_));
      pins_ = level;
      peer_->react(level, mask_);
    }
    in_.commit(k);
    done += k;
  }
  return done;
}

bool Channel::mpsse_reads() {
  while (read_left_ > 0) {
    size_t span = 0;
    uint8_t* dest = in_.tail_span(span);
    if (span == 0) return false;
    size_t k = std::min<size_t>(span, read_left_);
    // Pieces of even length while more follows: the board serves 16-bit samples, whole ones
    // fastest.
    if (((read_done_ + k) & 1) != 0 && k > 1 && k < read_left_) --k;
    if (to_peer_) {
      peer_->mpsse_clock_in(dest, k);
    } else {
      std::memset(dest, 0xFF, k);
    }
    in_.commit(k);
    read_left_ -= static_cast<uint32_t>(k);
    read_done_ += static_cast<uint32_t>(k);
  }
  return true;
}

size_t Channel::run_mpsse(const uint8_t* data, size_t n) {
  size_t i = 0;
  for (;;) {
    if (read_left_ > 0 && write_left_ == 0) {
      if (!mpsse_reads()) return i;  // stopped: the in FIFO is full
      continue;
    }
    if (i == n) return i;
    if (write_left_ > 0) {
      // Data of a byte-mode write; a write that also reads takes a byte in for each byte out.
      size_t k = std::min<size_t>(write_left_, n - i);
      uint8_t* dest = nullptr;
      if (read_left_ > 0) {
        size_t span = 0;
        dest = in_.tail_span(span);
        k = std::min(k, span);
        if (k == 0) return i;
      }
      peer_->mpsse_clock_out(data + i, k);
      if (dest != nullptr) {
        peer_->mpsse_clock_in(dest, k);
        in_.commit(k);
        read_left_ -= static_cast<uint32_t>(k);
        read_done_ += static_cast<uint32_t>(k);
      }
      write_left_ -= static_cast<uint32_t>(k);
      i += k;
      continue;
    }
    command_[command_length_++] = data[i];
    const uint8_t op = command_[0];
    if (command_length_ < command_bytes(op)) {
      ++i;
      continue;
    }
    // A complete command. One that answers waits for room in the in FIFO, its last byte not
    // taken until then.
    bool done = true;
    if (op < 0x80 && clocking_valid(op)) {
      const bool reads = (op & 0x20) != 0;
      if (op & 0x42) {
        // Bit mode or TMS: up to 8 bits, not seen by the board model; a read answers one byte.
        if (reads) {
          const uint8_t bits = 0xFF;
          done = answer(&bits, 1);
        }
      } else {
        const uint32_t length = (command_[1] | command_[2] << 8) + 1u;
        write_left_ = (op & 0x10) ? length : 0;
        read_left_ = reads ? length : 0;
        read_done_ = 0;
        to_peer_ = true;
      }
    } else if (op == 0x80) {
      pins_ = command_[1];
      direction_ = command_[2];
      peer_->mpsse_pins(command_[1], command_[2]);
    } else if (op == 0x81) {
      const uint8_t levels =
          static_cast<uint8_t>((pins_ & direction_) | (peer_->inputs() & ~direction_));
      done = answer(&levels, 1);
    } else if (op == 0x83) {
      const uint8_t levels = 0xFF;  // the high byte's pins float high
      done = answer(&levels, 1);
    } else if (op == 0x87) {
      send_now_ = true;
    } else if (op == 0x82 || op == 0x86 || op == 0x8E || op == 0x8F || op == 0x9C || op == 0x9D ||
               plain_single_byte(op)) {
      // Accepted; nothing the model keeps.
    } else {
      // An opcode the engine does not know: it answers 0xFA and the opcode.
      const uint8_t bad[2] = {0xFA, op};
      done = answer(bad, 2);
    }
    if (!done) {
      --command_length_;
      return i;
    }
    ++i;
    command_length_ = 0;
  }
}

void Channel::drain() {
  while (!out_.empty()) {
    size_t span = 0;
    const uint8_t* src = out_.head_span(span);
    const size_t used = run(src, span);
    out_.drop(used);
    if (used < span) break;
  }
}

size_t Channel::take_out(const uint8_t* data, size_t n) {
  drain();
  size_t taken = 0;
  while (taken < n) {
    const size_t packet = std::min(kPacketBytes, n - taken);
    if (out_.empty()) {
      // The engine takes what it can straight away; the rest of the packet waits in the FIFO.
      const size_t used = run(data + taken, packet);
      if (used < packet) out_.push(data + taken + used, packet - used);
    } else if (out_.room() >= packet) {
      out_.push(data + taken, packet);
    } else {
      break;  // the chip refuses the packet until the engine takes bytes again
    }
    taken += packet;
  }
  return taken;
}

uint64_t Channel::short_packet_due_us() const {
  if (send_now_) return 0;
  const uint64_t latency = latency_ms_ > 0 ? latency_ms_ : 1;
  return last_packet_us_ + latency * 1000;
}

Channel::InPackets Channel::give_in(uint8_t* dest, size_t room, uint64_t now_us) {
  InPackets result;
  while (result.bytes < room) {
    drain();
    size_t data = 0;
    bool is_short = false;
    if (in_.size() >= kPacketData) {
      data = kPacketData;
    } else if (now_us >= short_packet_due_us()) {
      data = in_.size();
      is_short = true;
    } else {
      break;
    }
    const uint8_t status[kStatusBytes] = {kModemStatus, kLineStatus};
    uint8_t* packet = dest + result.bytes;
    const size_t left = room - result.bytes;
    last_packet_us_ = now_us;
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
                            size_t length, uint64_t now_us) {
  (void)now_us;
  switch (request) {
    case 0x00:  // reset: the port (0), or a purge of one side
      if (value == 0) {
        out_.clear();
        in_.clear();
        send_now_ = false;
        forget_command();
      } else if (value == 1) {
        out_.clear();  // what the host sent and the engine has not taken
      } else if (value == 2) {
        in_.clear();  // what waits to go to the host
        send_now_ = false;
      } else {
        return -1;
      }
      drain();
      return 0;
    case 0x01:
      modem_ctrl_ = value;
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
      const uint8_t status[2] = {kModemStatus, kLineStatus};
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
    case 0x0B:  // bit mode: mask in the low byte, mode in the high byte
      mask_ = static_cast<uint8_t>(value & 0xFF);
      mode_ = static_cast<Mode>(value >> 8);
      forget_command();
      if (mode_ == kUart) release_pins();
      drain();
      return 0;
    case 0x0C:
      if (length < 1 || data == nullptr) return 0;
      data[0] = read_pins();
      return 1;
    default:
      return -1;  // EEPROM and anything else: not modelled, the chip stalls the request
  }
}

}  // namespace usbemu
