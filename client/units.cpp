#include "client/units.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "vrx5200_analysis.h"

namespace client {

namespace {

// The length of the decimal number at the start of `s` (digits, an optional fraction, an optional
// exponent; a leading '-' when `sign`), 0 when there is none.
size_t decimal_length(const std::string& s, bool sign) {
  size_t i = sign && !s.empty() && s[0] == '-' ? 1 : 0;
  const size_t digits_from = i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  size_t digits = i - digits_from;
  if (i < s.size() && s[i] == '.') {
    const size_t fraction_from = ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    digits += i - fraction_from;
  }
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '-' || s[j] == '+')) ++j;
    const size_t exponent_from = j;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
    if (j > exponent_from) i = j;
  }
  return i;
}

}  // namespace

std::optional<double> parse_hertz(const std::string& text) {
  const size_t n = decimal_length(text, false);
  if (n == 0) return std::nullopt;
  double value = std::strtod(text.substr(0, n).c_str(), nullptr);
  std::string rest = text.substr(n);
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

std::optional<double> parse_rate_hz(const std::string& text) {
  const std::optional<double> hz = parse_hertz(text);
  if (!hz || *hz < kLowestRateHz || *hz > kHighestRateHz) return std::nullopt;
  return hz;
}

std::optional<double> parse_decimal(const std::string& text) {
  if (text.empty() || decimal_length(text, true) != text.size()) return std::nullopt;
  const double value = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<long long> parse_whole(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t from = hex ? 2 : !text.empty() && text[0] == '-' ? 1 : 0;
  if (from >= text.size()) return std::nullopt;
  for (size_t i = from; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!(hex ? std::isxdigit(c) : std::isdigit(c))) return std::nullopt;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, hex ? 16 : 10);
  if (errno == ERANGE) return std::nullopt;
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
