// The board behind a simulated board's four ports: the FPGA's command link and register file on
// port 2, its capture and playback memory behind the MPSSE data ports 0 and 1, and the JTAG chain
// on port 3. The model sees only pins and bytes, never the library's state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/bench.h"
#include "sim/loopback.h"

namespace sim {

// One device of the JTAG chain: a TAP controller, a 10-bit instruction register, and the data
// registers the configuration flow uses.
struct JtagDevice {
  uint32_t idcode = 0x024200DD;
  int boundary_length = 438;       // highest boundary-scan pin position
  int status_position = 122;       // pin position of the configuration status cells
  int preamble = 8532;             // TDI-high clocks the device expects before its data
  std::set<int> failing_attempts;  // programming attempts (from 1) whose status reads 0
  int startup_needed = 200;        // RUN/IDLE clocks of the start-up instruction it needs
  int unknown_instructions = 0;    // instruction codes loaded that the device does not know
  bool status_tdi_high = false;    // TDI went high while the status cells were shifted out

  int tap = 0;  // TAP state, numbered as the library numbers them (0 = RESET)
  uint32_t ir_shift = 0, ir = 0x006;
  std::vector<uint8_t> dr;  // data register being shifted, bit 0 (next out) first
  size_t dr_head = 0;
  std::vector<uint8_t> received;  // TDI bits shifted in while the program instruction was loaded
  int attempts = 0;               // programming streams received
  bool stream_valid = false;      // the last stream carried a full preamble and data
  bool configured = false;
  int startup_clocks = 0;

  // Bits received after the preamble in the last programming stream.
  std::vector<uint8_t> data_bits() const;
  uint8_t tdo() const;
  void rising_edge(int tms, int tdi);
};

// The register writes a board has seen, oldest first. A board that runs for long (a simulated
// board behind a server) keeps only its latest writes: at least the last kKeep, at most twice as
// many. size() counts every write since the board was made, and write i (from 0) can be read
// while it is among those kept, so a test notes size() before a call and reads what follows.
class WriteLog {
 public:
  using Entry = std::pair<uint8_t, uint8_t>;  // register, value
  static constexpr size_t kKeep = size_t{1} << 16;

  size_t size() const { return dropped_ + kept_.size(); }
  bool empty() const { return kept_.empty(); }
  size_t kept() const { return kept_.size(); }
  const Entry& back() const { return kept_.back(); }
  const Entry& operator[](size_t i) const { return kept_.at(i - dropped_); }
  // The writes kept, oldest first.
  std::vector<Entry>::const_iterator begin() const { return kept_.begin(); }
  std::vector<Entry>::const_iterator end() const { return kept_.end(); }
  void emplace_back(uint8_t reg, uint8_t value) {
    if (kept_.size() == 2 * kKeep) {
      kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(kKeep));
      dropped_ += kKeep;
    }
    kept_.emplace_back(reg, value);
  }

 private:
  std::vector<Entry> kept_;
  size_t dropped_ = 0;
};

class Board {
 public:
  explicit Board(std::string key);
  ~Board();
  const std::string& key() const { return key_; }
  PortPeer* peer(int p);

  // ---- registers (command link) ----
  std::array<uint8_t, 16> regs{};   // what reads return; register 2 reads the busy state
  WriteLog writes;                  // the register writes in order (the latest ones)
  uint8_t write_reply1 = 0x00;      // reply byte clocked back during a write's data byte
  uint8_t write_reply3 = 0x00;      // reply byte clocked back during a write's closing 0x00
  int frames = 0;                   // command-link frames seen (select asserted)
  std::vector<uint8_t> last_frame;  // bytes of the last frame as decoded from the pins
  bool busy_forever = false;        // register 2 never reads ready
  uint8_t ready_value = 0x00;       // what register 2 reads when the next block is ready
  uint8_t busy_value = 0x01;        // and while it is not (the file read-back tests bit 0 only)
  // The capture engine pauses once the read-back reaches block `block` (65,536 samples each):
  // register 2 then reads busy for `ms` virtual ms, a busy spell part-way through a capture.
  void pause_at_block(int64_t block, uint64_t ms) {
    pause_block_ = block;
    pause_ms_ = ms;
    pause_until_ = 0;
  }

  // ---- capture ----
  // Custom capture content: capture c, sample i reads samples[(c * shift + i) % size].
  void set_samples(std::vector<uint16_t> samples, uint32_t shift_per_capture = 0);
  // Synthetic signal (the default): a coherent sine of `cycles` periods per 65,536 samples,
  // amplitude in codes, Gaussian noise of `noise_rms` codes, two's complement 16-bit.
  void set_signal(uint32_t cycles, double amplitude, double noise_rms, uint32_t seed);
  uint16_t sample(uint64_t capture, uint64_t i) const;
  // Samples the synthetic signal moves on from one capture to the next (0: every capture the
  // same).
  uint32_t capture_step = 4099;
  uint64_t captures = 0;        // captures started (the current one is captures - 1)
  uint64_t capture_length = 0;  // samples the current capture holds
  uint64_t busy_until = 0;      // virtual time when the current capture is complete
  uint64_t capture_rate_hz() const;
  uint64_t lane_bytes_read[2] = {0, 0};  // bytes served on each data port this capture

  // ---- playback ----
  std::vector<uint8_t> dac_bytes[2];  // bytes stored behind data ports 0 and 1, by address
  uint64_t dac_cursor[2] = {0, 0};
  uint32_t end_word = 0, start_word = 0;
  int playback_starts = 0;
  // The byte address of a DDR address word (bank, row, column).
  static uint64_t word_address(uint32_t word);
  // n pattern words from word index `first` as the board would play them.
  std::vector<uint16_t> pattern(uint64_t first, uint64_t n) const;

  // ---- loopback: the DAC's output wired to the ADC's input ----
  // While on, the capture memory holds what the converter made of the playback (this replaces
  // the synthetic signal and custom samples; off, they are back unchanged). The DAC and the ADC
  // run at one rate: one pattern word per sample. The played pattern is the words from the
  // start address up to the end address's 32-word burst, P = word_address(end_word) + 32 of
  // them, played over and over; sample i of the k-th capture after the latest playback start
  // (k = 0, 1, ...) reads word (k * capture_step + i) mod P of it. Before a playback start the
  // DAC rests at mid-scale.
  bool loopback = false;
  ConverterModel converter;

  // ---- JTAG chain on port 3 (entry 1, next to the port's TDI output, first) ----
  std::vector<JtagDevice> chain;
  uint8_t jtag_tdo() const;
  void jtag_clock(int tms, int tdi);

  // Used by the peers.
  void register_write(uint8_t reg, uint8_t value);
  uint8_t register_read(uint8_t reg) const;
  void capture_stream(int lane, uint8_t* dst, size_t n);
  void playback_stream(int lane, const uint8_t* src, size_t n);
  uint64_t capture_start_time = 0;

 private:
  std::string key_;
  std::vector<std::unique_ptr<PortPeer>> peers_;
  std::vector<uint16_t> custom_;
  uint32_t custom_shift_ = 0;
  std::vector<uint16_t> base_;           // one 65,536-sample period of the synthetic signal
  std::vector<uint16_t> lane_table_[2];  // its even and its odd samples
  bool playback_armed_ = false;          // register 5 written since register 0 went to 0xFF
  uint64_t playback_capture_ = 0;        // number of the first capture after the playback start
  // For a capture that reads the playback: where the pattern starts, its length and the word
  // the capture begins with. False while the DAC rests.
  bool played(uint64_t capture, uint64_t& base, uint64_t& period, uint64_t& phase) const;
  uint16_t played_word(uint64_t address) const {
    const uint8_t lo = address < dac_bytes[0].size() ? dac_bytes[0][address] : 0;
    const uint8_t hi = address < dac_bytes[1].size() ? dac_bytes[1][address] : 0;
    return static_cast<uint16_t>(lo | hi << 8);
  }
  uint16_t loopback_sample(uint64_t capture, uint64_t i) const;
  void loopback_stream(int lane, uint8_t* dst, size_t n);
  int64_t pause_block_ = -1;
  uint64_t pause_ms_ = 0, pause_until_ = 0;
  bool capture_paused() const;
  void start_capture();
  void start_playback();
};

}  // namespace sim
