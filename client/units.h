// Rates in hertz as users write them (250M, 1.5G, 100e6, 25kHz) and frequencies as the tool
// prints them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace client {

// A positive number of hertz: a decimal number (digits, an optional fraction, an optional
// exponent) with an optional k, M or G and an optional "Hz" ("250M", "250MHz", "2.5e8"). Nothing
// otherwise: no sign, space, hexadecimal, infinity or NaN, nothing after the unit.
std::optional<double> parse_hertz(const std::string& text);

// The rates a board or a capture can have: 1 Hz to 100 GHz.
constexpr double kLowestRateHz = 1, kHighestRateHz = 100e9;
// parse_hertz() within the rates a board or a capture can have. Nothing otherwise.
std::optional<double> parse_rate_hz(const std::string& text);

// A decimal number as users write it ("-3", "0.5", "1e-3"), finite. Nothing otherwise: no
// hexadecimal, infinity, NaN, spaces or trailing characters.
std::optional<double> parse_decimal(const std::string& text);

// A whole number in decimal (leading zeros are decimal too) or 0x hexadecimal, with a leading '-'
// for negative decimal numbers, within the 64-bit range. Nothing otherwise.
std::optional<long long> parse_whole(const std::string& text);

// A frequency with the prefix that suits it and six significant digits: "3.89478 MHz".
std::string format_hertz(double hz);

// The analysis window of a name users write (rectangular, hann, blackmanharris,
// blackmanharris7) as a VRX5200_WINDOW_ value. Nothing otherwise.
std::optional<int32_t> window_named(const std::string& name);
// The name of a window of the analysis core (empty for none).
const char* window_name(int32_t window);
// The windows' names in their order, with the separator between them.
std::string window_names(const char* separator);

}  // namespace client
