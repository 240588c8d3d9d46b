// What the sample-file conversion takes silently: a token that is not a whole decimal number
// counts as its leading digits (0 without any), and a line with fewer tokens than columns reads 0
// for the missing ones. The tool reads the lines as the conversion does and tells the user.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

struct TextFindings {
  size_t lines_read = 0;        // lines looked at (at most the lines the conversion converted)
  size_t non_number_lines = 0;  // lines holding a token that is not a whole decimal number
  size_t first_non_number = 0;  // the first such line (1-based), 0 when none
  size_t short_lines = 0;       // lines with fewer tokens than columns
  size_t first_short = 0;       // the first such line (1-based), 0 when none
};

// Reads the first `lines` lines of `path` as the conversion reads them: a line ends after its
// first '\n' or after 79 characters, its text ends at a NUL, runs of `delimiters` characters
// separate its tokens, and the first `columns` tokens are its columns.
TextFindings check_sample_text(const std::string& path, const std::string& delimiters, int columns,
                               size_t lines);

}  // namespace tool
