// The values of the tool's options that CLI11 takes as text: whole numbers in decimal or 0x hex,
// lists of them, rates in hertz and the read-back's bit operations. A value that cannot be used
// fails with the command-line exit code and says what is expected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

// A whole number from `min` to `max`, decimal or 0x hex.
long parse_number(const std::string& text, const char* what, long min, long max);

// Comma-separated whole numbers of 32 bits, decimal or 0x hex.
std::vector<int32_t> parse_list(const std::string& text, const char* what);

// A positive rate in Hz, with k, M or G.
double parse_rate(const std::string& text);

// The bit operations of the file read-back: "code:operand,..." with the codes 0 to 4 or their
// names.
void parse_ops(const std::string& text, std::vector<int32_t>& codes,
               std::vector<int32_t>& operands);

}  // namespace tool
