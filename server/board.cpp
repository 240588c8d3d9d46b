#include "server/board.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "server/fields.h"
#include "client/capture_output.h"
#include "vrx5200_analysis.h"

namespace server {

// An entry into the board from outside it: the first on its thread counts, and overlaps when
// another thread is inside.
class Entry {
 public:
  explicit Entry(Board& board) : board_(board) {
    if (depth_++ != 0) return;
    if (board_.inside_.fetch_add(1) != 0) ++board_.overlaps_;
    ++board_.calls_;
  }
  ~Entry() {
    if (--depth_ == 0) board_.inside_.fetch_sub(1);
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

 private:
  Board& board_;
  static thread_local int depth_;
};
thread_local int Entry::depth_ = 0;

namespace {

// Samples per read-back block, and the block copy of the file read-back (a block and a carried
// frame).
constexpr int32_t kBlock = 65536;
constexpr size_t kBlockCopy = kBlock + 14;
// The longest pattern a playback plans (words), and the longest capture the server keeps.
constexpr int64_t kMaxPatternWords = int64_t{1} << 29;
constexpr int64_t kMaxCaptureSamples = int64_t{1} << 24;

std::vector<int32_t> int_list(const nlohmann::json& j, const char* name, int64_t lo, int64_t hi) {
  std::vector<int32_t> out;
  if (!j.is_array()) bad_field(name, "must be an array of numbers");
  for (const auto& v : j) {
    nlohmann::json wrapper = {{name, v}};
    out.push_back(static_cast<int32_t>(int_field(wrapper, name, 0, lo, hi)));
  }
  return out;
}

// The bench's unplug fault is armed for the next job only, whether or not it struck.
struct Disarm {
  int& blocks;
  ~Disarm() { blocks = -1; }
};

bool same_session(const CaptureRequest& a, const CaptureRequest& b) {
  return a.rate == b.rate && a.rate_factor == b.rate_factor && a.step_select == b.step_select &&
         a.half_rate_mode == b.half_rate_mode && a.register_1 == b.register_1 &&
         a.register_6 == b.register_6 && a.register_7 == b.register_7;
}

}  // namespace

// ---- requests ----

CaptureRequest CaptureRequest::from_json(const nlohmann::json& j) {
  require_object(j, {"samples", "rate", "rate_factor", "step_select", "half_rate_mode",
                     "register_1", "register_6", "register_7", "lanes", "ops", "offset_binary",
                     "timeout_ms", "window", "harmonics", "spectrum"});
  CaptureRequest r;
  if (!j.contains("samples")) bad_request("give the number of samples: {\"samples\": N}");
  r.samples = static_cast<int32_t>(int_field(j, "samples", 0, 32, kMaxCaptureSamples));
  if (r.samples % 32 != 0) bad_request("\"samples\" must be a multiple of 32");
  r.rate = number_field(j, "rate", r.rate, 1, 1e12);
  r.rate_factor = static_cast<int32_t>(int_field(j, "rate_factor", 2, 1, 1 << 20));
  r.step_select = static_cast<int32_t>(int_field(j, "step_select", 0, 0, 1));
  r.half_rate_mode = static_cast<int32_t>(int_field(j, "half_rate_mode", 0, 0, 1));
  r.register_1 = static_cast<uint8_t>(int_field(j, "register_1", 0, 0, 255));
  r.register_6 = static_cast<uint8_t>(int_field(j, "register_6", 0, 0, 255));
  r.register_7 = static_cast<uint8_t>(int_field(j, "register_7", 0, 0, 255));
  if (j.contains("lanes")) {
    r.lanes = int_list(j.at("lanes"), "lanes", INT32_MIN, INT32_MAX);
    const std::string problem = client::lane_list_problem(r.lanes);
    if (!problem.empty()) bad_request("bad \"lanes\": " + problem);
  }
  if (j.contains("ops")) {
    if (!j.at("ops").is_array()) bad_request("\"ops\" must be an array of [code, operand] pairs");
    for (const auto& op : j.at("ops")) {
      if (!op.is_array() || op.size() != 2)
        bad_request("each of \"ops\" is a [code, operand] pair");
      const int32_t code = static_cast<int32_t>(int_field({{"code", op[0]}}, "code", 0, 0, 4));
      const nlohmann::json operand = {{"operand", op[1]}};
      const int64_t value = code == 0   ? int_field(operand, "operand", 0, -15, 15)
                            : code == 4 ? 0
                                        : int_field(operand, "operand", 0, 0, 0xFFFF);
      r.op_codes.push_back(code);
      r.op_operands.push_back(static_cast<int32_t>(value));
    }
  }
  r.offset_binary = bool_field(j, "offset_binary", false);
  r.timeout_ms = static_cast<uint32_t>(int_field(j, "timeout_ms", 10000, 1, 600000));
  return r;
}

double CaptureRequest::sample_rate() const {
  double rate_hz = static_cast<double>(rate_factor) * rate / 2;
  if (half_rate_mode == 1 && (register_1 & 1) != 0) rate_hz /= 2;
  const int32_t decimation = client::LaneCounter::decimation(lanes, kBlock);
  return decimation > 0 ? rate_hz / decimation : 0;
}

bool CaptureRequest::evenly_spaced() const {
  return client::LaneCounter::decimation(lanes, kBlock) > 0;
}

void PlayRequest::session_from_json(const nlohmann::json& j) {
  rate = number_field(j, "rate", rate, 1, 1e12);
  rate_factor_1 = static_cast<int32_t>(int_field(j, "rate_factor_1", 8, 1, 1 << 20));
  rate_factor_2 = static_cast<int32_t>(int_field(j, "rate_factor_2", 1, 1, 1 << 20));
  rate_divisor = static_cast<int32_t>(int_field(j, "rate_divisor", 1, 1, 1 << 20));
  control_byte_1 = static_cast<uint8_t>(int_field(j, "control_byte_1", 0, 0, 255));
  control_byte_2 = static_cast<uint8_t>(int_field(j, "control_byte_2", 0, 0, 255));
  start_offset = static_cast<int32_t>(int_field(j, "start_offset", 0, 0, (1 << 18) - 1));
  loopback = bool_field(j, "loopback", false);
}

void PlayRequest::generate(const nlohmann::json& j, bool make) {
  require_object(j, {"kind", "words", "cycles", "tones", "amplitude_dbfs", "rate", "rate_factor_1",
                     "rate_factor_2", "rate_divisor", "control_byte_1", "control_byte_2",
                     "start_offset", "loopback"});
  session_from_json(j);
  const std::string kind = string_field(j, "kind", "tone");
  const int64_t n = int_field(j, "words", 65536, 32, int64_t{1} << 24);
  VRX5200SignalConfig config{};
  config.bits = 16;
  config.code_format = VRX5200_TWOS_COMPLEMENT;
  config.amplitude_dbfs = number_field(j, "amplitude_dbfs", -1, -300, 20);
  std::vector<uint64_t> tones;
  if (kind == "tone") {
    config.kind = VRX5200_SIGNAL_TONE;
    config.cycles = static_cast<uint64_t>(int_field(j, "cycles", 1001, 1, n / 2 - 1));
  } else if (kind == "multitone") {
    config.kind = VRX5200_SIGNAL_MULTITONE;
    if (!j.contains("tones")) bad_request("a multitone needs \"tones\": [cycles, ...]");
    for (int32_t c : int_list(j.at("tones"), "tones", 1, n / 2 - 1)) tones.push_back(c);
    if (tones.empty() || tones.size() > VRX5200_MAX_PATTERN_TONES) {
      bad_request("\"tones\" must hold 1 to 1024 tones");
    }
    config.tone_cycles = tones.data();
    config.tone_count = static_cast<uint32_t>(tones.size());
  } else {
    bad_request("\"kind\" must be \"tone\" or \"multitone\"");
  }
  if (n % 32 > 3) bad_request("\"words\" mod 32 must be at most 3");
  pattern_words = n;
  if (!make) return;
  words.resize(static_cast<size_t>(n));
  const int32_t r = VRX5200Analysis_Generate(config, words.data(), words.size(), nullptr);
  if (r != VRX5200_ANALYSIS_OK) bad_request(VRX5200Analysis_Result_Text(r));
}

// ---- the board ----

void Board::check(const char* what, int32_t code, int32_t success) {
  if (code == success) return;
  // After a failure the session's state is the library's to say: set the capture session up
  // again, and after a transfer failure (a port's status) open the board afresh, so that a
  // board plugged back in works again without a restart of the server.
  adc_ready_ = false;
  const bool transfer = code < VRX5200_RESULT_FPGA_CONFIGURED &&
                        code != VRX5200_RESULT_BAD_ADDRESS &&
                        code != VRX5200_RESULT_BAD_CAPTURE_LENGTH;
  if (transfer || code == VRX5200_RESULT_NO_BOARD) stale_ = true;
  const int status = code == VRX5200_RESULT_INVALID_ARGUMENT ? 400 : 502;
  throw ApiError{status, std::string(what) + " failed", code};
}

nlohmann::json Board::discover() {
  const Entry entry(*this);
  // Discovery while a board is open would renumber the boards under the open session: the list
  // of the last discovery stands until the board is closed.
  if (!open_) {
    int32_t count = 0, length = 0;
    char keys[901] = {};
    const int32_t found = lib_.Get_VRX5200_EVM(&count, keys, &length);
    if (found != VRX5200_RESULT_NO_DEVICES) check("discovery", found);
    keys_ = found == VRX5200_RESULT_NO_DEVICES ? std::vector<std::string>{}
                                               : client::split_keys(keys, count);
  }
  nlohmann::json list = nlohmann::json::array();
  for (size_t i = 0; i < keys_.size(); ++i) {
    list.push_back({{"number", i}, {"key", keys_[i]}, {"open", open_ && keys_[i] == key_}});
  }
  return list;
}

nlohmann::json Board::open(const std::string& key) {
  const Entry entry(*this);
  if (open_ && !stale_ && (key.empty() || key == key_)) return info();
  // A key the last discovery did not find is refused before the open board is touched.
  if (open_ && !key.empty() && std::find(keys_.begin(), keys_.end(), key) == keys_.end()) {
    throw ApiError{404, "no board with serial key \"" + key + "\"", {}};
  }
  if (open_) close();
  discover();
  if (keys_.empty()) throw ApiError{409, "no board found", VRX5200_RESULT_NO_DEVICES};
  int32_t number = 0;
  if (!key.empty()) {
    const auto at = std::find(keys_.begin(), keys_.end(), key);
    if (at == keys_.end()) throw ApiError{404, "no board with serial key \"" + key + "\"", {}};
    number = static_cast<int32_t>(at - keys_.begin());
  }
  check("opening the board's ports",
        lib_.Open_VRX5200_Ports(number, static_cast<int32_t>(keys_.size())));
  open_ = true;
  stale_ = false;
  number_ = number;
  key_ = keys_[static_cast<size_t>(number)];
  adc_ready_ = false;
  return info();
}

void Board::close() {
  const Entry entry(*this);
  if (!open_) return;
  open_ = false;
  adc_ready_ = false;
  stale_ = false;
  lib_.Close_Session();
}

void Board::ensure_open() {
  if (!open_ || stale_) open(open_ ? key_ : preferred_);
}

std::string Board::library_version() {
  const Entry entry(*this);
  int32_t major = 0, minor = 0;
  check("library version", lib_.Get_DLL_Version(&major, &minor));
  return std::to_string(major) + "." + std::to_string(minor);
}

nlohmann::json Board::info() {
  const Entry entry(*this);
  if (!open_) throw ApiError{409, "no board is open", std::nullopt};
  if (stale_) return open(key_);  // after a transfer failure: the board afresh
  uint8_t family = 0, version = 0;
  int32_t busy = 0;
  check("family ID", lib_.Get_Family_ID(&family));
  check("firmware version", lib_.Get_Firmware_version(&version));
  check("busy check", lib_.Check_ADC_Busy(&busy));
  family_id_ = family;
  firmware_version_ = version;
  return {{"key", key_},
          {"number", number_},
          {"open", true},
          {"family_id", family},
          {"firmware_version", version},
          {"busy", busy != 0},
          {"simulated", simulated_}};
}

nlohmann::json Board::read_register(int address) {
  const Entry entry(*this);
  ensure_open();
  int32_t value = 0;
  check("register read", lib_.Read_Register(static_cast<uint8_t>(address), &value));
  return {{"address", address}, {"value", value}};
}

nlohmann::json Board::write_register(int address, int value) {
  const Entry entry(*this);
  ensure_open();
  int32_t status = 0;
  // A register write may change what the capture session set up: set it up again next time.
  adc_ready_ = false;
  check("register write",
        lib_.Write_Register(static_cast<uint8_t>(address), static_cast<uint8_t>(value), &status));
  return {{"address", address}, {"value", value}, {"status", status}};
}

void Board::after_block(Job& job) {
  if (unplug_after_blocks_ > 0 && --unplug_after_blocks_ == 0 && lib_.sim_set_plugged) {
    lib_.sim_set_plugged(sim_index(), 0);
    unplugged_ = true;
    stale_ = true;
    unplug_after_blocks_ = -1;
  }
  job.check_cancel();
}

void Board::capture(const CaptureRequest& r, std::vector<uint16_t>& samples, Job& job) {
  const Entry entry(*this);
  const Disarm disarm{unplug_after_blocks_};
  ensure_open();
  if (!adc_ready_ || !same_session(adc_, r)) {
    ADC_Session_Params adc{};
    adc.Rate_Factor = r.rate_factor;
    adc.Rate = r.rate;
    adc.Step_Select = r.step_select;
    adc.Half_Rate_Mode = r.half_rate_mode;
    adc.Register_1_Value = r.register_1;
    adc.Register_6_Value = r.register_6;
    adc.Register_7_Value = r.register_7;
    adc_ready_ = false;
    check("ADC session", lib_.Configure_VRX5200_ADC_Session(&adc));
    adc_ = r;
    adc_ready_ = true;
  }
  check("capture start", lib_.Start_ADC_to_DDR(r.samples, nullptr, 0, 0, 0));
  const uint32_t patterns[1] = {0};
  int32_t this_call = 0, index = 0, status = 0, pattern_timeout = 0, more = 1;
  // The file read-back hands over one block per call (the array read-back takes the whole
  // capture in one), so progress and cancellation come between blocks. It applies the lane list
  // and the bit operations and hands each block's output over in the block copy; its file is the
  // null device.
  client::LaneCounter counter(r.lanes);
  std::vector<uint16_t> block(kBlockCopy);
  samples.clear();
  samples.reserve(client::LaneCounter::capture_output(r.lanes, r.samples, kBlock));
  while (more == 1) {
    check("read-back", lib_.Read_DDR_to_File("/dev/null", patterns, block.data(), r.lanes.data(),
                                             static_cast<int32_t>(r.lanes.size()),
                                             r.op_codes.data(), r.op_operands.data(),
                                             static_cast<int32_t>(r.op_codes.size()), r.timeout_ms,
                                             &this_call, &index, &status, &pattern_timeout, &more));
    const size_t n = std::min(counter.output_for(static_cast<size_t>(this_call)), block.size());
    samples.insert(samples.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(n));
    job.report(static_cast<double>(index) / r.samples);
    if (more == 1) after_block(job);
  }
}

nlohmann::json Board::play(const PlayRequest& p, Job& job) {
  const Entry entry(*this);
  const int64_t n = static_cast<int64_t>(p.words.size());
  if (n < 32 || n % 32 > 3 || n > kMaxPatternWords) {
    bad_request("a pattern needs 32 words or more, at most 2^29, with its length mod 32 at most 3");
  }
  if (p.loopback && lib_.sim_set_loopback == nullptr) {
    throw ApiError{409, "loopback needs the simulated board", std::nullopt};
  }
  const Disarm disarm{unplug_after_blocks_};
  ensure_open();
  adc_ready_ = false;
  DAC_Session_Params d{};
  d.Rate = p.rate;
  d.Rate_Factor_1 = p.rate_factor_1;
  d.Rate_Factor_2 = p.rate_factor_2;
  d.Rate_Divisor = p.rate_divisor;
  d.Control_Byte_1 = p.control_byte_1;
  d.Control_Byte_2 = p.control_byte_2;
  check("DAC session", lib_.Configure_VRX5200_DAC_Session(&d));
  int32_t position = 0, done = 0;
  while (done != 1) {
    check("pattern upload", lib_.Write_DDR_from_Array(p.words.data(), p.start_offset, 0, &position,
                                                      static_cast<uint32_t>(n), &done));
    job.report(std::min(1.0, static_cast<double>(position) / (2.0 * static_cast<double>(n))));
    if (done != 1) after_block(job);
  }
  if (p.loopback) {
    // The bench's converter model: a little noise and low harmonics, like a real signal chain.
    const double harmonics[] = {-82, -88};
    check("loopback", lib_.sim_set_loopback(sim_index(), 1, 2.0, 1.0, 0.0, harmonics, 2, 1));
  }
  return {{"words", n}, {"position", position}, {"done", true}, {"loopback", p.loopback}};
}

int32_t Board::load_fpga(const std::string& path, std::vector<std::string>& transcript, Job& job) {
  const Entry entry(*this);
  ensure_open();
  adc_ready_ = false;
  // The library writes its transcript on standard output and standard error: both go into a
  // pipe for the call, read line by line into events as they come.
  int fds[2];
  if (pipe(fds) != 0) throw ApiError{500, "cannot make a pipe for the transcript", std::nullopt};
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(STDOUT_FILENO), saved_err = dup(STDERR_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  std::thread reader([&] {
    std::string line;
    char buffer[512];
    auto emit = [&] {
      if (line.empty()) return;
      // The upload's place on the server is no business of the client's.
      for (size_t at = line.find(path); at != std::string::npos; at = line.find(path, at)) {
        line.replace(at, path.size(), "(the uploaded file)");
      }
      transcript.push_back(line);
      job.events->publish("transcript", nlohmann::json({{"job", job.id}, {"line", line}}).dump());
      if (line.find("Start configuration") != std::string::npos) job.report(0.1);
      if (line.find("Checking Status") != std::string::npos) job.report(0.9);
      line.clear();
    };
    for (;;) {
      const ssize_t got = read(fds[0], buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') {
          emit();
        } else if (buffer[i] != '\r') {
          line += buffer[i];
        }
      }
    }
    emit();
  });
  const int32_t result = lib_.Load_Firmware(path.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, STDOUT_FILENO);
  dup2(saved_err, STDERR_FILENO);
  ::close(saved_out);
  ::close(saved_err);
  reader.join();
  ::close(fds[0]);
  // A failed configuration or chain check may be a board gone and back: open it afresh.
  if (result != VRX5200_RESULT_FPGA_CONFIGURED && result != VRX5200_RESULT_PROGRAMMING_FILE &&
      result != VRX5200_RESULT_FILE_IO) {
    stale_ = true;
  }
  return result;
}

// ---- the simulated board ----

int32_t Board::sim_index() {
  // The bench's boards are numbered as discovery lists them.
  if (open_) return number_;
  if (keys_.empty() && !unplugged_) discover();
  const auto at = std::find(keys_.begin(), keys_.end(), preferred_);
  return at == keys_.end() ? 0 : static_cast<int32_t>(at - keys_.begin());
}

void Board::sim_control(const nlohmann::json& j) {
  const Entry entry(*this);
  if (lib_.sim_set_signal == nullptr) {
    throw ApiError{409, "only the simulated board has these controls", std::nullopt};
  }
  require_object(j, {"signal", "capture_step", "loopback", "plugged", "unplug_after_blocks"});
  // Everything is checked before anything changes.
  struct Signal {
    uint32_t cycles;
    double amplitude, noise;
    uint32_t seed;
  };
  std::optional<Signal> signal;
  if (j.contains("signal")) {
    const nlohmann::json& s = j.at("signal");
    require_object(s, {"cycles", "amplitude", "noise_rms", "seed"});
    signal = Signal{static_cast<uint32_t>(int_field(s, "cycles", 1001, 0, 32767)),
                    number_field(s, "amplitude", 16000, 0, 32767),
                    number_field(s, "noise_rms", 0, 0, 32767),
                    static_cast<uint32_t>(int_field(s, "seed", 1, 0, UINT32_MAX))};
  }
  const int64_t step = int_field(j, "capture_step", -1, 0, UINT32_MAX);
  std::optional<bool> loopback_on;
  double noise = 2, gain = 1, offset = 0;
  std::vector<double> harmonics;
  uint32_t seed = 1;
  if (j.contains("loopback")) {
    const nlohmann::json& l = j.at("loopback");
    require_object(l, {"on", "noise_rms", "gain", "offset", "harmonics_dbc", "seed"});
    loopback_on = bool_field(l, "on", true);
    noise = number_field(l, "noise_rms", noise, 0, 32767);
    gain = number_field(l, "gain", gain, -100, 100);
    offset = number_field(l, "offset", offset, -32768, 32767);
    seed = static_cast<uint32_t>(int_field(l, "seed", 1, 0, UINT32_MAX));
    if (l.contains("harmonics_dbc")) {
      if (!l.at("harmonics_dbc").is_array() || l.at("harmonics_dbc").size() > 4) {
        bad_request("\"harmonics_dbc\" must be an array of at most 4 levels (dBc)");
      }
      for (const auto& v : l.at("harmonics_dbc")) {
        harmonics.push_back(number_field({{"harmonics_dbc", v}}, "harmonics_dbc", 0, -400, 0));
      }
    }
  }
  const bool plugged_given = j.contains("plugged");
  const bool plugged = bool_field(j, "plugged", true);
  const int64_t unplug_after = int_field(j, "unplug_after_blocks", -1, 1, 1 << 20);

  const int32_t b = sim_index();
  if (signal)
    lib_.sim_set_signal(b, signal->cycles, signal->amplitude, signal->noise, signal->seed);
  if (step >= 0) lib_.sim_set_capture_step(b, static_cast<uint32_t>(step));
  if (loopback_on) {
    check("loopback",
          lib_.sim_set_loopback(b, *loopback_on ? 1 : 0, noise, gain, offset, harmonics.data(),
                                static_cast<int32_t>(harmonics.size()), seed));
  }
  // Plugging in a board that is in changes nothing (the bench would drop its open handles);
  // after an unplug the board is opened afresh, as after any transfer failure.
  if (plugged_given && plugged != !unplugged_) {
    lib_.sim_set_plugged(b, plugged ? 1 : 0);
    unplugged_ = !plugged;
    stale_ = open_;
  }
  if (unplug_after > 0) unplug_after_blocks_ = static_cast<int>(unplug_after);
}

std::vector<uint16_t> Board::sim_playback(uint32_t first, uint32_t count) {
  const Entry entry(*this);
  if (lib_.sim_read_playback == nullptr) {
    throw ApiError{409, "only the simulated board's memory can be read back", std::nullopt};
  }
  std::vector<uint16_t> words(count);
  check("reading the playback memory",
        lib_.sim_read_playback(sim_index(), first, count, words.data()));
  return words;
}

}  // namespace server
