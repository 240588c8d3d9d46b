#include "tools/usb_access.h"

#include <libusb.h>

namespace tool {
namespace {

bool is_bridge(const libusb_device_descriptor& d) {
  return d.idVendor == 0x0403 && (d.idProduct == 0x6010 || d.idProduct == 0x6011);
}

std::string where(libusb_device* device) {
  return "bus " + std::to_string(libusb_get_bus_number(device)) + " device " +
         std::to_string(libusb_get_device_address(device));
}

}  // namespace

std::string usb_access_problems() {
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return "";
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  std::string problems;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || !is_bridge(descriptor)) continue;
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(list[i], &handle);
    if (opened == LIBUSB_ERROR_ACCESS) {
      problems += "\n  the USB bridge on " + where(list[i]) +
                  " may not be opened by this user: install the udev rule of the README"
                  " (then unplug and plug the board) or add the user to its group";
    } else if (opened == LIBUSB_ERROR_BUSY) {
      problems += "\n  the USB bridge on " + where(list[i]) + " is held by another program";
    } else if (opened == 0) {
      // Another program that has claimed a channel keeps the library from opening it. The
      // kernel's serial driver does not: the library detaches it.
      const int channels = descriptor.idProduct == 0x6011 ? 4 : 2;
      for (int channel = 0; channel < channels; ++channel) {
        if (libusb_kernel_driver_active(handle, channel) == 1) continue;
        const int claimed = libusb_claim_interface(handle, channel);
        if (claimed == 0) {
          libusb_release_interface(handle, channel);
        } else if (claimed == LIBUSB_ERROR_BUSY) {
          problems += "\n  channel " + std::string(1, static_cast<char>('A' + channel)) +
                      " of the USB bridge on " + where(list[i]) + " is held by another program";
        }
      }
      libusb_close(handle);
    }
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  return problems;
}

}  // namespace tool
