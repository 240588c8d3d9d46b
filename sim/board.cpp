#include "sim/board.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/bench.h"

namespace sim {
namespace {

// ---- Command link on port 2 ----------------------------------------------------------------
// Pins: 0 clock, 1 data to the FPGA, 2 data from the FPGA, 3 select (active low). The FPGA takes
// a data bit on each rising clock edge while selected, least significant bit first, and presents
// the matching reply bit from the falling edge before it. Frame bytes are commands back to back:
// a read [addr, 0x00] answers the register in its second byte; a write [0x10|addr, data, addr,
// 0x00] answers write_reply1 in its second byte and write_reply3 in its fourth.
class CommandLinkPeer : public PortPeer {
 public:
  explicit CommandLinkPeer(Board& board) : board_(board) {}

  uint8_t inputs() override { return static_cast<uint8_t>(0xFB | (out_bit_ << 2)); }

  void react(uint8_t levels, uint8_t mask) override {
    // Pins the port does not drive float high.
    levels = static_cast<uint8_t>(levels | ~mask);
    const bool select = (levels & 0x08) == 0;
    const int clock = levels & 0x01;
    if (select && !selected_) begin_frame();
    selected_ = select;
    if (selected_) {
      if (clock_ == 1 && clock == 0) out_bit_ = (reply_ >> bit_) & 1;
      if (clock_ == 0 && clock == 1) take_bit((levels >> 1) & 1);
    }
    clock_ = clock;
  }

 private:
  enum class Expect { Command, WriteData, WriteAddress, WriteEnd, ReadEnd };

  void begin_frame() {
    ++board_.frames;
    board_.last_frame.clear();
    expect_ = Expect::Command;
    bit_ = 0;
    shift_ = 0;
    reply_ = 0;
    out_bit_ = 0;
  }

  void take_bit(int bit) {
    shift_ = static_cast<uint8_t>(shift_ | bit << bit_);
    if (++bit_ < 8) return;
    const uint8_t byte = shift_;
    bit_ = 0;
    shift_ = 0;
    board_.last_frame.push_back(byte);
    reply_ = 0;
    switch (expect_) {
      case Expect::Command:
        address_ = byte & 0x0F;
        if (byte & 0x10) {
          expect_ = Expect::WriteData;
          reply_ = board_.write_reply1;
        } else {
          expect_ = Expect::ReadEnd;
          reply_ = board_.register_read(address_);
        }
        break;
      case Expect::WriteData:
        board_.register_write(address_, byte);
        expect_ = Expect::WriteAddress;
        break;
      case Expect::WriteAddress:
        expect_ = Expect::WriteEnd;
        reply_ = board_.write_reply3;
        break;
      case Expect::WriteEnd:
      case Expect::ReadEnd:
        expect_ = Expect::Command;
        break;
    }
  }

  Board& board_;
  bool selected_ = false;
  int clock_ = 1;
  int bit_ = 0;
  uint8_t shift_ = 0;
  uint8_t reply_ = 0;
  int out_bit_ = 0;
  uint8_t address_ = 0;
  Expect expect_ = Expect::Command;
};

// ---- Data ports 0 and 1 (MPSSE) ------------------------------------------------------------
// While the select line (pin 3) is low, bytes clocked in come from the capture memory's stream
// of this lane and bytes clocked out go into the playback memory's stream of this lane.
class DataPortPeer : public PortPeer {
 public:
  DataPortPeer(Board& board, int lane) : board_(board), lane_(lane) {}
  void mpsse_pins(uint8_t value, uint8_t direction) override {
    selected_ = (direction & 0x08) && !(value & 0x08);
  }
  void mpsse_clock_in(uint8_t* data, size_t n) override {
    if (selected_) {
      board_.capture_stream(lane_, data, n);
    } else {
      std::memset(data, 0xFF, n);
    }
  }
  void mpsse_clock_out(const uint8_t* data, size_t n) override {
    if (selected_) board_.playback_stream(lane_, data, n);
  }

 private:
  Board& board_;
  int lane_;
  bool selected_ = false;
};

// ---- JTAG port 3 (bit-bang) ----------------------------------------------------------------
// Pin byte: bit 0 TCK, bit 1 TDI, bit 2 TDO (input), bit 3 TMS.
class JtagPeer : public PortPeer {
 public:
  explicit JtagPeer(Board& board) : board_(board) {}
  uint8_t inputs() override { return static_cast<uint8_t>(0xFB | board_.jtag_tdo() << 2); }
  void react(uint8_t levels, uint8_t mask) override {
    if (!(mask & 0x01)) return;  // TCK not driven
    const int tck = levels & 0x01;
    if (tck_ == 0 && tck == 1) board_.jtag_clock((levels >> 3) & 1, (levels >> 1) & 1);
    tck_ = tck;
  }

 private:
  Board& board_;
  int tck_ = 0;
};

// TAP next state for TMS low / high, states numbered as the JTAG layer numbers them.
constexpr int kTapNext[16][2] = {{1, 0},   {1, 9},   {3, 0},   {4, 5},  {4, 5},   {6, 8},
                                 {6, 7},   {4, 8},   {1, 9},   {10, 2}, {11, 12}, {11, 12},
                                 {13, 15}, {13, 14}, {11, 15}, {1, 9}};
enum Tap {
  kReset = 0,
  kIdle = 1,
  kCaptureIr = 3,
  kShiftIr = 4,
  kUpdateIr = 8,
  kCaptureDr = 10,
  kShiftDr = 11,
  kUpdateDr = 15
};
constexpr uint32_t kBypass = 0x3FF, kIdcode = 0x006, kProgram = 0x002, kStartup = 0x003,
                   kCheckStatus = 0x004;

// Sample rate of each clock band written to register 3 (band value in the high nibble).
constexpr uint64_t kBandRate[4] = {500000000, 250000000, 100000000, 50000000};

}  // namespace

// ---- JtagDevice -------------------------------------------------------------------------------

std::vector<uint8_t> JtagDevice::data_bits() const {
  if (received.size() <= static_cast<size_t>(preamble)) return {};
  return std::vector<uint8_t>(received.begin() + preamble, received.end());
}

uint8_t JtagDevice::tdo() const {
  if (tap == kShiftIr) return ir_shift & 1;
  if (tap == kShiftDr) {
    if (ir == kCheckStatus && status_tdi_high) return 0;
    return dr_head < dr.size() ? dr[dr_head] : 0;
  }
  return 1;
}

void JtagDevice::rising_edge(int tms, int tdi) {
  switch (tap) {
    case kCaptureIr:
      ir_shift = 0x155;
      break;
    case kShiftIr:
      ir_shift = (ir_shift >> 1) | static_cast<uint32_t>(tdi) << 9;
      break;
    case kCaptureDr:
      dr.clear();
      dr_head = 0;
      if (ir == kIdcode) {
        for (int i = 0; i < 32; ++i) dr.push_back((idcode >> i) & 1);
      } else if (ir == kCheckStatus) {
        dr.assign(static_cast<size_t>(3 * boundary_length + 3), 0);
        dr[static_cast<size_t>(3 * (boundary_length - status_position) + 1)] = configured ? 1 : 0;
        status_tdi_high = false;
      } else {
        dr.push_back(0);  // bypass register, and the one-bit path while programming
        if (ir == kProgram) received.clear();
      }
      break;
    case kShiftDr:
      // The status cells come out under TDI low: a high bit shifted in spoils the check.
      if (ir == kCheckStatus && tdi) status_tdi_high = true;
      if (ir == kProgram) {
        received.push_back(static_cast<uint8_t>(tdi));  // a one-bit path: nothing to keep
      } else {
        dr.push_back(static_cast<uint8_t>(tdi));
        ++dr_head;
      }
      break;
    case kIdle:
      if (ir == kStartup && ++startup_clocks >= startup_needed && stream_valid) {
        configured = failing_attempts.count(attempts) == 0;
      }
      break;
    default:
      break;
  }
  const int next = kTapNext[tap][tms];
  if (next == kUpdateIr) {
    ir = ir_shift & 0x3FF;
    startup_clocks = 0;
    if (ir != kBypass && ir != kIdcode && ir != kProgram && ir != kStartup && ir != kCheckStatus) {
      ++unknown_instructions;  // a code the device does not know: no configuration holds
      configured = false;
    }
  }
  if (next == kUpdateDr && ir == kProgram) {
    ++attempts;
    size_t ones = 0;
    while (ones < received.size() && received[ones]) ++ones;
    stream_valid = ones >= static_cast<size_t>(preamble) &&
                   received.size() > static_cast<size_t>(preamble) + 1;
    configured = false;
  }
  if (next == kReset) ir = kIdcode;
  tap = next;
}

// ---- Board ------------------------------------------------------------------------------------

Board::Board(std::string key) : key_(std::move(key)) {
  peers_.push_back(std::make_unique<DataPortPeer>(*this, 0));
  peers_.push_back(std::make_unique<DataPortPeer>(*this, 1));
  peers_.push_back(std::make_unique<CommandLinkPeer>(*this));
  peers_.push_back(std::make_unique<JtagPeer>(*this));
  regs[0x0B] = 0x52;  // family ID
  regs[0x0E] = 0x13;  // firmware version
  chain.push_back(JtagDevice{});
  set_signal(1021, 29000.0, 3.0, 1);
}

Board::~Board() = default;

PortPeer* Board::peer(int p) {
  return peers_.at(static_cast<size_t>(p)).get();
}

void Board::set_samples(std::vector<uint16_t> samples, uint32_t shift_per_capture) {
  custom_ = std::move(samples);
  custom_shift_ = shift_per_capture;
}

void Board::set_signal(uint32_t cycles, double amplitude, double noise_rms, uint32_t seed) {
  custom_.clear();
  base_.resize(65536);
  // A portable generator (xorshift32 with Box-Muller) so every platform sees the same samples.
  uint32_t state = seed ? seed : 1;
  auto uniform = [&] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return (state + 0.5) / 4294967296.0;
  };
  const double pi = 3.14159265358979323846;
  for (size_t i = 0; i < base_.size(); ++i) {
    const double noise =
        noise_rms * std::sqrt(-2.0 * std::log(uniform())) * std::cos(2 * pi * uniform());
    double v = amplitude * std::sin(2 * pi * cycles * static_cast<double>(i) / 65536.0) + noise;
    v = std::fmax(-32768.0, std::fmin(32767.0, std::round(v)));
    base_[i] = static_cast<uint16_t>(static_cast<int16_t>(v));
  }
  for (int parity = 0; parity < 2; ++parity) {
    lane_table_[parity].resize(32768);
    for (size_t i = 0; i < 32768; ++i)
      lane_table_[parity][i] = base_[2 * i + static_cast<size_t>(parity)];
  }
}

uint16_t Board::sample(uint64_t capture, uint64_t i) const {
  if (loopback) return loopback_sample(capture, i);
  if (!custom_.empty()) return custom_[(capture * custom_shift_ + i) % custom_.size()];
  return base_[(capture * capture_step + i) & 0xFFFF];
}

uint64_t Board::capture_rate_hz() const {
  const uint8_t band = regs[3];
  if ((band & 0x0F) == 0x01 && (band >> 4) < 4) return kBandRate[band >> 4];
  return kBandRate[1];
}

bool Board::capture_paused() const {
  if (pause_block_ < 0 || lane_bytes_read[0] < static_cast<uint64_t>(pause_block_) * 65536) {
    return false;
  }
  // The pause starts when the read-back first asks at that block.
  Board& self = const_cast<Board&>(*this);
  if (pause_until_ == 0) self.pause_until_ = Bench::get().now() + pause_ms_;
  if (Bench::get().now() < pause_until_) return true;
  self.pause_block_ = -1;
  return false;
}

uint8_t Board::register_read(uint8_t reg) const {
  if (reg == 2) {
    const bool busy = busy_forever || Bench::get().now() < busy_until || capture_paused();
    return busy ? busy_value : ready_value;
  }
  return regs[reg & 0x0F];
}

void Board::register_write(uint8_t reg, uint8_t value) {
  writes.emplace_back(reg, value);
  if (reg == 2) {
    // Register 2 ends the playback start's frame (whatever the control byte) or starts,
    // re-arms (non-zero) and stops (zero) a capture.
    if (playback_armed_) {
      start_playback();
    } else if (value == 0) {
      busy_until = 0;
    } else {
      start_capture();
    }
    return;
  }
  if (reg == 3 && (value & 0x0F) != 0x01) return;  // step codes leave the band in place
  regs[reg] = value;
  if (reg == 0 && value == 0xFF) playback_armed_ = false;
  if (reg == 5) playback_armed_ = true;
}

void Board::start_capture() {
  // The FPGA captures whole 4096-sample blocks: the region count and the block field give the
  // length, rounded up to the next 4096 samples.
  const uint64_t regions = regs[0x0A];
  const uint64_t blocks = static_cast<uint64_t>(regs[8] | regs[9] << 8) + 1;
  capture_length = regions * (1ull << 26) + blocks * 4096;
  ++captures;
  lane_bytes_read[0] = lane_bytes_read[1] = 0;
  capture_start_time = Bench::get().now();
  const uint64_t rate = capture_rate_hz();
  busy_until = capture_start_time + (capture_length * 1000 + rate - 1) / rate;
}

bool Board::played(uint64_t capture, uint64_t& base, uint64_t& period, uint64_t& phase) const {
  if (playback_starts == 0 || capture < playback_capture_) return false;
  base = word_address(start_word);
  period = word_address(end_word) + 32;
  phase = (capture - playback_capture_) % period * (capture_step % period) % period;
  return true;
}

uint16_t Board::loopback_sample(uint64_t capture, uint64_t i) const {
  uint64_t base = 0, period = 1, phase = 0;
  const uint16_t word = played(capture, base, period, phase)
                            ? played_word(base + (phase + i) % period)
                            : converter.idle_word();
  return converter.code(word, converter.capture_key(capture), i);
}

void Board::loopback_stream(int lane, uint8_t* dst, size_t n) {
  const uint64_t capture = captures ? captures - 1 : 0;
  uint64_t j = lane_bytes_read[lane];
  size_t k = 0;
  if ((j & 1) && k < n) {  // the high byte of a sample the last read split
    const uint64_t index = j - 1 + static_cast<uint64_t>(lane);
    dst[k++] =
        static_cast<uint8_t>(index < capture_length ? loopback_sample(capture, index) >> 8 : 0);
    ++j;
  }
  // Whole samples: this lane's are every other one, so the word steps by 2 around the pattern.
  uint64_t base = 0, period = 1, phase = 0;
  const bool playing = played(capture, base, period, phase);
  const uint16_t idle = converter.idle_word();
  const uint64_t key = converter.capture_key(capture);
  uint64_t index = j + static_cast<uint64_t>(lane);
  uint64_t at = (phase + index) % period;
  for (; k + 1 < n; k += 2, j += 2, index += 2) {
    uint16_t s = 0;
    if (index < capture_length) {
      s = converter.code(playing ? played_word(base + at) : idle, key, index);
      at += 2;
      if (at >= period) at -= period;
    }
    dst[k] = static_cast<uint8_t>(s);
    dst[k + 1] = static_cast<uint8_t>(s >> 8);
  }
  if (k < n) {  // the low byte of a sample the next read finishes
    dst[k] = static_cast<uint8_t>(index < capture_length ? loopback_sample(capture, index) : 0);
    ++j;
  }
  lane_bytes_read[lane] = j;
}

void Board::capture_stream(int lane, uint8_t* dst, size_t n) {
  if (loopback) {
    loopback_stream(lane, dst, n);
    return;
  }
  const uint64_t capture = captures ? captures - 1 : 0;
  uint64_t j = lane_bytes_read[lane];
  size_t k = 0;
  // Whole samples of the synthetic signal: a lane's samples are every other sample of the
  // period, kept de-interleaved, so a block is one or two copies (the period wraps).
  if (custom_.empty() && (j & 1) == 0) {
    const uint64_t first = capture * capture_step + static_cast<uint64_t>(lane) + j;
    const uint64_t index = j + static_cast<uint64_t>(lane);
    uint64_t count = index < capture_length ? (capture_length - index + 1) / 2 : 0;
    if (count > n / 2) count = n / 2;
    const std::vector<uint16_t>& table = lane_table_[first & 1];
    uint64_t at = (first >> 1) & 0x7FFF;
    for (uint64_t left = count; left > 0;) {
      const uint64_t run = std::min<uint64_t>(left, 0x8000 - at);
      std::memcpy(dst + k, table.data() + at, 2 * run);
      k += 2 * run;
      j += 2 * run;
      left -= run;
      at = 0;
    }
  }
  for (; k < n; ++k, ++j) {
    const uint64_t index = 2 * (j >> 1) + static_cast<uint64_t>(lane);
    const uint16_t s = index < capture_length ? sample(capture, index) : 0;
    dst[k] = static_cast<uint8_t>((j & 1) ? s >> 8 : s);
  }
  lane_bytes_read[lane] = j;
}

uint64_t Board::word_address(uint32_t word) {
  const uint64_t bank = (word >> 26) & 7, row = (word >> 10) & 0xFFFF, column = word & 0x3FF;
  return bank * (1ull << 26) + row * 4096 + column * 4;
}

void Board::start_playback() {
  end_word = static_cast<uint32_t>(regs[4] | regs[5] << 8 | regs[6] << 16 | regs[7] << 24);
  start_word = static_cast<uint32_t>(regs[8] | regs[9] << 8);
  dac_cursor[0] = dac_cursor[1] = word_address(start_word);
  ++playback_starts;
  playback_capture_ = captures;
  playback_armed_ = false;
}

void Board::playback_stream(int lane, const uint8_t* src, size_t n) {
  std::vector<uint8_t>& mem = dac_bytes[lane];
  uint64_t& at = dac_cursor[lane];
  if (mem.size() < at + n) mem.resize(at + n);
  std::memcpy(mem.data() + at, src, n);
  at += n;
}

std::vector<uint16_t> Board::pattern(uint64_t first, uint64_t n) const {
  std::vector<uint16_t> out(n);
  for (uint64_t k = 0; k < n; ++k) {
    const uint64_t a = first + k;
    const uint8_t lo = a < dac_bytes[0].size() ? dac_bytes[0][a] : 0;
    const uint8_t hi = a < dac_bytes[1].size() ? dac_bytes[1][a] : 0;
    out[k] = static_cast<uint16_t>(lo | hi << 8);
  }
  return out;
}

uint8_t Board::jtag_tdo() const {
  return chain.empty() ? 1 : chain.back().tdo();
}

void Board::jtag_clock(int tms, int tdi) {
  int in = tdi;
  for (JtagDevice& d : chain) {
    const int out = d.tdo();
    d.rising_edge(tms, in);
    in = out;
  }
}

}  // namespace sim
