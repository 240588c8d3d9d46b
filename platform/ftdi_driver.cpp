// The D2XX functions the library calls, over the open libftdi1 and libusb: what the library needs
// of the bridge on Linux without the vendor's driver.
//
// Every channel of every FTDI bridge on the bus is one device-list entry, as the vendor's driver
// lists them: a multi-channel bridge's channels get the suffixes " A", " B", ... on the
// description and "A", "B", ... on the serial number. A channel's location ID is built from the
// bus number and the port path, so it stays the same while the bridge stays in its socket.
//
// Discovery keeps no libusb object: each open handle has its own libftdi context (and with it its
// own libusb context) and finds its device again by bus and port path, so no device outlives the
// context that listed it.
//
// The receive queue is the driver's own. The chip sends what it has read in bulk packets of
// max_packet_size bytes, each led by two modem-status bytes, when a packet is full or when the
// latency timer runs out; FT_GetQueueStatus and FT_Read move packets into the queue. In
// synchronous bit-bang the chip clocks a byte out only while its receive FIFO has room for the
// pin states it samples, so FT_Write collects them as it goes, as the vendor's driver does with
// its background reads; otherwise a long write stops after a few KiB.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/location.h"
#include "session/d2xx.h"

namespace {

// Receive and transmit FIFO of one channel of the 4-channel bridge (the 2-channel one has more).
constexpr size_t kFifoBytes = 2048;
// Synchronous bit-bang: pin-state bytes the chip may hold for us at any time (written bytes whose
// states have not arrived), and the largest single write. Together they keep every write inside
// the transmit FIFO even while the receive FIFO is full.
constexpr size_t kOwedLimit = kFifoBytes + kFifoBytes / 2;
constexpr size_t kSyncChunk = kFifoBytes / 2;
// The vendor driver's flag of a high-speed bridge in the device list.
constexpr DWORD kFlagHighSpeed = 2;
// An unplugged device fails requests with I/O errors until the kernel hears of it from the hub;
// this long it is asked again before an error is taken as the device's own.
constexpr auto kUnplugNoticed = std::chrono::milliseconds(250);

struct Channel {
  uint8_t bus = 0;
  std::vector<uint8_t> path;  // port numbers from the root hub down
  uint16_t vendor = 0, product = 0, release = 0;
  int index = 0;  // 0 for channel A
  uint32_t location = 0;
  std::string serial, description;
};

struct Handle {
  std::mutex mu;  // one call at a time on a port; calls on other ports do not wait for it
  ftdi_context* ctx = nullptr;  // null once closed
  uint32_t location = 0;
  std::vector<uint8_t> rx;  // receive queue: rx[head..] not yet read
  size_t head = 0;
  std::vector<uint8_t> packets;  // one bulk IN transfer as the chip sent it
  uint32_t read_timeout_ms = 0;  // 0: FT_Read waits for all bytes
  size_t in_packets = 8;         // packets one queue poll asks for (FT_SetUSBParameters)
  uint8_t mode = 0;              // bit mode as last set
  size_t owed = 0;               // synchronous bit-bang: pin states still to come
  void close() {
    if (ctx != nullptr) ftdi_free(ctx);  // closes the device and ends its libusb context
    ctx = nullptr;
  }
  ~Handle() { close(); }
  size_t queued() const { return rx.size() - head; }
};

// The device list and the open handles. Held only to look up or change them, never across USB
// traffic: each port's calls take their handle's own lock.
std::mutex g_registry;
std::vector<Channel> g_channels;
std::map<uintptr_t, std::shared_ptr<Handle>> g_handles;  // open handles by their number
std::set<uint32_t> g_opening;                            // locations being opened
uintptr_t g_next_handle = 0x1000;
platform::LocationTable g_locations;
std::mutex g_discovery;  // one discovery at a time (the location table)

// The vendor driver's device type and the channels of a bridge, by product and release.
struct Kind {
  DWORD type;
  int channels;
  bool high_speed;
};
Kind kind_of(uint16_t product, uint16_t release) {
  switch (product) {
    case 0x6001:
      if (release == 0x0200) return {1, 1, false};  // AM
      if (release == 0x0600) return {5, 1, false};  // 232R
      return {0, 1, false};                         // BM
    case 0x6010:
      if (release == 0x0500) return {4, 2, false};  // 2232C/D
      return {6, 2, true};                          // 2232H
    case 0x6011:
      return {7, 4, true};  // 4232H
    case 0x6014:
      return {8, 1, true};  // 232H
    case 0x6015:
      return {9, 1, false};  // X series
    default:
      return {3, 1, false};  // unknown
  }
}

std::vector<uint8_t> path_of(libusb_device* device) {
  uint8_t ports[7] = {};
  const int depth = libusb_get_port_numbers(device, ports, 7);
  return std::vector<uint8_t>(ports, ports + (depth > 0 ? depth : 0));
}

// A libftdi context with its own libusb context, freed on every path.
struct Context {
  ftdi_context* ctx = ftdi_new();
  ftdi_device_list* list = nullptr;
  ~Context() {
    if (list != nullptr) ftdi_list_free(&list);
    if (ctx != nullptr) ftdi_free(ctx);
  }
};

std::shared_ptr<Handle> handle_of(FT_HANDLE h) {
  std::lock_guard<std::mutex> lock(g_registry);
  const auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
  return it == g_handles.end() ? nullptr : it->second;
}

// Runs f(handle) under the handle's lock; FT_INVALID_HANDLE for one not open.
template <typename F>
FT_STATUS on_handle(FT_HANDLE ft, F&& f) {
  const std::shared_ptr<Handle> h = handle_of(ft);
  if (h == nullptr) return FT_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(h->mu);
  if (h->ctx == nullptr) return FT_INVALID_HANDLE;  // closed while this call waited
  return f(*h);
}

// After a request failed: a device that is gone, or an error of its own? An unplugged device's
// requests fail with I/O errors until the kernel hears from the hub that it left; ask the device
// for its status until it answers (an error of its own) or is gone.
FT_STATUS status_after_failure(const Handle& h) {
  if (h.ctx->usb_dev == nullptr) return FT_DEVICE_NOT_FOUND;
  const auto deadline = std::chrono::steady_clock::now() + kUnplugNoticed;
  for (;;) {
    unsigned char status[2] = {};
    const int r =
        libusb_control_transfer(h.ctx->usb_dev, 0x80,  // IN, standard, to the device
                                LIBUSB_REQUEST_GET_STATUS, 0, 0, status, sizeof status, 100);
    if (r == LIBUSB_ERROR_NO_DEVICE) return FT_DEVICE_NOT_FOUND;
    if (r >= 0 || std::chrono::steady_clock::now() >= deadline) return FT_IO_ERROR;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

FT_STATUS status_of_usb(const Handle& h, int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
    case LIBUSB_ERROR_TIMEOUT:  // a time-out moves fewer bytes; the count tells
      return FT_OK;
    case LIBUSB_ERROR_NO_DEVICE:
      return FT_DEVICE_NOT_FOUND;
    case LIBUSB_ERROR_NO_MEM:
      return FT_INSUFFICIENT_RESOURCES;
    case LIBUSB_ERROR_INVALID_PARAM:
      return FT_INVALID_PARAMETER;
    default:  // I/O, pipe and the others: an unplug shows as these first
      return status_after_failure(h);
  }
}

// The status of a libftdi request: libftdi reports only its own codes.
FT_STATUS status_of(const Handle& h, int ftdi_result) {
  return ftdi_result >= 0 ? FT_STATUS{FT_OK} : status_after_failure(h);
}

// Milliseconds left until the deadline, at least 1; 0 (no limit) when there is none.
unsigned remaining_ms(bool limited, std::chrono::steady_clock::time_point deadline) {
  if (!limited) return 0;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 1 ? 1u : static_cast<unsigned>(left.count());
}

// One bulk IN transfer of up to `packets` packets into the receive queue, without the two
// modem-status bytes that lead every packet. Asking for whole packets the chip already has lets
// the transfer end at once instead of at the next latency-timer expiry.
FT_STATUS pull(Handle& h, size_t packets, unsigned timeout_ms) {
  const size_t packet = h.ctx->max_packet_size > 2 ? h.ctx->max_packet_size : 64;
  h.packets.resize(std::max<size_t>(packets, 1) * packet);
  if (h.head == h.rx.size()) {
    h.rx.clear();
    h.head = 0;
  } else if (h.head > h.rx.size() / 2) {
    h.rx.erase(h.rx.begin(), h.rx.begin() + static_cast<std::ptrdiff_t>(h.head));
    h.head = 0;
  }
  int got = 0;
  const int result =
      libusb_bulk_transfer(h.ctx->usb_dev, static_cast<unsigned char>(h.ctx->out_ep),
                           h.packets.data(), static_cast<int>(h.packets.size()), &got, timeout_ms);
  size_t arrived = 0;
  bool empty_packet = false;
  for (size_t at = 0; at < static_cast<size_t>(got); at += packet) {
    const size_t length = std::min(packet, static_cast<size_t>(got) - at);
    if (length <= 2) {
      empty_packet = true;
      continue;
    }
    h.rx.insert(h.rx.end(), h.packets.begin() + static_cast<std::ptrdiff_t>(at + 2),
                h.packets.begin() + static_cast<std::ptrdiff_t>(at + length));
    arrived += length - 2;
  }
  h.owed -= std::min(h.owed, arrived);
  // A packet of status bytes alone comes when the latency timer ran out with nothing to send:
  // in synchronous bit-bang the chip then has clocked out every byte it had, so it owes nothing.
  if (empty_packet) h.owed = 0;
  return status_of_usb(h, result);
}

size_t packets_for(const Handle& h, size_t bytes) {
  const size_t data = h.ctx->max_packet_size > 2 ? h.ctx->max_packet_size - 2 : 62;
  return (bytes + data - 1) / data;
}

// One bulk OUT transfer; `sent` counts what the chip took before a time-out or failure. The
// write time-out 0 means no limit, as to the vendor's driver and to libusb.
FT_STATUS push(Handle& h, const uint8_t* data, size_t n, size_t& sent) {
  int moved = 0;
  const int result = libusb_bulk_transfer(
      h.ctx->usb_dev, static_cast<unsigned char>(h.ctx->in_ep), const_cast<uint8_t*>(data),
      static_cast<int>(n), &moved, static_cast<unsigned>(std::max(h.ctx->usb_write_timeout, 0)));
  sent += static_cast<size_t>(moved > 0 ? moved : 0);
  return status_of_usb(h, result);
}

void drop_queue(Handle& h) {
  h.rx.clear();
  h.head = 0;
  h.owed = 0;
}

// The channels of every FTDI bridge on the bus, read from a context of its own.
std::vector<Channel> discover() {
  std::vector<Channel> channels;
  Context c;
  if (c.ctx == nullptr) return channels;
  // Vendor and product 0: every bridge of the known FTDI product IDs. No USB access at all (no
  // bus) lists no device, as an empty bus does.
  const int found = ftdi_usb_find_all(c.ctx, &c.list, 0, 0);
  for (ftdi_device_list* d = c.list; found > 0 && d != nullptr; d = d->next) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(d->dev, &descriptor) != 0) continue;
    // Each string on its own: one that cannot be read (no permission, or an EEPROM without a
    // serial number) leaves it empty and keeps the others, as the vendor's driver lists them.
    char description[128] = {}, serial[128] = {};
    if (ftdi_usb_get_strings(c.ctx, d->dev, nullptr, 0, description, sizeof description, nullptr,
                             0) < 0) {
      description[0] = '\0';
    }
    if (ftdi_usb_get_strings(c.ctx, d->dev, nullptr, 0, nullptr, 0, serial, sizeof serial) < 0)
      serial[0] = '\0';
    const Kind kind = kind_of(descriptor.idProduct, descriptor.bcdDevice);
    const uint8_t bus = libusb_get_bus_number(d->dev);
    const std::vector<uint8_t> path = path_of(d->dev);
    for (int i = 0; i < kind.channels; ++i) {
      Channel ch{bus,
                 path,
                 descriptor.idVendor,
                 descriptor.idProduct,
                 descriptor.bcdDevice,
                 i,
                 g_locations.of(bus, path, i),
                 serial,
                 description};
      if (kind.channels > 1 && serial[0] != '\0') ch.serial += static_cast<char>('A' + i);
      if (kind.channels > 1 && description[0] != '\0') {
        ch.description += std::string(" ") + static_cast<char>('A' + i);
      }
      channels.push_back(std::move(ch));
    }
  }
  return channels;
}

}  // namespace

extern "C" {

FT_STATUS FT_API FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs) {
  std::vector<Channel> channels;
  {
    std::lock_guard<std::mutex> discovery(g_discovery);
    channels = discover();
  }
  std::lock_guard<std::mutex> lock(g_registry);
  g_channels = std::move(channels);
  if (lpdwNumDevs) *lpdwNumDevs = static_cast<DWORD>(g_channels.size());
  return FT_OK;
}

FT_STATUS FT_API FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType,
                                        LPDWORD lpdwID, LPDWORD lpdwLocId, LPVOID lpSerialNumber,
                                        LPVOID lpDescription, FT_HANDLE* pftHandle) {
  std::lock_guard<std::mutex> lock(g_registry);
  if (dwIndex >= g_channels.size()) return FT_DEVICE_NOT_FOUND;
  const Channel& c = g_channels[dwIndex];
  FT_HANDLE open = nullptr;
  for (const auto& [number, h] : g_handles) {
    if (h->location == c.location) open = reinterpret_cast<FT_HANDLE>(number);
  }
  const Kind kind = kind_of(c.product, c.release);
  if (lpdwFlags) *lpdwFlags = (open ? FT_FLAGS_OPENED : 0) | (kind.high_speed ? kFlagHighSpeed : 0);
  if (lpdwType) *lpdwType = kind.type;
  if (lpdwID) *lpdwID = static_cast<DWORD>(c.vendor) << 16 | c.product;
  if (lpdwLocId) *lpdwLocId = c.location;
  // The vendor's driver fills 16 characters of serial number and 64 of description.
  if (lpSerialNumber) std::snprintf(static_cast<char*>(lpSerialNumber), 16, "%s", c.serial.c_str());
  if (lpDescription)
    std::snprintf(static_cast<char*>(lpDescription), 64, "%s", c.description.c_str());
  if (pftHandle) *pftHandle = open;
  return FT_OK;
}

FT_STATUS FT_API FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
  if (Flags != FT_OPEN_BY_LOCATION || pHandle == nullptr) return FT_INVALID_PARAMETER;
  const uint32_t location = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pArg1));
  bool listed = false;
  {
    std::lock_guard<std::mutex> lock(g_registry);
    listed = !g_channels.empty();
  }
  if (!listed) {
    DWORD n = 0;
    FT_CreateDeviceInfoList(&n);
  }
  Channel channel;
  {
    // The location is reserved while it opens, outside the lock: opening talks to the device.
    std::lock_guard<std::mutex> lock(g_registry);
    const auto it = std::find_if(g_channels.begin(), g_channels.end(),
                                 [&](const Channel& c) { return c.location == location; });
    if (it == g_channels.end()) return FT_DEVICE_NOT_FOUND;
    if (g_opening.count(location) != 0) return FT_DEVICE_NOT_OPENED;
    for (const auto& entry : g_handles) {
      if (entry.second->location == location) return FT_DEVICE_NOT_OPENED;
    }
    channel = *it;
    g_opening.insert(location);
  }
  struct Unreserve {
    uint32_t location;
    ~Unreserve() {
      std::lock_guard<std::mutex> lock(g_registry);
      g_opening.erase(location);
    }
  } unreserve{location};
  auto handle = std::make_shared<Handle>();
  Context c;
  if (c.ctx == nullptr) return FT_INSUFFICIENT_RESOURCES;
  // The device as this context lists it: same bus, same port path.
  if (ftdi_usb_find_all(c.ctx, &c.list, channel.vendor, channel.product) < 0) {
    return FT_DEVICE_NOT_FOUND;
  }
  libusb_device* device = nullptr;
  for (ftdi_device_list* d = c.list; d != nullptr && device == nullptr; d = d->next) {
    if (libusb_get_bus_number(d->dev) == channel.bus && path_of(d->dev) == channel.path) {
      device = d->dev;
    }
  }
  if (device == nullptr) return FT_DEVICE_NOT_FOUND;
  // Opening claims the channel's interface (detaching the kernel's serial driver from it) and
  // resets it. A failure here is a device that is there but cannot be had: no permission, or
  // another program holds it.
  if (ftdi_set_interface(c.ctx, static_cast<ftdi_interface>(INTERFACE_A + channel.index)) < 0 ||
      ftdi_usb_open_dev(c.ctx, device) < 0) {
    return FT_DEVICE_NOT_OPENED;
  }
  handle->ctx = c.ctx;  // the handle now owns the context and the open device
  c.ctx = nullptr;
  handle->location = location;
  std::lock_guard<std::mutex> lock(g_registry);
  const uintptr_t number = g_next_handle++;
  g_handles.emplace(number, std::move(handle));
  *pHandle = reinterpret_cast<FT_HANDLE>(number);
  return FT_OK;
}

FT_STATUS FT_API FT_Close(FT_HANDLE ftHandle) {
  std::shared_ptr<Handle> h;
  {
    std::lock_guard<std::mutex> lock(g_registry);
    const auto it = g_handles.find(reinterpret_cast<uintptr_t>(ftHandle));
    if (it == g_handles.end()) return FT_INVALID_HANDLE;
    h = std::move(it->second);
    g_handles.erase(it);
  }
  // Closing waits for a call under way on the port; a call still waiting finds it closed.
  std::lock_guard<std::mutex> lock(h->mu);
  h->close();
  return FT_OK;
}

FT_STATUS FT_API FT_ResetDevice(FT_HANDLE ftHandle) {
  return on_handle(ftHandle, [](Handle& h) -> FT_STATUS {
    drop_queue(h);
    return status_of(h, ftdi_usb_reset(h.ctx));
  });
}

FT_STATUS FT_API FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG in, ULONG out) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    // The receive transfer size sets how much one queue poll asks the chip for.
    h.in_packets = std::max<size_t>(1, in / std::max(h.ctx->max_packet_size, 64u));
    return status_of(h, ftdi_write_data_set_chunksize(h.ctx, out));
  });
}

FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE ftHandle, DWORD, PVOID) {
  // Events are not used by the library (mask 0): nothing to set up.
  return on_handle(ftHandle, [](Handle&) -> FT_STATUS { return FT_OK; });
}

FT_STATUS FT_API FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled,
                             UCHAR ErrorChar, UCHAR ErrorCharEnabled) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    int result = ftdi_set_event_char(h.ctx, EventChar, EventCharEnabled);
    if (result >= 0) result = ftdi_set_error_char(h.ctx, ErrorChar, ErrorCharEnabled);
    return status_of(h, result);
  });
}

FT_STATUS FT_API FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    h.read_timeout_ms = ReadTimeout;
    // libftdi's own requests (control transfers) wait no longer than the caller's reads.
    if (ReadTimeout != 0) h.ctx->usb_read_timeout = static_cast<int>(ReadTimeout);
    h.ctx->usb_write_timeout = static_cast<int>(WriteTimeout);  // 0: no limit
    return FT_OK;
  });
}

FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    return status_of(h, ftdi_set_latency_timer(h.ctx, ucLatency));
  });
}

FT_STATUS FT_API FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    // The transmit side first: bytes still in the chip's transmit FIFO would otherwise be
    // clocked out after the receive side was emptied, and their pin states arrive afterwards.
    int result = 0;
    if (Mask & FT_PURGE_TX) result = ftdi_tcoflush(h.ctx);
    if ((Mask & FT_PURGE_RX) && result >= 0) {
      // What the driver and the chip received goes; in synchronous bit-bang the bytes left in
      // the transmit FIFO (at most its size) still owe their pin states.
      const size_t owed = (Mask & FT_PURGE_TX) ? 0 : std::min(h.owed, kFifoBytes);
      drop_queue(h);
      h.owed = owed;
      result = ftdi_tciflush(h.ctx);
    } else if (Mask & FT_PURGE_TX) {
      h.owed = std::min(h.owed, kFifoBytes);  // what was clocked out: at most a receive FIFO
    }
    return status_of(h, result);
  });
}

FT_STATUS FT_API FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    const int result = ftdi_set_bitmode(h.ctx, ucMask, ucEnable);
    if (result >= 0) h.mode = ucEnable;
    if (h.mode != FT_BITMODE_SYNC_BITBANG) h.owed = 0;
    return status_of(h, result);
  });
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    // libftdi multiplies the rate by 4 while a bit-bang mode is on; the vendor's driver programs
    // the divisor of the rate as given, whatever the mode. Ask libftdi for that divisor.
    const unsigned char bitbang = h.ctx->bitbang_enabled;
    h.ctx->bitbang_enabled = 0;
    const int result = ftdi_set_baudrate(h.ctx, static_cast<int>(BaudRate));
    h.ctx->bitbang_enabled = bitbang;
    if (result == -1) return FT_INVALID_BAUD_RATE;
    return status_of(h, result);
  });
}

FT_STATUS FT_API FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD n, LPDWORD lpBytesWritten) {
  if (lpBytesWritten) *lpBytesWritten = 0;
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    const auto* data = static_cast<const uint8_t*>(lpBuffer);
    size_t sent = 0;
    FT_STATUS status = FT_OK;
    if (h.mode != FT_BITMODE_SYNC_BITBANG) {
      status = push(h, data, n, sent);
    } else {
      // Keep the pin states the chip holds for us below what its FIFOs take, collecting them
      // into the receive queue between writes.
      const bool limited = h.ctx->usb_write_timeout > 0;
      while (sent < n && status == FT_OK) {
        const size_t chunk = std::min<size_t>(kSyncChunk, n - sent);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(std::max(h.ctx->usb_write_timeout, 0));
        while (status == FT_OK && h.owed + chunk > kOwedLimit) {
          const size_t before = h.owed;
          status = pull(h, std::max<size_t>(1, h.owed / (h.ctx->max_packet_size - 2)),
                        remaining_ms(limited, deadline));
          if (h.owed == before && limited && std::chrono::steady_clock::now() >= deadline) break;
        }
        if (status != FT_OK || h.owed + chunk > kOwedLimit) break;  // the chip stopped clocking
        const size_t before = sent;
        status = push(h, data + sent, chunk, sent);
        h.owed += sent - before;
        if (sent - before < chunk) break;  // timed out
      }
    }
    if (lpBytesWritten) *lpBytesWritten = static_cast<DWORD>(sent);
    return status;
  });
}

FT_STATUS FT_API FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD n, LPDWORD lpBytesReturned) {
  if (lpBytesReturned) *lpBytesReturned = 0;
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    // Waits up to the read time-out for all n bytes (0: no time-out), as the vendor's driver
    // does; a time-out returns success with what has arrived.
    const bool limited = h.read_timeout_ms != 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(h.read_timeout_ms);
    FT_STATUS status = FT_OK;
    while (h.queued() < n) {
      status = pull(h, packets_for(h, n - h.queued()), remaining_ms(limited, deadline));
      if (status != FT_OK) break;
      if (limited && std::chrono::steady_clock::now() >= deadline) break;
    }
    const size_t moved = std::min<size_t>(h.queued(), n);
    if (moved) std::memcpy(lpBuffer, h.rx.data() + h.head, moved);
    h.head += moved;
    if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(moved);
    return status;
  });
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    const FT_STATUS status = pull(h, h.in_packets, static_cast<unsigned>(h.ctx->usb_read_timeout));
    if (dwRxBytes) *dwRxBytes = static_cast<DWORD>(h.queued());
    return status;
  });
}

FT_STATUS FT_API FT_GetBitMode(FT_HANDLE ftHandle, PUCHAR pucMode) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    return status_of(h, ftdi_read_pins(h.ctx, pucMode));
  });
}

FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* pulModemStatus) {
  return on_handle(ftHandle, [&](Handle& h) -> FT_STATUS {
    unsigned short status = 0;
    const int result = ftdi_poll_modem_status(h.ctx, &status);
    if (pulModemStatus) *pulModemStatus = status;
    return status_of(h, result);
  });
}

}  // extern "C"
