// Sample formats of the SoapySDR streams. Receive: the ADC code is the real part (CS16 as it is,
// CF32 scaled by 1/32768 to -1.0 .. +1.0) and the imaginary part is 0. Transmit: the real part
// becomes the DAC word (CF32 scaled by 32768, rounded, clipped); the imaginary part is not played.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vrxsoapy {

inline void codes_to_cs16(const uint16_t* codes, int16_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = static_cast<int16_t>(codes[i]);
    out[2 * i + 1] = 0;
  }
}

inline void codes_to_cf32(const uint16_t* codes, float* out, size_t n) {
  constexpr float kScale = 1.0f / 32768.0f;
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = static_cast<float>(static_cast<int16_t>(codes[i])) * kScale;
    out[2 * i + 1] = 0.0f;
  }
}

inline void cs16_to_words(const int16_t* in, uint16_t* words, size_t n) {
  for (size_t i = 0; i < n; ++i) words[i] = static_cast<uint16_t>(in[2 * i]);
}

// False (nothing usable written) when a real part is not a number.
inline bool cf32_to_words(const float* in, uint16_t* words, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float v = in[2 * i] * 32768.0f;
    if (std::isnan(v)) return false;
    const float clipped = v < -32768.0f ? -32768.0f : (v > 32767.0f ? 32767.0f : v);
    words[i] = static_cast<uint16_t>(static_cast<int16_t>(std::lround(clipped)));
  }
  return true;
}

}  // namespace vrxsoapy
