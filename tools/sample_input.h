// Samples of a capture file as analyze reads them: raw 16-bit little-endian words, CSV (one
// decimal per line), .npy, which is known by its magic string whatever its name (a pipe or
// standard input too), or a SigMF recording (NAME.sigmf-meta, NAME.sigmf-data or a .sigmf
// archive, by the suffix in any case or by -O sigmf) with its sample rate. A file is read whole or
// refused with the file exit code: a .npy header that claims other data than follows it, a 2-D
// array without a column named, a type that holds no samples, complex samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct Samples {
  // 16-bit words (VRX5200_SAMPLES_UINT16: '<i2' and '<u2' .npy, raw, CSV), or values in codes
  // (VRX5200_SAMPLES_DOUBLE: .npy of floats or of 32-bit integers).
  int32_t type = 0;
  std::vector<uint16_t> words;
  std::vector<double> values;
  bool unsigned_words = false;  // a '<u2' .npy file, a ru16_le or ru8 recording: offset binary
                                // unless told
  double rate_hz = 0;           // a recording's sample rate (0: none given)
  bool evenly_spaced = true;    // false: a recording says its samples are unevenly spaced
  int32_t bits = 0;             // the bits its type holds when they are few (ri8, ru8), else 0
  bool fractions = false;       // values in fractions of full scale (a recording's rf32, rf64)
  size_t size() const;
  // Values in fractions of full scale as codes of a `bits`-bit converter.
  void scale_fractions(int32_t bits);
  const void* data() const;
  // Samples [first, first + count) as a record of their own.
  Samples slice(size_t first, size_t count) const;
};

// The samples of `path` ("-": standard input) in `format` (raw, csv, npy or sigmf; empty: npy for
// a file that starts as one, else by the extension). `column` (-1: none) picks a column of a 2-D
// .npy array, which is refused without one.
Samples read_samples(const std::string& path, const std::string& format, long column);

}  // namespace tool
