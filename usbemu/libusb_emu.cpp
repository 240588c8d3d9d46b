// The emulated USB bus: a libusb-1.0.so.0 that serves VRX5200 boards instead of the machine's
// USB devices, so that an unmodified libftdi1 (and anything else over libusb) drives them as it
// drives the hardware. Test use only.
//
// Every board is one high-speed device 0403:6011 (bcdDevice 0x0800) with four interfaces, each a
// channel of the bridge (usbemu/chip.h) with a bulk IN endpoint 0x81/0x83/0x85/0x87 and a bulk
// OUT endpoint 0x02/0x04/0x06/0x08 of 512 bytes. Behind the channels sits the bench's board
// model (sim::Board): channels A and B are its MPSSE data ports, C the command link, D the JTAG
// port. Strings: manufacturer "FTDI", product "VRX5200 EVM", serial number the board's key
// EMU00001, EMU00002, ...
//
// Environment (read once, at the first call):
//   VRX5200_EMULATED_BOARDS=N         boards on the bus (default 1, 0 to 64)
//   VRX5200_EMULATED_DENY_ACCESS=1    libusb_open of an emulated device fails with
//                                     LIBUSB_ERROR_ACCESS (no strings can be read either)
//   VRX5200_EMULATED_BUSY=1           libusb_open fails with LIBUSB_ERROR_BUSY
//   VRX5200_EMULATED_UNPLUG=B:K       board B (from 1) is unplugged once K bulk transfers have
//                                     been submitted to it: the next one finds it gone
//   VRX5200_EMULATED_UNPLUG=B:Tms     board B is unplugged T ms after the first libusb call
//   VRX5200_EMULATED_UNPLUG=B:Nbytes  board B is unplugged once its data ports (channels A and
//                                     B) have sent N data bytes to the host: part-way through a
//                                     capture read-back, whatever came before it
//   VRX5200_EMULATOR_STATS=1          at exit, prints to stderr the thread CPU time spent inside
//                                     the emulator's functions (callbacks excluded), the calls
//                                     and the bytes moved
//   VRX5200_EMULATED_BITBANG_MULTIPLE=M  the bit-bang clock is M times the nominal baud rate:
//                                     1, 4 (the default) or 16 (see README.md)
//   VRX5200_EMULATED_CLOCK=virtual    waits are skipped: the bus's clock jumps to the next thing
//                                     that happens instead of sleeping (single-threaded programs)
//   VRX5200_EMULATED_NO_SERIAL=1      the boards' EEPROMs hold no serial number
//
// An unplug first makes the board's calls fail with I/O errors (its transfers in flight end with
// LIBUSB_TRANSFER_ERROR) for the 20 ms a hub takes to notice; from then on every call on its
// handles returns LIBUSB_ERROR_NO_DEVICE and it leaves new device lists.
//
// The kernel's serial driver (ftdi_sio) holds every interface until it is detached; claiming an
// interface it holds, or one another program holds (VRX5200_EMULATED_BUSY), is refused with
// LIBUSB_ERROR_BUSY.
//
// Lifetime rules are enforced, not forgiven: a context, device, handle or transfer used after
// libusb_exit freed its context, a device used after its last reference went (unref to zero),
// a handle used after libusb_close, a transfer freed while in flight: each prints what went
// wrong to stderr and aborts. Contexts, devices and handles are never freed for that reason (a
// stale pointer always finds its tombstone); they are a few dozen bytes each.
//
// Time is real (unless the clock is virtual): the channels' engines run at their rates, the
// latency timer and the transfer time-outs count real time, and the board model's clock
// (sim::Bench's) is set from the bus's clock at every call. The bus moves bulk packets in
// microframes of 125 us, at most 13 packets of 512 bytes in each, shared out among the endpoints
// with transfers queued; a transfer completes at the end of the microframe of its last packet,
// and a control request takes effect at the next microframe boundary. One lock guards the whole
// bus; callbacks run without it. Transfers progress whenever a call enters the emulator or waits
// in it; completions are reported by the event handling of the transfer's context.
#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "sim/bench.h"
#include "sim/board.h"
#include "usbemu/chip.h"

#define USBEMU_API extern "C" __attribute__((visibility("default")))

namespace usbemu {

constexpr uint32_t kContextMagic = 0x55454D43;   // "UEMC"
constexpr uint32_t kDeviceMagic = 0x55454D44;    // "UEMD"
constexpr uint32_t kHandleMagic = 0x55454D48;    // "UEMH"
constexpr uint32_t kTransferMagic = 0x55454D54;  // "UEMT"
constexpr int kMaxBoards = 64;
constexpr uint8_t kBusNumber = 1;
constexpr uint16_t kVendor = 0x0403, kProduct = 0x6011, kRelease = 0x0800;
constexpr int kChannels = 4;
constexpr uint64_t kMicroframeNs = 125000;
constexpr size_t kPacketsPerMicroframe = 13;  // high-speed bulk, 512 bytes each
constexpr uint64_t kHubNoticeNs = 20000000;   // an unplug until the hub reports it
constexpr uint64_t kNever = UINT64_MAX;

struct Xfer;

struct Port {
  Port(sim::PortPeer* peer, int index, ChipSettings settings) : chip(peer, index, settings) {}
  Channel chip;
  std::deque<Xfer*> out, in;                   // bulk transfers queued, oldest first
  uint64_t data_in = 0;                        // data bytes sent to the host (status bytes apart)
  unsigned in_timeout_ms = 0;                  // the time-out of the last bulk IN transfer
  libusb_device_handle* claimed_by = nullptr;  // the handle that claimed the interface
  bool kernel_driver = true;                   // ftdi_sio holds the interface
  bool held_elsewhere = false;                 // another program has claimed it
  bool in_turn = false;                        // which direction goes first in its next turn
};

struct Board {
  int number = 0;  // from 1
  std::string key;
  std::unique_ptr<sim::Board> model;
  std::vector<std::unique_ptr<Port>> ports;
  bool present = true;           // false once the hub has noticed an unplug
  uint64_t leaving_ns = kNever;  // when it was unplugged (its calls fail with I/O errors)
  bool dying() const { return present && leaving_ns != kNever; }
  uint64_t bulk_submitted = 0;
  uint8_t address = 0;
  uint8_t path[2] = {};
};

// A bulk transfer: an asynchronous one (pub set) or the one a synchronous call waits for.
struct Xfer {
  enum State { kIdle, kQueued, kFinished };
  State state = kIdle;
  libusb_device_handle* handle = nullptr;
  libusb_context* ctx = nullptr;
  Port* port = nullptr;
  bool in = false;
  unsigned char* buffer = nullptr;
  size_t length = 0, actual = 0;
  uint64_t deadline_ns = 0;  // 0: none
  uint64_t submit_ns = 0;    // packets move from the first bus slot at or after it
  libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
  libusb_transfer* pub = nullptr;
};

}  // namespace usbemu

struct libusb_context {
  uint32_t magic = usbemu::kContextMagic;
  bool alive = true;
  bool is_default = false;
  std::vector<libusb_device*> devices;  // this context's device of each board, if any
};

struct libusb_device {
  uint32_t magic = usbemu::kDeviceMagic;
  libusb_context* ctx = nullptr;
  usbemu::Board* board = nullptr;
  int refs = 0;  // the application's references and the open handles'
};

struct libusb_device_handle {
  uint32_t magic = usbemu::kHandleMagic;
  libusb_device* dev = nullptr;
  bool open = true;
  bool auto_detach = false;
};

namespace usbemu {
namespace {

using Clock = std::chrono::steady_clock;

// ---- Errors of the application: loud ------------------------------------------------------

[[noreturn]] void misuse(const char* call, const char* what) {
  std::fprintf(stderr, "usbemu: %s: %s (an application bug; aborting)\n", call, what);
  std::fflush(stderr);
  std::abort();
}

[[noreturn]] void bad_setting(const char* name, const char* value, const char* expected) {
  std::fprintf(stderr, "usbemu: %s=\"%s\": expected %s\n", name, value, expected);
  std::fflush(stderr);
  std::abort();
}

// ---- Statistics -------------------------------------------------------------------------------

std::atomic<bool> g_stats{false};
std::atomic<uint64_t> g_cpu_ns{0}, g_calls{0}, g_bytes_out{0}, g_bytes_in{0};

uint64_t thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Thread CPU time inside one entry point, paused while a callback runs.
class Meter {
 public:
  Meter() : on_(g_stats.load(std::memory_order_relaxed)) {
    if (on_) {
      g_calls.fetch_add(1, std::memory_order_relaxed);
      start_ = thread_cpu_ns();
    }
  }
  ~Meter() { pause(); }
  Meter(const Meter&) = delete;
  Meter& operator=(const Meter&) = delete;
  void pause() {
    if (on_ && start_ != 0) g_cpu_ns.fetch_add(thread_cpu_ns() - start_);
    start_ = 0;
  }
  void resume() {
    if (on_) start_ = thread_cpu_ns();
  }

 private:
  bool on_;
  uint64_t start_ = 0;
};

void print_stats() {
  std::fprintf(stderr,
               "usbemu: %.3f ms of CPU in the emulator over %llu calls; %llu bytes OUT, %llu "
               "data bytes IN\n",
               static_cast<double>(g_cpu_ns.load()) / 1e6,
               static_cast<unsigned long long>(g_calls.load()),
               static_cast<unsigned long long>(g_bytes_out.load()),
               static_cast<unsigned long long>(g_bytes_in.load()));
}

// The emulator's own CPU so far (counted while VRX5200_EMULATOR_STATS is on): what a measurement
// of the stack above it leaves out. Not a libusb function; found with dlsym.
USBEMU_API unsigned long long libusb_emulator_cpu_ns(void) {
  return static_cast<unsigned long long>(g_cpu_ns.load());
}

// ---- The bus ----------------------------------------------------------------------------------

struct Config {
  int boards = 1;
  bool deny_access = false;
  bool busy = false;
  bool no_serial = false;
  bool virtual_clock = false;
  ChipSettings chip;
  int unplug_board = 0;  // from 1; 0: none
  uint64_t unplug_after_transfers = kNever;
  uint64_t unplug_at_ns = kNever;
  uint64_t unplug_after_data_bytes = kNever;  // sent to the host on the data ports A and B
};

bool flag(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

bool parse_number(const char* text, uint64_t& out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0) return false;
  out = v;
  return *end == '\0';
}

Config read_config() {
  Config c;
  if (const char* v = std::getenv("VRX5200_EMULATED_BOARDS")) {
    uint64_t n = 0;
    if (!parse_number(v, n) || n > kMaxBoards)
      bad_setting("VRX5200_EMULATED_BOARDS", v, "a number of boards from 0 to 64");
    c.boards = static_cast<int>(n);
  }
  c.deny_access = flag("VRX5200_EMULATED_DENY_ACCESS");
  c.busy = flag("VRX5200_EMULATED_BUSY");
  c.no_serial = flag("VRX5200_EMULATED_NO_SERIAL");
  if (const char* v = std::getenv("VRX5200_EMULATED_CLOCK"); v != nullptr && *v != '\0') {
    if (std::strcmp(v, "virtual") != 0 && std::strcmp(v, "wall") != 0)
      bad_setting("VRX5200_EMULATED_CLOCK", v, "wall or virtual");
    c.virtual_clock = std::strcmp(v, "virtual") == 0;
  }
  if (const char* v = std::getenv("VRX5200_EMULATED_BITBANG_MULTIPLE"); v != nullptr && *v) {
    uint64_t m = 0;
    if (!parse_number(v, m) || (m != 1 && m != 4 && m != 16))
      bad_setting("VRX5200_EMULATED_BITBANG_MULTIPLE", v, "1, 4 or 16");
    c.chip.bitbang_multiple = static_cast<unsigned>(m);
  }
  if (const char* v = std::getenv("VRX5200_EMULATED_UNPLUG"); v != nullptr && *v != '\0') {
    const char* colon = std::strchr(v, ':');
    std::string board(v, colon ? static_cast<size_t>(colon - v) : std::strlen(v));
    std::string when(colon ? colon + 1 : "");
    uint64_t b = 0, n = 0;
    const bool ms = when.size() > 2 && when.compare(when.size() - 2, 2, "ms") == 0;
    if (ms) when.resize(when.size() - 2);
    const bool bytes = when.size() > 5 && when.compare(when.size() - 5, 5, "bytes") == 0;
    if (bytes) when.resize(when.size() - 5);
    if (!parse_number(board.c_str(), b) || b < 1 || b > static_cast<uint64_t>(c.boards) ||
        !parse_number(when.c_str(), n)) {
      bad_setting("VRX5200_EMULATED_UNPLUG", v,
                  "BOARD:TRANSFERS, BOARD:MILLISECONDSms or BOARD:BYTESbytes, the board "
                  "numbered from 1");
    }
    c.unplug_board = static_cast<int>(b);
    if (ms) {
      c.unplug_at_ns = n * 1000000;
    } else if (bytes) {
      c.unplug_after_data_bytes = n;
    } else {
      c.unplug_after_transfers = n;
    }
  }
  return c;
}

struct Bus {
  std::mutex mu;
  std::condition_variable cv;
  Config config;
  Clock::time_point start = Clock::now();
  std::vector<std::unique_ptr<Board>> boards;
  // Never freed: see the top of the file.
  std::vector<std::unique_ptr<libusb_context>> contexts;
  std::vector<std::unique_ptr<libusb_device>> devices;
  std::vector<std::unique_ptr<libusb_device_handle>> handles;
  libusb_context* default_ctx = nullptr;
  int default_refs = 0;
  std::vector<Xfer*> finished;          // asynchronous transfers done whose callback has not run
  uint64_t frame_ns = 0;                // the start of the first microframe not yet run
  size_t turn = 0;                      // the endpoint whose turn is next in a microframe
  std::atomic<uint64_t> skipped_ns{0};  // virtual clock: the waits skipped so far

  Bus() : config(read_config()) {
    for (int b = 1; b <= config.boards; ++b) {
      auto board = std::make_unique<Board>();
      board->number = b;
      char key[16];
      std::snprintf(key, sizeof key, "EMU%05d", b);
      board->key = key;
      board->model = std::make_unique<sim::Board>(board->key);
      for (int p = 0; p < kChannels; ++p) {
        board->ports.push_back(std::make_unique<Port>(board->model->peer(p), p, config.chip));
        // Another program holds the interfaces (and the kernel's driver none), or the kernel's
        // serial driver holds them all, as on a bus where the board was just plugged in.
        board->ports.back()->held_elsewhere = config.busy;
        board->ports.back()->kernel_driver = !config.busy;
      }
      board->address = static_cast<uint8_t>(1 + b);
      // Hub port 1..5, then its downstream port 1..15: every board its own location.
      board->path[0] = static_cast<uint8_t>(1 + (b - 1) / 15);
      board->path[1] = static_cast<uint8_t>(1 + (b - 1) % 15);
      boards.push_back(std::move(board));
    }
    if (flag("VRX5200_EMULATOR_STATS")) {
      g_stats = true;
      std::atexit(print_stats);
    }
  }

  uint64_t now_ns() const {
    return static_cast<uint64_t>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) +
           skipped_ns.load();
  }
};

Bus& bus() {
  static Bus* b = new Bus;  // never destroyed: threads may still call in at exit
  return *b;
}

using Lock = std::unique_lock<std::mutex>;

// What a channel of a board (both from 1) was last set to, for the tests of a driver above: its
// bit-bang clock (Hz: the nominal rate of its baud-rate request times the bit-bang multiple), the
// nominal rate itself, and the time-out of its last bulk IN transfer (ms, 0: none); -1 for a
// channel that is not there. Not libusb functions; found with dlsym.
void progress(Bus& b, uint64_t now);

const Port* probe_port(int board, int channel) {
  const Bus& b = bus();
  if (board < 1 || static_cast<size_t>(board) > b.boards.size() || channel < 1 || channel > 4) {
    return nullptr;
  }
  return b.boards[static_cast<size_t>(board - 1)]->ports[static_cast<size_t>(channel - 1)].get();
}

USBEMU_API double libusb_emulator_bit_clock_hz(int board, int channel) {
  Lock lock(bus().mu);
  const Port* port = probe_port(board, channel);
  return port != nullptr ? port->chip.bitbang_hz() : -1.0;
}

USBEMU_API double libusb_emulator_baud_hz(int board, int channel) {
  Lock lock(bus().mu);
  const Port* port = probe_port(board, channel);
  return port != nullptr ? port->chip.baud().hz() : -1.0;
}

// The bus's clock (ns): the wall clock, plus the waits a virtual clock skipped.
USBEMU_API unsigned long long libusb_emulator_now_ns(void) {
  return bus().now_ns();
}

USBEMU_API int libusb_emulator_in_timeout_ms(int board, int channel) {
  Lock lock(bus().mu);
  const Port* port = probe_port(board, channel);
  return port != nullptr ? static_cast<int>(port->in_timeout_ms) : -1;
}

// The words board `board` (from 1) holds for playback from word `first`, n of them into out, as
// the board would play them: what an upload through the whole stack stored by now. 0, or -1 for a
// board that is not there. Found with dlsym, as the probes above.
USBEMU_API int libusb_emulator_played_words(int board, unsigned long long first,
                                            unsigned long long n, unsigned short* out) {
  Bus& b = bus();
  Lock lock(b.mu);
  if (board < 1 || static_cast<size_t>(board) > b.boards.size() || out == nullptr) return -1;
  progress(b, b.now_ns());  // what the channels have clocked out by now
  const std::vector<uint16_t> words =
      b.boards[static_cast<size_t>(board - 1)]->model->pattern(first, n);
  std::copy(words.begin(), words.end(), out);
  return 0;
}

// ---- Validation of what the application hands in ---------------------------------------------

libusb_context* live_context(Bus& b, libusb_context* ctx, const char* call) {
  if (ctx == nullptr) {
    if (b.default_ctx == nullptr || !b.default_ctx->alive)
      misuse(call, "the default context is used but libusb_init(NULL) has not created it");
    return b.default_ctx;
  }
  if (ctx->magic != kContextMagic) misuse(call, "not a libusb context");
  if (!ctx->alive) misuse(call, "the context was used after libusb_exit freed it");
  return ctx;
}

libusb_device* live_device(libusb_device* dev, const char* call) {
  if (dev == nullptr) misuse(call, "NULL device");
  if (dev->magic != kDeviceMagic) misuse(call, "not a libusb device");
  if (!dev->ctx->alive)
    misuse(call, "the device belongs to a libusb context that libusb_exit has freed");
  if (dev->refs <= 0)
    misuse(call,
           "the device was used after its last reference was dropped (libusb_unref_device or "
           "libusb_free_device_list)");
  return dev;
}

libusb_device_handle* live_handle(libusb_device_handle* h, const char* call) {
  if (h == nullptr) misuse(call, "NULL device handle");
  if (h->magic != kHandleMagic) misuse(call, "not a libusb device handle");
  if (!h->dev->ctx->alive)
    misuse(call, "the device handle belongs to a libusb context that libusb_exit has freed");
  if (!h->open) misuse(call, "the device handle was used after libusb_close");
  return h;
}

struct TransferBlock {
  uint32_t magic = kTransferMagic;
  Xfer x;
};
// The public transfer follows the block, aligned as it needs.
constexpr size_t kBlockBytes = (sizeof(TransferBlock) + alignof(libusb_transfer) - 1) /
                               alignof(libusb_transfer) * alignof(libusb_transfer);

TransferBlock* block_of(libusb_transfer* t, const char* call) {
  if (t == nullptr) misuse(call, "NULL transfer");
  auto* block = reinterpret_cast<TransferBlock*>(reinterpret_cast<unsigned char*>(t) - kBlockBytes);
  if (block->magic != kTransferMagic) misuse(call, "not a transfer from libusb_alloc_transfer");
  return block;
}

// ---- Transfers moving -------------------------------------------------------------------------

void finish(Bus& b, Xfer& x, libusb_transfer_status status) {
  x.status = status;
  x.state = Xfer::kFinished;
  if (x.pub != nullptr) b.finished.push_back(&x);
}

void remove_queued(Xfer& x) {
  std::deque<Xfer*>& q = x.in ? x.port->in : x.port->out;
  q.erase(std::remove(q.begin(), q.end(), &x), q.end());
}

// An unplug: the board's calls fail with I/O errors from `at` on, and its transfers in flight
// end with an error, until the hub notices (gone()).
void begin_unplug(Bus& b, Board& board, uint64_t at) {
  if (!board.present || board.dying()) return;
  board.leaving_ns = at;
  for (auto& port : board.ports) {
    for (std::deque<Xfer*>* q : {&port->out, &port->in}) {
      for (Xfer* x : *q) finish(b, *x, LIBUSB_TRANSFER_ERROR);
      q->clear();
    }
  }
  b.cv.notify_all();
}

// The hub has noticed: the board is gone from the bus.
void gone(Bus& b, Board& board) {
  if (!board.present) return;
  board.present = false;
  for (auto& port : board.ports) {
    for (std::deque<Xfer*>* q : {&port->out, &port->in}) {
      for (Xfer* x : *q) finish(b, *x, LIBUSB_TRANSFER_NO_DEVICE);
      q->clear();
    }
    port->claimed_by = nullptr;
  }
  b.cv.notify_all();
}

void expire(Bus& b, Port& port, uint64_t now) {
  for (std::deque<Xfer*>* q : {&port.out, &port.in}) {
    for (auto it = q->begin(); it != q->end();) {
      Xfer& x = **it;
      if (x.deadline_ns != 0 && now >= x.deadline_ns) {
        it = q->erase(it);
        finish(b, x, LIBUSB_TRANSFER_TIMED_OUT);
      } else {
        ++it;
      }
    }
  }
}

// One packet of a port's transfers in the bus slot at `at`: OUT into the chip or IN out of it,
// the two directions taking turns. Returns whether one moved.
bool move_packet(Bus& b, Board& board, Port& port, uint64_t at) {
  for (int turn = 0; turn < 2; ++turn) {
    const bool in = port.in_turn != (turn == 1);
    std::deque<Xfer*>& q = in ? port.in : port.out;
    if (q.empty() || q.front()->submit_ns > at) continue;
    Xfer& x = *q.front();
    if (!in) {
      const size_t n = port.chip.take_out(x.buffer + x.actual, x.length - x.actual, at, 1);
      if (n == 0) continue;
      x.actual += n;
      g_bytes_out.fetch_add(n, std::memory_order_relaxed);
      if (x.actual == x.length) {
        q.pop_front();
        finish(b, x, LIBUSB_TRANSFER_COMPLETED);
      }
    } else {
      const Channel::InPackets r =
          port.chip.give_in(x.buffer + x.actual, x.length - x.actual, at, 1);
      if (r.packets == 0) continue;
      const size_t data = r.bytes - std::min(r.bytes, kStatusBytes);
      g_bytes_in.fetch_add(data, std::memory_order_relaxed);
      port.data_in += data;
      x.actual += r.bytes;
      if (r.overflow || r.ended || x.actual == x.length) {
        q.pop_front();
        finish(b, x, r.overflow ? LIBUSB_TRANSFER_OVERFLOW : LIBUSB_TRANSFER_COMPLETED);
      }
      if (b.config.unplug_board == board.number &&
          board.ports[0]->data_in + board.ports[1]->data_in >= b.config.unplug_after_data_bytes) {
        begin_unplug(b, board, at);
      }
    }
    port.in_turn = !in;
    return true;
  }
  return false;
}

bool in_flight(const Bus& b) {
  for (const auto& board : b.boards) {
    if (!board->present) continue;
    for (const auto& port : board->ports) {
      if (!port->out.empty() || !port->in.empty()) return true;
    }
  }
  return false;
}

// One microframe from `start`: its slots, one packet each, go round the endpoints with
// transfers queued. Transfers done in it complete at its end.
void run_frame(Bus& b, uint64_t start) {
  std::vector<std::pair<Board*, Port*>> active;
  for (auto& board : b.boards) {
    if (!board->present || board->dying()) continue;
    for (auto& port : board->ports) {
      expire(b, *port, start);
      if (!port->out.empty() || !port->in.empty()) active.emplace_back(board.get(), port.get());
    }
  }
  if (active.empty()) return;
  for (size_t slot = 0; slot < kPacketsPerMicroframe; ++slot) {
    const uint64_t at = start + slot * kMicroframeNs / kPacketsPerMicroframe;
    for (size_t k = 0; k < active.size(); ++k) {
      const size_t i = (b.turn + k) % active.size();
      if (active[i].first->dying()) continue;
      if (move_packet(b, *active[i].first, *active[i].second, at)) {
        b.turn = i + 1;
        break;
      }
    }
  }
  b.cv.notify_all();
}

// Everything the bus does by `now`: an unplug and its notice, the microframes gone by, the
// engines, the time-outs.
void progress(Bus& b, uint64_t now) {
  sim::Bench::get().set_now(now / 1000000);
  if (b.config.unplug_board > 0 && now >= b.config.unplug_at_ns)
    begin_unplug(b, *b.boards[static_cast<size_t>(b.config.unplug_board - 1)],
                 b.config.unplug_at_ns);
  for (auto& board : b.boards) {
    if (board->dying() && now >= board->leaving_ns + kHubNoticeNs) gone(b, *board);
  }
  while (b.frame_ns + kMicroframeNs <= now) {
    if (!in_flight(b)) {
      b.frame_ns = now - now % kMicroframeNs;
      break;
    }
    run_frame(b, b.frame_ns);
    b.frame_ns += kMicroframeNs;
  }
  for (auto& board : b.boards) {
    if (!board->present || board->dying()) continue;
    for (auto& port : board->ports) {
      port->chip.advance(now);
      expire(b, *port, now);
    }
  }
  b.cv.notify_all();
}

// The next time something happens by itself: the end of the microframe under way while
// transfers are queued, a time-out, an unplug or its notice.
uint64_t next_event(Bus& b, uint64_t now, uint64_t limit) {
  uint64_t next = limit;
  if (b.config.unplug_board > 0 &&
      b.boards[static_cast<size_t>(b.config.unplug_board - 1)]->leaving_ns == kNever)
    next = std::min(next, b.config.unplug_at_ns);
  if (in_flight(b)) next = std::min(next, b.frame_ns + kMicroframeNs);
  for (auto& board : b.boards) {
    if (board->dying()) next = std::min(next, board->leaving_ns + kHubNoticeNs);
    if (!board->present) continue;
    for (auto& port : board->ports) {
      for (std::deque<Xfer*>* q : {&port->out, &port->in}) {
        for (Xfer* x : *q) {
          if (x->deadline_ns != 0) next = std::min(next, x->deadline_ns);
        }
      }
    }
  }
  return std::max(next, now + 1000);
}

// Waits until the bus's clock reaches `when` (ns) or another thread wakes us. A virtual clock
// skips the wait.
void wait_until(Bus& b, Lock& lock, uint64_t when) {
  if (b.config.virtual_clock) {
    const uint64_t now = b.now_ns();
    if (when > now) b.skipped_ns.fetch_add(when - now);
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
    return;
  }
  const uint64_t skipped = b.skipped_ns.load();
  b.cv.wait_until(lock, b.start + std::chrono::nanoseconds(when - std::min(when, skipped)));
}

// A control request waits for the next microframe boundary: the bus's clock then.
uint64_t control_slot(Bus& b, Lock& lock) {
  uint64_t now = b.now_ns();
  const uint64_t boundary = now - now % kMicroframeNs + kMicroframeNs;
  while (now < boundary) {
    wait_until(b, lock, boundary);
    now = b.now_ns();
  }
  return now;
}

// Runs the callbacks of the finished asynchronous transfers of `ctx`. Returns how many ran.
size_t run_callbacks(Bus& b, Lock& lock, Meter& meter, libusb_context* ctx) {
  std::vector<Xfer*> ready;
  for (auto it = b.finished.begin(); it != b.finished.end();) {
    if ((*it)->ctx == ctx) {
      ready.push_back(*it);
      it = b.finished.erase(it);
    } else {
      ++it;
    }
  }
  for (Xfer* x : ready) {
    x->state = Xfer::kIdle;
    libusb_transfer* t = x->pub;
    t->status = x->status;
    t->actual_length = static_cast<int>(x->actual);
    if (t->status == LIBUSB_TRANSFER_COMPLETED && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
        x->actual < x->length) {
      t->status = LIBUSB_TRANSFER_ERROR;
    }
    lock.unlock();
    meter.pause();
    if (t->callback != nullptr) t->callback(t);
    meter.resume();
    if (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER) libusb_free_transfer(t);
    lock.lock();
  }
  return ready.size();
}

bool endpoint_port(Board& board, unsigned char endpoint, Port*& port, bool& in, int& iface) {
  const int number = endpoint & 0x0F;
  in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
  // IN endpoints 1, 3, 5, 7; OUT endpoints 2, 4, 6, 8.
  if ((endpoint & 0x70) != 0 || number < 1 || number > 8 || ((number & 1) != 0) != in) return false;
  iface = (number - 1) / 2;
  port = board.ports[static_cast<size_t>(iface)].get();
  return true;
}

// The interface of a bulk transfer must be claimed by its handle; the kernel claims an
// unclaimed one for it, and refuses one another handle, another program or a kernel driver
// holds.
int check_claim(Port& port, libusb_device_handle* h) {
  if (port.held_elsewhere || (port.claimed_by == nullptr && port.kernel_driver))
    return LIBUSB_ERROR_BUSY;
  if (port.claimed_by == nullptr) port.claimed_by = h;
  return port.claimed_by == h ? 0 : LIBUSB_ERROR_BUSY;
}

// A bulk transfer enters its port's queue. Returns 0 or a libusb error.
int enqueue(Bus& b, Xfer& x, libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
            int length, unsigned int timeout, uint64_t now) {
  Board& board = *h->dev->board;
  if (length < 0) return LIBUSB_ERROR_INVALID_PARAM;
  Port* port = nullptr;
  bool in = false;
  int iface = 0;
  if (!endpoint_port(board, endpoint, port, in, iface)) return LIBUSB_ERROR_NOT_FOUND;
  if (board.present && b.config.unplug_board == board.number &&
      board.bulk_submitted >= b.config.unplug_after_transfers) {
    begin_unplug(b, board, now);
  }
  ++board.bulk_submitted;
  if (!board.present) return LIBUSB_ERROR_NO_DEVICE;
  if (board.dying()) return LIBUSB_ERROR_IO;
  if (const int r = check_claim(*port, h); r != 0) return r;
  x.state = Xfer::kQueued;
  x.handle = h;
  x.ctx = h->dev->ctx;
  x.port = port;
  x.in = in;
  x.buffer = data;
  x.length = static_cast<size_t>(length);
  x.actual = 0;
  x.deadline_ns = timeout != 0 ? now + static_cast<uint64_t>(timeout) * 1000000 : 0;
  x.submit_ns = now;
  if (in) port->in_timeout_ms = timeout;
  x.status = LIBUSB_TRANSFER_COMPLETED;
  (in ? port->in : port->out).push_back(&x);
  if (x.length == 0 && !in) {  // a zero-length packet
    port->out.pop_back();
    finish(b, x, LIBUSB_TRANSFER_COMPLETED);
  }
  return 0;
}

// Drops the transfers of a handle still queued (closed, or its context freed): they never end.
void drop_transfers(Bus& b, libusb_device_handle* h) {
  Board& board = *h->dev->board;
  for (auto& port : board.ports) {
    for (std::deque<Xfer*>* q : {&port->out, &port->in}) {
      for (auto it = q->begin(); it != q->end();) {
        if ((*it)->handle == h) {
          (*it)->state = Xfer::kFinished;
          (*it)->status = LIBUSB_TRANSFER_CANCELLED;
          it = q->erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  std::erase_if(b.finished, [h](Xfer* x) { return x->handle == h; });
}

// ---- Descriptors ------------------------------------------------------------------------------

const char* string_of(const Board& board, uint8_t index) {
  switch (index) {
    case 1:
      return "FTDI";
    case 2:
      return "VRX5200 EVM";
    case 3:  // none when the EEPROM holds no serial number
      return bus().config.no_serial ? nullptr : board.key.c_str();
    default:
      return nullptr;
  }
}

void fill_device_descriptor(libusb_device_descriptor& d) {
  d = libusb_device_descriptor{};
  d.bLength = LIBUSB_DT_DEVICE_SIZE;
  d.bDescriptorType = LIBUSB_DT_DEVICE;
  d.bcdUSB = 0x0200;
  d.bMaxPacketSize0 = 64;
  d.idVendor = kVendor;
  d.idProduct = kProduct;
  d.bcdDevice = kRelease;
  d.iManufacturer = 1;
  d.iProduct = 2;
  d.iSerialNumber = bus().config.no_serial ? 0 : 3;
  d.bNumConfigurations = 1;
}

constexpr uint16_t kConfigTotal =
    LIBUSB_DT_CONFIG_SIZE + kChannels * (LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE);

struct ConfigBlock {
  libusb_config_descriptor config;  // first: the block is freed through its address
  libusb_interface interfaces[kChannels];
  libusb_interface_descriptor altsettings[kChannels];
  libusb_endpoint_descriptor endpoints[kChannels][2];
};

libusb_config_descriptor* make_config() {
  auto* block = new ConfigBlock{};
  libusb_config_descriptor& c = block->config;
  c.bLength = LIBUSB_DT_CONFIG_SIZE;
  c.bDescriptorType = LIBUSB_DT_CONFIG;
  c.wTotalLength = kConfigTotal;
  c.bNumInterfaces = kChannels;
  c.bConfigurationValue = 1;
  c.bmAttributes = 0x80;  // bus powered
  c.MaxPower = 50;        // 100 mA
  c.interface = block->interfaces;
  for (int i = 0; i < kChannels; ++i) {
    libusb_interface_descriptor& a = block->altsettings[i];
    a.bLength = LIBUSB_DT_INTERFACE_SIZE;
    a.bDescriptorType = LIBUSB_DT_INTERFACE;
    a.bInterfaceNumber = static_cast<uint8_t>(i);
    a.bNumEndpoints = 2;
    a.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    a.bInterfaceSubClass = 0xFF;
    a.bInterfaceProtocol = 0xFF;
    a.iInterface = 2;
    a.endpoint = block->endpoints[i];
    for (int e = 0; e < 2; ++e) {
      libusb_endpoint_descriptor& ep = block->endpoints[i][e];
      ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
      ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
      ep.bEndpointAddress = static_cast<uint8_t>(e == 0 ? 0x81 + 2 * i : 0x02 + 2 * i);
      ep.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
      ep.wMaxPacketSize = kPacketBytes;
    }
    block->interfaces[i].altsetting = &block->altsettings[i];
    block->interfaces[i].num_altsetting = 1;
  }
  return &c;
}

// The raw bytes of a descriptor, as GET_DESCRIPTOR returns them. Returns the length, or -1.
int raw_descriptor(const Board& board, uint16_t value, uint16_t language, uint8_t* out,
                   size_t room) {
  uint8_t bytes[256];
  size_t n = 0;
  auto put16 = [&](uint16_t v) {
    bytes[n++] = static_cast<uint8_t>(v & 0xFF);
    bytes[n++] = static_cast<uint8_t>(v >> 8);
  };
  const uint8_t type = static_cast<uint8_t>(value >> 8), index = static_cast<uint8_t>(value);
  if (type == LIBUSB_DT_DEVICE && index == 0) {
    libusb_device_descriptor d;
    fill_device_descriptor(d);
    bytes[n++] = d.bLength;
    bytes[n++] = d.bDescriptorType;
    put16(d.bcdUSB);
    bytes[n++] = d.bDeviceClass;
    bytes[n++] = d.bDeviceSubClass;
    bytes[n++] = d.bDeviceProtocol;
    bytes[n++] = d.bMaxPacketSize0;
    put16(d.idVendor);
    put16(d.idProduct);
    put16(d.bcdDevice);
    bytes[n++] = d.iManufacturer;
    bytes[n++] = d.iProduct;
    bytes[n++] = d.iSerialNumber;
    bytes[n++] = d.bNumConfigurations;
  } else if (type == LIBUSB_DT_CONFIG && index == 0) {
    const std::unique_ptr<ConfigBlock> block(reinterpret_cast<ConfigBlock*>(make_config()));
    const libusb_config_descriptor& c = block->config;
    bytes[n++] = c.bLength;
    bytes[n++] = c.bDescriptorType;
    put16(c.wTotalLength);
    bytes[n++] = c.bNumInterfaces;
    bytes[n++] = c.bConfigurationValue;
    bytes[n++] = c.iConfiguration;
    bytes[n++] = c.bmAttributes;
    bytes[n++] = c.MaxPower;
    for (int i = 0; i < kChannels; ++i) {
      const libusb_interface_descriptor& a = block->altsettings[i];
      const uint8_t head[9] = {
          a.bLength,       a.bDescriptorType, a.bInterfaceNumber,   a.bAlternateSetting,
          a.bNumEndpoints, a.bInterfaceClass, a.bInterfaceSubClass, a.bInterfaceProtocol,
          a.iInterface};
      std::memcpy(bytes + n, head, sizeof head);
      n += sizeof head;
      for (const libusb_endpoint_descriptor& ep : block->endpoints[i]) {
        bytes[n++] = ep.bLength;
        bytes[n++] = ep.bDescriptorType;
        bytes[n++] = ep.bEndpointAddress;
        bytes[n++] = ep.bmAttributes;
        put16(ep.wMaxPacketSize);
        bytes[n++] = ep.bInterval;
      }
    }
  } else if (type == LIBUSB_DT_STRING && index == 0) {
    bytes[n++] = 4;
    bytes[n++] = LIBUSB_DT_STRING;
    put16(0x0409);  // English (United States)
  } else if (type == LIBUSB_DT_STRING && language == 0x0409) {
    const char* s = string_of(board, index);
    if (s == nullptr) return -1;
    bytes[n++] = static_cast<uint8_t>(2 + 2 * std::strlen(s));
    bytes[n++] = LIBUSB_DT_STRING;
    for (const char* c = s; *c != '\0'; ++c) put16(static_cast<uint8_t>(*c));
  } else {
    return -1;
  }
  const size_t k = std::min(n, room);
  if (out != nullptr) std::memcpy(out, bytes, k);
  return static_cast<int>(k);
}

int status_error(libusb_transfer_status s) {
  switch (s) {
    case LIBUSB_TRANSFER_COMPLETED:
      return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    default:
      return LIBUSB_ERROR_IO;
  }
}

// Event handling of one context, for up to `wait_us` unless callbacks ran earlier or
// `completed` became non-zero.
constexpr uint64_t kDefaultEventWaitUs = 60000000;  // libusb_handle_events' 60 s

bool context_in_flight(const Bus& b, const libusb_context* ctx) {
  for (const auto& board : b.boards) {
    for (const auto& port : board->ports) {
      for (const std::deque<Xfer*>* q : {&port->out, &port->in}) {
        for (const Xfer* x : *q) {
          if (x->ctx == ctx) return true;
        }
      }
    }
  }
  return false;
}

int handle_events(libusb_context* ctx, uint64_t wait_us, int* completed, const char* call) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  ctx = live_context(b, ctx, call);
  uint64_t limit = b.now_ns() + wait_us * 1000;
  for (;;) {
    const uint64_t now = b.now_ns();
    progress(b, now);
    if (run_callbacks(b, lock, meter, ctx) > 0) return 0;
    if (completed != nullptr && *completed != 0) return 0;
    if (now >= limit) {
      // A virtual clock does not make a poll without waiting spin on the wall clock: it skips
      // to the next thing that happens to the context's transfers.
      if (!b.config.virtual_clock || !context_in_flight(b, ctx)) return 0;
      limit = next_event(b, now, now + kDefaultEventWaitUs * 1000);
    }
    wait_until(b, lock, std::min(limit, next_event(b, now, limit)));
    if (!ctx->alive) misuse(call, "the context was freed with libusb_exit while events ran");
  }
}

uint64_t timeval_us(const timeval* tv, uint64_t otherwise) {
  if (tv == nullptr) return otherwise;
  return static_cast<uint64_t>(tv->tv_sec) * 1000000u + static_cast<uint64_t>(tv->tv_usec);
}

}  // namespace
}  // namespace usbemu

using namespace usbemu;

// ---- Library ----------------------------------------------------------------------------------

USBEMU_API int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (ctx == nullptr) {
    if (b.default_refs++ == 0) {
      b.contexts.push_back(std::make_unique<libusb_context>());
      b.default_ctx = b.contexts.back().get();
      b.default_ctx->is_default = true;
    }
    return LIBUSB_SUCCESS;
  }
  b.contexts.push_back(std::make_unique<libusb_context>());
  *ctx = b.contexts.back().get();
  return LIBUSB_SUCCESS;
}

USBEMU_API void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (ctx == nullptr) {
    if (b.default_refs == 0) misuse("libusb_exit", "the default context was freed once too often");
    if (--b.default_refs > 0) return;
    ctx = b.default_ctx;
    b.default_ctx = nullptr;
  } else {
    ctx = live_context(b, ctx, "libusb_exit");
  }
  // Handles left open stay open (their interfaces stay claimed, as a leaked file descriptor
  // keeps them), but their transfers are forgotten: nothing reaps them any more.
  for (auto& h : b.handles) {
    if (h->open && h->dev->ctx == ctx) drop_transfers(b, h.get());
  }
  ctx->alive = false;
}

USBEMU_API int LIBUSB_CALL libusb_set_option(libusb_context* ctx, enum libusb_option option, ...) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (ctx != nullptr) live_context(b, ctx, "libusb_set_option");
  return option == LIBUSB_OPTION_USE_USBDK ? LIBUSB_ERROR_NOT_SUPPORTED : LIBUSB_SUCCESS;
}

USBEMU_API void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

USBEMU_API const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version version = {1, 0, 26, 0, "-emulated", "https://libusb.info"};
  return &version;
}

USBEMU_API int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY ||
                 capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER
             ? 1
             : 0;
}

USBEMU_API const char* LIBUSB_CALL libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:  // also LIBUSB_TRANSFER_COMPLETED
      return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
      return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
      return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
      return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
      return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
      return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
      return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
      return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
      return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
      return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
      return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
      return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR:
      return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
      return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
      return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
      return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
      return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
      return "LIBUSB_TRANSFER_OVERFLOW";
    default:
      return "**UNKNOWN**";
  }
}

USBEMU_API int LIBUSB_CALL libusb_setlocale(const char*) {
  return LIBUSB_SUCCESS;
}

USBEMU_API const char* LIBUSB_CALL libusb_strerror(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "Success";
    case LIBUSB_ERROR_IO:
      return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
      return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
      return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
      return "Entity not found";
    case LIBUSB_ERROR_BUSY:
      return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
      return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
      return "Overflow";
    case LIBUSB_ERROR_PIPE:
      return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
      return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
      return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "Operation not supported or unimplemented on this platform";
    case LIBUSB_ERROR_OTHER:
      return "Other error";
    default:
      return "Unknown error";
  }
}

// ---- Devices ----------------------------------------------------------------------------------

USBEMU_API ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  ctx = live_context(b, ctx, "libusb_get_device_list");
  progress(b, b.now_ns());
  if (ctx->devices.size() < b.boards.size()) ctx->devices.resize(b.boards.size(), nullptr);
  std::vector<libusb_device*> found;
  for (size_t i = 0; i < b.boards.size(); ++i) {
    if (!b.boards[i]->present) continue;
    libusb_device*& dev = ctx->devices[i];
    if (dev == nullptr || dev->refs <= 0) {
      // A device whose references all went stays a tombstone: the board gets a new one.
      b.devices.push_back(std::make_unique<libusb_device>());
      dev = b.devices.back().get();
      dev->ctx = ctx;
      dev->board = b.boards[i].get();
    }
    ++dev->refs;
    found.push_back(dev);
  }
  auto** out = static_cast<libusb_device**>(std::calloc(found.size() + 1, sizeof(libusb_device*)));
  if (out == nullptr) return LIBUSB_ERROR_NO_MEM;
  std::copy(found.begin(), found.end(), out);
  if (list != nullptr) *list = out;
  return static_cast<ssize_t>(found.size());
}

USBEMU_API void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == nullptr) return;
  if (unref_devices) {
    for (libusb_device** d = list; *d != nullptr; ++d) libusb_unref_device(*d);
  }
  std::free(list);
}

USBEMU_API libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  ++live_device(dev, "libusb_ref_device")->refs;
  return dev;
}

USBEMU_API void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (dev == nullptr) return;
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  --live_device(dev, "libusb_unref_device")->refs;
}

USBEMU_API int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                                        struct libusb_device_descriptor* desc) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  live_device(dev, "libusb_get_device_descriptor");
  if (desc != nullptr) fill_device_descriptor(*desc);
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                                        struct libusb_config_descriptor** config) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  live_device(dev, "libusb_get_config_descriptor");
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (config != nullptr) *config = make_config();
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL
libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
  return libusb_get_config_descriptor(dev, 0, config);
}

USBEMU_API int LIBUSB_CALL libusb_get_config_descriptor_by_value(
    libusb_device* dev, uint8_t value, struct libusb_config_descriptor** config) {
  if (value != 1) {
    Bus& b = bus();
    Lock lock(b.mu);
    live_device(dev, "libusb_get_config_descriptor_by_value");
    return LIBUSB_ERROR_NOT_FOUND;
  }
  return libusb_get_config_descriptor(dev, 0, config);
}

USBEMU_API void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  delete reinterpret_cast<ConfigBlock*>(config);
}

USBEMU_API uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  Bus& b = bus();
  Lock lock(b.mu);
  live_device(dev, "libusb_get_bus_number");
  return kBusNumber;
}

USBEMU_API uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  Bus& b = bus();
  Lock lock(b.mu);
  return live_device(dev, "libusb_get_device_address")->board->address;
}

USBEMU_API uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  Bus& b = bus();
  Lock lock(b.mu);
  return live_device(dev, "libusb_get_port_number")->board->path[1];
}

USBEMU_API int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int room) {
  Bus& b = bus();
  Lock lock(b.mu);
  const Board& board = *live_device(dev, "libusb_get_port_numbers")->board;
  if (room < 2) return LIBUSB_ERROR_OVERFLOW;
  ports[0] = board.path[0];
  ports[1] = board.path[1];
  return 2;
}

USBEMU_API libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device* dev) {
  Bus& b = bus();
  Lock lock(b.mu);
  live_device(dev, "libusb_get_parent");
  return nullptr;  // the hubs are not listed
}

USBEMU_API int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
  Bus& b = bus();
  Lock lock(b.mu);
  live_device(dev, "libusb_get_device_speed");
  return LIBUSB_SPEED_HIGH;
}

USBEMU_API int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
  Bus& b = bus();
  Lock lock(b.mu);
  Board& board = *live_device(dev, "libusb_get_max_packet_size")->board;
  Port* port = nullptr;
  bool in = false;
  int iface = 0;
  return endpoint_port(board, endpoint, port, in, iface) ? static_cast<int>(kPacketBytes)
                                                         : LIBUSB_ERROR_NOT_FOUND;
}

// ---- Handles ----------------------------------------------------------------------------------

USBEMU_API int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  live_device(dev, "libusb_open");
  progress(b, b.now_ns());
  if (!dev->board->present) return LIBUSB_ERROR_NO_DEVICE;
  if (dev->board->dying()) return LIBUSB_ERROR_IO;
  if (b.config.deny_access) return LIBUSB_ERROR_ACCESS;
  b.handles.push_back(std::make_unique<libusb_device_handle>());
  libusb_device_handle* h = b.handles.back().get();
  h->dev = dev;
  ++dev->refs;
  *handle = h;
  return LIBUSB_SUCCESS;
}

USBEMU_API void LIBUSB_CALL libusb_close(libusb_device_handle* h) {
  if (h == nullptr) return;
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  live_handle(h, "libusb_close");
  bool in_flight = false;
  for (auto& port : h->dev->board->ports) {
    for (std::deque<Xfer*>* q : {&port->out, &port->in}) {
      for (Xfer* x : *q) in_flight = in_flight || x->handle == h;
    }
    if (port->claimed_by == h) port->claimed_by = nullptr;
  }
  if (in_flight) {
    std::fprintf(stderr,
                 "usbemu: libusb_close: transfers still in flight on the handle are dropped "
                 "without a callback (cancel and reap them before closing)\n");
  }
  drop_transfers(b, h);
  h->open = false;
  --h->dev->refs;
}

USBEMU_API libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h) {
  Bus& b = bus();
  Lock lock(b.mu);
  return live_handle(h, "libusb_get_device")->dev;
}

USBEMU_API libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                             uint16_t vendor,
                                                                             uint16_t product) {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device_handle* h = nullptr;
  if (n > 0 && vendor == kVendor && product == kProduct && libusb_open(list[0], &h) != 0)
    h = nullptr;
  libusb_free_device_list(list, 1);
  return h;
}

namespace {

// The handle's board, checked: 0 if present, LIBUSB_ERROR_NO_DEVICE once gone, and
// LIBUSB_ERROR_IO while it is leaving unless the call answers from what the kernel keeps.
int enter_handle(Bus& b, libusb_device_handle* h, const char* call, bool kept = false) {
  live_handle(h, call);
  progress(b, b.now_ns());
  if (!h->dev->board->present) return LIBUSB_ERROR_NO_DEVICE;
  return h->dev->board->dying() && !kept ? LIBUSB_ERROR_IO : 0;
}

}  // namespace

USBEMU_API int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* h, int* config) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  // The kernel keeps the configuration: it answers while the board is leaving.
  if (const int r = enter_handle(b, h, "libusb_get_configuration", true); r != 0) return r;
  if (config != nullptr) *config = 1;
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* h, int config) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_set_configuration"); r != 0) return r;
  if (config != 1) return LIBUSB_ERROR_NOT_FOUND;
  for (auto& port : h->dev->board->ports) {
    if (port->held_elsewhere || port->kernel_driver ||
        (port->claimed_by != nullptr && port->claimed_by != h))
      return LIBUSB_ERROR_BUSY;
  }
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int iface) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_claim_interface"); r != 0) return r;
  if (iface < 0 || iface >= kChannels) return LIBUSB_ERROR_NOT_FOUND;
  Port& port = *h->dev->board->ports[static_cast<size_t>(iface)];
  if (h->auto_detach && port.claimed_by == nullptr) port.kernel_driver = false;
  return check_claim(port, h);
}

USBEMU_API int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int iface) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  const int r = enter_handle(b, h, "libusb_release_interface");
  if (iface < 0 || iface >= kChannels) return LIBUSB_ERROR_NOT_FOUND;
  Port& port = *h->dev->board->ports[static_cast<size_t>(iface)];
  if (port.claimed_by != h) return r != 0 ? r : LIBUSB_ERROR_NOT_FOUND;
  port.claimed_by = nullptr;
  if (h->auto_detach) port.kernel_driver = true;  // libusb gives it back to the kernel
  return r;
}

USBEMU_API int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* h, int iface,
                                                            int alt) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_set_interface_alt_setting"); r != 0) return r;
  if (iface < 0 || iface >= kChannels || alt != 0) return LIBUSB_ERROR_NOT_FOUND;
  return h->dev->board->ports[static_cast<size_t>(iface)]->claimed_by == h ? 0
                                                                           : LIBUSB_ERROR_NOT_FOUND;
}

USBEMU_API int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_clear_halt"); r != 0) return r;
  Port* port = nullptr;
  bool in = false;
  int iface = 0;
  return endpoint_port(*h->dev->board, endpoint, port, in, iface) ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

USBEMU_API int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_reset_device"); r != 0) return r;
  for (auto& port : h->dev->board->ports) port->chip.power_on();
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* h, int iface) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_kernel_driver_active"); r != 0) return r;
  if (iface < 0 || iface >= kChannels) return LIBUSB_ERROR_NOT_FOUND;
  // Another program's claim is no kernel driver (libusb reports usbfs as none).
  return h->dev->board->ports[static_cast<size_t>(iface)]->kernel_driver ? 1 : 0;
}

USBEMU_API int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* h, int iface) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_detach_kernel_driver"); r != 0) return r;
  if (iface < 0 || iface >= kChannels) return LIBUSB_ERROR_NOT_FOUND;
  Port& port = *h->dev->board->ports[static_cast<size_t>(iface)];
  if (!port.kernel_driver) {
    errno = ENODATA;  // no kernel driver holds the interface
    return LIBUSB_ERROR_NOT_FOUND;
  }
  port.kernel_driver = false;
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* h, int iface) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_attach_kernel_driver"); r != 0) return r;
  if (iface < 0 || iface >= kChannels) return LIBUSB_ERROR_NOT_FOUND;
  Port& port = *h->dev->board->ports[static_cast<size_t>(iface)];
  if (port.kernel_driver) return LIBUSB_ERROR_NOT_FOUND;
  if (port.claimed_by != nullptr || port.held_elsewhere) return LIBUSB_ERROR_BUSY;
  port.kernel_driver = true;
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* h,
                                                                int enable) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  live_handle(h, "libusb_set_auto_detach_kernel_driver")->auto_detach = enable != 0;
  return LIBUSB_SUCCESS;
}

USBEMU_API int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* h,
                                                              uint8_t index, unsigned char* data,
                                                              int length) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_get_string_descriptor_ascii"); r != 0) return r;
  if (index == 0 || data == nullptr || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  const char* s = string_of(*h->dev->board, index);
  if (s == nullptr) return LIBUSB_ERROR_PIPE;
  const size_t n = std::min(std::strlen(s), static_cast<size_t>(length - 1));
  std::memcpy(data, s, n);
  data[n] = 0;
  return static_cast<int>(n);
}

// ---- Synchronous transfers --------------------------------------------------------------------

USBEMU_API int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t request_type,
                                                   uint8_t request, uint16_t value, uint16_t index,
                                                   unsigned char* data, uint16_t length,
                                                   unsigned int) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (const int r = enter_handle(b, h, "libusb_control_transfer"); r != 0) return r;
  Board& board = *h->dev->board;
  const uint8_t type = request_type & 0x60;
  if (type == LIBUSB_REQUEST_TYPE_STANDARD) {
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    if (in && request == LIBUSB_REQUEST_GET_DESCRIPTOR) {
      const int n = raw_descriptor(board, value, index, data, length);
      return n < 0 ? LIBUSB_ERROR_PIPE : n;
    }
    if (in && request == LIBUSB_REQUEST_GET_STATUS && length >= 2 && data != nullptr) {
      data[0] = data[1] = 0;
      return 2;
    }
    if (in && request == LIBUSB_REQUEST_GET_CONFIGURATION && length >= 1 && data != nullptr) {
      data[0] = 1;
      return 1;
    }
    return LIBUSB_ERROR_PIPE;
  }
  if (type != LIBUSB_REQUEST_TYPE_VENDOR) return LIBUSB_ERROR_PIPE;
  // The channel is the index's low byte: 1 to 4 (0 means the first).
  const int channel = (index & 0xFF) == 0 ? 0 : (index & 0xFF) - 1;
  if (channel >= kChannels) return LIBUSB_ERROR_PIPE;
  Port& port = *board.ports[static_cast<size_t>(channel)];
  // The request takes effect at the next microframe boundary.
  const uint64_t now = control_slot(b, lock);
  progress(b, now);
  if (!board.present) return LIBUSB_ERROR_NO_DEVICE;
  if (board.dying()) return LIBUSB_ERROR_IO;
  const int n = port.chip.vendor_request(request, value, index, data, length, now);
  if (n < 0) return LIBUSB_ERROR_PIPE;
  return n;
}

USBEMU_API int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint,
                                                unsigned char* data, int length, int* transferred,
                                                unsigned int timeout) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  if (transferred != nullptr) *transferred = 0;
  live_handle(h, "libusb_bulk_transfer");
  libusb_context* ctx = h->dev->ctx;
  uint64_t now = b.now_ns();
  progress(b, now);
  Xfer x;
  if (const int r = enqueue(b, x, h, endpoint, data, length, timeout, now); r != 0) return r;
  for (;;) {
    progress(b, now);
    if (x.state == Xfer::kFinished) break;
    // The context's other transfers are reaped meanwhile, as libusb's own waiting does.
    if (run_callbacks(b, lock, meter, ctx) > 0) {
      if (!ctx->alive) misuse("libusb_bulk_transfer", "the context was freed by a callback");
    } else {
      wait_until(b, lock, next_event(b, now, now + kDefaultEventWaitUs * 1000));
    }
    if (x.state != Xfer::kFinished && !h->open)
      misuse("libusb_bulk_transfer", "the device handle was closed during the transfer");
    now = b.now_ns();
  }
  if (transferred != nullptr) *transferred = static_cast<int>(x.actual);
  return status_error(x.status);
}

// ---- Asynchronous transfers -------------------------------------------------------------------

USBEMU_API struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
  if (iso_packets < 0) return nullptr;
  const size_t bytes = kBlockBytes + sizeof(libusb_transfer) +
                       static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
  void* raw = std::calloc(1, bytes);
  if (raw == nullptr) return nullptr;
  new (raw) TransferBlock{};
  auto* t = reinterpret_cast<libusb_transfer*>(static_cast<unsigned char*>(raw) + kBlockBytes);
  t->num_iso_packets = iso_packets;
  reinterpret_cast<TransferBlock*>(raw)->x.pub = t;
  return t;
}

USBEMU_API void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* t) {
  if (t == nullptr) return;
  Bus& b = bus();
  Lock lock(b.mu);
  TransferBlock* block = block_of(t, "libusb_free_transfer");
  if (block->x.state != Xfer::kIdle && block->x.handle != nullptr &&
      block->x.handle->dev->ctx->alive && block->x.handle->open) {
    misuse("libusb_free_transfer", "the transfer is still in flight (submitted, not yet reaped)");
  }
  if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) && t->buffer != nullptr) std::free(t->buffer);
  block->magic = 0;
  block->~TransferBlock();
  std::free(block);
}

USBEMU_API int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  TransferBlock* block = block_of(t, "libusb_submit_transfer");
  libusb_device_handle* h = live_handle(t->dev_handle, "libusb_submit_transfer");
  if (block->x.state != Xfer::kIdle) return LIBUSB_ERROR_BUSY;
  if (t->type != LIBUSB_TRANSFER_TYPE_BULK) return LIBUSB_ERROR_NOT_SUPPORTED;
  const uint64_t now = b.now_ns();
  progress(b, now);
  const int r = enqueue(b, block->x, h, t->endpoint, t->buffer, t->length, t->timeout, now);
  if (r == 0) progress(b, now);
  return r;
}

USBEMU_API int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t) {
  Meter meter;
  Bus& b = bus();
  Lock lock(b.mu);
  TransferBlock* block = block_of(t, "libusb_cancel_transfer");
  live_handle(t->dev_handle, "libusb_cancel_transfer");
  Xfer& x = block->x;
  if (x.state != Xfer::kQueued) return LIBUSB_ERROR_NOT_FOUND;
  remove_queued(x);
  finish(b, x, LIBUSB_TRANSFER_CANCELLED);
  b.cv.notify_all();
  return LIBUSB_SUCCESS;
}

// ---- Event handling ---------------------------------------------------------------------------

USBEMU_API int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx,
                                                                  struct timeval* tv,
                                                                  int* completed) {
  return handle_events(ctx, timeval_us(tv, kDefaultEventWaitUs), completed,
                       "libusb_handle_events_timeout_completed");
}

USBEMU_API int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
  return handle_events(ctx, timeval_us(tv, kDefaultEventWaitUs), nullptr,
                       "libusb_handle_events_timeout");
}

USBEMU_API int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
  return handle_events(ctx, kDefaultEventWaitUs, nullptr, "libusb_handle_events");
}

USBEMU_API int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
  return handle_events(ctx, kDefaultEventWaitUs, completed, "libusb_handle_events_completed");
}
