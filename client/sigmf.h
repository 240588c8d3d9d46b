// Captures as SigMF recordings: NAME.sigmf-data holds the samples alone (ri16_le, or ru16_le for
// offset-binary codes), NAME.sigmf-meta describes them in JSON (the datatype, the rate when it is
// known, the board, the recorder, when it was taken) with the single-tone figures of the samples
// as an annotation in the "vrx5200" namespace; a SigMF archive (.sigmf) is a POSIX tar of
// NAME/NAME.sigmf-meta and NAME/NAME.sigmf-data. Recordings of other tools are read too: real
// samples of the common datatypes, one channel, a conforming dataset; anything else is refused
// with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "vrx5200_analysis.h"

namespace client {

// The SigMF version the metadata follows.
constexpr const char* kSigmfVersion = "1.2.0";

// What a path names by its suffix, in any case: a recording's metadata, its dataset, an archive,
// or none of them.
enum class SigmfPart { kNone, kMeta, kData, kArchive };
SigmfPart sigmf_part(const std::string& path);
// A recording's name: its path without .sigmf-meta or .sigmf-data (in any case); any other path
// as it is.
std::string sigmf_base(const std::string& path);

// What the metadata says of a capture beside its samples.
struct SigmfSource {
  bool offset_binary = false;
  double rate_hz = 0;  // 0: unknown (no core:sample_rate)
  std::string board;   // the serial key; empty: unknown
  int family_id = -1;  // -1: unknown
  int firmware_version = -1;
  std::string recorder;     // the program and its version
  int64_t taken_ms = 0;     // when the capture began, in ms since 1970 (0: unknown)
  std::string description;  // empty: said from the code format
  // False for a lane list that reorders lanes or keeps them unevenly: the meta then says so
  // (vrx5200:evenly_spaced false) and the annotation's spectral figures are withheld.
  bool evenly_spaced = true;
};

// Now, in ms since 1970.
int64_t now_ms();

// The metadata of `count` samples (16-bit words) as one JSON document. The annotation holds the
// figures of `vrx5200 analyze --json` with its defaults (16 bits, the capture's code format and
// rate, Blackman-Harris, 5 harmonics), or, when the analysis refuses the samples, the reason in
// core:comment instead. `analyzer` (of `count` samples, or null) is used for the analysis.
std::string sigmf_meta(const SigmfSource& source, const uint16_t* samples, size_t count,
                       VRX5200Analyzer* analyzer = nullptr);

// A SigMF archive of one recording NAME: a POSIX ustar of NAME/, NAME/NAME.sigmf-meta and
// NAME/NAME.sigmf-data (modified at `mtime`), padded to whole 10 KiB records.
std::string sigmf_archive(const std::string& name, const std::string& meta, const char* data,
                          size_t size, std::time_t mtime);

// A recording as read back: its datatype, rate and dataset.
struct SigmfRecording {
  std::string datatype;       // as the metadata gives it (lower case)
  double rate_hz = 0;         // 0: none given
  bool evenly_spaced = true;  // false: the meta says vrx5200:evenly_spaced false
  std::string data;           // the dataset's bytes
};

// Reads the recording `path` names: NAME.sigmf-meta or NAME.sigmf-data (the other file beside
// it), NAME itself with `by_name` (unless NAME is a file: then an archive), or a .sigmf archive
// of one recording ("-": an archive on
// standard input, `bytes` when given holds it already). False with `error` (a sentence that
// names the file) when it cannot be read or is not a recording the samples can be taken from:
// metadata that is not SigMF JSON, several channels, header or trailing bytes, another dataset
// file, an archive of no or several recordings.
bool read_sigmf(const std::string& path, bool by_name, SigmfRecording& out, std::string& error,
                const std::string* bytes = nullptr);

}  // namespace client
