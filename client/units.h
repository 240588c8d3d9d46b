// Rates in hertz as users write them (250M, 1.5G, 100e6, 25kHz) and frequencies as the tool
// prints them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace client {

// A positive, finite number of hertz: a decimal number with an optional k, M or G and an optional
// "Hz" ("250M", "250MHz", "2.5e8"). Nothing otherwise.
std::optional<double> parse_hertz(const std::string& text);

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
