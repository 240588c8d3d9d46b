// A step of a random sequence: one export call (or one bench action) with its arguments given as
// choices from small tables, and the fault armed before it. Steps are plain data, so a sequence
// can be replayed, shrunk, printed and written back as text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/stateful/model.h"

namespace stateful {

// clang-format off
enum Op : uint8_t {
  kDiscover, kInit, kOpen, kClosePorts, kCloseSession, kClearBuffer, kDevStatus, kVersion,
  kReadReg, kWriteReg, kConfig2, kBusy, kDeassert, kFamily, kFirmware,
  kAdcSession, kCaptureStart, kArrayRead, kReadFromAdc, kFileRead,
  kDacSession, kPlaybackStart, kArrayUpload, kFileUpload, kWriteToDac, kConvert, kLoad,
  kUnplug, kReplug, kWait, kKnob,  // bench actions, not calls
  kOpCount
};

// A step's argument: `n` choices, the first `ordinary` of them within the documented inputs.
struct Range { uint8_t n, ordinary; };
struct OpInfo {
  const char* name;
  uint8_t weight;    // how often a random sequence picks it
  uint16_t seconds;  // virtual time a call may take (the read-backs' bound grows with the plan)
  Range args[6];
};
constexpr OpInfo kOps[kOpCount] = {
    {"Get_VRX5200_EVM", 3, 20, {{2, 1}}},
    {"InitVRX5200_EVM", 2, 20, {{4, 2}}},
    {"Open_VRX5200_Ports", 4, 80, {{5, 2}, {4, 1}}},
    {"Close_VRX_Ports", 2, 20, {}},
    {"Close_Session", 2, 20, {}},
    {"Clear_Buffer", 2, 20, {}},
    {"FTDI_DevStatus", 2, 20, {}},
    {"Get_DLL_Version", 1, 20, {{2, 1}}},
    {"Read_Register", 3, 40, {{16, 16}, {2, 1}}},
    {"Write_Register", 3, 40, {{11, 11}, {4, 4}, {2, 1}}},
    {"Write_Config2", 2, 40, {{4, 4}, {2, 1}}},
    {"Check_ADC_Busy", 2, 40, {{2, 1}}},
    {"Deassert_Capture", 1, 40, {{2, 1}}},
    {"Get_Family_ID", 1, 40, {{2, 1}}},
    {"Get_Firmware_version", 1, 40, {{2, 1}}},
    {"Configure_ADC_Session", 6, 120, {{4, 4}, {6, 4}, {4, 4}}},
    {"Start_ADC_to_DDR", 9, 120, {{11, 7}, {2, 2}, {3, 3}}},
    {"Read_DDR_to_Array", 9, 0, {{5, 5}, {5, 3}, {7, 7}, {3, 1}}},
    {"Read_from_ADC", 3, 0, {{11, 7}, {2, 1}}},
    {"Read_DDR_to_File", 14, 0, {{16, 8}, {14, 13}, {5, 5}, {5, 3}, {7, 7}, {8, 3}}},
    {"Configure_DAC_Session", 5, 480, {{5, 4}, {4, 4}}},
    {"Start_DDR_to_DAC", 5, 40, {{10, 7}, {6, 4}}},
    {"Write_DDR_from_Array", 8, 100, {{3, 2}, {8, 7}, {3, 3}, {6, 4}, {3, 1}}},
    {"Write_DDR_from_File", 6, 100, {{4, 2}, {3, 1}}},
    {"Write_to_DAC", 3, 100, {{10, 7}, {3, 2}}},
    {"Convert", 2, 20, {{2, 2}, {3, 1}, {250, 250}, {250, 250}}},
    {"Load_Firmware", 1, 320, {{3, 1}}},
    {"unplug", 1, 0, {{2, 2}}},
    {"replug", 1, 0, {{2, 2}}},
    {"wait", 2, 0, {{3, 3}}},
    {"knob", 2, 0, {{8, 8}}},
};

enum Fault : uint8_t {
  kNoFault, kArmStatus, kArmShort, kArmStall, kArmUnplug, kArmMoved, kArmLate,  // on call `at`
  kSilence, kDelay, kShortRead, kFailList, kFailEntry, kFaultCount
};
constexpr const char* kFaultNames[kFaultCount] = {"none", "status", "short", "stall", "unplug",
    "moved", "late", "silence", "delay", "short-read", "fail-list", "fail-entry"};
// clang-format on

inline const char* op_name(int op) {
  return op >= 0 && op < kOpCount ? kOps[op].name : "?";
}
inline int arg_count(int op) {
  int n = 0;
  while (n < 6 && kOps[op].args[n].n != 0) ++n;
  return n;
}

struct Step {
  Op op = kWait;
  int32_t a[6] = {0, 0, 0, 0, 0, 0};
  Fault fault = kNoFault;
  uint16_t at = 0;   // armed call index, or occurrence / position for the other faults
  uint8_t role = 0;  // port role (0-3) the fault is placed on; for kDelay bit 2: a long delay
};

// ---- argument tables (the first `ordinary` entries of each are the documented inputs) ----
constexpr int32_t kCaptureLengths[] = {1024,   32, 4096, 65536, 65568, 131072,
                                       196608, 31, 0,    -32,   4100};
constexpr int32_t kStartValues[] = {0x181, 0x42, 7};
constexpr uint32_t kTimeouts[] = {10000, 0, 5, 100, 50000};
constexpr uint32_t kPatternLengths[] = {4096, 32, 64, 4099, 63456, 126944, 131072, 31, 36, 126896};
constexpr int32_t kStartOffsets[] = {0, 100, 4096, 262143, -32, 262144};
constexpr uint8_t kWriteAddresses[] = {0, 1, 2, 3, 11, 12, 13, 14, 15, 0x12, 0x1B};
constexpr uint8_t kDataBytes[] = {0, 0x42, 0xFF, 1};

struct LaneChoice {
  int n;
  int32_t v[15];
};
constexpr LaneChoice kLanes[] = {{1, {1}},
                                 {2, {2, 1}},
                                 {2, {1, 0}},
                                 {3, {3, 1, 2}},
                                 {4, {0, 2, 0, 1}},
                                 {5, {1, 2, 3, 4, 5}},
                                 {15, {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
                                 {3, {0, 0, 1}},
                                 // outside the data model
                                 {0, {1}},
                                 {1, {0}},
                                 {1, {2}},
                                 {2, {1, 1}},
                                 {1, {16}},
                                 {2, {1, 3}},
                                 {1, {-1}},
                                 {3, {1, 2, 2}}};

struct OpsChoice {
  int n;
  int32_t code[4], operand[4];
};
constexpr OpsChoice kBitOps[] = {
    {0, {}, {}},
    {4, {1, 0, 2, 0}, {0x00FF, -2, 0x7FFF, 1}},
    {1, {0}, {2}},
    {1, {0}, {-4}},
    {1, {0}, {16}},
    {1, {0}, {33}},
    {1, {1}, {0x8000}},
    {1, {2}, {0x3FFF}},
    {1, {5}, {123}},
    {2, {0, 0}, {-2, 2}},
    {2, {4, 3}, {0, 0x0F0F}},
    {1, {0}, {INT32_MIN}},
    {2, {0, 99}, {INT32_MAX, 7}},
    {3, {}, {}}};  // three operations but no arrays: outside the data model
constexpr int kBitOpsValid = 13;

// Where random choices come from: a seeded generator, or the fuzzer's bytes.
class Source {
 public:
  explicit Source(uint64_t seed) : s_(seed) {}
  Source(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t below(uint32_t n) {  // 0 .. n-1 (0 when n is 0)
    if (data_ == nullptr && n > 0) {
      uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      return static_cast<uint32_t>((z ^ (z >> 31)) % n);
    }
    if (n <= 1) return 0;
    uint32_t v = pos_ < size_ ? data_[pos_++] : 0;
    if (n > 256) v = v << 8 | (pos_ < size_ ? data_[pos_++] : 0);
    return v % n;
  }
  bool exhausted() const { return data_ != nullptr && pos_ >= size_; }

 private:
  uint64_t s_ = 0;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0, pos_ = 0;
};

// Which calls make sense now: weights lean on the state, so sequences get somewhere.
inline Step generate(Source& src, const Model& m) {
  uint32_t w[kOpCount];
  uint32_t sum = 0;
  for (int i = 0; i < kOpCount; ++i) {
    w[i] = kOps[i].weight;
    if (m.selected < 0 && i == kOpen) w[i] = 40;
    if ((m.dead || !m.plugged[0] || !m.plugged[1]) && (i == kReplug || i == kOpen)) w[i] += 10;
    if (m.kind == 1 && m.cap_started == Tri::kYes && (i == kFileRead || i == kArrayRead)) w[i] += 8;
    if (m.kind == 2 && m.play_started == Tri::kYes && (i == kArrayUpload || i == kFileUpload))
      w[i] += 6;
    if (i == kUnplug && (m.plugged[0] + m.plugged[1]) < 2) w[i] = 0;
    sum += w[i];
  }
  uint32_t r = src.below(sum);
  int op = 0;
  while (r >= w[op]) r -= w[op++];
  // Mostly make the state a call needs first: a board, the session, a started capture/playback.
  const bool capture_op = op >= kCaptureStart && op <= kFileRead;
  const bool pattern_op = op >= kPlaybackStart && op <= kWriteToDac;
  const bool steer = src.below(100) < 75;
  if (steer && m.selected < 0 && (capture_op || pattern_op || (op >= kClosePorts && op <= kLoad))) {
    op = kOpen;
  } else if (steer && capture_op && m.kind != 1) {
    op = kAdcSession;
  } else if (steer && (op == kArrayRead || op == kFileRead) && m.cap_started == Tri::kNo) {
    op = kCaptureStart;
  } else if (steer && pattern_op && m.kind != 2) {
    op = kDacSession;
  } else if (steer && op == kFileUpload && m.play_started == Tri::kNo) {
    op = kPlaybackStart;
  }
  Step s;
  s.op = static_cast<Op>(op);
  // At most one argument out of the ordinary, in a fifth of the calls.
  const int args = arg_count(op);
  const int odd = args > 0 && src.below(100) < 20 ? static_cast<int>(src.below(args)) : -1;
  for (int i = 0; i < args; ++i) {
    const Range g = kOps[op].args[i];
    const bool ordinary = g.ordinary == g.n || i != odd;
    s.a[i] = static_cast<int32_t>(ordinary ? src.below(g.ordinary)
                                           : g.ordinary + src.below(g.n - g.ordinary));
  }
  if (op < kUnplug && src.below(100) < 30) {
    s.fault = static_cast<Fault>(1 + src.below(kFaultCount - 1));
    s.at = static_cast<uint16_t>(src.below(10) == 0 ? src.below(3000) : src.below(48));
    s.role = static_cast<uint8_t>(src.below(8));
  }
  return s;
}

// ---- text: one line per step for people, and a compact form for the regression table ----
inline std::string describe(const Step& s) {
  char buf[160];
  int n = std::snprintf(buf, sizeof buf, "%s(", op_name(s.op));
  for (int i = 0; i < arg_count(s.op); ++i)
    n += std::snprintf(buf + n, sizeof buf - n, i ? ",%d" : "%d", s.a[i]);
  n += std::snprintf(buf + n, sizeof buf - n, ")");
  if (s.fault != kNoFault) {
    std::snprintf(buf + n, sizeof buf - n, "  [fault %s at %u, port %u]", kFaultNames[s.fault],
                  s.at, s.role & 3u);
  }
  return buf;
}

inline std::string encode(const std::vector<Step>& steps) {
  std::string out;
  for (const Step& s : steps) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%d:%d,%d,%d,%d,%d,%d:%d:%u:%u;", s.op, s.a[0], s.a[1], s.a[2],
                  s.a[3], s.a[4], s.a[5], s.fault, s.at, s.role);
    out += buf;
  }
  return out;
}

inline std::vector<Step> decode(const std::string& text) {
  std::vector<Step> steps;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    int op = 0, a[6] = {}, fault = 0;
    unsigned idx = 0, role = 0;
    if (std::sscanf(text.substr(at, end - at).c_str(), "%d:%d,%d,%d,%d,%d,%d:%d:%u:%u", &op, &a[0],
                    &a[1], &a[2], &a[3], &a[4], &a[5], &fault, &idx, &role) == 10 &&
        op >= 0 && op < kOpCount && fault >= 0 && fault < kFaultCount) {
      Step s{static_cast<Op>(op),
             {a[0], a[1], a[2], a[3], a[4], a[5]},
             static_cast<Fault>(fault),
             static_cast<uint16_t>(idx),
             static_cast<uint8_t>(role)};
      steps.push_back(s);
    }
    at = end + 1;
  }
  return steps;
}

}  // namespace stateful
