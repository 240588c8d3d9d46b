#include "platform/location.h"

#include <algorithm>

namespace platform {

uint32_t LocationTable::of(uint8_t bus, const std::vector<uint8_t>& path, int channel) {
  const bool fits = bus < 0xFF && path.size() <= 5 &&
                    std::all_of(path.begin(), path.end(), [](uint8_t p) { return p < 16; });
  const uint32_t low = static_cast<uint32_t>(channel + 1) & 0xF;
  if (fits) {
    uint32_t packed = 0;
    for (uint8_t p : path) packed = packed << 4 | p;
    return static_cast<uint32_t>(bus) << 24 | packed << 4 | low;
  }
  std::vector<uint8_t> key{bus};
  key.insert(key.end(), path.begin(), path.end());
  auto it = std::find(wide_.begin(), wide_.end(), key);
  if (it == wide_.end()) it = wide_.insert(it, key);
  return 0xFFu << 24 | static_cast<uint32_t>(it - wide_.begin()) << 4 | low;
}

}  // namespace platform
