// The server's small shared helpers: the monotonic clock its time-outs and intervals are kept
// on, and ASCII lower case for header names and origins.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace server {

// Milliseconds on the monotonic clock: for time-outs and intervals, never for dates.
inline int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ASCII letters in lower case; other bytes as they are (no locale).
inline std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

}  // namespace server
