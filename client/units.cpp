#include "client/units.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "vrx5200_analysis.h"

namespace client {

std::optional<double> parse_hertz(const std::string& text) {
  if (text.empty() || text.find_first_of(" \t\n") != std::string::npos) return std::nullopt;
  const char* begin = text.c_str();
  char* end = nullptr;
  double value = std::strtod(begin, &end);
  if (end == begin) return std::nullopt;
  std::string rest(end);
  if (!rest.empty()) {
    // The prefix, then the unit, both optional.
    switch (rest[0]) {
      case 'k':
      case 'K':
        value *= 1e3;
        rest.erase(0, 1);
        break;
      case 'M':
        value *= 1e6;
        rest.erase(0, 1);
        break;
      case 'G':
        value *= 1e9;
        rest.erase(0, 1);
        break;
      default:
        break;
    }
  }
  if (!rest.empty() && rest != "Hz" && rest != "hz") return std::nullopt;
  if (!std::isfinite(value) || value <= 0) return std::nullopt;
  return value;
}

std::string format_hertz(double hz) {
  const char* unit = "Hz";
  double v = hz;
  if (std::fabs(hz) >= 1e9) {
    v = hz / 1e9;
    unit = "GHz";
  } else if (std::fabs(hz) >= 1e6) {
    v = hz / 1e6;
    unit = "MHz";
  } else if (std::fabs(hz) >= 1e3) {
    v = hz / 1e3;
    unit = "kHz";
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6g %s", v, unit);
  return buffer;
}

namespace {

// The windows' names, as the tool, the Python package and the server's requests spell them.
struct WindowName {
  const char* name;
  int32_t id;
};
constexpr WindowName kWindowNames[] = {
    {"rectangular", VRX5200_WINDOW_RECTANGULAR},
    {"hann", VRX5200_WINDOW_HANN},
    {"blackmanharris", VRX5200_WINDOW_BLACKMAN_HARRIS_4},
    {"blackmanharris7", VRX5200_WINDOW_BLACKMAN_HARRIS_7},
};

}  // namespace

std::optional<int32_t> window_named(const std::string& name) {
  for (const WindowName& w : kWindowNames) {
    if (name == w.name) return w.id;
  }
  return std::nullopt;
}

const char* window_name(int32_t window) {
  for (const WindowName& w : kWindowNames) {
    if (window == w.id) return w.name;
  }
  return "";
}

std::string window_names(const char* separator) {
  std::string names;
  for (const WindowName& w : kWindowNames)
    names += (names.empty() ? "" : separator) + std::string(w.name);
  return names;
}

}  // namespace client
