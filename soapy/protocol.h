// What the SoapySDR module and its worker process say to each other.
//
// The control library keeps one board's state per process, so the module never loads it: every
// device the module makes is a worker process of its own (vrx5200-soapy-worker) that loads the
// library, opens one board and serves the module over three descriptors it inherits:
//   3  control: a stream socket; the module sends a request and waits for its reply
//   4  data: a sequenced-packet socket; the worker announces each filled ring slot, the module
//      hands slots back
//   5  ring: shared memory of kRingSlots slots, each the library's block copy of one read-back
// Discovery runs a short-lived worker too (--list), which prints the serial keys it found.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vrxsoapy {

constexpr int kControlFd = 3, kDataFd = 4, kRingFd = 5;

// A read-back block is at most 65,536 samples; with a lane list the library's block copy also
// takes the samples carried from the block before (up to 14), so a slot holds a block copy.
constexpr uint32_t kBlockSamples = 65536;
constexpr uint32_t kSlotSamples = kBlockSamples + 16;
constexpr uint32_t kRingSlots = 4;
constexpr size_t kRingBytes = size_t{kRingSlots} * kSlotSamples * sizeof(uint16_t);

enum class Op : uint32_t {
  kReadSetting = 1,  // key -> value
  kWriteSetting,     // key, value
  kReadRegister,     // address -> value
  kWriteRegister,    // address, value
  kCheckStreamArgs,  // lanes, ops, capture length: refused or not, nothing changes
  kRxStart,          // generation, burst samples (0: continuous), lanes, ops, capture length
  kRxStop,           // ends the stream; the ring's slots all go back to the worker
  kPlay,             // the pattern's words, little-endian
  kIdentity,         // -> serial_key, family_id, firmware_version, ... ("key=value" lines)
};

// Reply status: 0 done; a positive control-library result code; kRefused for a request the
// worker turned down itself (a value out of range, a stream in the way). The payload of a
// failure is the sentence that says why.
constexpr int32_t kRefused = -1;

struct RequestHeader {
  uint32_t op;
  uint32_t length;
};
struct ReplyHeader {
  int32_t status;
  uint32_t length;
};

// Worker -> module on the data socket: slot `slot` holds `count` samples of stream `generation`.
struct BlockMessage {
  uint32_t generation;
  uint32_t slot;
  uint32_t count;
  uint32_t flags;
  int32_t result;  // with kFlagError: the library's result code
};
constexpr uint32_t kFlagJoin = 1;   // the first block of a capture after another capture
constexpr uint32_t kFlagEnd = 2;    // the burst's last block
constexpr uint32_t kFlagError = 4;  // the read-back failed; the stream is over
// Module -> worker on the data socket: one slot of `generation` is free again (slots go back in
// the order they were filled).
struct ReleaseMessage {
  uint32_t generation;
};

// Fields of a request or reply payload: strings and numbers, each ended by a zero byte.
class Fields {
 public:
  Fields() = default;
  explicit Fields(std::string bytes) : bytes_(std::move(bytes)) {}
  Fields& add(const std::string& s) {
    bytes_ += s;
    bytes_.push_back('\0');
    return *this;
  }
  Fields& add(uint64_t n) { return add(std::to_string(n)); }
  const std::string& bytes() const { return bytes_; }
  std::vector<std::string> split() const {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < bytes_.size()) {
      const size_t end = bytes_.find('\0', at);
      if (end == std::string::npos) break;
      out.push_back(bytes_.substr(at, end - at));
      at = end + 1;
    }
    return out;
  }

 private:
  std::string bytes_;
};

// The settings of a device: capture (ADC session) and playback (DAC session) parameters, the
// FPGA load and the simulated board's loopback. Shared by the module (which lists them) and the
// worker (which checks and keeps them).
struct SettingInfo {
  const char* key;
  const char* type;  // "int", "bool", "string"
  const char* value;
  const char* description;
  long long min, max;  // for "int"
};
inline constexpr SettingInfo kSettings[] = {
    {"rate_factor", "int", "2", "Capture rate factor: the sample rate is rate_factor x rate / 2", 1,
     2147483647},
    {"step_select", "int", "0", "Capture clock step direction: 0 down, 1 up", 0, 1},
    {"half_rate", "int", "0", "1 halves the sample rate when r1 is odd", 0, 1},
    {"r1", "int", "0", "FPGA register 1 value at capture start", 0, 255},
    {"r6", "int", "0", "FPGA register 6 value at capture start", 0, 255},
    {"r7", "int", "0", "FPGA register 7 value at capture start", 0, 255},
    {"patterns", "string", "",
     "Match patterns (comma-separated 32-bit values): each capture starts at a block whose "
     "samples 1 and 3 match one; empty for plain captures",
     0, 0},
    {"timeout_ms", "int", "10000", "Time-out of each read-back call in ms", 1, 2147483647},
    {"dac_factor1", "int", "8", "Playback rate factor 1: the rate is f2 x rate x f1 / (8 x div)", 1,
     2147483647},
    {"dac_factor2", "int", "1", "Playback rate factor 2", 1, 2147483647},
    {"dac_divisor", "int", "1", "Playback rate divisor", 1, 268435455},
    {"dac_cb1", "int", "0", "Playback control byte 1 (FPGA register 1)", 0, 255},
    {"dac_cb2", "int", "0", "Playback control byte 2 (FPGA register 2)", 0, 255},
    {"fpga", "string", "",
     "Writing a programming file's path loads it into the FPGA; reads the last file loaded", 0, 0},
    {"sim_loopback", "bool", "false",
     "Simulated board only: its DAC output wired to its ADC input (no noise, gain 1)", 0, 1},
};

// The stream arguments of the receive stream.
struct StreamArgInfo {
  const char* key;
  const char* value;
  const char* description;
};
inline constexpr StreamArgInfo kStreamArgs[] = {
    {"lanes", "1",
     "Lane list: 2,1 swaps sample pairs, 1,0 keeps every other sample (0 drops a lane, kept "
     "lanes numbered 1 to K)"},
    {"ops", "",
     "Bit operations applied to every sample in order, code:operand,...: shift:N (right, "
     "negative left), xor:M, and:M, or:M, not"},
    {"capture_length", "1048576",
     "Continuous streams: samples per capture (a multiple of 32); each join between captures "
     "reads as an overflow"},
};

// The sample rates the sessions can be programmed for.
constexpr double kRxRateMin = 1, kRxRateMax = 625e6;
constexpr double kTxRateMin = 500e3, kTxRateMax = 200e6;

}  // namespace vrxsoapy
