// The values of the tool's options: whole numbers in decimal or 0x hex, lists of them, rates in
// hertz, decimal numbers and the read-back's bit operations. A value that cannot be used fails
// with the command-line exit code and says what is expected.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

// A whole number from `min` to `max`, decimal or 0x hex.
long parse_number(const std::string& text, const char* what, long min, long max);

// Comma-separated whole numbers of 32 bits, decimal or 0x hex.
std::vector<int32_t> parse_list(const std::string& text, const char* what);

// A rate in Hz, with k, M or G: 1 Hz to 100 GHz.
double parse_rate(const std::string& text);

// The bit operations of the file read-back: "code:operand,..." with the codes 0 to 4 or their
// names.
void parse_ops(const std::string& text, std::vector<int32_t>& codes,
               std::vector<int32_t>& operands);

// Makes the parser as strict about the numbers it converts itself (the options of whole and of
// decimal numbers, in `app` and its subcommands) as the functions above: whole numbers in
// decimal or 0x hex (no octal; no sign for a count), decimal numbers finite (no infinity, NaN or
// hexadecimal), nothing trailing.
void make_numbers_strict(CLI::App& app);

}  // namespace tool
