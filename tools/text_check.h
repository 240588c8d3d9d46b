// What the sample-file conversion takes silently: a token that is not a whole decimal number
// counts as its leading digits (0 without any), a line with fewer tokens than columns reads 0
// for the missing ones, and a number beyond 16 bits keeps its low 16 bits. The tool reads the lines
// as the conversion does and tells the user.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

struct TextFindings {
  size_t lines_read = 0;          // lines looked at (at most the lines the conversion converted)
  size_t non_number_lines = 0;    // lines holding a token that is not a whole decimal number
  size_t first_non_number = 0;    // the first such line (1-based), 0 when none
  size_t short_lines = 0;         // lines with fewer tokens than columns
  size_t first_short = 0;         // the first such line (1-based), 0 when none
  size_t out_of_range_lines = 0;  // lines with a number the conversion cannot keep in 16 bits
  size_t first_out_of_range = 0;  // the first such line (1-based), 0 when none
};

// Reads the first `lines` lines of `path` as the conversion reads them: a line ends after its
// first '\n' or after 79 characters, its text ends at a NUL, runs of `delimiters` characters
// separate its tokens, and the first `columns` tokens are its columns. The offset-binary
// conversion keeps -32768..32767, the two's-complement one -32768..65535 (raw codes too).
TextFindings check_sample_text(const std::string& path, const std::string& delimiters, int columns,
                               size_t lines, bool offset_binary);

}  // namespace tool
