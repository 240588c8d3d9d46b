// vrx5200-soapy-worker: one board for the SoapySDR module, in a process of its own (the control
// library keeps one board's state per process). It loads the library at run time as every client
// does, opens the board it is given and serves the module's requests (soapy/protocol.h) until
// the module closes the control socket; then it closes the board and exits. With --list it
// prints the serial keys discovery finds, one a line, and exits: it opens nothing.
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

#include "client/capture_output.h"
#include "client/library.h"
#include "client/units.h"
#include "soapy/io.h"
#include "soapy/protocol.h"

namespace vrxsoapy {
namespace {

struct Options {
  bool list = false;
  bool sim = false;
  std::string library;  // empty: as the tool finds it
  std::string serial;   // empty: the only board
};

std::string result_sentence(const char* what, int32_t code) {
  return std::string(what) + " failed: result " + std::to_string(code) + " (" +
         VRX5200_Result_Text(code) + ")";
}

// ---- Values --------------------------------------------------------------------------------

std::optional<long long> whole_in(const std::string& text, long long min, long long max) {
  const std::optional<long long> v = client::parse_whole(text);
  if (!v || *v < min || *v > max) return std::nullopt;
  return v;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, separator)) out.push_back(item);
  if (text.back() == separator) out.emplace_back();
  return out;
}

// ---- The worker ----------------------------------------------------------------------------

struct Settings {
  ADC_Session_Params adc{2, 0, 0, 0, 250e6, 0, 0, 0, 0, {}};
  std::vector<uint32_t> patterns;
  uint32_t timeout_ms = 10000;
  DAC_Session_Params dac{100e6, 8, 1, 1, 0, 0, 0, {}};
  std::string fpga;
  bool sim_loopback = false;
};

struct Reply {
  int32_t status = 0;
  std::string payload;
};

Reply refused(const std::string& why) {
  return {kRefused, why};
}

class Worker {
 public:
  Worker(client::Library& lib, const Options& options, uint16_t* ring)
      : lib_(lib), options_(options), ring_(ring) {}

  // Opens the board; the reply is the module's first message.
  Reply open();
  int serve();

 private:
  Reply handle(Op op, const std::vector<std::string>& f);
  Reply identity();
  Reply read_setting(const std::string& key);
  Reply write_setting(const std::string& key, const std::string& value);
  Reply load_fpga(const std::string& path);
  Reply registers(Op op, const std::vector<std::string>& f);
  Reply stream_args(const std::vector<std::string>& f, size_t first, bool keep);
  Reply rx_start(const std::vector<std::string>& f);
  Reply play(const std::string& words);
  int32_t begin_capture();
  void produce();
  void end_stream(int32_t result);
  double rx_rate() const;
  double tx_rate() const;

  client::Library& lib_;
  Options options_;
  uint16_t* ring_;
  std::string key_;
  Settings settings_;
  bool adc_ready_ = false;  // the ADC session holds the current settings

  struct Rx {
    bool active = false;
    uint32_t generation = 0;
    uint32_t credits = 0, next_slot = 0;
    uint64_t burst_left = 0;  // samples still to deliver; 0 with `continuous`
    bool continuous = false;
    int32_t capture_length = 0;
    std::vector<int32_t> lanes{1}, codes, operands;
    std::optional<client::LaneCounter> counter;
    bool capturing = false;    // a capture is started and has blocks left
    bool started_one = false;  // the stream has started a capture before
    bool join_next = false;    // the next block begins a capture after another
    int32_t write_index = 0;
  } rx_;
  // What stream arguments were last checked to (kCheckStreamArgs with keep = false: nothing).
  std::vector<int32_t> lanes_, codes_, operands_;
  int32_t capture_length_ = 0;
};

Reply Worker::open() {
  int32_t count = 0, length = 0;
  char keys[901] = {};
  const int32_t found = lib_.Get_VRX5200_EVM(&count, keys, &length);
  if (found == VRX5200_RESULT_NO_DEVICES || (found == 0 && count == 0)) {
    return {VRX5200_RESULT_NO_DEVICES, "no board found"};
  }
  if (found != 0) return {found, result_sentence("discovery", found)};
  const std::vector<std::string> list = client::split_keys(keys, count);
  int32_t number = -1;
  if (options_.serial.empty()) {
    if (count > 1) return refused("several boards found: give serial=KEY");
    number = 0;
  } else {
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i] == options_.serial) number = static_cast<int32_t>(i);
    }
    if (number < 0) return {VRX5200_RESULT_NO_BOARD, "no board with serial key " + options_.serial};
  }
  key_ = list[static_cast<size_t>(number)];
  const int32_t opened = lib_.Open_VRX5200_Ports(number, count);
  if (opened != 0) return {opened, result_sentence("opening the board's ports", opened)};
  return identity();
}

Reply Worker::identity() {
  std::string text = "serial_key=" + key_ + "\n";
  char hex[16];
  uint8_t family = 0, firmware = 0;
  if (lib_.Get_Family_ID(&family) == 0) {
    std::snprintf(hex, sizeof hex, "0x%02X", family);
    text += std::string("family_id=") + hex + "\n";
  }
  if (lib_.Get_Firmware_version(&firmware) == 0) {
    std::snprintf(hex, sizeof hex, "0x%02X", firmware);
    text += std::string("firmware_version=") + hex + "\n";
  }
  int32_t major = 0, minor = 0;
  lib_.Get_DLL_Version(&major, &minor);
  char* real = realpath(lib_.path.c_str(), nullptr);
  text += "library=" + std::string(real != nullptr ? real : lib_.path.c_str()) + "\n";
  std::free(real);
  text += "library_version=" + std::to_string(major) + "." + std::to_string(minor) + "\n";
  text += std::string("simulated=") + (options_.sim ? "true" : "false") + "\n";
  text += "worker_pid=" + std::to_string(getpid()) + "\n";
  return {0, text};
}

double Worker::rx_rate() const {
  const ADC_Session_Params& a = settings_.adc;
  double rate = static_cast<double>(a.Rate_Factor) * a.Rate * 0.5;
  if (a.Half_Rate_Mode == 1 && (a.Register_1_Value & 1) != 0) rate *= 0.5;
  return rate;
}

double Worker::tx_rate() const {
  const DAC_Session_Params& d = settings_.dac;
  return d.Rate_Factor_2 * d.Rate * d.Rate_Factor_1 / (8.0 * d.Rate_Divisor);
}

std::string number_text(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

Reply Worker::read_setting(const std::string& key) {
  const Settings& s = settings_;
  if (key == "rx_rate") return {0, number_text(rx_rate())};
  if (key == "tx_rate") return {0, number_text(tx_rate())};
  if (key == "rate_factor") return {0, std::to_string(s.adc.Rate_Factor)};
  if (key == "step_select") return {0, std::to_string(s.adc.Step_Select)};
  if (key == "half_rate") return {0, std::to_string(s.adc.Half_Rate_Mode)};
  if (key == "r1") return {0, std::to_string(s.adc.Register_1_Value)};
  if (key == "r6") return {0, std::to_string(s.adc.Register_6_Value)};
  if (key == "r7") return {0, std::to_string(s.adc.Register_7_Value)};
  if (key == "timeout_ms") return {0, std::to_string(s.timeout_ms)};
  if (key == "dac_factor1") return {0, std::to_string(s.dac.Rate_Factor_1)};
  if (key == "dac_factor2") return {0, std::to_string(s.dac.Rate_Factor_2)};
  if (key == "dac_divisor") return {0, std::to_string(s.dac.Rate_Divisor)};
  if (key == "dac_cb1") return {0, std::to_string(s.dac.Control_Byte_1)};
  if (key == "dac_cb2") return {0, std::to_string(s.dac.Control_Byte_2)};
  if (key == "fpga") return {0, s.fpga};
  if (key == "sim_loopback") return {0, s.sim_loopback ? "true" : "false"};
  if (key == "patterns") {
    std::string text;
    for (uint32_t p : s.patterns) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08X", p);
      text += (text.empty() ? "" : ",") + std::string(hex);
    }
    return {0, text};
  }
  return refused("no setting \"" + key + "\"");
}

const SettingInfo* setting_named(const std::string& key) {
  for (const SettingInfo& s : kSettings) {
    if (key == s.key) return &s;
  }
  return nullptr;
}

Reply Worker::write_setting(const std::string& key, const std::string& value) {
  Settings s = settings_;
  if (key == "rx_rate" || key == "tx_rate") {
    const std::optional<double> rate = client::parse_decimal(value);
    const bool rx = key == "rx_rate";
    const double low = rx ? kRxRateMin : kTxRateMin, high = rx ? kRxRateMax : kTxRateMax;
    if (!rate || *rate < low || *rate > high) {
      return refused("bad sample rate " + value + ": the " + (rx ? "capture" : "playback") +
                     " rate is " + number_text(low) + " to " + number_text(high) + " Hz");
    }
    if (rx) {
      double r = *rate * 2 / s.adc.Rate_Factor;
      if (s.adc.Half_Rate_Mode == 1 && (s.adc.Register_1_Value & 1) != 0) r *= 2;
      s.adc.Rate = r;
    } else {
      s.dac.Rate = *rate * 8.0 * s.dac.Rate_Divisor / (s.dac.Rate_Factor_1 * s.dac.Rate_Factor_2);
    }
  } else if (key == "fpga") {
    return load_fpga(value);
  } else {
    const SettingInfo* setting = setting_named(key);
    if (setting == nullptr) return refused("no setting \"" + key + "\"");
    long long n = 0;
    if (std::string(setting->type) == "int") {
      const std::optional<long long> v = whole_in(value, setting->min, setting->max);
      if (!v) {
        return refused("bad " + key + " \"" + value + "\": a whole number from " +
                       std::to_string(setting->min) + " to " + std::to_string(setting->max));
      }
      n = *v;
    } else if (std::string(setting->type) == "bool") {
      if (value == "true" || value == "1") {
        n = 1;
      } else if (value != "false" && value != "0") {
        return refused("bad " + key + " \"" + value + "\": true or false");
      }
    }
    if (key == "rate_factor") s.adc.Rate_Factor = static_cast<int32_t>(n);
    if (key == "step_select") s.adc.Step_Select = static_cast<int32_t>(n);
    if (key == "half_rate") s.adc.Half_Rate_Mode = static_cast<int32_t>(n);
    if (key == "r1") s.adc.Register_1_Value = static_cast<uint8_t>(n);
    if (key == "r6") s.adc.Register_6_Value = static_cast<uint8_t>(n);
    if (key == "r7") s.adc.Register_7_Value = static_cast<uint8_t>(n);
    if (key == "timeout_ms") s.timeout_ms = static_cast<uint32_t>(n);
    if (key == "dac_factor1") s.dac.Rate_Factor_1 = static_cast<int32_t>(n);
    if (key == "dac_factor2") s.dac.Rate_Factor_2 = static_cast<int32_t>(n);
    if (key == "dac_divisor") s.dac.Rate_Divisor = static_cast<int32_t>(n);
    if (key == "dac_cb1") s.dac.Control_Byte_1 = static_cast<uint8_t>(n);
    if (key == "dac_cb2") s.dac.Control_Byte_2 = static_cast<uint8_t>(n);
    if (key == "patterns") {
      s.patterns.clear();
      for (const std::string& item : split(value, ',')) {
        const std::optional<long long> v = whole_in(item, 0, 0xFFFFFFFFLL);
        if (!v) {
          return refused("bad patterns \"" + value + "\": \"" + item +
                         "\" is not a 32-bit whole number");
        }
        s.patterns.push_back(static_cast<uint32_t>(*v));
      }
      s.adc.Pattern_Match = s.patterns.empty() ? 0 : 1;
      s.adc.Pattern_Count = static_cast<int32_t>(s.patterns.size());
    }
    if (key == "sim_loopback") {
      if (lib_.sim_set_loopback == nullptr) {
        return refused("sim_loopback needs the simulated board (sim=1)");
      }
      const int32_t r = lib_.sim_set_loopback(0, n != 0, 0.0, 1.0, 0.0, nullptr, 0, 1);
      if (r != 0) return {r, result_sentence("the loopback", r)};
      s.sim_loopback = n != 0;
    }
  }
  settings_ = s;
  adc_ready_ = false;  // the next capture configures the session with the new settings
  return {};
}

Reply Worker::load_fpga(const std::string& path) {
  if (rx_.active) return refused("deactivate the receive stream before loading the FPGA");
  // The library prints the load's progress on standard output: it goes back to the module.
  const int transcript = memfd_create("vrx5200-fpga-load", MFD_CLOEXEC);
  if (transcript < 0) return refused("no memory for the load's transcript");
  std::fflush(stdout);
  std::cout.flush();
  const int saved = dup(STDOUT_FILENO);
  dup2(transcript, STDOUT_FILENO);
  const int32_t r = lib_.Load_Firmware(path.c_str());
  std::fflush(stdout);
  std::cout.flush();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  lseek(transcript, 0, SEEK_SET);
  while ((n = read(transcript, buffer, sizeof buffer)) > 0 && text.size() < (1u << 20)) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(transcript);
  adc_ready_ = false;
  if (r != VRX5200_RESULT_FPGA_CONFIGURED) {
    return {r, Fields().add(result_sentence("the FPGA load", r)).add(text).bytes()};
  }
  settings_.fpga = path;
  return {0, Fields().add("").add(text).bytes()};
}

Reply Worker::registers(Op op, const std::vector<std::string>& f) {
  if (f.size() < (op == Op::kReadRegister ? 1u : 2u)) return refused("missing fields");
  const std::optional<long long> address = whole_in(f[0], 0, 15);
  if (!address) return refused("bad register address " + f[0] + ": 0 to 15");
  if (op == Op::kReadRegister) {
    int32_t value = 0;
    const int32_t r = lib_.Read_Register(static_cast<uint8_t>(*address), &value);
    if (r != 0) return {r, result_sentence("the register read", r)};
    return {0, std::to_string(value)};
  }
  const std::optional<long long> value = whole_in(f[1], 0, 255);
  if (!value) return refused("bad register value " + f[1] + ": 0 to 255");
  int32_t status = 0;
  const int32_t r =
      lib_.Write_Register(static_cast<uint8_t>(*address), static_cast<uint8_t>(*value), &status);
  if (r != 0) return {r, result_sentence("the register write", r)};
  return {};
}

// Stream arguments lanes, ops and capture_length from f[first]; kept for the next stream start
// with `keep`.
Reply Worker::stream_args(const std::vector<std::string>& f, size_t first, bool keep) {
  if (f.size() < first + 3) return refused("missing fields");
  std::vector<int32_t> lanes, codes, operands;
  std::string why = client::parse_lane_list(f[first], lanes);
  if (why.empty()) why = client::parse_bit_ops(f[first + 1], codes, operands);
  const std::optional<long long> length = whole_in(f[first + 2], 32, INT32_MAX);
  if (why.empty() && (!length || *length % 32 != 0)) {
    why = "bad capture_length \"" + f[first + 2] + "\": a positive multiple of 32 samples";
  }
  if (!why.empty()) return refused(why);
  if (keep) {
    lanes_ = lanes;
    codes_ = codes;
    operands_ = operands;
    capture_length_ = static_cast<int32_t>(*length);
  }
  return {};
}

Reply Worker::rx_start(const std::vector<std::string>& f) {
  if (f.size() < 5) return refused("missing fields");
  const std::optional<long long> generation = whole_in(f[0], 0, UINT32_MAX);
  const std::optional<long long> burst = whole_in(f[1], 0, LLONG_MAX);
  if (!generation || !burst) return refused("bad stream start");
  const Reply checked = stream_args(f, 2, true);
  if (checked.status != 0) return checked;
  Rx rx;
  rx.generation = static_cast<uint32_t>(*generation);
  rx.lanes = lanes_;
  rx.codes = codes_;
  rx.operands = operands_;
  rx.continuous = *burst == 0;
  rx.capture_length = capture_length_;
  if (!rx.continuous) {
    // The shortest capture whose output (as the lane list keeps it) holds the burst.
    const uint64_t wanted = static_cast<uint64_t>(*burst);
    size_t kept = 0;
    for (int32_t v : rx.lanes) kept += v != 0;
    const long double estimate =
        static_cast<long double>(wanted) * rx.lanes.size() / static_cast<long double>(kept);
    const long long most = INT32_MAX / 32 * 32;
    long long length = static_cast<long long>(std::ceil(estimate / 32)) * 32;
    if (estimate > most) length = most + 32;
    while (length <= most &&
           client::LaneCounter::capture_output(rx.lanes, length, kBlockSamples) < wanted) {
      length += 32;
    }
    if (length > most) {
      return refused("a burst of " + std::to_string(wanted) +
                     " samples needs a capture longer than the library takes (" +
                     std::to_string(most) + " samples)");
    }
    rx.capture_length = static_cast<int32_t>(length);
    rx.burst_left = wanted;
  }
  rx.active = true;
  rx.credits = kRingSlots;
  rx_ = rx;
  const int32_t r = begin_capture();
  if (r != 0) {
    rx_.active = false;
    return {r, result_sentence("the capture start", r)};
  }
  return {};
}

int32_t Worker::begin_capture() {
  // Pattern-match mode ends with its match: each capture sets the session up again.
  if (!adc_ready_ || !settings_.patterns.empty()) {
    const int32_t r = lib_.Configure_VRX5200_ADC_Session(&settings_.adc);
    if (r != 0) return r;
    adc_ready_ = true;
  }
  const int32_t r = lib_.Start_ADC_to_DDR(rx_.capture_length, nullptr, 0, 0, 0);
  if (r != 0) return r;
  rx_.capturing = true;
  rx_.join_next = rx_.started_one;
  rx_.started_one = true;
  rx_.counter.emplace(rx_.lanes);
  rx_.write_index = 0;
  return 0;
}

void Worker::end_stream(int32_t result) {
  BlockMessage m{rx_.generation, rx_.next_slot, 0, kFlagError, result};
  send_all(kDataFd, &m, sizeof m);
  rx_.active = false;
  rx_.capturing = false;
}

void Worker::produce() {
  if (!rx_.capturing) {
    const int32_t r = begin_capture();
    if (r != 0) return end_stream(r);
  }
  uint16_t* slot = ring_ + size_t{rx_.next_slot} * kSlotSamples;
  int32_t this_call = 0, status = 0, pattern_timeout = 0, more = 1;
  const uint32_t* patterns = settings_.patterns.empty() ? nullptr : settings_.patterns.data();
  const int32_t r = lib_.Read_DDR_to_File(
      "/dev/null", patterns, slot, rx_.lanes.data(), static_cast<int32_t>(rx_.lanes.size()),
      rx_.codes.data(), rx_.operands.data(), static_cast<int32_t>(rx_.codes.size()),
      settings_.timeout_ms, &this_call, &rx_.write_index, &status, &pattern_timeout, &more);
  if (r != 0) return end_stream(r);
  if (pattern_timeout == 1) return;  // no match yet: the capture goes on looking
  size_t n = rx_.counter->output_for(static_cast<size_t>(this_call));
  if (more == 0) rx_.capturing = false;
  if (n == 0) return;  // the block that matched a pattern: the capture's blocks follow
  uint32_t flags = rx_.join_next ? kFlagJoin : 0;
  rx_.join_next = false;
  if (!rx_.continuous) {
    if (n >= rx_.burst_left || more == 0) {
      n = static_cast<size_t>(std::min<uint64_t>(n, rx_.burst_left));
      flags |= kFlagEnd;
      rx_.active = false;
      rx_.capturing = false;
    }
    rx_.burst_left -= n;
  }
  BlockMessage m{rx_.generation, rx_.next_slot, static_cast<uint32_t>(n), flags, 0};
  if (!send_all(kDataFd, &m, sizeof m)) {
    rx_.active = false;
    return;
  }
  --rx_.credits;
  rx_.next_slot = (rx_.next_slot + 1) % kRingSlots;
}

Reply Worker::play(const std::string& bytes) {
  const uint64_t words = bytes.size() / 2;
  if (words < 32 || words % 32 > 3 || words > (uint64_t{1} << 29)) {
    return {VRX5200_RESULT_BAD_ADDRESS,
            "a pattern of " + std::to_string(words) +
                " words cannot be played: " + VRX5200_Result_Text(VRX5200_RESULT_BAD_ADDRESS) +
                "; use 32 words or more whose count mod 32 is at most 3"};
  }
  if (rx_.active && !rx_.continuous) {
    return refused("a burst is being captured: read it to its end or deactivate the stream");
  }
  int32_t r = lib_.Configure_VRX5200_DAC_Session(&settings_.dac);
  adc_ready_ = false;
  if (r != 0) return {r, result_sentence("the playback session", r)};
  r = lib_.Start_DDR_to_DAC(static_cast<uint32_t>(words), 0);
  if (r != 0) return {r, result_sentence("the playback start", r)};
  int32_t position = 0, done = 0;
  while (done == 0) {
    r = lib_.Write_DDR_from_Array(bytes.data(), 0, 1000, &position, static_cast<uint32_t>(words),
                                  &done);
    if (r != 0) return {r, result_sentence("the pattern upload", r)};
  }
  // A continuous capture goes on with a new capture after the playback started: a join.
  rx_.capturing = false;
  return {};
}

Reply Worker::handle(Op op, const std::vector<std::string>& f) {
  switch (op) {
    case Op::kReadSetting:
      return f.empty() ? refused("missing fields") : read_setting(f[0]);
    case Op::kWriteSetting:
      return f.size() < 2 ? refused("missing fields") : write_setting(f[0], f[1]);
    case Op::kReadRegister:
    case Op::kWriteRegister:
      return registers(op, f);
    case Op::kCheckStreamArgs:
      return stream_args(f, 0, false);
    case Op::kRxStart:
      return rx_start(f);
    case Op::kRxStop:
      rx_.active = false;
      rx_.capturing = false;
      return {};
    case Op::kIdentity:
      return identity();
    default:
      return refused("unknown request");
  }
}

int Worker::serve() {
  std::string payload;
  for (;;) {
    const bool producing = rx_.active && rx_.credits > 0;
    pollfd fds[2] = {{kControlFd, POLLIN, 0}, {kDataFd, POLLIN, 0}};
    if (poll(fds, 2, producing ? 0 : -1) < 0 && errno != EINTR) return 1;
    if ((fds[1].revents & POLLIN) != 0) {
      ReleaseMessage m{};
      while (recv(kDataFd, &m, sizeof m, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof m)) {
        if (m.generation == rx_.generation && rx_.credits < kRingSlots) ++rx_.credits;
      }
    }
    if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) return 0;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      RequestHeader request{};
      // The largest request is a pattern of 2^29 words.
      if (!recv_message(kControlFd, request, payload, (size_t{1} << 30) + 64)) return 0;
      const Op op = static_cast<Op>(request.op);
      const Reply reply =
          op == Op::kPlay ? play(payload) : handle(op, Fields(std::move(payload)).split());
      payload.clear();
      if (!send_message(kControlFd, ReplyHeader{reply.status, 0}, reply.payload)) return 0;
    }
    if (rx_.active && rx_.credits > 0) produce();
  }
}

int list_boards(client::Library& lib) {
  int32_t count = 0, length = 0;
  char keys[901] = {};
  const int32_t found = lib.Get_VRX5200_EVM(&count, keys, &length);
  if (found == VRX5200_RESULT_NO_DEVICES) return 0;
  if (found != 0) {
    std::printf("error: %s\n", result_sentence("discovery", found).c_str());
    return 1;
  }
  for (const std::string& key : client::split_keys(keys, count)) std::printf("%s\n", key.c_str());
  return 0;
}

}  // namespace
}  // namespace vrxsoapy

int main(int argc, char** argv) {
  using namespace vrxsoapy;
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--list") {
      options.list = true;
    } else if (arg == "--sim") {
      options.sim = true;
    } else if (arg == "--library" && i + 1 < argc) {
      options.library = argv[++i];
    } else if (arg == "--serial" && i + 1 < argc) {
      options.serial = argv[++i];
    } else {
      std::fprintf(stderr, "vrx5200-soapy-worker: started by the SoapySDR module, not by hand\n");
      return 2;
    }
  }
  client::Library lib;
  std::string error;
  const bool loaded = lib.open(options.sim, options.library, error);
  if (options.list) {
    if (!loaded) {
      std::printf("error: %s\n", error.c_str());
      return 1;
    }
    return list_boards(lib);
  }
  // What the library prints (the FPGA load's progress) must not reach the program's standard
  // output, which may carry its samples: it goes to standard error, or back to the module.
  dup2(STDERR_FILENO, STDOUT_FILENO);
  void* ring = mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, kRingFd, 0);
  if (!loaded || ring == MAP_FAILED) {
    send_message(kControlFd, ReplyHeader{kRefused, 0},
                 loaded ? std::string("cannot map the sample ring") : error);
    return 1;
  }
  Worker worker(lib, options, static_cast<uint16_t*>(ring));
  const Reply opened = worker.open();
  if (!send_message(kControlFd, ReplyHeader{opened.status, 0}, opened.payload) ||
      opened.status != 0) {
    lib.Close_Session();
    return 1;
  }
  const int status = worker.serve();
  lib.Close_Session();
  return status;
}
