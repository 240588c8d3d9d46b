// Location IDs of the bridge channels on a Linux bus: stable while a bridge stays in its socket,
// and never the same for two sockets.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

class LocationTable {
 public:
  // Bus in bits 31-24, up to five 4-bit port numbers of the path from the root hub, channel + 1
  // in bits 3-0. A path that does not fit (deeper than five hubs, a port above 15, bus 255) gets
  // a number of its own under bus 0xFF instead, in the order such paths are first seen.
  uint32_t of(uint8_t bus, const std::vector<uint8_t>& path, int channel);

 private:
  std::vector<std::vector<uint8_t>> wide_;  // bus then path of each path that does not fit
};

}  // namespace platform
