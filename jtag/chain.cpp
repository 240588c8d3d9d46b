// The chain scan: entries looked up in the device table, the chain proved through the bypass
// registers, then every device's IDCODE compared with the expected one.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "jtag/jtag.h"
#include "jtag/tables.h"

namespace vrx::jtag {

Chain g_chain;
int g_family = 0;

bool add_entry(char action, const char* name) {
  if (g_chain.count >= kMaxChain) return false;
  ChainEntry& e = g_chain.entries[++g_chain.count];
  e = ChainEntry{};
  e.action = action;
  std::strncpy(e.name, name, sizeof e.name - 1);
  return true;
}

int find_device(const char* name) {
  for (int row = 0; row < kDeviceCount; ++row) {
    if (std::strcmp(kDevices[row].name, name) == 0) return row;
  }
  return -1;
}

int family_of(int row) {
  int family = 0;
  for (int f = 0; f < kFamilyCount; ++f) {
    if (kFamilies[f].first_row <= row) family = f;
  }
  return family;
}

void device_lookup() {
  const int n = g_chain.count;
  ChainEntry& e = g_chain.entries[n];
  const int row = find_device(e.name);
  bool supported = false;
  if (row >= 0) {
    const DeviceRow& d = kDevices[row];
    e.ir_length = d.ir_length;
    supported = d.idcode != 0 && d.boundary_length != 0 && d.status_position != 0;
    if (supported) {
      e.idcode = d.idcode;
      e.boundary_length = d.boundary_length;
      e.status_position = d.status_position;
      g_family = family_of(row);
      std::printf("Info: family: %s(%d)\n", kFamilies[g_family].name, g_family + 1);
    } else {
      std::printf("Warning: Device #%d not supported! Bypassed!\n", n);
    }
  }
  if (!supported) {
    e.idcode = 0;
    e.boundary_length = 0;
    e.status_position = 0;
    e.action = 'B';
  }
}

int instruction_scan_check(uint32_t code) {
  if (g_port.tap != kReset && g_port.tap != kIdle) return_to_idle();
  for (int level : {0, 1, 1, 0, 0}) tms_clock(level);
  for (int p = 0; p < g_chain.count; ++p) {
    // Every device of the table captures 01 0101 0101 into its instruction register.
    const uint32_t captured =
        bit_shift(g_chain.entries[p + 1].ir_length, code, p == g_chain.count - 1);
    if (captured != 0x155) {
      std::fprintf(stderr, "Error: JTAG chain broken!\nError: Bits unloaded: 0x%X\n", captured);
      return 1;
    }
  }
  tms_clock(1);
  tms_clock(1);
  return 0;
}

bool bypass_pattern_ok(uint32_t v, int count) {
  int zeros = 0;
  while (zeros < count && ((v >> zeros) & 1) == 0) ++zeros;
  return zeros == count && (v >> count) == 0x55;
}

int verify_chain() {
  const int count = g_chain.count;
  tap_reset();
  if (instruction_scan_check(kBypass) != 0) return 1;
  enter_shift_dr();
  // Each bypass register captures 0: a good chain returns `count` zeros, then the pattern.
  if (!bypass_pattern_ok(bit_shift(count + 8, 0x55, false), count)) {
    std::fprintf(stderr, "Error: JTAG chain broken or #device in chain unmatch!\n");
    return 1;
  }
  std::printf("Info: Detected %d device(s) in chain...\n", count);
  leave_shift_dr();
  if (instruction_scan_check(kIdcode) != 0) return 1;
  enter_shift_dr();
  bool mismatch = false;
  // The first 32 bits out of TDO belong to the entry next to TDO.
  for (int e = count; e >= 1; --e) {
    const uint32_t id = bit_shift(32, 0, false);
    const uint32_t expected = g_chain.entries[e].idcode;
    if (expected == 0) {
      std::printf("Info: Dev%d: Non-Altera: 0x%X\n", e, id);
    } else if (id == expected) {
      std::printf("Info: Dev%d: Altera: 0x%X\n", e, id);
    } else {
      std::fprintf(stderr, "Error: Expected 0x%X but detected 0x%X!\n", expected, id);
      mismatch = true;
    }
  }
  leave_shift_dr();
  return_to_idle();
  return mismatch ? 1 : 0;
}

}  // namespace vrx::jtag
