#include "tools/text_check.h"

#include <cstdio>
#include <cstring>

namespace tool {
namespace {

enum Class : unsigned char { kOther, kDigit, kSpace, kSign, kDelimiter, kEnd };

struct Classes {
  Class of[256];
  explicit Classes(const std::string& delimiters) {
    for (Class& c : of) c = kOther;
    for (int c = '0'; c <= '9'; ++c) of[c] = kDigit;
    for (unsigned char c : {' ', '\t', '\v', '\f', '\r'}) of[c] = kSpace;
    of[static_cast<unsigned char>('+')] = of[static_cast<unsigned char>('-')] = kSign;
    for (unsigned char c : delimiters) of[c] = kDelimiter;
    of[static_cast<unsigned char>('\n')] = kEnd;
    of[0] = kEnd;
  }
};

struct LineVerdict {
  bool non_number = false;
  bool short_line = false;
  bool out_of_range = false;
};

// One line's text (its '\n' included, when it has one).
LineVerdict check_line(const char* line, size_t length, const Classes& cls, int columns,
                       long highest) {
  size_t at = 0;
  auto c = [&](size_t i) {
    return i < length ? cls.of[static_cast<unsigned char>(line[i])] : kEnd;
  };
  LineVerdict v;
  while (c(at) == kDelimiter) ++at;
  for (int column = 0; column < columns; ++column) {
    if (c(at) == kEnd) {
      v.short_line = true;
      break;
    }
    // A token: white space, a sign, digits, and nothing after them but white space.
    while (c(at) == kSpace) ++at;
    const bool negative = c(at) == kSign && line[at] == '-';
    if (c(at) == kSign) ++at;
    size_t digits = 0;
    long value = 0;  // capped: only whether it leaves 16 bits matters
    while (c(at) == kDigit) {
      if (value < 1000000) value = value * 10 + (line[at] - '0');
      ++at, ++digits;
    }
    if (negative ? value > 32768 : value > highest) v.out_of_range = true;
    bool whole = digits > 0;
    while (c(at) < kDelimiter) {
      if (c(at) != kSpace) whole = false;
      ++at;
    }
    if (!whole) v.non_number = true;
    while (c(at) == kDelimiter) ++at;
  }
  return v;
}

}  // namespace

TextFindings check_sample_text(const std::string& path, const std::string& delimiters, int columns,
                               size_t lines, bool offset_binary) {
  const long highest = offset_binary ? 32767 : 65535;
  TextFindings f;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return f;
  const Classes cls(delimiters);
  char line[80];
  while (f.lines_read < lines) {
    size_t length = 0;
    int ch = 0;
    while (length < 79 && (ch = std::getc(in)) != EOF) {
      line[length++] = static_cast<char>(ch);
      if (ch == '\n') break;
    }
    if (length == 0) break;
    ++f.lines_read;
    // The text ends at a NUL, as the C library's string functions see it.
    const void* nul = std::memchr(line, '\0', length);
    if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - line);
    const LineVerdict v = check_line(line, length, cls, columns, highest);
    if (v.non_number && f.non_number_lines++ == 0) f.first_non_number = f.lines_read;
    if (v.short_line && f.short_lines++ == 0) f.first_short = f.lines_read;
    if (v.out_of_range && f.out_of_range_lines++ == 0) f.first_out_of_range = f.lines_read;
  }
  std::fclose(in);
  return f;
}

}  // namespace tool
