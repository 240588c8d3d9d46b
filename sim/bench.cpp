#include "sim/bench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/d2xx.h"
#include "sim/board.h"

namespace sim {

void PortPeer::mpsse_clock_in(uint8_t* data, size_t n) {
  std::memset(data, 0xFF, n);
}

void Port::queue(const uint8_t* data, size_t n, uint64_t now, bool flushable, uint32_t latency) {
  if (n == 0) return;
  if (delay_next > 0 || flushable) {
    const uint64_t due = now + (delay_next > 0 ? delay_next : latency);
    // Nothing overtakes bytes held before: a later due time never lets them out sooner.
    const uint64_t after = held.empty() ? 0 : held.back().due;
    held.push_back(Held{due > after ? due : after, flushable && delay_next == 0, {}});
    delay_next = 0;
  }
  if (!held.empty()) {
    held.back().bytes.insert(held.back().bytes.end(), data, data + n);
    return;
  }
  if (rx_head == rx.size()) {
    rx.clear();
    rx_head = 0;
  }
  rx.insert(rx.end(), data, data + n);
}

void Port::release(uint64_t now) {
  while (!held.empty() && held.front().due <= now) {
    if (rx_head == rx.size()) {
      rx.clear();
      rx_head = 0;
    }
    rx.insert(rx.end(), held.front().bytes.begin(), held.front().bytes.end());
    held.pop_front();
  }
}

void Port::flush(uint64_t now) {
  for (Held& h : held) {
    if (h.flushable) h.due = now;
  }
  release(now);
}

void Port::purge_rx() {
  rx.clear();
  rx_head = 0;
  std::erase_if(held, [](const Held& h) { return h.flushable; });
}

Bench& Bench::get() {
  static Bench bench;
  return bench;
}

Bench::Bench() {
  reset_default();
}

void Bench::reset() {
  ports_.clear();
  boards_.clear();
  calls_.clear();
  faults_.clear();
  listed_.clear();
  armed_index_ = UINT64_MAX;
  sequence_ = 0;
  list_fails_ = false;
  entry_fails_at_ = -1;
  poll_cost_ = 1;
  now_ = 0;
  recording_ = true;
  devices_ = 0;
}

int Bench::default_boards() {
  const char* text = std::getenv("VRX5200_SIM_BOARDS");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return *end == '\0' && n >= 1 && n <= kMaxDefaultBoards ? static_cast<int>(n) : 1;
}

void Bench::reset_default() {
  reset();
  const int boards = default_boards();
  for (int b = 1; b <= boards; ++b) {
    char key[16];
    std::snprintf(key, sizeof key, "SIM%05d", b);
    add_board(key);
  }
  recording_ = false;  // a tool's session would otherwise keep every byte it moved
}

int Bench::add_board(const std::string& key, const std::string& description) {
  const int b = static_cast<int>(boards_.size());
  boards_.push_back(std::make_unique<Board>(key));
  const int device = ++devices_;
  for (int p = 0; p < 4; ++p) {
    Port port;
    port.entry = static_cast<int>(ports_.size());
    port.location = static_cast<uint32_t>(device << 4 | (p + 1));
    port.serial = key + static_cast<char>('A' + p);
    port.description = description + " " + static_cast<char>('A' + p);
    port.peer = boards_.back()->peer(p);
    ports_.push_back(port);
  }
  return b;
}

int Bench::add_device(const std::string& serial, const std::string& description) {
  Port port;
  port.entry = static_cast<int>(ports_.size());
  port.location = static_cast<uint32_t>(++devices_ << 4 | 1);
  port.serial = serial;
  port.description = description;
  ports_.push_back(port);
  return port.entry;
}

int Bench::entry_of(int b, int p) const {
  const PortPeer* peer = boards_.at(b)->peer(p);
  for (const Port& port : ports_) {
    if (port.peer == peer) return port.entry;
  }
  return -1;
}

void Bench::unplug(int b) {
  for (int p = 0; p < 4; ++p) ports_.at(entry_of(b, p)).present = false;
}

void Bench::replug(int b) {
  for (int p = 0; p < 4; ++p) {
    Port& port = ports_.at(entry_of(b, p));
    port.present = true;
    port.open = false;
    port.rx.clear();
    port.rx_head = 0;
    port.held.clear();
    port.delay_next = 0;
  }
}

std::vector<Call> Bench::calls(int entry) const {
  std::vector<Call> out;
  for (const Call& c : calls_) {
    if (c.entry == entry) out.push_back(c);
  }
  return out;
}

std::vector<Call> Bench::calls(int entry, const std::string& name) const {
  std::vector<Call> out;
  for (const Call& c : calls_) {
    if (c.entry == entry && c.name == name) out.push_back(c);
  }
  return out;
}

std::vector<uint8_t> Bench::written(int entry) const {
  std::vector<uint8_t> out;
  for (const Call& c : calls_) {
    if (c.entry == entry && c.name == "FT_Write")
      out.insert(out.end(), c.data.begin(), c.data.end());
  }
  return out;
}

void Bench::fail(const std::string& call, int entry, int occurrence, uint32_t status) {
  Fault f;
  f.kind = Fault::Kind::Status;
  f.call = call;
  f.entry = entry;
  f.occurrence = occurrence;
  f.status = status;
  faults_.push_back(f);
}

void Bench::fail_moved(const std::string& call, int entry, int occurrence, uint32_t status) {
  fail(call, entry, occurrence, status);
  faults_.back().kind = Fault::Kind::StatusMoved;
}

void Bench::short_write(int entry, int occurrence, uint32_t count) {
  Fault f;
  f.kind = Fault::Kind::ShortWrite;
  f.call = "FT_Write";
  f.entry = entry;
  f.occurrence = occurrence;
  f.count = count;
  faults_.push_back(f);
}

void Bench::short_read(int entry, int occurrence, uint32_t count) {
  Fault f;
  f.kind = Fault::Kind::ShortRead;
  f.call = "FT_Read";
  f.entry = entry;
  f.occurrence = occurrence;
  f.count = count;
  faults_.push_back(f);
}

void Bench::clear_faults() {
  faults_.clear();
  armed_index_ = UINT64_MAX;
  list_fails_ = false;
  entry_fails_at_ = -1;
  for (Port& p : ports_) {
    p.silent = p.stalled = false;
    p.delay_next = 0;
  }
}

void Bench::arm(uint64_t index, Armed kind, uint32_t late_ms) {
  sequence_ = 0;
  armed_index_ = index;
  armed_kind_ = kind;
  armed_late_ms_ = late_ms;
  armed_hit_.clear();
  armed_hit_entry_ = -1;
}

const Fault* Bench::fault_for(const char* name, int entry) {
  if (sequence_++ == armed_index_) {
    armed_hit_ = name;
    armed_hit_entry_ = entry;
    const bool moves = std::strcmp(name, "FT_Write") == 0 || std::strcmp(name, "FT_Read") == 0;
    switch (armed_kind_) {
      case Armed::kShort:
        if (moves) {
          armed_fault_ = Fault{};
          armed_fault_.kind = name[3] == 'W' ? Fault::Kind::ShortWrite : Fault::Kind::ShortRead;
          armed_fault_.count = 0;            // set by the caller from the count asked
          armed_fault_.status = 0xFFFFFFFF;  // "half of what is asked"
          return &armed_fault_;
        }
        [[fallthrough]];
      case Armed::kMoved:
        if (moves && armed_kind_ == Armed::kMoved) {
          armed_fault_ = Fault{};
          armed_fault_.kind = Fault::Kind::StatusMoved;
          armed_fault_.status = FT_IO_ERROR;
          return &armed_fault_;
        }
        [[fallthrough]];
      case Armed::kStatus:
        armed_fault_ = Fault{};
        armed_fault_.kind = Fault::Kind::Status;
        armed_fault_.status = FT_IO_ERROR;
        return &armed_fault_;
      case Armed::kStall:
        if (entry >= 0) ports_.at(entry).stalled = true;
        break;
      case Armed::kLate:
        if (entry >= 0) ports_.at(entry).delay_next = armed_late_ms_;
        break;
      case Armed::kUnplug:
        for (size_t b = 0; b < boards_.size() && entry >= 0; ++b) {
          for (int p = 0; p < 4; ++p) {
            if (entry_of(static_cast<int>(b), p) == entry) unplug(static_cast<int>(b));
          }
        }
        break;
    }
  }
  const Fault* hit = nullptr;
  for (Fault& f : faults_) {
    if (f.call != name || (f.entry != -1 && f.entry != entry)) continue;
    ++f.seen;
    if (hit == nullptr && (f.occurrence == 0 || f.seen == f.occurrence)) hit = &f;
  }
  return hit;
}

Call* Bench::record(const char* name, int entry, std::initializer_list<uint32_t> args,
                    uint32_t status) {
  if (!recording_) return nullptr;
  calls_.push_back(Call{name, entry, std::vector<uint32_t>(args), {}, status});
  return &calls_.back();
}

// Handles are tokens, never pointers into the bench, so a stale or forged handle is refused
// instead of dereferenced: bits 12 and up name the entry, the low 12 bits the open generation.
static void* make_handle(const Port& port) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>((port.entry + 1)) << 12 |
                                 (port.generation & 0xFFF));
}

Port* Bench::port_of(void* handle, uint32_t& status) {
  const uintptr_t token = reinterpret_cast<uintptr_t>(handle);
  const uintptr_t entry = (token >> 12) - 1;
  if (token == 0 || token == static_cast<uintptr_t>(-1) || entry >= ports_.size()) {
    status = FT_INVALID_HANDLE;
    return nullptr;
  }
  Port& port = ports_[entry];
  if (!port.open || (port.generation & 0xFFF) != (token & 0xFFF)) {
    status = FT_INVALID_HANDLE;
    return nullptr;
  }
  status = port.present ? FT_OK : FT_IO_ERROR;
  return &port;
}

void Bench::write_bytes(Port& port, const uint8_t* data, size_t n) {
  if (port.silent || port.stalled || n == 0) return;
  switch (port.mode) {
    case FT_BITMODE_ASYNC_BITBANG:
      if (port.peer == nullptr) {
        port.pins = data[n - 1];  // nothing listens: only the last levels stay on the pins
        break;
      }
      for (size_t i = 0; i < n; ++i) {
        port.pins = data[i];
        port.peer->react(data[i], port.mask);
      }
      break;
    case FT_BITMODE_SYNC_BITBANG:
      // One byte of pin levels comes back for every byte written, sampled as the byte is
      // applied.
      port.rx.reserve(port.rx.size() + n);
      for (size_t i = 0; i < n; ++i) {
        const uint8_t inputs = port.peer ? port.peer->inputs() : 0xFF;
        const uint8_t sampled =
            static_cast<uint8_t>((port.pins & port.mask) | (inputs & ~port.mask));
        port.queue(&sampled, 1, now_);
        port.pins = data[i];
        if (port.peer) port.peer->react(data[i], port.mask);
      }
      break;
    case FT_BITMODE_MPSSE:
      mpsse_write(port, data, n);
      break;
    default:
      break;  // serial mode: the bytes leave on the UART, nobody listens
  }
}

// The MPSSE engine: a command parser fed with the bytes of every FT_Write. A command may span
// several writes (the block write sends its header and its data separately).
void Bench::mpsse_write(Port& port, const uint8_t* data, size_t n) {
  PortPeer null_peer;
  PortPeer& peer = port.peer ? *port.peer : null_peer;
  size_t i = 0;
  while (i < n) {
    if (port.data_left > 0) {
      const size_t take = std::min<size_t>(port.data_left, n - i);
      peer.mpsse_clock_out(data + i, take);
      port.data_left -= static_cast<uint32_t>(take);
      i += take;
      continue;
    }
    port.pending.push_back(data[i++]);
    const uint8_t op = port.pending[0];
    size_t need = 1;
    switch (op) {
      case 0x80:
      case 0x82:
      case 0x86:
      case 0x19:
      case 0x28:
        need = 3;
        break;
      default:
        break;
    }
    if (port.pending.size() < need) continue;
    const uint32_t length = need == 3 ? (port.pending[1] | port.pending[2] << 8) + 1u : 0;
    switch (op) {
      case 0x80:
        port.pins = port.pending[1];
        peer.mpsse_pins(port.pending[1], port.pending[2]);
        break;
      case 0x87:
        port.flush(now_);  // send immediate: the read data leaves the chip now
        break;
      case 0x82:
      case 0x86:
      case 0x84:
      case 0x85:
      case 0x8A:
      case 0x8B:
        break;  // high byte, clock divisor, loop-back, prescaler
      case 0x19:
        port.data_left = length;
        break;
      case 0x28: {
        // The data waits in the chip until a send-immediate or the latency timer sends it.
        clock_in_.resize(length);
        peer.mpsse_clock_in(clock_in_.data(), length);
        port.queue(clock_in_.data(), length, now_, true, port.latency);
        break;
      }
      default: {
        // The engine answers an opcode it does not know with 0xFA and the opcode.
        const uint8_t bad[2] = {0xFA, op};
        port.queue(bad, 2, now_, true, port.latency);
        break;
      }
    }
    port.pending.clear();
  }
}

}  // namespace sim

// ---- The D2XX functions and the system services, over the bench ----------------------------

using sim::Bench;
using sim::Call;
using sim::Fault;
using sim::Port;

namespace {

Bench& B() {
  return Bench::get();
}

// A port out of bit-bang and MPSSE drives no pin: they float high, so the board sees every
// select line released (a command-link frame left open ends there).
void release_pins(Port& p) {
  p.pins = 0xFF;
  if (p.peer != nullptr) {
    p.peer->react(0xFF, 0x00);
    p.peer->mpsse_pins(0xFF, 0x00);
  }
}

// Looks up the port of a handle and applies an armed status fault. Returns null (with the
// status to return) when the call must fail.
Port* enter(const char* name, FT_HANDLE h, FT_STATUS& status, const Fault** armed = nullptr) {
  uint32_t st = FT_OK;
  Port* port = B().port_of(h, st);
  status = st;
  if (port == nullptr) return nullptr;
  const Fault* f = B().fault_for(name, port->entry);
  if (armed) *armed = f;
  if (f != nullptr) {
    if (f->kind == Fault::Kind::Status) {
      status = f->status;
      return nullptr;
    }
  }
  if (st != FT_OK) return nullptr;
  return port;
}

int entry_of(FT_HANDLE h) {
  uint32_t st = 0;
  Port* p = B().port_of(h, st);
  return p ? p->entry : -1;
}

template <typename Apply>
FT_STATUS simple(const char* name, FT_HANDLE h, std::initializer_list<uint32_t> args, Apply apply) {
  FT_STATUS status;
  Port* port = enter(name, h, status);
  if (port != nullptr) apply(*port);
  B().record(name, entry_of(h), args, status);
  return status;
}

}  // namespace

extern "C" {

uint32_t platform_clock_ms(void) {
  return static_cast<uint32_t>(B().now());
}

void platform_sleep_ms(uint32_t ms) {
  B().advance(ms);
}

FT_STATUS FT_API FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs) {
  Bench& b = B();
  b.listed_.clear();
  for (size_t e = 0; e < b.entry_count(); ++e) {
    if (b.port(static_cast<int>(e)).present) b.listed_.push_back(static_cast<int>(e));
  }
  FT_STATUS status = FT_OK;
  if (b.list_fails_ || b.fault_for("FT_CreateDeviceInfoList", -1)) {
    status = FT_OTHER_ERROR;
  } else if (lpdwNumDevs != nullptr) {
    *lpdwNumDevs = static_cast<DWORD>(b.listed_.size());
  }
  b.record("FT_CreateDeviceInfoList", -1, {}, status);
  return status;
}

FT_STATUS FT_API FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType,
                                        LPDWORD lpdwID, LPDWORD lpdwLocId, LPVOID lpSerialNumber,
                                        LPVOID lpDescription, FT_HANDLE* pftHandle) {
  Bench& b = B();
  FT_STATUS status = FT_OK;
  if (dwIndex >= b.listed_.size() || static_cast<int>(dwIndex) == b.entry_fails_at_ ||
      b.fault_for("FT_GetDeviceInfoDetail", -1)) {
    status = FT_DEVICE_NOT_FOUND;
  } else {
    const Port& p = b.port(b.listed_[dwIndex]);
    if (lpdwFlags) *lpdwFlags = p.open ? FT_FLAGS_OPENED : 0;
    if (lpdwType) *lpdwType = p.type;
    if (lpdwID) *lpdwID = p.id;
    if (lpdwLocId) *lpdwLocId = p.location;
    // The driver's serial number and description fields hold 16 and 64 characters.
    if (lpSerialNumber) {
      std::snprintf(static_cast<char*>(lpSerialNumber), 16, "%s", p.serial.c_str());
    }
    if (lpDescription) {
      std::snprintf(static_cast<char*>(lpDescription), 64, "%s", p.description.c_str());
    }
    if (pftHandle) *pftHandle = p.open ? make_handle(p) : nullptr;
  }
  b.record("FT_GetDeviceInfoDetail", -1, {dwIndex}, status);
  return status;
}

FT_STATUS FT_API FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
  Bench& b = B();
  const uint32_t location = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pArg1));
  FT_STATUS status = FT_DEVICE_NOT_FOUND;
  int entry = -1;
  if (Flags == FT_OPEN_BY_LOCATION) {
    for (size_t e = 0; e < b.entry_count(); ++e) {
      Port& p = b.port(static_cast<int>(e));
      if (!p.present || p.location != location) continue;
      entry = p.entry;
      if (const Fault* f = b.fault_for("FT_OpenEx", entry)) {
        status = f->status;
      } else if (p.open) {
        status = FT_DEVICE_NOT_OPENED;
      } else {
        p.open = true;
        ++p.generation;
        p.mode = 0;
        p.mask = 0;
        release_pins(p);
        p.rx.clear();
        p.rx_head = 0;
        p.held.clear();
        p.delay_next = 0;
        p.pending.clear();
        p.data_left = 0;
        if (pHandle) *pHandle = make_handle(p);
        status = FT_OK;
      }
      break;
    }
  } else {
    status = FT_INVALID_PARAMETER;
  }
  b.record("FT_OpenEx", entry, {location, Flags}, status);
  return status;
}

FT_STATUS FT_API FT_Close(FT_HANDLE h) {
  uint32_t st = FT_OK;
  Port* port = B().port_of(h, st);
  FT_STATUS status = port ? static_cast<FT_STATUS>(FT_OK) : st;
  if (port != nullptr) {
    if (const Fault* f = B().fault_for("FT_Close", port->entry)) {
      status = f->status;
    } else {
      port->open = false;  // an unplugged port's handle is released all the same
    }
  }
  B().record("FT_Close", port ? port->entry : -1, {}, status);
  return status;
}

FT_STATUS FT_API FT_ResetDevice(FT_HANDLE h) {
  return simple("FT_ResetDevice", h, {}, [](Port& p) { p.data_left = 0, p.pending.clear(); });
}

FT_STATUS FT_API FT_SetUSBParameters(FT_HANDLE h, ULONG in, ULONG out) {
  return simple("FT_SetUSBParameters", h, {in, out}, [&](Port& p) {
    p.in_size = in;
    p.out_size = out;
  });
}

FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE h, DWORD Mask, PVOID Param) {
  const uint32_t value = Param ? *static_cast<DWORD*>(Param) : 0xFFFFFFFFu;
  return simple("FT_SetEventNotification", h, {Mask, value}, [&](Port& p) { p.event_mask = Mask; });
}

FT_STATUS FT_API FT_SetChars(FT_HANDLE h, UCHAR EventChar, UCHAR EventCharEnabled, UCHAR ErrorChar,
                             UCHAR ErrorCharEnabled) {
  return simple("FT_SetChars", h, {EventChar, EventCharEnabled, ErrorChar, ErrorCharEnabled},
                [](Port&) {});
}

FT_STATUS FT_API FT_SetTimeouts(FT_HANDLE h, ULONG ReadTimeout, ULONG WriteTimeout) {
  return simple("FT_SetTimeouts", h, {ReadTimeout, WriteTimeout}, [&](Port& p) {
    p.read_timeout = ReadTimeout;
    p.write_timeout = WriteTimeout;
  });
}

FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE h, UCHAR ucLatency) {
  return simple("FT_SetLatencyTimer", h, {ucLatency}, [&](Port& p) { p.latency = ucLatency; });
}

FT_STATUS FT_API FT_Purge(FT_HANDLE h, ULONG Mask) {
  return simple("FT_Purge", h, {Mask}, [&](Port& p) {
    p.release(B().now());
    if (Mask & FT_PURGE_RX) p.purge_rx();
  });
}

FT_STATUS FT_API FT_SetBitMode(FT_HANDLE h, UCHAR ucMask, UCHAR ucEnable) {
  return simple("FT_SetBitMode", h, {ucMask, ucEnable}, [&](Port& p) {
    p.mode = ucEnable;
    p.mask = ucMask;
    p.pending.clear();
    p.data_left = 0;
    if (ucEnable == FT_BITMODE_RESET) release_pins(p);
  });
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE h, ULONG BaudRate) {
  return simple("FT_SetBaudRate", h, {BaudRate}, [&](Port& p) { p.baud = BaudRate; });
}

FT_STATUS FT_API FT_Write(FT_HANDLE h, LPVOID lpBuffer, DWORD n, LPDWORD lpBytesWritten) {
  FT_STATUS status;
  const Fault* f = nullptr;
  Port* port = enter("FT_Write", h, status, &f);
  DWORD moved = 0;
  if (port != nullptr) {
    moved = n;
    if (port->stalled) {
      moved = 0;  // the write times out with nothing taken
      B().advance(port->write_timeout);
    }
    if (f && f->kind == Fault::Kind::ShortWrite) {
      moved = std::min<DWORD>(n, f->status == 0xFFFFFFFF ? n / 2 : f->count);
    }
    B().write_bytes(*port, static_cast<const uint8_t*>(lpBuffer), moved);
    if (f && f->kind == Fault::Kind::StatusMoved) status = f->status;
  }
  if (lpBytesWritten) *lpBytesWritten = moved;
  if (Call* c = B().record("FT_Write", entry_of(h), {n}, status)) {
    const uint8_t* bytes = static_cast<const uint8_t*>(lpBuffer);
    c->data.assign(bytes, bytes + moved);
  }
  return status;
}

FT_STATUS FT_API FT_Read(FT_HANDLE h, LPVOID lpBuffer, DWORD n, LPDWORD lpBytesReturned) {
  FT_STATUS status;
  const Fault* f = nullptr;
  Port* port = enter("FT_Read", h, status, &f);
  DWORD moved = 0;
  if (port != nullptr) {
    port->release(B().now());
    moved = static_cast<DWORD>(std::min<size_t>(n, port->queued()));
    if (f && f->kind == Fault::Kind::ShortRead) {
      moved = std::min<DWORD>(moved, f->status == 0xFFFFFFFF ? n / 2 : f->count);
    }
    if (f && f->kind == Fault::Kind::StatusMoved) status = f->status;
    // The driver blocks for the read time-out when the bytes are not there.
    if (moved < n) B().advance(port->read_timeout);
    if (moved) std::memcpy(lpBuffer, port->rx.data() + port->rx_head, moved);
    port->rx_head += moved;
  }
  if (lpBytesReturned) *lpBytesReturned = moved;
  if (Call* c = B().record("FT_Read", entry_of(h), {n}, status)) {
    const uint8_t* bytes = static_cast<const uint8_t*>(lpBuffer);
    c->data.assign(bytes, bytes + moved);
  }
  return status;
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE h, DWORD* dwRxBytes) {
  B().advance(B().poll_cost_);
  FT_STATUS status;
  Port* port = enter("FT_GetQueueStatus", h, status);
  if (port) port->release(B().now());
  DWORD queued = port ? static_cast<DWORD>(port->queued()) : 0;
  if (port && dwRxBytes) *dwRxBytes = queued;
  B().record("FT_GetQueueStatus", entry_of(h), {queued}, status);
  return status;
}

FT_STATUS FT_API FT_GetBitMode(FT_HANDLE h, PUCHAR pucMode) {
  FT_STATUS status;
  Port* port = enter("FT_GetBitMode", h, status);
  uint8_t pins = 0;
  if (port != nullptr) {
    const uint8_t inputs = port->peer ? port->peer->inputs() : 0xFF;
    pins = static_cast<uint8_t>((port->pins & port->mask) | (inputs & ~port->mask));
    if (pucMode) *pucMode = pins;
  }
  B().record("FT_GetBitMode", entry_of(h), {pins}, status);
  return status;
}

FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE h, ULONG* pulModemStatus) {
  return simple("FT_GetModemStatus", h, {}, [&](Port&) {
    if (pulModemStatus) *pulModemStatus = 0x6000;  // transmitter empty, holding register empty
  });
}

}  // extern "C"
