// Sample-file conversion: a text file of decimal samples, one or more columns per line, becomes
// the binary pattern file "/DAC_test.bin" in offset binary or two's complement, its bytes in the
// order of a lane map.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pattern/pattern.h"
#include "session/files.h"

namespace vrx {
namespace {

// The lines of one chunk (at most 512 x Lane_Count of them) as rows of up to 10 columns.
constexpr size_t kChunkLinesPerLane = 512;
int32_t g_row_store[kChunkLinesPerLane * kMaxLaneMap * kMaxColumns];
// Rows of `stride` columns, one after the other.
struct Rows {
  int32_t* values;
  size_t stride;
  int32_t* operator[](size_t i) const { return values + i * stride; }
};
// The input read ahead, with room past the data for the scans' reads of up to 32 bytes, and the
// output collected before it is written.
constexpr size_t kReadSize = 1 << 20;
char g_read_buffer[kReadSize + 32];
uint8_t g_write_buffer[1 << 16];

// ---- What a line is and what its tokens are worth ----
//
// A line starts where the previous one ended. Of the characters that follow, the reader offers
// `span`: 79, fewer only where the file ends. The line ends after its first '\n' within the span,
// or after the span, as a C library line reader with an 80-byte buffer reads: a longer physical
// line goes on as the next line. A line is complete when it ends with its '\n' or holds 79
// characters; a shorter one without '\n' ran into the end of the file and is not converted.
//
// Its tokens are taken from its text up to the first NUL, as the C library's string functions
// see it: runs of delimiter characters separate them, leading ones are skipped. The '\n' is the
// line's last character, whether it separates or belongs to a token. Column c (c < columns) of
// the line is the value of token c: the token's leading decimal integer after optional white
// space and an optional sign (0 without digits; values out of range wrap modulo 2^32), whatever
// else the token holds ignored. Once the line has run out of tokens, the columns read 0.
//
// line_length() and TokenScanner below are these rules; scan_line() reads a line with them, and
// scan_two_lines() two lines side by side.

// The leading decimal digits at p (up to 7 of them) and their value, eight bytes at a time.
// p[0..7] must be readable. Returns the number of digits; 8 means "8 or more", which the caller
// reads one by one.
__attribute__((always_inline)) inline size_t swar_digits(const char* p, uint32_t& value) {
  uint64_t chunk;
  std::memcpy(&chunk, p, 8);
  // A byte b is a digit when b ^ '0' is below 10, when adding 0x76 leaves its top bit clear. A
  // byte of 0x8A or more carries into the next one, which only follows the first non-digit.
  const uint64_t t = chunk ^ 0x3030303030303030ull;
  const uint64_t non_digit = ((t + 0x7676767676767676ull) | t) & 0x8080808080808080ull;
  if (non_digit == 0) return 8;
  const unsigned bit = static_cast<unsigned>(__builtin_ctzll(non_digit));  // 8 * digits + 7
  // The digits moved to the top bytes (leading zero digits below them; none at all without
  // digits), then combined pairwise.
  uint64_t v = (t << (70 - bit)) << 1;
  v = (v * 10) + (v >> 8);
  v = (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
       (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
      32;
  value = static_cast<uint32_t>(v);
  return bit / 8;
}

// The '\n' characters among p[0..31], as the bits of a mask.
__attribute__((always_inline)) inline uint32_t newline_bits(const char* p) {
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, newline))) |
         static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, newline))) << 16;
#else
  uint32_t bits = 0;
  for (unsigned at = 0; at < 32; at += 8) {
    uint64_t word;
    std::memcpy(&word, p + at, 8);
    const uint64_t x = word ^ 0x0A0A0A0A0A0A0A0Aull;  // '\n' bytes become 0
    // The top bit of each byte that is 0 (no carry crosses a byte), gathered into 8 bits.
    const uint64_t zero =
        ~(((x & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | x) & 0x8080808080808080ull;
    bits |= static_cast<uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56) << at;
  }
  return bits;
#endif
}

// The length of the line that starts `from` (below 32) characters into the 32 whose '\n's are
// `bits`, when it ends with a '\n' among them within its span; 0 otherwise.
__attribute__((always_inline)) inline size_t line_length_in(uint32_t bits, size_t from,
                                                            size_t span) {
  const uint32_t after = bits >> from;
  const size_t length = static_cast<size_t>(__builtin_ctz(after | 0x80000000u)) + 1;
  return after != 0 && length <= span ? length : 0;
}

// The line's length: up to its first '\n' within the span (then `newline` is set), or the span.
// The first 32 characters are searched at once (most lines are shorter), the rest by memchr.
// line[0..31] must be readable.
__attribute__((always_inline)) inline size_t line_length(const char* line, size_t span,
                                                         bool& newline) {
  const size_t length = line_length_in(newline_bits(line), 0, span);
  newline = length != 0;
  if (__builtin_expect(newline, 1)) return length;
  if (span <= 32) return span;
  const void* found = std::memchr(line + 32, '\n', span - 32);
  newline = found != nullptr;
  return newline ? static_cast<size_t>(static_cast<const char*>(found) - line) + 1 : span;
}

// The tokens of a line of `length` characters, read one column at a time. A line that ends with
// its '\n' needs no bounds checks (kChecked false): every scan stops at the '\n'.
// line[0 .. length+7] must be readable.
template <bool kChecked>
class TokenScanner {
 public:
  TokenScanner(const char* line, size_t length, const Delimiters& d)
      : p_(line), end_(line + length), d_(d) {}

  // Skips the leading delimiters; false when the line holds no token.
  __attribute__((always_inline)) bool start() {
    while (cls() == Delimiters::kDelimiter) ++p_;
    const bool at_newline = (!kChecked || p_ < end_) && *p_ == '\n';
    return at_newline ? !d_.newline_is_delimiter : cls() != Delimiters::kEnd;
  }
  // The next column's value plus `add` (0 once the tokens have run out). After the `last`
  // column the rest of the line is not needed.
  __attribute__((always_inline)) int32_t next(uint32_t add, bool last) {
    while (cls() == Delimiters::kSpace) ++p_;
    // A '-' that is no sign is a delimiter: p_ stays, and the value is 0 either way.
    const bool negative = *p_ == '-';
    p_ += cls() == Delimiters::kSign;
    uint32_t value = 0;
    const size_t n = d_.digits_plain ? swar_digits(p_, value) : 8;
    if (n < 8 && (!kChecked || n <= static_cast<size_t>(end_ - p_))) {
      p_ += n;
    } else {
      value = 0;
      while (cls() == Delimiters::kDigit) value = value * 10 + static_cast<uint32_t>(*p_++ - '0');
    }
    if (!last) {
      while (cls() < Delimiters::kDelimiter) ++p_;  // the rest of the token
      while (cls() == Delimiters::kDelimiter) ++p_;
    }
    const uint32_t sign = 0u - static_cast<uint32_t>(negative);
    return static_cast<int32_t>(((value ^ sign) - sign) + add);
  }

 private:
  // The class of the character at p_: the '\n' and a NUL end the text (kEnd), as does the end
  // of the line.
  __attribute__((always_inline)) uint8_t cls() const {
    return !kChecked || p_ < end_ ? d_.cls[static_cast<unsigned char>(*p_)]
                                  : uint8_t{Delimiters::kEnd};
  }

  const char* p_;
  const char* const end_;
  const Delimiters& d_;
};

// Columns 0 .. columns-1 of the tokens into row[]; false when the line holds no token.
// kColumns: the column count when compiled, or 0 for one given at run time.
template <int32_t kColumns, bool kChecked>
__attribute__((always_inline)) inline bool read_columns(TokenScanner<kChecked> tokens,
                                                        int32_t columns, int32_t* row,
                                                        uint32_t add) {
  if (kColumns != 0) columns = kColumns;
  const bool token = tokens.start();
  if constexpr (kColumns == 2) {
    row[0] = tokens.next(add, false);
    row[1] = tokens.next(add, true);
  } else {
    for (int32_t c = 0; c < columns; ++c) row[c] = tokens.next(add, c + 1 == columns);
  }
  return token;
}

struct LineScan {
  size_t length;  // characters the line takes, its '\n' included
  bool complete;  // ends with its '\n' or holds 79 characters
  bool token;     // holds a token (a line of delimiters only holds none)
};
// Reads the line at `line` into row[0 .. columns-1], each value plus `add`.
// line[0 .. max(span, 32) + 7] must be readable.
template <int32_t kColumns>
__attribute__((always_inline)) inline LineScan scan_line(const char* line, size_t span,
                                                         const Delimiters& d, int32_t columns,
                                                         int32_t* row, uint32_t add) {
  bool newline = false;
  LineScan scan{line_length(line, span, newline), false, false};
  scan.complete = newline || scan.length == kLineLimit - 1;
  scan.token =
      __builtin_expect(newline, 1)
          ? read_columns<kColumns>(TokenScanner<false>(line, scan.length, d), columns, row, add)
          : read_columns<kColumns>(TokenScanner<true>(line, scan.length, d), columns, row, add);
  return scan;
}

// Two lines that both end with their '\n', read as scan_line() reads them, column by column
// side by side: the two scans do not depend on each other, and the processor overlaps them.
// False when either line holds no token.
template <int32_t kColumns>
__attribute__((always_inline)) inline bool scan_two_lines(const char* first, size_t first_length,
                                                          const char* second, size_t second_length,
                                                          const Delimiters& d, int32_t columns,
                                                          int32_t* first_row, int32_t* second_row,
                                                          uint32_t add) {
  if (kColumns != 0) columns = kColumns;
  TokenScanner<false> a(first, first_length, d), b(second, second_length, d);
  const bool first_tokens = a.start();
  const bool second_tokens = b.start();
  if constexpr (kColumns == 2) {
    first_row[0] = a.next(add, false);
    second_row[0] = b.next(add, false);
    first_row[1] = a.next(add, true);
    second_row[1] = b.next(add, true);
  } else {
    for (int32_t c = 0; c < columns; ++c) {
      first_row[c] = a.next(add, c + 1 == columns);
      second_row[c] = b.next(add, c + 1 == columns);
    }
  }
  return first_tokens && second_tokens;
}

// ---- Reading and writing ----

// The input read ahead, a MiB at a time.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}

  // The characters not yet taken: at least 80 unless the file ends first (then all that are
  // left, none once all are taken).
  size_t window(const char*& data) {
    while (end_ - pos_ < kLineLimit && !drained_) refill();
    data = buffer_ + pos_;
    return end_ - pos_;
  }
  bool drained() const { return drained_; }
  void take(size_t n) { pos_ += n; }
  bool failed() const { return std::ferror(file_) != 0; }

 private:
  void refill() {
    std::memmove(buffer_, buffer_ + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    const size_t got = std::fread(buffer_ + end_, 1, kReadSize - end_, file_);
    end_ += got;
    if (got == 0) drained_ = true;
  }

  std::FILE* file_;
  char* buffer_ = g_read_buffer;
  size_t pos_ = 0, end_ = 0;
  bool drained_ = false;
};

// Output bytes collected before they are written, in large writes.
class Output {
 public:
  explicit Output(std::FILE* file) : file_(file) {}
  // Room for up to `count` records of `size` bytes (size at most the buffer's size), taken as
  // written; `count` becomes the number there is room for, at least 1.
  uint8_t* reserve(size_t size, size_t& count) {
    if (used_ + size > sizeof g_write_buffer) flush();
    const size_t room = (sizeof g_write_buffer - used_) / size;
    if (count > room) count = room;
    uint8_t* at = buffer_ + used_;
    used_ += count * size;
    return at;
  }
  bool flush() {
    if (used_ != 0 && std::fwrite(buffer_, 1, used_, file_) != used_) ok_ = false;
    used_ = 0;
    return ok_;
  }

 private:
  std::FILE* file_;
  uint8_t* buffer_ = g_write_buffer;
  size_t used_ = 0;
  bool ok_ = true;
};

// The pre-scan: a file with several columns must hold the first delimiter character in a line's
// text, as a line reader with an 80-byte buffer and the C string functions see it: a line ends
// after its '\n' or its 79th character, and its text ends at its first NUL. With an empty
// delimiter set the string's terminator is "found" in every line whose text is not empty. A
// one-column file is only opened. Returns 0 to go on, or the refusal.
int32_t prescan(const char* path, char first_delimiter, bool several_columns) {
  std::FILE* file = open_readable(path, "r");
  if (file == nullptr) return VRX5200_CONVERT_INPUT_OPEN_FAILED;
  bool found = !several_columns;
  char chunk[1 << 16];
  size_t got;
  size_t length = 0;   // characters of the current line so far
  bool ended = false;  // its text has met a NUL
  while (!found && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    for (size_t i = 0; i < got && !found; ++i) {
      const char c = chunk[i];
      if (!ended) {
        ended = c == '\0';
        found = !ended && (first_delimiter == '\0' || c == first_delimiter);
      }
      if (c == '\n' || ++length == kLineLimit - 1) {
        length = 0;
        ended = false;
      }
    }
  }
  const bool read_ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!read_ok) return VRX5200_CONVERT_FILE_IO;
  return found ? 0 : VRX5200_CONVERT_NOT_DELIMITED;
}

// The lane map: entry c > 0 picks the high byte, -c the low byte of column c (1 to 10). Every
// (column, byte) pick walks its own row counter through a chunk, so a map naming a pick m times
// reads m rows per pass. False for a map that names no column, or that would read past a chunk's
// lines.
bool check_lane_map(const int32_t* map, int32_t lanes, int32_t columns) {
  int32_t uses[2][kMaxColumns + 1] = {};
  for (int32_t i = 0; i < lanes; ++i) {
    const int32_t e = map[i];
    if (e == 0 || e < -kMaxColumns || e > kMaxColumns) return false;  // before any negation
    // passes = lines * columns * 2 / lanes, so m * passes <= lines while m * 2 * columns <= lanes.
    if (++uses[e > 0][e > 0 ? e : -e] * 2 * columns > lanes) return false;
  }
  return true;
}

// The input's lines, a chunk at a time, as rows of sample values.
class SampleReader {
 public:
  SampleReader(std::FILE* input, const char* delimiters, const int32_t* multipliers, bool scaled,
               int32_t columns, int32_t highest_pick, bool offset_binary)
      : reader_(input),
        delimiters_(delimiters),
        multipliers_(scaled ? multipliers : nullptr),
        // Column 2 is read even from a one-column file.
        parsed_columns_(columns < 2 ? 2 : columns),
        highest_pick_(highest_pick),
        offset_(offset_binary ? 0x8000u : 0u) {}

  // Reads up to `count` lines into rows[0 ..]: each line's columns, multiplied by the line's
  // multiplier in a scaled conversion, plus the offset. Columns past those read from the lines
  // hold 0. Returns the number of lines read: fewer than `count` once the conversion has ended,
  // at the end of the file or on a line without any token (result() is then -5).
  size_t read(Rows rows, size_t count) {
    // Unscaled values take their offset as they are parsed.
    const uint32_t add = multipliers_ != nullptr ? 0u : offset_;
    // Rows of two columns, the commonest, are read by code made for them.
    const size_t lines = parsed_columns_ == 2 && rows.stride == 2 ? read_lines<2>(rows, count, add)
                                                                  : read_lines<0>(rows, count, add);
    for (size_t i = 0; i < lines && multipliers_ != nullptr; ++i) {
      const uint32_t factor = static_cast<uint32_t>(multipliers_[(converted_ + i) % 4096]);
      for (int32_t c = 0; c < parsed_columns_; ++c) {
        rows[i][c] = static_cast<int32_t>(static_cast<uint32_t>(rows[i][c]) * factor + offset_);
      }
    }
    for (size_t i = 0; i < lines && highest_pick_ > parsed_columns_; ++i) {
      for (int32_t c = parsed_columns_; c < highest_pick_; ++c) rows[i][c] = 0;
    }
    converted_ += static_cast<int32_t>(lines);
    return lines;
  }
  // Lines converted, or VRX5200_CONVERT_EMPTY_LINE.
  int32_t result() const { return empty_line_ ? VRX5200_CONVERT_EMPTY_LINE : converted_; }
  bool failed() const { return reader_.failed(); }

 private:
  // The lines' columns as scan_line() and scan_two_lines() read them, plus `add`.
  template <int32_t kColumns>
  size_t read_lines(Rows rows, size_t count, uint32_t add) {
    if (kColumns != 0) rows.stride = kColumns;
    size_t lines = 0;
    while (lines < count && !ended_) {
      const char* data = nullptr;
      const size_t left = reader_.window(data);
      // Lines that start before `stop` are offered all 79 characters, or all the file has left.
      const size_t stop = reader_.drained() ? left : left - (kLineLimit - 1) + 1;
      ended_ = left == 0;
      size_t at = 0;
      while (at < stop && lines < count) {
        const size_t span = left - at < kLineLimit - 1 ? left - at : kLineLimit - 1;
        // This line and the next, when both end with their '\n' among the next 32 characters
        // and hold tokens, are read side by side; any other line is read on its own.
        const uint32_t newlines = newline_bits(data + at);
        const size_t length = line_length_in(newlines, 0, span);
        const size_t next = at + length;
        if (length != 0 && length < 32 && next < stop && lines + 1 < count) {
          const size_t next_span = left - next < kLineLimit - 1 ? left - next : kLineLimit - 1;
          const size_t next_length = line_length_in(newlines, length, next_span);
          if (next_length != 0 &&
              scan_two_lines<kColumns>(data + at, length, data + next, next_length, delimiters_,
                                       parsed_columns_, rows[lines], rows[lines + 1], add)) {
            at = next + next_length;
            lines += 2;
            continue;
          }
        }
        const LineScan scan =
            scan_line<kColumns>(data + at, span, delimiters_, parsed_columns_, rows[lines], add);
        at += scan.length;
        if (!scan.complete || !scan.token) {
          ended_ = true;
          empty_line_ = scan.complete;
          break;
        }
        ++lines;
      }
      reader_.take(at);
    }
    return lines;
  }

  LineReader reader_;
  const Delimiters delimiters_;
  const int32_t* const multipliers_;  // null: not scaled
  const int32_t parsed_columns_;
  const int32_t highest_pick_;  // the highest column the lane map names
  const uint32_t offset_;
  int32_t converted_ = 0;
  bool ended_ = false;
  bool empty_line_ = false;
};

// The output bytes of a chunk's passes, in lane map order: each entry's pick (column and byte)
// from the row its counter has reached.
class PassWriter {
 public:
  PassWriter(const int32_t* map, int32_t lanes, int32_t columns)
      : lanes_(lanes), columns_(columns) {
    words_in_order_ = lanes == 2 * columns;
    for (int32_t i = 0; i < lanes; ++i) {
      const bool high = map[i] > 0;
      const int32_t column = high ? map[i] : -map[i];  // the map is checked: |entry| <= 10
      column_[i] = static_cast<uint8_t>(column - 1);
      shift_[i] = high ? 8 : 0;
      counter_[i] = static_cast<uint8_t>(2 * (column - 1) + (high ? 1 : 0));
      words_in_order_ = words_in_order_ && map[i] == (i % 2 == 0 ? -(i / 2 + 1) : i / 2 + 1);
    }
  }
  // passes = lines * Column_Count * 2 / Lane_Count
  void write(Rows rows, size_t lines, Output& out) const {
    const size_t passes = lines * 2 * static_cast<size_t>(columns_) / static_cast<size_t>(lanes_);
    if (words_in_order_) {
      // The commonest maps, (-1, +1), (-1, +1, -2, +2), ...: each line's columns as
      // little-endian words, one pass per line.
      if (columns_ == 1) return write_words<1>(rows, passes, out);
      if (columns_ == 2) return write_words<2>(rows, passes, out);
      return write_words<0>(rows, passes, out);
    }
    size_t counters[2 * kMaxColumns] = {};
    for (size_t pass = 0; pass < passes;) {
      size_t count = passes - pass;
      uint8_t* bytes = out.reserve(static_cast<size_t>(lanes_), count);
      for (const size_t last = pass + count; pass < last; ++pass) {
        for (int32_t i = 0; i < lanes_; ++i) {
          *bytes++ = static_cast<uint8_t>(rows[counters[counter_[i]]++][column_[i]] >> shift_[i]);
        }
      }
    }
  }

 private:
  template <int32_t kColumns>
  void write_words(Rows rows, size_t passes, Output& out) const {
    const int32_t columns = kColumns != 0 ? kColumns : columns_;
    for (size_t pass = 0; pass < passes;) {
      size_t count = passes - pass;
      uint8_t* bytes = out.reserve(2 * static_cast<size_t>(columns), count);
      if (rows.stride == static_cast<size_t>(columns)) {
        // Rows of these columns only: their values one after the other.
        const int32_t* values = rows[pass];
        for (size_t i = 0; i < count * rows.stride; ++i) {
          bytes[2 * i] = static_cast<uint8_t>(values[i]);
          bytes[2 * i + 1] = static_cast<uint8_t>(values[i] >> 8);
        }
        pass += count;
        continue;
      }
      for (const size_t last = pass + count; pass < last; ++pass) {
        for (int32_t c = 0; c < columns; ++c) {
          *bytes++ = static_cast<uint8_t>(rows[pass][c]);
          *bytes++ = static_cast<uint8_t>(rows[pass][c] >> 8);
        }
      }
    }
  }

  int32_t lanes_, columns_;
  bool words_in_order_;
  uint8_t column_[kMaxLaneMap], shift_[kMaxLaneMap], counter_[kMaxLaneMap];
};

}  // namespace

Delimiters::Delimiters(const char* set) {
  for (int c = '0'; c <= '9'; ++c) cls[c] = kDigit;
  for (char c : {' ', '\t', '\v', '\f', '\r'}) cls[static_cast<unsigned char>(c)] = kSpace;
  cls[static_cast<unsigned char>('+')] = cls[static_cast<unsigned char>('-')] = kSign;
  for (const char* p = set; *p != '\0'; ++p) cls[static_cast<unsigned char>(*p)] = kDelimiter;
  newline_is_delimiter = cls[static_cast<unsigned char>('\n')] == kDelimiter;
  for (int c = '0'; c <= '9'; ++c) digits_plain = digits_plain && cls[c] == kDigit;
  cls[static_cast<unsigned char>('\n')] = kEnd;
  cls[0] = kEnd;
}

size_t parse_line(const char* line, size_t span, const Delimiters& d, int32_t columns, int32_t* row,
                  bool& token) {
  // The scans read up to 32 bytes at a time: parse a padded copy.
  char padded[kLineLimit + 32] = {};
  token = false;
  if (span == 0) return 0;
  if (span > kLineLimit - 1) span = kLineLimit - 1;
  std::memcpy(padded, line, span);
  const LineScan scan = scan_line<0>(padded, span, d, columns, row, 0);
  token = scan.token;
  return scan.length;
}

int32_t convert_samples(const char* input, const char* delimiters, const char* output_dir,
                        const int32_t* multipliers, const int32_t* lane_map, int32_t lane_count,
                        int32_t column_count, bool offset_binary) {
  if (input == nullptr || delimiters == nullptr || output_dir == nullptr || lane_map == nullptr ||
      lane_count < 1 || lane_count > kMaxLaneMap || column_count < 1 ||
      column_count > kMaxColumns) {
    return VRX5200_CONVERT_INVALID_ARGUMENT;
  }
  const bool scaled = std::strstr(input, ".vrx") != nullptr;
  if (scaled && multipliers == nullptr) return VRX5200_CONVERT_INVALID_ARGUMENT;
  if (!check_lane_map(lane_map, lane_count, column_count)) {
    return VRX5200_CONVERT_INVALID_ARGUMENT;
  }

  const int32_t scanned = prescan(input, delimiters[0], column_count != 1);
  if (scanned != 0) return scanned;
  // The new pattern file is written beside the old one, which it replaces only once complete:
  // a conversion that fails leaves the old file as it was.
  ReplacingFile out_file;
  if (!out_file.create(output_dir, "/DAC_test.bin")) {
    return VRX5200_CONVERT_OUTPUT_OPEN_FAILED;
  }
  std::FILE* in_file = open_readable(input, "r");
  if (in_file == nullptr) return VRX5200_CONVERT_INPUT_OPEN_FAILED;

  int32_t highest_pick = 0;
  for (int32_t i = 0; i < lane_count; ++i) {
    const int32_t column = lane_map[i] > 0 ? lane_map[i] : -lane_map[i];  // checked: |entry| <= 10
    if (column > highest_pick) highest_pick = column;
  }
  // A chunk of lines at a time: read, then written as passes.
  SampleReader samples(in_file, delimiters, multipliers, scaled, column_count, highest_pick,
                       offset_binary);
  const PassWriter writer(lane_map, lane_count, column_count);
  Output out(out_file.file());
  const size_t chunk_lines = kChunkLinesPerLane * static_cast<size_t>(lane_count);
  // A row holds the columns read from a line and those the map names past them.
  const Rows rows{g_row_store, static_cast<size_t>(std::max(column_count, highest_pick) < 2
                                                       ? 2
                                                       : std::max(column_count, highest_pick))};
  size_t lines = chunk_lines;
  while (lines == chunk_lines) {
    lines = samples.read(rows, chunk_lines);
    if (samples.result() < 0) break;
    writer.write(rows, lines, out);
  }
  const int32_t result = samples.result();
  const bool written = out.flush();
  const bool read_ok = !samples.failed();
  std::fclose(in_file);
  if (result < 0) return result;  // the new file goes, the old one stays
  if (!written || !read_ok) return VRX5200_CONVERT_FILE_IO;
  if (!out_file.commit()) return VRX5200_CONVERT_FILE_IO;
  return result;
}

}  // namespace vrx

extern "C" {

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Offset_BinRep(
    const char* Input_File, const char* Delimiters, const char* Output_Dir,
    const int32_t* Multipliers, const int32_t* Lane_Map, int32_t Lane_Count, int32_t Column_Count) {
  return vrx::convert_samples(Input_File, Delimiters, Output_Dir, Multipliers, Lane_Map, Lane_Count,
                              Column_Count, true);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Twos_Complement(
    const char* Input_File, const char* Delimiters, const char* Output_Dir,
    const int32_t* Multipliers, const int32_t* Lane_Map, int32_t Lane_Count, int32_t Column_Count) {
  return vrx::convert_samples(Input_File, Delimiters, Output_Dir, Multipliers, Lane_Map, Lane_Count,
                              Column_Count, false);
}

}  // extern "C"
