#include "tools/arguments.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "client/units.h"
#include "tools/failure.h"

namespace tool {

long parse_number(const std::string& text, const char* what, long min, long max) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) {
    fail(std::string("bad ") + what + ": \"" + text + "\" (" + std::to_string(min) + " to " +
             std::to_string(max) + ", decimal or 0x hex)",
         kExitUsage);
  }
  return v;
}

std::vector<int32_t> parse_list(const std::string& text, const char* what) {
  std::vector<int32_t> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
      fail(std::string("bad ") + what + ": \"" + text + "\"", kExitUsage);
    }
    out.push_back(static_cast<int32_t>(v));
  }
  return out;
}

double parse_rate(const std::string& text) {
  const std::optional<double> hz = client::parse_hertz(text);
  if (!hz) {
    fail("bad rate: \"" + text + "\" (a positive number of Hz, with k, M or G: 250M, 1.2G, 2.5e8)",
         kExitUsage);
  }
  return *hz;
}

void parse_ops(const std::string& text, std::vector<int32_t>& codes,
               std::vector<int32_t>& operands) {
  static const char* const kNames[] = {"shift", "xor", "and", "or", "not"};
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t colon = item.find(':');
    const std::string name = item.substr(0, colon);
    int32_t code = -1;
    for (int32_t k = 0; k < 5; ++k) {
      if (name == kNames[k] || name == std::to_string(k)) code = k;
    }
    if (code < 0) {
      fail("bad bit operation \"" + item +
               "\": the codes are 0 shift, 1 xor, 2 and, 3 or, 4 not (code:operand)",
           kExitUsage);
    }
    if (colon == std::string::npos && code != 4) {
      fail("bad bit operation \"" + item + "\": give its operand (code:operand)", kExitUsage);
    }
    const std::string operand = colon == std::string::npos ? "0" : item.substr(colon + 1);
    // Shifts move right for a positive count and left for a negative one; the others take a
    // 16-bit mask; NOT takes none.
    const long value = code == 0   ? parse_number(operand, "shift count", -15, 15)
                       : code == 4 ? parse_number(operand, "operand", LONG_MIN, LONG_MAX)
                                   : parse_number(operand, "operand", 0, 0xFFFF);
    codes.push_back(code);
    operands.push_back(code == 4 ? 0 : static_cast<int32_t>(value));
  }
}

}  // namespace tool
