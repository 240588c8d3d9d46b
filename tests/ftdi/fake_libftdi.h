// A fake USB layer for the libftdi1 driver's tests: the libftdi1 and libusb functions the driver
// calls, over a bus of bridges that a test builds, with every call recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake {

struct Bridge {
  uint8_t bus = 1;
  std::vector<uint8_t> ports = {1};
  uint16_t product = 0x6011;  // FT4232H
  std::string description = "VRX5200 EVM";
  std::string serial = "FT000001";
};

struct Bus {
  std::vector<Bridge> bridges;
  bool find_fails = false;
  std::vector<std::string> calls;          // "ftdi_set_bitmode 251 4", ...
  std::deque<std::vector<uint8_t>> reads;  // what successive ftdi_read_data calls deliver
  std::vector<uint8_t> written;
  int write_result = -1;  // -1: everything written
  int read_pins = 0xA5;
};

Bus& bus();
void reset();

}  // namespace fake
