// Runs a sequence of steps on the simulated bench against the reference model and checks every
// call: a success delivered exactly what the bench holds (samples the board served, the capture
// file, pattern words in board memory, registers); a refusal made no traffic and changed nothing;
// failures take the documented exits and the documented recovery brings correct results back;
// every call stays within the waits its arguments allow. The first failed check ends the call's
// checks as a violation, whatever the library returned. No gtest here: the fuzz target uses it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/bench.h"
#include "sim/board.h"
#include "fuzz/convert_oracle.h"
#include "tests/stateful/model.h"
#include "tests/stateful/steps.h"
#include "vrx5200_brdctrl.h"

namespace stateful {

constexpr uint64_t kExchangeMs = 40000;  // one exchange: three port reads and writes, stalled
constexpr uint64_t kBulkMs = 16000;      // one bulk read
constexpr size_t kSamples = 6 * 65536 + 4096;
constexpr uint32_t kNever = 0x7FFF7FFF;  // no sample of the synthetic signal reaches 0x7FFF
constexpr uint32_t kPollMs = 4;
constexpr int32_t kInvalidHandle = 1;  // the driver's status for a handle that is no longer valid
constexpr int32_t kIoError = 4;  // its status for an unplugged port, and the faults' status //
                                 // virtual time one queue poll costs
constexpr size_t kPatternWords = 1 << 21;  // the client's pattern arrays
constexpr size_t kFileWords = 131072;      // the pattern file's words

// The kind of a violation: its text without digits, so one kind covers every instance.
inline std::string kind_of(const std::string& violation) {
  std::string k;
  for (char c : violation) {
    if (c < '0' || c > '9') k += c;
  }
  return k;
}

// The first failed check of a call: it ends the call's checks.
struct Violation {
  std::string what;
};

class Runner {
 public:
  explicit Runner(const std::string& dir) : dir_(dir) {
    samples_.resize(kSamples);
    copy_.resize(65536 + 14);
    for (int p = 0; p < 2; ++p) {
      // Room for the sections of a sequence's uploads one after the other.
      pattern_[p].resize(kPatternWords);
      for (size_t i = 0; i < pattern_[p].size(); ++i)
        pattern_[p][i] = static_cast<uint16_t>(i * (p ? 52711u : 40503u) + p);
    }
    write_file("/pattern.bin", pattern_[0].data(), 2 * kFileWords);
    write_file("/short.bin", pattern_[1].data(), 100);
    uint8_t fw[64];
    for (size_t i = 0; i < sizeof fw; ++i) {
      fw[i] = static_cast<uint8_t>(i * 29 + 3);
      for (int k = 0; k < 8; ++k) firmware_bits_.push_back(static_cast<uint8_t>((fw[i] >> k) & 1));
    }
    write_file("/fpga.rbf", fw, sizeof fw);
    for (size_t i = 0; i < multipliers_.size(); ++i) {
      multipliers_[i] = static_cast<int32_t>(i % 7) - 3;
    }
  }

  uint64_t calls = 0;                                   // export calls made
  bool trace = false;                                   // print every step and its result
  std::map<std::string, uint64_t>* outcomes = nullptr;  // "export -> result" counts
  std::set<uint64_t>* coverage = nullptr;  // (export, fault, model state) combinations reached

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

  // Drops steps and faults while the same kind of violation still shows.
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
  std::vector<uint16_t> samples_, copy_, pattern_[2];
  std::vector<int32_t> multipliers_ = std::vector<int32_t>(4096);  // for ".vrx" inputs
  std::vector<uint8_t> firmware_bits_;
  int32_t wi_ = 0, wf_ = 0, done_ = 0;  // the client's Write_Index (array, file) and Done_Out
  uint32_t last_plen_ = 4096;           // the Length of the last playback plan
  uint64_t cursor_bound_ = 0;           // the most the library's upload cursor can hold, in bytes
  // The call under check: its fault, result, traffic and time, and the board before it.
  Fault fault_ = kNoFault;
  bool faulted_ = false, traffic_ = false;
  int32_t result_ = 0;
  // What the ports the call needs gave before it (0: they answer), which ports it needs, the
  // codes a failure of the call may be, and whether it must fail (a port it needs is gone).
  Step step_;
  uint32_t status0_[4] = {0, 0, 0, 0};
  unsigned needs_ = 0;
  std::vector<int32_t> fail_codes_;
  bool must_fail_ = false;
  uint64_t t0_ = 0, dt_ = 0, captures0_ = 0, lane0_[2] = {0, 0};
  size_t writes0_ = 0;
  int starts0_ = 0;

  void write_file(const char* name, const void* data, size_t n) {
    if (std::FILE* f = std::fopen((dir_ + name).c_str(), "wb")) {
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

  // Unless ok: a violation of rule 1 (what a call delivers), 2 (a refusal) or 0 (its time).
  // MinGW's printf checks know only the runtime's own formats; its C++ library formats as GNU.
#if defined(__MINGW32__)
  [[gnu::format(gnu_printf, 4, 5)]]
#else
  [[gnu::format(printf, 4, 5)]]
#endif
  void
  check(int rule, bool ok, const char* fmt, ...) {
    if (ok) return;
    char what[320];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    throw Violation{(rule ? "rule " + std::to_string(rule) : std::string("time")) + ": " + what};
  }
  // A refusal: one of the codes, with no traffic.
  void refused(int32_t r, std::initializer_list<int32_t> codes) {
    if (std::find(codes.begin(), codes.end(), r) == codes.end()) {
      std::string list;
      for (int32_t c : codes) {
        if (!list.empty()) list += '/';
        list += std::to_string(c);
      }
      check(2, false, "returned %d, the refusal is %s", r, list.c_str());
    }
    check(2, !traffic_, "refused with %d after USB traffic", r);
  }
  // A failure is fine when it is what the fault placed on the call or a port that is gone gives
  // (fail_codes_), or once per abandoned read (code 8; a read-back reports it as 6).
  bool failure_ok(int32_t r, bool read_back = false) {
    if (std::find(fail_codes_.begin(), fail_codes_.end(), r) != fail_codes_.end()) return true;
    if ((r == 8 || (read_back && r == 6)) && m_.stale_allow > 0) return --m_.stale_allow >= 0;
    return false;
  }
  std::string codes_text() const {
    // Piece by piece: GCC 12 at -O3 takes a concatenation of temporaries for an overlapping copy.
    std::string list;
    for (int32_t c : fail_codes_) {
      if (!list.empty()) list.push_back('/');
      list.append(std::to_string(c));
    }
    return list.empty() ? std::string("none") : list;
  }
  void expect_success(int32_t r, bool read_back = false) {
    if (r == 0) {
      check(1, !must_fail_, "succeeded although a port it needs no longer answers");
      return;
    }
    check(1, failure_ok(r, read_back), "returned %d; the faults and ports it met give %s", r,
          codes_text().c_str());
  }

  // What a call on port q of the selected board meets: 0 when its handle reaches the port, else
  // the status of every D2XX call on it (1: the handle is no longer valid, 4: the port is gone).
  uint32_t port_status(int q) const {
    if (m_.selected < 0 || m_.slot_closed[q]) return kInvalidHandle;
    const sim::Port& p = bench_.port(bench_.entry_of(m_.selected, q));
    if (!p.open || p.generation != m_.gen[q]) return kInvalidHandle;
    return p.present ? 0 : kIoError;
  }
  // The ports a call needs (bit q: port q), as the model stands before it.
  unsigned needs(const Step& s) const {
    if (m_.selected < 0) return 0;
    switch (s.op) {
      case kArrayRead:
      case kFileRead:
      case kReadFromAdc:
      case kWriteToDac:
        return 7;
      case kArrayUpload:
        return m_.play_started == Tri::kNo ? 7 : 3;
      case kFileUpload:
        return 3;
      case kLoad:
        return 8;
      case kClearBuffer:
      case kDevStatus:
        return 15;
      default:
        return (s.op >= kReadReg && s.op <= kFirmware) || s.op == kAdcSession ||
                       s.op == kCaptureStart || s.op == kDacSession || s.op == kPlaybackStart
                   ? 4
                   : 0;
    }
  }
  // The codes one D2XX transfer gives when the placed fault hits it: a write that moves fewer
  // bytes is 10, a read 8, any other call the driver's status; a port that stops answering or
  // answers late makes the waits run out (9) and leaves bytes that a later read meets (8).
  std::vector<int32_t> fault_codes() const {
    if (!faulted_) return {};
    const std::string& hit = bench_.armed_hit();
    switch (fault_) {
      case kArmStatus:
      case kArmShort:
        return {hit == "FT_Write" ? 10 : hit == "FT_Read" ? 8 : kIoError};
      case kArmMoved:
        return {kIoError};
      case kArmStall:
        return {10, 9};
      case kArmUnplug:
        return {kIoError, 10, 8};
      case kArmLate:
        return {9, 8};
      case kSilence:
      case kDelay:
        return {9};
      case kShortRead:
        return {8};
      default:
        return {19};
    }
  }
  // The codes the call may fail with: those of the fault and of the ports it needs that no longer
  // answer (a write to one moves nothing: 10; any other call gives the port's status), as the
  // export reports them (a read-back's failed bulk read as 6; the two halves of a block, or the
  // four purges, OR-ed).
  void plan_failures(const Step& s) {
    std::vector<int32_t> p = fault_codes();
    must_fail_ = false;
    for (int q = 0; q < 4; ++q) {
      if ((needs_ >> q & 1) == 0 || status0_[q] == 0) continue;
      must_fail_ = true;
      p.push_back(10);
      p.push_back(static_cast<int32_t>(status0_[q]));
    }
    fail_codes_ = p;
    switch (s.op) {
      case kArrayRead:
      case kReadFromAdc:
        fail_codes_.push_back(6);
        break;
      case kFileRead:
      case kArrayUpload:
      case kFileUpload:
      case kWriteToDac:
      case kClearBuffer:
        p.push_back(0);
        for (int32_t a : p) {
          for (int32_t b : p) fail_codes_.push_back(a | b);
        }
        break;
      case kDevStatus:
        fail_codes_ = {1};
        break;
      case kLoad:
        fail_codes_ = {110};
        if (faulted_) fail_codes_ = {20, 110, 113};
        break;
      default:
        break;
    }
  }

  std::string fresh() {
    VRX5200BrdCtrl_Close_Session();
    bench_.reset();
    bench_.set_poll_cost(kPollMs);
    for (int k = 0; k < 2; ++k) {
      sim::Board& b = bench_.board(bench_.add_board(k ? "BOARD002" : "BOARD001"));
      b.write_reply1 = k ? 0x3C : 0x5A;
      b.write_reply3 = k ? 0xC3 : 0xA5;
    }
    bench_.board(1).regs[0x0B] = 0x61;
    std::remove((dir_ + "/cap.bin").c_str());
    std::remove((dir_ + "/DAC_test.bin").c_str());
    m_ = Model{};
    wi_ = wf_ = done_ = 0;
    last_plen_ = 4096;
    cursor_bound_ = 0;
    int32_t count = 0, length = 0;
    char keys[64];
    if (VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length) != 0 || count != 2) {
      return "setup: discovery of the two boards failed";
    }
    m_.numbering = {0, 1};
    m_.discovered = 2;
    if (VRX5200BrdCtrl_Open_VRX5200_Ports(0, 2) != 0) return "setup: opening board 0 failed";
    m_.selected = 0;
    for (int q = 0; q < 4; ++q) m_.gen[q] = bench_.port(bench_.entry_of(0, q)).generation;
    return "";
  }

  int arg(const Step& s, int i) const {
    const int n = kOps[s.op].args[i].n;
    return n == 0 ? 0 : ((s.a[i] % n) + n) % n;
  }
  sim::Board& board() {
    return bench_.board(m_.selected >= 0 ? m_.selected : 0);
  }
  int entry(int port) {
    return bench_.entry_of(m_.selected >= 0 ? m_.selected : 0, port);
  }

  // The sample the board serves at position i of capture c (zero past the capture).
  uint16_t served(uint64_t c, uint64_t i) {
    sim::Board& b = board();
    return i < b.capture_length ? b.sample(c, i) : 0;
  }
  uint32_t key_of(uint64_t c, uint64_t off) {
    return static_cast<uint32_t>(served(c, off + 1)) << 16 | served(c, off + 3);
  }
  void same_capture(const uint16_t* got, size_t n, uint64_t c, uint64_t base, const char* what) {
    for (size_t i = 0; i < n; ++i) {
      check(1, got[i] == served(c, base + i), "%s: sample %zu is %u, the board served %u", what, i,
            got[i], served(c, base + i));
    }
  }

  uint64_t signature() const {
    const uint64_t sel = m_.selected >= 0, kind = static_cast<uint64_t>(m_.kind + 1);
    return sel + 2 * (kind + 3 * (static_cast<uint64_t>(m_.cap_started) +
                                  3 * (static_cast<uint64_t>(m_.play_started) +
                                       3 * (static_cast<uint64_t>(m_.dead) + 2 * m_.pm))));
  }

  uint64_t time_bound(const Step& s) const {
    const uint64_t blocks = 8 + static_cast<uint64_t>(std::max(m_.count, m_.pcount));
    if (s.op == kArrayRead || s.op == kFileRead) {
      return kTimeouts[arg(s, 2 * (s.op == kFileRead))] + blocks * (4 * kExchangeMs + 2 * kBulkMs);
    }
    if (s.op == kReadFromAdc) return 3 * kExchangeMs + 10000 + blocks * (kExchangeMs + 2 * kBulkMs);
    return kOps[s.op].seconds * 1000ull;
  }

  // After the call: did the placed fault hit, was there traffic, how long did it take.
  void observe(int32_t r) {
    result_ = r;
    const bool armed = fault_ >= kArmStatus && fault_ <= kArmLate;
    faulted_ = fault_ != kNoFault && (!armed || !bench_.armed_hit().empty());
    plan_failures(step_);
    bench_.clear_faults();
    dt_ = bench_.now() - t0_;
    traffic_ = bench_.calls_made() > 0 || !bench_.calls().empty() || dt_ > 0;
    for (int k = 0; k < 2; ++k) {
      if (m_.plugged[k] && !bench_.port(bench_.entry_of(k, 0)).present) m_.plugged[k] = false;
    }
  }
  // After a read-back the model did not follow: a match shows as a write of 0 to register 7.
  void learn_match() {
    if (m_.pm != 1) return;
    if (faulted_) {
      m_.pm_known = false;
      return;
    }
    const auto& w = board().writes;
    for (size_t i = writes0_; i < w.size(); ++i) {
      if (w[i] == std::make_pair<uint8_t, uint8_t>(7, 0)) m_.pm = 0, m_.sv_flag = 0;
    }
  }

  std::string step(const Step& s);
  void bench_action(const Step& s);
  void ports(const Step& s);
  void registers(const Step& s);
  void capture(const Step& s);
  void read_back(const Step& s);
  void pattern(const Step& s);
  void convert(const Step& s);
};

// ---- one step ----------------------------------------------------------------------------------

inline std::string Runner::step(const Step& s) {
  using A = sim::Bench::Armed;
  static constexpr A kArmed[] = {A::kStatus, A::kShort, A::kStall, A::kUnplug, A::kMoved, A::kLate};
  bench_.clear_calls();
  // Only an upload's checks and a trace read the calls; the rest count them.
  bench_.set_recording(trace || (s.op >= kArrayUpload && s.op <= kWriteToDac));
  bench_.arm(UINT64_MAX, A::kStatus);
  const int e = entry(s.role & 3);
  if (s.fault >= kArmStatus && s.fault <= kArmLate) bench_.arm(s.at, kArmed[s.fault - 1]);
  if (s.fault == kSilence) bench_.silence(e);
  if (s.fault == kDelay) bench_.delay_replies(e, (s.role & 4) ? 10500 : 50);
  if (s.fault == kShortRead) bench_.short_read(e, 1 + s.at % 4, s.at % 7);
  if (s.fault == kFailList) bench_.fail_list(true);
  if (s.fault == kFailEntry) bench_.fail_entry(s.at % 9);
  if (s.op >= kUnplug) {
    bench_action(s);
    return "";
  }
  sim::Board& b = board();
  captures0_ = b.captures;
  lane0_[0] = b.lane_bytes_read[0];
  lane0_[1] = b.lane_bytes_read[1];
  writes0_ = b.writes.size();
  starts0_ = b.playback_starts;
  step_ = s;
  needs_ = needs(s);
  for (int q = 0; q < 4; ++q) status0_[q] = port_status(q);
  t0_ = bench_.now();
  fault_ = s.fault;
  faulted_ = false;
  result_ = 0;
  const uint64_t before = signature();
  ++calls;
  std::string v;
  try {
    if (s.op <= kVersion) {
      ports(s);
    } else if (s.op <= kFirmware || s.op == kConvert || s.op == kLoad) {
      registers(s);
    } else if (s.op == kArrayRead || s.op == kFileRead) {
      read_back(s);
    } else if (s.op <= kFileRead) {
      capture(s);
    } else {
      pattern(s);
    }
    // A call a fault made fail may leave bytes of an abandoned read behind, whatever its path.
    if (faulted_ && result_ != 0 && result_ != 20) m_.stale_allow = 2;
    check(1, !must_fail_ || !traffic_ || result_ != 0,
          "succeeded although a port it needs no longer answers");
    check(0, bench_.now() - t0_ <= time_bound(s),
          "%llu ms of virtual time, more than its waits allow",
          static_cast<unsigned long long>(bench_.now() - t0_));
  } catch (const Violation& x) {
    v = std::string("[") + op_name(s.op) + "] " + x.what;
  } catch (const std::exception& x) {  // the harness met something it cannot follow
    v = std::string("[") + op_name(s.op) + "] harness: " + x.what();
  }
  if ((s.op < kCaptureStart || s.op > kFileRead) && board().captures != captures0_) {
    m_.stray = true;  // a register-2 write restarted the board's capture
  }
  m_.dead = false;
  for (int q = 0; q < 4 && m_.selected >= 0; ++q) m_.dead = m_.dead || port_status(q) != 0;
  if (coverage) {
    coverage->insert(static_cast<uint64_t>(s.op) << 32 |
                     static_cast<uint64_t>(faulted_ ? s.fault : 0) << 16 | before);
  }
  const std::string outcome = std::string(op_name(s.op)) + " -> " + std::to_string(result_) +
                              (faulted_ ? " (fault hit)" : "");
  if (outcomes) ++(*outcomes)[outcome];
  if (trace && std::getenv("VRX5200_STATEFUL_CALLS")) {
    for (const sim::Call& c : bench_.calls()) {
      if (c.name == "FT_GetQueueStatus" || c.entry != entry(0)) continue;
      std::printf("        %s e%d n=%u st=%u:", c.name.c_str(), c.entry,
                  c.args.empty() ? 0u : c.args[0], c.status);
      for (size_t i = 0; i < c.data.size() && i < 8; ++i) std::printf(" %02X", c.data[i]);
      std::printf("\n");
    }
  }
  if (trace)
    std::printf("    %-70s %s\n", describe(s).c_str(), outcome.c_str() + strlen(op_name(s.op)));
  return v;
}

inline void Runner::bench_action(const Step& s) {
  const int which = arg(s, 0);
  sim::Board& k = board();
  switch (s.op) {
    case kUnplug:
    case kReplug:
      if (s.op == kUnplug) {
        bench_.unplug(which);
      } else {
        bench_.replug(which);
      }
      m_.plugged[which] = s.op == kReplug;
      m_.dead = m_.dead || m_.selected == which;
      return;
    case kWait:
      bench_.advance(which == 0 ? 1 : which == 1 ? 600 : 11000);
      return;
    default:  // a knob of the board: busy spells, ready values, failing FPGA attempts
      if (which <= 1) k.pause_at_block(1 - which, which ? 50 : 300);
      if (which == 2) k.ready_value = 0x02, k.busy_value = 0x03;
      if (which == 3) k.ready_value = 0x00, k.busy_value = 0x01;
      if (which == 4) k.chain[0].failing_attempts = {k.chain[0].attempts + 1};
      if (which == 5) {
        const int a = k.chain[0].attempts;
        k.chain[0].failing_attempts = {a + 1, a + 2, a + 3};
      }
      if (which == 6) k.chain[0].failing_attempts.clear();
      if (which == 7) k.busy_forever = !k.busy_forever;
  }
}

// ---- discovery, ports, library state ------------------------------------------------------

inline void Runner::ports(const Step& s) {
  const int sel = m_.selected;
  int32_t r = 0;
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
      const bool null = arg(s, 0) == (s.op == kDiscover ? 1 : 3);
      if (s.op == kDiscover) {
        r = null ? VRX5200BrdCtrl_Get_VRX5200_EVM(nullptr, nullptr, nullptr)
                 : VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &out);
      } else {
        r = VRX5200BrdCtrl_InitVRX5200_EVM(null ? nullptr : wanted[arg(s, 0)], &out, &count);
      }
      observe(r);
      if (null) return refused(r, {108});
      check(1, faulted_ || r == (present.empty() ? 19 : 0), "discovery returned %d", r);
      const std::string list(keys, strnlen(keys, sizeof keys));
      if (r == 0) {
        check(1, count == static_cast<int32_t>(present.size()), "board count %d", count);
        std::string want;
        int32_t number = -7;
        for (size_t i = 0; i < present.size(); ++i) {
          want += bench_.board(present[i]).key() + ",";
          if (s.op == kInit && present[i] == arg(s, 0)) number = static_cast<int32_t>(i);
        }
        check(1, s.op == kInit || (list == want && out == 9 * count), "key list '%s' length %d",
              list.c_str(), out);
        check(1, s.op == kDiscover || out == number, "board number %d", out);
        m_.numbering = present;
      } else {
        check(1, r == 19, "a failed discovery returned %d", r);
        check(1, s.op == kInit || (keys[0] == 0 && out == 0),
              "a failed discovery left the key list");
        check(2, s.op == kDiscover || (out == -7 && count == -7),
              "a failed discovery wrote its outputs");
        m_.numbering.clear();
      }
      m_.discovered = static_cast<int>(m_.numbering.size());
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
        // The selected board's ports are closed first (a port no longer there closes all the same).
        if (bench_.is_open(bench_.entry_of(target, p)) && target != sel) free = false;
      }
      r = VRX5200BrdCtrl_Open_VRX5200_Ports(n, count);
      observe(r);
      if (refuse) {
        check(2, r == 101, "board number %d of %d gave %d", n, count, r);
        check(2, sel >= 0 || !traffic_, "a refused open made traffic");
      }
      check(1, r == 0 || refuse || !free || faulted_, "opening a free board returned %d", r);
      check(1, r == 0 || r == 2 || r == 101, "opening returned %d", r);
      // A fault on a port of a board that had no session open: on ports 0 to 2 the open fails
      // with 2, on port 3 (its set-up or its pin pulse) with 101. (An unplug fails the calls
      // after the one it hits.)
      int hit = -1;
      for (int p = 0; p < 4 && target >= 0; ++p) {
        if (bench_.entry_of(target, p) == bench_.armed_hit_entry()) hit = p;
      }
      if (faulted_ && r != 0 && free && !refuse && target != sel && hit >= 0 &&
          fault_ != kArmUnplug && fault_ <= kArmMoved) {
        check(1, r == (hit < 3 ? 2 : 101), "a fault on port %d made the open return %d", hit, r);
      }
      if (r == 0) {  // the session starts afresh; the machine, discovery and files stay
        const Machine keep = m_;
        m_ = Model{};
        static_cast<Machine&>(m_) = keep;
        m_.selected = target;
        m_.dead = false;
        for (int p = 0; p < 4; ++p) {
          check(1, bench_.is_open(bench_.entry_of(target, p)), "opened, port closed");
          m_.gen[p] = bench_.port(bench_.entry_of(target, p)).generation;
        }
      } else {
        m_.selected = -1;
        for (int p = 0; p < 4 && !faulted_ && target >= 0 && free; ++p) {
          check(2, !bench_.is_open(bench_.entry_of(target, p)), "a failed open left port %d open",
                p);
        }
      }
      return;
    }
    case kClosePorts:
    case kCloseSession: {
      // Ports 0 to 3 in order, skipping the slots the library closed before: a handle that no
      // longer reaches its port (the board replugged) fails to close (1) and ends the close; an
      // unplugged port closes all the same.
      int32_t want = 0;
      bool held[4] = {false, false, false, false};  // the port is open under the library's handle
      for (int q = 0; q < 4 && sel >= 0; ++q) {
        const uint32_t st = port_status(q);
        held[q] = !m_.slot_closed[q] && st != kInvalidHandle;
        if (want == 0 && !m_.slot_closed[q] && st == kInvalidHandle) want = kInvalidHandle;
      }
      r = s.op == kClosePorts ? VRX5200BrdCtrl_Close_VRX_Ports() : VRX5200BrdCtrl_Close_Session();
      observe(r);
      if (sel < 0) return refused(r, {s.op == kClosePorts ? 101 : 0});
      check(1, r == want || (faulted_ && bench_.armed_hit() == "FT_Close" && r == kIoError),
            "closing returned %d, not %d", r, want);
      for (int q = 0; q < 4; ++q) {
        const bool open = bench_.is_open(bench_.entry_of(sel, q));
        check(1, r != 0 || !open || !held[q], "closed, port %d open", q);
        if (held[q] && !open) m_.slot_closed[q] = true;
      }
      // A failed close leaves the board selected with the ports it did not close (Close_Session
      // leaves none selected all the same).
      if (r == 0 || s.op == kCloseSession) m_.selected = -1;
      return;
    }
    case kClearBuffer:
    case kDevStatus: {
      // Every port is purged or probed; a port that no longer answers gives its status.
      int32_t want = 0;
      for (int q = 0; q < 4 && sel >= 0; ++q) {
        want |= s.op == kClearBuffer ? static_cast<int32_t>(status0_[q]) : status0_[q] != 0;
      }
      r = s.op == kClearBuffer ? VRX5200BrdCtrl_Clear_Buffer() : VRX5200BrdCtrl_FTDI_DevStatus();
      observe(r);
      if (sel < 0) return refused(r, {101});
      const int32_t faulted = s.op == kClearBuffer ? want | kIoError : 1;
      check(1, r == want || (faulted_ && r == faulted), "returned %d, not %d", r, want);
      return;
    }
    default: {
      int32_t major = -7, minor = -7;
      r = arg(s, 0) ? VRX5200BrdCtrl_Get_DLL_Version(nullptr, nullptr)
                    : VRX5200BrdCtrl_Get_DLL_Version(&major, &minor);
      observe(r);
      if (arg(s, 0)) return refused(r, {108});
      refused(r, {0});
      check(1, major == 0 && minor == 1, "version outputs");
    }
  }
}

// ---- registers, identity, FPGA load, conversion ----------------------------------------------

inline void Runner::registers(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  if (s.op == kConvert) return convert(s);
  if (s.op == kLoad) {
    const std::string path = dir_ + (arg(s, 0) == 1 ? "/missing/fpga.rbf" : "/fpga.rbf");
    const int attempts = b.chain[0].attempts;
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(_WIN32)
    const int out = dup(1), err = dup(2), null = open("NUL", O_WRONLY);
#else
    const int out = dup(1), err = dup(2), null = open("/dev/null", O_WRONLY);
#endif
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
    if (!sel) return refused(r, {101});  // no board comes first
    if (arg(s, 0) == 2) return refused(r, {108});
    // A JTAG port that no longer answers fails the chain verification.
    int32_t want = status0_[3] != 0 ? 110 : arg(s, 0) == 1 ? 111 : 113;
    for (int a = 1; a <= 3 && arg(s, 0) == 0 && want == 113; ++a) {
      if (!b.chain[0].failing_attempts.count(attempts + a)) want = 20;
    }
    check(1, r == want || (faulted_ && failure_ok(r)), "the load returned %d, not %d", r, want);
    if (r == 20) {
      const std::vector<uint8_t> bits = b.chain[0].data_bits();
      check(1, b.chain[0].configured, "20 returned but the FPGA is not configured");
      check(1,
            bits.size() >= firmware_bits_.size() &&
                std::equal(firmware_bits_.begin(), firmware_bits_.end(), bits.begin()),
            "the FPGA received other bits than the file's");
    }
    // The JTAG port as the load leaves it: given back set up as opening the ports sets it up,
    // under a new handle (or its old one, when it could not be closed); after an early end, in
    // asynchronous bit-bang under its old handle.
    const sim::Port& jtag = bench_.port(entry(3));
    if (!faulted_ && status0_[3] == 0) {
      check(1,
            r == 20
                ? jtag.open && jtag.mode == 4 && jtag.mask == 0xFF && jtag.baud == 8000000
                : jtag.open && jtag.generation == m_.gen[3] && jtag.mode == 1 && jtag.mask == 0xFB,
            "after the load (%d) the JTAG port is in mode %u mask %02X", r, jtag.mode, jtag.mask);
    }
    if (jtag.open && jtag.generation != m_.gen[3] && status0_[3] == 0) m_.gen[3] = jtag.generation;
    if (!jtag.open && status0_[3] != kInvalidHandle) m_.slot_closed[3] = true;
    return;
  }
  // Which argument chooses a null output, and the result with no board selected.
  static constexpr int kNullArg[] = {1, 2, 1, 0, 0, 0, 0};
  static constexpr int32_t kNoBoard[] = {0, 101, 0, 0, 101, 103, 103};
  const int i = s.op - kReadReg;
  const bool null = arg(s, kNullArg[i]) == 1;
  const uint8_t addr = s.op == kReadReg    ? static_cast<uint8_t>(arg(s, 0))
                       : s.op == kWriteReg ? kWriteAddresses[arg(s, 0)]
                                           : 2;
  const uint8_t data = s.op == kWriteReg  ? kDataBytes[arg(s, 1)]
                       : s.op == kConfig2 ? kDataBytes[arg(s, 0)]
                                          : 0;
  int32_t out = -7, r = 0;
  uint8_t byte = 0xEE;
  int32_t* const o = null ? nullptr : &out;
  uint8_t* const ob = null ? nullptr : &byte;
  switch (s.op) {
    case kReadReg:
      r = VRX5200BrdCtrl_Read_Register(addr, o);
      break;
    case kWriteReg:
      r = VRX5200BrdCtrl_Write_Register(addr, data, o);
      break;
    case kConfig2:
      r = VRX5200BrdCtrl_Write_Config2(data, o);
      break;
    case kBusy:
      r = VRX5200BrdCtrl_Check_ADC_Busy(o);
      break;
    case kDeassert:
      r = VRX5200BrdCtrl_Deassert_Capture(o);
      break;
    default:
      r = s.op == kFamily ? VRX5200BrdCtrl_Get_Family_ID(ob)
                          : VRX5200BrdCtrl_Get_Firmware_version(ob);
  }
  observe(r);
  if (null) return sel ? refused(r, {108}) : refused(r, {kNoBoard[i]});  // no board comes first
  if (!sel) refused(r, {kNoBoard[i]});
  if (sel) expect_success(r);
  check(2, (sel && r == 0) || (out == -7 && byte == 0xEE),
        "wrote its output without a board or success");
  if (r != 0 || !sel) return;
  if (s.op == kWriteReg || s.op == kConfig2 || s.op == kDeassert) {
    const std::pair<uint8_t, uint8_t> want(addr & 0x0F, data);
    check(1, b.writes.size() > writes0_ && b.writes.back() == want,
          "register %d was not written with %d", want.first, data);
    check(1, out == (s.op == kConfig2 ? b.write_reply3 : b.write_reply1), "status %d", out);
  } else if (s.op == kFamily || s.op == kFirmware) {
    check(1, byte == b.regs[s.op == kFamily ? 0x0B : 0x0E], "identity byte");
  } else if (addr == 2) {
    check(1, out == b.busy_value || out == b.ready_value, "busy state %d", out);
  } else {
    check(1, out == b.regs[addr], "register value %d", out);
  }
}

// ---- capture path: session, capture start, one-call capture ---------------------------------

inline uint8_t adc_band(const ADC_Session_Params& p) {
  double r = static_cast<double>(p.Rate_Factor) * p.Rate * 0.5;
  if (p.Half_Rate_Mode == 1 && (p.Register_1_Value & 1)) r *= 0.5;
  if (r >= 300e6 && r <= 625e6) return 0x01;
  if (r >= 150e6 && r < 300e6) return 0x11;
  return r >= 80e6 && r < 150e6 ? 0x21 : 0x31;
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
    expect_success(r);
    m_.pm = p.Pattern_Match;
    m_.pattern_count = p.Pattern_Count;
    m_.pm_known = true;
    m_.reg1 = p.Register_1_Value;
    if (r == 0) m_.kind = 1;
    check(1, r != 0 || b.regs[3] == adc_band(p), "clock band %d", b.regs[3]);
    if (m_.cap_started != Tri::kNo) m_.cap_unsure = true;  // the started capture, newly set up
    return;
  }
  const int32_t n = kCaptureLengths[arg(s, 0)];
  const bool valid = valid_capture_length(n);
  if (s.op == kCaptureStart) {
    const int32_t sw = arg(s, 1) ? 5 : 0, sv = kStartValues[arg(s, 2)];
    const int32_t r = VRX5200BrdCtrl_Start_ADC_to_DDR(n, nullptr, sw, sv, 65536);
    observe(r);
    if (!sel) return refused(r, {101});
    if (m_.kind != 1) return refused(r, {m_.kind == 2 ? 105 : 103});
    if (!valid) return refused(r, {18});
    expect_success(r);
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
    check(1,
          sent && std::equal(want.begin(), want.end(),
                             b.writes.end() - static_cast<std::ptrdiff_t>(want.size())),
          "the capture start's register writes differ");
    check(1, b.captures == captures0_ + 1 && b.capture_length >= static_cast<uint64_t>(n),
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
  const bool null = arg(s, 1) == 1;
  const int32_t r = VRX5200BrdCtrl_Read_from_ADC(n, null ? nullptr : samples_.data());
  observe(r);
  const int k = m_.kind;
  if (!sel) return refused(r, {101});  // before its argument
  if (null) return refused(r, {108});
  if (k != 1) return refused(r, {k == 2 ? 105 : 103});  // the capture start's refusal
  if (!m_.pm_known) {  // a pattern session refuses with 108: that tells the mode
    if (r == 108 && !traffic_) {
      m_.pm = 1;
      m_.pm_known = true;
      return refused(r, {108});
    }
    if (!valid) return refused(r, {18, 108});
    if (traffic_) m_.pm = 0, m_.pm_known = true;
  }
  if (m_.pm_known && m_.pm == 1) return refused(r, {108});  // before the capture start's checks
  if (!valid) return refused(r, {18});
  if (m_.cap_unsure) {
    if (r == 0) {
      m_.cap_unsure = false, m_.cap_started = Tri::kYes;
      plan_capture(m_, n);
      m_.next = m_.count;
    }
    return;
  }
  if ((b.ready_value != 0 || b.busy_forever) && r == 102) {  // never ready
    m_.cap_unsure = true;
    return;
  }
  expect_success(r, true);
  if (r == 0) {
    same_capture(samples_.data(), static_cast<size_t>(n), b.captures - 1, 0, "one-call capture");
    check(1,
          b.lane_bytes_read[0] == static_cast<uint64_t>(n) &&
              b.lane_bytes_read[1] == static_cast<uint64_t>(n),
          "the one-call capture read other than the capture");
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

inline void Runner::read_back(const Step& s) {
  const bool file = s.op == kFileRead, sel = m_.selected >= 0;
  sim::Board& b = board();
  // The array read-back's arguments: time-out, Write_Index, patterns, null outputs; the file
  // read-back's: lanes, bit operations, time-out, Write_Index, patterns, where it writes.
  const int at = file ? 2 : 0, where = file ? arg(s, 5) : 0, nulls = file ? 0 : arg(s, 3);
  const uint32_t timeout = kTimeouts[arg(s, at)];
  const LaneChoice& lc = kLanes[file ? arg(s, 0) : 0];
  const OpsChoice& oc = kBitOps[file ? arg(s, 1) : 0];
  const bool null_ops = file && arg(s, 1) >= kBitOpsValid;
  const std::vector<int32_t> lanes(lc.v, lc.v + std::max(lc.n, 1));
  const std::vector<int32_t> codes_v(oc.code, oc.code + (null_ops ? 0 : oc.n));
  const std::vector<int32_t> operands_v(oc.operand, oc.operand + codes_v.size());
  const std::string good = dir_ + "/cap.bin";
  const std::string path = where == 3 ? dir_ + "/missing/cap.bin" : where == 4 ? "/dev/full" : good;
  int32_t& client_wi = file ? wf_ : wi_;
  if (!file && (wi_ < 0 || wi_ > static_cast<int32_t>(kSamples) - 200704)) wi_ = 0;
  static const int32_t kWriteIndex[] = {0, 0, 1000, -1, INT32_MAX - 16};
  const int32_t wi_in = arg(s, at + 1) == 0 ? client_wi : kWriteIndex[arg(s, at + 1)];
  const int64_t rem = m_.remaining();
  // Match patterns a client would pass: keys of the capture the board holds now (from the
  // sample it would serve next), of the next two captures, and a key no capture can have.
  const uint64_t c0 = captures0_ ? captures0_ - 1 : 0, off0 = lane0_[0];
  uint32_t keys[8], pats[3];
  for (int t = 0; t < 8; ++t) keys[t] = t == 0 ? key_of(c0, off0) : key_of(c0 + t, 0);
  static const int kPick[7][3] = {{0, 3, 3}, {3, 1, 3}, {3, 3, 3}, {1, 0, 3},
                                  {0, 0, 3}, {3, 3, 2}, {2, 3, 0}};  // 3: kNever
  for (int i = 0; i < 3; ++i) {
    const int k = kPick[arg(s, at + 2)][i];
    pats[i] = k == 3 ? kNever : keys[k];
  }

  // The refusals the model expects, as codes: definite ones, or a 106 the model cannot rule out.
  std::vector<int32_t> codes;
  bool definite = false, maybe106 = false;
  auto refuse = [&](std::initializer_list<int32_t> c) {
    codes.insert(codes.end(), c);
    definite = true;
  };
  const bool bad_args =
      file ? where >= 5 || null_ops || !valid_lanes(std::vector<int32_t>(lc.v, lc.v + lc.n))
           : nulls != 0;
  if (!sel) {
    refuse({101});  // before any argument
  } else if (bad_args) {
    refuse({108});
  } else {
    if (file && m_.kind == 2) {
      refuse({104});
    } else if (!file && m_.kind != 1) {
      refuse({m_.kind == 2 ? 104 : 103});
    } else if (m_.kind == 1 && !m_.cap_unsure) {
      // A file that cannot be opened is told first, as the file upload tells it; then a
      // Write_Index the capture would take past INT32_MAX.
      if (m_.cap_started == Tri::kNo || m_.capture_finished()) {
        refuse({file && where == 3 ? 107 : 106});
      } else if (wi_in < 0 || wi_in + rem > INT32_MAX) {
        refuse({108});
      }
      if (m_.cap_started == Tri::kMaybe) codes.push_back(106), maybe106 = true;
    }
  }
  std::vector<uint16_t>& buffer = file ? copy_ : samples_;
  std::vector<uint16_t> snapshot;
  if (definite || maybe106) snapshot = buffer;
  const bool known = m_.file_known;
  int32_t stc = -7, wi = wi_in, status = -7, pt = -7, more = -7;
  const int32_t r =
      file
          ? VRX5200BrdCtrl_Read_DDR_to_File(
                where == 5 ? nullptr : path.c_str(), pats, where == 6 ? nullptr : copy_.data(),
                lanes.data(), lc.n, null_ops ? nullptr : codes_v.data(),
                null_ops ? nullptr : operands_v.data(),
                null_ops ? oc.n : static_cast<int32_t>(codes_v.size()), timeout,
                where == 7 ? nullptr : &stc, &wi, &status, &pt, &more)
          : VRX5200BrdCtrl_Read_DDR_to_Array(nulls == 1 ? nullptr : samples_.data(), pats, timeout,
                                             nulls == 2 ? nullptr : &stc, &wi, &status, &pt, &more);
  observe(r);
  if (definite || (maybe106 && r == 106 && !traffic_)) {
    check(2, std::find(codes.begin(), codes.end(), r) != codes.end() && !traffic_,
          "returned %d (refusal expected)", r);
    // The array read-back's count of the call is 0 first of all, once its arguments are there.
    const int32_t stc_want = file || nulls == 2 || (sel && bad_args) ? -7 : 0;
    check(2, wi == wi_in && status == -7 && pt == -7 && more == -7 && stc == stc_want,
          "a refused read-back wrote its outputs (Samples_This_Call %d)", stc);
    check(2, snapshot == buffer, "a refused read-back wrote %s", file ? "Block_Copy" : "samples");
    check(2, !file || !known || read_words(good) == m_.file,
          "a refused read-back changed the file");
    if (maybe106) m_.cap_started = Tri::kNo;
    return;
  }
  // With no session each file read-back reads one block of 65,536 samples from where the board
  // stands, by a block plan that no capture start made: only the file is no longer known.
  if (m_.cap_unsure || !sel || m_.kind == -1) {
    if (file) m_.file_known = false;
    learn_match();
    return;
  }
  if (m_.cap_started == Tri::kMaybe) m_.cap_started = Tri::kYes;
  const int32_t k = m_.next;
  const uint64_t r_arms = b.captures - captures0_, c = b.captures - 1;
  if (where == 3) {  // the file cannot be opened
    refused(r, {107});
    check(1, more == 1 && pt == 0 && wi == 0 && (stc == 0 || stc == -7),
          "outputs after a file that cannot be opened");
    if (k > 0) m_.cap_started = Tri::kNo;  // part-way: the capture is abandoned
    return;
  }
  if (where == 4) {  // a full disk
    check(1, m_.pm != 0 || r == 112 || r == 102 || (r != 0 && failure_ok(r, true)),
          "a full disk returned %d", r);
    if (r != 0 && r != 102) m_.cap_started = Tri::kNo;
    if (r == 0 || r == 102 || m_.pm == 1) m_.cap_unsure = true;
    learn_match();
    return;
  }
  if (file && k == 0 && m_.sv_flag == 0) m_.file.clear(), m_.file_known = true;
  if (file && k == 0) m_.carry.clear();
  // In pattern-match mode the time-out returns the register-4 write's status, failed or not.
  const bool pattern_timeout = m_.pm == 1 && pt == 1 && r != 102;
  if (pattern_timeout) expect_success(r);
  if (r != 0 && r != 102 && !pattern_timeout) {  // an error exit
    expect_success(r, true);
    check(1, r > 0 && r < 100, "an error exit returned %d", r);
    check(1, wi == 0 && more == 1 && pt == 0 && (stc == 0 || stc == -7),
          "error exit outputs: Write_Index %d More %d Pattern_Timeout %d Samples_This_Call %d", wi,
          more, pt, stc);
    m_.cap_started = Tri::kNo;
    client_wi = 0;
    const int j = m_.pm == 1 ? first_match(keys, pats, m_.pattern_count) : -1;
    if (j >= 0 && r_arms >= static_cast<uint64_t>(j)) m_.pm_known = false, m_.cap_unsure = true;
    return;
  }
  // One plain block of the file read-back: read, reordered, appended.
  auto plain_block = [&](uint64_t base, int32_t index, int32_t wi_before) {
    const int32_t n = m_.block_size(index);
    std::vector<uint16_t> block(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) block[static_cast<size_t>(i)] = served(c, base + i);
    const std::vector<uint16_t> out = reorder(m_.carry, block, lanes, codes_v, operands_v);
    check(1, stc == n && wi == wi_before + n, "Samples_This_Call %d Write_Index %d", stc, wi);
    check(1, out.size() <= copy_.size() && std::equal(out.begin(), out.end(), copy_.begin()),
          "Block_Copy differs");
    m_.file.insert(m_.file.end(), out.begin(), out.end());
    const std::vector<uint16_t> on_disk = read_words(good);
    if (m_.file_known && on_disk != m_.file) {
      const size_t same = static_cast<size_t>(
          std::mismatch(on_disk.begin(), on_disk.begin() + std::min(on_disk.size(), m_.file.size()),
                        m_.file.begin())
              .first -
          on_disk.begin());
      check(1, false, "the capture file differs at sample %zu (%zu samples, %zu expected)", same,
            on_disk.size(), m_.file.size());
    }
    m_.next = index + 1;
    check(1, more == (m_.next < m_.count && wi != m_.total ? 1 : 0) && status == 0,
          "More %d Status_Out %d", more, status);
    m_.exp_off = base + static_cast<uint64_t>(n);
    wf_ = wi;
  };
  if (r == 102) {
    check(1, dt_ > timeout, "busy exit before the time-out");
    check(1, more == 1 && pt == 0 && (!file || stc == 0 || stc == -7), "busy exit outputs");
  }
  if (m_.pm == 0) {
    check(1, r_arms == 0, "a plain read-back restarted the capture");
    if (file && m_.sv_flag != 0) {
      m_.cap_unsure = true;
      m_.file_known = false;
      return;
    }
    if (file && r == 102) {
      check(1, wi == (k == 0 ? 0 : wi_in), "a busy exit at block %d left Write_Index %d", k, wi);
      wf_ = wi;
      return;
    }
    check(1, lane0_[0] == lane0_[1], "the data ports were not in step");
    check(1, m_.stray || lane0_[0] == m_.exp_off,
          "the read-back began at sample %llu of the capture, not %llu",
          static_cast<unsigned long long>(lane0_[0]), static_cast<unsigned long long>(m_.exp_off));
    if (file) return plain_block(lane0_[0], k, wi_in);
    if (r == 0) {
      check(1, b.ready_value == 0 && !b.busy_forever, "read a block the board never readied");
      check(1, stc == rem && wi == wi_in + rem && more == 0 && status == 0,
            "outputs: Samples_This_Call %d Write_Index %d More %d", stc, wi, more);
      same_capture(samples_.data() + wi_in, static_cast<size_t>(rem), c, lane0_[0], "array");
      m_.next = m_.count;
      m_.exp_off = lane0_[0] + static_cast<uint64_t>(rem);
    } else if (const int64_t got = static_cast<int64_t>(wi) - wi_in;
               got > 0 && got % kCaptureBlock == 0 && k + got / kCaptureBlock < m_.count) {
      same_capture(samples_.data() + wi_in, static_cast<size_t>(got), c, lane0_[0], "array");
      check(1, stc == 0 || stc == got, "busy exit Samples_This_Call");
      m_.next += static_cast<int32_t>(got / kCaptureBlock);
      m_.exp_off += static_cast<uint64_t>(got);
    } else {
      check(1, wi == (k == 0 ? 0 : wi_in), "a busy exit at block %d left Write_Index %d", k, wi);
    }
    wi_ = wi;
    return;
  }
  // Pattern-match mode.
  const int j = first_match(keys, pats, m_.pattern_count);
  const bool matched = j >= 0 && r_arms == static_cast<uint64_t>(j) + 1;
  check(1, j < 0 || r_arms <= static_cast<uint64_t>(j) + 1,
        "re-armed past a capture whose key matched (capture %d)", j);
  if (pattern_timeout) {
    check(1, !matched && (j < 0 || r_arms < static_cast<uint64_t>(j)),
          "pattern time-out although capture %d matched", j);
    check(1, dt_ > timeout, "pattern time-out before the time-out");
    check(1,
          more == (wi_in == m_.total ? 0
                   : file            ? -7
                                     : 1) &&
              (stc == 0 || stc == -7) && wi == wi_in,
          "pattern time-out outputs: More %d Samples_This_Call %d Write_Index %d -> %d", more, stc,
          wi_in, wi);
    m_.exp_off = (r_arms == 0 ? off0 : 0) + static_cast<uint64_t>(m_.block_size(0));
    return;
  }
  if (!file) {
    if (r == 0) {
      check(1, matched, "returned data with no matching capture");
      check(1, pt == 0 && stc == m_.total && wi == m_.total && more == 0,
            "outputs after the match");
      same_capture(samples_.data(), static_cast<size_t>(m_.total), c, 0, "array after the match");
      m_.pm = 0;
      m_.next = m_.count;
      m_.exp_off = static_cast<uint64_t>(m_.total);
    } else if (matched) {
      m_.pm = 0;
      const int32_t blocks = wi >= 0 && wi % kCaptureBlock == 0 ? wi / kCaptureBlock : -1;
      check(1, blocks >= 0 && blocks < m_.count, "busy exit after the match: Write_Index");
      if (blocks > 0) same_capture(samples_.data(), static_cast<size_t>(wi), c, 0, "array");
      m_.next = blocks;
      m_.exp_off = static_cast<uint64_t>(wi);
    } else {
      check(1, wi == 0, "a busy exit at the first block left Write_Index %d", wi);
      m_.exp_off = r_arms == 0 ? off0 : 0;
    }
    wi_ = wi;
    return;
  }
  if (r == 102) {
    if (matched) {
      check(1, m_.sv_flag == 0, "busy exit after a match that re-armed with the start value");
      m_.pm = 0;
    }
    check(1, wi == 0, "a busy exit at the first block left Write_Index %d", wi);
    m_.exp_off = r_arms == 0 ? off0 : 0;
    wf_ = wi;
    return;
  }
  check(1, matched,
        "finished without a matching capture (pattern time-out %d, %llu re-arms, first matching "
        "capture %d, Samples_This_Call %d)",
        pt, static_cast<unsigned long long>(r_arms), j, stc);
  m_.pm = 0;
  int matches = 0;
  for (int i = 0; i < m_.pattern_count; ++i) matches += pats[i] == keys[j];
  if (m_.sv_flag != 0 || matches >= 2) {  // the call ends at the match: the capture starts anew
    const bool rearmed = !b.writes.empty() && b.writes.back().first == 2 &&
                         b.writes.back().second == static_cast<uint8_t>(m_.sv_value);
    check(1, m_.sv_flag == 0 || rearmed,
          "the re-arm after the match did not carry the start value");
    check(1, more == 1 && (stc == 0 || stc == -7) && wi == 0 && pt == 0,
          "outputs after a match that re-armed (start value %d, %d matches)", m_.sv_flag, matches);
    check(1, m_.sv_flag == 0 || !known || read_words(good) == m_.file,
          "the match call changed the file");
    m_.sv_flag = 0;
    m_.exp_off = 0;
    wf_ = wi;
    return;
  }
  plain_block(0, 0, 0);
}

// ---- pattern path ----------------------------------------------------------------------------

inline void Runner::pattern(const Step& s) {
  const bool sel = m_.selected >= 0;
  sim::Board& b = board();
  int32_t r = 0;
  if (s.op == kDacSession) {
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
    r = VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(which == 4 ? nullptr : &p);
    observe(r);
    if (!sel) return refused(r, {101});
    if (which == 4) return refused(r, {108});
    cursor_bound_ = 0;  // the upload cursor is 0 again, whatever the exchanges returned
    expect_success(r);
    check(1, r != 0 || b.regs[3] == bands[which], "DAC clock band");
    m_.kind = 2;
    m_.play_started = m_.cap_started = Tri::kNo;
    m_.cap_unsure = false;
    m_.pnext = 1;
    m_.cursor = m_.section = 0;
    return;
  }
  if (s.op == kPlaybackStart) {
    const uint32_t l = kPatternLengths[arg(s, 0)];
    const int32_t off = kStartOffsets[arg(s, 1)];
    r = VRX5200BrdCtrl_Start_DDR_to_DAC(l, off);
    observe(r);
    if (!sel) return refused(r, {101});
    if (m_.kind != 2) return refused(r, {m_.kind == 1 ? 104 : 103});
    if (!valid_pattern_length(l) || !valid_start_offset(off)) return refused(r, {4});
    expect_success(r);
    m_.play_started = r == 0 ? Tri::kYes : Tri::kNo;
    if (r != 0) return;
    plan_playback(m_, l);
    m_.start_addr = static_cast<uint64_t>(off) & ~31ull;
    last_plen_ = l;
    check(1,
          b.playback_starts == starts0_ + 1 &&
              sim::Board::word_address(b.start_word) == m_.start_addr &&
              sim::Board::word_address(b.end_word) == end_address(l),
          "the board's playback addresses differ");
    return;
  }
  // The uploads: from an array within a time budget, the one-call upload, one block of a file.
  const bool one_call = s.op == kWriteToDac, from_file = s.op == kFileUpload;
  const int which = arg(s, one_call ? 1 : 0);
  static const char* const files[] = {"/pattern.bin", "/DAC_test.bin", "/short.bin",
                                      "/missing.bin"};
  const bool exists = which == 0 || which == 2 || (which == 1 && m_.converted);
  const size_t words = which == 0 ? kFileWords : which == 1 ? m_.converted_words.size() : 50;
  const uint16_t* src = which == 2 && !from_file  ? nullptr
                        : which == 1 && from_file ? m_.converted_words.data()
                                                  : pattern_[which == 0 ? 0 : 1].data();
  static const uint32_t lengths[] = {0, 0, 0, 0, 32, 126944, 4099, 31};
  const uint32_t l = one_call        ? kPatternLengths[arg(s, 0)]
                     : arg(s, 1) < 4 ? last_plen_
                                     : lengths[arg(s, 1)];
  const int32_t budget = one_call || from_file ? 10000
                         : arg(s, 2) == 0      ? 10000
                         : arg(s, 2) == 1      ? -1
                                               : 0;
  const int32_t off = one_call || from_file ? 0 : kStartOffsets[arg(s, 3)];
  const int nulls = one_call ? 0 : arg(s, from_file ? 1 : 4);
  if (m_.play_started == Tri::kNo) done_ = 0;  // a client beginning an upload
  // The array upload takes a section of l words from where the cursor stands: a client passes an
  // array that holds them, and configures a new session when it does not.
  if (!from_file && !one_call && cursor_bound_ / 2 + l > kPatternWords) return;
  cursor_bound_ = one_call    ? std::max<uint64_t>(cursor_bound_, 2ull * l)
                  : from_file ? cursor_bound_ + 2ull * kPatternBlock
                              : cursor_bound_ + 2ull * l;
  int32_t pos = -7, done = done_;
  const std::string path = dir_ + files[which];
  if (from_file) {
    r = VRX5200BrdCtrl_Write_DDR_from_File(nulls == 1 ? nullptr : path.c_str(), 0, 0,
                                           nulls == 2 ? nullptr : &done);
  } else if (one_call) {
    r = VRX5200BrdCtrl_Write_to_DAC(l, src);
  } else {
    r = VRX5200BrdCtrl_Write_DDR_from_Array(src, off, budget, nulls == 1 ? nullptr : &pos, l,
                                            nulls == 2 ? nullptr : &done);
  }
  observe(r);
  if ((!from_file && src == nullptr) || nulls) {
    // No board first; the uploads then want a DAC session before their arguments, the one-call
    // upload its pattern before it starts the playback.
    if (!sel) return refused(r, {101});
    if (one_call) return refused(r, {108});
    return refused(r, {m_.kind != 2 ? 103 : 108});
  }
  if (!sel) return refused(r, {101});
  if (m_.kind != 2) {
    return refused(r, {one_call && m_.kind == 1 ? 104 : 103});
  }
  int32_t from = m_.pnext, to = from;
  if (from_file) {
    if (!exists) return refused(r, {107});
    if (m_.play_started == Tri::kNo) return refused(r, {106});
    // A file shorter than the block: refused, and nothing changes (the playback stays started).
    if (m_.cursor / 2 + static_cast<uint32_t>(m_.pattern_block(from)) > words) {
      return refused(r, {112});
    }
    expect_success(r);
    if (r != 0) {  // the block is missing: the section goes out again from its first block
      m_.play_started = Tri::kNo;
      m_.cursor = m_.section;
      check(1, done == 0, "a failed block left Done_Out %d", done);
      return;
    }
  } else {
    const bool restart = one_call || m_.play_started == Tri::kNo;
    if (restart && (!valid_pattern_length(l) || !valid_start_offset(off))) return refused(r, {4});
    if (!restart && l < m_.plen) return refused(r, {108});
    expect_success(r);
    if (one_call) m_.cursor = 0;  // its pattern goes out from its first word
    if (restart) {
      plan_playback(m_, l);
      m_.start_addr = static_cast<uint64_t>(off) & ~31ull;
      last_plen_ = l;
    }
    if (r != 0) {  // the playback start or a block failed: back where the section began
      m_.play_started = Tri::kNo;
      m_.cursor = m_.section;
      check(1, one_call || done == 0 || done == done_, "a failed upload reported done");
      check(1, one_call || pos == static_cast<int32_t>(m_.section) || (restart && pos == -7),
            "a failed upload left Position_Out %d, its section began at %u", pos, m_.section);
      return;
    }
    // Blocks sent: one with a negative budget, all when the budget did not run out, else as
    // many as Position_Out says (at least one).
    from = m_.pnext;
    to = budget < 0 ? from : m_.pcount;
    if (!one_call && budget >= 0 && dt_ > static_cast<uint64_t>(budget)) {
      uint32_t end = m_.cursor;
      for (to = from - 1; to < m_.pcount && end < static_cast<uint32_t>(pos);)
        end += 2u * static_cast<uint32_t>(m_.pattern_block(++to));
      check(1, to >= from && end == static_cast<uint32_t>(pos), "Position_Out %d ends no block",
            pos);
    }
  }
  // Each block's data goes to data port 0, then to data port 1.
  const int e0 = entry(0), e1 = entry(1);
  int expected = e0;
  for (const sim::Call& c : bench_.calls()) {
    if (c.name != "FT_Write" || c.args.empty() || c.args[0] <= 6 ||
        (c.entry != e0 && c.entry != e1))
      continue;
    check(1, c.entry == expected, "a block's data went to data port 1 before port 0");
    expected = c.entry == e0 ? e1 : e0;
  }
  // A silent data port drops bytes unseen, and its command parser is left waiting for data that
  // later blocks then fill: board memory is not known again until the ports reopen.
  if (fault_ == kSilence && faulted_ && (s.role & 3) < 2) m_.dac_garbled = true;
  for (int32_t i = from; i <= to; ++i) {
    const size_t n = static_cast<size_t>(m_.pattern_block(i));
    const std::vector<uint16_t> got =
        b.pattern(m_.start_addr + static_cast<uint64_t>(i - 1) * kPatternBlock, n);
    const uint16_t* want = src + m_.cursor / 2;
    const size_t w =
        static_cast<size_t>(std::mismatch(got.begin(), got.end(), want).first - got.begin());
    check(
        1, m_.dac_garbled || w == got.size(),
        "block %d in board memory differs from the pattern at word %zu: %04X, the pattern has %04X",
        i, w, w < got.size() ? got[w] : 0u, w < got.size() ? want[w] : 0u);
    m_.cursor += 2u * static_cast<uint32_t>(n);
  }
  m_.pnext = to + 1;
  const bool complete = to == m_.pcount;
  check(1, one_call || from_file || pos == static_cast<int32_t>(m_.cursor), "Position_Out %d", pos);
  check(1, one_call || done == (complete ? 1 : done_), "Done_Out %d", done);
  if (!one_call) done_ = done;
  m_.play_started = complete ? Tri::kNo : Tri::kYes;
}

// ---- sample-file conversion ---------------------------------------------------------------

// A small sample file of the kind a step's seed picks: lines of numbers between runs of
// delimiters, now and then an empty line, a line of delimiters only, a NUL, a long line, carriage
// returns, signs and stray characters, a last line without its end; a directory now and then.
struct ConvertInput {
  std::string text, delimiters;
  std::vector<int32_t> map;
  int32_t columns = 1;
  bool vrx = false, directory = false;
};

inline ConvertInput convert_input(uint32_t seed) {
  Source g(0x5EED0000ull + seed);
  ConvertInput in;
  static const char* const kDelimiters[] = {",", ", ", ";\t", ",\n", "", "0", " ", "-"};
  in.delimiters = kDelimiters[g.below(8)];
  in.columns = g.below(20) == 0 ? 11 : static_cast<int32_t>(1 + g.below(3));
  const uint32_t kind = g.below(10);
  if (kind < 6) {  // each column once, low byte then high byte
    for (int32_t c = 1; c <= std::min(in.columns, 10); ++c) in.map.insert(in.map.end(), {-c, c});
  } else if (kind < 8) {  // high bytes first, the columns the other way round
    for (int32_t c = std::min(in.columns, 10); c >= 1; --c) in.map.insert(in.map.end(), {c, -c});
  } else {  // any map of a few picks, in the data model or not
    const uint32_t n = 1 + g.below(6);
    for (uint32_t i = 0; i < n; ++i) in.map.push_back(static_cast<int32_t>(g.below(9)) - 4);
  }
  const std::string d = in.delimiters.empty() ? std::string(" ") : in.delimiters;
  auto delimiter_run = [&] {
    std::string run;
    for (uint32_t i = 0, n = 1 + g.below(3); i < n; ++i) run += d[g.below(d.size())];
    return run;
  };
  auto number = [&] {
    static const char* const kOdd[] = {" -12x", "+7", "-", "4294967297", "\t9 ", "abc"};
    if (g.below(8) == 0) return std::string(kOdd[g.below(6)]);
    return std::to_string(static_cast<int32_t>(g.below(70001)) - 35000);
  };
  for (uint32_t line = 0, lines = g.below(15); line < lines; ++line) {
    std::string text;
    const uint32_t shape = g.below(12);
    if (shape == 8) {
      text = "";  // an empty line
    } else if (shape == 9) {
      text = delimiter_run();  // delimiters only
    } else if (shape == 10) {  // a long line: read as several
      while (text.size() < 70 + g.below(140)) text += number() + delimiter_run();
    } else {
      if (g.below(4) == 0) text += delimiter_run();  // leading delimiters
      for (uint32_t c = 0, n = 1 + g.below(4); c < n; ++c) {
        text += (c ? delimiter_run() : std::string()) + number();
      }
    }
    if (shape == 11 || g.below(12) == 0) text.insert(g.below(text.size() + 1), 1, '\0');
    in.text += text + (g.below(10) == 0 ? "\r\n" : "\n");
  }
  if (g.below(4) == 0) in.text += number();  // a last line without its end
  in.vrx = g.below(4) == 0;
  in.directory = g.below(16) == 0;
  return in;
}

inline void Runner::convert(const Step& s) {
  namespace fs = std::filesystem;
  const ConvertInput in = convert_input(static_cast<uint32_t>(arg(s, 2) * 250 + arg(s, 3)));
  const int variant = arg(s, 1);  // 0: the generated input; 1: a bad lane map; 2: no input
  const bool offset = arg(s, 0) == 0;
  const std::string path = dir_ + (in.vrx ? "/gen.vrx" : "/gen.txt"), out = dir_ + "/DAC_test.bin";
  std::error_code ec;
  fs::remove_all(path, ec);
  if (in.directory) {
    fs::create_directories(path, ec);
  } else {
    write_file(in.vrx ? "/gen.vrx" : "/gen.txt", in.text.data(), in.text.size());
  }
  static const int32_t kBadMap[] = {INT32_MIN, 1};
  const int32_t* map = variant == 1 ? kBadMap : in.map.data();
  const int32_t lanes = variant == 1 ? 2 : static_cast<int32_t>(in.map.size());
  const auto fn = offset ? VRX5200BrdCtrl_Offset_BinRep : VRX5200BrdCtrl_Twos_Complement;
  const int32_t r = fn(variant == 2 ? nullptr : path.c_str(), in.delimiters.c_str(), dir_.c_str(),
                       multipliers_.data(), map, lanes, in.columns);
  observe(r);
  check(2, !traffic_, "the conversion made USB traffic");
  convert_oracle::Expected want;
  want.result = -2;
  if (variant == 0) {
    want = convert_oracle::convert(in.text, path, in.delimiters.c_str(), multipliers_.data(), map,
                                   lanes, in.columns, offset);
    // A directory is an input that cannot be opened (after the arguments are checked).
    if (in.directory && want.result != -2) want = convert_oracle::Expected{-3, {}};
  }
  check(1, r == want.result, "the conversion returned %d, the rules give %d", r, want.result);
  std::ifstream file(out, std::ios::binary);
  const bool exists = file.good();
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  if (r >= 0) {
    check(1, exists && bytes == want.bytes, "the pattern file differs from the rules' %zu bytes",
          want.bytes.size());
    m_.converted = true;
    m_.converted_bytes = bytes;
    m_.converted_words.assign(bytes.size() / 2, 0);
    if (bytes.size() >= 2)
      std::memcpy(m_.converted_words.data(), bytes.data(), bytes.size() / 2 * 2);
  } else {
    check(2, exists == m_.converted && (!exists || bytes == m_.converted_bytes),
          "a refused conversion (%d) changed the pattern file the last one wrote", r);
  }
  for (const auto& e : fs::directory_iterator(dir_, ec)) {
    const std::string name = e.path().filename().string();
    check(1, name.rfind("DAC_test.bin.", 0) != 0, "the conversion left %s behind", name.c_str());
  }
}

}  // namespace stateful
