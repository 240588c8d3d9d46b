// The SCPI socket's grammar (IEEE 488.2 program messages, SCPI headers), apart from any I/O: a
// line is split into its message units with the path rule applied, headers are matched against
// the patterns of a command table ("SYSTem:ERRor[:NEXT]?"), and answers are formatted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace server::scpi {

// The standard sentence of an error/event number ("Undefined header" for -113); empty for a
// number not in the table.
const char* error_text(int code);

// A refusal while parsing or running a unit: the number and what the device adds after ';'.
struct Error {
  int code;
  std::string info;
};

enum class ParamType { kNumber, kCharacter, kString, kBlock };

struct Param {
  ParamType type;
  std::string text;   // a mnemonic as given, a string's contents, a block's bytes, a number's text
  double number = 0;  // kNumber only
};

// One message unit: `*IDN?`, `:MEAS:SNR?`, `CAPT:POIN 4096`.
struct Unit {
  bool common = false;             // *XXX
  bool query = false;              // ends in '?'
  std::vector<std::string> nodes;  // from the root, the path rule applied (common: the one name)
  std::vector<Param> params;
  Error error{0, {}};  // nonzero: the unit is malformed; the rest of the line is not run
};

// Splits one program message (a line without its newline) into its units. After ';' a unit
// that does not begin with ':' or '*' continues at the previous unit's path; common units leave
// the path alone. Parsing stops at the first malformed unit, which carries the error; an empty
// unit before a ';' (";;", a leading ';') is one (-102). A trailing ';' is taken.
std::vector<Unit> parse_message(std::string_view line);

// A header of the command table: nodes "CAPTure" (short form in capitals), optional nodes in
// brackets "[:SENSe]" or "[SENSe:]", a numeric suffix "REGister#", "?" at the end for a query;
// or a common command "*ESE?".
class Pattern {
 public:
  explicit Pattern(std::string_view text);
  // Whether `unit`'s header is this pattern. `suffixes` gets each '#' node's suffix (1 when it
  // was left out).
  bool match(const Unit& unit, std::vector<int>& suffixes) const;
  bool query() const { return query_; }

 private:
  struct Node {
    std::string short_form, long_form;  // in capitals
    bool optional = false, suffix = false;
  };
  bool match_from(const std::vector<std::string>& nodes, size_t at, size_t node,
                  std::vector<int>& suffixes) const;
  std::vector<Node> nodes_;
  bool common_ = false, query_ = false;
};

// ---- answers ----
// A real number in the fewest digits that read back as the same double; SCPI's NaN (9.91E37)
// for NaN and ±9.9E37 for the infinities.
std::string format_real(double x);
// A string answer in double quotes, quotes inside doubled.
std::string quoted(std::string_view text);
// The head of an IEEE 488.2 definite-length block of `bytes` bytes: "#<digits><length>".
std::string block_header(size_t bytes);

}  // namespace server::scpi
