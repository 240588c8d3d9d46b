// What a capture writes and how much of it: the output formats (raw, CSV, NumPy .npy, SigMF), the
// number of samples the read-back's lane list lets through, the checked writer of the samples, and
// the capture file that a failure cannot destroy.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/atomic_file.h"

namespace client {

// kSigmf: a recording, NAME.sigmf-data (the raw words) and NAME.sigmf-meta (client/sigmf.h).
enum class Format { kRaw, kCsv, kNpy, kSigmf };

// "raw", "csv", "npy" or "sigmf".
std::optional<Format> format_named(const std::string& name);
const char* format_name(Format f);
// The format of an output path when none is asked for: by its extension (.csv, .npy,
// .sigmf-meta and .sigmf-data, in any case), else raw.
Format format_of_path(const std::string& path);

// Why a lane list cannot be used (empty when it can): entries 0 to 15, the non-zero entries 1 to
// K each once.
std::string lane_list_problem(const std::vector<int32_t>& lanes);

// A lane list as text ("1,2,0,3"): its entries into `lanes`, and why it cannot be used (the
// sentence names the list; empty when it can).
std::string parse_lane_list(const std::string& text, std::vector<int32_t>& lanes);

// The read-back's bit operations as text, code:operand,... with the codes 0 to 4 or their names
// (shift, xor, and, or, not): into codes and operands (NOT's operand, which it ignores, may be
// left out), and why they cannot be used (empty when they can). A shift moves right for a
// positive count and left for a negative one (-15 to 15); the others take a 16-bit mask.
std::string parse_bit_ops(const std::string& text, std::vector<int32_t>& codes,
                          std::vector<int32_t>& operands);

// The samples a read-back call delivers for the samples it read, as the lane list keeps and
// frames them: every call's lane phase starts at its first sample, the kept samples join the
// incomplete frame left by the call before, and only complete frames come out.
class LaneCounter {
 public:
  explicit LaneCounter(const std::vector<int32_t>& lanes);
  size_t output_for(size_t read);
  // The output of a whole capture of `samples` samples, read in blocks of `block`.
  static size_t capture_output(const std::vector<int32_t>& lanes, int64_t samples, int64_t block);
  // The output is evenly spaced in time at the capture rate divided by this; 0 when it is not
  // (reordered or unevenly kept lanes, or a lane phase that restarts at every block).
  static int32_t decimation(const std::vector<int32_t>& lanes, int64_t block);

 private:
  std::vector<int32_t> lanes_;
  size_t kept_per_frame_ = 0;
  size_t carry_ = 0;
};

// The .npy header (format 1.0) of `count` 16-bit little-endian samples: '<u2' in offset binary,
// '<i2' in two's complement; padded to `length` bytes when that is longer (a header rewritten in
// place keeps its length).
std::string npy_header(bool offset_binary, size_t count, size_t length = 0);

// Writes samples to an open stream in a format; every write is checked. On failure the writer
// keeps errno of the failing call and refuses further writes.
class SampleWriter {
 public:
  SampleWriter(std::FILE* out, Format format, bool offset_binary)
      : out_(out), format_(format), offset_binary_(offset_binary) {}
  bool write_header(size_t count);
  bool write(const uint16_t* samples, size_t n);

 private:
  std::FILE* out_;
  Format format_;
  bool offset_binary_;
  std::string text_;
};

// A capture's samples on their way to a file or a stream: written through an AtomicFile, so that
// the target changes only when the capture is complete (commit), or, when asked, a partial capture
// is kept under its own name with a header that claims only the samples it holds. A SigMF
// recording is two files committed together, its metadata made at the end from the samples
// (kept in memory for it) by the maker given; a partial one is NAME.partial.sigmf-data and
// NAME.partial.sigmf-meta, the metadata of the samples kept.
class CaptureFile {
 public:
  // The metadata of the samples written (`partial`: of a capture that did not complete).
  using MetaMaker = std::function<std::string(const uint16_t* samples, size_t count, bool partial)>;
  CaptureFile(Format format, bool offset_binary, MetaMaker meta = {})
      : format_(format), offset_binary_(offset_binary), meta_maker_(std::move(meta)) {}
  // Opens the output and writes the header of `expected` samples. False with `error` set. A
  // recording's target is its name, with or without a .sigmf-meta or .sigmf-data suffix.
  bool open(const std::string& target, size_t expected, std::string& error);
  // False when the write failed (errno kept); no further write is made then.
  bool write(const uint16_t* samples, size_t n);
  size_t written() const { return written_; }
  bool in_place() const { return file_.in_place(); }
  bool commit(std::string& error);
  // Keeps the samples written so far under partial_name() of the target; `name` is set to it.
  // False with `error` set when they cannot be kept: written in place, or a write failed.
  bool keep_partial(std::string& name, std::string& error);
  void discard() {
    file_.discard();
    meta_.discard();
  }

 private:
  // Writes the recording's metadata of the samples written and commits both files.
  bool commit_recording(bool partial, std::string& error);
  AtomicFile file_;
  AtomicFile meta_;  // a recording's metadata
  Format format_;
  bool offset_binary_;
  MetaMaker meta_maker_;
  std::vector<uint16_t> kept_;          // a recording's samples, for its metadata
  std::optional<SampleWriter> writer_;  // once open
  std::string target_;                  // as the caller named it
  size_t header_length_ = 0;
  size_t written_ = 0;
  bool failed_ = false;
};

}  // namespace client
