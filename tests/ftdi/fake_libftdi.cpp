#include "fake_libftdi.h"

#include <ftdi.h>
#include <libusb.h>

#include <cstdio>
#include <cstring>
#include <string>

// The device objects of the fake bus (an incomplete type for the library's callers).
struct libusb_device {
  int index;
  int refs;
};

namespace fake {

Bus& bus() {
  static Bus b;
  return b;
}

namespace {
std::vector<libusb_device> g_devices(16);
void log(const std::string& s) {
  bus().calls.push_back(s);
}
}  // namespace

void reset() {
  bus() = Bus{};
}

}  // namespace fake

using fake::bus;

extern "C" {

ftdi_context* ftdi_new(void) {
  return new ftdi_context{};
}
void ftdi_free(ftdi_context* ftdi) {
  delete ftdi;
}

int ftdi_set_interface(ftdi_context*, enum ftdi_interface interface) {
  fake::log("ftdi_set_interface " + std::to_string(static_cast<int>(interface)));
  return 0;
}

int ftdi_usb_find_all(ftdi_context*, ftdi_device_list** devlist, int, int) {
  if (bus().find_fails) return -3;
  ftdi_device_list* head = nullptr;
  for (int i = static_cast<int>(bus().bridges.size()) - 1; i >= 0; --i) {
    auto* node = new ftdi_device_list{head, &fake::g_devices[i]};
    fake::g_devices[i].index = i;
    head = node;
  }
  *devlist = head;
  return static_cast<int>(bus().bridges.size());
}

void ftdi_list_free(ftdi_device_list** devlist) {
  for (ftdi_device_list* d = *devlist; d != nullptr;) {
    ftdi_device_list* next = d->next;
    delete d;
    d = next;
  }
  *devlist = nullptr;
}

int ftdi_usb_get_strings(ftdi_context*, libusb_device* dev, char* manufacturer, int mnf_len,
                         char* description, int desc_len, char* serial, int serial_len) {
  const fake::Bridge& b = bus().bridges[dev->index];
  std::snprintf(manufacturer, mnf_len, "FTDI");
  std::snprintf(description, desc_len, "%s", b.description.c_str());
  std::snprintf(serial, serial_len, "%s", b.serial.c_str());
  return 0;
}

int ftdi_usb_open_dev(ftdi_context*, libusb_device* dev) {
  fake::log("ftdi_usb_open_dev " + std::to_string(dev->index));
  return 0;
}
int ftdi_usb_close(ftdi_context*) {
  fake::log("ftdi_usb_close");
  return 0;
}
int ftdi_usb_reset(ftdi_context*) {
  fake::log("ftdi_usb_reset");
  return 0;
}
int ftdi_read_data_set_chunksize(ftdi_context*, unsigned int chunksize) {
  fake::log("ftdi_read_data_set_chunksize " + std::to_string(chunksize));
  return 0;
}
int ftdi_write_data_set_chunksize(ftdi_context*, unsigned int chunksize) {
  fake::log("ftdi_write_data_set_chunksize " + std::to_string(chunksize));
  return 0;
}
int ftdi_set_event_char(ftdi_context*, unsigned char c, unsigned char enable) {
  fake::log("ftdi_set_event_char " + std::to_string(c) + " " + std::to_string(enable));
  return 0;
}
int ftdi_set_error_char(ftdi_context*, unsigned char c, unsigned char enable) {
  fake::log("ftdi_set_error_char " + std::to_string(c) + " " + std::to_string(enable));
  return 0;
}
int ftdi_set_latency_timer(ftdi_context*, unsigned char latency) {
  fake::log("ftdi_set_latency_timer " + std::to_string(latency));
  return 0;
}
int ftdi_tciflush(ftdi_context*) {
  fake::log("ftdi_tciflush");
  return 0;
}
int ftdi_tcoflush(ftdi_context*) {
  fake::log("ftdi_tcoflush");
  return 0;
}
int ftdi_set_bitmode(ftdi_context*, unsigned char mask, unsigned char mode) {
  fake::log("ftdi_set_bitmode " + std::to_string(mask) + " " + std::to_string(mode));
  return 0;
}
int ftdi_set_baudrate(ftdi_context*, int baudrate) {
  fake::log("ftdi_set_baudrate " + std::to_string(baudrate));
  return 0;
}
int ftdi_write_data(ftdi_context*, const unsigned char* buf, int size) {
  bus().written.insert(bus().written.end(), buf, buf + size);
  return bus().write_result >= 0 ? bus().write_result : size;
}
int ftdi_read_data(ftdi_context*, unsigned char* buf, int size) {
  if (bus().reads.empty()) return 0;
  std::vector<uint8_t>& next = bus().reads.front();
  const int n = static_cast<int>(next.size()) < size ? static_cast<int>(next.size()) : size;
  std::memcpy(buf, next.data(), static_cast<size_t>(n));
  next.erase(next.begin(), next.begin() + n);
  if (next.empty()) bus().reads.pop_front();
  return n;
}
int ftdi_read_pins(ftdi_context*, unsigned char* pins) {
  *pins = static_cast<unsigned char>(bus().read_pins);
  return 0;
}
int ftdi_poll_modem_status(ftdi_context*, unsigned short* status) {
  *status = 0x6001;
  return 0;
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  std::memset(desc, 0, sizeof *desc);
  desc->idVendor = 0x0403;
  desc->idProduct = bus().bridges[dev->index].product;
  return 0;
}
int libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int len) {
  const std::vector<uint8_t>& p = bus().bridges[dev->index].ports;
  const int n = static_cast<int>(p.size()) < len ? static_cast<int>(p.size()) : len;
  std::memcpy(ports, p.data(), static_cast<size_t>(n));
  return n;
}
uint8_t libusb_get_bus_number(libusb_device* dev) {
  return bus().bridges[dev->index].bus;
}
libusb_device* libusb_ref_device(libusb_device* dev) {
  ++dev->refs;
  return dev;
}
void libusb_unref_device(libusb_device* dev) {
  --dev->refs;
}

}  // extern "C"
