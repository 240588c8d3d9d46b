// The pattern path: DAC session, playback start with its address words and block plan, pattern
// upload, and the sample-file conversion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/state.h"

namespace vrx {

// ---- DAC session ----
// One row of the band table: the band value and the run length of each step channel A-E
// (0: the channel is not written).
struct DacBand {
  double low, high;
  bool high_inclusive;
  uint8_t band_value;
  int32_t runs[5];
};
double dac_rate(const DAC_Session_Params& p);
const DacBand& dac_band(double k);
// Step codes of channels A-E in pass 1 (pass 2 adds 0x04).
constexpr uint8_t kDacChannelCode[5] = {0x1A, 0x5A, 0x7A, 0x4A, 0x8A};

// ---- playback start ----
constexpr uint32_t kPatternBlock = 63448;                    // words per upload block
constexpr uint32_t kMaxPatternWords = uint32_t{1} << 29;     // the 3-bit bank field's reach
constexpr int32_t kMaxStartOffset = (int32_t{1} << 18) - 1;  // the 6 row bits sent of the start

// Bank, row and column of a DDR address word (bank 3 bits, row 16 bits, column 10 bits).
struct DdrAddress {
  int64_t bank, row, column;
  uint32_t word() const {
    return static_cast<uint32_t>((bank & 7) << 26 | (row & 0xFFFF) << 10 | (column & 0x3FF));
  }
};
// The address of the last complete 32-byte burst of a pattern of `length` words; false when the
// length gives no valid address.
bool end_address(uint32_t length, DdrAddress& out);
// The address of the first burst at a start offset (bytes, rounded down to 32); false when the
// offset gives no valid address.
bool start_address(int32_t offset, DdrAddress& out);
// The upload's block plan for a pattern of `length` words.
void plan_blocks(uint32_t length, int32_t& block_count, int32_t& last_block_size);

// The playback start. With `whole_pattern` (the one-call upload, whose pattern is the whole
// pattern) the upload cursor goes back to the pattern's first word once the checks have passed.
int32_t start_playback(uint32_t length, int32_t start_offset, bool whole_pattern = false);

// ---- upload ----
// The upload cursor: the byte offset into the caller's pattern (array or file) of the next block.
// Only the DAC session configuration sets it to 0; every block advances it.
extern uint64_t g_upload_cursor;
// Where the cursor stood at the latest playback start: the first byte of the section of the
// pattern that playback plays. A block that fails takes the cursor back there, so the next
// upload sends the section again from its first word.
extern uint64_t g_section_start;
// Splits n pattern words (byte pairs) into the first bytes and the second bytes.
void deinterleave(const uint8_t* words, uint32_t n, uint8_t* first, uint8_t* second);

// ---- sample-file conversion ----
constexpr int32_t kMaxLaneMap = 5120;
constexpr int32_t kMaxColumns = 10;
constexpr size_t kLineLimit = 80;  // line buffer of the reader, terminator included

// The separator characters of a conversion, with the character classes the line parser needs:
// a delimiter is only a delimiter, whatever else the character is.
struct Delimiters {
  // Classes below kDelimiter belong to a token; kEnd marks the end of the line (a NUL).
  enum : uint8_t { kOther = 0, kDigit = 1, kSpace = 2, kSign = 3, kDelimiter = 4, kEnd = 5 };
  uint8_t cls[256] = {};  // '\n' and NUL read as kEnd: a line's last character, or its end
  bool newline_is_delimiter = false;
  bool digits_plain = true;  // no digit is a delimiter
  explicit Delimiters(const char* set);
  bool is(char c) const { return cls[static_cast<unsigned char>(c)] == kDelimiter; }
};
// Parses the line that starts at `line`, of which `span` characters are at hand (at most 79 are
// read): it ends after its first '\n' or after 79 characters. Fills row[0 .. columns-1]
// (columns >= 2): the first token, then the following tokens, 0 once the line runs out of them.
// A value is the token's leading decimal integer after optional white space and sign (0 without
// digits). `token` tells whether the line holds any token. Returns the line's length.
size_t parse_line(const char* line, size_t span, const Delimiters& delimiters, int32_t columns,
                  int32_t* row, bool& token);
int32_t convert_samples(const char* input, const char* delimiters, const char* output_dir,
                        const int32_t* multipliers, const int32_t* lane_map, int32_t lane_count,
                        int32_t column_count, bool offset_binary);

}  // namespace vrx
