// The D2XX functions the library calls, over the open libftdi1 and libusb: what the library needs
// of the bridge on Linux without the vendor's driver.
//
// Every channel of every FTDI bridge on the bus is one device-list entry, as the vendor's driver
// lists them: a multi-channel bridge's channels get the suffixes " A", " B", ... on the
// description and "A", "B", ... on the serial number. A channel's location ID is built from the
// bus number and the port path, so it stays the same while the bridge stays in its socket.
//
// The receive queue is the driver's own: FT_GetQueueStatus moves what the chip has sent into it
// and FT_Read takes from it, waiting up to the read time-out for the rest, as the vendor's driver
// behaves.
#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "session/d2xx.h"

namespace {

struct Channel {
  libusb_device* device;  // referenced while listed
  int index;              // 0 for channel A
  uint32_t location;
  std::string serial, description;
};

struct Handle {
  ftdi_context* ctx = nullptr;
  uint32_t location = 0;
  std::vector<uint8_t> rx;
  size_t head = 0;
  uint32_t read_timeout_ms = 0;
  bool open = false;
  size_t queued() const { return rx.size() - head; }
};

std::vector<Channel> g_channels;
std::vector<std::unique_ptr<Handle>> g_handles;  // every handle ever given out, open or not

int channels_of(uint16_t product) {
  switch (product) {
    case 0x6010:
      return 2;  // FT2232C/D/H
    case 0x6011:
      return 4;  // FT4232H
    default:
      return 1;
  }
}

uint32_t location_of(libusb_device* device, int channel) {
  uint8_t ports[7] = {};
  const int depth = libusb_get_port_numbers(device, ports, 7);
  uint32_t path = 0;
  for (int i = 0; i < depth && i < 5; ++i) path = path << 4 | (ports[i] & 0x0F);
  return static_cast<uint32_t>(libusb_get_bus_number(device)) << 24 | (path & 0xFFFFF) << 4 |
         static_cast<uint32_t>(channel + 1);
}

void forget_channels() {
  for (Channel& c : g_channels) {
    if (c.index == 0) libusb_unref_device(c.device);
  }
  g_channels.clear();
}

Handle* handle_of(FT_HANDLE h) {
  for (const auto& candidate : g_handles) {
    if (candidate.get() == h && candidate->open) return candidate.get();
  }
  return nullptr;
}

// Moves what the chip has sent into the receive queue: one USB read.
FT_STATUS pull(Handle& h, size_t want) {
  if (h.head == h.rx.size()) {
    h.rx.clear();
    h.head = 0;
  }
  const size_t at = h.rx.size();
  if (want < 4096) want = 4096;
  h.rx.resize(at + want);
  const int got = ftdi_read_data(h.ctx, h.rx.data() + at, static_cast<int>(want));
  h.rx.resize(at + (got > 0 ? static_cast<size_t>(got) : 0));
  return got < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS status_of(int ftdi_result) {
  return static_cast<FT_STATUS>(ftdi_result < 0 ? FT_IO_ERROR : FT_OK);
}
constexpr FT_STATUS kInvalidHandle = FT_INVALID_HANDLE;

}  // namespace

extern "C" {

FT_STATUS FT_API FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs) {
  forget_channels();
  ftdi_context* ctx = ftdi_new();
  if (ctx == nullptr) return FT_INSUFFICIENT_RESOURCES;
  ftdi_device_list* list = nullptr;
  // Vendor and product 0: every bridge of the known FTDI product IDs.
  const int found = ftdi_usb_find_all(ctx, &list, 0, 0);
  for (ftdi_device_list* d = list; found > 0 && d != nullptr; d = d->next) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(d->dev, &descriptor) != 0) continue;
    char manufacturer[128] = {}, description[128] = {}, serial[128] = {};
    ftdi_usb_get_strings(ctx, d->dev, manufacturer, sizeof manufacturer, description,
                         sizeof description, serial, sizeof serial);
    const int channels = channels_of(descriptor.idProduct);
    libusb_ref_device(d->dev);
    for (int c = 0; c < channels; ++c) {
      Channel ch{d->dev, c, location_of(d->dev, c), serial, description};
      if (channels > 1) {
        ch.serial += static_cast<char>('A' + c);
        ch.description += std::string(" ") + static_cast<char>('A' + c);
      }
      g_channels.push_back(ch);
    }
  }
  if (list != nullptr) ftdi_list_free(&list);
  ftdi_free(ctx);
  if (lpdwNumDevs) *lpdwNumDevs = static_cast<DWORD>(g_channels.size());
  // No USB access at all (no bus, no permission) lists no device, as an empty bus does.
  return FT_OK;
}

FT_STATUS FT_API FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType,
                                        LPDWORD lpdwID, LPDWORD lpdwLocId, LPVOID lpSerialNumber,
                                        LPVOID lpDescription, FT_HANDLE* pftHandle) {
  if (dwIndex >= g_channels.size()) return FT_DEVICE_NOT_FOUND;
  const Channel& c = g_channels[dwIndex];
  Handle* open = nullptr;
  for (const auto& h : g_handles) {
    if (h->open && h->location == c.location) open = h.get();
  }
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(c.device, &descriptor);
  if (lpdwFlags) *lpdwFlags = open ? FT_FLAGS_OPENED : 0;
  if (lpdwType) *lpdwType = descriptor.idProduct == 0x6011 ? 7 : 6;
  if (lpdwID) *lpdwID = static_cast<DWORD>(descriptor.idVendor) << 16 | descriptor.idProduct;
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
  if (g_channels.empty()) {
    DWORD n = 0;
    FT_CreateDeviceInfoList(&n);
  }
  for (const Channel& c : g_channels) {
    if (c.location != location) continue;
    for (const auto& h : g_handles) {
      if (h->open && h->location == location) return FT_DEVICE_NOT_OPENED;
    }
    auto handle = std::make_unique<Handle>();
    handle->ctx = ftdi_new();
    if (handle->ctx == nullptr) return FT_INSUFFICIENT_RESOURCES;
    if (ftdi_set_interface(handle->ctx, static_cast<ftdi_interface>(INTERFACE_A + c.index)) < 0 ||
        ftdi_usb_open_dev(handle->ctx, c.device) < 0) {
      ftdi_free(handle->ctx);
      return FT_DEVICE_NOT_OPENED;
    }
    handle->location = location;
    handle->open = true;
    handle->rx.reserve(1 << 17);
    *pHandle = handle.get();
    g_handles.push_back(std::move(handle));
    return FT_OK;
  }
  return FT_DEVICE_NOT_FOUND;
}

FT_STATUS FT_API FT_Close(FT_HANDLE ftHandle) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  ftdi_usb_close(h->ctx);
  ftdi_free(h->ctx);
  h->ctx = nullptr;
  h->open = false;
  h->rx.clear();
  h->head = 0;
  return FT_OK;
}

FT_STATUS FT_API FT_ResetDevice(FT_HANDLE ftHandle) {
  Handle* h = handle_of(ftHandle);
  return h ? status_of(ftdi_usb_reset(h->ctx)) : kInvalidHandle;
}

FT_STATUS FT_API FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG in, ULONG out) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  const int a = ftdi_read_data_set_chunksize(h->ctx, in);
  const int b = ftdi_write_data_set_chunksize(h->ctx, out);
  return status_of(a < 0 ? a : b);
}

FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE ftHandle, DWORD, PVOID) {
  // Events are not used by the library (mask 0): nothing to set up.
  return handle_of(ftHandle) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS FT_API FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled,
                             UCHAR ErrorChar, UCHAR ErrorCharEnabled) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  const int a = ftdi_set_event_char(h->ctx, EventChar, EventCharEnabled);
  const int b = ftdi_set_error_char(h->ctx, ErrorChar, ErrorCharEnabled);
  return status_of(a < 0 ? a : b);
}

FT_STATUS FT_API FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  h->read_timeout_ms = ReadTimeout;
  h->ctx->usb_write_timeout = static_cast<int>(WriteTimeout);
  return FT_OK;
}

FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency) {
  Handle* h = handle_of(ftHandle);
  return h ? status_of(ftdi_set_latency_timer(h->ctx, ucLatency)) : kInvalidHandle;
}

FT_STATUS FT_API FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  int result = 0;
  if (Mask & FT_PURGE_RX) {
    h->rx.clear();
    h->head = 0;
    result = ftdi_tciflush(h->ctx);
  }
  if ((Mask & FT_PURGE_TX) && result >= 0) result = ftdi_tcoflush(h->ctx);
  return status_of(result);
}

FT_STATUS FT_API FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable) {
  Handle* h = handle_of(ftHandle);
  return h ? status_of(ftdi_set_bitmode(h->ctx, ucMask, ucEnable)) : kInvalidHandle;
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  Handle* h = handle_of(ftHandle);
  return h ? status_of(ftdi_set_baudrate(h->ctx, static_cast<int>(BaudRate))) : kInvalidHandle;
}

FT_STATUS FT_API FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD n, LPDWORD lpBytesWritten) {
  Handle* h = handle_of(ftHandle);
  if (lpBytesWritten) *lpBytesWritten = 0;
  if (h == nullptr) return FT_INVALID_HANDLE;
  const int written =
      ftdi_write_data(h->ctx, static_cast<const unsigned char*>(lpBuffer), static_cast<int>(n));
  if (written < 0) return FT_IO_ERROR;
  if (lpBytesWritten) *lpBytesWritten = static_cast<DWORD>(written);
  return FT_OK;
}

FT_STATUS FT_API FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD n, LPDWORD lpBytesReturned) {
  Handle* h = handle_of(ftHandle);
  if (lpBytesReturned) *lpBytesReturned = 0;
  if (h == nullptr) return FT_INVALID_HANDLE;
  // Waits up to the read time-out for all n bytes, as the vendor's driver does.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(h->read_timeout_ms);
  while (h->queued() < n) {
    if (pull(*h, n - h->queued()) != FT_OK) return FT_IO_ERROR;
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  const size_t moved = h->queued() < n ? h->queued() : n;
  if (moved) std::memcpy(lpBuffer, h->rx.data() + h->head, moved);
  h->head += moved;
  if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(moved);
  return FT_OK;
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  const FT_STATUS status = pull(*h, 65536);
  if (dwRxBytes) *dwRxBytes = static_cast<DWORD>(h->queued());
  return status;
}

FT_STATUS FT_API FT_GetBitMode(FT_HANDLE ftHandle, PUCHAR pucMode) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  return status_of(ftdi_read_pins(h->ctx, pucMode));
}

FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* pulModemStatus) {
  Handle* h = handle_of(ftHandle);
  if (h == nullptr) return FT_INVALID_HANDLE;
  unsigned short status = 0;
  const int result = ftdi_poll_modem_status(h->ctx, &status);
  if (pulModemStatus) *pulModemStatus = status;
  return status_of(result);
}

}  // extern "C"
