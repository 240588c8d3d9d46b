// The SoapySDR module of the VRX5200 board (driver key "vrx5200"): discovery, one receive
// channel (captures into board memory read back as the stream), one transmit channel (a burst
// played as a pattern), registers and settings. Each device is a worker process of its own
// (soapy/worker.cpp), which holds the board and the control library; this module only relays
// requests and turns the samples of the shared ring into the stream's format.
#include <poll.h>
#include <sys/socket.h>

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Registry.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "soapy/convert.h"
#include "soapy/worker_process.h"
#include "vrx5200_brdctrl.h"

namespace vrxsoapy {
namespace {

using Clock = std::chrono::steady_clock;

bool is_true(const SoapySDR::Kwargs& args, const char* key) {
  const auto it = args.find(key);
  if (it == args.end()) return false;
  const std::string& v = it->second;
  return !(v == "0" || v == "false" || v == "no" || v == "off");
}

std::string arg_of(const SoapySDR::Kwargs& args, const char* key, const std::string& fallback) {
  const auto it = args.find(key);
  return it == args.end() ? fallback : it->second;
}

// The worker's arguments for the board `args` names.
std::vector<std::string> worker_args(const SoapySDR::Kwargs& args, bool with_serial) {
  std::vector<std::string> out;
  if (is_true(args, "sim")) out.push_back("--sim");
  const std::string library = arg_of(args, "library", "");
  if (!library.empty()) out.insert(out.end(), {"--library", library});
  const std::string serial = arg_of(args, "serial", "");
  if (with_serial && !serial.empty()) out.insert(out.end(), {"--serial", serial});
  return out;
}

// What a failed reply says: the library's sentence, or the worker's own.
std::string reason_of(const Reply& r) {
  const size_t end = r.payload.find('\0');
  return end == std::string::npos ? r.payload : r.payload.substr(0, end);
}

struct RxStream {
  bool cf32 = false;
  std::string lanes = "1", ops, capture_length = "1048576";
  bool active = false;
  bool ended = false;  // the burst was read to its end, or the stream failed
  uint32_t generation = 0;
  bool has_block = false;
  BlockMessage block{};
  size_t used = 0;         // samples of the block already delivered
  bool join_told = false;  // the block's join has been reported as an overflow
};

struct TxStream {
  bool cf32 = false;
  std::vector<uint16_t> words;  // the burst so far
};

class Vrx5200Device : public SoapySDR::Device {
 public:
  explicit Vrx5200Device(const SoapySDR::Kwargs& args)
      : worker_(worker_args(args, true)), simulated_(is_true(args, "sim")) {
    take_identity(worker_.opened());
  }

  ~Vrx5200Device() override {
    delete rx_;
    delete tx_;
  }

  // ---- Identity ----
  std::string getDriverKey() const override { return "vrx5200"; }
  std::string getHardwareKey() const override { return "VRX5200"; }
  SoapySDR::Kwargs getHardwareInfo() const override {
    std::lock_guard<std::mutex> lock(identity_mutex_);
    return identity_;
  }

  // ---- Channels ----
  size_t getNumChannels(const int) const override { return 1; }
  bool getFullDuplex(const int, const size_t) const override { return false; }

  // ---- Streams ----
  std::vector<std::string> getStreamFormats(const int, const size_t) const override {
    return {SOAPY_SDR_CS16, SOAPY_SDR_CF32};
  }
  std::string getNativeStreamFormat(const int, const size_t, double& fullScale) const override {
    fullScale = 32768;
    return SOAPY_SDR_CS16;
  }
  SoapySDR::ArgInfoList getStreamArgsInfo(const int direction, const size_t) const override {
    SoapySDR::ArgInfoList out;
    if (direction != SOAPY_SDR_RX) return out;
    for (const StreamArgInfo& s : kStreamArgs) {
      SoapySDR::ArgInfo info;
      info.key = s.key;
      info.name = s.key;
      info.value = s.value;
      info.description = s.description;
      info.type = std::string(s.key) == "capture_length" ? SoapySDR::ArgInfo::INT
                                                         : SoapySDR::ArgInfo::STRING;
      out.push_back(info);
    }
    return out;
  }

  SoapySDR::Stream* setupStream(const int direction, const std::string& format,
                                const std::vector<size_t>& channels,
                                const SoapySDR::Kwargs& args) override;
  void closeStream(SoapySDR::Stream* stream) override;
  size_t getStreamMTU(SoapySDR::Stream*) const override { return kBlockSamples; }
  int activateStream(SoapySDR::Stream* stream, const int flags, const long long timeNs,
                     const size_t numElems) override;
  int deactivateStream(SoapySDR::Stream* stream, const int flags, const long long timeNs) override;
  int readStream(SoapySDR::Stream* stream, void* const* buffs, const size_t numElems, int& flags,
                 long long& timeNs, const long timeoutUs) override;
  int writeStream(SoapySDR::Stream* stream, const void* const* buffs, const size_t numElems,
                  int& flags, const long long timeNs, const long timeoutUs) override;

  // ---- Frequency: the board samples at baseband and has no tuner ----
  void setFrequency(const int, const size_t, const double frequency,
                    const SoapySDR::Kwargs&) override {
    if (frequency != 0) {
      throw std::invalid_argument("the VRX5200 has no tuner: its signal is at baseband (0 Hz)");
    }
  }
  double getFrequency(const int, const size_t) const override { return 0; }
  SoapySDR::RangeList getFrequencyRange(const int, const size_t) const override {
    return {SoapySDR::Range(0, 0)};
  }

  // ---- Sample rates: the capture's from its ADC session, the playback's from its DAC session ----
  void setSampleRate(const int direction, const size_t, const double rate) override {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", rate);
    check(worker_.call(
        Op::kWriteSetting,
        Fields().add(direction == SOAPY_SDR_RX ? "rx_rate" : "tx_rate").add(text).bytes()));
  }
  double getSampleRate(const int direction, const size_t) const override {
    const Reply r = call(Op::kReadSetting,
                         Fields().add(direction == SOAPY_SDR_RX ? "rx_rate" : "tx_rate").bytes());
    return std::stod(r.payload);
  }
  SoapySDR::RangeList getSampleRateRange(const int direction, const size_t) const override {
    return direction == SOAPY_SDR_RX ? SoapySDR::RangeList{SoapySDR::Range(kRxRateMin, kRxRateMax)}
                                     : SoapySDR::RangeList{SoapySDR::Range(kTxRateMin, kTxRateMax)};
  }

  // ---- Registers: the FPGA's, 0 to 15 ----
  std::vector<std::string> listRegisterInterfaces() const override { return {"FPGA"}; }
  void writeRegister(const std::string& name, const unsigned addr, const unsigned value) override {
    check_interface(name);
    writeRegister(addr, value);
  }
  unsigned readRegister(const std::string& name, const unsigned addr) const override {
    check_interface(name);
    return readRegister(addr);
  }
  void writeRegister(const unsigned addr, const unsigned value) override {
    check(worker_.call(Op::kWriteRegister, Fields().add(addr).add(value).bytes()));
  }
  unsigned readRegister(const unsigned addr) const override {
    return static_cast<unsigned>(
        std::stoul(call(Op::kReadRegister, Fields().add(addr).bytes()).payload));
  }

  // ---- Settings: capture and playback sessions, the FPGA load, the simulated loopback ----
  SoapySDR::ArgInfoList getSettingInfo() const override {
    SoapySDR::ArgInfoList out;
    for (const SettingInfo& s : kSettings) {
      if (!simulated_ && std::strncmp(s.key, "sim_", 4) == 0) continue;
      SoapySDR::ArgInfo info;
      info.key = s.key;
      info.name = s.key;
      info.value = s.value;
      info.description = s.description;
      const std::string type = s.type;
      info.type = type == "int"    ? SoapySDR::ArgInfo::INT
                  : type == "bool" ? SoapySDR::ArgInfo::BOOL
                                   : SoapySDR::ArgInfo::STRING;
      if (type == "int") {
        info.range = SoapySDR::Range(static_cast<double>(s.min), static_cast<double>(s.max));
      }
      out.push_back(info);
    }
    return out;
  }
  void writeSetting(const std::string& key, const std::string& value) override {
    const Reply r = worker_.call(Op::kWriteSetting, Fields().add(key).add(value).bytes());
    if (key == "fpga") {
      // The load's progress, line by line, to the log.
      const std::vector<std::string> f = Fields(r.payload).split();
      if (f.size() > 1) {
        size_t at = 0;
        const std::string& text = f[1];
        while (at < text.size()) {
          size_t end = text.find('\n', at);
          if (end == std::string::npos) end = text.size();
          if (end > at) {
            SoapySDR::logf(SOAPY_SDR_INFO, "vrx5200: %s", text.substr(at, end - at).c_str());
          }
          at = end + 1;
        }
      }
      if (r.status == 0) take_identity(worker_.call(Op::kIdentity).payload);
    }
    check(r);
  }
  std::string readSetting(const std::string& key) const override {
    return call(Op::kReadSetting, Fields().add(key).bytes()).payload;
  }

 private:
  // A failed reply as an exception: a refused value, or the library's failure.
  static void check(const Reply& r) {
    if (r.status == kRefused) throw std::invalid_argument(reason_of(r));
    if (r.status != 0) throw std::runtime_error(reason_of(r));
  }
  Reply call(Op op, const std::string& payload) const {
    Reply r = worker_.call(op, payload);
    check(r);
    return r;
  }
  static void check_interface(const std::string& name) {
    if (!name.empty() && name != "FPGA") {
      throw std::invalid_argument("no register interface \"" + name + "\" (FPGA only)");
    }
  }
  void take_identity(const std::string& text) {
    SoapySDR::Kwargs identity;
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      const size_t eq = line.find('=');
      if (eq != std::string::npos) identity[line.substr(0, eq)] = line.substr(eq + 1);
      at = end + 1;
    }
    std::lock_guard<std::mutex> lock(identity_mutex_);
    identity_ = identity;
  }
  RxStream* rx_of(SoapySDR::Stream* stream) const {
    return reinterpret_cast<void*>(stream) == rx_ ? rx_ : nullptr;
  }
  TxStream* tx_of(SoapySDR::Stream* stream) const {
    return reinterpret_cast<void*>(stream) == tx_ ? tx_ : nullptr;
  }
  bool next_block(RxStream& s, Clock::time_point deadline);
  void stop_rx(RxStream& s);

  mutable WorkerProcess worker_;
  const bool simulated_;
  mutable std::mutex identity_mutex_;
  SoapySDR::Kwargs identity_;
  RxStream* rx_ = nullptr;
  TxStream* tx_ = nullptr;
  uint32_t generations_ = 0;
};

SoapySDR::Stream* Vrx5200Device::setupStream(const int direction, const std::string& format,
                                             const std::vector<size_t>& channels,
                                             const SoapySDR::Kwargs& args) {
  if (channels.size() > 1 || (channels.size() == 1 && channels[0] != 0)) {
    throw std::invalid_argument("the VRX5200 has one channel each way (channel 0)");
  }
  if (format != SOAPY_SDR_CS16 && format != SOAPY_SDR_CF32) {
    throw std::invalid_argument("stream format " + format + ": CS16 (native) or CF32");
  }
  if (direction == SOAPY_SDR_TX) {
    if (!args.empty()) throw std::invalid_argument("the transmit stream takes no arguments");
    if (tx_ != nullptr) throw std::runtime_error("the transmit stream is set up already");
    tx_ = new TxStream;
    tx_->cf32 = format == SOAPY_SDR_CF32;
    return reinterpret_cast<SoapySDR::Stream*>(tx_);
  }
  if (rx_ != nullptr) throw std::runtime_error("the receive stream is set up already");
  auto s = std::make_unique<RxStream>();
  s->cf32 = format == SOAPY_SDR_CF32;
  for (const auto& [key, value] : args) {
    if (key == "lanes") {
      s->lanes = value;
    } else if (key == "ops") {
      s->ops = value;
    } else if (key == "capture_length") {
      s->capture_length = value;
    } else {
      throw std::invalid_argument("no stream argument \"" + key +
                                  "\" (lanes, ops, capture_length)");
    }
  }
  check(worker_.call(Op::kCheckStreamArgs,
                     Fields().add(s->lanes).add(s->ops).add(s->capture_length).bytes()));
  rx_ = s.release();
  return reinterpret_cast<SoapySDR::Stream*>(rx_);
}

void Vrx5200Device::closeStream(SoapySDR::Stream* stream) {
  if (RxStream* s = rx_of(stream)) {
    // No deactivation needed first: the worker stops the capture here.
    try {
      stop_rx(*s);
    } catch (const std::exception& e) {
      SoapySDR::logf(SOAPY_SDR_WARNING, "vrx5200: %s", e.what());
    }
    delete s;
    rx_ = nullptr;
  } else if (TxStream* t = tx_of(stream)) {
    delete t;
    tx_ = nullptr;
  }
}

void Vrx5200Device::stop_rx(RxStream& s) {
  if (s.active) worker_.call(Op::kRxStop);
  s.active = false;
  s.has_block = false;
}

int Vrx5200Device::activateStream(SoapySDR::Stream* stream, const int flags, const long long,
                                  const size_t numElems) {
  if (tx_of(stream) != nullptr) return flags == 0 ? 0 : SOAPY_SDR_NOT_SUPPORTED;
  RxStream* s = rx_of(stream);
  if (s == nullptr) return SOAPY_SDR_STREAM_ERROR;
  // A burst of numElems samples, or (no flags) back-to-back captures.
  if ((flags & ~SOAPY_SDR_END_BURST) != 0) return SOAPY_SDR_NOT_SUPPORTED;
  const bool burst = (flags & SOAPY_SDR_END_BURST) != 0;
  if (burst && numElems == 0) return SOAPY_SDR_NOT_SUPPORTED;
  try {
    stop_rx(*s);
    s->generation = ++generations_;
    const Reply r = worker_.call(Op::kRxStart, Fields()
                                                   .add(s->generation)
                                                   .add(burst ? uint64_t{numElems} : 0)
                                                   .add(s->lanes)
                                                   .add(s->ops)
                                                   .add(s->capture_length)
                                                   .bytes());
    if (r.status != 0) {
      SoapySDR::logf(SOAPY_SDR_ERROR, "vrx5200: %s", reason_of(r).c_str());
      return r.status == kRefused ? SOAPY_SDR_NOT_SUPPORTED : SOAPY_SDR_STREAM_ERROR;
    }
  } catch (const std::exception& e) {
    SoapySDR::logf(SOAPY_SDR_ERROR, "vrx5200: %s", e.what());
    return SOAPY_SDR_STREAM_ERROR;
  }
  s->active = true;
  s->ended = false;
  s->has_block = false;
  return 0;
}

int Vrx5200Device::deactivateStream(SoapySDR::Stream* stream, const int, const long long) {
  if (tx_of(stream) != nullptr) return 0;
  RxStream* s = rx_of(stream);
  if (s == nullptr) return SOAPY_SDR_STREAM_ERROR;
  try {
    stop_rx(*s);
  } catch (const std::exception& e) {
    SoapySDR::logf(SOAPY_SDR_ERROR, "vrx5200: %s", e.what());
    return SOAPY_SDR_STREAM_ERROR;
  }
  return 0;
}

// The next block of the stream, waiting until `deadline`; blocks of earlier streams are passed
// over. A worker that is gone gives a failed block.
bool Vrx5200Device::next_block(RxStream& s, Clock::time_point deadline) {
  const int fd = worker_.data_fd();
  for (;;) {
    BlockMessage m{};
    const ssize_t got = recv(fd, &m, sizeof m, MSG_DONTWAIT);
    if (got == static_cast<ssize_t>(sizeof m)) {
      if (m.generation != s.generation) continue;
      s.block = m;
      s.has_block = true;
      s.used = 0;
      s.join_told = false;
      return true;
    }
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      s.block = BlockMessage{s.generation, 0, 0, kFlagError, kRefused};
      s.has_block = true;
      return true;
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{fd, POLLIN, 0};
    if (ppoll(&p, 1, &wait, nullptr) == 0) return false;
  }
}

int Vrx5200Device::readStream(SoapySDR::Stream* stream, void* const* buffs, const size_t numElems,
                              int& flags, long long&, const long timeoutUs) {
  RxStream* s = rx_of(stream);
  if (s == nullptr) return SOAPY_SDR_NOT_SUPPORTED;
  flags = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
  size_t done = 0;
  while (done < numElems) {
    if (!s->has_block) {
      if (!s->active || s->ended) break;
      // The call fills its request unless the burst ends, a capture joins, or the time-out
      // passes first: then it returns what it has.
      if (!next_block(*s, deadline)) break;
    }
    const BlockMessage& b = s->block;
    if ((b.flags & kFlagError) != 0) {
      if (done > 0) break;
      s->has_block = false;
      s->ended = true;
      SoapySDR::logf(SOAPY_SDR_ERROR, "vrx5200: the capture failed: %s",
                     b.result == kRefused ? "the board's worker process has ended"
                                          : VRX5200_Result_Text(b.result));
      return SOAPY_SDR_STREAM_ERROR;
    }
    if ((b.flags & kFlagJoin) != 0 && !s->join_told) {
      // A new capture begins: the samples do not follow on from the ones before.
      if (done > 0) break;
      s->join_told = true;
      return SOAPY_SDR_OVERFLOW;
    }
    const size_t n = std::min(numElems - done, size_t{b.count} - s->used);
    const uint16_t* codes = worker_.ring() + size_t{b.slot} * kSlotSamples + s->used;
    if (s->cf32) {
      codes_to_cf32(codes, static_cast<float*>(buffs[0]) + 2 * done, n);
    } else {
      codes_to_cs16(codes, static_cast<int16_t*>(buffs[0]) + 2 * done, n);
    }
    done += n;
    s->used += n;
    if (s->used == b.count) {
      ReleaseMessage release{s->generation};
      send(worker_.data_fd(), &release, sizeof release, MSG_NOSIGNAL | MSG_DONTWAIT);
      s->has_block = false;
      if ((b.flags & kFlagEnd) != 0) {
        flags |= SOAPY_SDR_END_BURST;
        s->ended = true;
        break;
      }
    }
  }
  if (done > 0) return static_cast<int>(done);
  // Nothing came: an inactive or finished stream still takes its time-out.
  if (!s->active || s->ended) {
    const auto left = deadline - Clock::now();
    if (left > Clock::duration::zero()) std::this_thread::sleep_for(left);
  }
  return SOAPY_SDR_TIMEOUT;
}

int Vrx5200Device::writeStream(SoapySDR::Stream* stream, const void* const* buffs,
                               const size_t numElems, int& flags, const long long, const long) {
  TxStream* t = tx_of(stream);
  if (t == nullptr) return SOAPY_SDR_NOT_SUPPORTED;
  constexpr size_t kMostWords = size_t{1} << 29;
  if (numElems > kMostWords - t->words.size()) {
    SoapySDR::log(SOAPY_SDR_ERROR, "vrx5200: a pattern holds at most 2^29 words");
    return SOAPY_SDR_STREAM_ERROR;
  }
  const size_t before = t->words.size();
  t->words.resize(before + numElems);
  if (t->cf32) {
    if (!cf32_to_words(static_cast<const float*>(buffs[0]), t->words.data() + before, numElems)) {
      t->words.resize(before);
      SoapySDR::log(SOAPY_SDR_ERROR, "vrx5200: a sample is not a number: nothing was taken");
      return SOAPY_SDR_STREAM_ERROR;
    }
  } else {
    cs16_to_words(static_cast<const int16_t*>(buffs[0]), t->words.data() + before, numElems);
  }
  if ((flags & SOAPY_SDR_END_BURST) == 0) return static_cast<int>(numElems);
  // The burst is complete: it becomes the pattern the board plays over and over.
  Reply r;
  try {
    r = worker_.call(Op::kPlay, std::string(reinterpret_cast<const char*>(t->words.data()),
                                            t->words.size() * sizeof(uint16_t)));
  } catch (const std::exception& e) {
    r = Reply{kRefused, e.what()};
  }
  if (r.status != 0) {
    // Refused or failed: this call's samples are not taken; the burst before it stays.
    t->words.resize(before);
    SoapySDR::logf(SOAPY_SDR_ERROR, "vrx5200: %s", reason_of(r).c_str());
    return SOAPY_SDR_STREAM_ERROR;
  }
  t->words.clear();
  return static_cast<int>(numElems);
}

SoapySDR::KwargsList find_boards(const SoapySDR::Kwargs& args) {
  SoapySDR::KwargsList found;
  const bool sim = is_true(args, "sim");
  const std::string wanted = arg_of(args, "serial", "");
  for (const std::string& key : list_boards(worker_args(args, false))) {
    if (!wanted.empty() && key != wanted) continue;
    // The same arguments for the same board every time: its serial key, not its number.
    // Built whole: GCC 12's Release build takes assigning a literal into a map entry for an
    // overlapping copy.
    SoapySDR::Kwargs board{{"driver", "vrx5200"},
                           {"serial", key},
                           {"label", "VRX5200 " + key + (sim ? " (simulated)" : "")}};
    if (sim) board.emplace("sim", "1");
    const std::string library = arg_of(args, "library", "");
    if (!library.empty()) board.emplace("library", library);
    found.push_back(board);
  }
  return found;
}

SoapySDR::Device* make_board(const SoapySDR::Kwargs& args) {
  return new Vrx5200Device(args);
}

const SoapySDR::Registry registration("vrx5200", &find_boards, &make_board, SOAPY_SDR_ABI_VERSION);

}  // namespace
}  // namespace vrxsoapy
