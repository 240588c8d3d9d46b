// Sample-file conversion: a text file of decimal samples, one or more columns per line, becomes
// the binary pattern file "/DAC_test.bin" in offset binary or two's complement, its bytes in the
// order of a lane map.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "pattern/pattern.h"

namespace vrx {
namespace {

// Parsed lines of one chunk (at most 512 x Lane_Count lines), columns 1 to 10.
constexpr size_t kRowStoreRows = 512 * static_cast<size_t>(kMaxLaneMap);
int32_t g_rows[kRowStoreRows][kMaxColumns];
// The input read ahead and the output collected before it is written.
// The parser's end mark and its eight-byte reads need room past the data.
constexpr size_t kReadSize = 1 << 20;
char g_read_buffer[kReadSize + 16];
uint8_t g_write_buffer[1 << 16];
// The words of the simple lines of each half of the read buffer (2-byte lines at the most, four
// bytes each).
constexpr int kLanes = 2;
uint8_t g_words[kLanes][2 * kReadSize + 64];

// A run of simple lines parsed on its own: from p up to stop, its words written at out.
struct SimpleLane {
  const char* p;
  const char* stop;
  uint8_t* out;
  int32_t lines;
  bool ok;
  int32_t row[2] = {0, 0};
};

// Reads a text file line by line as a C library line reader with an 80-byte buffer does: a line
// ends after its '\n' or after 79 characters, whichever comes first, and the reader reports end
// of file once a read ran into it (a last line without a terminator then counts as the end).
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}

  // The text of the next line: it starts at `line` and ends after its first '\n' within `span`
  // characters, or after `span` characters. False when no character is left.
  bool peek(char*& line, size_t& span) {
    if (end_ - pos_ < kLineLimit && !drained_) refill();
    const size_t available = end_ - pos_;
    span = available < kLineLimit - 1 ? available : kLineLimit - 1;
    line = buffer_ + pos_;
    return span > 0;
  }
  // Takes the line of `length` characters; a line that ends without its '\n' where the file
  // ends means the read ran into the end of the file.
  void take(size_t length) {
    if (length < kLineLimit - 1 && buffer_[pos_ + length - 1] != '\n') at_end = true;
    pos_ += length;
  }
  // The data in the buffer from the next line on, for a caller that takes whole lines itself.
  size_t available() const { return end_ - pos_; }
  void advance(size_t n) { pos_ += n; }

  bool at_end = false;
  bool failed() const { return std::ferror(file_) != 0; }

 private:
  void refill() {
    std::memmove(buffer_, buffer_ + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    const size_t got = std::fread(buffer_ + end_, 1, kReadSize - end_, file_);
    end_ += got;
    buffer_[end_] = '\0';  // the parser stops at the end of the data without a bounds check
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
  // Room for n more bytes (n at most the buffer's size), taken as written.
  uint8_t* reserve(size_t n) {
    if (used_ + n > sizeof g_write_buffer) flush();
    uint8_t* at = buffer_ + used_;
    used_ += n;
    return at;
  }
  // Writes n bytes after those collected so far.
  void write(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    flush();
    if (std::fwrite(bytes, 1, n, file_) != n) ok_ = false;
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

// The pre-scan: a file with several columns must contain the first delimiter character.
bool is_delimited(const char* path, char first_delimiter, bool& readable) {
  std::FILE* file = std::fopen(path, "r");
  readable = file != nullptr;
  if (file == nullptr) return false;
  bool found = false;
  char chunk[1 << 16];
  size_t got;
  while (!found && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    // Every line has a non-zero length, so a terminator "found" by an empty delimiter set
    // marks any non-empty file.
    found = first_delimiter == '\0' || std::memchr(chunk, first_delimiter, got) != nullptr;
  }
  std::fclose(file);
  return found;
}

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

namespace {

// The leading decimal digits at p (up to 7 of them) and their value, eight bytes at a time:
// a byte b is a digit when b ^ '0' is below 10. p[0..7] must be readable. Returns the number of
// digits; 8 means "8 or more", which the caller reads one by one.
__attribute__((always_inline)) inline size_t swar_digits(const char* p, uint32_t& value) {
  uint64_t chunk;
  std::memcpy(&chunk, p, 8);
  const uint64_t t = chunk ^ 0x3030303030303030ull;
  const uint64_t non_digit =
      (((t & 0x7F7F7F7F7F7F7F7Full) + 0x7676767676767676ull) | t) & 0x8080808080808080ull;
  if (non_digit == 0) return 8;
  const size_t n = static_cast<size_t>(__builtin_ctzll(non_digit)) / 8;
  // The digits moved to the top bytes (leading zero digits below them; none at all for n = 0),
  // then combined pairwise.
  uint64_t v = (t << (63 - 8 * n)) << 1;
  v = (v * 10) + (v >> 8);
  v = (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
       (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
      32;
  value = static_cast<uint32_t>(v);
  return n;
}

}  // namespace

namespace {

// The line parser, inlined into the conversion's loop. Unguarded, it relies on a NUL at the
// end of the data and on the line's '\n' within its span, and returns 0 when either assumption
// fails; guarded, it puts a NUL after the span for the time of the parse.
template <bool kGuarded>
__attribute__((always_inline)) inline size_t parse_text_line_inline(char* line, size_t span,
                                                                    const Delimiters& d,
                                                                    int32_t columns, int32_t* row,
                                                                    bool& token, uint32_t add) {
  // Every scan below stops at a NUL or at the '\n' that ends a line, which is the line's last
  // character whether it separates or belongs to a token.
  char* const limit = line + span;
  char saved = 0;
  if (kGuarded) {
    saved = *limit;
    *limit = '\0';
  }
  const char* p = line;
  auto cls = [&] { return d.cls[static_cast<unsigned char>(*p)]; };
  while (cls() == Delimiters::kDelimiter) ++p;
  token = cls() != Delimiters::kEnd || (*p == '\n' && !d.newline_is_delimiter);
  if (token) {
    for (int32_t c = 0; c < columns; ++c) {
      // A token: its leading decimal integer after optional white space, as the C library's
      // decimal conversion reads it (0 without digits; out-of-range values wrap), then whatever
      // else the token holds. Once the line has run out of tokens the columns read 0.
      while (cls() == Delimiters::kSpace) ++p;
      const bool signed_token = cls() == Delimiters::kSign;
      const bool negative = signed_token && *p == '-';
      p += signed_token;
      uint32_t value = 0;
      const size_t n = d.digits_plain ? swar_digits(p, value) : 8;
      if (n < 8) {
        p += n;
      } else {
        while (cls() == Delimiters::kDigit) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
      }
      const uint32_t sign = 0u - static_cast<uint32_t>(negative);
      row[c] = static_cast<int32_t>(((value ^ sign) - sign) + add);
      while (cls() < Delimiters::kDelimiter) ++p;
      while (cls() == Delimiters::kDelimiter) ++p;
    }
  }
  // The line's end: its '\n', or the end of the span.
  while (*p != '\n' && *p != '\0') ++p;
  if (kGuarded) {
    *limit = saved;
    while (p < limit && *p != '\n') ++p;  // past a NUL inside the line, as a line reader reads
    return p < limit ? static_cast<size_t>(p - line) + 1 : span;
  }
  if (*p == '\n' && p < limit) return static_cast<size_t>(p - line) + 1;
  if (*p == '\0' && p == limit && line[span] == '\0') return span;  // the data ends here
  return 0;
}

// The commonest line, parsed without the general scans: one or two numbers (sign and up to
// seven digits) separated by delimiters, ending with its '\n' within 79 characters. Returns
// the line's length with row[0] and row[1] filled (plus `add`), or 0 for any other line, which
// the general parser then reads.
__attribute__((always_inline)) inline size_t parse_simple_line(const char* line,
                                                               const Delimiters& d, int32_t* row,
                                                               uint32_t add) {
  const char* p = line;
  auto starts_number = [&]() __attribute__((always_inline)) {
    const uint8_t c = d.cls[static_cast<unsigned char>(*p)];
    return c == Delimiters::kDigit || c == Delimiters::kSign;
  };
  auto number = [&](int32_t & out) __attribute__((always_inline)) {
    const bool negative = *p == '-';
    p += (*p == '-') | (*p == '+');
    uint32_t value = 0;
    const size_t n = swar_digits(p, value);
    p += n;
    const uint32_t sign = 0u - static_cast<uint32_t>(negative);
    out = static_cast<int32_t>(((value ^ sign) - sign) + add);
    return n < 8;
  };
  if (!starts_number() || !number(row[0])) return 0;
  row[1] = static_cast<int32_t>(add);  // a missing second column reads 0
  if (*p != '\n') {
    if (d.cls[static_cast<unsigned char>(*p)] != Delimiters::kDelimiter) return 0;
    while (d.cls[static_cast<unsigned char>(*p)] == Delimiters::kDelimiter) ++p;
    if (*p != '\n') {
      if (!starts_number() || !number(row[1]) || *p != '\n') return 0;
    }
  }
  const size_t length = static_cast<size_t>(p - line) + 1;
  return length < kLineLimit ? length : 0;
}

}  // namespace

__attribute__((noinline)) size_t parse_text_line(char* line, size_t span, const Delimiters& d,
                                                 int32_t columns, int32_t* row, bool& token) {
  return parse_text_line_inline<true>(line, span, d, columns, row, token, 0);
}

bool parse_line(char* line, size_t length, const Delimiters& d, int32_t columns, int32_t* row) {
  // The parser reads up to eight bytes past a number: parse a padded copy.
  static char padded[kLineLimit + 16];
  if (length >= kLineLimit) length = kLineLimit - 1;
  std::memset(padded, 0, sizeof padded);
  std::memcpy(padded, line, length);
  bool token = false;
  parse_text_line(padded, length, d, columns, row, token);
  return token;
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
  // Every (column, byte) pick walks its own row counter through the chunk: a map naming a pick
  // m times per pass reads m * passes rows, which must stay within the chunk's lines.
  int32_t pick_uses[2][kMaxColumns + 1] = {};
  for (int32_t i = 0; i < lane_count; ++i) {
    const int32_t e = lane_map[i];
    // Checked before any negation: -INT32_MIN does not exist.
    if (e == 0 || e < -kMaxColumns || e > kMaxColumns) return VRX5200_CONVERT_INVALID_ARGUMENT;
    const int32_t column = e < 0 ? -e : e;
    if (++pick_uses[e > 0][column] * 2 * column_count > lane_count) {
      return VRX5200_CONVERT_INVALID_ARGUMENT;
    }
  }

  bool readable = false;
  const bool delimited = is_delimited(input, delimiters[0], readable);
  if (!readable) return VRX5200_CONVERT_INPUT_OPEN_FAILED;
  if (!delimited && column_count != 1) return VRX5200_CONVERT_NOT_DELIMITED;

  // The output path has any length: it is built in a buffer of its own size.
  static const char kName[] = "/DAC_test.bin";
  const size_t dir_length = std::strlen(output_dir);
  char stack_path[512];
  char* path = stack_path;
  if (dir_length + sizeof kName > sizeof stack_path) {
    path = new (std::nothrow) char[dir_length + sizeof kName];
    if (path == nullptr) return VRX5200_CONVERT_OUTPUT_OPEN_FAILED;
  }
  std::memcpy(path, output_dir, dir_length);
  std::memcpy(path + dir_length, kName, sizeof kName);
  std::FILE* out_file = std::fopen(path, "wb");
  if (path != stack_path) delete[] path;
  if (out_file == nullptr) return VRX5200_CONVERT_OUTPUT_OPEN_FAILED;
  std::FILE* in_file = std::fopen(input, "r");
  if (in_file == nullptr) {
    std::fclose(out_file);
    return VRX5200_CONVERT_INPUT_OPEN_FAILED;
  }

  LineReader reader(in_file);
  Output out(out_file);

  const Delimiters delimiter_set(delimiters);
  const int32_t parsed_columns = column_count < 2 ? 2 : column_count;
  // Columns the lines do not fill read 0; they are cleared only when the map picks one.
  int32_t highest_pick = 0;
  for (int32_t i = 0; i < lane_count; ++i) {
    const int32_t column = lane_map[i] < 0 ? -lane_map[i] : lane_map[i];
    if (column > highest_pick) highest_pick = column;
  }
  const bool clear_unparsed = highest_pick > parsed_columns;
  // Each map entry as the row-store column it reads and the byte it takes.
  static int32_t pick_column[kMaxLaneMap];
  static uint8_t pick_shift[kMaxLaneMap];
  static uint8_t pick_counter[kMaxLaneMap];
  // When no pick is named twice, every pick's counter equals the pass number, and the map is a
  // program over one row per pass: a low byte followed by the high byte of the same column is
  // one little-endian word.
  bool single_use = true;
  struct Step {
    int32_t column;
    uint8_t kind;  // 0 low byte, 1 high byte, 2 low and high byte
  };
  static Step program[kMaxLaneMap];
  int32_t steps = 0;
  for (int32_t i = 0; i < lane_count; ++i) {
    const bool high = lane_map[i] > 0;
    const int32_t column = high ? lane_map[i] : -lane_map[i];
    pick_column[i] = column - 1;
    pick_shift[i] = high ? 8 : 0;
    pick_counter[i] = static_cast<uint8_t>(2 * (column - 1) + (high ? 1 : 0));
    if (pick_uses[high][column] > 1) single_use = false;
  }
  for (int32_t i = 0; i < lane_count; ++i) {
    const int32_t e = lane_map[i];
    if (e < 0 && i + 1 < lane_count && lane_map[i + 1] == -e) {
      program[steps++] = Step{-e - 1, 2};
      ++i;
    } else {
      program[steps++] = Step{(e < 0 ? -e : e) - 1, static_cast<uint8_t>(e > 0)};
    }
  }
  const size_t chunk_lines = 512 * static_cast<size_t>(lane_count);
  int32_t result = 0;
  const uint32_t offset = offset_binary ? 0x8000u : 0u;
  // Lines of one or two plain numbers take the short path when digits and signs are never
  // delimiters and the '\n' ends tokens the same way either way.
  const bool simple_lines =
      parsed_columns == 2 && delimiter_set.digits_plain &&
      delimiter_set.cls[static_cast<unsigned char>('-')] == Delimiters::kSign &&
      delimiter_set.cls[static_cast<unsigned char>('+')] == Delimiters::kSign;
  // Parses the next line into `row`: true for a converted line; false at the end of the file
  // (a line that runs into it is not converted) or on a line without any token (result -5).
  auto next_row = [&](int32_t * row) __attribute__((always_inline)) {
    char* line = nullptr;
    size_t span = 0;
    if (!reader.peek(line, span)) return false;
    bool token = false;
    // Without scaling, the offset is added as the values are parsed.
    const uint32_t add = scaled ? 0u : offset;
    size_t length = simple_lines ? parse_simple_line(line, delimiter_set, row, add) : 0;
    token = true;
    if (length == 0) {
      length =
          parse_text_line_inline<false>(line, span, delimiter_set, parsed_columns, row, token, add);
    }
    if (length == 0) {
      length = parse_text_line(line, span, delimiter_set, parsed_columns, row, token);
      for (int32_t c = 0; c < parsed_columns && add != 0; ++c) {
        row[c] = static_cast<int32_t>(static_cast<uint32_t>(row[c]) + add);
      }
    }
    reader.take(length);
    if (reader.at_end) return false;
    if (!token) {
      result = VRX5200_CONVERT_EMPTY_LINE;
      return false;
    }
    if (clear_unparsed) {
      for (int32_t c = parsed_columns; c < kMaxColumns; ++c) row[c] = 0;
    }
    if (scaled) {
      const uint32_t factor = static_cast<uint32_t>(multipliers[result % 4096]);
      for (int32_t c = 0; c < parsed_columns; ++c) {
        row[c] = static_cast<int32_t>(static_cast<uint32_t>(row[c]) * factor + offset);
      }
    }
    ++result;
    return true;
  };
  // Emits one pass of a map whose picks are each named once: the pass reads one row.
  auto emit_row = [&](const int32_t* row) __attribute__((always_inline)) {
    uint8_t* bytes = out.reserve(static_cast<size_t>(lane_count));
    for (int32_t k = 0; k < steps; ++k) {
      const int32_t v = row[program[k].column];
      if (program[k].kind == 2) {
        *bytes++ = static_cast<uint8_t>(v);
        *bytes++ = static_cast<uint8_t>(v >> 8);
      } else {
        *bytes++ = static_cast<uint8_t>(program[k].kind ? v >> 8 : v);
      }
    }
  };

  bool words_in_order = single_use && lane_count == 2 * column_count && column_count <= 2;
  for (int32_t c = 0; c < column_count && words_in_order; ++c) {
    words_in_order = lane_map[2 * c] == -(c + 1) && lane_map[2 * c + 1] == c + 1;
  }
  if (words_in_order) {
    // The commonest map, (-1, +1) or (-1, +1, -2, +2): every line goes out as its samples'
    // little-endian words as soon as it is parsed.
    int32_t row[kMaxColumns] = {};
    auto put_words = [&](uint8_t * bytes, const int32_t* values) __attribute__((always_inline)) {
      const uint32_t first = static_cast<uint32_t>(values[0]);
      bytes[0] = static_cast<uint8_t>(first);
      bytes[1] = static_cast<uint8_t>(first >> 8);
      if (column_count == 2) {
        const uint32_t second = static_cast<uint32_t>(values[1]);
        bytes[2] = static_cast<uint8_t>(second);
        bytes[3] = static_cast<uint8_t>(second >> 8);
      }
    };
    const size_t word_bytes = static_cast<size_t>(lane_count);
    for (;;) {
      char* line = nullptr;
      size_t span = 0;
      if (!reader.peek(line, span)) break;
      if (simple_lines && !scaled) {
        // Whole simple lines straight from the buffer while a full line's room is left, two
        // halves of the buffer side by side: independent chains of work for the processor.
        const size_t available = reader.available();
        const char* last = available > kLineLimit ? line + (available - kLineLimit) : line - 1;
        SimpleLane lanes[kLanes];
        const char* start = line;
        for (int k = 0; k < kLanes; ++k) {
          // Each stretch ends just after a '\n' near its share of the buffer.
          const char* stop = last + 1;
          if (k + 1 < kLanes && last > line) {
            const char* share = line + (last - line) * (k + 1) / kLanes;
            const void* nl = share > start
                                 ? std::memchr(share, '\n', static_cast<size_t>(last - share))
                                 : nullptr;
            stop = nl ? static_cast<const char*>(nl) + 1 : last + 1;
          }
          if (stop < start) stop = start;
          lanes[k] = SimpleLane{start, stop, g_words[k], 0, true};
          start = stop;
        }
        auto step = [&](SimpleLane & l) __attribute__((always_inline)) {
          const size_t length = parse_simple_line(l.p, delimiter_set, l.row, offset);
          if (length == 0) return l.ok = false;
          put_words(l.out, l.row);
          l.out += word_bytes;
          l.p += length;
          ++l.lines;
          return true;
        };
        auto open = [](const SimpleLane& l) { return l.ok && l.p < l.stop; };
        while (open(lanes[0]) && open(lanes[1])) {
          step(lanes[0]);
          step(lanes[1]);
        }
        // The stretches in order: each finishes alone; one that stops early (a line the short
        // path does not take) ends the run, and the stretches after it are read again later.
        const char* reached = line;
        for (int k = 0; k < kLanes; ++k) {
          SimpleLane& l = lanes[k];
          while (open(l)) step(l);
          out.write(g_words[k], static_cast<size_t>(l.out - g_words[k]));
          result += l.lines;
          reached = l.p;
          if (l.p != l.stop) break;
        }
        reader.advance(static_cast<size_t>(reached - line));
        if (reached != line) continue;
      }
      // Any other line: the general path, one line.
      if (!next_row(row)) break;
      put_words(out.reserve(word_bytes), row);
    }
  } else if (single_use && lane_count == 2 * column_count) {
    // One pass per line, in line order: each line goes out as soon as it is parsed.
    int32_t row[kMaxColumns] = {};
    while (next_row(row)) emit_row(row);
  } else {
    bool more = true;
    while (more && result >= 0) {
      size_t rows = 0;
      while (rows < chunk_lines && (more = next_row(g_rows[rows]))) ++rows;
      if (result < 0) break;
      // Emit the chunk: every pick (column, high or low byte) walks its own row counter.
      size_t counters[2 * kMaxColumns] = {};
      const size_t passes =
          rows * static_cast<size_t>(column_count) * 2 / static_cast<size_t>(lane_count);
      for (size_t pass = 0; pass < passes; ++pass) {
        if (single_use) {
          emit_row(g_rows[pass]);
          continue;
        }
        uint8_t* bytes = out.reserve(static_cast<size_t>(lane_count));
        for (int32_t i = 0; i < lane_count; ++i) {
          const int32_t v = g_rows[counters[pick_counter[i]]++][pick_column[i]];
          bytes[i] = static_cast<uint8_t>(v >> pick_shift[i]);
        }
      }
    }
  }
  const bool written = out.flush();
  const bool read_ok = !reader.failed();
  std::fclose(in_file);
  const bool closed = std::fclose(out_file) == 0;
  if (result >= 0 && (!written || !closed || !read_ok)) return VRX5200_CONVERT_FILE_IO;
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
