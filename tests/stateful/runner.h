// Runs a sequence of steps on the simulated bench against the reference model and checks every
// call: a success delivered exactly what the bench holds (samples the board served, the capture
// file, pattern words in board memory, registers); a refusal made no traffic and changed nothing;
// failures take the documented exits and the documented recovery brings correct results back;
// every call stays within the waits its arguments allow. No gtest here: the fuzz target uses it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/bench.h"
#include "sim/board.h"
#include "tests/stateful/model.h"
#include "tests/stateful/steps.h"
#include "vrx5200_brdctrl.h"

namespace stateful {

constexpr uint64_t kExchangeMs = 40000;  // one exchange: three port reads and writes, stalled
constexpr uint64_t kBulkMs = 16000;      // one bulk read
constexpr size_t kSamples = 6 * 65536 + 4096;
constexpr uint32_t kNever = 0x7FFF7FFF;  // no sample of the synthetic signal reaches 0x7FFF

// The kind of a violation: its text without numbers, so one kind covers every instance.
inline std::string kind_of(const std::string& violation) {
  std::string k;
  for (char c : violation) {
    if (c < '0' || c > '9') k += c;
  }
  return k;
}

class Runner {
 public:
  explicit Runner(const std::string& dir) : dir_(dir) {
    samples_.resize(kSamples);
    copy_.resize(65536 + 14);
    for (int p = 0; p < 2; ++p) {
      pattern_[p].resize(131072);
      for (size_t i = 0; i < pattern_[p].size(); ++i)
        pattern_[p][i] = static_cast<uint16_t>(i * (p ? 52711u : 40503u) + p);
    }
    write_file(dir_ + "/pattern.bin", pattern_[0].data(), 2 * pattern_[0].size());
    write_file(dir_ + "/short.bin", pattern_[1].data(), 100);
    std::vector<uint8_t> fw(64);
    for (size_t i = 0; i < fw.size(); ++i) fw[i] = static_cast<uint8_t>(i * 29 + 3);
    firmware_bits_.clear();
    for (uint8_t b : fw) {
      for (int k = 0; k < 8; ++k) firmware_bits_.push_back(static_cast<uint8_t>((b >> k) & 1));
    }
    write_file(dir_ + "/fpga.rbf", fw.data(), fw.size());
    std::string text;
    for (int i = 0; i < 100; ++i) {
      const int v = (i * 37) % 2000 - 1000;
      text += std::to_string(v) + "\n";
      conv_twos_.push_back(static_cast<uint16_t>(v));
    }
    write_file(dir_ + "/conv.txt", text.data(), text.size());
  }

  uint64_t calls = 0;                                   // export calls made
  bool trace = false;                                   // print every step and its result
  std::map<std::string, uint64_t>* outcomes = nullptr;  // "export -> result" counts
  std::set<uint64_t>* coverage = nullptr;  // (export, fault, model state) combinations reached
  const Model& model() const { return m_; }

  // Runs steps from a fresh bench; returns the first violation, "" when there is none.
  std::string run(const std::vector<Step>& steps, size_t* failed_at = nullptr) {
    std::string v = fresh();
    for (size_t i = 0; i < steps.size() && v.empty(); ++i) {
      v = step(steps[i]);
      if (!v.empty() && failed_at) *failed_at = i;
    }
    return v;
  }

  // Generates and runs up to n steps; the steps made are appended to `out`.
  std::string run_random(Source& src, size_t n, std::vector<Step>& out) {
    std::string v = fresh();
    for (size_t i = 0; i < n && v.empty() && !src.exhausted(); ++i) {
      out.push_back(generate(src, m_));
      v = step(out.back());
    }
    return v;
  }

  // Drops steps and faults while the same violation (its first words) still shows.
  std::vector<Step> shrink(std::vector<Step> steps, const std::string& violation, size_t budget) {
    const std::string key = kind_of(violation);
    auto fails = [&](const std::vector<Step>& s) {
      if (budget == 0) return false;
      --budget;
      return kind_of(run(s)) == key;
    };
    size_t at = 0;
    if (kind_of(run(steps, &at)) == key) steps.resize(at + 1);
    for (size_t chunk = steps.size() / 2; chunk >= 1; chunk /= 2) {
      for (size_t i = 0; i + chunk <= steps.size();) {
        std::vector<Step> t(steps);
        t.erase(t.begin() + static_cast<std::ptrdiff_t>(i),
                t.begin() + static_cast<std::ptrdiff_t>(i + chunk));
        if (fails(t)) {
          steps = t;
        } else {
          i += chunk;
        }
      }
    }
    for (Step& s : steps) {
      if (s.fault == kNoFault) continue;
      const Step keep = s;
      s.fault = kNoFault;
      if (!fails(steps)) s = keep;
    }
    return steps;
  }

 private:
  sim::Bench& bench_ = sim::Bench::get();
  std::string dir_;
  Model m_;
  std::vector<uint16_t> samples_, copy_, pattern_[2], conv_twos_;
  std::vector<uint8_t> firmware_bits_;
  int32_t wi_ = 0, wf_ = 0, done_ = 0;
  uint32_t last_plen_ = 4096;
  std::string v_;  // the violation of the current step

  static void write_file(const std::string& path, const void* data, size_t n) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
      std::fwrite(data, 1, n, f);
      std::fclose(f);
    }
  }
  static std::vector<uint16_t> read_words(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::vector<uint16_t> out(bytes.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
  }
  static bool file_exists(const std::string& path) { return std::ifstream(path).good(); }

  void fail(const char* rule, const std::string& what) {
    if (v_.empty()) v_ = std::string(rule) + ": " + what;
  }
  void expect(bool ok, const char* rule, const std::string& what) {
    if (!ok) fail(rule, what);
  }

  std::string fresh() {
    VRX5200BrdCtrl_Close_Session();
    bench_.reset();
    bench_.add_board("BOARD001");
    bench_.add_board("BOARD002");
    bench_.board(0).write_reply1 = 0x5A;
    bench_.board(0).write_reply3 = 0xA5;
    bench_.board(1).write_reply1 = 0x3C;
    bench_.board(1).write_reply3 = 0xC3;
    bench_.board(1).regs[0x0B] = 0x61;
    std::remove((dir_ + "/cap.bin").c_str());
    std::remove((dir_ + "/DAC_test.bin").c_str());
    m_ = Model{};
    wi_ = wf_ = done_ = 0;
    last_plen_ = 4096;
    int32_t count = 0, length = 0;
    char keys[64];
    if (VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length) != 0 || count != 2) {
      return "setup: discovery of the two boards failed";
    }
    m_.numbering = {0, 1};
    m_.discovered = 2;
    if (VRX5200BrdCtrl_Open_VRX5200_Ports(0, 2) != 0) return "setup: opening board 0 failed";
    m_.selected = 0;
    return "";
  }

  int arg(const Step& s, int i) const {
    const int n = kRanges[s.op][i].n;
    if (n == 0) return 0;
    return ((s.a[i] % n) + n) % n;
  }
  int board_of_step() const { return m_.selected >= 0 ? m_.selected : 0; }
  sim::Board& board() { return bench_.board(board_of_step()); }

  // The sample the board serves at position i of capture c (zero past the capture).
  uint16_t served(uint64_t c, uint64_t i) {
    sim::Board& b = board();
    return i < b.capture_length ? b.sample(c, i) : 0;
  }
  uint32_t key_of(uint64_t c, uint64_t off) {
    return static_cast<uint32_t>(served(c, off + 1)) << 16 | served(c, off + 3);
  }
  bool same_capture(const uint16_t* got, size_t n, uint64_t c, uint64_t base, const char* what) {
    for (size_t i = 0; i < n; ++i) {
      if (got[i] != served(c, base + i)) {
        fail("rule 1", std::string(what) + ": sample " + std::to_string(i) + " is " +
                           std::to_string(got[i]) + ", the board served " +
                           std::to_string(served(c, base + i)));
        return false;
      }
    }
    return true;
  }

  uint64_t signature() const {
    const uint64_t sel = m_.selected >= 0, kind = static_cast<uint64_t>(m_.kind + 1);
    return sel + 2 * (kind + 3 * (static_cast<uint64_t>(m_.cap_started) +
                                  3 * (static_cast<uint64_t>(m_.play_started) +
                                       3 * (static_cast<uint64_t>(m_.unsure) + 2 * m_.pm))));
  }

  bool board_op(Op op) const {
    return op != kDiscover && op != kInit && op != kVersion && op != kConvert && op < kUnplug &&
           op != kOpen && op != kCloseSession && op != kClosePorts;
  }

  uint64_t time_bound(const Step& s) const {
    const uint64_t blocks = 4 + static_cast<uint64_t>(std::max(m_.count, m_.pcount));
    switch (s.op) {
      case kOpen:
        return 80000;
      case kReadReg:
      case kWriteReg:
      case kConfig2:
      case kBusy:
      case kDeassert:
      case kFamily:
      case kFirmware:
      case kPlaybackStart:
        return kExchangeMs;
      case kAdcSession:
      case kCaptureStart:
        return 3 * kExchangeMs;
      case kDacSession:
        return 12 * kExchangeMs;
      case kArrayRead:
      case kFileRead:
        return kTimeouts[arg(s, 2 * (s.op == kFileRead))] +
               (blocks + 4) * (4 * kExchangeMs + 2 * kBulkMs);
      case kReadFromAdc:
        return 3 * kExchangeMs + 10000 + (blocks + 4) * (kExchangeMs + 2 * kBulkMs);
      case kArrayUpload:
      case kFileUpload:
      case kWriteToDac:
        return kExchangeMs + 10 * 6000;
      case kLoad:
        return 8 * kExchangeMs;
      case kWait:
        return 11000;
      default:
        return 20000;
    }
  }

  // A failure is fine when a fault was placed on the call, or once per abandoned read (code 8).
  bool failure_ok(int32_t r, bool faulted) {
    if (faulted) return true;
    if (r == 8 && m_.stale_allow > 0) {
      --m_.stale_allow;
      return true;
    }
    return false;
  }
  void expect_success(int32_t r, int32_t ok) {
    if (r != ok && !failure_ok(r, faulted_)) {
      fail("rule 1", "returned " + std::to_string(r) + " with no fault placed on it");
    }
  }

  std::string step(const Step& s);
  void ports(const Step& s);
  void registers(const Step& s);
  void capture(const Step& s);
  void read_array(const Step& s);
  void read_file(const Step& s);
  void pattern(const Step& s);

  // After the call: did the placed fault hit, was there traffic, how long did it take.
  void observe(int32_t r) {
    last_result_ = r;
    const bool armed = fault_ >= kArmStatus && fault_ <= kArmLate;
    faulted_ = fault_ != kNoFault && (!armed || !bench_.armed_hit().empty());
    bench_.clear_faults();
    dt_ = bench_.now() - t0_;
    traffic_ = !bench_.calls().empty() || dt_ > 0;
    for (int k = 0; k < 2; ++k) {
      if (m_.plugged[k] && !bench_.port(bench_.entry_of(k, 0)).present) {
        m_.plugged[k] = false;
        if (m_.selected == k) m_.unsure = true;
      }
    }
  }
  // A refusal: one of the codes, no traffic.
  void refused(int32_t r, std::initializer_list<int32_t> codes) {
    bool in = false;
    for (int32_t c : codes) in = in || r == c;
    std::string list;
    for (int32_t c : codes) list += (list.empty() ? "" : "/") + std::to_string(c);
    expect(in, "rule 2", "returned " + std::to_string(r) + ", the refusal is " + list);
    expect(!traffic_, "rule 2", "refused with " + std::to_string(r) + " after USB traffic");
  }
  // After a failed call that a fault caused, later transfers may meet the abandoned bytes once.
  void failed(int32_t r, int32_t ok) {
    if (r != ok && faulted_) m_.stale_allow = 2;
  }
  bool lenient() const { return m_.selected >= 0 && m_.unsure; }
  // After a read-back the model did not follow: a match shows as a write of 0 to register 7.
  void learn_match() {
    if (m_.pm != 1) return;
    const sim::Board& b = board();
    bool matched = false;
    for (size_t i = writes0_; i < b.writes.size(); ++i)
      matched = matched || b.writes[i] == std::make_pair<uint8_t, uint8_t>(7, 0);
    if (faulted_) {
      m_.pm_known = false;
    } else if (matched) {
      m_.pm = 0;
      m_.sv_flag = 0;
    }
  }

  uint64_t t0_ = 0, dt_ = 0, before_signature_ = 0;
  int32_t last_result_ = 0;
  Fault fault_ = kNoFault;
  bool faulted_ = false, traffic_ = false;

  // Board observations taken before the call.
  uint64_t captures0_ = 0, lane0_[2] = {0, 0};
  size_t writes0_ = 0;
  int starts0_ = 0;
};

// ---- one step ----------------------------------------------------------------------------------

inline std::string Runner::step(const Step& s) {
  v_.clear();
  bench_.clear_calls();
  bench_.arm(UINT64_MAX, sim::Bench::Armed::kStatus);
  const int entry = bench_.entry_of(board_of_step(), s.role & 3);
  using A = sim::Bench::Armed;
  switch (s.fault) {
    case kArmStatus:
      bench_.arm(s.at, A::kStatus);
      break;
    case kArmShort:
      bench_.arm(s.at, A::kShort);
      break;
    case kArmStall:
      bench_.arm(s.at, A::kStall);
      break;
    case kArmUnplug:
      bench_.arm(s.at, A::kUnplug);
      break;
    case kArmMoved:
      bench_.arm(s.at, A::kMoved);
      break;
    case kArmLate:
      bench_.arm(s.at, A::kLate, 10500);
      break;
    case kSilence:
      bench_.silence(entry);
      break;
    case kDelay:
      bench_.delay_replies(entry, (s.role & 4) ? 10500 : 50);
      break;
    case kShortRead:
      bench_.short_read(entry, 1 + s.at % 4, s.at % 7);
      break;
    case kFailList:
      bench_.fail_list(true);
      break;
    case kFailEntry:
      bench_.fail_entry(s.at % 9);
      break;
    default:
      break;
  }
  sim::Board& b = board();
  captures0_ = b.captures;
  lane0_[0] = b.lane_bytes_read[0];
  lane0_[1] = b.lane_bytes_read[1];
  writes0_ = b.writes.size();
  starts0_ = b.playback_starts;
  const uint64_t t0 = bench_.now();

  if (s.op < kUnplug) ++calls;
  switch (s.op) {
    case kUnplug:
    case kReplug: {
      const int which = arg(s, 0);
      if (s.op == kUnplug) {
        bench_.unplug(which);
      } else {
        bench_.replug(which);
      }
      m_.plugged[which] = s.op == kReplug;
      if (m_.selected == which) m_.unsure = true;
      return "";
    }
    case kWait:
      bench_.advance(arg(s, 0) == 0 ? 1 : arg(s, 0) == 1 ? 600 : 11000);
      return "";
    case kKnob: {
      sim::Board& k = board();
      switch (arg(s, 0)) {
        case 0:
          k.pause_at_block(1, 300);
          break;
        case 1:
          k.pause_at_block(0, 50);
          break;
        case 2:
          k.ready_value = 0x02, k.busy_value = 0x03;
          break;
        case 3:
          k.ready_value = 0x00, k.busy_value = 0x01;
          break;
        case 4:
          k.chain[0].failing_attempts = {k.chain[0].attempts + 1};
          break;
        case 5:
          k.chain[0].failing_attempts = {k.chain[0].attempts + 1, k.chain[0].attempts + 2,
                                         k.chain[0].attempts + 3};
          break;
        case 6:
          k.chain[0].failing_attempts.clear();
          break;
        default:
          k.busy_forever = !k.busy_forever;
          break;
      }
      return "";
    }
    default:
      break;
  }

  // The call itself, checked by its family; each family function makes the call, then
  // observe() notes whether the fault hit, the traffic and the time.
  t0_ = t0;
  fault_ = s.fault;
  before_signature_ = signature();
  switch (s.op) {
    case kDiscover:
    case kInit:
    case kOpen:
    case kClosePorts:
    case kCloseSession:
    case kClearBuffer:
    case kDevStatus:
    case kVersion:
      ports(s);
      break;
    case kReadReg:
    case kWriteReg:
    case kConfig2:
    case kBusy:
    case kDeassert:
    case kFamily:
    case kFirmware:
    case kLoad:
    case kConvert:
      registers(s);
      break;
    case kAdcSession:
    case kCaptureStart:
    case kReadFromAdc:
      capture(s);
      break;
    case kArrayRead:
      read_array(s);
      break;
    case kFileRead:
      read_file(s);
      break;
    default:
      pattern(s);
      break;
  }
  // A call a fault made fail may leave bytes of an abandoned read behind, whatever its path.
  if (faulted_ && last_result_ != 0 && last_result_ != 20) m_.stale_allow = 2;
  const uint64_t dt = bench_.now() - t0;
  if (dt > time_bound(s)) {
    fail("time", std::to_string(dt) + " ms of virtual time, more than its waits allow");
  }
  const sim::Board& bb = board();
  if (s.op != kCaptureStart && s.op != kArrayRead && s.op != kFileRead && s.op != kReadFromAdc &&
      bb.captures != captures0_) {
    m_.stray = true;  // a register-2 write restarted the board's capture
  }
  if (coverage) {
    coverage->insert(static_cast<uint64_t>(s.op) << 32 |
                     static_cast<uint64_t>(faulted_ ? s.fault : 0) << 16 | before_signature_);
  }
  if (outcomes) {
    ++(*outcomes)[std::string(op_name(s.op)) + " -> " + std::to_string(last_result_) +
                  (faulted_ ? " (fault)" : "")];
  }
  if (trace && std::getenv("VRX5200_STATEFUL_CALLS")) {
    for (const sim::Call& c : bench_.calls()) {
      if (c.name == "FT_GetQueueStatus" || c.entry != bench_.entry_of(board_of_step(), 0)) continue;
      std::printf("        %s e%d n=%u st=%u:", c.name.c_str(), c.entry,
                  c.args.empty() ? 0u : c.args[0], c.status);
      for (size_t i = 0; i < c.data.size() && i < 8; ++i) std::printf(" %02X", c.data[i]);
      std::printf("\n");
    }
  }
  if (trace) {
    std::printf("    %-70s -> %d%s\n", describe(s).c_str(), last_result_,
                faulted_ ? " (fault hit)" : "");
  }
  if (!v_.empty()) return std::string("[") + op_name(s.op) + "] " + v_;
  return "";
}

// ---- discovery, ports, library state ------------------------------------------------------

inline void Runner::ports(const Step& s) {
  const int sel = m_.selected;
  switch (s.op) {
    case kDiscover:
    case kInit: {
      std::vector<int> present;
      for (int k = 0; k < 2; ++k) {
        if (m_.plugged[k]) present.push_back(k);
      }
      int32_t count = -7, out = -7;
      char keys[128];
      std::memset(keys, '#', sizeof keys);
      static const char* const wanted[] = {"BOARD001", "BOARD002X", "NOPE0000"};
      int32_t r;
      const bool null = s.op == kDiscover ? arg(s, 0) == 1 : arg(s, 0) == 3;
      if (s.op == kDiscover) {
        r = null ? VRX5200BrdCtrl_Get_VRX5200_EVM(nullptr, nullptr, nullptr)
                 : VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &out);
      } else {
        r = VRX5200BrdCtrl_InitVRX5200_EVM(null ? nullptr : wanted[arg(s, 0)], &out, &count);
      }
      observe(r);
      if (null) return refused(r, {108});
      if (!faulted_) {
        expect(r == (present.empty() ? 19 : 0), "rule 1",
               "discovery returned " + std::to_string(r));
      }
      if (r == 0) {
        expect(count == static_cast<int32_t>(present.size()), "rule 1",
               "board count " + std::to_string(count));
        std::string want;
        int32_t number = -7;
        for (size_t i = 0; i < present.size(); ++i) {
          want += bench_.board(present[i]).key() + ",";
          if (s.op == kInit && arg(s, 0) < 2 && present[i] == arg(s, 0))
            number = static_cast<int32_t>(i);
        }
        if (s.op == kDiscover) {
          expect(std::string(keys) == want && out == 9 * count, "rule 1",
                 "key list '" + std::string(keys) + "' length " + std::to_string(out));
        } else {
          expect(out == number, "rule 1", "board number " + std::to_string(out));
        }
        m_.numbering = present;
        m_.discovered = static_cast<int>(present.size());
      } else {
        expect(r == 19, "rule 1", "a failed discovery returned " + std::to_string(r));
        if (s.op == kDiscover) {
          expect(keys[0] == 0 && out == 0, "rule 1", "a failed discovery left the key list");
        } else {
          expect(out == -7 && count == -7, "rule 2", "a failed discovery wrote its outputs");
        }
        m_.numbering.clear();
        m_.discovered = 0;
      }
      return;
    }
    case kOpen: {
      static const int32_t numbers[] = {0, 1, 2, -1, 100};
      const int32_t n = numbers[arg(s, 0)];
      const int mode = arg(s, 1);
      const int32_t count = mode == 0   ? m_.discovered
                            : mode == 1 ? m_.discovered + 2
                            : mode == 2 ? 1
                                        : 0;
      const bool refuse = n < 0 || n >= 100 || n >= count || n >= m_.discovered;
      const int target = refuse ? -1 : m_.numbering[static_cast<size_t>(n)];
      bool free = target >= 0 && m_.plugged[target];
      for (int p = 0; p < 4 && target >= 0; ++p) {
        if (bench_.is_open(bench_.entry_of(target, p)) && !(target == sel && !m_.unsure))
          free = false;
      }
      const int32_t r = VRX5200BrdCtrl_Open_VRX5200_Ports(n, count);
      observe(r);
      if (refuse) {
        expect(r == 101, "rule 2",
               "board number " + std::to_string(n) + " of " + std::to_string(count) + " gave " +
                   std::to_string(r));
        if (sel < 0) expect(!traffic_, "rule 2", "a refused open made traffic");
      } else if (free && !faulted_) {
        expect(r == 0, "rule 1", "opening a free board returned " + std::to_string(r));
      } else {
        expect(r == 0 || r == 2 || r == 101, "rule 1", "opening returned " + std::to_string(r));
      }
      const Model keep = m_;
      if (r == 0) {
        m_ = Model{};
        m_.plugged[0] = keep.plugged[0];
        m_.plugged[1] = keep.plugged[1];
        m_.numbering = keep.numbering;
        m_.discovered = keep.discovered;
        m_.stale_allow = keep.stale_allow;
        m_.selected = target;
        m_.file = keep.file;
        m_.file_known = keep.file_known;
        m_.converted = keep.converted;
        m_.converted_words = keep.converted_words;
        m_.sv_flag = keep.sv_flag;
        for (int p = 0; p < 4; ++p) {
          expect(bench_.is_open(bench_.entry_of(target, p)), "rule 1", "opened, port closed");
        }
      } else {
        m_.selected = -1;
        m_.unsure = false;
        if (!faulted_ && target >= 0 && free) {
          for (int p = 0; p < 4; ++p) {
            expect(!bench_.is_open(bench_.entry_of(target, p)), "rule 2",
                   "a failed open left port " + std::to_string(p) + " open");
          }
        }
      }
      return;
    }
    case kClosePorts:
    case kCloseSession: {
      const int32_t r =
          s.op == kClosePorts ? VRX5200BrdCtrl_Close_VRX_Ports() : VRX5200BrdCtrl_Close_Session();
      observe(r);
      if (sel < 0) return refused(r, {s.op == kClosePorts ? 101 : 0});
      if (!m_.unsure) expect_success(r, 0);
      if (r == 0 || s.op == kCloseSession) {
        if (r == 0 && !m_.unsure) {
          for (int p = 0; p < 4; ++p) {
            expect(!bench_.is_open(bench_.entry_of(sel, p)), "rule 1", "closed, port open");
          }
        }
        m_.selected = -1;
        m_.unsure = false;
      } else {
        m_.unsure = true;  // a port failed to close: the board stays selected
      }
      return;
    }
    case kClearBuffer:
    case kDevStatus: {
      const int32_t r =
          s.op == kClearBuffer ? VRX5200BrdCtrl_Clear_Buffer() : VRX5200BrdCtrl_FTDI_DevStatus();
      observe(r);
      if (sel < 0) return refused(r, {101});
      if (lenient()) return;
      if (!faulted_) expect(r == 0, "rule 1", "returned " + std::to_string(r));
      if (s.op == kDevStatus) expect(r == 0 || r == 1, "rule 1", "status " + std::to_string(r));
      return;
    }
    default: {
      int32_t major = -7, minor = -7;
      const int32_t r = arg(s, 0) ? VRX5200BrdCtrl_Get_DLL_Version(nullptr, nullptr)
                                  : VRX5200BrdCtrl_Get_DLL_Version(&major, &minor);
      observe(r);
      if (arg(s, 0)) return refused(r, {108});
      refused(r, {0});
      expect(major == 0 && minor == 1, "rule 1", "version outputs");
      return;
    }
  }
}

// ---- registers, identity, FPGA load, conversion ----------------------------------------------

inline void Runner::registers(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  if (s.op == kConvert) {
    static const int32_t good_map[] = {-1, 1}, bad_map[] = {INT32_MIN, 1};
    const std::vector<int32_t> multipliers(4096, 1);
    const std::string in = dir_ + "/conv.txt";
    const int variant = arg(s, 1);
    const auto fn = arg(s, 0) ? VRX5200BrdCtrl_Twos_Complement : VRX5200BrdCtrl_Offset_BinRep;
    const int32_t r = fn(variant == 2 ? nullptr : in.c_str(), ",", dir_.c_str(), multipliers.data(),
                         variant == 1 ? bad_map : good_map, 2, 1);
    observe(r);
    const std::string out = dir_ + "/DAC_test.bin";
    if (variant != 0) {
      refused(r, {-2});
      expect(m_.converted ? read_words(out) == m_.converted_words : !file_exists(out), "rule 2",
             "a refused conversion changed its output file");
      return;
    }
    std::vector<uint16_t> want = conv_twos_;
    if (!arg(s, 0)) {
      for (uint16_t& w : want) w = static_cast<uint16_t>(w + 0x8000);
    }
    refused(r, {100});
    expect(read_words(out) == want, "rule 1", "the converted file differs");
    m_.converted = true;
    m_.converted_words = want;
    return;
  }
  if (s.op == kLoad) {
    const std::string path = arg(s, 0) == 1 ? dir_ + "/missing/fpga.rbf" : dir_ + "/fpga.rbf";
    const int attempts = b.chain[0].attempts;
    std::fflush(stdout);
    std::fflush(stderr);
    const int out = dup(1), err = dup(2), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    const int32_t r = VRX5200BrdCtrl_Load_Firmware(arg(s, 0) == 2 ? nullptr : path.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    close(null);
    observe(r);
    if (arg(s, 0) == 2) return refused(r, {108});
    if (!sel) {
      expect(r == 101 || r == 110, "rule 2", "a load with no board returned " + std::to_string(r));
      if (r == 101) expect(!traffic_, "rule 2", "refused with traffic");
      return;
    }
    if (lenient()) return;
    int32_t want = 113;
    for (int a = 1; a <= 3 && arg(s, 0) == 0; ++a) {
      if (!b.chain[0].failing_attempts.count(attempts + a)) {
        want = 20;
        break;
      }
    }
    if (arg(s, 0) == 1) want = 111;
    if (!faulted_) expect(r == want, "rule 1", "the load returned " + std::to_string(r));
    if (r == 20) {
      const std::vector<uint8_t> bits = b.chain[0].data_bits();
      expect(b.chain[0].configured, "rule 1", "20 returned but the FPGA is not configured");
      expect(bits.size() >= firmware_bits_.size() &&
                 std::equal(firmware_bits_.begin(), firmware_bits_.end(), bits.begin()),
             "rule 1", "the FPGA received other bits than the file's");
    }
    if (faulted_) m_.unsure = true;  // the JTAG port may not have been given back
    return;
  }

  int32_t out = -7;
  uint8_t byte = 0xEE;
  const bool null = arg(s, s.op == kReadReg    ? 1
                           : s.op == kWriteReg ? 2
                           : s.op == kConfig2  ? 1
                                               : 0) == 1;
  const uint8_t addr = s.op == kReadReg    ? static_cast<uint8_t>(arg(s, 0))
                       : s.op == kWriteReg ? kWriteAddresses[arg(s, 0)]
                                           : 2;
  const uint8_t data = s.op == kWriteReg  ? kDataBytes[arg(s, 1)]
                       : s.op == kConfig2 ? kDataBytes[arg(s, 0)]
                                          : 0;
  int32_t r = 0;
  int32_t none = 0;  // the result with no board selected
  switch (s.op) {
    case kReadReg:
      r = VRX5200BrdCtrl_Read_Register(addr, null ? nullptr : &out);
      break;
    case kWriteReg:
      r = VRX5200BrdCtrl_Write_Register(addr, data, null ? nullptr : &out);
      none = 101;
      break;
    case kConfig2:
      r = VRX5200BrdCtrl_Write_Config2(data, null ? nullptr : &out);
      break;
    case kBusy:
      r = VRX5200BrdCtrl_Check_ADC_Busy(null ? nullptr : &out);
      break;
    case kDeassert:
      r = VRX5200BrdCtrl_Deassert_Capture(null ? nullptr : &out);
      none = 101;
      break;
    case kFamily:
      r = VRX5200BrdCtrl_Get_Family_ID(null ? nullptr : &byte);
      none = 103;
      break;
    default:
      r = VRX5200BrdCtrl_Get_Firmware_version(null ? nullptr : &byte);
      none = 103;
      break;
  }
  observe(r);
  if (null) return sel ? refused(r, {108}) : refused(r, {108, none});
  if (!sel) {
    refused(r, {none});
    expect(out == -7 && byte == 0xEE, "rule 2", "wrote its output with no board selected");
    return;
  }
  if (lenient()) return;
  expect_success(r, 0);
  failed(r, 0);
  if (r != 0) {
    expect(out == -7 && byte == 0xEE, "rule 2", "a failed register call wrote its output");
    return;
  }
  const bool wrote = s.op == kWriteReg || s.op == kConfig2 || s.op == kDeassert;
  if (wrote) {
    const std::pair<uint8_t, uint8_t> want(addr & 0x0F, data);
    expect(b.writes.size() > writes0_ && b.writes.back() == want, "rule 1",
           "register " + std::to_string(addr & 0x0F) + " was not written with " +
               std::to_string(data));
    const int32_t reply = s.op == kConfig2 ? b.write_reply3 : b.write_reply1;
    expect(out == reply, "rule 1", "status " + std::to_string(out));
  } else if (s.op == kFamily || s.op == kFirmware) {
    expect(byte == b.regs[s.op == kFamily ? 0x0B : 0x0E], "rule 1", "identity byte");
  } else if (addr == 2) {
    expect(out == b.busy_value || out == b.ready_value, "rule 1",
           "busy state " + std::to_string(out));
  } else {
    expect(out == b.regs[addr], "rule 1", "register value " + std::to_string(out));
  }
}

// ---- capture path: session, capture start, one-call capture ---------------------------------

inline uint8_t adc_band(const ADC_Session_Params& p) {
  double r = static_cast<double>(p.Rate_Factor) * p.Rate * 0.5;
  if (p.Half_Rate_Mode == 1 && (p.Register_1_Value & 1)) r *= 0.5;
  if (r >= 300e6 && r <= 625e6) return 0x01;
  if (r >= 150e6 && r < 300e6) return 0x11;
  if (r >= 80e6 && r < 150e6) return 0x21;
  return 0x31;
}

inline void Runner::capture(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  if (s.op == kAdcSession) {
    static const int32_t factors[] = {2, 2, 1, 2};
    static const double rates[] = {250e6, 500e6, 100e6, 100e6};
    ADC_Session_Params p{};
    p.Rate_Factor = factors[arg(s, 0)];
    p.Rate = rates[arg(s, 0)];
    const int mode = arg(s, 1);
    p.Pattern_Match = static_cast<uint8_t>(mode == 0 ? 0 : mode == 4 ? 2 : 1);
    p.Pattern_Count = mode == 0 ? 1 : mode <= 3 ? mode : 1;
    p.Step_Select = arg(s, 2) & 1;
    p.Half_Rate_Mode = (arg(s, 2) >> 1) & 1;
    p.Register_1_Value = static_cast<uint8_t>(0x02 | (arg(s, 2) & 1));
    p.Register_6_Value = 0x01;
    const int32_t r = VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(mode == 5 ? nullptr : &p);
    observe(r);
    if (!sel) return refused(r, {101});
    if (mode >= 4) return refused(r, {108});
    if (lenient()) return;
    expect_success(r, 0);
    failed(r, 0);
    m_.pm = p.Pattern_Match;
    m_.pattern_count = p.Pattern_Count;
    m_.pm_known = true;
    m_.reg1 = p.Register_1_Value;
    if (r == 0) {
      m_.kind = 1;
      expect(b.regs[3] == adc_band(p), "rule 1", "clock band " + std::to_string(b.regs[3]));
    }
    if (m_.cap_started != Tri::kNo) m_.cap_unsure = true;  // the started capture, newly set up
    return;
  }
  if (s.op == kCaptureStart) {
    const int32_t n = kCaptureLengths[arg(s, 0)];
    const int32_t sw = arg(s, 1) ? 5 : 0, sv = kStartValues[arg(s, 2)];
    const int32_t r = VRX5200BrdCtrl_Start_ADC_to_DDR(n, nullptr, sw, sv, 65536);
    observe(r);
    if (!sel) return refused(r, {101});
    if (lenient()) return;
    if (m_.kind != 1) return refused(r, {m_.kind == 2 ? 105 : 103});
    if (!valid_capture_length(n)) return refused(r, {18});
    expect_success(r, 0);
    failed(r, 0);
    if (r != 0) {
      m_.cap_started = Tri::kNo;
      return;
    }
    const int32_t t = (n + (1 << 26) - 1) / (1 << 26) - 1;
    const int32_t f = (n - t * (1 << 26) + 4095) / 4096 - 1;
    // Pattern mode may be unknown after a failed pattern-match read-back: the start value sent
    // tells it when the switch is on.
    const uint8_t start = static_cast<uint8_t>(sw == 0 || m_.pm == 1 ? 1 : sv & 0xFF);
    std::vector<std::pair<uint8_t, uint8_t>> want = {
        {8, f & 0xFF}, {9, f >> 8},  {10, t & 0xFF}, {6, 0x01}, {0, 0xFF},
        {7, 0x00},     {1, m_.reg1}, {6, 0x00},      {0, 0x00}, {2, start}};
    const bool sent = b.writes.size() >= writes0_ + want.size();
    if (!m_.pm_known && sw != 0 && sent) {
      want.back().second = b.writes.back().second;
      if (want.back().second == 1 || want.back().second == (sv & 0xFF)) {
        m_.pm = want.back().second == (sv & 0xFF) ? 0 : 1;
        m_.pm_known = true;
      }
    }
    expect(sent && std::equal(want.begin(), want.end(),
                              b.writes.end() - static_cast<std::ptrdiff_t>(want.size())),
           "rule 1", "the capture start's register writes differ");
    expect(b.captures == captures0_ + 1 && b.capture_length >= static_cast<uint64_t>(n), "rule 1",
           "the board did not start a capture of the length");
    m_.cap_started = Tri::kYes;
    m_.cap_unsure = !m_.pm_known;
    plan_capture(m_, n);
    m_.sv_flag = m_.pm ? sw : 0;
    m_.sv_value = sv & 0xFF;
    m_.stray = false;
    m_.exp_off = 0;
    return;
  }
  // The one-call capture.
  const int32_t n = kCaptureLengths[arg(s, 0)];
  const bool null = arg(s, 1) == 1;
  const int32_t r = VRX5200BrdCtrl_Read_from_ADC(n, null ? nullptr : samples_.data());
  observe(r);
  if (null) {
    if (!sel) return refused(r, {101, 108});
    if (lenient()) return;
    return refused(r, {108,
                       m_.kind == 2   ? 105
                       : m_.kind == 1 ? 108
                                      : 103,
                       m_.kind == 2 ? 104 : 108, valid_capture_length(n) ? 108 : 18});
  }
  if (!sel) return refused(r, {101});
  if (lenient()) return;
  if (m_.kind != 1) return refused(r, {m_.kind == 2 ? 105 : 103, m_.kind == 2 ? 104 : 103});
  if (!m_.pm_known) {  // a pattern session refuses with 108: that tells the mode
    if (r == 108 && !traffic_) {
      m_.pm = 1;
      m_.pm_known = true;
      return refused(r, {108});
    }
    if (!valid_capture_length(n)) return refused(r, {18, 108});
    if (traffic_) m_.pm = 0, m_.pm_known = true;
  }
  if (m_.pm_known && m_.pm == 1) {
    return valid_capture_length(n) ? refused(r, {108}) : refused(r, {108, 18});
  }
  if (!valid_capture_length(n)) return refused(r, {18});
  if (m_.cap_unsure) {
    if (r == 0)
      m_.cap_unsure = false, m_.cap_started = Tri::kYes, plan_capture(m_, n), m_.next = m_.count;
    return;
  }
  const bool never_ready = b.ready_value != 0 || b.busy_forever;
  if (never_ready && r == 102) {
    m_.cap_unsure = true;
    return;
  }
  // Its read-back reports a failed bulk read as 6, the abandoned-read 8 included.
  if (r != 0 && !failure_ok(r == 6 ? 8 : r, faulted_)) {
    fail("rule 1", "returned " + std::to_string(r) + " with no fault placed on it");
  }
  failed(r, 0);
  if (r == 0) {
    same_capture(samples_.data(), static_cast<size_t>(n), b.captures - 1, 0, "one-call capture");
    expect(b.lane_bytes_read[0] == static_cast<uint64_t>(n) &&
               b.lane_bytes_read[1] == static_cast<uint64_t>(n),
           "rule 1", "the one-call capture read other than the capture");
    m_.cap_started = Tri::kYes;
    plan_capture(m_, n);
    m_.next = m_.count;
    m_.sv_flag = 0;
    m_.stray = false;
    m_.exp_off = static_cast<uint64_t>(n);
  } else if (r == 102) {
    m_.cap_unsure = true;
  } else {
    m_.cap_started = Tri::kNo;
  }
}

// ---- the read-backs ------------------------------------------------------------------------

// Match patterns a client would pass: keys of the capture the board holds now (from the sample
// it would serve next), of the next two captures, and a key no capture can have.
inline void resolve_patterns(int choice, uint32_t k0, uint32_t k1, uint32_t k2, uint32_t* p) {
  const uint32_t table[7][3] = {
      {k0, kNever, kNever}, {kNever, k1, kNever}, {kNever, kNever, kNever}, {k1, k0, kNever},
      {k0, k0, kNever},     {kNever, kNever, k2}, {k2, kNever, k0}};
  for (int i = 0; i < 3; ++i) p[i] = table[choice][i];
}

// The first capture (0: the one the board holds, read from where it stands; t: the t-th after
// it) whose key stands among the first `count` patterns, -1 when none of the next eight does.
inline int first_match(const uint32_t* keys, const uint32_t* p, int count) {
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < count; ++i) {
      if (p[i] == keys[t]) return t;
    }
  }
  return -1;
}

inline void Runner::read_array(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  const uint32_t timeout = kTimeouts[arg(s, 0)];
  const int wimode = arg(s, 1), nulls = arg(s, 3);
  if (wi_ < 0 || wi_ > static_cast<int32_t>(kSamples) - 200704) wi_ = 0;
  const int32_t wi_in = wimode == 0   ? wi_
                        : wimode == 1 ? 0
                        : wimode == 2 ? 1000
                        : wimode == 3 ? -1
                                      : INT32_MAX - 16;
  const int64_t rem = m_.remaining();
  const uint64_t c0 = captures0_ ? captures0_ - 1 : 0, off0 = lane0_[0];
  uint32_t keys[8];
  for (int t = 0; t < 8; ++t) keys[t] = t == 0 ? key_of(c0, off0) : key_of(c0 + t, 0);
  uint32_t pats[3];
  resolve_patterns(arg(s, 2), keys[0], keys[1], keys[2], pats);

  std::vector<int32_t> codes;
  bool definite = false, maybe106 = false;
  if (nulls) codes.push_back(108), definite = true;
  if (!sel) {
    codes.push_back(101), definite = true;
  } else if (!m_.unsure) {
    if (m_.kind != 1) {
      codes.push_back(m_.kind == 2 ? 104 : 103), definite = true;
    } else if (!m_.cap_unsure) {
      if (m_.cap_started == Tri::kNo || m_.capture_finished())
        codes.push_back(106), definite = true;
      if (m_.cap_started == Tri::kMaybe) codes.push_back(106), maybe106 = true;
      if (wi_in < 0 || wi_in + rem > INT32_MAX) codes.push_back(108), definite = true;
    }
  }
  std::vector<uint16_t> snapshot;
  if (definite || maybe106) snapshot = samples_;
  int32_t stc = -7, wi = wi_in, status = -7, pt = -7, more = -7;
  const int32_t r =
      VRX5200BrdCtrl_Read_DDR_to_Array(nulls == 1 ? nullptr : samples_.data(), pats, timeout,
                                       nulls == 2 ? nullptr : &stc, &wi, &status, &pt, &more);
  observe(r);
  if (definite || (maybe106 && r == 106 && !traffic_)) {
    bool in = false;
    for (int32_t c : codes) in = in || c == r;
    expect(in && !traffic_, "rule 2", "returned " + std::to_string(r) + " (refusal expected)");
    expect(wi == wi_in && status == -7 && pt == -7 && more == -7 && (stc == -7 || stc == 0),
           "rule 2", "a refused read-back wrote its outputs");
    expect(snapshot == samples_, "rule 2", "a refused read-back wrote samples");
    if (maybe106) m_.cap_started = Tri::kNo;
    return;
  }
  if (lenient() || m_.cap_unsure || !sel) {
    learn_match();
    return;
  }
  if (m_.cap_started == Tri::kMaybe) m_.cap_started = Tri::kYes;
  const int32_t k = m_.next;
  const uint64_t r_arms = b.captures - captures0_;
  // In pattern-match mode the time-out returns the register-4 write's status, failed or not.
  const bool pattern_timeout = m_.pm == 1 && pt == 1 && r != 102;
  if (pattern_timeout && r != 0 && !failure_ok(r, faulted_)) {
    fail("rule 1", "returned " + std::to_string(r) + " with no fault");
  }
  if (r != 0 && r != 102 && !pattern_timeout) {
    // The array read-back reports a failed bulk read as 6, the abandoned-read 8 included.
    if (!failure_ok(r == 6 ? 8 : r, faulted_)) {
      fail("rule 1", "returned " + std::to_string(r) + " with no fault");
    }
    failed(r, 0);
    expect(r > 0 && r < 100, "rule 1", "an error exit returned " + std::to_string(r));
    expect(
        wi == 0 && more == 1 && pt == 0 && (stc == 0 || stc == -7), "rule 1",
        "error exit outputs: Write_Index " + std::to_string(wi) + " More " + std::to_string(more));
    m_.cap_started = Tri::kNo;
    wi_ = 0;
    if (m_.pm == 1) {
      const int j = first_match(keys, pats, m_.pattern_count);
      if (j >= 0 && r_arms >= static_cast<uint64_t>(j)) m_.pm_known = false, m_.cap_unsure = true;
    }
    return;
  }
  if (r == 102) {
    expect(dt_ > timeout, "rule 1", "busy exit before the time-out");
    expect(more == 1 && pt == 0, "rule 1", "busy exit outputs");
  }
  if (m_.pm == 0) {
    expect(r_arms == 0, "rule 1", "a plain read-back restarted the capture");
    expect(lane0_[0] == lane0_[1], "rule 1", "the data ports were not in step");
    if (!m_.stray) {
      expect(lane0_[0] == m_.exp_off, "rule 1",
             "the read-back began at sample " + std::to_string(lane0_[0]) +
                 " of the capture, not " + std::to_string(m_.exp_off));
    }
    const uint64_t c = b.captures - 1;
    if (r == 0) {
      expect(b.ready_value == 0 && !b.busy_forever, "rule 1",
             "read a block the board never readied");
      expect(stc == rem && wi == wi_in + rem && more == 0 && status == 0, "rule 1",
             "outputs: Samples_This_Call " + std::to_string(stc) + " Write_Index " +
                 std::to_string(wi) + " More " + std::to_string(more));
      same_capture(samples_.data() + wi_in, static_cast<size_t>(rem), c, lane0_[0], "array");
      m_.next = m_.count;
      m_.exp_off = lane0_[0] + static_cast<uint64_t>(rem);
    } else {
      const int64_t got = static_cast<int64_t>(wi) - wi_in;
      if (got > 0 && got % kCaptureBlock == 0 && k + got / kCaptureBlock < m_.count) {
        same_capture(samples_.data() + wi_in, static_cast<size_t>(got), c, lane0_[0], "array");
        expect(stc == 0 || stc == got, "rule 1", "busy exit Samples_This_Call");
        m_.next += static_cast<int32_t>(got / kCaptureBlock);
        m_.exp_off += static_cast<uint64_t>(got);
      } else if (k == 0) {
        expect(wi == 0, "rule 1",
               "a busy exit at the first block left Write_Index " + std::to_string(wi));
      } else {
        expect(wi == wi_in, "rule 1",
               "a busy exit part-way moved Write_Index " + std::to_string(wi_in) + " -> " +
                   std::to_string(wi));
      }
    }
    wi_ = wi;
    return;
  }
  // Pattern-match mode.
  const int j = first_match(keys, pats, m_.pattern_count);
  const bool matched = j >= 0 && r_arms == static_cast<uint64_t>(j) + 1;
  expect(j < 0 || r_arms <= static_cast<uint64_t>(j) + 1, "rule 1",
         "re-armed past a capture whose key matched (capture " + std::to_string(j) + ")");
  const uint64_t c = b.captures - 1;
  if (pattern_timeout) {
    expect(!matched && (j < 0 || r_arms < static_cast<uint64_t>(j)), "rule 1",
           "pattern time-out although capture " + std::to_string(j) + " matched");
    expect(dt_ > timeout, "rule 1", "pattern time-out before the time-out");
    expect(more == (wi_in == m_.total ? 0 : 1) && (stc == 0 || stc == -7) && wi == wi_in, "rule 1",
           "pattern time-out outputs: More " + std::to_string(more) + " Samples_This_Call " +
               std::to_string(stc) + " Write_Index " + std::to_string(wi_in) + " -> " +
               std::to_string(wi));
    m_.exp_off = (r_arms == 0 ? off0 : 0) + static_cast<uint64_t>(m_.block_size(0));
    return;
  }
  if (r == 0) {
    expect(matched, "rule 1", "returned data with no matching capture");
    expect(pt == 0 && stc == m_.total && wi == m_.total && more == 0, "rule 1",
           "outputs after the match");
    same_capture(samples_.data(), static_cast<size_t>(m_.total), c, 0, "array after the match");
    m_.pm = 0;
    m_.next = m_.count;
    m_.exp_off = static_cast<uint64_t>(m_.total);
    wi_ = wi;
    return;
  }
  if (matched) {
    m_.pm = 0;
    const int32_t blocks = wi >= 0 && wi % kCaptureBlock == 0 ? wi / kCaptureBlock : -1;
    expect(blocks >= 0 && blocks < m_.count, "rule 1", "busy exit after the match: Write_Index");
    if (blocks > 0) same_capture(samples_.data(), static_cast<size_t>(wi), c, 0, "array");
    m_.next = std::max(blocks, 0);
    m_.exp_off = static_cast<uint64_t>(wi);
  } else {
    expect(wi == 0, "rule 1",
           "a busy exit at the first block left Write_Index " + std::to_string(wi));
    m_.exp_off = r_arms == 0 ? off0 : 0;
  }
  wi_ = wi;
}

inline void Runner::read_file(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  const LaneChoice& lc = kLanes[arg(s, 0)];
  const OpsChoice& oc = kOps[arg(s, 1)];
  const uint32_t timeout = kTimeouts[arg(s, 2)];
  const int wimode = arg(s, 3), where = arg(s, 5);
  const std::vector<int32_t> lanes(lc.v, lc.v + std::max(lc.n, 1));
  const std::vector<int32_t> codes_v(oc.code, oc.code + (arg(s, 1) < kOpsValid ? oc.n : 0));
  const std::vector<int32_t> operands_v(oc.operand, oc.operand + codes_v.size());
  const bool null_ops = arg(s, 1) >= kOpsValid;
  const std::string good = dir_ + "/cap.bin";
  const std::string path = where == 3 ? dir_ + "/missing/cap.bin" : where == 4 ? "/dev/full" : good;
  const int32_t wi_in = wimode == 0   ? wf_
                        : wimode == 1 ? 0
                        : wimode == 2 ? 1000
                        : wimode == 3 ? -1
                                      : INT32_MAX - 16;
  const int64_t rem = m_.remaining();
  const uint64_t c0 = captures0_ ? captures0_ - 1 : 0, off0 = lane0_[0];
  uint32_t keys[8];
  for (int t = 0; t < 8; ++t) keys[t] = t == 0 ? key_of(c0, off0) : key_of(c0 + t, 0);
  uint32_t pats[3];
  resolve_patterns(arg(s, 4), keys[0], keys[1], keys[2], pats);

  std::vector<int32_t> codes;
  bool definite = false, maybe106 = false;
  if (where >= 5 || null_ops || !valid_lanes(std::vector<int32_t>(lc.v, lc.v + lc.n))) {
    codes.push_back(108), definite = true;
  }
  if (!sel) {
    codes.push_back(101), definite = true;
  } else if (!m_.unsure) {
    if (m_.kind == 2) {
      codes.push_back(104), codes.push_back(103), codes.push_back(106), definite = true;
    } else if (m_.kind == 1 && !m_.cap_unsure) {
      if (m_.cap_started == Tri::kNo || m_.capture_finished())
        codes.push_back(106), definite = true;
      if (m_.cap_started == Tri::kMaybe) codes.push_back(106), maybe106 = true;
      if (wi_in < 0 || wi_in + rem > INT32_MAX) codes.push_back(108), definite = true;
    }
  }
  std::vector<uint16_t> snapshot;
  if (definite || maybe106) snapshot = copy_;
  const bool known = m_.file_known;
  int32_t stc = -7, wi = wi_in, status = -7, pt = -7, more = -7;
  const int32_t r = VRX5200BrdCtrl_Read_DDR_to_File(
      where == 5 ? nullptr : path.c_str(), pats, where == 6 ? nullptr : copy_.data(), lanes.data(),
      lc.n, null_ops ? nullptr : codes_v.data(), null_ops ? nullptr : operands_v.data(),
      null_ops ? oc.n : static_cast<int32_t>(codes_v.size()), timeout, where == 7 ? nullptr : &stc,
      &wi, &status, &pt, &more);
  observe(r);
  if (definite || (maybe106 && r == 106 && !traffic_)) {
    bool in = false;
    for (int32_t c : codes) in = in || c == r;
    expect(in && !traffic_, "rule 2", "returned " + std::to_string(r) + " (refusal expected)");
    expect(wi == wi_in && status == -7 && pt == -7 && more == -7 && (stc == -7 || stc == 0),
           "rule 2", "a refused read-back wrote its outputs");
    expect(snapshot == copy_, "rule 2", "a refused read-back wrote Block_Copy");
    expect(!known || read_words(good) == m_.file, "rule 2", "a refused read-back changed the file");
    if (maybe106) m_.cap_started = Tri::kNo;
    return;
  }
  // With no session each call reads one block of 65,536 samples from where the board stands,
  // by a block plan that no capture start made: only the file is no longer known.
  if (lenient() || m_.cap_unsure || !sel || m_.kind == -1) {
    m_.file_known = false;
    learn_match();
    return;
  }
  if (m_.cap_started == Tri::kMaybe) m_.cap_started = Tri::kYes;
  const int32_t k = m_.next;
  const uint64_t r_arms = b.captures - captures0_;
  if (where == 3) {  // the file cannot be opened
    refused(r, {107});
    expect(more == 1 && pt == 0 && wi == 0 && (stc == 0 || stc == -7), "rule 1",
           "outputs after a file that cannot be opened");
    if (k > 0) m_.cap_started = Tri::kNo;  // part-way: the capture is abandoned
    return;
  }
  if (where == 4) {  // a full disk
    if (m_.pm == 0 && !faulted_) {
      expect(r == 112 || r == 102, "rule 1", "a full disk returned " + std::to_string(r));
    }
    if (r == 112 || (r != 0 && r != 102)) m_.cap_started = Tri::kNo;
    if (r == 0 || r == 102 || m_.pm == 1) m_.cap_unsure = true;
    learn_match();
    failed(r, 0);
    return;
  }
  const bool empties = k == 0 && m_.sv_flag == 0;
  if (empties) m_.file.clear(), m_.file_known = true;
  if (k == 0) m_.carry.clear();
  // In pattern-match mode the time-out returns the register-4 write's status, failed or not.
  const bool pattern_timeout = m_.pm == 1 && pt == 1 && r != 102;
  if (pattern_timeout && r != 0 && !failure_ok(r, faulted_)) {
    fail("rule 1", "returned " + std::to_string(r) + " with no fault");
  }
  if (r != 0 && r != 102 && !pattern_timeout) {
    // The array read-back reports a failed bulk read as 6, the abandoned-read 8 included.
    if (!failure_ok(r == 6 ? 8 : r, faulted_)) {
      fail("rule 1", "returned " + std::to_string(r) + " with no fault");
    }
    failed(r, 0);
    expect(r > 0 && r < 100, "rule 1", "an error exit returned " + std::to_string(r));
    expect(wi == 0 && more == 1 && pt == 0 && (stc == 0 || stc == -7), "rule 1",
           "error exit outputs: Write_Index " + std::to_string(wi) + " More " +
               std::to_string(more) + " Pattern_Timeout " + std::to_string(pt) +
               " Samples_This_Call " + std::to_string(stc));
    m_.cap_started = Tri::kNo;
    wf_ = 0;
    if (m_.pm == 1) {
      const int j = first_match(keys, pats, m_.pattern_count);
      if (j >= 0 && r_arms >= static_cast<uint64_t>(j)) m_.pm_known = false, m_.cap_unsure = true;
    }
    return;
  }
  // One plain block: read, reordered, appended.
  auto plain_block = [&](uint64_t c, uint64_t base, int32_t index, int32_t wi_before) {
    const int32_t n = m_.block_size(index);
    std::vector<uint16_t> block(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
      block[static_cast<size_t>(i)] = served(c, base + static_cast<uint64_t>(i));
    const std::vector<uint16_t> out = reorder(m_.carry, block, lanes, codes_v, operands_v);
    expect(stc == n && wi == wi_before + n, "rule 1",
           "Samples_This_Call " + std::to_string(stc) + " Write_Index " + std::to_string(wi));
    expect(std::equal(out.begin(), out.end(), copy_.begin()), "rule 1", "Block_Copy differs");
    m_.file.insert(m_.file.end(), out.begin(), out.end());
    const std::vector<uint16_t> on_disk = read_words(good);
    if (m_.file_known && on_disk != m_.file) {
      size_t at = 0;
      while (at < on_disk.size() && at < m_.file.size() && on_disk[at] == m_.file[at]) ++at;
      fail("rule 1", "the capture file differs at sample " + std::to_string(at) + " (" +
                         std::to_string(on_disk.size()) + " samples, " +
                         std::to_string(m_.file.size()) + " expected)");
    }
    m_.next = index + 1;
    expect(more == (m_.next < m_.count && wi != m_.total ? 1 : 0) && status == 0, "rule 1",
           "More " + std::to_string(more) + " Status_Out " + std::to_string(status));
    m_.exp_off = base + static_cast<uint64_t>(n);
    wf_ = wi;
  };
  if (r == 102) {
    expect(dt_ > timeout, "rule 1", "busy exit before the time-out");
    expect(more == 1 && pt == 0 && (stc == 0 || stc == -7), "rule 1", "busy exit outputs");
  }
  if (m_.pm == 0) {
    expect(r_arms == 0, "rule 1", "a plain read-back restarted the capture");
    if (m_.sv_flag != 0) {
      m_.cap_unsure = true;
      m_.file_known = false;
      return;
    }
    if (r == 102) {
      expect(
          wi == (k == 0 ? 0 : wi_in), "rule 1",
          "a busy exit at block " + std::to_string(k) + " left Write_Index " + std::to_string(wi));
      wf_ = wi;
      return;
    }
    expect(lane0_[0] == lane0_[1], "rule 1", "the data ports were not in step");
    if (!m_.stray) {
      expect(lane0_[0] == m_.exp_off, "rule 1",
             "the block began at sample " + std::to_string(lane0_[0]) + " of the capture, not " +
                 std::to_string(m_.exp_off));
    }
    plain_block(b.captures - 1, lane0_[0], k, wi_in);
    return;
  }
  // Pattern-match mode.
  const int j = first_match(keys, pats, m_.pattern_count);
  const bool matched = j >= 0 && r_arms == static_cast<uint64_t>(j) + 1;
  expect(j < 0 || r_arms <= static_cast<uint64_t>(j) + 1, "rule 1",
         "re-armed past a capture whose key matched (capture " + std::to_string(j) + ")");
  if (pattern_timeout) {
    expect(!matched && (j < 0 || r_arms < static_cast<uint64_t>(j)), "rule 1",
           "pattern time-out although capture " + std::to_string(j) + " matched");
    expect(dt_ > timeout, "rule 1", "pattern time-out before the time-out");
    expect(more == (wi_in == m_.total ? 0 : -7) && (stc == 0 || stc == -7) && wi == wi_in, "rule 1",
           "pattern time-out outputs: More " + std::to_string(more) + " Samples_This_Call " +
               std::to_string(stc) + " Write_Index " + std::to_string(wi_in) + " -> " +
               std::to_string(wi));
    m_.exp_off = (r_arms == 0 ? off0 : 0) + static_cast<uint64_t>(m_.block_size(0));
    return;
  }
  if (r == 102) {
    if (matched) {
      expect(m_.sv_flag == 0, "rule 1",
             "busy exit after a match that re-armed with the start value");
      m_.pm = 0;
    }
    expect(wi == 0, "rule 1",
           "a busy exit at the first block left Write_Index " + std::to_string(wi));
    m_.exp_off = r_arms == 0 ? off0 : 0;
    wf_ = wi;
    return;
  }
  expect(matched, "rule 1",
         "finished without a matching capture (pattern time-out " + std::to_string(pt) + ", " +
             std::to_string(r_arms) + " re-arms, first matching capture " + std::to_string(j) +
             ", Samples_This_Call " + std::to_string(stc) + ")");
  if (!matched) return;
  m_.pm = 0;
  int matches = 0;
  for (int i = 0; i < m_.pattern_count; ++i) matches += pats[i] == keys[j];
  if (m_.sv_flag != 0) {
    const bool rearmed =
        !b.writes.empty() &&
        b.writes.back() == std::make_pair<uint8_t, uint8_t>(2, static_cast<uint8_t>(m_.sv_value));
    expect(rearmed, "rule 1", "the re-arm after the match did not carry the start value");
    expect(more == 1 && (stc == 0 || stc == -7) && wi == 0 && pt == 0, "rule 1",
           "outputs after a match that re-armed with the start value");
    m_.sv_flag = 0;
    m_.exp_off = 0;
    expect(!known || read_words(good) == m_.file, "rule 1", "the match call changed the file");
    wf_ = wi;
    return;
  }
  if (matches >= 2) {
    expect(more == 1 && (stc == 0 || stc == -7) && wi == 0 && pt == 0, "rule 1",
           "outputs after two matches in one call");
    m_.exp_off = 0;
    wf_ = wi;
    return;
  }
  plain_block(b.captures - 1, 0, 0, 0);
}

// ---- pattern path ----------------------------------------------------------------------------

inline void Runner::pattern(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  // Blocks the board must now hold: words of `src` from the cursor, at the playback's addresses.
  auto check_blocks = [&](const uint16_t* src, int32_t from, int32_t to, uint32_t cursor) {
    // Each block's data goes to data port 0, then to data port 1.
    const int e0 = bench_.entry_of(m_.selected, 0), e1 = bench_.entry_of(m_.selected, 1);
    int expected = e0;
    for (const sim::Call& c : bench_.calls()) {
      if (c.name != "FT_Write" || c.args.empty() || c.args[0] <= 6) continue;
      if (c.entry != e0 && c.entry != e1) continue;
      expect(c.entry == expected, "rule 1", "a block's data went to data port 1 before port 0");
      expected = c.entry == e0 ? e1 : e0;
    }
    // A silent data port drops bytes unseen, and its command parser is left waiting for data
    // that later blocks then fill: board memory is not known again until the ports reopen.
    if (fault_ == kSilence && faulted_ && (s.role & 3) < 2) m_.dac_garbled = true;
    if (m_.dac_garbled) return;
    for (int32_t i = from; i <= to; ++i) {
      const int32_t n = m_.pattern_block(i);
      const std::vector<uint16_t> got = b.pattern(
          m_.start_addr + static_cast<uint64_t>(i - 1) * kPatternBlock, static_cast<uint64_t>(n));
      if (!std::equal(got.begin(), got.end(), src + cursor / 2)) {
        size_t at = 0;
        while (got[at] == src[cursor / 2 + at]) ++at;
        char buf[96];
        std::snprintf(buf, sizeof buf, " at word %zu: %04X, the pattern has %04X", at, got[at],
                      src[cursor / 2 + at]);
        fail("rule 1",
             "block " + std::to_string(i) + " in board memory differs from the pattern" + buf);
        return;
      }
      cursor += 2u * static_cast<uint32_t>(n);
    }
  };
  switch (s.op) {
    case kDacSession: {
      static const double rates[] = {100e6, 1e6, 150e6, 100e6};
      static const uint8_t bands[] = {0x01, 0x31, 0x01, 0x01};
      DAC_Session_Params p{};
      const int which = arg(s, 0);
      if (which < 4) {
        p.Rate = rates[which];
        p.Rate_Factor_1 = 8;
        p.Rate_Factor_2 = 1;
        p.Rate_Divisor = which == 3 ? 0 : 1;
        p.Control_Byte_1 = static_cast<uint8_t>(0x11 * arg(s, 1));
        p.Control_Byte_2 = kDataBytes[arg(s, 1)];
      }
      const int32_t r = VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(which == 4 ? nullptr : &p);
      observe(r);
      if (!sel) return refused(r, {101});
      if (which == 4) return refused(r, {108});
      if (lenient()) return;
      expect_success(r, 0);
      failed(r, 0);
      if (r == 0) expect(b.regs[3] == bands[which], "rule 1", "DAC clock band");
      m_.kind = 2;
      m_.play_started = Tri::kNo;
      m_.play_unsure = false;
      m_.pnext = 1;
      m_.cursor = 0;
      m_.cap_started = Tri::kNo;
      m_.cap_unsure = false;
      return;
    }
    case kPlaybackStart: {
      const uint32_t l = kPatternLengths[arg(s, 0)];
      const int32_t off = kStartOffsets[arg(s, 1)];
      const int32_t r = VRX5200BrdCtrl_Start_DDR_to_DAC(l, off);
      observe(r);
      if (!sel) return refused(r, {101});
      if (lenient()) return;
      if (m_.kind != 2) return refused(r, {m_.kind == 1 ? 104 : 103});
      if (!valid_pattern_length(l) || !valid_start_offset(off)) return refused(r, {4});
      expect_success(r, 0);
      failed(r, 0);
      m_.play_unsure = false;
      if (r != 0) {
        m_.play_started = Tri::kNo;
        return;
      }
      plan_playback(m_, l);
      m_.play_started = Tri::kYes;
      m_.start_addr = static_cast<uint64_t>(off) & ~31ull;
      last_plen_ = l;
      expect(b.playback_starts == starts0_ + 1 &&
                 sim::Board::word_address(b.start_word) == m_.start_addr &&
                 sim::Board::word_address(b.end_word) == end_address(l),
             "rule 1", "the board's playback addresses differ");
      return;
    }
    case kArrayUpload:
    case kWriteToDac: {
      const bool one_call = s.op == kWriteToDac;
      const int pick = one_call ? arg(s, 1) : arg(s, 0);
      const uint16_t* src = pick == 2 ? nullptr : pattern_[pick].data();
      static const uint32_t lengths[] = {0, 0, 0, 0, 32, 126944, 4099, 31};
      const uint32_t l = one_call        ? kPatternLengths[arg(s, 0)]
                         : arg(s, 1) < 4 ? last_plen_
                                         : lengths[arg(s, 1)];
      const int32_t budget = one_call ? 10000 : arg(s, 2) == 0 ? 10000 : arg(s, 2) == 1 ? -1 : 0;
      const int32_t off = one_call ? 0 : kStartOffsets[arg(s, 3)];
      const int nulls = one_call ? 0 : arg(s, 4);
      if (m_.play_started == Tri::kNo) done_ = 0;  // a client beginning an upload
      int32_t pos = -7, done = done_;
      const int32_t r = one_call ? VRX5200BrdCtrl_Write_to_DAC(l, src)
                                 : VRX5200BrdCtrl_Write_DDR_from_Array(
                                       src, off, budget, nulls == 1 ? nullptr : &pos, l,
                                       nulls == 2 ? nullptr : &done);
      observe(r);
      if (src == nullptr || nulls) {
        if (!sel) return refused(r, {101, 108});
        if (lenient()) return;
        return m_.kind == 2 ? refused(r, {108}) : refused(r, {108, 103, 104});
      }
      if (!sel) return refused(r, {101});
      if (lenient() || m_.play_unsure) {
        m_.play_unsure = true;
        return;
      }
      if (m_.kind != 2) {
        return one_call ? refused(r, {m_.kind == 1 ? 104 : 103, 103}) : refused(r, {103});
      }
      const bool restart = one_call || m_.play_started == Tri::kNo;
      if (restart && (!valid_pattern_length(l) || (!one_call && !valid_start_offset(off)))) {
        return refused(r, {4});
      }
      if (!restart && l < m_.plen) return refused(r, {108});
      expect_success(r, 0);
      failed(r, 0);
      if (restart) {
        plan_playback(m_, l);
        m_.start_addr = static_cast<uint64_t>(one_call ? 0 : off) & ~31ull;
        last_plen_ = l;
      }
      if (r != 0) {
        m_.play_started = Tri::kNo;
        expect(one_call || done == 0 || done == done_, "rule 1", "a failed upload reported done");
        return;
      }
      // Blocks sent: one with a negative budget, all when the budget did not run out, else as
      // many as Position_Out says (at least one).
      const int32_t from = m_.pnext;
      int32_t to = budget < 0 ? from : m_.pcount;
      if (!one_call && budget >= 0 && dt_ > static_cast<uint64_t>(budget)) {
        uint32_t at = m_.cursor;
        to = from - 1;
        while (to < m_.pcount && at < static_cast<uint32_t>(pos)) {
          at += 2u * static_cast<uint32_t>(m_.pattern_block(++to));
        }
        expect(to >= from && at == static_cast<uint32_t>(pos), "rule 1",
               "Position_Out " + std::to_string(pos) + " ends no block");
        if (to < from) return;
      }
      check_blocks(src, from, to, m_.cursor);
      for (int32_t i = from; i <= to; ++i)
        m_.cursor += 2u * static_cast<uint32_t>(m_.pattern_block(i));
      m_.pnext = to + 1;
      const bool complete = to == m_.pcount;
      if (!one_call) {
        expect(pos == static_cast<int32_t>(m_.cursor), "rule 1",
               "Position_Out " + std::to_string(pos));
        expect(done == (complete ? 1 : done_), "rule 1", "Done_Out " + std::to_string(done));
        done_ = done;
      }
      m_.play_started = complete ? Tri::kNo : Tri::kYes;
      return;
    }
    default: {  // the file upload
      const int which = arg(s, 0), nulls = arg(s, 1);
      const std::string path = which == 0   ? dir_ + "/pattern.bin"
                               : which == 1 ? dir_ + "/DAC_test.bin"
                               : which == 2 ? dir_ + "/short.bin"
                                            : dir_ + "/missing.bin";
      const bool exists = which == 0 || which == 2 || (which == 1 && m_.converted);
      const size_t words = which == 0   ? pattern_[0].size()
                           : which == 1 ? m_.converted_words.size()
                                        : 50;
      const uint16_t* src = which == 0   ? pattern_[0].data()
                            : which == 1 ? m_.converted_words.data()
                                         : pattern_[1].data();
      if (m_.play_started == Tri::kNo) done_ = 0;
      int32_t done = done_;
      const int32_t r = VRX5200BrdCtrl_Write_DDR_from_File(nulls == 1 ? nullptr : path.c_str(), 0,
                                                           0, nulls == 2 ? nullptr : &done);
      observe(r);
      if (nulls) {
        if (!sel) return refused(r, {101, 108});
        if (lenient()) return;
        if (m_.kind != 2) return refused(r, {108, 103});
        return refused(r, {108, exists ? 108 : 107, m_.play_started == Tri::kNo ? 106 : 108});
      }
      if (!sel) return refused(r, {101});
      if (lenient() || m_.play_unsure) {
        m_.play_unsure = true;
        return;
      }
      if (m_.kind != 2) return refused(r, {103});
      if (!exists) return refused(r, {107});
      if (m_.play_started == Tri::kNo) return refused(r, {106});
      const int32_t i = m_.pnext;
      const uint32_t n = static_cast<uint32_t>(m_.pattern_block(i));
      if (m_.cursor / 2 + n > words) {
        refused(r, {112});
        m_.play_unsure = true;  // whether the playback is still started is not settled
        return;
      }
      expect_success(r, 0);
      failed(r, 0);
      if (r != 0) {
        m_.play_started = Tri::kNo;
        // The file upload's failing last block still reports done, as the upload's text says.
        expect(done == 0 || done == done_ || (done == 1 && i == m_.pcount), "rule 1",
               "a failed block reported done");
        return;
      }
      check_blocks(src, i, i, m_.cursor);
      m_.cursor += 2 * n;
      m_.pnext = i + 1;
      const bool complete = i == m_.pcount;
      expect(done == (complete ? 1 : done_), "rule 1", "Done_Out " + std::to_string(done));
      done_ = done;
      if (complete) m_.play_started = Tri::kNo;
      return;
    }
  }
}

}  // namespace stateful
