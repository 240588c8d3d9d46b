// A second, plain reading of the sample-file conversion's rules, for the fuzzer and the tests to
// compare the library against. It is written for clarity, not speed: the whole input is a
// std::string, every line a std::string of its own, every token another, and the passes are
// emitted exactly as the rules describe them. It shares no code with the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace convert_oracle {

// What a conversion should return and, when it returns a line count, write.
struct Expected {
  int32_t result = 0;          // lines converted, or a negative VRX5200_CONVERT_ code
  std::vector<uint8_t> bytes;  // the contents of DAC_test.bin when result >= 0
};

// The conversion of an input file holding `text`, named `path`. The input is readable and the
// output directory writable; the other arguments are those of VRX5200BrdCtrl_Offset_BinRep
// (offset_binary) or VRX5200BrdCtrl_Twos_Complement.
inline Expected convert(const std::string& text, const std::string& path, const char* delimiters,
                        const int32_t* multipliers, const int32_t* lane_map, int32_t lane_count,
                        int32_t column_count, bool offset_binary) {
  const int32_t kInvalidArgument = -2, kNotDelimited = -1, kEmptyLine = -5;
  Expected expected;

  // The arguments.
  if (delimiters == nullptr || lane_map == nullptr || lane_count < 1 || lane_count > 5120 ||
      column_count < 1 || column_count > 10) {
    expected.result = kInvalidArgument;
    return expected;
  }
  const bool scaled = path.find(".vrx") != std::string::npos;
  if (scaled && multipliers == nullptr) {
    expected.result = kInvalidArgument;
    return expected;
  }
  // Each map entry is a pick: the high (+c) or low (-c) byte of column c, 1 to 10. A pick named
  // u times reads u rows per pass, and a chunk of n lines has n * columns * 2 / lanes passes, so
  // u * columns * 2 must not exceed the lane count.
  const std::vector<int64_t> entries(lane_map, lane_map + lane_count);
  std::vector<int64_t> uses(21, 0);  // by entry, -10 to 10
  for (int64_t e : entries) {
    if (e == 0 || e < -10 || e > 10) {
      expected.result = kInvalidArgument;
      return expected;
    }
    ++uses[static_cast<size_t>(e + 10)];
  }
  for (int64_t u : uses) {
    if (u * column_count * 2 > lane_count) {
      expected.result = kInvalidArgument;
      return expected;
    }
  }

  // A line: up to and with its first '\n', at most 79 characters (looked for among those 79
  // only, so that a long line costs what its length costs). Its text: up to its first NUL.
  auto line_at = [&](size_t pos) {
    size_t length = std::min<size_t>(79, text.size() - pos);
    const size_t newline = std::string_view(text).substr(pos, length).find('\n');
    if (newline != std::string_view::npos) length = newline + 1;
    return text.substr(pos, length);
  };
  auto text_of = [](const std::string& line) { return line.substr(0, line.find('\0')); };

  // A file of several columns must hold the first delimiter character in the text of one of its
  // lines, the last one included however it ends (with no delimiter at all, the C string's
  // terminator counts: any line whose text is not empty has it).
  const std::string delimiter_set = delimiters;
  if (column_count != 1) {
    bool found = false;
    for (size_t pos = 0; pos < text.size() && !found;) {
      const std::string line = line_at(pos);
      pos += line.size();
      const std::string str = text_of(line);
      found =
          delimiter_set.empty() ? !str.empty() : str.find(delimiter_set[0]) != std::string::npos;
    }
    if (!found) {
      expected.result = kNotDelimited;
      return expected;
    }
  }

  // A token's value: its leading decimal integer after white space and an optional sign, the
  // digits taken modulo 2^32; 0 without digits.
  auto value_of = [](const std::string& token) {
    size_t i = 0;
    while (i < token.size() && std::string(" \t\n\v\f\r").find(token[i]) != std::string::npos) {
      ++i;
    }
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
      negative = token[i] == '-';
      ++i;
    }
    uint32_t value = 0;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
      value = value * 10 + static_cast<uint32_t>(token[i] - '0');
      ++i;
    }
    return negative ? 0u - value : value;
  };
  auto is_delimiter = [&](char c) { return delimiter_set.find(c) != std::string::npos; };

  using Row = std::vector<uint32_t>;  // columns 1 to 10
  const size_t chunk_lines = 512 * static_cast<size_t>(lane_count);
  std::vector<Row> chunk;
  // A chunk's passes: each map entry takes its byte from the row its own counter is at.
  auto emit = [&] {
    const size_t passes =
        chunk.size() * static_cast<size_t>(column_count) * 2 / static_cast<size_t>(lane_count);
    std::vector<size_t> counter(21, 0);  // by entry, -10 to 10
    for (size_t pass = 0; pass < passes; ++pass) {
      for (int64_t e : entries) {
        const size_t column = static_cast<size_t>(e > 0 ? e : -e);
        const uint32_t v = chunk.at(counter[static_cast<size_t>(e + 10)]++).at(column - 1);
        expected.bytes.push_back(static_cast<uint8_t>(e > 0 ? v >> 8 : v));
      }
    }
    chunk.clear();
  };

  int32_t converted = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const std::string line = line_at(pos);
    pos += line.size();
    // A shorter line without '\n' is where the reader met the end of the file.
    if (line.size() < 79 && line.back() != '\n') break;

    // Its tokens, in its text.
    const std::string str = text_of(line);
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < str.size()) {
      while (i < str.size() && is_delimiter(str[i])) ++i;
      const size_t start = i;
      while (i < str.size() && !is_delimiter(str[i])) ++i;
      if (i > start) tokens.push_back(str.substr(start, i - start));
    }
    if (tokens.empty()) {
      expected.result = kEmptyLine;
      expected.bytes.clear();
      return expected;
    }

    // Columns 1 to max(2, Column_Count) from the tokens (0 once they run out), scaled and
    // offset; the columns after them hold 0.
    Row row(10, 0);
    const size_t parsed = static_cast<size_t>(std::max(2, column_count));
    for (size_t c = 0; c < parsed; ++c) {
      uint32_t v = c < tokens.size() ? value_of(tokens[c]) : 0;
      if (scaled) v *= static_cast<uint32_t>(multipliers[converted % 4096]);
      if (offset_binary) v += 0x8000;
      row[c] = v;
    }
    chunk.push_back(row);
    ++converted;
    if (chunk.size() == chunk_lines) emit();
  }
  emit();
  expected.result = converted;
  return expected;
}

}  // namespace convert_oracle
