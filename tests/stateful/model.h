// The reference model of the library's state, written from the documented behaviour of the
// exports: which board is selected, the session kind, the capture's block plan and the file
// read-back's carry-over, the playback's block plan and the upload cursor. Plus the plain helpers
// that say what a read-back must deliver: lane reordering, bit operations, block sizes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace stateful {

constexpr int32_t kCaptureBlock = 65536;
constexpr int32_t kPatternBlock = 63448;

// A flag the model knows, or one a documented choice leaves open until the next observation.
enum class Tri : uint8_t { kNo, kYes, kMaybe };

// What outlives an open of the ports: the bench, the last discovery, the selection, the files.
struct Machine {
  bool plugged[2] = {true, true};
  std::vector<int> numbering;  // board number of the last discovery -> bench board
  int discovered = 0;          // boards the last discovery found (none after a failed one)
  int selected = -1;           // bench board whose ports are open, -1 for none
  bool dead = false;           // a port of the selected board no longer answers its handle
  int stale_allow = 0;         // later transfers that may still meet an abandoned read's bytes
  int32_t sv_flag = 0;         // start-value flag of the capture start in force
  std::vector<uint16_t> file;  // what the capture file must hold
  bool file_known = false;
  bool converted = false;  // the conversion's output file exists with known words
  std::vector<uint16_t> converted_words;
  std::vector<uint8_t> converted_bytes;  // its bytes, which a refused conversion must keep
};

// Plus the selected board's session, which an open starts afresh.
struct Model : Machine {
  // ---- the library's handles of the selected board's ports ----
  uint32_t gen[4] = {0, 0, 0, 0};  // the open generation of the port each handle was opened for
  bool slot_closed[4] = {false, false, false, false};  // the library closed the slot (-1)

  // ---- capture path ----
  int kind = -1;               // session kind: -1 none, 1 ADC, 2 DAC
  Tri cap_started = Tri::kNo;  // a capture start of its own is in force
  bool cap_unsure = false;     // capture state unknown until the next ADC session / capture start
  int pm = 0;                  // the session copy's Pattern_Match
  bool pm_known = true;        // false when a failed pattern-match read-back may have cleared it
  int pattern_count = 1;       // the session copy's Pattern_Count
  uint8_t reg1 = 0;            // the session copy's Register_1_Value
  int32_t count = 0, last = 0, next = 0, total = 0;  // capture block plan
  int32_t sv_value = 0;                              // start value
  std::vector<uint16_t> carry;                       // file read-back carry-over
  bool stray = false;    // the board's capture was restarted behind the plan's back
  uint64_t exp_off = 0;  // samples the board has served of its current capture

  // ---- pattern path ----
  Tri play_started = Tri::kNo;
  bool dac_garbled = false;  // a data port dropped upload bytes unseen: memory unknown till reopen
  int32_t pcount = 0, plast = 0, pnext = 1;
  uint32_t plen = 0;  // Length of the playback start in force
  uint64_t start_addr = 0;
  uint32_t cursor = 0;   // upload cursor, bytes
  uint32_t section = 0;  // the cursor at the latest playback start: where a failed block rewinds to

  bool capture_finished() const { return next >= count; }
  int32_t block_size(int32_t index) const { return index == count - 1 ? last : kCaptureBlock; }
  int64_t remaining() const {
    return static_cast<int64_t>(total) - static_cast<int64_t>(next) * kCaptureBlock;
  }
  int32_t pattern_block(int32_t i) const { return i == pcount ? plast : kPatternBlock; }
};

// The capture plan of a capture start of N samples.
inline void plan_capture(Model& m, int32_t n) {
  m.count = (n + kCaptureBlock - 1) / kCaptureBlock;
  m.last = n - kCaptureBlock * (m.count - 1);
  m.next = 0;
  m.total = n;
}

// The playback plan of a playback start of L words (L >= 32): blocks of kPatternBlock words,
// taken from the pattern where the upload cursor stands (a playback start does not move it).
inline void plan_playback(Model& m, uint32_t length) {
  m.pcount = static_cast<int32_t>((length + kPatternBlock - 1) / kPatternBlock);
  m.plast = static_cast<int32_t>(length - static_cast<uint32_t>(m.pcount - 1) * kPatternBlock);
  m.pnext = 1;
  m.plen = length;
  m.section = m.cursor;
}

inline bool valid_capture_length(int32_t n) {
  return n > 0 && n % 32 == 0;
}
inline bool valid_pattern_length(uint32_t l) {
  return l >= 32 && l % 32 <= 3 && l <= (1u << 29);
}
inline bool valid_start_offset(int32_t s) {
  return s >= 0 && s < (1 << 18);
}

// One bit operation on a sample: shift (right for a positive operand), XOR, AND, OR, NOT.
inline uint16_t bit_op(uint16_t s, int32_t code, int32_t x) {
  const uint16_t low = static_cast<uint16_t>(x);
  if (code == 0) {
    const uint32_t by = x > 0 ? static_cast<uint32_t>(x) % 32
                              : static_cast<uint32_t>(-static_cast<int64_t>(x)) % 32;
    return by >= 16 ? 0 : static_cast<uint16_t>(x > 0 ? s >> by : s << by);
  }
  if (code == 1) return static_cast<uint16_t>(s ^ low);
  if (code == 2) return static_cast<uint16_t>(s & low);
  if (code == 3) return static_cast<uint16_t>(s | low);
  return code == 4 ? static_cast<uint16_t>(~s) : s;
}

// A lane list of the data model: non-zero entries 1..K, each once, K <= 15.
inline bool valid_lanes(const std::vector<int32_t>& lanes) {
  std::vector<int32_t> e;
  for (int32_t v : lanes) {
    if (v < 0 || v > 15) return false;
    if (v != 0) e.push_back(v);
  }
  if (e.empty()) return false;
  std::sort(e.begin(), e.end());
  for (size_t i = 0; i < e.size(); ++i) {
    if (e[i] != static_cast<int32_t>(i) + 1) return false;
  }
  return true;
}

// The file read-back's output for one block: the carried samples then the kept samples, cut into
// frames of K, lane v's m-th sample at position (v - 1) + M * m; the rest is carried over.
inline std::vector<uint16_t> reorder(std::vector<uint16_t>& carry,
                                     const std::vector<uint16_t>& block,
                                     const std::vector<int32_t>& lanes,
                                     const std::vector<int32_t>& codes,
                                     const std::vector<int32_t>& operands) {
  std::vector<uint16_t> combined = carry;
  for (size_t i = 0; i < block.size(); ++i) {
    if (lanes[i % lanes.size()] != 0) combined.push_back(block[i]);
  }
  std::vector<int32_t> e;
  for (int32_t v : lanes) {
    if (v != 0) e.push_back(v);
  }
  const size_t k = e.size();
  const size_t m = static_cast<size_t>(*std::max_element(e.begin(), e.end()));
  const size_t c = combined.size() / k * k;
  std::vector<uint16_t> out(c / k * m);
  std::vector<size_t> placed(16, 0);
  for (size_t i = 0; i < c; ++i) {
    const size_t v = static_cast<size_t>(e[i % k]);
    uint16_t s = combined[i];
    for (size_t o = 0; o < codes.size(); ++o) s = bit_op(s, codes[o], operands[o]);
    out[(v - 1) + m * placed[v]++] = s;
  }
  out.resize(c);
  carry.assign(combined.begin() + static_cast<std::ptrdiff_t>(c), combined.end());
  return out;
}

// Byte address of the last 32-byte burst of a pattern of L words, as the end word carries it.
inline uint64_t end_address(uint32_t length) {
  return (length & ~3u) - 32;
}

}  // namespace stateful
